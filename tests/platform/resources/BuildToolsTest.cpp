// The build's own tools: imagegen writes the same stand-ins on every run,
// and the size check stops the build naming the file, its size and the
// expected size.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<char> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `command`; returns its exit status and what it printed.
int RunCommand(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof(buffer), pipe)) text.append(buffer, n);
  int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class BuildToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fwutil-buildtools-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(BuildToolsTest, ImagegenWritesTheSameImagesAndIconEveryRun) {
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  ASSERT_EQ(RunCommand(std::string(FWUTIL_IMAGEGEN) + " images " + (dir_ / "a").string()), 0);
  ASSERT_EQ(RunCommand(std::string(FWUTIL_IMAGEGEN) + " images " + (dir_ / "b").string()), 0);
  ASSERT_EQ(RunCommand(std::string(FWUTIL_IMAGEGEN) + " icon " + (dir_ / "a" / "i.ico").string()), 0);
  ASSERT_EQ(RunCommand(std::string(FWUTIL_IMAGEGEN) + " icon " + (dir_ / "b" / "i.ico").string()), 0);
  for (const char* name : {"boot1.bin", "boot2.bin", "filesize.bin", "firmware.bin", "i.ico"}) {
    std::vector<char> a = ReadAll(dir_ / "a" / name), b = ReadAll(dir_ / "b" / name);
    EXPECT_FALSE(a.empty()) << name;
    EXPECT_EQ(a, b) << name;
  }
}

TEST_F(BuildToolsTest, ImagegenExplainsItselfAndRefusesUnknownArguments) {
  std::string help;
  EXPECT_EQ(RunCommand(std::string(FWUTIL_IMAGEGEN) + " --help", &help), 0);
  EXPECT_NE(help.find("boot1.bin"), std::string::npos);
  EXPECT_NE(help.find("0x69"), std::string::npos);
  EXPECT_NE(RunCommand(std::string(FWUTIL_IMAGEGEN) + " pictures " + dir_.string()), 0);
  EXPECT_NE(RunCommand(std::string(FWUTIL_IMAGEGEN) + " images " + (dir_ / "missing" / "dir").string()), 0);
}

TEST_F(BuildToolsTest, SizeCheckNamesTheFileItsSizeAndTheExpectedSize) {
  std::ofstream(dir_ / "UpdateImages.h") << "#define BOOT1_LENGTH 4\n#define FILE_SIZE_LENGTH 3\n";
  std::ofstream(dir_ / "boot1.bin") << "12345";
  std::ofstream(dir_ / "filesize.bin") << "abc";
  fs::path stamp = dir_ / "ok.stamp";
  auto check = [&](const std::string& images, std::string* output) {
    return RunCommand(std::string(FWUTIL_CMAKE) + " -DHEADER=" + (dir_ / "UpdateImages.h").string() +
                          " -DSTAMP=" + stamp.string() + " \"-DIMAGES=" + images + "\" -P " + FWUTIL_CHECK_SCRIPT,
                      output);
  };
  std::string output;
  EXPECT_NE(
      check("BOOT1_LENGTH=" + (dir_ / "boot1.bin").string() + "|FILE_SIZE_LENGTH=" + (dir_ / "filesize.bin").string(),
            &output),
      0);
  EXPECT_NE(output.find("boot1.bin: 5 bytes, expected 4 bytes (BOOT1_LENGTH)"), std::string::npos) << output;
  EXPECT_EQ(output.find("filesize.bin:"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(stamp));

  EXPECT_EQ(check("FILE_SIZE_LENGTH=" + (dir_ / "filesize.bin").string(), &output), 0) << output;
  EXPECT_TRUE(fs::exists(stamp));

  EXPECT_NE(check("FIRMWARE_LENGTH=" + (dir_ / "filesize.bin").string(), &output), 0);
  EXPECT_NE(output.find("FIRMWARE_LENGTH is not #defined"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(stamp));
}

}  // namespace
