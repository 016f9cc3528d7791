// Text for the module's log and status lines; shared by the module's own
// sources, not part of its interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace radio::detail {

__attribute__((format(printf, 1, 2))) std::string Fmt(const char* format, ...);
// "A5 A5 A5"
std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace radio::detail
