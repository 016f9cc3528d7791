// The real fwutil executable end to end: a headless update to the reboot
// with the flash and the log view written out, two copies at once, the
// failure exit codes, a failed script, a failed update followed by one that
// succeeds; and the same update over a pty pair with the standalone module
// simulator as a separate process, also with its loader variants.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Run.h"
#include "support/UtilityFixture.h"
#include "windowing/Desktop.h"

namespace {

using namespace std::chrono_literals;
using e2e::Child;
using e2e::ReadFile;
using e2e::TempDir;

constexpr char kRebooted[] = "fwutil: the handset rebooted";
constexpr char kFlashHoldsImage[] = "fwutil: verify: flash holds the firmware image (2493720 bytes)\n";

size_t Count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

// What the log view holds after the update: the marks, 23 to a row, and the
// closing line after the last row of 3.
void ExpectUpdateLog(const std::string& log) {
  EXPECT_EQ(Count(log, "#"), 624u);
  std::string tail = "\r\n###\r\nFirmware Updated....Done\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_NE(log.find("Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n#"), std::string::npos);
  EXPECT_EQ(Count(log, std::string(23, '#') + "\r\n"), 27u);
}

class UpdateEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Path().empty()); }

  // fwutil with a desktop of its own (copies of other tests must not see it)
  // and the given options.
  std::vector<std::string> Fwutil(std::vector<std::string> options, const std::string& desktop = "") {
    std::vector<std::string> argv{FWUTIL_PATH, "--headless", "--desktop", desktop.empty() ? dir_ / "desktop" : desktop};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }

  // A pty pair made by socat (check that it is installed first), and
  // modulesim with `options` on its module end; fwutil's COM1: goes on
  // dir_/"host", the simulator's control FIFO is dir_/"control". False when
  // either did not come up.
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

constexpr char kTryAgain[] = "Choose Update firmware - Go to try again.\r\n";
// The script waits for the log view's last line of a failure.
const std::string kWaitFailure = "wait \"Choose Update firmware - Go to try again.\"";

TEST_F(UpdateEndToEnd, HeadlessUpdateFlashesTheModuleAndRebootsTheHandset) {
  Child run(Fwutil({"--speed", "50", "--trace", dir_ / "trace.txt", "--log-out", dir_ / "log.txt", "--flash-out",
                    dir_ / "flash.bin", "--do", "command 118", "--do", "answer ok 2m", "--do", "wait-exit 2m"}),
            dir_ / "stderr.txt");
  ASSERT_TRUE(run.Started());
  auto status = run.Wait(180s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 0) << run.Errors();
  EXPECT_NE(run.Errors().find(kRebooted), std::string::npos) << run.Errors();
  // The script reports the answered box before the reboot it sets off.
  size_t answered = run.Errors().find(": answer ok 2m -> \"Successful\": \"Reboot device/Reset module !\"\n");
  EXPECT_NE(answered, std::string::npos) << run.Errors();
  EXPECT_LT(answered, run.Errors().find(kRebooted)) << run.Errors();
  // The launcher's verify line tells what the flash holds now.
  EXPECT_NE(run.Errors().find(kFlashHoldsImage), std::string::npos) << run.Errors();

  std::string flash = ReadFile(dir_ / "flash.bin");
  std::string image = ReadFile(FIRMWARE_IMAGE);
  ASSERT_EQ(image.size(), 2493720u);
  EXPECT_EQ(flash.size(), image.size());
  EXPECT_TRUE(flash == image) << "the module's flash differs from the firmware image";
  ExpectUpdateLog(ReadFile(dir_ / "log.txt"));

  std::string trace = ReadFile(dir_ / "trace.txt");
  EXPECT_NE(trace.find("File upload complete!! file size 2493720 , 260D18 h , Size char 26  D  18\r\n"),
            std::string::npos);
  EXPECT_NE(trace.find("Firmware Updated....Done"), std::string::npos);
  EXPECT_EQ(Count(trace, "Waiting for char -> AA h\r\n"), 7u + 623u);
}

TEST_F(UpdateEndToEnd, ASecondCopyEndsWithMinusOneWhileTheFirstGoesOn) {
  // The module holds its answer to the memory check for 50 s of the first
  // copy's clock (10 s of real time, within the update's limit for that
  // answer), long enough for the second to start.
  Child first(Fwutil({"--speed", "5", "--unpaced", "--trace", dir_ / "trace.txt", "--flash-out", dir_ / "flash.bin",
                      "--module", "delay@memory-check=50000", "--do", "command 118", "--do", "answer ok 2m"}),
              dir_ / "first.txt");
  ASSERT_TRUE(first.Started());
  // The first copy is in the middle of its update.
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (ReadFile(dir_ / "trace.txt").find("Memory Check, We would get") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << first.Errors();
    ASSERT_FALSE(first.Wait(20ms)) << first.Errors();
  }
  Child second(Fwutil({"--trace", dir_ / "second-trace.txt"}), dir_ / "second.txt");
  auto code = second.Wait(60s);
  ASSERT_TRUE(code) << second.Errors();
  EXPECT_EQ(*code, 255) << second.Errors();
  EXPECT_FALSE(first.Wait(0ms)) << "the first copy ended with the second";

  auto status = first.Wait(120s);
  ASSERT_TRUE(status) << first.Errors();
  EXPECT_EQ(*status, 0) << first.Errors();
  EXPECT_NE(first.Errors().find(kRebooted), std::string::npos);
  EXPECT_TRUE(ReadFile(dir_ / "flash.bin") == ReadFile(FIRMWARE_IMAGE));
}

// The first copy runs in this process with a window of another program in
// front; the real fwutil, started second, brings it back.
class SecondCopyTest : public systemtest::UtilityFixture {};

TEST_F(SecondCopyTest, BringsTheFirstToTheFront) {
  StartUtility();
  HWND main = Window();
  HWND other = CreateWindowExW(0, TEXT("static"), TEXT("other"), WS_VISIBLE | WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  // The first copy's keep-in-front tick may take the front back at any
  // moment; put the other window in front again until it stays there.
  auto until = std::chrono::steady_clock::now() + 10s;
  while (GetForegroundWindow() != other && std::chrono::steady_clock::now() < until) {
    SetForegroundWindow(other);
    Sleep(1);
  }
  ASSERT_EQ(GetForegroundWindow(), other);

  TempDir dir;
  Child second({FWUTIL_PATH, "--headless", "--desktop", windowing::DesktopDirectory(), "--trace", "none"},
               dir / "second.txt");
  auto code = second.Wait(60s);
  ASSERT_TRUE(code) << second.Errors();
  EXPECT_EQ(*code, 255) << second.Errors();
  EXPECT_EQ(GetForegroundWindow(), main);
  DestroyWindow(other);
}

struct FailureExit {
  const char* fault;
  int code;
};

class FailureExitTest : public UpdateEndToEnd, public ::testing::WithParamInterface<FailureExit> {};

TEST_P(FailureExitTest, EndsWithTheProgramsCode) {
  Child run(Fwutil({"--fail", GetParam().fault, "--do", "wait-exit 60s"}), dir_ / "stderr.txt");
  auto code = run.Wait(90s);
  ASSERT_TRUE(code) << run.Errors();
  EXPECT_EQ(*code, GetParam().code) << run.Errors();
}

INSTANTIATE_TEST_SUITE_P(Faults, FailureExitTest,
                         ::testing::Values(FailureExit{"registerclass", 1}, FailureExit{"menubar", 16},
                                           FailureExit{"logview", 16}, FailureExit{"reserve", 16},
                                           FailureExit{"map", 16}),
                         [](const auto& info) { return std::string(info.param.fault); });

TEST_F(UpdateEndToEnd, AFailedScriptStepEndsWith125AndSaysWhich) {
  Child run(Fwutil({"--log-out", dir_ / "log.txt", "--do", "wait \"Firmware Version\" 30s", "--do",
                    "wait \"no such text\" 200ms"}),
            dir_ / "stderr.txt");
  auto code = run.Wait(90s);
  ASSERT_TRUE(code) << run.Errors();
  EXPECT_EQ(*code, 125) << run.Errors();
  EXPECT_NE(run.Errors().find("script step"), std::string::npos) << run.Errors();
  EXPECT_NE(run.Errors().find("failed"), std::string::npos) << run.Errors();
  // What the view held is still written out.
  EXPECT_NE(ReadFile(dir_ / "log.txt").find("Firmware Version"), std::string::npos);
}

TEST_F(UpdateEndToEnd, ARefusedRebootLeavesTheProgramRunningUntilItIsClosed) {
  Child run(Fwutil({"--speed", "50", "--unpaced", "--fail", "reboot", "--flash-out", dir_ / "flash.bin", "--log-out",
                    dir_ / "log.txt", "--do", "command 118", "--do", "answer ok 2m", "--do", "command 101", "--do",
                    "wait-exit 0 1m"}),
            dir_ / "stderr.txt");
  auto code = run.Wait(180s);
  ASSERT_TRUE(code) << run.Errors();
  EXPECT_EQ(*code, 0) << run.Errors();
  EXPECT_EQ(run.Errors().find(kRebooted), std::string::npos) << run.Errors();
  EXPECT_TRUE(ReadFile(dir_ / "flash.bin") == ReadFile(FIRMWARE_IMAGE));
  EXPECT_NE(run.Errors().find(kFlashHoldsImage), std::string::npos) << run.Errors();
  // The reboot's failure text has no window to go to.
  ExpectUpdateLog(ReadFile(dir_ / "log.txt"));
}

// A module that goes silent once, at the memory check: the update ends with
// its words in the log view, and the user's next start (which resets the
// module) flashes it.
TEST_F(UpdateEndToEnd, AFailedUpdateSaysWhyAndTheNextStartSucceeds) {
  Child run(
      Fwutil({"--speed",          "50",        "--unpaced",          "--module",    "silent@memory-check", "--trace",
              dir_ / "trace.txt", "--log-out", dir_ / "log.txt",     "--flash-out", dir_ / "flash.bin",    "--do",
              "command 118",      "--do",      kWaitFailure + " 2m", "--do",        "command 118",         "--do",
              "answer ok 2m",     "--do",      "wait-exit 2m"}),
      dir_ / "stderr.txt");
  ASSERT_TRUE(run.Started());
  auto status = run.Wait(240s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 0) << run.Errors();
  EXPECT_NE(run.Errors().find(kRebooted), std::string::npos) << run.Errors();
  EXPECT_TRUE(ReadFile(dir_ / "flash.bin") == ReadFile(FIRMWARE_IMAGE));

  std::string log = ReadFile(dir_ / "log.txt");
  const std::string failed =
      "Wait a moment please...\r\nUpdate failed: No answer from the radio module (waiting for A5h after the memory "
      "check command 50h)\r\n" +
      std::string(kTryAgain) + "Bootload1 updated!!\r\n";
  EXPECT_NE(log.find(failed), std::string::npos) << log;
  ExpectUpdateLog(log.substr(log.find(kTryAgain)));
  std::string trace = ReadFile(dir_ / "trace.txt");
  EXPECT_EQ(Count(trace, " Write to flash  fail!!  !!\r\n"), 1u);
  EXPECT_EQ(Count(trace, "Firmware Updated....Done"), 1u);
}

// The module refuses the image at its check bytes: the transfer had erased
// the flash, so no image is in it, and the verify line says so when the
// utility is closed once the update has ended. (A slower clock than elsewhere, the line unpaced: the
// module's boot window is then 200 ms of real time, wide enough for a
// loaded machine to wake it.)
TEST_F(UpdateEndToEnd, ARefusedImageLeavesNoImageInTheFlashAndTheVerifyLineSaysSo) {
  // The log view once every section is marked: 27 full rows and one of 3.
  std::string marks = "Wait a moment please...\\r\\n";
  for (int row = 0; row < 27; ++row) marks += std::string(23, '#') + "\\r\\n";
  marks += "###";
  Child run(Fwutil({"--speed", "10", "--unpaced", "--module", "refuse-image", "--trace", dir_ / "trace.txt",
                    "--flash-out", dir_ / "flash.bin", "--log-out", dir_ / "log.txt", "--do", "command 118", "--do",
                    "wait \"" + marks + "\" 2m", "--do", "wait \"Choose Update firmware - Go to try again.\" 1m",
                    "--do", "key ctrl+q", "--do", "wait-exit 0 1m"}),
            dir_ / "stderr.txt");
  auto status = run.Wait(180s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 0) << run.Errors();
  EXPECT_EQ(run.Errors().find(kRebooted), std::string::npos) << run.Errors();
  EXPECT_NE(run.Errors().find("fwutil: verify: the flash holds no firmware (erased when the image transfer began)\n"),
            std::string::npos)
      << run.Errors();
  EXPECT_EQ(ReadFile(dir_ / "flash.bin"), "");
  std::string log = ReadFile(dir_ / "log.txt");
  EXPECT_EQ(Count(log, "#"), 624u);
  EXPECT_EQ(log.find("Firmware Updated"), std::string::npos) << log;
}

// Without an image transfer nothing touched the flash: no verify line.
TEST_F(UpdateEndToEnd, NoVerifyLineWhenNoImageWasSent) {
  Child run(Fwutil({"--do", "command 120", "--do", "dialog ok", "--do", "command 101", "--do", "wait-exit 0 1m"}),
            dir_ / "stderr.txt");
  auto status = run.Wait(90s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 0) << run.Errors();
  EXPECT_EQ(run.Errors().find("verify:"), std::string::npos) << run.Errors();
}

// The update over a pseudo-terminal pair: modulesim on one end as a separate
// process, fwutil's COM1: on the other, the radio driver's requests going to
// the simulator's control FIFO.
TEST_F(UpdateEndToEnd, OverAPtyPairWithTheModuleSimulator) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  ASSERT_TRUE(StartSimulator({}));
  Child& sim = *sim_;

  Child run(
      Fwutil({"--speed", "20", "--com", "1=" + (dir_ / "host"), "--ril", "control:" + (dir_ / "control"), "--trace",
              dir_ / "trace.txt", "--log-out", dir_ / "log.txt", "--do", "command 118", "--do", "answer ok 4m"}),
      dir_ / "stderr.txt");
  auto status = run.Wait(300s);
  ASSERT_TRUE(status) << run.Errors() << sim.Errors();
  EXPECT_EQ(*status, 0) << run.Errors() << sim.Errors();
  EXPECT_NE(run.Errors().find(kRebooted), std::string::npos);
  EXPECT_EQ(run.Errors().find("verify:"), std::string::npos) << "no emulated module of its own to verify";
  ExpectUpdateLog(ReadFile(dir_ / "log.txt"));

  // The simulator wrote its flash when the image was accepted.
  ASSERT_TRUE(sim.WaitForError("flash written to", 30s)) << sim.Errors();
  EXPECT_TRUE(ReadFile(dir_ / "sim-flash.bin") == ReadFile(FIRMWARE_IMAGE));
  // The final reset request may still be in the control FIFO when fwutil ends.
  sim.WaitForError("control: reset", 10s, 2);
  std::string log = sim.Errors();
  EXPECT_EQ(Count(log, "control: reset"), 2u) << log;  // the wake-up's and the final one
  EXPECT_EQ(Count(log, "control: suspend"), 1u) << log;
  EXPECT_EQ(sim.Stop(), 0);
}

// A loader that no reset reaches (no reset line: --ril none) and that was
// power-cycled into listening just before the update: it answers the first
// wake-up byte once and then waits. The update takes that answer, and
// flashes the module with one wake-up attempt. On a busy machine the answer
// may cross the pty only after the update has looked at what came before the
// reset; then it is taken as the answer to the reset at once, which is as
// right. (The order is pinned, on the emulated line, by the wake-up tests.)
TEST_F(UpdateEndToEnd, ALoaderThatAnswersOnceWithoutAResetIsFlashed) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  ASSERT_TRUE(StartSimulator({"--loader", "once"}));
  Child run(Fwutil({"--speed", "20", "--com", "1=" + (dir_ / "host"), "--ril", "none", "--trace", dir_ / "trace.txt",
                    "--log-out", dir_ / "log.txt", "--do", "command 118", "--do", "answer ok 4m"}),
            dir_ / "stderr.txt");
  auto status = run.Wait(300s);
  ASSERT_TRUE(status) << run.Errors() << sim_->Errors();
  EXPECT_EQ(*status, 0) << run.Errors() << sim_->Errors();
  EXPECT_NE(run.Errors().find(kRebooted), std::string::npos);
  ExpectUpdateLog(ReadFile(dir_ / "log.txt"));
  std::string trace = ReadFile(dir_ / "trace.txt");
  EXPECT_LE(Count(trace, " A0h came before the reset, none since: the loader waits, go on!!\r\n"), 1u) << trace;
  EXPECT_EQ(Count(trace, " Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n"), 1u) << trace;
  EXPECT_EQ(Count(trace, "!Cast 55h!\r\n"), 1u) << trace;
  ASSERT_TRUE(sim_->WaitForError("flash written to", 30s)) << sim_->Errors();
  EXPECT_TRUE(ReadFile(dir_ / "sim-flash.bin") == ReadFile(FIRMWARE_IMAGE));
  EXPECT_EQ(Count(sim_->Errors(), "control: reset"), 0u);
  EXPECT_EQ(sim_->Stop(), 0);
}

// A loader that never answers: every attempt resets it; after the last the
// log view says so, the line is closed and the user can close the program.
TEST_F(UpdateEndToEnd, ALoaderThatNeverAnswersEndsInWords) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  ASSERT_TRUE(StartSimulator({"--loader", "never"}));
  Child run(Fwutil({"--speed", "20", "--com", "1=" + (dir_ / "host"), "--ril", "control:" + (dir_ / "control"),
                    "--trace", dir_ / "trace.txt", "--log-out", dir_ / "log.txt", "--do", "command 118", "--do",
                    kWaitFailure + " 2m", "--do", "command 101", "--do", "wait-exit 0 1m"}),
            dir_ / "stderr.txt");
  auto status = run.Wait(180s);
  ASSERT_TRUE(status) << run.Errors() << sim_->Errors();
  EXPECT_EQ(*status, 0) << run.Errors() << sim_->Errors();
  EXPECT_EQ(run.Errors().find(kRebooted), std::string::npos);
  std::string log = ReadFile(dir_ / "log.txt");
  const std::string words =
      "Update failed after 5 attempts: No answer from the radio module (waiting for A0h after the module reset)\r\n" +
      std::string(kTryAgain);
  ASSERT_GE(log.size(), words.size()) << log;
  EXPECT_EQ(log.substr(log.size() - words.size()), words) << log;
  EXPECT_EQ(Count(sim_->Errors(), "control: reset"), 5u) << sim_->Errors();
  EXPECT_EQ(Count(ReadFile(dir_ / "trace.txt"), " Communication Port Closed!!\r\n"), 2u);
  EXPECT_EQ(sim_->Stop(), 0);
}

// A loader that stops answering half way through the image: the transfer
// ends with the section it waited on in the log view; the user's next start
// resets the module, which then takes the whole image.
TEST_F(UpdateEndToEnd, ALoaderThatStopsMidImageFailsInWordsAndTheRetryFlashesIt) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  ASSERT_TRUE(StartSimulator({"--loader", "stop-mid-image"}));
  Child run(Fwutil({"--speed", "20", "--com", "1=" + (dir_ / "host"), "--ril", "control:" + (dir_ / "control"),
                    "--trace", dir_ / "trace.txt", "--log-out", dir_ / "log.txt", "--do", "command 118", "--do",
                    kWaitFailure + " 4m", "--do", "command 118", "--do", "answer ok 4m"}),
            dir_ / "stderr.txt");
  auto status = run.Wait(400s);
  ASSERT_TRUE(status) << run.Errors() << sim_->Errors();
  EXPECT_EQ(*status, 0) << run.Errors() << sim_->Errors();
  EXPECT_NE(run.Errors().find(kRebooted), std::string::npos);
  std::string log = ReadFile(dir_ / "log.txt");
  const std::string words =
      "\r\nUpdate failed: No answer from the radio module (waiting for AAh after image section 312 of 624)\r\n" +
      std::string(kTryAgain);
  EXPECT_NE(log.find(words), std::string::npos) << log;
  ExpectUpdateLog(log.substr(log.find(kTryAgain)));
  ASSERT_TRUE(sim_->WaitForError("flash written to", 30s)) << sim_->Errors();
  EXPECT_TRUE(ReadFile(dir_ / "sim-flash.bin") == ReadFile(FIRMWARE_IMAGE));
  EXPECT_EQ(sim_->Stop(), 0);
}

}  // namespace
