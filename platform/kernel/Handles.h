// The kernel's handle table: HANDLE values for threads, events, open
// devices. Values are never reused within a process, so a stale handle can
// never reach a newer object, unless a test asks for reuse
// (ReuseClosedHandles).
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

namespace kernel {

class DeviceFile;

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // The handle that named this object was closed (CloseHandle).
  virtual void OnHandleClosed() {}
  // The object as an open device, or null: ReadFile and WriteFile ask on
  // every call, so this is a virtual call rather than a dynamic_cast.
  virtual DeviceFile* AsDeviceFile() { return nullptr; }
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle);
// Removes the handle; false if it named nothing.
bool CloseHandleEntry(HANDLE handle);
// Number of open handles (for resource-hygiene checks).
size_t OpenHandleCount();

// A test switch: while on, the value of the handle closed last is handed to
// the next object inserted, as a desktop kernel may hand it out again, so a
// stale handle can reach a newer object. Off (the default) forgets the
// closed values.
void ReuseClosedHandles(bool on);

template <class T>
std::shared_ptr<T> Reference(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(ReferenceHandle(handle));
}

// The current thread's pseudo handle, as the handset's kernel numbers it.
inline HANDLE CurrentThreadPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x41)); }

}  // namespace kernel
