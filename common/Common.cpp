// The log view's direct append and the thread checks, shared by the shell,
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

BOOL AwaitThreads(const HANDLE* threads, DWORD count, DWORD milliseconds) {
  DWORD started = GetTickCount();
  for (;;) {
    HANDLE running[MAXIMUM_WAIT_OBJECTS - 1];
    DWORD runningCount = 0;
    for (DWORD i = 0; i < count && runningCount < MAXIMUM_WAIT_OBJECTS - 1; i++) {
      // -1 is no thread here; a wait on it would wait on this process.
      if (threads[i] == NULL || threads[i] == INVALID_HANDLE_VALUE) continue;
      if (WaitForSingleObject(threads[i], 0) == WAIT_TIMEOUT) running[runningCount++] = threads[i];
    }
    if (runningCount == 0) return TRUE;
    DWORD waited = GetTickCount() - started;
    if (waited >= milliseconds) return FALSE;
    DWORD woke = MsgWaitForMultipleObjects(runningCount, running, FALSE, milliseconds - waited, QS_SENDMESSAGE);
    if (woke == WAIT_FAILED) return FALSE;
    if (woke == WAIT_OBJECT_0 + runningCount) {
      // Handles what was sent; posted messages stay queued for the loop.
      MSG message;
      PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE);
    }
  }
}
