// The real fwutil under scripts a new user writes: first steps given before
// the program has come up, a key right after an answered box, the About box
// waited for and closed by its caption and button.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../update/Run.h"

namespace {

using namespace std::chrono_literals;
using e2e::Child;
using e2e::ReadFile;
using e2e::TempDir;

constexpr char kBanner[] = "Orvane Q88 Firmware Utility\r\n<< Firmware Version: V.4.3.0 >>\r\n";

struct Racing {
  const char* name;
  std::vector<std::string> steps;  // --do steps, as a user types them
  bool logOut;                     // with --log-out
  const char* trace;               // what the script's trace must show
};

class RacingScript : public ::testing::TestWithParam<Racing> {};

// Each script acts at once, without waiting for a text first; each run must
// come out the same, ten times in a row.
TEST_P(RacingScript, WorksTenTimesInARow) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  for (int run = 0; run < 10; ++run) {
    std::string n = std::to_string(run);
    std::vector<std::string> argv{FWUTIL_PATH, "--headless", "--desktop", dir / ("desktop" + n), "--trace", "none"};
    if (GetParam().logOut) {
      argv.push_back("--log-out");
      argv.push_back(dir / ("log" + n + ".txt"));
    }
    for (const std::string& step : GetParam().steps) {
      argv.push_back("--do");
      argv.push_back(step);
    }
    Child child(argv, dir / ("stderr" + n + ".txt"));
    ASSERT_TRUE(child.Started());
    auto status = child.Wait(60s);
    ASSERT_TRUE(status) << "run " << run << ":\n" << child.Errors();
    ASSERT_EQ(*status, 0) << "run " << run << ":\n" << child.Errors();
    EXPECT_NE(child.Errors().find(GetParam().trace), std::string::npos) << "run " << run << ":\n" << child.Errors();
    if (GetParam().logOut) {
      EXPECT_EQ(ReadFile(dir / ("log" + n + ".txt")), kBanner) << "run " << run;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    FirstSteps, RacingScript,
    ::testing::Values(
        Racing{"DoneButton", {"done", "wait-exit 5s"}, false, "wait-exit 5s -> exit code 0"},
        Racing{"CtrlQWithTheLogWrittenOut", {"key ctrl+q", "wait-exit 5s"}, true, "wait-exit 5s -> exit code 0"},
        // A box raised from the utility's own window (a partner
        // chosen while the relay holds the ports), answered; the
        // key right after it closes the utility.
        Racing{"CtrlQAfterAnAnsweredBox",
               {"command 153", "command 110", "answer ok", "key ctrl+q", "wait-exit 5s"},
               false,
               "answer ok -> \"Error\": \"COMs should be released first\"\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AboutBox, WaitedForByItsCaptionAndClosedWithOk) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  Child child({FWUTIL_PATH, "--headless",
               "--desktop", dir / "desktop",
               "--trace",   "none",
               "--do",      "command 120",
               "--do",      "wait-window \"About\" 10s",
               "--do",      "save-screen " + (dir / "about.txt"),
               "--do",      "dialog ok",
               "--do",      "wait-window \"Firmware Utility\" 10s",
               "--do",      "key ctrl+q",
               "--do",      "wait-exit 0 10s"},
              dir / "stderr.txt");
  ASSERT_TRUE(child.Started());
  auto status = child.Wait(60s);
  ASSERT_TRUE(status) << child.Errors();
  EXPECT_EQ(*status, 0) << child.Errors();
  EXPECT_NE(child.Errors().find("dialog ok -> \"About\"\n"), std::string::npos) << child.Errors();
  std::string screen = ReadFile(dir / "about.txt");
  EXPECT_NE(screen.find("title bar: \"About\""), std::string::npos) << screen;
  EXPECT_NE(screen.find("dialog \"About\""), std::string::npos) << screen;
  EXPECT_NE(screen.find("Lumacord - Written for Zentrik"), std::string::npos) << screen;
}

}  // namespace
