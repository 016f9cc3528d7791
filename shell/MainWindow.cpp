// The main window: its message table and handlers.
#include <windows.h>
#include <aygshell.h>
#include <commctrl.h>
#include <pkfuncs.h>
#include <string.h>

#include "relay/Relay.h"
#include "shell/Shell.h"

#define KEEP_AWAKE_TIMER 100
#define KEEP_AWAKE_PERIOD 10000

// The handset's GPIO register block, mapped at start-up.
#define GPIO_BASE 0xB4E00000
#define GPIO_SIZE 0x14C

std::atomic<HINSTANCE> AppInstance{NULL};
std::atomic<HWND> MenuBar{NULL};
std::atomic<DWORD> KeepInFront{1};

static WCHAR WorkDir[100];
static volatile DWORD* GpioWindow = NULL;
static SHACTIVATEINFO ShellActivateInfo;

static LRESULT OnCreate(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
static LRESULT OnSize(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
static LRESULT OnShellNotify(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
static LRESULT OnSetFocus(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
static LRESULT OnDestroy(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
static LRESULT OnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

typedef LRESULT (*MessageHandler)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct MessageEntry {
  UINT message;
  MessageHandler handler;
};

static const MessageEntry MessageTable[] = {
    {WM_CREATE, OnCreate},         {WM_SIZE, OnSize},           {WM_COMMAND, OnCommand},
    {WM_SETTINGCHANGE, OnShellNotify}, {WM_ACTIVATE, OnShellNotify}, {WM_SETFOCUS, OnSetFocus},
    {WM_DESTROY, OnDestroy},       {WM_TIMER, OnTimer},
};

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  for (size_t i = 0; i < sizeof(MessageTable) / sizeof(MessageTable[0]); i++) {
    if (MessageTable[i].message == message) return MessageTable[i].handler(window, message, wParam, lParam);
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

static LRESULT OnCreate(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)message, (void)wParam, (void)lParam;

  SHMENUBARINFO menuBarInfo;
  memset(&menuBarInfo, 0, sizeof(menuBarInfo));
  menuBarInfo.cbSize = sizeof(menuBarInfo);
  menuBarInfo.hwndParent = window;
  menuBarInfo.dwFlags = 0;
  menuBarInfo.nToolBarId = 105;
  menuBarInfo.hInstRes = AppInstance;
  menuBarInfo.nBmpId = 0;
  menuBarInfo.cBmpImages = 0;
  if (!SHCreateMenuBar(&menuBarInfo)) return -1;
  MenuBar = menuBarInfo.hwndMB;

  HWND logView = CreateWindowExW(WS_EX_CLIENTEDGE, TEXT("edit"), TEXT(""),
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_READONLY | ES_AUTOHSCROLL | ES_MULTILINE, 0, 0,
                                 CW_USEDEFAULT, CW_USEDEFAULT, window, (HMENU)IDC_LOGVIEW, AppInstance, NULL);
  if (!IsWindow(logView)) {
    DestroyWindow(window);
    return 0;
  }

  SHINITDLGINFO dialogInfo;
  memset(&dialogInfo, 0, sizeof(dialogInfo));
  dialogInfo.dwMask = SHIDIM_FLAGS;
  dialogInfo.hDlg = window;
  dialogInfo.dwFlags = SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN;
  SHInitDialog(&dialogInfo);

  GpioWindow = (volatile DWORD*)VirtualAlloc(NULL, GPIO_SIZE, MEM_RESERVE, PAGE_NOACCESS);
  if (GpioWindow == NULL) {
    DestroyWindow(window);
    return 0;
  }
  if (!VirtualCopy((LPVOID)GpioWindow, (LPVOID)GPIO_BASE, GPIO_SIZE, PAGE_READWRITE | PAGE_NOCACHE)) {
    // OnDestroy, run inside DestroyWindow, releases the reservation.
    DestroyWindow(window);
    return 0;
  }

  SetTimer(window, KEEP_AWAKE_TIMER, KEEP_AWAKE_PERIOD, NULL);

  WCHAR modulePath[100];
  memset(modulePath, 0, sizeof(modulePath));
  memset(WorkDir, 0, sizeof(WorkDir));
  GetModuleFileNameW(NULL, modulePath, 100);
  WCHAR* lastBackslash = wcsrchr(modulePath, TEXT('\\'));
  if (lastBackslash != NULL) {
    wcsncpy(WorkDir, modulePath, (size_t)(lastBackslash - modulePath) + 1);
  } else {
    MessageBoxW(NULL, modulePath, TEXT("WorkDir Error"), MB_OK);
  }
  NKDbgPrintfW(TEXT("get current dir %s\r\n"), WorkDir);

  AppendLog(window, TEXT("Orvane Q88 Firmware Utility\r\n<< Firmware Version: V.4.3.0 >>\r\n"));
  return 0;
}

static LRESULT OnSize(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)message, (void)wParam, (void)lParam;
  RECT client;
  GetClientRect(window, &client);
  client.top += CommandBar_Height(GetDlgItem(window, IDC_COMMANDBAR));
  SetWindowPos(GetDlgItem(window, IDC_LOGVIEW), NULL, client.left, client.top, client.right - client.left,
               client.bottom - client.top, SWP_NOZORDER);
  return 0;
}

static LRESULT OnShellNotify(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTINGCHANGE) return SHHandleWMSettingChange(window, wParam, lParam, &ShellActivateInfo);
  return SHHandleWMActivate(window, wParam, lParam, &ShellActivateInfo, 0);
}

static LRESULT OnSetFocus(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)message, (void)wParam, (void)lParam;
  SetFocus(GetDlgItem(window, IDC_LOGVIEW));
  return 0;
}

static LRESULT OnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)message, (void)wParam, (void)lParam;
  // User activity, so the handset does not go idle while the utility is open.
  SystemIdleTimerReset();
  keybd_event(VK_KANA, 0, KEYEVENTF_KEYUP | KEYEVENTF_SILENT, 0);
  if (KeepInFront != 0) SetForegroundWindow((HWND)((ULONG_PTR)window | 1));
  return 0;
}

static LRESULT OnDestroy(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)window, (void)message, (void)wParam, (void)lParam;
  // The relay goes with the window; an update in progress does not.
  ReleaseRelay();
  if (GpioWindow != NULL) {
    VirtualFree((LPVOID)GpioWindow, 0, MEM_RELEASE);
    GpioWindow = NULL;
  }
  PostQuitMessage(0);
  return 0;
}
