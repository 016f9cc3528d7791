// The handset reboot through the kernel's control interface, looked up at
// run time in the core library.
#include <windows.h>
#include <pkfuncs.h>

#include "common/Common.h"
#include "device/Device.h"

typedef BOOL (*KernelIoControlProc)(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                    LPDWORD returned);

LRESULT RebootDevice(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  HINSTANCE coreLibrary = LoadLibraryW(TEXT("COREDLL.DLL"));
  if (coreLibrary == NULL) {
    AppendLog(window, TEXT("LoadLibrary() call fails !\r\n"));
    return 1;
  }
  KernelIoControlProc kernelIoControl = (KernelIoControlProc)GetProcAddressW(coreLibrary, TEXT("KernelIoControl"));
  if (kernelIoControl == NULL) {
    AppendLog(window, TEXT("GetProcAddress() call fails !\r\n"));
    FreeLibrary(coreLibrary);
    return 1;
  }
  // The core library stays loaded for the program's own imports, so the
  // pointer outlives this reference.
  if (!FreeLibrary(coreLibrary)) AppendLog(window, TEXT("Coredll.dll is not freed !\r\n"));

  if (!kernelIoControl(IOCTL_HAL_REBOOT, NULL, 0, NULL, 0, NULL)) {
    AppendLog(window, TEXT("Failed to call KernelIoControl() to reboot!\r\n"));
    return 1;
  }
  return 0;
}
