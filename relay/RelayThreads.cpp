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
        MessageBoxW(NULL, direction->writeFailureText, direction->writeFailureText, MB_OK);
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

// Stops a copy thread that still runs; its handle stays where it is.
static void StopCopyThread(HANDLE thread) {
  if (ThreadStillActive(thread)) TerminateThread(thread, 0);
}

void ReleaseRelay(void) {
  HANDLE module = ModulePort;
  HANDLE partner = PartnerPort;
  // The flag first, so a thread whose port closes under it leaves its loop.
  RelayRunning = 0;
  if (module != INVALID_HANDLE_VALUE) CloseHandle(module);
  if (partner != INVALID_HANDLE_VALUE) CloseHandle(partner);
  ModulePort = INVALID_HANDLE_VALUE;
  PartnerPort = INVALID_HANDLE_VALUE;
  StopCopyThread(ModuleToPartnerHandle);
  StopCopyThread(PartnerToModuleHandle);
}

LRESULT StopRelay(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  ReleaseRelay();
  WCHAR text[512];
  wsprintfW(text, TEXT("COMs released, R/W threads stopped\r\n"));
  ShowLogText(window, text);
  return 0;
}
