#include "kernel/Devices.h"

#include <atomic>
#include <map>
#include <mutex>

#include "kernel/Thread.h"
#include "text/WideText.h"

namespace kernel {
namespace {

struct DriverTable {
  std::mutex lock;
  std::map<std::u16string, DeviceOpener> drivers;  // by upper-case prefix
};

DriverTable& Drivers() {
  static auto* table = new DriverTable;
  return *table;
}

std::u16string Upper(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

// "COM1:" -> ("COM", 1). False if the name is not a device name.
bool ParseDeviceName(std::u16string_view name, std::u16string& prefix, unsigned& index) {
  if (name.size() < 5 || name.back() != u':') return false;
  prefix = Upper(name.substr(0, 3));
  for (char16_t c : prefix) {
    if (c < u'A' || c > u'Z') return false;
  }
  std::u16string_view digits = name.substr(3, name.size() - 4);
  if (digits.empty() || digits.size() > 4) return false;
  index = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return false;
    index = index * 10 + static_cast<unsigned>(c - u'0');
  }
  return true;
}

struct TransferHold {
  std::atomic<bool> armed{false};  // read on every transfer: the function only when set
  std::mutex lock;
  std::shared_ptr<const std::function<void(HANDLE, bool)>> hold;
};

TransferHold& Hold() {
  static auto* hold = new TransferHold;
  return *hold;
}

void RunTransferHold(HANDLE handle, bool write) {
  TransferHold& hold = Hold();
  if (!hold.armed.load(std::memory_order_acquire)) return;
  std::shared_ptr<const std::function<void(HANDLE, bool)>> function;
  {
    std::lock_guard<std::mutex> guard(hold.lock);
    function = hold.hold;
  }
  if (function) (*function)(handle, write);
}

}  // namespace

void SetTransferHold(std::function<void(HANDLE handle, bool write)> function) {
  TransferHold& hold = Hold();
  std::lock_guard<std::mutex> guard(hold.lock);
  hold.hold = function ? std::make_shared<const std::function<void(HANDLE, bool)>>(std::move(function)) : nullptr;
  hold.armed.store(hold.hold != nullptr, std::memory_order_release);
}

BOOL DeviceFile::Read(void*, DWORD, DWORD*) {
  SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}

BOOL DeviceFile::Write(const void*, DWORD, DWORD*) {
  SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}

BOOL DeviceFile::IoControl(DWORD, void*, DWORD, void*, DWORD, DWORD*) {
  SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}

std::shared_ptr<DeviceFile> ReferenceDevice(HANDLE handle) {
  std::shared_ptr<KernelObject> object = ReferenceHandle(handle);
  DeviceFile* device = object ? object->AsDeviceFile() : nullptr;
  if (device == nullptr) return nullptr;
  return std::shared_ptr<DeviceFile>(std::move(object), device);
}

void RegisterDeviceDriver(const std::u16string& prefix, DeviceOpener opener) {
  DriverTable& table = Drivers();
  std::lock_guard<std::mutex> guard(table.lock);
  if (opener) {
    table.drivers[Upper(prefix)] = std::move(opener);
  } else {
    table.drivers.erase(Upper(prefix));
  }
}

}  // namespace kernel

using kernel::PlatformCall;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE) {
  PlatformCall call;
  std::u16string prefix;
  unsigned index = 0;
  if (lpFileName == nullptr || !kernel::ParseDeviceName(text::View(lpFileName), prefix, index)) {
    SetLastError(lpFileName == nullptr || *lpFileName == 0 ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != OPEN_ALWAYS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  kernel::DeviceOpener opener;
  {
    kernel::DriverTable& table = kernel::Drivers();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.drivers.find(prefix);
    if (it != table.drivers.end()) opener = it->second;
  }
  if (!opener) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto device = opener(index, dwDesiredAccess, dwShareMode);
  if (!device) return INVALID_HANDLE_VALUE;
  return kernel::InsertHandle(std::move(device));
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  PlatformCall call;
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  kernel::RunTransferHold(hFile, false);
  auto device = kernel::ReferenceDevice(hFile);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD read = 0;
  BOOL ok = device->Read(lpBuffer, nNumberOfBytesToRead, &read);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = read;
  return ok;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  PlatformCall call;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  kernel::RunTransferHold(hFile, true);
  auto device = kernel::ReferenceDevice(hFile);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD written = 0;
  BOOL ok = device->Write(lpBuffer, nNumberOfBytesToWrite, &written);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = written;
  return ok;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                            DWORD nOutBufSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  PlatformCall call;
  auto device = kernel::ReferenceDevice(hDevice);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpOverlapped != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->IoControl(dwIoControlCode, lpInBuf, nInBufSize, lpOutBuf, nOutBufSize, lpBytesReturned);
}
