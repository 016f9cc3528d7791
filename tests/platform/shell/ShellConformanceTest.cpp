// Conformance of the shell services the utility uses: common-controls
// initialisation, command-bar queries, the menu bar built from menu-bar and
// menu resources, the done button and full-screen sizing, and the
// input-panel bookkeeping. SDK calls only, with the window tests' fixture
// (the person at the screen). The bar as the screen shows it and as the
// person works it: ShellScreenTest.cpp.
//
// All of it is CE's shell (aygshell, the command bar); the desktop has none,
// and the desktop build's shim stands the window's own menu in for the bar
// (platform/README.md, Differences).
#include <windows.h>
#include <aygshell.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "../windowing/WindowTestSupport.h"

namespace {

using namespace wintest;

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
  EXPECT_GT(CommandBar_Height(bar), 0);
  EXPECT_EQ(r.top, DisplayRect().bottom - CommandBar_Height(bar));  // along the bottom of the screen
  EXPECT_EQ(r.bottom, DisplayRect().bottom);
  EXPECT_EQ(r.top, WorkArea().bottom);

  HMENU menu = CommandBar_GetMenu(bar, 0);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(CheckMenuItem(menu, 118, MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  EXPECT_EQ(CheckMenuItem(menu, 110, MF_CHECKED), 0xFFFFFFFFu);

  DestroyWindow(main);
  EXPECT_FALSE(IsWindow(bar));  // goes with its owner
}

TEST_F(MenuBarTest, RefusalsLeaveNoBar) {
  SHMENUBARINFO info = BarInfo(main, instance);
  info.cbSize = 36 - 1;
  EXPECT_FALSE(SHCreateMenuBar(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  info = BarInfo(main, instance, 106);
  EXPECT_FALSE(SHCreateMenuBar(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));

  instance = RegisterMenuBarResources({105, 2, 0xFFFE, 40001, 4, 0x18, 40003, 0, 0});  // says two buttons, has one
  info = BarInfo(main, instance);
  EXPECT_FALSE(SHCreateMenuBar(&info));
  EXPECT_EQ(info.hwndMB, nullptr);
  EXPECT_FALSE(MenuBarShown());
}

TEST(ShellDialogTest, DoneButtonAndFullScreenSize) {
  Log log;
  HWND main = Create(Logging(log), WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  EXPECT_FALSE(PressDone());  // none yet
  log.Clear();
  SHINITDLGINFO init;
  memset(&init, 0, sizeof(init));
  init.dwMask = SHIDIM_FLAGS;
  init.hDlg = main;
  init.dwFlags = SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN;
  EXPECT_TRUE(SHInitDialog(&init));
  RECT r;
  GetWindowRect(main, &r);
  RECT work = WorkArea();
  EXPECT_EQ(r.top, work.top);  // below the title bar
  EXPECT_EQ(r.bottom, work.bottom);  // above the menu bar
  ASSERT_EQ(log.Count(WM_SIZE), 1u);
  for (const Message& m : log.All()) {
    if (m.message != WM_SIZE) continue;
    EXPECT_EQ(LOWORD(m.lParam), DisplayRect().right);
    EXPECT_EQ(HIWORD(m.lParam), work.bottom - work.top);
  }

  EXPECT_EQ(TitleBar(), u"Firmware Utility");
  log.Clear();
  ASSERT_TRUE(PressDone());
  ASSERT_TRUE(Pump([&] { return log.Count(WM_COMMAND) > 0; }));
  EXPECT_EQ(LOWORD(log.All().back().wParam), IDOK);

  init.hDlg = nullptr;
  EXPECT_FALSE(SHInitDialog(&init));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
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
