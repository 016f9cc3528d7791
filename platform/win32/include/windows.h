// Desktop Win32 build: the desktop SDK's windows.h, plus the few core
// (COREDLL) calls and conventions of Windows CE that the desktop lacks or
// spells differently. Each is mapped to its nearest desktop equivalent.
#ifndef FWUTIL_WIN32_WINDOWS_H
#define FWUTIL_WIN32_WINDOWS_H

#include_next <windows.h>

#ifndef RC_INVOKED

// CE's WinMain takes the command line as wide text; the desktop calls that
// entry wWinMain (linked with -municode).
#define WinMain wWinMain

// CE's key-event flag that suppresses the key click. The desktop makes no
// click, and its bit 0x0004 means KEYEVENTF_UNICODE, so it is no flag here.
#define KEYEVENTF_SILENT 0

// CE resets the power manager's idle timer; the desktop's equivalent is a
// one-off "system and display required".
inline void SystemIdleTimerReset(void) { SetThreadExecutionState(ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED); }

// CE's debug output takes printf-style wide text; the desktop's takes a
// finished string. wvsprintfW formats exactly as wsprintfW does (at most
// 1024 characters).
inline void NKDbgPrintfW(LPCWSTR format, ...) {
  WCHAR text[1025];
  va_list arguments;
  va_start(arguments, format);
  wvsprintfW(text, format, arguments);
  va_end(arguments);
  OutputDebugStringW(text);
}

// CE looks exports up by wide name; the desktop's export names are narrow.
// The address comes back as void (*)(void), which a program may cast to its
// function's type without -Wcast-function-type (the desktop's FARPROC,
// INT_PTR (*)(), may not be).
typedef void(WINAPI* CEFARPROC)(void);
inline CEFARPROC GetProcAddressW(HMODULE module, LPCWSTR name) {
  char narrow[256];
  if (WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof(narrow), NULL, NULL) == 0) return NULL;
  return (CEFARPROC)(void*)GetProcAddress(module, narrow);
}

// CE reserves the access mask of RegOpenKeyExW ("set to 0") and opens keys
// for reading; the desktop grants exactly what is asked, and a key opened
// with 0 refuses every query (ERROR_ACCESS_DENIED). A CE program's 0 is read
// access.
inline LONG CeRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return RegOpenKeyExW(key, subKey, options, access != 0 ? access : KEY_READ, result);
}
#define RegOpenKeyExW CeRegOpenKeyExW

// CE's dialog procedure returns BOOL, the desktop's INT_PTR (64 bits here),
// so a CE procedure is called through a desktop one that widens its result.
// The CE procedure is taken from the thread's pending slot by the first
// message of the dialog (before WM_INITDIALOG) and kept as a property.
typedef BOOL(CALLBACK* CEDLGPROC)(HWND, UINT, WPARAM, LPARAM);
inline CEDLGPROC& CePendingDialogProc(void) {
  static thread_local CEDLGPROC pending = NULL;
  return pending;
}
inline INT_PTR CALLBACK CeDialogProcThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  CEDLGPROC procedure = (CEDLGPROC)GetPropW(dialog, L"CeDialogProc");
  if (procedure == NULL) {
    procedure = CePendingDialogProc();
    CePendingDialogProc() = NULL;
    if (procedure == NULL) return FALSE;
    SetPropW(dialog, L"CeDialogProc", (HANDLE)procedure);
  }
  if (message == WM_NCDESTROY) RemovePropW(dialog, L"CeDialogProc");
  return procedure(dialog, message, wParam, lParam) ? TRUE : FALSE;
}
inline INT_PTR CeDialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                         CEDLGPROC procedure, LPARAM parameter) {
  CePendingDialogProc() = procedure;
  INT_PTR result = DialogBoxIndirectParamW(instance, dialogTemplate, owner, CeDialogProcThunk, parameter);
  CePendingDialogProc() = NULL;
  return result;
}
#define DialogBoxIndirectParamW CeDialogBoxIndirectParamW

// CE's serial ports: the system calls ReadFile, WriteFile and
// WaitCommEvent without an OVERLAPPED from several threads on one port, and
// another thread's SetCommMask, PurgeComm or write runs at once beside
// them. A desktop port opened without FILE_FLAG_OVERLAPPED serializes every
// call instead, so "COMn:" ports are opened overlapped underneath and these
// calls made the CE way run as the handset's do (CommPorts.cpp). Other
// handles, and calls that bring their own OVERLAPPED, go straight through.
HANDLE WINAPI CeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE templateFile);
BOOL WINAPI CeCloseHandle(HANDLE handle);
BOOL WINAPI CeReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI CeWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
BOOL WINAPI CeWaitCommEvent(HANDLE file, LPDWORD events, LPOVERLAPPED overlapped);
BOOL WINAPI CeSetCommMask(HANDLE file, DWORD mask);
BOOL WINAPI CePurgeComm(HANDLE file, DWORD flags);
BOOL WINAPI CeClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat);
#ifndef FWUTIL_COMM_PORTS_IMPL
#define CreateFileW CeCreateFileW
#define CloseHandle CeCloseHandle
#define ReadFile CeReadFile
#define WriteFile CeWriteFile
#define WaitCommEvent CeWaitCommEvent
#define SetCommMask CeSetCommMask
#define PurgeComm CePurgeComm
#define ClearCommError CeClearCommError
#endif

#endif  // RC_INVOKED

#endif  // FWUTIL_WIN32_WINDOWS_H
