#include "devices/ril/RilDriver.h"

#include <mutex>

#include "kernel/Devices.h"

namespace ril {
namespace {

struct DriverState {
  std::mutex lock;
  std::shared_ptr<RadioHardware> hardware;
  RequestCounts counts;
};

DriverState& State() {
  static auto* state = new DriverState;
  return *state;
}

class RilFile : public kernel::DeviceFile {
 public:
  BOOL IoControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override {
    if (returned) *returned = 0;
    DWORD (RadioHardware::*request)() = nullptr;
    std::atomic<DWORD>* refusal = nullptr;
    uint32_t RequestCounts::*counter = nullptr;
    DriverSwitches& switches = Switches();
    switch (code) {
      case kSuspendCode:
        request = &RadioHardware::Suspend;
        refusal = &switches.refuseSuspend;
        counter = &RequestCounts::suspend;
        break;
      case kResumeCode:
        request = &RadioHardware::Resume;
        refusal = &switches.refuseResume;
        counter = &RequestCounts::resume;
        break;
      case kResetCode:
        request = &RadioHardware::Reset;
        refusal = &switches.refuseReset;
        counter = &RequestCounts::reset;
        break;
      default:
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    // The three requests carry nothing either way.
    if (in != nullptr || inSize != 0 || out != nullptr || outSize != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::shared_ptr<RadioHardware> hardware;
    {
      DriverState& state = State();
      std::lock_guard<std::mutex> guard(state.lock);
      ++(state.counts.*counter);
      hardware = state.hardware;
    }
    DWORD error = refusal->load();
    if (error == 0 && hardware) error = (hardware.get()->*request)();
    if (error != 0) {
      {
        DriverState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        ++state.counts.failed;
      }
      SetLastError(error);
      return FALSE;
    }
    return TRUE;
  }
};

}  // namespace

void InitRilDriver() {
  kernel::RegisterDeviceDriver(u"RIL", [](unsigned index, DWORD, DWORD) -> std::shared_ptr<kernel::DeviceFile> {
    if (Switches().absent.load() || index != 1) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    return std::make_shared<RilFile>();
  });
}

void SetRadioHardware(std::shared_ptr<RadioHardware> hardware) {
  DriverState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.hardware = std::move(hardware);
}

std::shared_ptr<RadioHardware> CurrentRadioHardware() {
  DriverState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.hardware;
}

DriverSwitches& Switches() {
  static auto* switches = new DriverSwitches;
  return *switches;
}

RequestCounts Requests() {
  DriverState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.counts;
}

void ClearRequests() {
  DriverState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.counts = {};
}

}  // namespace ril
