// The emulated handset's own hardware as the kernel sees it: the reboot
// line, the idle timer, synthesised key input, the GPIO register block and
// the place the program is installed.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "board/Board.h"

namespace handset {

struct KeyRecord {
  BYTE vk;
  BYTE scan;
  DWORD flags;
};

class HandsetBoard : public board::Board {
 public:
  HandsetBoard();

  BOOL OemIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) override;
  void IdleTimerReset() override;
  void KeyEvent(BYTE vk, BYTE scan, DWORD flags, DWORD extraInfo) override;
  std::u16string ProgramPath() override;

  // What a reboot does: the launcher ends the process as a real reboot
  // would; tests record it. Without a handler a reboot is only counted.
  void SetRebootHandler(std::function<void()> handler);
  void SetProgramPath(std::u16string path);

  // Switch: the reboot request is refused.
  std::atomic<bool> refuseReboot{false};

  int Reboots() const { return reboots_; }
  int IdleResets() const { return idleResets_; }
  std::vector<KeyRecord> Keys() const;

 private:
  mutable std::mutex lock_;
  std::function<void()> rebootHandler_;
  std::u16string programPath_ = u"\\Windows\\fwutil.exe";
  std::vector<KeyRecord> keys_;
  std::atomic<int> reboots_{0};
  std::atomic<int> idleResets_{0};
  volatile uint8_t* gpio_;
};

}  // namespace handset
