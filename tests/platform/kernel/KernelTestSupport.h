// The kernel tests' fixture, in SDK terms: the handset board as a test
// watches it (what reaches it through KernelIoControl, the program path it
// reports, a register block at a physical address), and the counts that
// show a leak. KernelTestSupport.cpp implements it on the stand-in's board.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kerneltest {

// While it lives, the board of this process: records the OEM I/O control
// codes that reach it and answers them with Accept's value (TRUE at first);
// GetModuleFileNameW reports its program path.
class TestBoard {
 public:
  TestBoard();
  ~TestBoard();
  TestBoard(const TestBoard&) = delete;
  TestBoard& operator=(const TestBoard&) = delete;
  DWORD LastIoControl() const;
  void Accept(BOOL accept);
  void SetProgramPath(std::u16string path);

 private:
  struct Board;
  std::unique_ptr<Board> board_;
};

// The handset's GPIO register block: where a program maps it.
extern const uint32_t kGpioAddress;
extern const DWORD kGpioSize;

// A block of device registers the board has at `physical` (what VirtualCopy
// maps); the registers as the device sees them.
volatile uint8_t* BoardRegisters(uint32_t physical, DWORD size);

// Address space reserved (VirtualAlloc MEM_RESERVE) and not released.
size_t ReservationCount();

}  // namespace kerneltest
