// Unit tests of the shell's menu bar on the stand-in's screen: what the
// screen shows of it (the button, its popup's items and check marks), the
// person opening it and choosing items, the program's own menu bar from its
// embedded resources, and the fault switch that refuses a bar.
#include <windows.h>
#include <aygshell.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "board/Board.h"
#include "kernel/Modules.h"
#include "resources/ProgramImage.h"
#include "windowing/Screen.h"
#include "../windowing/WindowTestSupport.h"

namespace {

using namespace wintest;

TEST_F(MenuBarTest, TheScreenShowsTheBarsButtonAndItems) {
  SHMENUBARINFO info = BarInfo(main, instance);
  ASSERT_TRUE(SHCreateMenuBar(&info));
  HWND bar = info.hwndMB;
  HMENU menu = CommandBar_GetMenu(bar, 0);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(CheckMenuItem(menu, 118, MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  RECT r;
  GetWindowRect(bar, &r);
  EXPECT_EQ(r.top, screen::kHeight - screen::kMenuBarHeight);
  EXPECT_EQ(CommandBar_Height(bar), screen::kMenuBarHeight);

  auto s = screen::Capture();
  ASSERT_TRUE(s.menuBar);
  EXPECT_EQ(s.menuBar->hwnd, bar);
  ASSERT_EQ(s.menuBar->buttons.size(), 1u);
  const screen::MenuButtonView& button = s.menuBar->buttons[0];
  EXPECT_EQ(button.label, u"System");
  EXPECT_EQ(button.command, 40001u);
  EXPECT_TRUE(button.dropdown);
  EXPECT_TRUE(button.enabled);
  ASSERT_EQ(button.items.size(), 3u);
  EXPECT_EQ(button.items[0].text, u"Update firmware - Go");
  EXPECT_EQ(button.items[0].id, 118u);
  EXPECT_TRUE(button.items[0].checked);
  EXPECT_TRUE(button.items[1].separator);
  EXPECT_EQ(button.items[2].id, 101u);
  EXPECT_EQ(s.menuBar->openButton, -1);

}

TEST_F(MenuBarTest, ChoosingAnItemSendsItsCommandToTheParent) {
  SHMENUBARINFO info = BarInfo(main, instance);
  ASSERT_TRUE(SHCreateMenuBar(&info));
  EXPECT_FALSE(screen::ChooseMenuItem(101));  // no popup open
  EXPECT_FALSE(screen::OpenMenu(1));
  ASSERT_TRUE(screen::OpenMenu(0));
  EXPECT_EQ(screen::Capture().menuBar->openButton, 0);
  EXPECT_FALSE(screen::ChooseMenuItem(0));    // the separator
  EXPECT_FALSE(screen::ChooseMenuItem(999));  // no such item
  EnableMenuItem(CommandBar_GetMenu(info.hwndMB, 0), 118, MF_GRAYED);
  EXPECT_FALSE(screen::ChooseMenuItem(118));  // disabled
  ASSERT_TRUE(screen::ChooseMenuItem(101));
  EXPECT_EQ(screen::Capture().menuBar->openButton, -1);
  ASSERT_TRUE(Pump([&] { return log.Count(WM_COMMAND, main) > 0; }));
  for (const Message& m : log.All()) {
    if (m.message == WM_COMMAND) {
      EXPECT_EQ(LOWORD(m.wParam), 101);
    }
  }
}

TEST_F(MenuBarTest, PlainButtonSendsItsOwnCommand) {
  instance = RegisterMenuBarResources({105, 1, 0xFFFE, 40001, 4, 0, 40003, 0, 0xFFFF});
  SHMENUBARINFO info = BarInfo(main, instance);
  ASSERT_TRUE(SHCreateMenuBar(&info));
  ASSERT_TRUE(screen::OpenMenu(0));
  EXPECT_EQ(screen::Capture().menuBar->openButton, -1);
  ASSERT_TRUE(Pump([&] { return log.Count(WM_COMMAND, main) > 0; }));
  EXPECT_EQ(LOWORD(log.All().back().wParam), 40001);
}

TEST_F(MenuBarTest, FaultSwitchRefusesTheBar) {
  SHMENUBARINFO info = BarInfo(main, instance);
  board::PlatformFaults().menuBarFails = true;
  EXPECT_FALSE(SHCreateMenuBar(&info));
  board::PlatformFaults().menuBarFails = false;
  EXPECT_FALSE(screen::Capture().menuBar);
  ASSERT_TRUE(SHCreateMenuBar(&info));
  EXPECT_TRUE(screen::Capture().menuBar);
}

TEST(ProgramMenuBarTest, TheProgramsOwnResourcesMakeTheSystemMenu) {
  HINSTANCE instance = kernel::RegisterProgramModule(u"fwutil.exe", resources::ProgramImage());
  HWND main = Create(nullptr, WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  SHMENUBARINFO info = BarInfo(main, instance);
  ASSERT_TRUE(SHCreateMenuBar(&info));
  auto s = screen::Capture();
  ASSERT_TRUE(s.menuBar);
  ASSERT_EQ(s.menuBar->buttons.size(), 1u);
  EXPECT_EQ(s.menuBar->buttons[0].label, u"System");
  std::vector<UINT> ids;
  for (const auto& item : s.menuBar->buttons[0].items) ids.push_back(item.separator ? 0 : item.id);
  EXPECT_EQ(ids, (std::vector<UINT>{118, 0, 101}));
  DestroyWindow(main);
}

}  // namespace
