// The update sequence: the start command, the wake-up of the module's
// boot-strap loader, the boot stages and the image transfer.
#include <windows.h>

#include "common/Common.h"
#include "device/Device.h"
#include "update/CeChat.h"
#include "update/Update.h"
#include "update/UpdateImages.h"
#include "update/UpdateLimits.h"

#define WAKE_UP_ANSWER 0xA0
// At most this much of what arrived before the module reset is looked at.
#define EARLIER_BYTES_LIMIT 0x8000
// The wake-up waits on after a break or a line error, this much later.
#define LINE_EVENT_PAUSE 10

std::atomic<DWORD> UseFixedSize{0};
std::atomic<HANDLE> UpdateThreadHandle{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> CastThreadHandle{INVALID_HANDLE_VALUE};
// 1 from the start command until the update has closed the line and ended
// the wake-up thread. Its last words to the log view come after that, so a
// start that follows them finds the update over.
static std::atomic<DWORD> updateActive{0};
// 1 once something of the update has gone to the module: the wake-up bytes
// start with the wake-up thread, the module reset follows.
static std::atomic<DWORD> moduleReached{0};

// Every failed update ends here before it is over. One that reached nothing
// of the module (no line, no image, no thread to run it) leaves the module
// as it found it, so the radio goes back on; once the module has been
// woken it may sit in its loader, and the radio stays suspended. Silent:
// the failure's words are what the log view shows.
static void ResumeUntouchedRadio(void) {
  if (moduleReached == 0) ResumeRadio(NULL, 0, NULL, 0);
}

LRESULT StartUpdate(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  // One update at a time: a second one would share the line, the wake-up
  // thread and their handles with the first.
  HANDLE previous = UpdateThreadHandle;
  if (updateActive != 0 && ThreadStillActive(previous)) {
    NKDbgPrintfW(TEXT("Update is running already, start ignored !!\r\n"));
    AppendLog(window, TEXT("An update is running already; this start is ignored.\r\n"));
    return 1;
  }
  if (previous != INVALID_HANDLE_VALUE && previous != NULL) CloseHandle(previous);

  SuspendRadio(window, 0, NULL, 0);
  Sleep(500);
  UseFixedSize = 1;
  moduleReached = 0;
  updateActive = 1;
  HANDLE thread = CreateThread(NULL, 0, UpdateThread, (LPVOID)window, 0, NULL);
  if (thread == NULL) {
    DWORD error = GetLastError();
    UpdateThreadHandle = INVALID_HANDLE_VALUE;
    ResumeUntouchedRadio();
    updateActive = 0;
    WCHAR failure[96];
    wsprintfW(failure, TEXT("Update failed: Could not start the update (error %d)\r\n"), error);
    NKDbgPrintfW(TEXT(" Update failed!!  Could not start the update (error %d)\r\n"), error);
    AppendLog(window, failure);
    AppendLog(window, TEXT("Choose Update firmware - Go to try again.\r\n"));
    return 1;
  }
  UpdateThreadHandle = thread;
  return 1;
}

// Ends the wake-up thread if it still runs and releases its handle.
static void StopCastThread(void) {
  HANDLE cast = CastThreadHandle;
  if (ThreadStillActive(cast)) TerminateThread(cast, 0);
  CloseHandle(cast);
  CastThreadHandle = INVALID_HANDLE_VALUE;
}

// Reads and drops what arrived before the module reset. TRUE when 0xA0 was
// among it. The line is purged only when the limit stopped the reading: once
// a read has found the queue empty, a byte that comes next is the module's
// answer to the reset, and a purge after that read would drop it unseen (a
// loader that answers only once would then never be heard).
static BOOL DropEarlierBytes(void) {
  HANDLE line = UpdatePortHandle();
  BOOL answered = FALSE;
  BYTE bytes[64];
  DWORD read = 0;
  DWORD looked = 0;
  while (looked < EARLIER_BYTES_LIMIT && ReadFile(line, bytes, sizeof(bytes), &read, NULL) && read > 0) {
    for (DWORD i = 0; i < read; i++) {
      if (bytes[i] == WAKE_UP_ANSWER) answered = TRUE;
    }
    looked += read;
  }
  if (looked >= EARLIER_BYTES_LIMIT) PurgeComm(line, PURGE_RXCLEAR);
  // Line errors that came with them are dropped too: left pending, one
  // would end the first wait after the reset as a line event.
  DWORD errors = 0;
  if (looked > 0) ClearCommError(line, &errors, NULL);
  return answered;
}

// One wake-up attempt: the pause, the module reset and the wait for its
// answer. AWAIT_GOT_BYTE when the module's loader answered; otherwise the
// failure has been noted.
static DWORD WakeModule(void) {
  NKDbgPrintfW(TEXT("!Cast 55h!\r\n"));
  Sleep(1000);
  // Only an answer to this reset counts at first. A module still in its
  // loader (no valid image after a failed update) answers the casting at
  // once, before the reset; taken for the answer, boot stage 1 would reach
  // a loader that is only starting to listen. What came so far is read
  // before the reset, so that an answer the module gives while the reset
  // is still under way (a slow reset line, a busy handset) counts as this
  // reset's. But a loader that the reset does not reach (no reset line, a
  // module power-cycled by hand) answers once and then waits for stage 1:
  // when nothing answers this reset in time and 0xA0 was among what came
  // before it, that answer is taken.
  BOOL answeredBefore = DropEarlierBytes();
  ResetRadio(NULL, 0, NULL, 0);
  // The first wait has the whole limit (its trace names it as it stands);
  // a wait taken up again after a line event has what is left of it. The
  // attempt ends at the limit whatever the line reports.
  DWORD started = GetTickCount();
  DWORD limit = WAKE_UP_LIMIT;
  // What came in answer to this reset: breaks and line errors, and whether
  // any byte came at all.
  DWORD lineEvents = 0;
  BOOL byteCame = FALSE;
  for (;;) {
    DWORD outcome = AwaitByte(WAKE_UP_ANSWER, limit);
    BYTE stray = 0;
    if (AwaitStrayByte(&stray)) byteCame = TRUE;
    // A break or a line error: wait on for the answer, without a new reset,
    // after a pause, so that a line that reports nothing but errors (a
    // module talking at another rate) does not keep the update spinning.
    if (outcome == AWAIT_LINE_EVENT) {
      lineEvents++;
      Sleep(LINE_EVENT_PAUSE);
      DWORD spent = GetTickCount() - started;
      if (spent < WAKE_UP_LIMIT) {
        limit = WAKE_UP_LIMIT - spent;
        continue;
      }
      NKDbgPrintfW(TEXT("No char -> %X h within %d ms !!\r\n"), WAKE_UP_ANSWER, WAKE_UP_LIMIT);
      outcome = AWAIT_TIMED_OUT;
    }
    if (outcome == AWAIT_TIMED_OUT && answeredBefore) {
      NKDbgPrintfW(TEXT(" A0h came before the reset, none since: the loader waits, go on!!\r\n"));
      return AWAIT_GOT_BYTE;
    }
    if (outcome == AWAIT_TIMED_OUT && lineEvents > 0 && !byteCame) {
      // Not a silent module: the operator looks at the line, not the cable.
      NoteOnlyLineErrors(WAKE_UP_ANSWER, TEXT("the module reset"), lineEvents);
    } else if (outcome != AWAIT_GOT_BYTE) {
      NoteFailedWait(outcome, WAKE_UP_ANSWER, TEXT("the module reset"));
    }
    return outcome;
  }
}

// The words for the log view of an update that is over without a new image.
static void DescribeFailure(LPWSTR text, DWORD attempts) {
  if (attempts > 1) {
    wsprintfW(text, TEXT("Update failed after %d attempts: %s\r\n"), attempts, UpdateFailureText);
  } else {
    wsprintfW(text, TEXT("Update failed: %s\r\n"), UpdateFailureText);
  }
  NKDbgPrintfW(TEXT(" Update failed!!  %s\r\n"), UpdateFailureText);
}

DWORD WINAPI UpdateThread(LPVOID parameter) {
  HWND window = (HWND)parameter;
  UpdateFailureKind = AWAIT_GOT_BYTE;
  UpdateFailureText[0] = 0;

  if (!OpenUpdatePort()) {
    NKDbgPrintfW(TEXT("Open com port failed!!\r\n"));
    ResumeUntouchedRadio();
    updateActive = 0;
    AppendLog(window, TEXT("Open Comport fail!!\r\n"));
    return 1;
  }
  NKDbgPrintfW(TEXT("Open com port succeed!!\r\n"));

  WCHAR failure[320];
  failure[0] = 0;
  // An image missing from the program fails the update before anything
  // reaches the module: no attempt could send it.
  LPCWSTR missing = MissingUpdateImage();
  // From here on the wake-up byte goes out every 10 ms.
  HANDLE cast = missing == NULL ? CreateThread(NULL, 0, CastThread, NULL, 0, NULL) : NULL;
  if (cast == NULL) {
    if (missing != NULL) {
      NoteFailure(missing);
    } else {
      WCHAR text[64];
      wsprintfW(text, TEXT("Could not start the wake-up (error %d)"), GetLastError());
      NoteFailure(text);
    }
    CastThreadHandle = INVALID_HANDLE_VALUE;
    DescribeFailure(failure, 1);
    CloseUpdatePort();
    NKDbgPrintfW(TEXT(" Communication Port Closed!!\r\n"));
    ResumeUntouchedRadio();
    updateActive = 0;
    AppendLog(window, failure);
    AppendLog(window, TEXT("Choose Update firmware - Go to try again.\r\n"));
    return 0;
  }
  CastThreadHandle = cast;
  moduleReached = 1;

  // Each attempt wakes the module with a reset; a refused boot stage, or no
  // answer to the reset in time, leads to the next one. The last attempt,
  // or a line that has failed, ends the update.
  BOOL booted = FALSE;
  BOOL casting = TRUE;
  DWORD attempt;
  for (attempt = 1;; attempt++) {
    DWORD woke = WakeModule();
    if (woke != AWAIT_GOT_BYTE) {
      if (woke == AWAIT_LINE_FAILED || woke == AWAIT_NO_TIMER || attempt == WAKE_UP_ATTEMPTS) break;
      NKDbgPrintfW(TEXT(" No A0h after the reset!!  Reset the module again!!\r\n"));
      continue;
    }
    SuspendThread(CastThreadHandle);
    casting = FALSE;
    PurgeUpdateLine();
    NKDbgPrintfW(TEXT(" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n"));

    if (!SendBootStage1()) {
      if (UpdateLineFailed() || attempt == WAKE_UP_ATTEMPTS) {
        NKDbgPrintfW(TEXT(" BootLoad1 upload fail!!  No more attempts!!\r\n"));
        break;
      }
      NKDbgPrintfW(TEXT(" BootLoad1 upload fail!!  Restart sending 55h again!!\r\n"));
      PurgeUpdateLine();
      Sleep(1000);
      ResumeThread(CastThreadHandle);
      casting = TRUE;
      continue;
    }
    NKDbgPrintfW(TEXT("BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n"));
    PurgeUpdateLine();
    AppendLog(window, TEXT("Bootload1 updated!!\r\n"));

    if (!SendBootStage2()) {
      if (UpdateLineFailed() || attempt == WAKE_UP_ATTEMPTS) {
        NKDbgPrintfW(TEXT("BootLoad2_v2_bin upload fail!!  No more attempts!!\r\n"));
        break;
      }
      NKDbgPrintfW(TEXT("BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n"));
      PurgeUpdateLine();
      ResumeThread(CastThreadHandle);
      casting = TRUE;
      Sleep(1000);
      continue;
    }
    booted = TRUE;
    break;
  }

  if (booted) {
    NKDbgPrintfW(TEXT("BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n"));
    PurgeUpdateLine();
    AppendLog(window, TEXT("Bootload2 updated!!\r\n"));
    AppendLog(window, TEXT("Wait a moment please...\r\n"));

    if (SendFirmwareImage(window)) {
      NKDbgPrintfW(TEXT(" Upgrade succeed!! \r\n"));
    } else {
      NKDbgPrintfW(TEXT(" Write to flash  fail!!  !!\r\n"));
      DescribeFailure(failure, 1);
    }
  } else {
    // Nothing more goes out on the line.
    if (casting) SuspendThread(CastThreadHandle);
    DescribeFailure(failure, attempt);
  }

  CloseUpdatePort();
  NKDbgPrintfW(TEXT(" Communication Port Closed!!\r\n"));
  StopCastThread();
  NKDbgPrintfW(TEXT(" Communication Port Closed!!\r\n"));
  if (failure[0] != 0) ResumeUntouchedRadio();
  updateActive = 0;
  if (failure[0] != 0) {
    AppendLog(window, failure);
    AppendLog(window, TEXT("Choose Update firmware - Go to try again.\r\n"));
  }
  return 0;
}
