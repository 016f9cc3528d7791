// Conformance of wsprintfW: the Win32 formatting subset on 16-bit text, as
// the traces and the log view use it. SDK calls only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Printf(const WCHAR* format, auto... args) {
  WCHAR buffer[1100];
  int n = wsprintfW(buffer, format, args...);
  EXPECT_EQ(static_cast<size_t>(n), std::u16string(buffer).size());
  return buffer;
}

TEST(FormatTest, ErrorCodesPrintAsEightUpperCaseHexDigits) {
  DWORD error = 2;
  EXPECT_EQ(Printf(TEXT("Failed to open RIL1:, error code: 0x%08lX\r\n"), error),
            u"Failed to open RIL1:, error code: 0x00000002\r\n");
  EXPECT_EQ(Printf(TEXT("0x%08lX"), static_cast<DWORD>(0xDEADBEEF)), u"0xDEADBEEF");
}

TEST(FormatTest, IntegersInEveryBase) {
  EXPECT_EQ(Printf(TEXT("%d|%d|%i"), 42, -42, 0), u"42|-42|0");
  EXPECT_EQ(Printf(TEXT("%u"), static_cast<DWORD>(4294967295u)), u"4294967295");
  EXPECT_EQ(Printf(TEXT("%x %X"), 0xab, 0xab), u"ab AB");
  EXPECT_EQ(Printf(TEXT("%X h"), static_cast<BYTE>(0xA0)), u"A0 h");
  EXPECT_EQ(Printf(TEXT("%ld %lu"), static_cast<LONG>(-7), static_cast<DWORD>(7)), u"-7 7");
  EXPECT_EQ(Printf(TEXT("%d"), static_cast<int>(0x80000000)), u"-2147483648");
  EXPECT_EQ(Printf(TEXT("%#x"), 255), u"0xff");
}

TEST(FormatTest, WidthsPaddingAndJustification) {
  EXPECT_EQ(Printf(TEXT("[%5d][%-5d][%05d]"), 42, 42, -42), u"[   42][42   ][-0042]");
  EXPECT_EQ(Printf(TEXT("[%8s][%-8s]"), TEXT("ab"), TEXT("ab")), u"[      ab][ab      ]");
  EXPECT_EQ(Printf(TEXT("[%.2s]"), TEXT("abcdef")), u"[ab]");
}

TEST(FormatTest, TextAndCharacters) {
  EXPECT_EQ(Printf(TEXT("%s opened\r\n"), TEXT("COM1:")), u"COM1: opened\r\n");
  EXPECT_EQ(Printf(TEXT("Open FF(%s) failed.\r\n"), TEXT("")), u"Open FF() failed.\r\n");
  EXPECT_EQ(Printf(TEXT("%S|%hs"), "narrow", "too"), u"narrow|too");
  EXPECT_EQ(Printf(TEXT("%c , %X h"), static_cast<BYTE>(0x55), static_cast<BYTE>(0x55)), u"U , 55 h");
  EXPECT_EQ(Printf(TEXT("%s"), static_cast<const WCHAR*>(nullptr)), u"(null)");
  EXPECT_EQ(Printf(TEXT("100%%")), u"100%");
}

TEST(FormatTest, OutputStopsAt1024Characters) {
  std::u16string big(2000, u'x');
  WCHAR buffer[1100];
  EXPECT_EQ(wsprintfW(buffer, TEXT("%s"), big.c_str()), 1023);
  EXPECT_EQ(std::u16string(buffer).size(), 1023u);
}

}  // namespace
