// The common controls the utility uses: their initialisation and the
// command-bar queries, which answer for the shell's menu bars.
#include <windows.h>
#include <commctrl.h>

#include "kernel/Thread.h"
#include "windowing/Screen.h"
#include "windowing/WindowManager.h"

using kernel::PlatformCall;
using windowing::Wm;

BOOL WINAPI InitCommonControlsEx(LPINITCOMMONCONTROLSEX lpInitCtrls) {
  PlatformCall call;
  if (lpInitCtrls == nullptr || lpInitCtrls->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;  // the bar classes need no registration here
}

int WINAPI CommandBar_Height(HWND hwndCB) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = windowing::FindLocked(hwndCB);
  if (!w || !w->menuBar) return 0;
  return static_cast<int>(w->rect.bottom - w->rect.top);
}

// The bar holds one menu, whose popups its buttons open; every button
// index yields it, as on the handset.
HMENU WINAPI CommandBar_GetMenu(HWND hwndCB, WORD iButton) {
  PlatformCall call;
  (void)iButton;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = windowing::FindLocked(hwndCB);
  if (!w || !w->menuBar) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return w->menuBar->menu;
}
