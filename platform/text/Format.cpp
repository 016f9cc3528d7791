#include "text/Format.h"

#include <cstring>

namespace text {
namespace {

void Pad(std::u16string& out, size_t count, char16_t fill) { out.append(count, fill); }

void Emit(std::u16string& out, std::u16string_view body, std::u16string_view prefix, size_t width, bool left,
          bool zero) {
  size_t length = body.size() + prefix.size();
  size_t padding = width > length ? width - length : 0;
  if (left) {
    out += prefix;
    out += body;
    Pad(out, padding, u' ');
  } else if (zero) {
    out += prefix;
    Pad(out, padding, u'0');
    out += body;
  } else {
    Pad(out, padding, u' ');
    out += prefix;
    out += body;
  }
}

std::u16string Digits(uint64_t value, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string reversed;
  do {
    reversed += static_cast<char16_t>(digits[value % base]);
    value /= base;
  } while (value != 0);
  return std::u16string(reversed.rbegin(), reversed.rend());
}

}  // namespace

std::u16string FormatV(const WCHAR* format, va_list args) {
  std::u16string out;
  if (format == nullptr) return out;
  const WCHAR* p = format;
  while (*p) {
    if (*p != u'%') {
      out += *p++;
      continue;
    }
    ++p;
    if (*p == u'%') {
      out += u'%';
      ++p;
      continue;
    }
    bool left = false, alternate = false, zero = false;
    for (;; ++p) {
      if (*p == u'-') left = true;
      else if (*p == u'#') alternate = true;
      else if (*p == u'0') zero = true;
      else break;
    }
    size_t width = 0;
    if (*p == u'*') {
      int w = va_arg(args, int);
      if (w < 0) {
        left = true;
        w = -w;
      }
      width = static_cast<size_t>(w);
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') width = width * 10 + static_cast<size_t>(*p++ - u'0');
    }
    bool hasPrecision = false;
    size_t precision = 0;
    if (*p == u'.') {
      hasPrecision = true;
      ++p;
      while (*p >= u'0' && *p <= u'9') precision = precision * 10 + static_cast<size_t>(*p++ - u'0');
    }
    char size = 0;
    if (*p == u'h' || *p == u'l') size = static_cast<char>(*p++);
    if (*p == u'\0') break;
    WCHAR type = *p++;
    switch (type) {
      case u'd':
      case u'i': {
        int32_t value = va_arg(args, int32_t);
        uint64_t magnitude = value < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(value)) : static_cast<uint64_t>(value);
        std::u16string body = Digits(magnitude, 10, false);
        if (hasPrecision && body.size() < precision) body.insert(0, precision - body.size(), u'0');
        Emit(out, body, value < 0 ? u"-" : u"", width, left, zero && !hasPrecision);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        uint32_t value = va_arg(args, uint32_t);
        unsigned base = type == u'u' ? 10 : 16;
        std::u16string body = Digits(value, base, type == u'X');
        if (hasPrecision && body.size() < precision) body.insert(0, precision - body.size(), u'0');
        std::u16string_view prefix;
        if (alternate && base == 16 && value != 0) prefix = type == u'X' ? u"0X" : u"0x";
        Emit(out, body, prefix, width, left, zero && !hasPrecision);
        break;
      }
      case u'p': {
        auto value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
        std::u16string body = Digits(value, 16, true);
        if (body.size() < 2 * sizeof(void*)) body.insert(0, 2 * sizeof(void*) - body.size(), u'0');
        Emit(out, body, u"", width, left, false);
        break;
      }
      case u'c':
      case u'C': {
        bool wide = size == 'l' || (size == 0 && type == u'c');
        int value = va_arg(args, int);
        char16_t c = wide ? static_cast<char16_t>(value) : static_cast<char16_t>(static_cast<unsigned char>(value));
        Emit(out, std::u16string_view(&c, 1), u"", width, left, false);
        break;
      }
      case u's':
      case u'S': {
        bool wide = size == 'l' || (size == 0 && type == u's');
        std::u16string body;
        if (wide) {
          const WCHAR* s = va_arg(args, const WCHAR*);
          body = s ? std::u16string(s) : std::u16string(u"(null)");
        } else {
          const char* s = va_arg(args, const char*);
          if (s == nullptr) s = "(null)";
          for (; *s; ++s) body += static_cast<char16_t>(static_cast<unsigned char>(*s));
        }
        if (hasPrecision && body.size() > precision) body.resize(precision);
        Emit(out, body, u"", width, left, false);
        break;
      }
      default:
        out += type;  // not a conversion: the character stands for itself
        break;
    }
  }
  return out;
}

std::u16string Format(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string result = FormatV(format, args);
  va_end(args);
  return result;
}

}  // namespace text

int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
  va_list args;
  va_start(args, lpFmt);
  std::u16string result = text::FormatV(lpFmt, args);
  va_end(args);
  // Like the platform's own, it writes at most 1024 characters with the terminator.
  constexpr size_t kLimit = 1024;
  if (result.size() > kLimit - 1) result.resize(kLimit - 1);
  if (lpOut == nullptr) return 0;
  std::memcpy(lpOut, result.data(), result.size() * sizeof(WCHAR));
  lpOut[result.size()] = u'\0';
  return static_cast<int>(result.size());
}
