#include "devices/ril/RilDriver.h"

#include <cerrno>
#include <cstdlib>
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

bool ApplyDriverSwitch(std::string_view text, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = "RIL1: switch '" + std::string(text) + "': " + why;
    return false;
  };
  DriverSwitches& switches = Switches();
  if (text == "absent" || text == "present") {
    switches.absent = text == "absent";
    return true;
  }
  if (text == "clear") {
    switches.Clear();
    return true;
  }
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return fail("expected absent, present, clear or refuse[-REQUEST]=ERROR");
  std::string_view name = text.substr(0, eq);
  std::string value(text.substr(eq + 1));
  char* end = nullptr;
  errno = 0;
  unsigned long code = std::strtoul(value.c_str(), &end, 0);
  if (value.empty() || *end != 0 || errno != 0 || code > 0xFFFFFFFFul || value[0] == '-') {
    return fail("the error value is a number (decimal or 0x hex)");
  }
  auto error32 = static_cast<DWORD>(code);
  if (name == "refuse") {
    switches.RefuseAll(error32);
  } else if (name == "refuse-suspend") {
    switches.refuseSuspend = error32;
  } else if (name == "refuse-resume") {
    switches.refuseResume = error32;
  } else if (name == "refuse-reset") {
    switches.refuseReset = error32;
  } else {
    return fail("expected refuse, refuse-suspend, refuse-resume or refuse-reset");
  }
  return true;
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
