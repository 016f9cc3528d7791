// The scripted user driving the utility itself: start-up and banner, the
// screen it shows, the About box, the keep-awake tick, the single-instance
// rule, and the three ways to close it.
#include <windows.h>

#include <gtest/gtest.h>

#include "board/Board.h"
#include "frontends/headless/Script.h"
#include "frontends/headless/ScriptedUser.h"
#include "kernel/Memory.h"
#include "kernel/Modules.h"
#include "resources/ProgramImage.h"
#include "../windowing/WindowTestSupport.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

namespace {

using namespace wintest;
using headless::ProgramThread;
using headless::ScriptedUser;

constexpr char16_t kBanner[] = u"Orvane Q88 Firmware Utility\r\n<< Firmware Version: V.4.3.0 >>\r\n";

class RecordingBoard : public board::Board {
 public:
  void KeyEvent(BYTE vk, BYTE, DWORD flags, DWORD) override {
    if (vk == VK_KANA && flags == (KEYEVENTF_KEYUP | KEYEVENTF_SILENT)) ++keepAwakeKeys;
  }
  void IdleTimerReset() override { ++idleResets; }
  std::atomic<int> keepAwakeKeys{0};
  std::atomic<int> idleResets{0};
};

class UtilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board::Install(&board);
    // The handset's GPIO register block, which the utility maps at start-up.
    kernel::RegisterPhysicalBlock(board::kGpioAddress, board::kGpioSize);
    instance = kernel::RegisterProgramModule(u"fwutil.exe", resources::ProgramImage());
  }
  void TearDown() override {
    // The next start in this process registers the class afresh.
    UnregisterClassW(u"Firmware Utility", instance);
    board::Install(nullptr);
    kernel::SetClockSpeed(1);
  }
  RecordingBoard board;
  HINSTANCE instance = nullptr;
};

TEST_F(UtilityTest, StartsFullScreenWithItsBannerAndClosesOnCtrlQ) {
  ProgramThread program(WinMain, instance);
  ScriptedUser user(u"Firmware Utility");
  ASSERT_TRUE(user.WaitForLogText(kBanner, 10s));
  EXPECT_EQ(user.LogText(), kBanner);  // the banner is the first text
  // The banner comes inside WM_CREATE; the window is activated, and the
  // focus handed to the log view, after it.
  HWND log = user.LogView();
  ASSERT_TRUE(user.WaitForScreen(
      [&](const screen::Snapshot& s) {
        if (!s.window) return false;
        for (const auto& c : s.window->controls) {
          if (c.hwnd == log && c.focused) return true;
        }
        return false;
      },
      10s));

  screen::Snapshot s = screen::Capture();
  EXPECT_EQ(s.title, u"Firmware Utility");
  EXPECT_TRUE(s.doneButton);
  ASSERT_TRUE(s.window);
  RECT work = screen::WorkArea();
  EXPECT_EQ(s.window->rect.top, work.top);
  EXPECT_EQ(s.window->rect.bottom, work.bottom);
  ASSERT_TRUE(s.menuBar);
  ASSERT_EQ(s.menuBar->buttons.size(), 1u);
  EXPECT_EQ(s.menuBar->buttons[0].label, u"System");
  // The log view fills the window and has the keys.
  const screen::ControlView* view = nullptr;
  for (const auto& c : s.window->controls) {
    if (c.hwnd == log) view = &c;
  }
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->rect.left, s.window->rect.left);
  EXPECT_EQ(view->rect.top, s.window->rect.top);
  EXPECT_EQ(view->rect.bottom, s.window->rect.bottom);
  EXPECT_TRUE(view->focused);
  ASSERT_TRUE(view->edit);
  EXPECT_TRUE(view->edit->readOnly);
  EXPECT_EQ(view->edit->visibleLines, static_cast<size_t>((work.bottom - work.top - 4) / screen::kLineHeight));

  ASSERT_TRUE(user.Key('Q', screen::kControl));
  EXPECT_EQ(program.WaitForExit(10s), 0);
  EXPECT_FALSE(screen::Capture().window);
}

TEST_F(UtilityTest, AboutBoxAndTheDoneButton) {
  ProgramThread program(WinMain, instance);
  ScriptedUser user(u"Firmware Utility");
  ASSERT_TRUE(user.WaitForLogText(u"Firmware Version", 10s));
  ASSERT_TRUE(user.Command(120));
  std::optional<screen::WindowView> about;
  ASSERT_TRUE(Eventually([&] {
    for (const auto& m : screen::Capture().modals) {
      if (m.kind == screen::ModalView::Kind::kDialog) about = m.dialog;
    }
    return about.has_value();
  }));
  EXPECT_EQ(about->title, u"About");
  ASSERT_EQ(about->controls.size(), 1u);
  EXPECT_EQ(about->controls[0].text.rfind(u"Lumacord - Written for Zentrik", 0), 0u);
  EXPECT_EQ(screen::Capture().title, u"About");
  EXPECT_FALSE(user.Done());  // the About box has no done button; the main window is disabled
  ASSERT_TRUE(user.Key(VK_RETURN));
  ASSERT_TRUE(Eventually([] { return screen::Capture().modals.empty(); }));
  ASSERT_TRUE(Eventually([] { return screen::Capture().title == u"Firmware Utility"; }));
  ASSERT_TRUE(user.Done());
  EXPECT_EQ(program.WaitForExit(10s), 0);
}

TEST_F(UtilityTest, KeepAwakeTicksAndTheExitMenuItem) {
  kernel::SetClockSpeed(200);
  ProgramThread program(WinMain, instance);
  ScriptedUser user(u"Firmware Utility");
  ASSERT_TRUE(user.WaitForLogText(u"Firmware Version", 10s));
  // Every 10 seconds: the idle timer and a silent key release.
  ASSERT_TRUE(Eventually([&] { return board.keepAwakeKeys >= 2; }, 10s));
  EXPECT_GE(board.idleResets.load(), 2);
  ASSERT_TRUE(user.Menu(0, 101));
  EXPECT_EQ(program.WaitForExit(10s), 0);
}

TEST_F(UtilityTest, ASecondStartBringsTheFirstToTheFront) {
  ProgramThread first(WinMain, instance);
  ScriptedUser user(u"Firmware Utility");
  ASSERT_TRUE(user.WaitForLogText(u"Firmware Version", 10s));
  HWND main = user.MainWindow();
  ASSERT_TRUE(user.WaitForScreen([&](const screen::Snapshot& s) { return s.foreground == main; }, 10s));
  HWND other = Create(nullptr, WS_VISIBLE, nullptr, 0, u"Other");
  // The utility's keep-in-front tick may take the front back at any moment
  // (every 10 s); put the other window in front again if it has.
  ASSERT_TRUE(Eventually([&] {
    if (GetForegroundWindow() != other) SetForegroundWindow(other);
    return GetForegroundWindow() == other;
  }));
  ProgramThread second(WinMain, instance);
  EXPECT_EQ(second.WaitForExit(10s), -1);
  EXPECT_EQ(GetForegroundWindow(), main);
  DestroyWindow(other);
  auto script = headless::ParseScript("key ctrl+q\nwait-exit 0 10s\n");
  auto result = headless::RunScript(script.steps, user, &first);
  EXPECT_TRUE(result.ok) << result.message;
}

}  // namespace
