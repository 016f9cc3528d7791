// The registry: an in-memory store behind RegOpenKeyExW, RegQueryValueExW
// and RegCloseKey, filled by the handset's profile and the launcher.
//
// Key paths in this interface start with a root and use "\" separators:
// "HKLM\Drivers\BuiltIn\Serial" (HKLM, HKCU, HKCR, HKU or their long
// names). Key and value names match without regard to (ASCII) case and
// keep the case they were created with. Names and texts are UTF-8 here and
// UTF-16 in the registry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace registry {

struct Value {
  std::string name;  // empty: the key's default value
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

// Each returns false, with a reason in `error`, on a malformed path.
// SetValue creates the key and any missing parents.
bool CreateKey(std::string_view key, std::string* error = nullptr);
bool SetValue(std::string_view key, std::string_view name, DWORD type, std::vector<uint8_t> data,
              std::string* error = nullptr);
bool SetDword(std::string_view key, std::string_view name, DWORD value, std::string* error = nullptr);
// REG_SZ, stored with its terminating null as the platform does.
bool SetString(std::string_view key, std::string_view name, std::string_view text, std::string* error = nullptr);

// False when there was nothing to remove (or the path is malformed).
bool RemoveValue(std::string_view key, std::string_view name);
// Removes a key with everything below it. Handles still open on it fail
// with ERROR_KEY_DELETED.
bool RemoveKey(std::string_view key);
// Empties every root.
void Clear();

std::optional<Value> GetValue(std::string_view key, std::string_view name);
std::vector<std::string> ListSubkeys(std::string_view key);
std::vector<Value> ListValues(std::string_view key);

// One-line specs, as the launcher takes them:
//   HKLM\Drivers\BuiltIn\Serial\Index=dword:1     decimal, or hexadecimal with 0x
//   HKLM\Some\Key\Name=sz:any text                also expand_sz:
//   HKLM\Some\Key\Name=hex:01,02,ff               REG_BINARY; hex(N): for type N
//   HKLM\Some\Key\@=sz:text                       the key's default value
//   HKLM\Some\Key\Name=-                          removes the value
//   -HKLM\Some\Key                                removes the key and all below it
// Returns false with a reason on bad input, changing nothing.
bool ApplySpec(std::string_view spec, std::string* error = nullptr);
// A value as a spec line that ApplySpec takes back.
std::string FormatSpec(std::string_view key, const Value& value);
// Every value below `key` (empty: all roots), one spec line each, in order.
std::vector<std::string> Dump(std::string_view key = {});

}  // namespace registry
