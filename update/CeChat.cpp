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

  PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
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

void CloseUpdatePort(void) {
  UpdatePort* port = CurrentUpdatePort;
  if (port == NULL || port->handle == NULL) return;
  PurgeComm(port->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  CloseHandle(port->handle);
  port->handle = NULL;
}

void SendByte(BYTE value) {
  DWORD written = 0;
  WriteFile(UpdatePortHandle(), &value, 1, &written, NULL);
  NKDbgPrintfW(TEXT(" %d char : %X h sent \r\n"), written, value);
}

// Waits for the next line event. FALSE when the line itself has failed.
static BOOL WaitLineEvent(HANDLE line, DWORD* events) {
  *events = 0;
  SetCommMask(line, LINE_EVENTS);
  if (!WaitCommEvent(line, events, NULL)) {
    NKDbgPrintfW(TEXT("Error (%d) waiting on %s\r\n"), GetLastError(), UPDATE_DEVICE);
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

BOOL WaitForByte(DWORD awaited) {
  BYTE wanted = (BYTE)awaited;
  NKDbgPrintfW(TEXT("Waiting for char -> %X h\r\n"), wanted);
  HANDLE line = UpdatePortHandle();
  for (;;) {
    DWORD events = 0;
    // A break or a line error with nothing received ends the wait, also
    // after stray bytes: a module that refuses after answering a wake-up
    // byte twice is not waited on for ever.
    if (!WaitLineEvent(line, &events) || (events & EV_RXCHAR) == 0) {
      NKDbgPrintfW(TEXT("None byte got from KRX5 !!\r\n"));
      return FALSE;
    }
    // Read byte by byte up to the awaited one; what comes before it is
    // dropped, what comes after stays queued. When the queue runs dry before
    // it arrives, wait for the next arrival rather than poll.
    BYTE received = 0;
    DWORD read = 0;
    while (ReadFile(line, &received, 1, &read, NULL) && read == 1) {
      NKDbgPrintfW(TEXT("A byte got from KRX6A : %c , %X h\r\n"), received, received);
      if (received == wanted) return TRUE;
    }
    // A break or line error reported together with stray bytes is the same
    // refusal; it has been cleared and will not be reported again.
    if ((events & ~(DWORD)EV_RXCHAR) != 0) {
      NKDbgPrintfW(TEXT("None byte got from KRX5 !!\r\n"));
      return FALSE;
    }
  }
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
