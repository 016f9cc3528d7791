// What the update, the relay and the radio commands share with the shell:
// the command handler's shape, the log view and its two ways in, the
// shell's globals that they read or clear, and the thread check they all
// make. Nothing here depends on the shell's own header.
#ifndef COMMON_H
#define COMMON_H

#include <windows.h>

#include <atomic>

// The log view: child 5 of the main window.
#define IDC_LOGVIEW 5

// Every command handler has this shape; its result becomes the window
// procedure's result.
typedef LRESULT (*CommandHandler)(HWND window, WORD command, HWND control, WORD notification);

// Globals of the shell. Worker threads read some of them, so the single
// words are atomic.
extern std::atomic<HINSTANCE> AppInstance;
extern std::atomic<DWORD> KeepInFront;
extern std::atomic<DWORD> LogLevel;

// Shows `text` in the log view of `window` while LogLevel is not 0.
void AppendLog(HWND window, LPCWSTR text);
// Shows `text` in the log view of `window` at every LogLevel. A null
// window shows nothing.
void ShowLogText(HWND window, LPCWSTR text);

// TRUE while `thread` runs (its exit code is still STILL_ACTIVE); FALSE for
// a thread that has ended and for a handle that is no thread.
BOOL ThreadStillActive(HANDLE thread);

// Waits until each of the `count` threads (at most 63; -1 and NULL stand
// for none) has ended, for at most `milliseconds`, and meanwhile handles
// the messages that other threads send to this thread's windows: a worker
// blocked in a send to the log view would otherwise hold up the wait, and
// the wait the worker. TRUE when all of them have ended.
BOOL AwaitThreads(const HANDLE* threads, DWORD count, DWORD milliseconds);

#endif  // COMMON_H
