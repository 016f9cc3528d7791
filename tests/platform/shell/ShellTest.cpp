// Conformance of the shell services the utility uses: common-controls
// initialisation, command-bar queries, the menu bar built from menu-bar
// and menu resources (hand-made and the program's own), the done button
// and full-screen sizing, and the input-panel bookkeeping.
#include <windows.h>
#include <aygshell.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "board/Board.h"
#include "resources/ProgramImage.h"
#include "windowing/Screen.h"
#include "../windowing/WindowTestSupport.h"

namespace {

using namespace wintest;

// The resources a menu bar reads: menu 105, menu-bar data 105, string 40003.
HINSTANCE RegisterMenuBarResources(std::vector<uint16_t> barWords = {105, 1, 0xFFFE, 40001, 4, 0x18, 40003, 0, 0}) {
  static ResImage image;
  image = ResImage();
  image.Add(
      4, 105,
      MenuTemplate(
          {{MF_POPUP | MF_END, 0, u"System"}, {0, 118, u"Update firmware - Go"}, {0, 0, u""}, {MF_END, 101, u"Exit"}}),
      1028);
  image.Add(10, 105, Words(barWords), 1028);  // RT_RCDATA
  image.Add(6, 40003 / 16 + 1, StringBlock({{40003 % 16, u"System"}}), 1028);
  return image.Register();
}

SHMENUBARINFO BarInfo(HWND parent, HINSTANCE instance, UINT id = 105) {
  SHMENUBARINFO info;
  memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  info.hwndParent = parent;
  info.nToolBarId = id;
  info.hInstRes = instance;
  return info;
}

TEST(CommonControlsTest, InitialisationWantsTheRecordsSize) {
  INITCOMMONCONTROLSEX controls{8, ICC_BAR_CLASSES};
  EXPECT_TRUE(InitCommonControlsEx(&controls));
  controls.dwSize = 12;
  EXPECT_FALSE(InitCommonControlsEx(&controls));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(InitCommonControlsEx(nullptr));
}

TEST(CommonControlsTest, CommandBarHeightIsZeroForWhatIsNoCommandBar) {
  EXPECT_EQ(CommandBar_Height(nullptr), 0);
  HWND hwnd = Create(nullptr);
  EXPECT_EQ(CommandBar_Height(hwnd), 0);
  EXPECT_EQ(CommandBar_Height(GetDlgItem(hwnd, 4)), 0);
  EXPECT_EQ(CommandBar_GetMenu(hwnd, 0), nullptr);
  DestroyWindow(hwnd);
}

class MenuBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    instance = RegisterMenuBarResources();
    main = Create(Logging(log), WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  }
  void TearDown() override {
    if (IsWindow(main)) DestroyWindow(main);
  }
  Log log;
  HINSTANCE instance = nullptr;
  HWND main = nullptr;
};

TEST_F(MenuBarTest, BuiltFromTheMenuBarResource) {
  SHMENUBARINFO info = BarInfo(main, instance);
  ASSERT_TRUE(SHCreateMenuBar(&info));
  HWND bar = info.hwndMB;
  ASSERT_TRUE(IsWindow(bar));
  EXPECT_EQ(GetParent(bar), main);  // owned by the parent, not its child
  EXPECT_EQ(GetDlgItem(main, 4), nullptr);
  EXPECT_EQ(GetForegroundWindow(), main);  // the bar never takes the front
  RECT r;
  GetWindowRect(bar, &r);
  EXPECT_EQ(r.top, screen::kHeight - screen::kMenuBarHeight);
  EXPECT_EQ(r.bottom, screen::kHeight);
  EXPECT_EQ(CommandBar_Height(bar), screen::kMenuBarHeight);

  HMENU menu = CommandBar_GetMenu(bar, 0);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(CheckMenuItem(menu, 118, MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  EXPECT_EQ(CheckMenuItem(menu, 110, MF_CHECKED), 0xFFFFFFFFu);

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

  DestroyWindow(main);
  EXPECT_FALSE(IsWindow(bar));  // goes with its owner
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

TEST_F(MenuBarTest, RefusalsLeaveNoBar) {
  SHMENUBARINFO info = BarInfo(main, instance);
  info.cbSize = 36 - 1;
  EXPECT_FALSE(SHCreateMenuBar(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  info = BarInfo(main, instance);
  board::PlatformFaults().menuBarFails = true;
  EXPECT_FALSE(SHCreateMenuBar(&info));
  board::PlatformFaults().menuBarFails = false;

  info = BarInfo(main, instance, 106);
  EXPECT_FALSE(SHCreateMenuBar(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));

  instance = RegisterMenuBarResources({105, 2, 0xFFFE, 40001, 4, 0x18, 40003, 0, 0});  // says two buttons, has one
  info = BarInfo(main, instance);
  EXPECT_FALSE(SHCreateMenuBar(&info));
  EXPECT_EQ(info.hwndMB, nullptr);
  EXPECT_FALSE(screen::Capture().menuBar);
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

TEST(ShellDialogTest, DoneButtonAndFullScreenSize) {
  Log log;
  HWND main = Create(Logging(log), WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  EXPECT_FALSE(screen::PressDone());  // none yet
  log.Clear();
  SHINITDLGINFO init;
  memset(&init, 0, sizeof(init));
  init.dwMask = SHIDIM_FLAGS;
  init.hDlg = main;
  init.dwFlags = SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN;
  EXPECT_TRUE(SHInitDialog(&init));
  RECT r;
  GetWindowRect(main, &r);
  RECT work = screen::WorkArea();
  EXPECT_EQ(r.top, screen::kTitleBarHeight);
  EXPECT_EQ(r.bottom, screen::kHeight - screen::kMenuBarHeight);
  EXPECT_EQ(r.top, work.top);
  ASSERT_EQ(log.Count(WM_SIZE), 1u);
  for (const Message& m : log.All()) {
    if (m.message != WM_SIZE) continue;
    EXPECT_EQ(LOWORD(m.lParam), screen::kWidth);
    EXPECT_EQ(HIWORD(m.lParam), work.bottom - work.top);
  }

  auto s = screen::Capture();
  EXPECT_EQ(s.title, u"Firmware Utility");
  EXPECT_TRUE(s.doneButton);
  log.Clear();
  ASSERT_TRUE(screen::PressDone());
  ASSERT_TRUE(Pump([&] { return log.Count(WM_COMMAND) > 0; }));
  EXPECT_EQ(LOWORD(log.All().back().wParam), IDOK);

  init.hDlg = nullptr;
  EXPECT_FALSE(SHInitDialog(&init));
  DestroyWindow(main);
}

TEST(ShellDialogTest, InputPanelHandlersWantTheRecordsSize) {
  HWND main = Create(nullptr);
  SHACTIVATEINFO info;
  memset(&info, 0, sizeof(info));
  EXPECT_FALSE(SHHandleWMActivate(main, WA_ACTIVE, 0, &info, 0));
  EXPECT_FALSE(SHHandleWMSettingChange(main, SPI_SETSIPINFO, 0, &info));
  info.cbSize = sizeof(info);
  EXPECT_TRUE(SHHandleWMActivate(main, WA_INACTIVE, 0, &info, 0));
  EXPECT_EQ(info.fActive, 0u);
  EXPECT_TRUE(SHHandleWMActivate(main, WA_ACTIVE, 0, &info, 0));
  EXPECT_EQ(info.fActive, 1u);
  EXPECT_EQ(info.fSipUp, 0u);  // the panel stays as it was: down
  EXPECT_TRUE(SHHandleWMSettingChange(main, SPI_SETSIPINFO, 0, &info));
  EXPECT_FALSE(SHHandleWMSettingChange(main, 0, 0, &info));  // not the panel's change
  DestroyWindow(main);
}

}  // namespace
