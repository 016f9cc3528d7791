// Desktop Win32 build: the CE kernel services for privileged programs that
// the utility uses. The desktop has neither.
#ifndef FWUTIL_WIN32_PKFUNCS_H
#define FWUTIL_WIN32_PKFUNCS_H

#include <windows.h>

// The HAL's reboot request (FILE_DEVICE_HAL, function 15), sent through
// KernelIoControl, which the utility looks up in COREDLL.DLL at run time.
#ifndef FILE_DEVICE_HAL
#define FILE_DEVICE_HAL 0x00000101
#endif
#define IOCTL_HAL_REBOOT CTL_CODE(FILE_DEVICE_HAL, 15, METHOD_BUFFERED, FILE_ANY_ACCESS)

#ifndef RC_INVOKED

// CE maps physical memory (device registers) into a reserved range. A
// desktop process cannot reach physical memory: the range is committed as
// ordinary memory instead, a register block with nothing behind it.
inline BOOL VirtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protection) {
  (void)source;
  return VirtualAlloc(destination, size, MEM_COMMIT, protection & ~(DWORD)PAGE_NOCACHE) != NULL;
}

#endif  // RC_INVOKED

#endif  // FWUTIL_WIN32_PKFUNCS_H
