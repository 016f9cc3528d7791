#include "board/Board.h"

namespace board {
namespace {

std::atomic<Board*> installed{nullptr};

}  // namespace

BOOL Board::OemIoControl(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

void Install(Board* board) { installed.store(board); }

Board& Current() {
  static auto* plain = new Board;
  Board* board = installed.load();
  return board ? *board : *plain;
}

void Faults::Clear() {
  reserveFails = false;
  virtualCopyFails = false;
  loadLibraryFails = false;
  procAddressFails = false;
  freeLibraryFails = false;
  registerClassFails = false;
  menuBarFails = false;
  editCreateFails = false;
}

Faults& PlatformFaults() {
  static auto* faults = new Faults;
  return *faults;
}

}  // namespace board
