// Conformance of wsprintfW: the Win32 formatting subset on 16-bit text, as
// the traces and the log view use it. SDK calls only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using Text = std::basic_string<WCHAR>;

Text Printf(const WCHAR* format, auto... args) {
  WCHAR buffer[1100];
  int n = wsprintfW(buffer, format, args...);
  EXPECT_EQ(static_cast<size_t>(n), Text(buffer).size());
  return buffer;
}

TEST(FormatTest, ErrorCodesPrintAsEightUpperCaseHexDigits) {
  DWORD error = 2;
  EXPECT_EQ(Printf(TEXT("Failed to open RIL1:, error code: 0x%08lX\r\n"), error),
            TEXT("Failed to open RIL1:, error code: 0x00000002\r\n"));
  EXPECT_EQ(Printf(TEXT("0x%08lX"), static_cast<DWORD>(0xDEADBEEF)), TEXT("0xDEADBEEF"));
}

TEST(FormatTest, IntegersInEveryBase) {
  EXPECT_EQ(Printf(TEXT("%d|%d|%i"), 42, -42, 0), TEXT("42|-42|0"));
  EXPECT_EQ(Printf(TEXT("%u"), static_cast<DWORD>(4294967295u)), TEXT("4294967295"));
  EXPECT_EQ(Printf(TEXT("%x %X"), 0xab, 0xab), TEXT("ab AB"));
  EXPECT_EQ(Printf(TEXT("%X h"), static_cast<BYTE>(0xA0)), TEXT("A0 h"));
  EXPECT_EQ(Printf(TEXT("%ld %lu"), static_cast<LONG>(-7), static_cast<DWORD>(7)), TEXT("-7 7"));
  EXPECT_EQ(Printf(TEXT("%d"), static_cast<int>(0x80000000)), TEXT("-2147483648"));
  EXPECT_EQ(Printf(TEXT("%#x"), 255), TEXT("0xff"));
}

TEST(FormatTest, WidthsPaddingAndJustification) {
  EXPECT_EQ(Printf(TEXT("[%5d][%-5d][%05d]"), 42, 42, -42), TEXT("[   42][42   ][-0042]"));
  EXPECT_EQ(Printf(TEXT("[%8s][%-8s]"), TEXT("ab"), TEXT("ab")), TEXT("[      ab][ab      ]"));
  EXPECT_EQ(Printf(TEXT("[%.2s]"), TEXT("abcdef")), TEXT("[ab]"));
}

TEST(FormatTest, TextAndCharacters) {
  EXPECT_EQ(Printf(TEXT("%s opened\r\n"), TEXT("COM1:")), TEXT("COM1: opened\r\n"));
  EXPECT_EQ(Printf(TEXT("Open FF(%s) failed.\r\n"), TEXT("")), TEXT("Open FF() failed.\r\n"));
  EXPECT_EQ(Printf(TEXT("%S|%hs"), "narrow", "too"), TEXT("narrow|too"));
  EXPECT_EQ(Printf(TEXT("%c , %X h"), static_cast<BYTE>(0x55), static_cast<BYTE>(0x55)), TEXT("U , 55 h"));
  EXPECT_EQ(Printf(TEXT("%s"), static_cast<const WCHAR*>(nullptr)), TEXT("(null)"));
  EXPECT_EQ(Printf(TEXT("100%%")), TEXT("100%"));
}

TEST(FormatTest, FlagsPrecisionAndWhatIsNoConversion) {
  // A width never cuts a value; a precision is an integer's least number of
  // digits (0 or none counts as 1).
  EXPECT_EQ(Printf(TEXT("[%2d][%.5d][%.0d][%.d][%.2d]"), 12345, 42, 0, 0, 12345), TEXT("[12345][00042][0][0][12345]"));
  EXPECT_EQ(Printf(TEXT("[%-6X][%06X][%-4u]"), 0xAB, 0xAB, 7u), TEXT("[AB    ][0000AB][7   ]"));
  EXPECT_EQ(Printf(TEXT("%#X|%#x|%#lX"), 0xBEEF, 0xBEEF, 0x1F), TEXT("0XBEEF|0xbeef|0X1F"));
  // '+' and 'y' mean nothing after '%': they are printed as they are, and
  // take no argument.
  EXPECT_EQ(Printf(TEXT("%+d|%y|%d"), 5), TEXT("+d|y|5"));
}

TEST(FormatTest, LongIntegersAreThirtyTwoBits) {
  EXPECT_EQ(Printf(TEXT("%ld|%li|%lu|%lx|%lX"), static_cast<LONG>(-7), static_cast<LONG>(-8), static_cast<DWORD>(9),
                   static_cast<DWORD>(0xab), static_cast<DWORD>(0xcd)),
            TEXT("-7|-8|9|ab|CD"));
  EXPECT_EQ(Printf(TEXT("%lu|%ld"), static_cast<DWORD>(0xFFFFFFFF), static_cast<LONG>(0x7FFFFFFF)),
            TEXT("4294967295|2147483647"));
}

TEST(FormatTest, CharactersAndTextsWideOrNarrowBySizeAndCase) {
  // c and lc take a WCHAR; C, hc and hC a CHAR (the argument's low byte).
  EXPECT_EQ(Printf(TEXT("%c|%lc|%lC|%C|%hc|%hC|[%3c]"), 0x263A, 0x263A, 0x263A, 0x141, 0x142, 0x143, TEXT('x')),
            TEXT("\x263A|\x263A|\x263A|A|B|C|[  x]"));
  // s, ls and lS a WCHAR text; S, hs and hS a CHAR one.
  EXPECT_EQ(Printf(TEXT("%s|%ls|%lS|%S|%hs|%hS"), TEXT("w1"), TEXT("w2"), TEXT("w3"), "n1", "n2", "n3"),
            TEXT("w1|w2|w3|n1|n2|n3"));
  EXPECT_EQ(Printf(TEXT("[%.3hs][%-6S][%5ls]"), "abcdef", "ab", TEXT("cd")), TEXT("[abc][ab    ][   cd]"));
  EXPECT_EQ(Printf(TEXT("%hs"), static_cast<const char*>(nullptr)), TEXT("(null)"));
}

// Documented only as "hexadecimal"; Windows and Wine print all of a
// pointer's digits, in upper case.
TEST(FormatTest, PointersInHexWithAllTheirDigits) {
  if constexpr (sizeof(void*) == 8) {
    auto* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0x0123456789ABCDEFull));
    EXPECT_EQ(Printf(TEXT("%p|%p"), p, static_cast<void*>(nullptr)), TEXT("0123456789ABCDEF|0000000000000000"));
  } else {
    auto* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0x12AB34CDu));
    EXPECT_EQ(Printf(TEXT("%p|%p"), p, static_cast<void*>(nullptr)), TEXT("12AB34CD|00000000"));
  }
}

// The format may end inside a conversion: what came before it is kept and
// nothing after the terminator is read.
TEST(FormatTest, AFormatEndingInsideAConversionStopsThere) {
  for (const WCHAR* format :
       {TEXT("abc%"), TEXT("abc%-"), TEXT("abc%#0"), TEXT("abc%08"), TEXT("abc%5."), TEXT("abc%l"), TEXT("abc%h")}) {
    WCHAR buffer[16];
    for (WCHAR& c : buffer) c = TEXT('x');
    int written = wsprintfW(buffer, format, 1);
#ifdef _WIN32
    // Not documented; Wine 8 pads an unfinished conversion to its width
    // ("abc%08" gives "abc" and 8 blanks). What came before is kept.
    EXPECT_EQ(Text(buffer).substr(0, 3), TEXT("abc")) << Text(format).size();
    EXPECT_EQ(static_cast<size_t>(written), Text(buffer).size());
#else
    EXPECT_EQ(Text(buffer), TEXT("abc")) << Text(format).size();
    EXPECT_EQ(written, 3);
#endif
  }
}

// Departure: Win32 documents the width as a number written in the format
// (Wine prints a '*' as it is); the stand-in also takes it from the
// arguments, as C's printf does, a negative one left-justifying.
TEST(FormatTest, StarWidthFromTheArguments) {
#ifdef _WIN32
  GTEST_SKIP() << "no '*' width in Win32's wsprintfW";
#else
  EXPECT_EQ(Printf(TEXT("[%*d][%*d][%-*d][%0*X]"), 5, 42, -5, 42, 4, 7, 4, 0xA), TEXT("[   42][42   ][7   ][000A]"));
#endif
}

// The size prefixes: h a 16-bit integer, w a wide character or text, I an
// integer as wide as a pointer.
TEST(FormatTest, SizePrefixesHWAndI) {
  EXPECT_EQ(Printf(TEXT("%ws|%wc"), TEXT("wide"), TEXT('w')), TEXT("wide|w"));
  EXPECT_EQ(Printf(TEXT("%Ix|%Iu"), static_cast<UINT_PTR>(0xAB), static_cast<UINT_PTR>(7)), TEXT("ab|7"));
  // A pointer-sized argument is taken whole: the one after it is still right.
  EXPECT_EQ(Printf(TEXT("%Id|%d"), static_cast<INT_PTR>(-5), 9), TEXT("-5|9"));
#ifdef _WIN32
  // Wine 8 prints %hd and %hu at full width; checked on the stand-in only.
#else
  EXPECT_EQ(Printf(TEXT("%hd|%hu|%hx"), 0xFFFF, 0x12345, 0x12345), TEXT("-1|9029|2345"));
#endif
}

// Deliberate: the documentation leaves a zero character out; the stand-in,
// like Wine 8, stores it and counts it. The debug output is formatted the
// same way, and the trace of a received zero byte keeps the byte in place.
TEST(FormatTest, AZeroCharacterIsStoredAndCounted) {
  WCHAR buffer[16];
  EXPECT_EQ(wsprintfW(buffer, TEXT("a%cb"), 0), 3);
  EXPECT_EQ(buffer[0], TEXT('a'));
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(buffer[2], TEXT('b'));
}

TEST(FormatTest, OutputStopsAt1024Characters) {
  Text big(2000, TEXT('x'));
  WCHAR buffer[1100];
  int written = wsprintfW(buffer, TEXT("%s"), big.c_str());
  EXPECT_EQ(Text(buffer).size(), 1023u);
  // Documented: the characters stored, without the terminator, which the
  // stand-in answers. Wine 8 answers 1024 for output it had to cut (it
  // stores the same 1023); the utility never formats that much, so the
  // desktop build accepts either.
#ifdef _WIN32
  EXPECT_TRUE(written == 1023 || written == 1024) << written;
#else
  EXPECT_EQ(written, 1023);
#endif
}

}  // namespace
