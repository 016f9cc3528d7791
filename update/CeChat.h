// The update line: "COM1:" to the radio module, and the byte primitives the
// module's boot-strap protocol is built on.
#ifndef CECHAT_H
#define CECHAT_H

#include <windows.h>

#include <atomic>

struct UpdatePort {
  WCHAR deviceName[8];
  DCB settings;
  std::atomic<HANDLE> handle;  // 0 while the line is not open
};

// The most recently opened line; every user takes its handle from here at
// each use.
extern std::atomic<UpdatePort*> CurrentUpdatePort;

HANDLE UpdatePortHandle(void);
BOOL OpenUpdatePort(void);
void CloseUpdatePort(void);
void SendByte(BYTE value);
BOOL WaitForByte(DWORD awaited);
DWORD WINAPI CastThread(LPVOID parameter);

#endif  // CECHAT_H
