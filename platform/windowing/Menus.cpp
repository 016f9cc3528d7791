// Menus: built by hand or loaded from a menu resource, with check marks and
// enabled states. Menu bars (SHCreateMenuBar) show their popups.
#include <windows.h>

#include <functional>
#include <span>

#include "kernel/Thread.h"
#include "resources/Templates.h"
#include "text/WideText.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

// MF_BYCOMMAND: depth first through the popups, in item order.
MenuItem* FindByCommandLocked(Menu& menu, UINT id) {
  for (MenuItem& item : menu.items) {
    if (item.popup) {
      if (auto sub = FindMenuLocked(item.popup)) {
        if (MenuItem* found = FindByCommandLocked(*sub, id)) return found;
      }
    } else if (!(item.flags & MF_SEPARATOR) && item.id == id) {
      return &item;
    }
  }
  return nullptr;
}

MenuItem* FindItemLocked(HMENU hmenu, UINT item, UINT flags) {
  auto menu = FindMenuLocked(hmenu);
  if (!menu) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return nullptr;
  }
  if (flags & MF_BYPOSITION) return item < menu->items.size() ? &menu->items[item] : nullptr;
  return FindByCommandLocked(*menu, item);
}

void DestroyMenuLocked(HMENU hmenu) {
  auto menu = FindMenuLocked(hmenu);
  if (!menu) return;
  Wm().menus.erase(reinterpret_cast<uintptr_t>(hmenu));
  for (MenuItem& item : menu->items) {
    if (item.popup) DestroyMenuLocked(item.popup);
  }
}

HMENU BuildLocked(const std::vector<resources::MenuTemplateItem>& items, bool popup) {
  HMENU handle = CreateMenuLocked(popup);
  auto menu = FindMenuLocked(handle);
  for (const auto& source : items) {
    MenuItem item;
    item.text = source.text;
    item.flags = source.flags & (MF_CHECKED | MF_GRAYED | MF_DISABLED);
    if (source.IsPopup()) {
      item.flags |= MF_POPUP;
      item.popup = BuildLocked(source.children, true);
    } else {
      item.id = source.id;
      if (source.IsSeparator()) item.flags |= MF_SEPARATOR;
    }
    menu->items.push_back(std::move(item));
  }
  return handle;
}

}  // namespace

std::shared_ptr<Menu> FindMenuLocked(HMENU menu) {
  if (!menu) return nullptr;
  auto& menus = Wm().menus;
  auto it = menus.find(reinterpret_cast<uintptr_t>(menu));
  return it == menus.end() ? nullptr : it->second;
}

HMENU CreateMenuLocked(bool popup) {
  HMENU handle = reinterpret_cast<HMENU>(AllocateHandleLocked());
  auto menu = std::make_shared<Menu>();
  menu->popup = popup;
  Wm().menus[reinterpret_cast<uintptr_t>(handle)] = std::move(menu);
  return handle;
}

HMENU BuildMenuLocked(std::span<const uint8_t> menuTemplate) {
  auto parsed = resources::ParseMenuTemplate(menuTemplate);
  if (!parsed) return nullptr;
  return BuildLocked(*parsed, false);
}

LRESULT CALLBACK MenuBarProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::Wm;

HMENU WINAPI CreateMenu(void) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  return windowing::CreateMenuLocked(false);
}

HMENU WINAPI CreatePopupMenu(void) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  return windowing::CreateMenuLocked(true);
}

BOOL WINAPI DestroyMenu(HMENU hMenu) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (!windowing::FindMenuLocked(hMenu)) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  windowing::DestroyMenuLocked(hMenu);
  windowing::NoteChange();
  return TRUE;
}

BOOL WINAPI AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto menu = windowing::FindMenuLocked(hMenu);
  if (!menu) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  windowing::MenuItem item;
  item.flags = uFlags & (MF_CHECKED | MF_GRAYED | MF_DISABLED | MF_SEPARATOR | MF_POPUP);
  if (uFlags & MF_POPUP) {
    item.popup = reinterpret_cast<HMENU>(uIDNewItem);
    if (!windowing::FindMenuLocked(item.popup)) {
      SetLastError(ERROR_INVALID_MENU_HANDLE);
      return FALSE;
    }
  } else {
    item.id = static_cast<UINT>(uIDNewItem);
  }
  if (!(uFlags & MF_SEPARATOR)) item.text = text::View(lpNewItem);
  menu->items.push_back(std::move(item));
  windowing::NoteChange();
  return TRUE;
}

int WINAPI GetMenuItemCount(HMENU hMenu) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto menu = windowing::FindMenuLocked(hMenu);
  if (!menu) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return -1;
  }
  return static_cast<int>(menu->items.size());
}

UINT WINAPI GetMenuState(HMENU hMenu, UINT uId, UINT uFlags) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  windowing::MenuItem* item = windowing::FindItemLocked(hMenu, uId, uFlags);
  if (!item) return 0xFFFFFFFF;
  if (item->popup) {
    auto sub = windowing::FindMenuLocked(item->popup);
    return (item->flags & ~MF_POPUP) | MF_POPUP | (sub ? static_cast<UINT>(sub->items.size()) << 8 : 0);
  }
  return item->flags;
}

HMENU WINAPI GetSubMenu(HMENU hMenu, int nPos) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto menu = windowing::FindMenuLocked(hMenu);
  if (!menu) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return nullptr;
  }
  if (nPos < 0 || static_cast<size_t>(nPos) >= menu->items.size()) return nullptr;
  return menu->items[static_cast<size_t>(nPos)].popup;
}

DWORD WINAPI CheckMenuItem(HMENU hmenu, UINT uIDCheckItem, UINT uCheck) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  windowing::MenuItem* item = windowing::FindItemLocked(hmenu, uIDCheckItem, uCheck);
  if (!item) return 0xFFFFFFFF;
  DWORD previous = item->flags & MF_CHECKED;
  item->flags = (item->flags & ~static_cast<UINT>(MF_CHECKED)) | (uCheck & MF_CHECKED);
  windowing::NoteChange();
  return previous;
}

BOOL WINAPI EnableMenuItem(HMENU hMenu, UINT uIDEnableItem, UINT uEnable) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  windowing::MenuItem* item = windowing::FindItemLocked(hMenu, uIDEnableItem, uEnable);
  if (!item) return -1;
  constexpr UINT kStates = MF_GRAYED | MF_DISABLED;
  BOOL previous = static_cast<BOOL>(item->flags & kStates);
  item->flags = (item->flags & ~kStates) | (uEnable & kStates);
  windowing::NoteChange();
  return previous;
}

HMENU WINAPI LoadMenuW(HINSTANCE hInstance, LPCWSTR lpMenuName) {
  PlatformCall call;
  HRSRC found = FindResourceW(hInstance, lpMenuName, RT_MENU);
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(hInstance, found);
  DWORD size = SizeofResource(hInstance, found);
  if (!loaded) return nullptr;
  std::lock_guard<std::mutex> guard(Wm().lock);
  HMENU menu =
      windowing::BuildMenuLocked(std::span<const uint8_t>(static_cast<const uint8_t*>(LockResource(loaded)), size));
  if (!menu) SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return menu;
}
