// The registry tests' fixture, in SDK terms: the SDK the system uses reads
// the registry only (RegOpenKeyExW, RegQueryValueExW, RegCloseKey), so what a
// device's registry holds before a program runs, and another program's
// changes, come from here (RegistryTestSupport.cpp, on the stand-in's store).
#pragma once

#include <cstddef>

namespace regtest {

// Empties the registry, then presets HKLM\Drivers\BuiltIn\Serial with
// Index = dword 1, Prefix = sz "COM" and Blob = binary 01 02 03 04 05.
bool PresetRegistry();
void ClearRegistry();
// Deletes a key (a path such as "HKLM\\Drivers") with everything below it.
bool DeleteKey(const char* path);
// Handles open in this process (keys among them).
size_t OpenHandleCount();

}  // namespace regtest
