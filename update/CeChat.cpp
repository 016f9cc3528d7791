// The update line and its byte primitives.
#include "update/CeChat.h"

#include <string.h>

#define UPDATE_DEVICE TEXT("COM1:")
#define UPDATE_QUEUE_SIZE 0x8000
#define WAKE_UP_BYTE 0x55
#define LINE_EVENTS (EV_RXCHAR | EV_BREAK | EV_ERR)
// A line whose driver fails outright is retried at this pace, not in a spin.
#define FAILED_LINE_PAUSE 100

std::atomic<UpdatePort*> CurrentUpdatePort{NULL};

HANDLE UpdatePortHandle(void) {
  UpdatePort* port = CurrentUpdatePort;
  return port != NULL ? (HANDLE)port->handle : NULL;
}

static void FillLineSettings(DCB* settings) {
  settings->DCBlength = sizeof(DCB);
  settings->BaudRate = 115200;
  settings->fBinary = 1;
  settings->fParity = 0;
  settings->fOutxCtsFlow = 0;
  settings->fOutxDsrFlow = 0;
  settings->fDtrControl = DTR_CONTROL_ENABLE;
  settings->fDsrSensitivity = 0;
  settings->fTXContinueOnXoff = 1;
  settings->fOutX = 0;
  settings->fInX = 0;
  settings->fErrorChar = 0;
  settings->fNull = 0;
  settings->fRtsControl = RTS_CONTROL_ENABLE;
  settings->fAbortOnError = 0;
  settings->ByteSize = 8;
  settings->Parity = NOPARITY;
  settings->StopBits = ONE5STOPBITS;
}

// A port that opened but could not be configured is closed again, so that
// the next update can open it.
static BOOL FailConfiguration(UpdatePort* port, LPCWSTR text) {
  NKDbgPrintfW(text, GetLastError(), port->deviceName);
  CloseHandle(port->handle);
  port->handle = NULL;
  return FALSE;
}

BOOL OpenUpdatePort(void) {
  UpdatePort* port = new UpdatePort;
  memset(port->deviceName, 0, sizeof(port->deviceName));
  memset(&port->settings, 0, sizeof(port->settings));
  port->handle = NULL;
  wcscpy(port->deviceName, UPDATE_DEVICE);
  FillLineSettings(&port->settings);
  // Nothing uses a replaced record again: no update runs while a new one opens.
  delete CurrentUpdatePort.exchange(port);

  NKDbgPrintfW(TEXT("Open : %s\r\n"), port->deviceName);
  HANDLE handle = CreateFileW(port->deviceName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (handle == INVALID_HANDLE_VALUE) {
    NKDbgPrintfW(TEXT("Error (%d) opening %s"), GetLastError(), port->deviceName);
    port->handle = NULL;
    return FALSE;
  }
  port->handle = handle;

  PurgeComm(handle, PURGE_ALL);
  if (!SetCommState(handle, &port->settings)) return FailConfiguration(port, TEXT("Error (%d) configuring %s"));

  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(handle, &timeouts)) {
    return FailConfiguration(port, TEXT("Error (%d) setting comm port timeout parameters %s"));
  }

  EscapeCommFunction(handle, SETDTR);
  EscapeCommFunction(handle, SETRTS);
  SetupComm(handle, UPDATE_QUEUE_SIZE, UPDATE_QUEUE_SIZE);
  return TRUE;
}

// ---- time limits
//
// A wait blocks in WaitCommEvent. A helper thread ends it when its time is
// up: changing the line's event mask makes a pending WaitCommEvent return
// with no events, and the waiter then looks at the clock. The helper starts
// with the first limited wait and ends when the line is closed.

// After a nudge the helper nudges again at this pace until the waiter has
// taken notice (it may have been between two WaitCommEvent calls).
#define LIMIT_NUDGE_PAUSE 50
// How long CloseUpdatePort waits for the helper to end.
#define LIMIT_THREAD_END 5000

static std::atomic<HANDLE> limitThread{NULL};
static std::atomic<HANDLE> limitEvent{NULL};  // wakes the helper: a sooner limit, or its end
static std::atomic<DWORD> limitArmed{0};      // 1 while a limited wait runs
static std::atomic<DWORD> limitEnds{0};       // its end, in ticks
static std::atomic<DWORD> limitIdle{1};       // 1 while the helper sleeps without a deadline
static std::atomic<DWORD> limitWakeAt{0};     // otherwise when it looks again
static std::atomic<DWORD> limitStop{0};
static std::atomic<DWORD> lineError{0};

// The helper sleeps until the limit of the wait in progress and looks
// again then; most waits end long before their limit, and a new wait whose
// limit ends later than the helper's next look needs no wake-up of its own.
static DWORD WINAPI WaitLimitThread(LPVOID parameter) {
  (void)parameter;
  while (limitStop == 0) {
    limitIdle = 1;
    DWORD pause = INFINITE;
    if (limitArmed != 0) {
      DWORD ends = limitEnds;
      DWORD now = GetTickCount();
      LONG left = (LONG)(ends - now);
      if (left <= 0) {
        SetCommMask(UpdatePortHandle(), LINE_EVENTS);
        pause = LIMIT_NUDGE_PAUSE;
      } else {
        pause = (DWORD)left;
      }
      limitWakeAt = now + pause;
      limitIdle = 0;
      // A wait that began meanwhile may end sooner: look again.
      if (limitEnds != ends) continue;
    }
    WaitForSingleObject(limitEvent, pause);
  }
  return 0;
}

// Sets the end of the wait that begins; starts the helper at first use.
// FALSE when the helper cannot be started: a wait without it could block
// for ever on a silent module, so the caller does not wait at all.
static BOOL ArmLimit(DWORD ends) {
  if (limitThread == NULL) {
    limitStop = 0;
    limitIdle = 1;
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (event == NULL) {
      lineError = GetLastError();
      return FALSE;
    }
    limitEvent = event;
    HANDLE thread = CreateThread(NULL, 0, WaitLimitThread, NULL, 0, NULL);
    if (thread == NULL) {
      lineError = GetLastError();
      limitEvent = NULL;
      CloseHandle(event);
      return FALSE;
    }
    limitThread = thread;
  }
  limitEnds = ends;
  limitArmed = 1;
  if (limitIdle != 0 || (LONG)(limitWakeAt - ends) > 0) SetEvent(limitEvent);
  return TRUE;
}

static void StopWaitLimit(void) {
  HANDLE thread = limitThread;
  if (thread == NULL) return;
  limitArmed = 0;
  limitStop = 1;
  SetEvent(limitEvent);
  if (WaitForSingleObject(thread, LIMIT_THREAD_END) != WAIT_OBJECT_0) TerminateThread(thread, 0);
  CloseHandle(thread);
  CloseHandle(limitEvent);
  limitThread = NULL;
  limitEvent = NULL;
}

void CloseUpdatePort(void) {
  StopWaitLimit();
  UpdatePort* port = CurrentUpdatePort;
  if (port == NULL || port->handle == NULL) return;
  PurgeComm(port->handle, PURGE_ALL);
  CloseHandle(port->handle);
  port->handle = NULL;
}

void PurgeUpdateLine(void) {
  HANDLE line = UpdatePortHandle();
  PurgeComm(line, PURGE_ALL);
  DWORD errors = 0;
  ClearCommError(line, &errors, NULL);
}

BOOL SendByte(BYTE value) {
  DWORD written = 0;
  WriteFile(UpdatePortHandle(), &value, 1, &written, NULL);
  NKDbgPrintfW(TEXT(" %d char : %X h sent \r\n"), written, value);
  return written == 1;
}

// Waits for the next line event. FALSE when the line itself has failed.
// No events: the wait was ended from outside (its time limit).
static BOOL WaitLineEvent(HANDLE line, DWORD* events) {
  *events = 0;
  SetCommMask(line, LINE_EVENTS);
  if (!WaitCommEvent(line, events, NULL)) {
    lineError = GetLastError();
    NKDbgPrintfW(TEXT("Error (%d) waiting on %s\r\n"), (DWORD)lineError, UPDATE_DEVICE);
    Sleep(FAILED_LINE_PAUSE);
    return FALSE;
  }
  SetCommMask(line, LINE_EVENTS);
  if ((*events & ~(DWORD)EV_RXCHAR) != 0) {
    DWORD errors = 0;
    ClearCommError(line, &errors, NULL);
  }
  return TRUE;
}

static BOOL TimeIsUp(DWORD started, DWORD limit) { return limit != AWAIT_NO_LIMIT && GetTickCount() - started >= limit; }

// The last byte a wait read that was not the awaited one.
static BYTE strayByte = 0;
static BOOL strayCame = FALSE;

// Reads one queued byte and traces it; FALSE when nothing was queued.
static BOOL ReadQueuedByte(HANDLE line, BYTE* received) {
  DWORD read = 0;
  if (!ReadFile(line, received, 1, &read, NULL) || read != 1) return FALSE;
  NKDbgPrintfW(TEXT("A byte got from KRX6A : %c , %X h\r\n"), *received, *received);
  return TRUE;
}

// A garbled byte that arrived after its event's error was cleared is read
// with the other stray bytes while its error is still pending; taken now,
// the error cannot reach the next wait alone, where it would end the wait
// as a line event without a byte. Returns the bytes queued meanwhile.
static DWORD ClearStrayErrors(HANDLE line) {
  COMSTAT stat;
  DWORD errors = 0;
  memset(&stat, 0, sizeof(stat));
  if (!ClearCommError(line, &errors, &stat)) return 0;
  return stat.cbInQue;
}

// The awaited byte has been read. Only stray bytes come garbled (a clean
// exchange makes no extra call on the line).
static DWORD TookAnswer(HANDLE line) {
  if (strayCame) ClearStrayErrors(line);
  return AWAIT_GOT_BYTE;
}

// The time is up: what has already arrived is still looked at, up to what
// the queue holds now (a module that sends without end is not listened to
// beyond it), before the wait counts as timed out. The helper's nudge may
// have ended WaitCommEvent just as the answer came in.
static DWORD ReadQueuedAtLimit(HANDLE line, BYTE wanted) {
  COMSTAT stat;
  DWORD errors = 0;
  memset(&stat, 0, sizeof(stat));
  if (!ClearCommError(line, &errors, &stat)) return AWAIT_TIMED_OUT;
  BYTE received = 0;
  for (DWORD left = stat.cbInQue; left > 0 && ReadQueuedByte(line, &received); left--) {
    if (received == wanted) return TookAnswer(line);
    strayByte = received;
    strayCame = TRUE;
  }
  return AWAIT_TIMED_OUT;
}

// The time limit ends a wait only once what is queued has been read: a
// waiter that comes late to an answer that arrived in time still takes it.
static DWORD AwaitOnLine(HANDLE line, BYTE wanted, DWORD started, DWORD limit) {
  for (;;) {
    DWORD events = 0;
    if (!WaitLineEvent(line, &events)) {
      NKDbgPrintfW(TEXT("None byte got from KRX5 !!\r\n"));
      return AWAIT_LINE_FAILED;
    }
    if (events == 0) {
      // Woken for the time limit (the helper may also come a little early).
      if (TimeIsUp(started, limit)) return ReadQueuedAtLimit(line, wanted);
      continue;
    }
    // A break or a line error with nothing received ends the wait, also
    // after stray bytes: a module that refuses after answering a wake-up
    // byte twice is not waited on for ever.
    if ((events & EV_RXCHAR) == 0) {
      NKDbgPrintfW(TEXT("None byte got from KRX5 !!\r\n"));
      return AWAIT_LINE_EVENT;
    }
    // Bytes came, perhaps with a line error (a byte garbled on the way,
    // already cleared): read byte by byte up to the awaited one; what comes
    // before it is dropped, what comes after stays queued. When the queue
    // runs dry before it arrives, wait for the next arrival rather than
    // poll.
    BYTE received = 0;
    for (;;) {
      while (ReadQueuedByte(line, &received)) {
        if (received == wanted) return TookAnswer(line);
        strayByte = received;
        strayCame = TRUE;
        if (TimeIsUp(started, limit)) return ReadQueuedAtLimit(line, wanted);
      }
      // Dry short of the answer: the errors of the stray bytes read are
      // taken, and bytes that came meanwhile are read the same way.
      if (ClearStrayErrors(line) == 0) break;
    }
  }
}

DWORD AwaitByte(DWORD awaited, DWORD limit) {
  BYTE wanted = (BYTE)awaited;
  NKDbgPrintfW(TEXT("Waiting for char -> %X h\r\n"), wanted);
  strayCame = FALSE;
  DWORD started = GetTickCount();
  if (limit != AWAIT_NO_LIMIT && !ArmLimit(started + limit)) {
    NKDbgPrintfW(TEXT("Error (%d) starting the time limit of the wait\r\n"), (DWORD)lineError);
    return AWAIT_NO_TIMER;
  }
  DWORD outcome = AwaitOnLine(UpdatePortHandle(), wanted, started, limit);
  limitArmed = 0;
  if (outcome == AWAIT_TIMED_OUT) NKDbgPrintfW(TEXT("No char -> %X h within %d ms !!\r\n"), wanted, limit);
  return outcome;
}

BOOL WaitForByte(DWORD awaited) { return AwaitByte(awaited, AWAIT_NO_LIMIT) == AWAIT_GOT_BYTE; }

DWORD AwaitLineError(void) { return lineError; }

BOOL AwaitStrayByte(BYTE* value) {
  if (strayCame) *value = strayByte;
  return strayCame;
}

DWORD WINAPI CastThread(LPVOID parameter) {
  (void)parameter;
  BYTE wakeUp = WAKE_UP_BYTE;
  for (;;) {
    DWORD written = 0;
    WriteFile(UpdatePortHandle(), &wakeUp, 1, &written, NULL);
    Sleep(10);
  }
}
