// Registry value specs (the launcher's --reg lines) on arbitrary text, one
// spec per line. Whatever was taken must come out of Dump as specs that
// ApplySpec takes back to the same registry.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "registry/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  registry::Clear();
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    std::string error;
    if (!registry::ApplySpec(line, &error) && error.empty()) __builtin_trap();
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  std::vector<std::string> dump = registry::Dump();
  registry::Clear();
  for (const std::string& spec : dump) {
    std::string error;
    if (!registry::ApplySpec(spec, &error)) __builtin_trap();
  }
  if (registry::Dump() != dump) __builtin_trap();
  registry::Clear();
  return 0;
}
