// Kernel services for privileged programs: physical mappings and the
// hardware abstraction layer's control interface.
#ifndef PKFUNCS_H
#define PKFUNCS_H

#include <windows.h>

#define IOCTL_HAL_REBOOT CTL_CODE(FILE_DEVICE_HAL, 15, METHOD_BUFFERED, FILE_ANY_ACCESS)

#ifndef RC_INVOKED

BOOL WINAPI VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);
BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                            DWORD nOutBufSize, LPDWORD lpBytesReturned);

#endif  // RC_INVOKED

#endif  // PKFUNCS_H
