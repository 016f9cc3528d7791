// The application shell: the main window, its globals, the command set and
// the log view.
#ifndef SHELL_H
#define SHELL_H

#include <windows.h>

#include <atomic>

// The handler type, the log view (IDC_LOGVIEW, AppendLog) and the globals
// that the other parts share with the shell.
#include "common/Common.h"

// The identifier OnSize looks up a command bar by. No child has it: the menu
// bar (MenuBar) is a window of its own, owned by the main window, so the
// lookup finds none, CommandBar_Height gives 0 and the log view takes the
// whole client area.
#define IDC_COMMANDBAR 4

extern std::atomic<HWND> MenuBar;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

int RegisterMainClass(HINSTANCE instance);
HWND CreateMainWindow(HINSTANCE instance, LPWSTR commandLine, int showCommand);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT CloseMainWindow(HWND window, WORD command, HWND control, WORD notification);
LRESULT ShowAboutBox(HWND window, WORD command, HWND control, WORD notification);
LRESULT SelectSetting(HWND window, WORD command, HWND control, WORD notification);
BOOL CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif  // SHELL_H
