// SHCreateMenuBar: the menu bar at the bottom of the screen, built from a
// menu-bar resource (RCDATA): word 0 the menu id, word 1 the number of
// buttons, then per button seven words: image, command, state, style,
// string id of the label, reserved, and the index of the menu's popup that
// a drop-down button opens.
#include <windows.h>
#include <aygshell.h>
#include <commctrl.h>

#include <vector>

#include "board/Board.h"
#include "kernel/Thread.h"
#include "windowing/Screen.h"
#include "windowing/WindowManager.h"

namespace {

constexpr size_t kWordsPerButton = 7;
constexpr WORD kNoPopup = 0xFFFF;

std::u16string LabelOf(HINSTANCE instance, UINT stringId) {
  if (stringId == 0 || stringId == 0xFFFF) return {};
  WCHAR buffer[128];
  int n = LoadStringW(instance, stringId, buffer, 128);
  return n > 0 ? std::u16string(buffer, static_cast<size_t>(n)) : std::u16string();
}

// Reads the bar's resource; false (last error set) if it is missing or malformed.
bool ReadBarResource(HINSTANCE instance, UINT id, windowing::MenuBarData& bar) {
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(id), RT_RCDATA);
  if (!found) return false;
  HGLOBAL loaded = LoadResource(instance, found);
  DWORD size = SizeofResource(instance, found);
  if (!loaded) return false;
  const auto* bytes = static_cast<const BYTE*>(LockResource(loaded));
  auto word = [&](size_t index) { return static_cast<WORD>(bytes[2 * index] | bytes[2 * index + 1] << 8); };
  size_t words = size / 2;
  if (words < 2 || words < 2 + word(1) * kWordsPerButton) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  WORD menuId = word(0);
  if (menuId != 0) {
    bar.menu = LoadMenuW(instance, MAKEINTRESOURCEW(menuId));
    if (!bar.menu) return false;
  }
  for (size_t i = 0; i < word(1); ++i) {
    size_t at = 2 + i * kWordsPerButton;
    windowing::MenuBarButton button;
    button.image = static_cast<SHORT>(word(at));
    button.command = word(at + 1);
    button.state = static_cast<BYTE>(word(at + 2));
    button.style = static_cast<BYTE>(word(at + 3));
    button.label = LabelOf(instance, word(at + 4));
    button.popupIndex = word(at + 6) == kNoPopup ? -1 : word(at + 6);
    bar.buttons.push_back(std::move(button));
  }
  return true;
}

// SHCMBF_HMENU: the resource is a menu; each of its popups gets a button.
bool ReadMenuAsBar(HINSTANCE instance, UINT id, windowing::MenuBarData& bar) {
  bar.menu = LoadMenuW(instance, MAKEINTRESOURCEW(id));
  if (!bar.menu) return false;
  std::lock_guard<std::mutex> guard(windowing::Wm().lock);
  auto menu = windowing::FindMenuLocked(bar.menu);
  for (size_t i = 0; menu && i < menu->items.size(); ++i) {
    windowing::MenuBarButton button;
    button.image = I_IMAGENONE;
    button.command = menu->items[i].id;
    button.state = TBSTATE_ENABLED;
    button.style = menu->items[i].popup ? (TBSTYLE_DROPDOWN | TBSTYLE_AUTOSIZE) : TBSTYLE_AUTOSIZE;
    button.label = menu->items[i].text;
    button.popupIndex = menu->items[i].popup ? static_cast<int>(i) : -1;
    bar.buttons.push_back(std::move(button));
  }
  return true;
}

}  // namespace

BOOL WINAPI SHCreateMenuBar(SHMENUBARINFO* pmbi) {
  kernel::PlatformCall call;
  if (pmbi == nullptr || pmbi->cbSize != sizeof(SHMENUBARINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (board::PlatformFaults().menuBarFails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!IsWindow(pmbi->hwndParent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  auto bar = std::make_shared<windowing::MenuBarData>();
  if (!(pmbi->dwFlags & SHCMBF_EMPTYBAR)) {
    bool read = (pmbi->dwFlags & SHCMBF_HMENU) ? ReadMenuAsBar(pmbi->hInstRes, pmbi->nToolBarId, *bar)
                                               : ReadBarResource(pmbi->hInstRes, pmbi->nToolBarId, *bar);
    if (!read) {
      DWORD error = GetLastError();
      if (bar->menu) DestroyMenu(bar->menu);
      SetLastError(error ? error : ERROR_RESOURCE_NAME_NOT_FOUND);
      return FALSE;
    }
  }
  // A window of the desktop owned by the parent, along the screen's bottom.
  RECT work = screen::WorkArea();
  DWORD style = WS_POPUP | ((pmbi->dwFlags & SHCMBF_HIDDEN) ? 0 : WS_VISIBLE);
  HWND hwnd = windowing::CreateInternal(0, windowing::kMenuBarClass, u"", style, 0, work.bottom, screen::kWidth,
                                        screen::kMenuBarHeight, pmbi->hwndParent, nullptr, pmbi->hInstRes, nullptr,
                                        [&](windowing::Window& w) {
                                          w.noActivate = true;
                                          w.menuBar = bar;
                                        });
  if (!hwnd) {
    if (bar->menu) DestroyMenu(bar->menu);
    return FALSE;
  }
  pmbi->hwndMB = hwnd;
  return TRUE;
}
