// The firmware update: boot stages, image transfer and the sequence that
// runs them.
#ifndef UPDATE_H
#define UPDATE_H

#include <windows.h>

#include <atomic>

extern std::atomic<DWORD> UseFixedSize;
extern std::atomic<HANDLE> UpdateThreadHandle;
extern std::atomic<HANDLE> CastThreadHandle;

// Each gives 1 when the module accepted the stage (0xA5), else 0.
BOOL SendBootStage1(void);
BOOL SendBootStage2(void);
// Gives 1 when the module confirmed the image, else 0.
BOOL SendFirmwareImage(HWND window);

LRESULT StartUpdate(HWND window, WORD command, HWND control, WORD notification);
DWORD WINAPI UpdateThread(LPVOID window);

#endif  // UPDATE_H
