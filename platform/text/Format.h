// printf-style formatting of wide text, the subset the platform's
// wsprintfW and NKDbgPrintfW take:
//   %[-][#][0][width][.precision][h|l]type
// with types s (WCHAR text), S (char text), c (a WCHAR), C (a char),
// d i u x X, p and %%. With 'l' or 'h' before s/c the text is wide or
// narrow whatever the type's case. Integers are 32-bit, as DWORD and LONG
// are on the handset ('l' does not widen them). A null text prints "(null)".
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

namespace text {

std::u16string FormatV(const WCHAR* format, va_list args);
std::u16string Format(const WCHAR* format, ...);

}  // namespace text
