// The log view's direct append and the thread check, shared by the shell,
// the update, the relay and the radio commands.
#include <windows.h>

#include "common/Common.h"

void ShowLogText(HWND window, LPCWSTR text) {
  SendDlgItemMessageW(window, IDC_LOGVIEW, EM_REPLACESEL, 0, (LPARAM)text);
}

BOOL ThreadStillActive(HANDLE thread) {
  DWORD exitCode = 0;
  return GetExitCodeThread(thread, &exitCode) && exitCode == STILL_ACTIVE;
}
