#include "text/Format.h"

#include <cstring>
#include <optional>

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

// The arguments still to be formatted. A copy of the caller's list, so
// that the steps below can take from it in turn (a va_list parameter
// cannot be passed on by address).
class Arguments {
 public:
  explicit Arguments(va_list args) { va_copy(list_, args); }
  ~Arguments() { va_end(list_); }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  template <typename T>
  T Next() {
    return va_arg(list_, T);
  }

 private:
  va_list list_;
};

// One conversion: %[-][#][0][width][.precision][h|l|w|I]type.
struct Spec {
  bool left = false;
  bool alternate = false;
  bool zero = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  char size = 0;  // 'h', 'l', 'w', 'I' or none
  WCHAR type = 0;
};

size_t ParseDecimal(const WCHAR*& p) {
  size_t value = 0;
  while (*p >= u'0' && *p <= u'9') value = value * 10 + static_cast<size_t>(*p++ - u'0');
  return value;
}

// '-' left-justifies, '#' puts 0x before hex, '0' pads with zeros.
void ParseFlags(const WCHAR*& p, Spec& spec) {
  for (;; ++p) {
    switch (*p) {
      case u'-':
        spec.left = true;
        break;
      case u'#':
        spec.alternate = true;
        break;
      case u'0':
        spec.zero = true;
        break;
      default:
        return;
    }
  }
}

// A '*' width comes from the arguments; a negative one left-justifies.
void ParseWidth(const WCHAR*& p, Arguments& args, Spec& spec) {
  if (*p != u'*') {
    spec.width = ParseDecimal(p);
    return;
  }
  int w = args.Next<int>();
  if (w < 0) {
    spec.left = true;
    w = -w;
  }
  spec.width = static_cast<size_t>(w);
  ++p;
}

// Reads the conversion after its '%'; nothing when the format ends first.
std::optional<Spec> ParseSpec(const WCHAR*& p, Arguments& args) {
  Spec spec;
  ParseFlags(p, spec);
  ParseWidth(p, args, spec);
  if (*p == u'.') {
    spec.hasPrecision = true;
    ++p;
    spec.precision = ParseDecimal(p);
  }
  if (*p == u'h' || *p == u'l' || *p == u'w' || *p == u'I') spec.size = static_cast<char>(*p++);
  if (*p == u'\0') return std::nullopt;
  spec.type = *p++;
  return spec;
}

// A precision on an integer is its least number of digits, and turns the
// '0' flag off.
void EmitInteger(std::u16string& out, const Spec& spec, std::u16string body, std::u16string_view prefix) {
  if (spec.hasPrecision && body.size() < spec.precision) body.insert(0, spec.precision - body.size(), u'0');
  Emit(out, body, prefix, spec.width, spec.left, spec.zero && !spec.hasPrecision);
}

// An integer argument at its size: 32 bits; h a 16-bit one (passed as an
// int); I one as wide as a pointer.
int64_t NextSigned(const Spec& spec, Arguments& args) {
  if (spec.size == 'h') return static_cast<int16_t>(args.Next<int>());
  if (spec.size == 'I') return static_cast<int64_t>(args.Next<intptr_t>());
  return args.Next<int32_t>();
}

uint64_t NextUnsigned(const Spec& spec, Arguments& args) {
  if (spec.size == 'h') return static_cast<uint16_t>(args.Next<unsigned>());
  if (spec.size == 'I') return static_cast<uint64_t>(args.Next<uintptr_t>());
  return args.Next<uint32_t>();
}

// %d, %i: a signed integer.
void ConvertSigned(std::u16string& out, const Spec& spec, Arguments& args) {
  int64_t value = NextSigned(spec, args);
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  EmitInteger(out, spec, Digits(magnitude, 10, false), value < 0 ? u"-" : u"");
}

// %u, %x, %X: an unsigned integer; '#' puts 0x before a non-zero hex one.
void ConvertUnsigned(std::u16string& out, const Spec& spec, Arguments& args) {
  uint64_t value = NextUnsigned(spec, args);
  unsigned base = spec.type == u'u' ? 10 : 16;
  std::u16string_view prefix;
  if (spec.alternate && base == 16 && value != 0) prefix = spec.type == u'X' ? u"0X" : u"0x";
  EmitInteger(out, spec, Digits(value, base, spec.type == u'X'), prefix);
}

// %p: the address in upper-case hex, as many digits as a pointer has.
void ConvertPointer(std::u16string& out, const Spec& spec, Arguments& args) {
  auto value = reinterpret_cast<uintptr_t>(args.Next<void*>());
  std::u16string body = Digits(value, 16, true);
  if (body.size() < 2 * sizeof(void*)) body.insert(0, 2 * sizeof(void*) - body.size(), u'0');
  Emit(out, body, u"", spec.width, spec.left, false);
}

// The lower-case type is the wide one unless 'h', or 'l' and 'w', say otherwise.
bool IsWide(const Spec& spec, WCHAR wideType) {
  return spec.size == 'l' || spec.size == 'w' || (spec.size != 'h' && spec.type == wideType);
}

// %c, %C: one character. A zero one is stored like any other (as Wine
// does; the documentation leaves it out): the debug output's trace of a
// received byte is formatted here too, and a zero byte keeps its place.
void ConvertCharacter(std::u16string& out, const Spec& spec, Arguments& args) {
  int value = args.Next<int>();
  char16_t c =
      IsWide(spec, u'c') ? static_cast<char16_t>(value) : static_cast<char16_t>(static_cast<unsigned char>(value));
  Emit(out, std::u16string_view(&c, 1), u"", spec.width, spec.left, false);
}

std::u16string WideText(const WCHAR* s) { return s ? std::u16string(s) : std::u16string(u"(null)"); }

std::u16string NarrowText(const char* s) {
  if (s == nullptr) s = "(null)";
  std::u16string body;
  for (; *s; ++s) body += static_cast<char16_t>(static_cast<unsigned char>(*s));
  return body;
}

// %s, %S: a text; a precision cuts it.
void ConvertText(std::u16string& out, const Spec& spec, Arguments& args) {
  std::u16string body = IsWide(spec, u's') ? WideText(args.Next<const WCHAR*>()) : NarrowText(args.Next<const char*>());
  if (spec.hasPrecision && body.size() > spec.precision) body.resize(spec.precision);
  Emit(out, body, u"", spec.width, spec.left, false);
}

void Convert(std::u16string& out, const Spec& spec, Arguments& args) {
  switch (spec.type) {
    case u'd':
    case u'i':
      return ConvertSigned(out, spec, args);
    case u'u':
    case u'x':
    case u'X':
      return ConvertUnsigned(out, spec, args);
    case u'p':
      return ConvertPointer(out, spec, args);
    case u'c':
    case u'C':
      return ConvertCharacter(out, spec, args);
    case u's':
    case u'S':
      return ConvertText(out, spec, args);
    default:
      out += spec.type;  // not a conversion: the character stands for itself
  }
}

}  // namespace

std::u16string FormatV(const WCHAR* format, va_list list) {
  std::u16string out;
  if (format == nullptr) return out;
  Arguments args(list);
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
    std::optional<Spec> spec = ParseSpec(p, args);
    if (!spec) break;
    Convert(out, *spec, args);
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
