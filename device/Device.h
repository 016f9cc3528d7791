// Radio control through the radio interface driver, and the handset reboot.
#ifndef DEVICE_H
#define DEVICE_H

#include <windows.h>

// Control codes private to the radio interface driver "RIL1:".
#define IOCTL_RIL_SUSPEND CTL_CODE(0x0300, 0x7E0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_RIL_RESUME CTL_CODE(0x0300, 0x7E1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_RIL_RESET CTL_CODE(0x0300, 0x7E2, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Command handlers; a window of 0 shows nothing. Result 0 on success, 1 on failure.
LRESULT SuspendRadio(HWND window, WORD command, HWND control, WORD notification);
LRESULT ResumeRadio(HWND window, WORD command, HWND control, WORD notification);
LRESULT ResetRadio(HWND window, WORD command, HWND control, WORD notification);
LRESULT RebootDevice(HWND window, WORD command, HWND control, WORD notification);

#endif  // DEVICE_H
