#include "ResourceTestSupport.h"

#include "kernel/Modules.h"
#include "resources/ProgramImage.h"

namespace restest {

HINSTANCE RegisterProgramResources() {
  return kernel::RegisterProgramModule(u"fwutil.exe", resources::ProgramImage());
}

HINSTANCE RegisterImage(std::span<const uint8_t> image) { return kernel::RegisterProgramModule(u"test.exe", image); }

}  // namespace restest
