// The launcher's options for flashing from a script: --update, --quiet,
// --report, and the combinations it refuses.
#include "handset/launcher/Options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::optional<launcher::Options> Parse(std::vector<std::string> args, std::string* error) {
  args.insert(args.begin(), "fwutil");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return launcher::ParseOptions(static_cast<int>(argv.size()), argv.data(), error);
}

TEST(LauncherOptions, UpdateQuietAndReport) {
  std::string error;
  auto options = Parse({"--update", "--quiet", "--report", "out.json"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->update);
  EXPECT_TRUE(options->quiet);
  EXPECT_EQ(options->report, "out.json");

  EXPECT_FALSE(Parse({"--update", "--do", "command 118"}, &error));
  EXPECT_EQ(error, "--update runs the update by itself; it does not go with --do or --script");
  EXPECT_FALSE(Parse({"--report"}, &error));
  EXPECT_EQ(error, "--report needs a value");
  EXPECT_FALSE(Parse({"--report="}, &error));
  EXPECT_EQ(error, "--report needs a file name");
  EXPECT_FALSE(Parse({"--update=yes"}, &error));
  EXPECT_EQ(error, "--update takes no value");
}

// Without a port on COM1: the radio driver has no module to act on: unless
// --ril says otherwise, its requests do nothing (and the update then finds
// that "COM1:" does not open).
TEST(LauncherOptions, NoCom1MeansNoRadioUnlessRilSaysSo) {
  std::string error;
  auto options = Parse({"--com", "1=none"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->handset.ril.kind, handset::RilChoice::Kind::None);
  options = Parse({"--com", "1=none", "--ril", "emulated"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->handset.ril.kind, handset::RilChoice::Kind::Emulated);
  options = Parse({"--com", "1=/dev/ttyUSB0"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->handset.ril.kind, handset::RilChoice::Kind::Emulated);
}

TEST(LauncherOptions, HelpTellsTheExitStatuses) {
  std::string usage = launcher::UsageText();
  for (const char* line : {"--update", "--quiet", "--report FILE", "\n  10 ", "\n  11 ", "\n  12 ", "\n  125 "}) {
    EXPECT_NE(usage.find(line), std::string::npos) << line;
  }
}

}  // namespace
