// fwutil --update as the real executable, the way a script or a production
// line runs it: the exit status says whether the module took the image,
// standard error carries the progress and the failure's words, the report
// the outcome; several copies at once; a module behind a host pty run by the
// standalone simulator; and a script whose wait for the success box ends as
// soon as the update has failed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Run.h"
#include "SchemaCheck.h"

namespace {

using namespace std::chrono_literals;
using e2e::Child;
using e2e::ReadFile;
using e2e::TempDir;

constexpr char kFlashHoldsImage[] = "fwutil: verify: flash holds the firmware image (2493720 bytes)\n";

size_t Count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

// A progress line without the time since the start that leads it:
// "fwutil: 0:41 image 40%, ..." is "fwutil: image 40%, ...".
std::string WithoutElapsed(const std::string& line) {
  const std::string head = "fwutil: ";
  if (line.rfind(head, 0) != 0) return line;
  size_t at = head.size();
  size_t colon = line.find(':', at);
  size_t space = line.find(' ', at);
  if (colon == std::string::npos || space == std::string::npos || colon > space || colon == at) return line;
  for (size_t i = at; i < space; ++i) {
    if (i != colon && (line[i] < '0' || line[i] > '9')) return line;
  }
  return head + line.substr(space + 1);
}

// The lines of `text` that begin with `prefix` (progress lines without
// their time).
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = WithoutElapsed(text.substr(at, end - at));
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

std::string AllWithoutElapsed(const std::string& text) {
  std::string out;
  for (const std::string& line : LinesStartingWith(text, "")) out += line + "\n";
  return out;
}

class FlashCommand : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Path().empty()); }

  // fwutil --headless --update with a desktop of its own and `options`.
  std::vector<std::string> Update(const std::string& name, std::vector<std::string> options) {
    std::vector<std::string> argv{
        FWUTIL_PATH, "--headless",           "--update", "--desktop", dir_ / (name + "-desktop"),
        "--report",  dir_ / (name + ".json")};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }
  std::string Report(const std::string& name) { return ReadFile(dir_ / (name + ".json")); }

  // A pty pair made by socat and modulesim with `options` on its module end;
  // fwutil's COM1: goes on dir_/"host", the control FIFO is dir_/"control".
  bool StartSimulator(const std::vector<std::string>& options) {
    std::string why;
    bool up = e2e::StartModuleOnPty(MODULESIM_PATH, dir_ / "", options, socat_, sim_, &why);
    EXPECT_TRUE(up) << why;
    return up;
  }

  TempDir dir_;
  std::unique_ptr<Child> socat_;
  std::unique_ptr<Child> sim_;
};

// One command flashes the emulated module: status 0, a line per phase and per
// tenth of the image (no carriage returns), the verify line, and a report
// that says the same. The trace stays off.
TEST_F(FlashCommand, ASuccessfulUpdateEndsWithZeroAndTellsItsProgress) {
  Child run(Update("ok", {"--speed", "20", "--flash-out", dir_ / "flash.bin"}), dir_ / "stderr.txt");
  auto status = run.Wait(180s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 0) << run.Errors();
  std::string errors = AllWithoutElapsed(run.Errors());
  EXPECT_NE(errors.find(kFlashHoldsImage), std::string::npos) << errors;
  // How it ended is the last line.
  EXPECT_EQ(errors.substr(errors.rfind('\n', errors.size() - 2) + 1, 28), "fwutil: update succeeded in ") << errors;
  EXPECT_EQ(errors.find('\r'), std::string::npos) << "one line per event, no carriage returns";
  EXPECT_EQ(errors.find("Open com port succeed"), std::string::npos) << "no trace unless --trace says where";

  // Each phase in order, then the tenths, each with the time left.
  std::vector<std::string> phases{"fwutil: wake-up, attempt 1", "fwutil: boot stage 1", "fwutil: boot stage 2",
                                  "fwutil: memory check", "fwutil: image, 2493720 bytes"};
  size_t at = 0;
  for (const std::string& phase : phases) {
    size_t found = errors.find(phase + "\n", at);
    ASSERT_NE(found, std::string::npos) << phase << "\n" << errors;
    at = found;
  }
  std::vector<std::string> tenths = LinesStartingWith(errors, "fwutil: image ");
  ASSERT_EQ(tenths.size(), 11u) << errors;  // nine tenths, the image sent, the module's answer
  for (size_t i = 1; i <= 9; ++i) {
    const std::string& line = tenths[i - 1];
    EXPECT_EQ(line.rfind("fwutil: image " + std::to_string(i * 10) + "%, ", 0), 0u) << line;
    EXPECT_NE(line.find(" left ("), std::string::npos) << line;
    EXPECT_NE(line.find(" kB/s)"), std::string::npos) << line;
  }
  EXPECT_NE(errors.find("fwutil: image 100%, the module took the image"), std::string::npos) << errors;
  EXPECT_LT(errors.find("fwutil: answered \"Successful\""), errors.find("fwutil: the handset rebooted")) << errors;
  EXPECT_TRUE(ReadFile(dir_ / "flash.bin") == ReadFile(FIRMWARE_IMAGE));

  std::string report = Report("ok");
  for (const char* field : {"\"outcome\":\"succeeded\"", "\"exit_status\":0,", "\"failure\":null", "\"phase\":\"done\"",
                            "\"attempts\":1,", "\"image_bytes\":2493720,", "\"image_bytes_acknowledged\":2493720,",
                            "\"com1\":\"virtual\"", "\"verify\":\"flash holds the firmware image (2493720 bytes)\"",
                            "\"flash_holds_image\":true", "\"rebooted\":true}"}) {
    EXPECT_NE(report.find(field), std::string::npos) << field << "\n" << report;
  }
  EXPECT_EQ(Count(report, "\n"), 1u) << report;
  EXPECT_EQ(schemacheck::Problems(report), "") << report;
}

struct Failure {
  const char* name;
  std::vector<std::string> options;
  int status;
  const char* words;    // the start of the outcome line on standard error
  const char* outcome;  // the report's
};

void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class FailureTest : public FlashCommand, public ::testing::WithParamInterface<Failure> {};

// A failure ends the command at once, at the handset's clock twenty times
// faster, with its words as the last line and its status; --quiet leaves
// only that.
TEST_P(FailureTest, EndsWithItsStatusAndWords) {
  const Failure& failure = GetParam();
  std::vector<std::string> options{"--speed", "20", "--quiet"};
  options.insert(options.end(), failure.options.begin(), failure.options.end());
  Child run(Update("failed", options), dir_ / "stderr.txt");
  auto status = run.Wait(120s);
  ASSERT_TRUE(status) << "still running after two minutes\n" << run.Errors();
  EXPECT_EQ(*status, failure.status) << run.Errors();
  std::string errors = run.Errors();
  std::vector<std::string> said = LinesStartingWith(errors, failure.words);
  ASSERT_EQ(said.size(), 1u) << errors;
  EXPECT_EQ(errors.find("fwutil: image 10%"), std::string::npos) << "--quiet: " << errors;
  EXPECT_EQ(errors.find("fwutil: COM"), std::string::npos) << "--quiet: " << errors;

  std::string report = Report("failed");
  EXPECT_EQ(schemacheck::Problems(report), "") << report;
  EXPECT_NE(report.find(std::string("\"outcome\":\"") + failure.outcome + "\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"exit_status\":" + std::to_string(failure.status) + ","), std::string::npos) << report;
  // The report's words are the line's, without what the launcher put before them.
  std::string words = said[0].substr(std::string("fwutil: ").size());
  for (const std::string put : {"update could not start: ", "update failed: "}) {
    if (words.rfind(put, 0) == 0) words = words.substr(put.size());
  }
  EXPECT_NE(report.find("\"failure\":\"" + words + "\""), std::string::npos) << words << "\n" << report;
}

INSTANTIATE_TEST_SUITE_P(
    Modules, FailureTest,
    ::testing::Values(
        Failure{"RefusedImage", {"--module", "refuse-image"}, 10, "fwutil: Update failed", "failed"},
        Failure{
            "SilentAfterSection300", {"--module", "stop@image-sections=300"}, 10, "fwutil: Update failed", "failed"},
        // Two flips in one lane of section 301: the module's checks cannot
        // see them, it answers 0xA5; the verify line can.
        Failure{"FlashDiffers",
                {"--module", "flip-image=301"},
                12,
                "fwutil: update failed: the module took an image whose check bytes could not see the damage",
                "flash-differs"},
        Failure{
            "NoCom1", {"--com", "1=none"}, 11, "fwutil: update could not start: Open Comport fail!!", "not-started"},
        Failure{"Com1ThatDoesNotOpen",
                {"--com", "1=/nonexistent/ttyUSB9", "--ril", "none"},
                11,
                "fwutil: update could not start: ",
                "not-started"}),
    [](const auto& info) { return std::string(info.param.name); });

// The module stops answering after section 300: the report tells how far
// the update came.
TEST_F(FlashCommand, TheReportTellsHowFarAFailedUpdateCame) {
  Child run(Update("silent", {"--speed", "20", "--unpaced", "--module", "stop@image-sections=300"}),
            dir_ / "stderr.txt");
  auto status = run.Wait(120s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 10) << run.Errors();
  std::string report = Report("silent");
  for (const char* field : {"\"outcome\":\"failed\"", "\"failure\":\"Update failed", "\"phase\":\"image\"",
                            "\"image_bytes_acknowledged\":1200000,",
                            "\"verify\":\"the flash holds no firmware (erased when the image transfer began)\"",
                            "\"flash_holds_image\":false", "\"rebooted\":false}"}) {
    EXPECT_NE(report.find(field), std::string::npos) << field << "\n" << report;
  }
}

// A second copy on the same desktop cannot start its update; the first goes
// on to flash its module.
TEST_F(FlashCommand, ASecondCopyOnTheSameDesktopCannotStart) {
  // The module holds its answer to the memory check for 50 s of the first
  // copy's clock (10 s of real time).
  Child first(Update("first", {"--speed", "5", "--unpaced", "--module", "delay@memory-check=50000", "--desktop",
                               dir_ / "shared"}),
              dir_ / "first.txt");
  ASSERT_TRUE(first.WaitForError(" memory check\n", 60s)) << first.Errors();
  Child second(Update("second", {"--desktop", dir_ / "shared"}), dir_ / "second.txt");
  auto code = second.Wait(60s);
  ASSERT_TRUE(code) << second.Errors();
  EXPECT_EQ(*code, 11) << second.Errors();
  EXPECT_NE(second.Errors().find("fwutil: update could not start: another copy of fwutil runs on this desktop (" +
                                 (dir_ / "shared") + ")\n"),
            std::string::npos)
      << second.Errors();
  EXPECT_NE(Report("second").find("\"outcome\":\"not-started\""), std::string::npos) << Report("second");

  auto status = first.Wait(120s);
  ASSERT_TRUE(status) << first.Errors();
  EXPECT_EQ(*status, 0) << first.Errors();
}

// The bench: four modules flashed at once, each copy with its own desktop,
// and one module that refuses the image. Each copy's status is its own.
TEST_F(FlashCommand, FourCopiesAtOnceAndOneRefusingModule) {
  std::vector<std::unique_ptr<Child>> copies;
  for (int i = 0; i < 4; ++i) {
    std::string name = "copy" + std::to_string(i);
    copies.push_back(std::make_unique<Child>(Update(name, {"--speed", "20"}), dir_ / (name + ".txt")));
  }
  Child refusing(Update("refusing", {"--speed", "20", "--module", "refuse-image"}), dir_ / "refusing.txt");
  for (int i = 0; i < 4; ++i) {
    auto status = copies[i]->Wait(240s);
    ASSERT_TRUE(status) << copies[i]->Errors();
    EXPECT_EQ(*status, 0) << "copy " << i << "\n" << copies[i]->Errors();
    EXPECT_NE(copies[i]->Errors().find(kFlashHoldsImage), std::string::npos) << copies[i]->Errors();
  }
  auto status = refusing.Wait(240s);
  ASSERT_TRUE(status) << refusing.Errors();
  EXPECT_EQ(*status, 10) << refusing.Errors();
  EXPECT_EQ(LinesStartingWith(refusing.Errors(), "fwutil: Update failed").size(), 1u) << refusing.Errors();
}

// Scripted, a wait for the success box ends as soon as the update has failed,
// with the failure's words, long before its ten minutes.
TEST_F(FlashCommand, AScriptedAnswerEndsOnceTheUpdateHasFailed) {
  Child run(
      {FWUTIL_PATH, "--headless", "--desktop", dir_ / "desktop", "--speed", "20", "--unpaced", "--trace", "none",
       "--module", "refuse-image", "--report", dir_ / "script.json", "--do", "command 118", "--do", "answer ok 10m"},
      dir_ / "stderr.txt");
  auto status = run.Wait(120s);
  ASSERT_TRUE(status) << "the answer step waited on\n" << run.Errors();
  EXPECT_EQ(*status, 125) << run.Errors();
  EXPECT_NE(run.Errors().find("(answer ok 10m): gave up waiting, the program failed: Update failed"), std::string::npos)
      << run.Errors();
  EXPECT_NE(Report("script").find("\"outcome\":\"failed\""), std::string::npos) << Report("script");
  EXPECT_NE(Report("script").find("\"exit_status\":125,"), std::string::npos) << Report("script");
}

// A module loader that is not ours, over a host pty: the status is 0 exactly
// when the loader received and verified the whole image.
TEST_F(FlashCommand, OverAPtyTheStatusSaysWhetherTheLoaderTookTheImage) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  ASSERT_TRUE(StartSimulator({}));
  Child run(Update("pty", {"--speed", "20", "--com", "1=" + (dir_ / "host"), "--ril", "control:" + (dir_ / "control")}),
            dir_ / "stderr.txt");
  auto status = run.Wait(240s);
  ASSERT_TRUE(status) << run.Errors() << sim_->Errors();
  EXPECT_EQ(*status, 0) << run.Errors() << sim_->Errors();
  EXPECT_EQ(LinesStartingWith(run.Errors(), "fwutil: image ").size(), 11u) << run.Errors();
  EXPECT_EQ(run.Errors().find("verify:"), std::string::npos) << "no flash of its own to read";
  ASSERT_TRUE(sim_->WaitForError("flash written to", 30s)) << sim_->Errors();
  EXPECT_TRUE(ReadFile(dir_ / "sim-flash.bin") == ReadFile(FIRMWARE_IMAGE));
  std::string report = Report("pty");
  EXPECT_NE(report.find("\"com1\":\"" + (dir_ / "host") + "\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"verify\":null,\"flash_holds_image\":null"), std::string::npos) << report;
}

TEST_F(FlashCommand, OverAPtyALoaderThatStopsMidImageFails) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  ASSERT_TRUE(StartSimulator({"--loader", "stop-mid-image"}));
  Child run(Update("pty", {"--speed", "20", "--com", "1=" + (dir_ / "host"), "--ril", "control:" + (dir_ / "control")}),
            dir_ / "stderr.txt");
  auto status = run.Wait(240s);
  ASSERT_TRUE(status) << run.Errors() << sim_->Errors();
  EXPECT_EQ(*status, 10) << run.Errors() << sim_->Errors();
  EXPECT_EQ(LinesStartingWith(run.Errors(), "fwutil: Update failed").size(), 1u) << run.Errors();
  EXPECT_FALSE(sim_->WaitForError("flash written to", 1s)) << sim_->Errors();
  EXPECT_NE(Report("pty").find("\"phase\":\"image\""), std::string::npos) << Report("pty");
}

}  // namespace
