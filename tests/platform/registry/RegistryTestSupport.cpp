#include "RegistryTestSupport.h"

#include <windows.h>

#include "kernel/Handles.h"
#include "registry/Registry.h"

namespace regtest {

bool PresetRegistry() {
  registry::Clear();
  return registry::SetDword("HKLM\\Drivers\\BuiltIn\\Serial", "Index", 1) &&
         registry::SetString("HKLM\\Drivers\\BuiltIn\\Serial", "Prefix", "COM") &&
         registry::SetValue("HKLM\\Drivers\\BuiltIn\\Serial", "Blob", REG_BINARY, {1, 2, 3, 4, 5});
}

void ClearRegistry() { registry::Clear(); }

bool DeleteKey(const char* path) { return registry::RemoveKey(path); }

size_t OpenHandleCount() { return kernel::OpenHandleCount(); }

}  // namespace regtest
