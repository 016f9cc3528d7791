// Start-up: one instance, the window class, the main window and the
// message loop.
#include <windows.h>
#include <commctrl.h>

#include "shell/Shell.h"

#define MAIN_CLASS_NAME TEXT("Firmware Utility")
#define MAIN_WINDOW_TITLE TEXT("Firmware Utility")

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand) {
  (void)previousInstance;

  int registered = RegisterMainClass(instance);
  if (registered != 0) return registered;

  HWND window = CreateMainWindow(instance, commandLine, showCommand);
  if (window == NULL) return 16;

  HACCEL accelerators = LoadAcceleratorsW(AppInstance, TEXT("ID_ACCEL"));

  MSG message;
  while (GetMessageW(&message, NULL, 0, 0)) {
    if (!TranslateAcceleratorW(window, accelerators, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return (int)message.wParam;
}

int RegisterMainClass(HINSTANCE instance) {
  // Only one copy runs: a second start brings the first to the front.
  HWND running = FindWindowW(MAIN_CLASS_NAME, NULL);
  if (running != NULL) {
    SetForegroundWindow((HWND)((ULONG_PTR)running | 1));
    return -1;
  }

  WNDCLASSW windowClass;
  windowClass.style = 0;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = NULL;
  windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
  windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
  windowClass.lpszMenuName = NULL;
  windowClass.lpszClassName = MAIN_CLASS_NAME;
  if (RegisterClassW(&windowClass) == 0) return 1;

  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_BAR_CLASSES;
  InitCommonControlsEx(&controls);
  return 0;
}

HWND CreateMainWindow(HINSTANCE instance, LPWSTR commandLine, int showCommand) {
  (void)commandLine;
  AppInstance = instance;

  HWND window = CreateWindowExW(0, MAIN_CLASS_NAME, MAIN_WINDOW_TITLE, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
  // OnCreate may have refused the window or destroyed it again.
  if (!IsWindow(window)) return NULL;

  ShowWindow(window, showCommand);
  UpdateWindow(window);
  return window;
}
