// TranslateAcceleratorW: key presses that match an entry of an accelerator
// table become WM_COMMAND messages to the given window.
#include <windows.h>

#include "kernel/Thread.h"
#include "resources/Resources.h"
#include "windowing/WindowManager.h"

namespace {

bool Down(int vk) { return (GetKeyState(vk) & 0x8000) != 0; }

}  // namespace

int WINAPI TranslateAcceleratorW(HWND hWnd, HACCEL hAccTable, LPMSG lpMsg) {
  kernel::PlatformCall call;
  if (lpMsg == nullptr) return 0;
  bool key = lpMsg->message == WM_KEYDOWN || lpMsg->message == WM_SYSKEYDOWN;
  bool character = lpMsg->message == WM_CHAR || lpMsg->message == WM_SYSCHAR;
  if (!key && !character) return 0;
  std::optional<std::vector<ACCEL>> entries = resources::AcceleratorEntries(hAccTable);
  if (!entries) {
    SetLastError(ERROR_INVALID_ACCEL_HANDLE);
    return 0;
  }
  if (!IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // The modifiers as they were when this key came out of the queue.
  bool shift = Down(VK_SHIFT), control = Down(VK_CONTROL), alt = Down(VK_MENU);
  for (const ACCEL& entry : *entries) {
    bool matches;
    if (entry.fVirt & FVIRTKEY) {
      matches = key && entry.key == lpMsg->wParam && ((entry.fVirt & FSHIFT) != 0) == shift &&
                ((entry.fVirt & FCONTROL) != 0) == control && ((entry.fVirt & FALT) != 0) == alt;
    } else {
      // A character entry: the character carries shift and control already.
      matches = character && entry.key == lpMsg->wParam && ((entry.fVirt & FALT) != 0) == alt;
    }
    if (!matches) continue;
    windowing::Send(hWnd, WM_COMMAND, MAKEWPARAM(entry.cmd, 1), 0);
    return 1;
  }
  return 0;
}
