// The update sequence: the start command, the wake-up of the module's
// boot-strap loader, the boot stages and the image transfer.
#include <windows.h>

#include "device/Device.h"
#include "shell/Shell.h"
#include "update/CeChat.h"
#include "update/Update.h"

#define WAKE_UP_ANSWER 0xA0
#define PURGE_ALL (PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)

std::atomic<DWORD> UseFixedSize{0};
std::atomic<HANDLE> UpdateThreadHandle{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> CastThreadHandle{INVALID_HANDLE_VALUE};

static BOOL ThreadStillRuns(HANDLE thread) {
  DWORD exitCode = 0;
  return GetExitCodeThread(thread, &exitCode) && exitCode == STILL_ACTIVE;
}

LRESULT StartUpdate(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  // One update at a time: a second one would share the line, the wake-up
  // thread and their handles with the first.
  HANDLE previous = UpdateThreadHandle;
  if (ThreadStillRuns(previous)) {
    NKDbgPrintfW(TEXT("Update is running already, start ignored !!\r\n"));
    return 1;
  }
  if (previous != INVALID_HANDLE_VALUE && previous != NULL) CloseHandle(previous);

  SuspendRadio(window, 0, NULL, 0);
  Sleep(500);
  UseFixedSize = 1;
  UpdateThreadHandle = CreateThread(NULL, 0, UpdateThread, (LPVOID)window, 0, NULL);
  return 1;
}

// Ends the wake-up thread if it still runs and releases its handle.
static void StopCastThread(void) {
  HANDLE cast = CastThreadHandle;
  if (ThreadStillRuns(cast)) TerminateThread(cast, 0);
  CloseHandle(cast);
  CastThreadHandle = INVALID_HANDLE_VALUE;
}

DWORD WINAPI UpdateThread(LPVOID parameter) {
  HWND window = (HWND)parameter;

  if (!OpenUpdatePort()) {
    NKDbgPrintfW(TEXT("Open com port failed!!\r\n"));
    AppendLog(window, TEXT("Open Comport fail!!\r\n"));
    return 1;
  }
  NKDbgPrintfW(TEXT("Open com port succeed!!\r\n"));

  // From here on the wake-up byte goes out every 10 ms.
  CastThreadHandle = CreateThread(NULL, 0, CastThread, NULL, 0, NULL);

  for (;;) {
    NKDbgPrintfW(TEXT("!Cast 55h!\r\n"));
    Sleep(1000);
    ResetRadio(NULL, 0, NULL, 0);
    // Only an answer to this reset counts. A module still in its loader (no
    // valid image after a failed update) answers the casting at once, before
    // the reset; taken for the answer, boot stage 1 would reach a loader
    // that is only starting to listen.
    PurgeComm(UpdatePortHandle(), PURGE_RXCLEAR);
    while (!WaitForByte(WAKE_UP_ANSWER)) {
    }
    SuspendThread(CastThreadHandle);
    PurgeComm(UpdatePortHandle(), PURGE_ALL);
    NKDbgPrintfW(TEXT(" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n"));

    if (!SendBootStage1()) {
      NKDbgPrintfW(TEXT(" BootLoad1 upload fail!!  Restart sending 55h again!!\r\n"));
      PurgeComm(UpdatePortHandle(), PURGE_ALL);
      Sleep(1000);
      ResumeThread(CastThreadHandle);
      continue;
    }
    NKDbgPrintfW(TEXT("BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n"));
    PurgeComm(UpdatePortHandle(), PURGE_ALL);
    AppendLog(window, TEXT("Bootload1 updated!!\r\n"));

    if (!SendBootStage2()) {
      NKDbgPrintfW(TEXT("BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n"));
      PurgeComm(UpdatePortHandle(), PURGE_ALL);
      ResumeThread(CastThreadHandle);
      Sleep(1000);
      continue;
    }
    break;
  }

  NKDbgPrintfW(TEXT("BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n"));
  PurgeComm(UpdatePortHandle(), PURGE_ALL);
  AppendLog(window, TEXT("Bootload2 updated!!\r\n"));
  AppendLog(window, TEXT("Wait a moment please...\r\n"));

  if (SendFirmwareImage(window)) {
    NKDbgPrintfW(TEXT(" Upgrade succeed!! \r\n"));
  } else {
    NKDbgPrintfW(TEXT(" Write to flash  fail!!  !!\r\n"));
  }

  CloseUpdatePort();
  NKDbgPrintfW(TEXT(" Communication Port Closed!!\r\n"));
  StopCastThread();
  NKDbgPrintfW(TEXT(" Communication Port Closed!!\r\n"));
  return 0;
}
