// The shell's behaviour on the emulated handset: start-up and its failure
// exits, the log view's gate, the settings commands, the keep-awake tick,
// and what closing the window releases.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "board/Board.h"
#include "kernel/Memory.h"
#include "relay/Relay.h"
#include "shell/Shell.h"
#include "support/UtilityFixture.h"
#include "windowing/Screen.h"

namespace systemtest {
namespace {

class ShellTest : public UtilityFixture {};

TEST_F(ShellTest, BannerIsTheFirstTextAndLogLevelZeroDropsAppendedTexts) {
  StartUtility();
  EXPECT_EQ(Log(), kBanner);
  EXPECT_EQ(TraceCount(u"get current dir \\Windows\\\r\n"), 1u);

  EXPECT_EQ(Send(112), 0);
  EXPECT_EQ(LogLevel.load(), 0u);
  AppendLog(Window(), TEXT("dropped\r\n"));
  EXPECT_EQ(Log(), kBanner);
  // The radio commands write to the view directly, at every level.
  EXPECT_EQ(Send(151), 0);
  EXPECT_EQ(Log(), std::u16string(kBanner) + u"RIL has been resumed\r\n");

  for (UINT level : {113u, 114u, 115u}) {
    EXPECT_EQ(Send(level), 0);
    EXPECT_EQ(LogLevel.load(), level - 112);
    AppendLog(Window(), TEXT("shown\r\n"));
  }
  EXPECT_EQ(Occurrences(Log(), u"shown\r\n"), 3u);
  EXPECT_EQ(Occurrences(Log(), u"dropped"), 0u);
}

TEST_F(ShellTest, UnknownCommandsDoNothingAndYieldZero) {
  StartUtility();
  std::u16string before = Log();
  EXPECT_EQ(Send(40001), 0);
  EXPECT_EQ(Send(999), 0);
  EXPECT_EQ(Log(), before);
  EXPECT_TRUE(IsWindow(Window()));
}

TEST_F(ShellTest, PartnerChangeIsRefusedWhileARelayPortIsHeld) {
  // Partner 3 (IrDA) is missing, so the start leaves the module UART held.
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Absent, ""};
  StartUtility();
  EXPECT_EQ(Send(153), 1);
  ASSERT_NE(ModulePort.load(), INVALID_HANDLE_VALUE);

  LRESULT result = -1;
  std::thread press([&] { result = Send(110); });
  auto box = User().AnswerNextBox(IDOK, 10s);
  press.join();
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, u"COMs should be released first");
  EXPECT_EQ(box->caption, u"Error");  // no caption given: the platform's default
  EXPECT_EQ(result, 1);
  EXPECT_EQ(RelayPartner.load(), 3u);

  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(Send(110), 0);
  EXPECT_EQ(RelayPartner.load(), 1u);
  EXPECT_EQ(Send(111), 0);
  EXPECT_EQ(RelayPartner.load(), 2u);
  EXPECT_EQ(Send(116), 0);
  EXPECT_EQ(RelayPartner.load(), 3u);
}

// The settings commands move the check mark within their group of the menu
// bar's menu. The shipped menu holds none of the seven items, so the test
// adds them; before each command every item of both groups carries a mark,
// so any item of the group the command leaves marked shows, and the other
// group must keep its marks.
TEST_F(ShellTest, SettingsKeepOneMarkInTheirGroupAndLeaveTheOtherGroupAlone) {
  StartUtility();
  HMENU menu = CommandBar_GetMenu(MenuBar, 0);
  ASSERT_NE(menu, nullptr);
  const UINT partnerGroup[] = {110, 111, 116};
  const UINT levelGroup[] = {112, 113, 114, 115};
  HMENU settings = CreatePopupMenu();
  for (UINT id : partnerGroup) AppendMenuW(settings, MF_STRING, id, u"partner");
  for (UINT id : levelGroup) AppendMenuW(settings, MF_STRING, id, u"level");
  ASSERT_TRUE(AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), u"Settings"));
  auto marked = [&](UINT id) { return (GetMenuState(menu, id, MF_BYCOMMAND) & MF_CHECKED) != 0; };
  auto markAll = [&] {
    for (UINT id : partnerGroup) CheckMenuItem(menu, id, MF_CHECKED);
    for (UINT id : levelGroup) CheckMenuItem(menu, id, MF_CHECKED);
  };
  for (UINT id : partnerGroup) EXPECT_FALSE(marked(id)) << id;  // nothing marks at start-up
  for (UINT id : levelGroup) EXPECT_FALSE(marked(id)) << id;

  for (UINT chosen : levelGroup) {
    markAll();
    EXPECT_EQ(Send(chosen), 0);
    for (UINT id : levelGroup) EXPECT_EQ(marked(id), id == chosen) << "chose " << chosen << ", item " << id;
    for (UINT id : partnerGroup) EXPECT_TRUE(marked(id)) << "chose " << chosen << ", item " << id;
  }
  for (UINT chosen : partnerGroup) {
    markAll();
    EXPECT_EQ(Send(chosen), 0);
    for (UINT id : partnerGroup) EXPECT_EQ(marked(id), id == chosen) << "chose " << chosen << ", item " << id;
    for (UINT id : levelGroup) EXPECT_TRUE(marked(id)) << "chose " << chosen << ", item " << id;
  }
}

TEST_F(ShellTest, TicksRaiseTheWindowOnlyWhileKeepInFront) {
  options_.clockSpeed = 200;  // a tick every 50 ms of real time
  StartUtility();
  HWND main = Window();
  int idleBefore = Handset().Board().IdleResets();
  // Another window takes the foreground; the next tick takes it back.
  HWND other = CreateWindowExW(0, TEXT("static"), TEXT("other"), WS_VISIBLE | WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  // (A tick may come at once, so only the request is checked here.)
  ASSERT_TRUE(SetForegroundWindow(other));
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (GetForegroundWindow() != main && std::chrono::steady_clock::now() < deadline) Sleep(100);
  EXPECT_EQ(GetForegroundWindow(), main);

  // Ticks handled one after the other: two more after the clear are sure to
  // have read it, so a tick that read the old value is over by then.
  auto waitForTicks = [&](int ticks) {
    int from = Handset().Board().IdleResets();
    auto until = std::chrono::steady_clock::now() + 10s;
    while (Handset().Board().IdleResets() < from + ticks && std::chrono::steady_clock::now() < until) Sleep(20);
    return Handset().Board().IdleResets() >= from + ticks;
  };
  KeepInFront = 0;
  ASSERT_TRUE(waitForTicks(2));
  SetForegroundWindow(other);
  EXPECT_TRUE(waitForTicks(2));
  EXPECT_EQ(GetForegroundWindow(), other);
  EXPECT_GT(Handset().Board().IdleResets(), idleBefore);

  bool silentRelease = false;
  for (const auto& key : Handset().Board().Keys()) {
    silentRelease |= key.vk == 0x15 && key.scan == 0 && key.flags == (KEYEVENTF_KEYUP | KEYEVENTF_SILENT);
  }
  EXPECT_TRUE(silentRelease);
  DestroyWindow(other);
}

TEST_F(ShellTest, ModulePathWithoutBackslashShowsWorkDirErrorAndGoesOn) {
  options_.programPath = u"fwutil.exe";
  StartUtility(false);
  auto box = User().AnswerNextBox(IDOK, 10s);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, u"fwutil.exe");
  EXPECT_EQ(box->caption, u"WorkDir Error");
  ASSERT_TRUE(WaitLog(u"Firmware Version"));
  EXPECT_EQ(TraceCount(u"get current dir \r\n"), 1u);
}

TEST_F(ShellTest, ClosingReleasesTheRelayWithoutALogLineAndQuitsWithZero) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  StartUtility();
  ASSERT_EQ(Send(153), 0);
  ASSERT_TRUE(WaitLog(u"Baudrate:115200"));
  HANDLE moduleToPartner = ModuleToPartnerHandle;
  HANDLE partnerToModule = PartnerToModuleHandle;

  EXPECT_EQ(CloseUtility(), 0);
  EXPECT_EQ(ModulePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(PartnerPort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(RelayRunning.load(), 0u);
  for (HANDLE thread : {moduleToPartner, partnerToModule}) {
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
  }
  // Both ports are free again.
  HANDLE com1 = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(com1, INVALID_HANDLE_VALUE);
  CloseHandle(com1);
  EXPECT_EQ(kernel::ReservationCount(), 0u);  // the GPIO window went with the window
}

// Start-up failures end with their exit code and leave no window behind.
struct StartFailure {
  const char* fault;
  int exitCode;
};

void PrintTo(const StartFailure& failure, std::ostream* out) { *out << failure.fault; }

class ShellStartFailureTest : public UtilityFixture, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(ShellStartFailureTest, EndsWithItsCodeAndNoWindow) {
  options_.platformFaults = {GetParam().fault};
  StartUtility(false);
  EXPECT_EQ(Program().WaitForExit(30s), GetParam().exitCode);
  running_ = false;
  EXPECT_EQ(FindWindowW(TEXT("Firmware Utility"), nullptr), nullptr);
  EXPECT_FALSE(screen::Capture().window.has_value());
  EXPECT_EQ(kernel::ReservationCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, ShellStartFailureTest,
                         ::testing::Values(StartFailure{"registerclass", 1}, StartFailure{"menubar", 16},
                                           StartFailure{"logview", 16}, StartFailure{"reserve", 16},
                                           StartFailure{"map", 16}),
                         [](const auto& info) { return std::string(info.param.fault); });

}  // namespace
}  // namespace systemtest
