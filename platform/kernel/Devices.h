// The device manager: CreateFileW opens devices by their names ("COM1:",
// "RIL1:": a three-letter prefix, an index and a colon) through the driver
// registered for the prefix. ReadFile, WriteFile and DeviceIoControl reach
// the open device.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "kernel/Handles.h"

namespace kernel {

// An open device. Each handle CreateFileW returns names its own DeviceFile;
// closing the handle closes the device (OnHandleClosed).
class DeviceFile : public KernelObject {
 public:
  // Defaults fail with ERROR_INVALID_FUNCTION. Implementations set the last
  // error when they fail.
  virtual BOOL Read(void* buffer, DWORD size, DWORD* read);
  virtual BOOL Write(const void* data, DWORD size, DWORD* written);
  virtual BOOL IoControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
  DeviceFile* AsDeviceFile() final { return this; }
};

// The open device a handle names, or null.
std::shared_ptr<DeviceFile> ReferenceDevice(HANDLE handle);

// Opens device number `index` of a driver. Returns null with the last error
// set when it cannot.
using DeviceOpener = std::function<std::shared_ptr<DeviceFile>(unsigned index, DWORD access, DWORD share)>;

// A test switch: `hold` runs on the calling thread at the entry of every
// ReadFile (write false) and WriteFile (write true), with the handle value
// it was given, before the value is looked up and with no lock held. A test
// holds a thread there (in a platform wait, so that it can be suspended or
// ended) as a kernel may deschedule a thread between fetching a handle and
// using it. An empty function turns it off.
void SetTransferHold(std::function<void(HANDLE handle, bool write)> hold);

// Registers the driver of a prefix (matched without regard to case),
// replacing any earlier one. An empty opener removes it.
void RegisterDeviceDriver(const std::u16string& prefix, DeviceOpener opener);

}  // namespace kernel
