// The application shell: the main window, its globals, the command set and
// the log view.
#ifndef SHELL_H
#define SHELL_H

#include <windows.h>

#include <atomic>

// Child identifiers of the main window.
#define IDC_COMMANDBAR 4
#define IDC_LOGVIEW 5

// Every command handler has this shape; its result becomes the window
// procedure's result.
typedef LRESULT (*CommandHandler)(HWND window, WORD command, HWND control, WORD notification);

// Globals of the shell. Worker threads read some of them, so the single
// words are atomic.
extern std::atomic<HINSTANCE> AppInstance;
extern std::atomic<HWND> MenuBar;
extern std::atomic<DWORD> KeepInFront;
extern std::atomic<DWORD> LogLevel;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

int RegisterMainClass(HINSTANCE instance);
HWND CreateMainWindow(HINSTANCE instance, LPWSTR commandLine, int showCommand);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows `text` in the log view of `window` while LogLevel is not 0.
void AppendLog(HWND window, LPCWSTR text);

LRESULT CloseMainWindow(HWND window, WORD command, HWND control, WORD notification);
LRESULT ShowAboutBox(HWND window, WORD command, HWND control, WORD notification);
LRESULT SelectSetting(HWND window, WORD command, HWND control, WORD notification);
BOOL CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif  // SHELL_H
