// Conformance of menus: check marks by command (through popups) and by
// position with their previous state, 0xFFFFFFFF for a missing item,
// enabling, and menus loaded from a menu resource.
#include <windows.h>

#include <gtest/gtest.h>

#include "WindowTestSupport.h"

namespace {

using namespace wintest;

// A menu bar's menu: a popup "System" holding 118, a separator, a nested
// popup with the partner group, and 101.
HMENU BuildSystemMenu() {
  HMENU partner = CreatePopupMenu();
  AppendMenuW(partner, MF_STRING, 110, u"BT");
  AppendMenuW(partner, MF_STRING, 111, u"IR");
  AppendMenuW(partner, MF_STRING, 116, u"IrDA");
  HMENU system = CreatePopupMenu();
  AppendMenuW(system, MF_STRING, 118, u"Update firmware - Go");
  AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(system, MF_POPUP, reinterpret_cast<UINT_PTR>(partner), u"Partner");
  AppendMenuW(system, MF_STRING, 101, u"Exit");
  HMENU top = CreateMenu();
  AppendMenuW(top, MF_POPUP, reinterpret_cast<UINT_PTR>(system), u"System");
  return top;
}

TEST(MenuTest, CheckByCommandSearchesPopupsAndReturnsThePreviousState) {
  HMENU top = BuildSystemMenu();
  EXPECT_EQ(CheckMenuItem(top, 111, MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  EXPECT_EQ(CheckMenuItem(top, 111, MF_CHECKED), static_cast<DWORD>(MF_CHECKED));
  HMENU partner = GetSubMenu(GetSubMenu(top, 0), 2);
  ASSERT_NE(partner, nullptr);
  EXPECT_EQ(GetMenuState(partner, 1, MF_BYPOSITION) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
  EXPECT_EQ(CheckMenuItem(top, 111, MF_UNCHECKED), static_cast<DWORD>(MF_CHECKED));
  EXPECT_EQ(GetMenuState(top, 111, MF_BYCOMMAND) & MF_CHECKED, 0u);
  DestroyMenu(top);
}

TEST(MenuTest, MissingItemsYieldAllOnes) {
  HMENU top = BuildSystemMenu();
  // The shipped menu has no log-level items: checking them changes nothing.
  for (UINT id : {112u, 113u, 114u, 115u}) EXPECT_EQ(CheckMenuItem(top, id, MF_CHECKED), 0xFFFFFFFFu);
  EXPECT_EQ(CheckMenuItem(top, 5, MF_BYPOSITION | MF_CHECKED), 0xFFFFFFFFu);
  EXPECT_EQ(CheckMenuItem(nullptr, 110, MF_CHECKED), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MENU_HANDLE));
  // By position, in the popup itself.
  HMENU system = GetSubMenu(top, 0);
  EXPECT_EQ(CheckMenuItem(system, 0, MF_BYPOSITION | MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  EXPECT_EQ(GetMenuState(system, 118, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
  DestroyMenu(top);
  EXPECT_EQ(CheckMenuItem(system, 118, MF_CHECKED), 0xFFFFFFFFu);  // gone with its menu
}

TEST(MenuTest, EnableReturnsThePreviousState) {
  HMENU top = BuildSystemMenu();
  EXPECT_EQ(EnableMenuItem(top, 118, MF_GRAYED), MF_ENABLED);
  EXPECT_EQ(EnableMenuItem(top, 118, MF_ENABLED), MF_GRAYED);
  EXPECT_EQ(EnableMenuItem(top, 999, MF_GRAYED), -1);
  DestroyMenu(top);
}

TEST(MenuTest, LoadsAMenuResource) {
  ResImage image;
  image.Add(
      4, 105,  // RT_MENU
      MenuTemplate(
          {{MF_POPUP | MF_END, 0, u"System"}, {0, 118, u"Update firmware - Go"}, {0, 0, u""}, {MF_END, 101, u"Exit"}}),
      1028);
  HINSTANCE instance = image.Register();
  HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(105));
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(GetMenuItemCount(menu), 1);
  HMENU system = GetSubMenu(menu, 0);
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(GetMenuItemCount(system), 3);
  EXPECT_EQ(GetMenuState(system, 1, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
  EXPECT_EQ(CheckMenuItem(menu, 101, MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  EXPECT_EQ(CheckMenuItem(menu, 118, MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  EXPECT_EQ(CheckMenuItem(menu, 0, MF_CHECKED), 0xFFFFFFFFu);  // a separator is no command
  DestroyMenu(menu);

  EXPECT_EQ(LoadMenuW(instance, MAKEINTRESOURCEW(106)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST(MenuTest, MalformedMenuResourceLoadsNothing) {
  ResImage image;
  image.Add(4, 105, {0, 0, 0x90, 0});  // a popup without its text
  HINSTANCE instance = image.Register();
  EXPECT_EQ(LoadMenuW(instance, MAKEINTRESOURCEW(105)), nullptr);
}

}  // namespace
