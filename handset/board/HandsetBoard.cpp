#include "handset/board/HandsetBoard.h"

#include <pkfuncs.h>

#include "kernel/Memory.h"

namespace handset {

HandsetBoard::HandsetBoard() : gpio_(kernel::RegisterPhysicalBlock(board::kGpioAddress, board::kGpioSize)) {}

BOOL HandsetBoard::OemIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
  if (returned) *returned = 0;
  if (code != IOCTL_HAL_REBOOT) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (in != nullptr || inSize != 0 || out != nullptr || outSize != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (refuseReboot) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  ++reboots_;
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> guard(lock_);
    handler = rebootHandler_;
  }
  if (handler) handler();
  return TRUE;
}

void HandsetBoard::IdleTimerReset() { ++idleResets_; }

void HandsetBoard::KeyEvent(BYTE vk, BYTE scan, DWORD flags, DWORD) {
  std::lock_guard<std::mutex> guard(lock_);
  keys_.push_back(KeyRecord{vk, scan, flags});
}

std::u16string HandsetBoard::ProgramPath() {
  std::lock_guard<std::mutex> guard(lock_);
  return programPath_;
}

void HandsetBoard::SetRebootHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> guard(lock_);
  rebootHandler_ = std::move(handler);
}

void HandsetBoard::SetProgramPath(std::u16string path) {
  std::lock_guard<std::mutex> guard(lock_);
  programPath_ = std::move(path);
}

std::vector<KeyRecord> HandsetBoard::Keys() const {
  std::lock_guard<std::mutex> guard(lock_);
  return keys_;
}

}  // namespace handset
