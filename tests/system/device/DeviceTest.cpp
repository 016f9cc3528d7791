// The radio commands and the reboot on the emulated handset: the texts of
// every path at log level 3 and 0 and without a window, the results, the
// driver handle released after a refusal, and what reached the hardware.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "board/Board.h"
#include "devices/ril/RilDriver.h"
#include "device/Device.h"
#include "kernel/Handles.h"
#include "radio/Module.h"
#include "shell/Shell.h"
#include "support/UtilityFixture.h"

namespace systemtest {
namespace {

// Who shows the texts: the main window at log level 3 or 0 (the command
// sent to it), or no window (the handler called directly, as the update
// calls it).
enum class Viewer { kWindow, kWindowAtLevelZero, kNoWindow };

std::string ViewerName(Viewer viewer) {
  switch (viewer) {
    case Viewer::kWindow:
      return "Window";
    case Viewer::kWindowAtLevelZero:
      return "WindowAtLevelZero";
    case Viewer::kNoWindow:
      return "NoWindow";
  }
  return "?";
}

class DeviceFixture : public UtilityFixture {
 protected:
  // Runs command `id` for `viewer`; its result, and the text it added to
  // the log view.
  std::pair<LRESULT, std::u16string> Run(Viewer viewer, UINT id, CommandHandler handler) {
    if (viewer == Viewer::kWindowAtLevelZero) {
      EXPECT_EQ(Send(112), 0);
    }
    std::u16string before = Log();
    LRESULT result = viewer == Viewer::kNoWindow ? handler(nullptr, static_cast<WORD>(id), nullptr, 0) : Send(id);
    std::u16string after = Log();
    EXPECT_EQ(after.rfind(before, 0), 0u) << "the log view lost text";
    return {result, after.substr(before.size())};
  }
};

// ------------------------------------------------------------- radio

enum class Outcome { kAccepted, kNoDriver, kRefused };
const char* const kOutcomeNames[] = {"Accepted", "NoDriver", "Refused"};

// A refusal value with the high bit set, to see all eight digits in upper case.
constexpr DWORD kRefusal = 0x8007001F;

struct RadioOp {
  const char* name;
  UINT command;
  CommandHandler handler;
  std::u16string_view openFailure;
  std::u16string_view requestFailure;
  std::u16string_view success;  // with a window
  std::atomic<DWORD> ril::DriverSwitches::*refuse;
  uint32_t ril::RequestCounts::*requests;
};

const RadioOp kRadioOps[] = {
    {"Suspend", 152, SuspendRadio, u"Failed to open RIL1:, error code: 0x00000002\r\n",
     u"Failed to suspend RIL action, error code: 0x8007001F\r\n", u"", &ril::DriverSwitches::refuseSuspend,
     &ril::RequestCounts::suspend},
    {"Resume", 151, ResumeRadio, u"Failed to open RIL1:, error code: 0x00000002\r\n",
     u"Failed to resume RIL action, error code: 0x8007001F\r\n", u"RIL has been resumed\r\n",
     &ril::DriverSwitches::refuseResume, &ril::RequestCounts::resume},
    {"Reset", 154, ResetRadio, u"Failed to open RIL1,CANNOT reset:, error code: 0x00000002\r\n",
     u"Failed to reset GSM/GPRS module, error code: 0x8007001F\r\n", u"GSM/GPRS has been reset\r\n",
     &ril::DriverSwitches::refuseReset, &ril::RequestCounts::reset},
};

class RadioCommandTest : public DeviceFixture,
                         public ::testing::WithParamInterface<std::tuple<size_t, Outcome, Viewer>> {};

TEST_P(RadioCommandTest, TextResultAndDriverHandle) {
  const RadioOp& op = kRadioOps[std::get<0>(GetParam())];
  const Outcome outcome = std::get<1>(GetParam());
  const Viewer viewer = std::get<2>(GetParam());
  StartUtility();
  auto module = Handset().Module();
  ASSERT_TRUE(module);
  if (op.command == 151) module->SetRadioSuspended(true);
  uint32_t resetsBefore = module->GetRecord().resets;

  if (outcome == Outcome::kNoDriver) ril::Switches().absent = true;
  if (outcome == Outcome::kRefused) ril::Switches().*op.refuse = kRefusal;
  ril::ClearRequests();
  size_t handles = kernel::OpenHandleCount();
  auto [result, text] = Run(viewer, op.command, op.handler);
  EXPECT_EQ(kernel::OpenHandleCount(), handles) << "the driver handle was not closed";

  std::u16string expected;
  switch (outcome) {
    case Outcome::kAccepted:
      // The reset says so only where there is a window to say it in.
      expected = op.success;
      break;
    case Outcome::kNoDriver:
      expected = op.openFailure;
      break;
    case Outcome::kRefused:
      expected = op.requestFailure;
      break;
  }
  // These texts bypass the log level; without a window nothing is shown.
  if (viewer == Viewer::kNoWindow) expected.clear();
  EXPECT_EQ(text, expected);
  EXPECT_EQ(result, outcome == Outcome::kAccepted ? 0 : 1);

  // Without the driver no request is made; otherwise exactly one.
  ril::RequestCounts requests = ril::Requests();
  EXPECT_EQ(requests.*op.requests, outcome == Outcome::kNoDriver ? 0u : 1u);
  EXPECT_EQ(requests.failed, outcome == Outcome::kRefused ? 1u : 0u);
  // What the module felt.
  const bool accepted = outcome == Outcome::kAccepted;
  if (op.command == 152) {
    EXPECT_EQ(module->RadioSuspended(), accepted);
  } else if (op.command == 151) {
    EXPECT_EQ(module->RadioSuspended(), !accepted);
  }
  EXPECT_EQ(module->GetRecord().resets, resetsBefore + (op.command == 154 && accepted ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RadioCommandTest,
    ::testing::Combine(::testing::Values(size_t{0}, size_t{1}, size_t{2}),
                       ::testing::Values(Outcome::kAccepted, Outcome::kNoDriver, Outcome::kRefused),
                       ::testing::Values(Viewer::kWindow, Viewer::kWindowAtLevelZero, Viewer::kNoWindow)),
    [](const auto& info) {
      return std::string(kRadioOps[std::get<0>(info.param)].name) +
             kOutcomeNames[static_cast<int>(std::get<1>(info.param))] + ViewerName(std::get<2>(info.param));
    });

// ------------------------------------------------------------ reboot

struct RebootPath {
  const char* name;
  bool loadFails, lookupFails, releaseFails, rebootRefused;
  std::u16string_view texts;  // with a window at a level above 0
  LRESULT result;
  bool reboots;
};

const RebootPath kRebootPaths[] = {
    {"Accepted", false, false, false, false, u"", 0, true},
    {"LoadFails", true, false, false, false, u"LoadLibrary() call fails !\r\n", 1, false},
    {"LookupFails", false, true, false, false, u"GetProcAddress() call fails !\r\n", 1, false},
    // The release after a failed lookup reports nothing.
    {"LookupAndReleaseFail", false, true, true, false, u"GetProcAddress() call fails !\r\n", 1, false},
    {"ReleaseFails", false, false, true, false, u"Coredll.dll is not freed !\r\n", 0, true},
    {"ReleaseFailsAndRebootRefused", false, false, true, true,
     u"Coredll.dll is not freed !\r\nFailed to call KernelIoControl() to reboot!\r\n", 1, false},
    {"RebootRefused", false, false, false, true, u"Failed to call KernelIoControl() to reboot!\r\n", 1, false},
};

class RebootTest : public DeviceFixture, public ::testing::WithParamInterface<std::tuple<size_t, Viewer>> {
 protected:
  void TearDown() override {
    board::PlatformFaults().Clear();
    DeviceFixture::TearDown();
  }
};

TEST_P(RebootTest, TextsOnlyOnFailureAndOnlyThroughTheLogLevel) {
  const RebootPath& path = kRebootPaths[std::get<0>(GetParam())];
  const Viewer viewer = std::get<1>(GetParam());
  StartUtility();
  board::PlatformFaults().loadLibraryFails = path.loadFails;
  board::PlatformFaults().procAddressFails = path.lookupFails;
  board::PlatformFaults().freeLibraryFails = path.releaseFails;
  Handset().Board().refuseReboot = path.rebootRefused;

  auto [result, text] = Run(viewer, 150, RebootDevice);
  EXPECT_EQ(text, viewer == Viewer::kWindow ? path.texts : u"");
  EXPECT_EQ(result, path.result);
  EXPECT_EQ(Handset().Board().Reboots(), path.reboots ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, RebootTest,
                         ::testing::Combine(::testing::Range(size_t{0}, std::size(kRebootPaths)),
                                            ::testing::Values(Viewer::kWindow, Viewer::kWindowAtLevelZero,
                                                              Viewer::kNoWindow)),
                         [](const auto& info) {
                           return std::string(kRebootPaths[std::get<0>(info.param)].name) +
                                  ViewerName(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace systemtest
