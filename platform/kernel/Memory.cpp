// VirtualAlloc, VirtualCopy and VirtualFree over mmap.
#include "kernel/Memory.h"

#include <windows.h>
#include <pkfuncs.h>

#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "board/Board.h"
#include "kernel/Thread.h"

namespace kernel {
namespace {

struct PhysicalBlock {
  uint32_t size;
  int fd;
  uint8_t* view;
};

struct MemoryState {
  std::mutex lock;
  std::map<uint32_t, PhysicalBlock> blocks;  // by kernel address
  std::map<uintptr_t, size_t> reservations;  // base -> length in bytes
};

MemoryState& State() {
  static auto* state = new MemoryState;
  return *state;
}

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

size_t RoundUpToPages(size_t size) {
  size_t page = PageSize();
  return (size + page - 1) / page * page;
}

}  // namespace

volatile uint8_t* RegisterPhysicalBlock(uint32_t address, uint32_t size) {
  MemoryState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  auto it = state.blocks.find(address);
  if (it != state.blocks.end()) return it->second.view;
  size_t length = RoundUpToPages(size);
  int fd = memfd_create("board-registers", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(length)) != 0) return nullptr;
  void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return nullptr;
  state.blocks[address] = PhysicalBlock{size, fd, static_cast<uint8_t*>(view)};
  return static_cast<uint8_t*>(view);
}

size_t ReservationCount() {
  MemoryState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.reservations.size();
}

}  // namespace kernel

using kernel::PlatformCall;

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, DWORD dwSize, DWORD flAllocationType, DWORD flProtect) {
  PlatformCall call;
  if (dwSize == 0 || lpAddress != nullptr || (flAllocationType & (MEM_RESERVE | MEM_COMMIT)) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (board::PlatformFaults().reserveFails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  bool commit = (flAllocationType & MEM_COMMIT) != 0 && (flProtect & PAGE_NOACCESS) == 0;
  int protection = commit ? ((flProtect & PAGE_READONLY) ? PROT_READ : PROT_READ | PROT_WRITE) : PROT_NONE;
  size_t length = kernel::RoundUpToPages(dwSize);
  void* base = mmap(nullptr, length, protection, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  kernel::MemoryState& state = kernel::State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.reservations[reinterpret_cast<uintptr_t>(base)] = length;
  return base;
}

BOOL WINAPI VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect) {
  PlatformCall call;
  if (board::PlatformFaults().virtualCopyFails) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  kernel::MemoryState& state = kernel::State();
  std::lock_guard<std::mutex> guard(state.lock);
  auto dest = reinterpret_cast<uintptr_t>(lpvDest);
  auto source = reinterpret_cast<uintptr_t>(lpvSrc);
  if ((fdwProtect & PAGE_PHYSICAL) != 0) source <<= 8;  // physical addresses come in 256-byte units
  auto reservation = state.reservations.upper_bound(dest);
  if (reservation == state.reservations.begin()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  --reservation;
  size_t offsetInReservation = dest - reservation->first;
  if (offsetInReservation % kernel::PageSize() != 0 || offsetInReservation + cbSize > reservation->second) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The source must lie inside one block of device memory.
  const kernel::PhysicalBlock* block = nullptr;
  uint32_t blockAddress = 0;
  for (const auto& [address, candidate] : state.blocks) {
    if (source >= address && source + cbSize <= static_cast<uintptr_t>(address) + candidate.size) {
      block = &candidate;
      blockAddress = address;
    }
  }
  if (block == nullptr || cbSize == 0 || (source - blockAddress) % kernel::PageSize() != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int protection = (fdwProtect & PAGE_READWRITE) ? PROT_READ | PROT_WRITE : PROT_READ;
  void* mapped = mmap(lpvDest, kernel::RoundUpToPages(cbSize), protection, MAP_SHARED | MAP_FIXED, block->fd,
                      static_cast<off_t>(source - blockAddress));
  if (mapped == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, DWORD dwSize, DWORD dwFreeType) {
  PlatformCall call;
  kernel::MemoryState& state = kernel::State();
  std::lock_guard<std::mutex> guard(state.lock);
  auto it = state.reservations.find(reinterpret_cast<uintptr_t>(lpAddress));
  if (it == state.reservations.end() || (dwFreeType == MEM_RELEASE && dwSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwFreeType == MEM_RELEASE) {
    munmap(lpAddress, it->second);
    state.reservations.erase(it);
    return TRUE;
  }
  if (dwFreeType == MEM_DECOMMIT) {
    void* again = mmap(lpAddress, it->second, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    return again != MAP_FAILED;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
