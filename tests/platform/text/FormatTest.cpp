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
