// Conformance of the wide-string functions the utility uses (CE's C
// library on 16-bit WCHAR). SDK calls only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using Text = std::basic_string<WCHAR>;

TEST(WideStringTest, WorksOnSixteenBitUnits) {
  static_assert(sizeof(WCHAR) == 2);
  EXPECT_EQ(wcslen(TEXT("COM1:")), 5u);
  EXPECT_EQ(wcscmp(TEXT("FFUART"), TEXT("FFUART")), 0);
  EXPECT_NE(wcscmp(TEXT("FFUART"), TEXT("ffuart")), 0);
  EXPECT_LT(wcscmp(TEXT("A"), TEXT("B")), 0);
  EXPECT_EQ(_wcsicmp(TEXT("aboutbox"), TEXT("ABOUTBOX")), 0);
}

TEST(WideStringTest, LastBackslashAndBoundedCopy) {
  const WCHAR* path = TEXT("\\Windows\\fwutil.exe");
  const WCHAR* last = wcsrchr(path, TEXT('\\'));
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last - path, 8);
  EXPECT_EQ(wcsrchr(TEXT("fwutil.exe"), TEXT('\\')), nullptr);

  WCHAR dir[100] = {};
  wcsncpy(dir, path, static_cast<size_t>(last - path) + 1);
  EXPECT_EQ(Text(dir), TEXT("\\Windows\\"));
  WCHAR padded[6] = {TEXT('x'), TEXT('x'), TEXT('x'), TEXT('x'), TEXT('x'), TEXT('x')};
  wcsncpy(padded, TEXT("ab"), 6);
  EXPECT_EQ(padded[2], 0);
  EXPECT_EQ(padded[5], 0);
}

}  // namespace
