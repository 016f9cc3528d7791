// What the platform needs from the device it runs on: the OEM's half of
// the kernel (reboot and other HAL requests, the idle timer, key events,
// where the program lives) and the fault switches that make platform calls
// fail on purpose. The emulated handset installs its board at start-up;
// without one, a plain board that supports nothing is used.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace board {

// The handset's GPIO register block: the physical address and size at which
// a program maps it (VirtualCopy). The emulated handset's board provides it.
inline constexpr uint32_t kGpioAddress = 0xB4E00000;
inline constexpr DWORD kGpioSize = 0x14C;

class Board {
 public:
  virtual ~Board() = default;
  // KernelIoControl's OEM half. The default supports nothing.
  virtual BOOL OemIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned);
  // SystemIdleTimerReset: user activity, keeps the handset awake.
  virtual void IdleTimerReset() {}
  // keybd_event: a key press or release synthesised by a program.
  virtual void KeyEvent(BYTE vk, BYTE scan, DWORD flags, DWORD extraInfo) {
    (void)vk, (void)scan, (void)flags, (void)extraInfo;
  }
  // The full path of the running program, as GetModuleFileNameW gives it.
  virtual std::u16string ProgramPath() { return u"\\Windows\\fwutil.exe"; }
};

// Installs `board` (not owned; null: the plain board).
void Install(Board* board);
Board& Current();

// Switches that make platform calls fail, each on its own.
struct Faults {
  std::atomic<bool> reserveFails{false};        // VirtualAlloc(MEM_RESERVE)
  std::atomic<bool> virtualCopyFails{false};    // VirtualCopy
  std::atomic<bool> loadLibraryFails{false};    // LoadLibraryW
  std::atomic<bool> procAddressFails{false};    // GetProcAddressW
  std::atomic<bool> freeLibraryFails{false};    // FreeLibrary
  std::atomic<bool> registerClassFails{false};  // RegisterClassW
  std::atomic<bool> menuBarFails{false};        // SHCreateMenuBar
  std::atomic<bool> editCreateFails{false};     // CreateWindowExW of the "edit" class
  void Clear();
};

Faults& PlatformFaults();

}  // namespace board
