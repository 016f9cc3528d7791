// The real fwutil through fifty relay rounds in one run, from a script:
// each round starts the relay (both copy threads) and releases it; then
// Exit. The process ends with 0, the log view holds the release's text
// fifty times, and the trace shows no copy thread ended by force.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../update/Run.h"

namespace {

using namespace std::chrono_literals;
using e2e::Child;
using e2e::ReadFile;
using e2e::TempDir;

size_t Occurrences(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
  return count;
}

TEST(RelayRounds, FiftyStartReleaseRoundsThenExitEndWithZero) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  std::vector<std::string> argv{FWUTIL_PATH, "--headless",      "--desktop", dir / "desktop",
                                "--trace",   dir / "trace.txt", "--log-out", dir / "log.txt"};
  // The commands are posted to the window: it takes them one after the
  // other, each round's release before the next start.
  for (int round = 1; round <= 50; ++round) {
    for (const char* step : {"command 153", "command 155"}) {
      argv.push_back("--do");
      argv.push_back(step);
    }
  }
  for (const char* step : {"command 101", "wait-exit 0 60s"}) {
    argv.push_back("--do");
    argv.push_back(step);
  }
  Child child(argv, dir / "stderr.txt");
  ASSERT_TRUE(child.Started());
  auto status = child.Wait(120s);
  ASSERT_TRUE(status) << "fwutil did not end:\n" << child.Errors();
  EXPECT_EQ(*status, 0) << child.Errors();
  std::string log = ReadFile(dir / "log.txt");
  EXPECT_EQ(Occurrences(log, "Baudrate:115200,Parity:none\r\n"), 50u) << log;
  EXPECT_EQ(Occurrences(log, "COMs released, R/W threads stopped\r\n"), 50u) << log;
  EXPECT_EQ(ReadFile(dir / "trace.txt").find("terminated!!"), std::string::npos);
}

}  // namespace
