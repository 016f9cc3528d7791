// The relay's copy threads, one per direction, and its release.
#include <windows.h>

#include "common/Common.h"
#include "relay/Relay.h"

#define RELAY_CHUNK 1024

struct CopyDirection {
  std::atomic<HANDLE>* source;
  std::atomic<HANDLE>* destination;
  LPCWSTR writeFailureText;  // text and caption of the box
  LPCWSTR progressText;
  DWORD logLevelBit;       // LogLevel bit that shows this direction's counts
  BOOL countBytesWritten;  // the progress text counts bytes written, else bytes read
};

static DWORD CopyBytes(HWND window, const CopyDirection* direction) {
  BYTE buffer[RELAY_CHUNK];
  WCHAR text[128];
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);

  while (RelayRunning != 0) {
    DWORD read = 0;
    if (ReadFile(*direction->source, buffer, RELAY_CHUNK, &read, NULL) && read > 0) {
      DWORD written = 0;
      if (!WriteFile(*direction->destination, buffer, read, &written, NULL)) {
        // A write that the release ended is no failure to tell the user of.
        if (RelayRunning != 0) MessageBoxW(NULL, direction->writeFailureText, direction->writeFailureText, MB_OK);
      }
      if (written != 0 && (LogLevel & direction->logLevelBit) != 0) {
        wsprintfW(text, direction->progressText, direction->countBytesWritten ? written : read);
        ShowLogText(window, text);
      }
    }
    if (ModulePort == INVALID_HANDLE_VALUE || PartnerPort == INVALID_HANDLE_VALUE) break;
  }
  return 0;
}

DWORD WINAPI ModuleToPartnerThread(LPVOID window) {
  static const CopyDirection moduleToPartner = {
      &ModulePort, &PartnerPort, TEXT("Fail to write to BT/Irda\r\n"), TEXT("%d bytes <-BT<-FF<- <<<\r\n"), 2, TRUE};
  return CopyBytes((HWND)window, &moduleToPartner);
}

DWORD WINAPI PartnerToModuleThread(LPVOID window) {
  static const CopyDirection partnerToModule = {
      &PartnerPort, &ModulePort, TEXT("Fail to write FF(GSM)"), TEXT(">>> %d bytes ->BT->FF->\r\n"), 1, FALSE};
  return CopyBytes((HWND)window, &partnerToModule);
}

// How often the release ends the port transfers again while it waits.
#define RELAY_ABORT_PERIOD 50

// Ends the transfers in progress on the relay's ports, so that a copy
// thread inside ReadFile or WriteFile gets back to its loop test.
static void AbortTransfers(HANDLE module, HANDLE partner) {
  if (module != INVALID_HANDLE_VALUE) PurgeComm(module, PURGE_TXABORT | PURGE_RXABORT);
  if (partner != INVALID_HANDLE_VALUE) PurgeComm(partner, PURGE_TXABORT | PURGE_RXABORT);
}

// The last resort for a copy thread that did not leave in time (it waits
// in its write-failure box, or in a transfer its driver does not abort):
// ended where it is, then awaited until it has ended, since a desktop
// kernel ends a thread only some time after TerminateThread has returned.
static void StopStuckThread(HANDLE thread, LPCWSTR name) {
  if (!ThreadStillActive(thread)) return;
  NKDbgPrintfW(TEXT("%s did not stop within %d ms, terminated!!\r\n"), name, RELAY_STOP_WAIT);
  TerminateThread(thread, 0);
  AwaitThreads(&thread, 1, INFINITE);
}

void ReleaseRelay(void) {
  // A copy thread tests the flag and fetches both ports before every
  // transfer: with the flag cleared and the ports out of the globals it
  // begins no transfer on these handles and leaves at its next test.
  RelayRunning = 0;
  HANDLE module = ModulePort;
  HANDLE partner = PartnerPort;
  ModulePort = INVALID_HANDLE_VALUE;
  PartnerPort = INVALID_HANDLE_VALUE;
  AbortTransfers(module, partner);

  HANDLE copyThreads[2] = {ModuleToPartnerHandle, PartnerToModuleHandle};
  DWORD started = GetTickCount();
  while (!AwaitThreads(copyThreads, 2, RELAY_ABORT_PERIOD) && GetTickCount() - started < RELAY_STOP_WAIT) {
    // A transfer begun on a port fetched just before the globals were
    // cleared started after the purge.
    AbortTransfers(module, partner);
  }
  StopStuckThread(copyThreads[0], TEXT("ModuleToPartnerThread"));
  StopStuckThread(copyThreads[1], TEXT("PartnerToModuleThread"));

  // Only now that no copy thread is left: a thread that fetched a port
  // before the globals were cleared could otherwise reach the handle value
  // after the close, when the kernel may have given it to something else.
  if (module != INVALID_HANDLE_VALUE) CloseHandle(module);
  if (partner != INVALID_HANDLE_VALUE) CloseHandle(partner);
}

LRESULT StopRelay(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  ReleaseRelay();
  WCHAR text[512];
  wsprintfW(text, TEXT("COMs released, R/W threads stopped\r\n"));
  ShowLogText(window, text);
  return 0;
}
