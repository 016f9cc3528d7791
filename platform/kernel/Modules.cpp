// Modules and run-time linking: LoadLibraryW, GetProcAddressW, FreeLibrary,
// GetModuleFileNameW, and the core library's KernelIoControl.
#include "kernel/Modules.h"

#include <pkfuncs.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "board/Board.h"
#include "kernel/Thread.h"
#include "text/WideText.h"

namespace kernel {
namespace {

struct Library {
  std::u16string name;
  std::map<std::u16string, FARPROC> exports;
  int references;  // the program's own imports hold one
};

struct ModuleTable {
  std::mutex lock;
  std::u16string programName;
  std::span<const uint8_t> programResources;
  std::vector<Library> libraries;
};

template <class F>
FARPROC Export(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

ModuleTable& Table() {
  static auto* table = [] {
    auto* t = new ModuleTable;
    t->libraries.push_back(Library{u"COREDLL.DLL",
                                   {
                                       {u"KernelIoControl", Export(&KernelIoControl)},
                                       {u"SystemIdleTimerReset", Export(&SystemIdleTimerReset)},
                                       {u"Sleep", Export(&Sleep)},
                                       {u"GetLastError", Export(&GetLastError)},
                                   },
                                   1});
    return t;
  }();
  return *table;
}

// Library handles sit apart from the program's, which is the first module.
constexpr uintptr_t kProgramHandle = 0x00010000;
constexpr uintptr_t kFirstLibraryHandle = 0x01000000;

HINSTANCE LibraryHandle(size_t index) { return reinterpret_cast<HINSTANCE>(kFirstLibraryHandle + index * 0x10000); }

Library* FindLibrary(ModuleTable& table, HMODULE module) {
  auto value = reinterpret_cast<uintptr_t>(module);
  if (value < kFirstLibraryHandle || (value - kFirstLibraryHandle) % 0x10000 != 0) return nullptr;
  size_t index = (value - kFirstLibraryHandle) / 0x10000;
  return index < table.libraries.size() ? &table.libraries[index] : nullptr;
}

// "\\Windows\\coredll.dll" and "coredll" name the same library.
std::u16string_view BaseName(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  if (slash != std::u16string_view::npos) path.remove_prefix(slash + 1);
  return path;
}

bool SameLibrary(std::u16string_view requested, std::u16string_view name) {
  requested = BaseName(requested);
  if (text::EqualsIgnoreCase(requested, name)) return true;
  return requested.find(u'.') == std::u16string_view::npos && name.size() > 4 &&
         text::EqualsIgnoreCase(requested, name.substr(0, name.size() - 4));
}

}  // namespace

HINSTANCE RegisterProgramModule(std::u16string fileName, std::span<const uint8_t> resources) {
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.programName = std::move(fileName);
  table.programResources = resources;
  return reinterpret_cast<HINSTANCE>(kProgramHandle);
}

HINSTANCE ProgramModule() { return reinterpret_cast<HINSTANCE>(kProgramHandle); }

std::span<const uint8_t> ModuleResources(HMODULE module) {
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  if (module == nullptr || reinterpret_cast<uintptr_t>(module) == kProgramHandle) return table.programResources;
  return {};
}

}  // namespace kernel

using kernel::PlatformCall;

HINSTANCE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  PlatformCall call;
  if (board::PlatformFaults().loadLibraryFails) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  kernel::ModuleTable& table = kernel::Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (size_t i = 0; i < table.libraries.size(); ++i) {
    if (kernel::SameLibrary(text::View(lpLibFileName), table.libraries[i].name)) {
      ++table.libraries[i].references;
      return kernel::LibraryHandle(i);
    }
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
  PlatformCall call;
  kernel::ModuleTable& table = kernel::Table();
  std::lock_guard<std::mutex> guard(table.lock);
  kernel::Library* library = kernel::FindLibrary(table, hModule);
  if (library == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (board::PlatformFaults().procAddressFails || lpProcName == nullptr || IS_INTRESOURCE(lpProcName)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  auto it = library->exports.find(std::u16string(lpProcName));
  if (it == library->exports.end()) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return it->second;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  PlatformCall call;
  kernel::ModuleTable& table = kernel::Table();
  std::lock_guard<std::mutex> guard(table.lock);
  kernel::Library* library = kernel::FindLibrary(table, hLibModule);
  if (library == nullptr || board::PlatformFaults().freeLibraryFails) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The program's own imports keep the library loaded: its count never
  // drops below one, so function pointers stay valid.
  if (library->references > 1) --library->references;
  return TRUE;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  PlatformCall call;
  std::u16string path;
  if (hModule == nullptr || hModule == kernel::ProgramModule()) {
    path = board::Current().ProgramPath();
  } else {
    kernel::ModuleTable& table = kernel::Table();
    std::lock_guard<std::mutex> guard(table.lock);
    kernel::Library* library = kernel::FindLibrary(table, hModule);
    if (library == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    path = u"\\Windows\\" + library->name;
  }
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // A path that does not fit is cut short and still terminated.
  DWORD copied = static_cast<DWORD>(std::min<size_t>(path.size(), nSize - 1));
  std::copy_n(path.data(), copied, lpFilename);
  lpFilename[copied] = u'\0';
  if (copied < path.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return copied;
}

BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                            DWORD nOutBufSize, LPDWORD lpBytesReturned) {
  PlatformCall call;
  return board::Current().OemIoControl(dwIoControlCode, lpInBuf, nInBufSize, lpOutBuf, nOutBufSize, lpBytesReturned);
}

void WINAPI SystemIdleTimerReset(void) {
  PlatformCall call;
  board::Current().IdleTimerReset();
}
