// The relay's ports: found through the registry or by fixed names, opened,
// configured, and the start of the copy threads.
#include <windows.h>
#include <string.h>

#include "common/Common.h"
#include "relay/Relay.h"

std::atomic<HANDLE> ModulePort{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> PartnerPort{INVALID_HANDLE_VALUE};
std::atomic<DWORD> RelayPartner{PARTNER_IRDA};
std::atomic<DWORD> RelayRunning{1};
std::atomic<HANDLE> ModuleToPartnerHandle{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> PartnerToModuleHandle{INVALID_HANDLE_VALUE};

static HANDLE OpenPortForReadWrite(LPCWSTR deviceName) {
  return CreateFileW(deviceName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

BOOL OpenRelayPort(HWND window, LPCWSTR settingsName) {
  WCHAR deviceName[32];
  WCHAR text[512];
  deviceName[0] = 0;

  BOOL isModuleUart = wcscmp(settingsName, TEXT("FFUART")) == 0;
  LPCWSTR registryKey = isModuleUart ? TEXT("Drivers\\BuiltIn\\Serial") : TEXT("Drivers\\BuiltIn\\Serial2");
  std::atomic<HANDLE>& port = isModuleUart ? ModulePort : PartnerPort;
  LPCWSTR failureText = isModuleUart ? TEXT("Open FF(%s) failed.\r\n") : TEXT("Open BT(%s) failed.\r\n");

  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, registryKey, 0, 0, &key) == ERROR_SUCCESS) {
    DWORD index = 0;
    DWORD size = sizeof(index);
    if (RegQueryValueExW(key, TEXT("Index"), NULL, NULL, (LPBYTE)&index, &size) == ERROR_SUCCESS && index < 10) {
      wsprintfW(deviceName, TEXT("COM%d:"), index);
    }
    RegCloseKey(key);
  }

  HANDLE opened = OpenPortForReadWrite(deviceName);
  if (opened == INVALID_HANDLE_VALUE) {
    wsprintfW(text, failureText, deviceName);
    ShowLogText(window, text);
    return FALSE;
  }
  wsprintfW(text, TEXT("%s opened\r\n"), deviceName);
  ShowLogText(window, text);
  port = opened;

  // Settings that fail to apply are not fatal: the port is used as it is.
  DCB settings;
  memset(&settings, 0, sizeof(settings));
  settings.DCBlength = sizeof(settings);
  GetCommState(opened, &settings);
  settings.BaudRate = 115200;
  settings.ByteSize = 8;
  settings.Parity = NOPARITY;
  settings.StopBits = ONESTOPBIT;
  settings.fParity = 0;
  settings.fNull = 0;
  settings.fInX = 0;
  settings.fOutX = 0;
  SetCommState(opened, &settings);

  PurgeComm(opened, PURGE_TXCLEAR | PURGE_RXCLEAR);

  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(opened, &timeouts);
  return TRUE;
}

// The infrared and IrDA ports run with their drivers' own settings.
static BOOL OpenFixedPartnerPort(HWND window, LPCWSTR deviceName, LPCWSTR failureText, LPCWSTR successText) {
  WCHAR text[512];
  HANDLE opened = OpenPortForReadWrite(deviceName);
  if (opened == INVALID_HANDLE_VALUE) {
    wsprintfW(text, failureText, deviceName);
    ShowLogText(window, text);
    return FALSE;
  }
  wsprintfW(text, successText, deviceName);
  ShowLogText(window, text);
  PartnerPort = opened;
  return TRUE;
}

BOOL OpenInfraredPort(HWND window) {
  return OpenFixedPartnerPort(window, TEXT("COM5:"), TEXT("Open IR(%s) failed.\r\n"), TEXT("%s (IR)opened\r\n"));
}

BOOL OpenIrdaPort(HWND window) {
  return OpenFixedPartnerPort(window, TEXT("COM3:"), TEXT("Open IRDA(%s) failed.\r\n"), TEXT("IRDA(%s) opened\r\n"));
}

// Starts a copy thread unless the last one still copies. After a release
// the last one may still be finishing (a desktop kernel ends a terminated
// thread some time after TerminateThread has returned): it is awaited, not
// taken for a live copy thread. The handle of an ended thread is released
// before it is replaced.
static void StartCopyThread(std::atomic<HANDLE>& handle, LPTHREAD_START_ROUTINE copyThread, HWND window,
                            BOOL afterRelease) {
  HANDLE previous = handle;
  if (ThreadStillActive(previous)) {
    if (!afterRelease) return;
    AwaitThreads(&previous, 1, RELAY_STOP_WAIT);
  }
  if (previous != INVALID_HANDLE_VALUE && previous != NULL) CloseHandle(previous);
  handle = CreateThread(NULL, 0, copyThread, (LPVOID)window, 0, NULL);
}

LRESULT StartRelay(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  OpenRelayPort(window, TEXT("FFUART"));
  switch (RelayPartner) {
    case PARTNER_BTUART:
      OpenRelayPort(window, TEXT("BTUART"));
      break;
    case PARTNER_INFRARED:
      OpenInfraredPort(window);
      break;
    case PARTNER_IRDA:
      OpenIrdaPort(window);
      break;
  }
  if (PartnerPort == INVALID_HANDLE_VALUE || ModulePort == INVALID_HANDLE_VALUE) {
    ShowLogText(window, TEXT("one of the handles is INVALID_HANDLE_VALUE\r\n"));
    return 1;
  }

  // Only a release clears the flag, and it has stopped the copy threads.
  BOOL afterRelease = RelayRunning == 0;
  RelayRunning = 1;
  StartCopyThread(ModuleToPartnerHandle, ModuleToPartnerThread, window, afterRelease);
  StartCopyThread(PartnerToModuleHandle, PartnerToModuleThread, window, afterRelease);

  if (ModuleToPartnerHandle != NULL && PartnerToModuleHandle != NULL) {
    WCHAR text[512];
    wsprintfW(text, TEXT("Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n"));
    ShowLogText(window, text);
  }
  return 0;
}
