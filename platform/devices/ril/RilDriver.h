// The radio interface driver "RIL1:". Programs open it with CreateFileW
// (several opens at once are fine) and send it one of three private control
// codes, with no buffers: suspend, resume or reset the radio module. What
// the requests do is up to the back end behind the driver (RadioHardware):
// the emulated module, a real module on a host tty, the standalone module
// simulator, or none.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

namespace ril {

inline constexpr DWORD kSuspendCode = 0x03001F80;  // CTL_CODE(0x0300, 0x7E0, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr DWORD kResumeCode = 0x03001F84;   // function 0x7E1
inline constexpr DWORD kResetCode = 0x03001F88;    // function 0x7E2

// What stands behind the driver. Each request returns 0 or a Win32 error
// code, which the driver hands to the caller as its last error. Requests
// come from platform threads (inside DeviceIoControl) and may block for a
// while (a reset pulse) with kernel waits.
class RadioHardware {
 public:
  virtual ~RadioHardware() = default;
  virtual DWORD Suspend() = 0;
  virtual DWORD Resume() = 0;
  virtual DWORD Reset() = 0;
  // One line for the launcher to print at start-up.
  virtual std::string Describe() const = 0;
};

// Registers the driver for the prefix "RIL". Call once at start-up (the
// launcher, tests); calling again is harmless.
void InitRilDriver();

// Installs the back end (null: none, requests do nothing and succeed).
// Requests already under way finish on the back end they started with.
void SetRadioHardware(std::shared_ptr<RadioHardware> hardware);
std::shared_ptr<RadioHardware> CurrentRadioHardware();

// Fault switches of the driver, settable at any time.
struct DriverSwitches {
  std::atomic<bool> absent{false};  // CreateFileW("RIL1:") fails with ERROR_FILE_NOT_FOUND
  // Non-zero: that request fails with this last-error value, without
  // reaching the back end.
  std::atomic<DWORD> refuseSuspend{0};
  std::atomic<DWORD> refuseResume{0};
  std::atomic<DWORD> refuseReset{0};
  void RefuseAll(DWORD error) {
    refuseSuspend = error;
    refuseResume = error;
    refuseReset = error;
  }
  void Clear() {
    absent = false;
    RefuseAll(0);
  }
};
DriverSwitches& Switches();

// The switches as text, for the launcher's options: "absent", "present",
// "refuse=ERROR" (every request), "refuse-suspend=ERROR",
// "refuse-resume=ERROR", "refuse-reset=ERROR" (ERROR in decimal or 0x hex;
// 0 accepts again), "clear". False with `error` set when not understood.
bool ApplyDriverSwitch(std::string_view text, std::string* error);

// Requests that reached the driver, accepted or not (for tests and status).
struct RequestCounts {
  uint32_t suspend = 0, resume = 0, reset = 0, failed = 0;
};
RequestCounts Requests();
void ClearRequests();

}  // namespace ril
