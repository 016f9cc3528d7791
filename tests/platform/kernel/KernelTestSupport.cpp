#include "KernelTestSupport.h"

#include "board/Board.h"
#include "kernel/Memory.h"

namespace kerneltest {

struct TestBoard::Board : board::Board {
  BOOL OemIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) override {
    lastCode = code;
    return accept;
  }
  std::u16string ProgramPath() override { return path; }
  DWORD lastCode = 0;
  BOOL accept = TRUE;
  std::u16string path = u"\\Windows\\fwutil.exe";
};

TestBoard::TestBoard() : board_(std::make_unique<Board>()) { board::Install(board_.get()); }
TestBoard::~TestBoard() { board::Install(nullptr); }
DWORD TestBoard::LastIoControl() const { return board_->lastCode; }
void TestBoard::Accept(BOOL accept) { board_->accept = accept; }
void TestBoard::SetProgramPath(std::u16string path) { board_->path = std::move(path); }

const uint32_t kGpioAddress = board::kGpioAddress;
const DWORD kGpioSize = board::kGpioSize;

volatile uint8_t* BoardRegisters(uint32_t physical, DWORD size) {
  return kernel::RegisterPhysicalBlock(physical, size);
}

size_t ReservationCount() { return kernel::ReservationCount(); }

}  // namespace kerneltest
