// Conversions between the platform's UTF-16 text and the host's UTF-8.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace text {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// A view of a null-terminated WCHAR string; empty for null.
inline std::u16string_view View(const WCHAR* s) { return s ? std::u16string_view(s) : std::u16string_view(); }

// Case-insensitive comparison for ASCII letters (names of resources,
// devices, libraries and classes).
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace text
