// Device control codes: device type, access, function and method in one DWORD.
#ifndef WINIOCTL_H
#define WINIOCTL_H

#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define FILE_DEVICE_HAL 0x00000101

#endif  // WINIOCTL_H
