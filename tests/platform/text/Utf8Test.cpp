// Unit test of the stand-in's UTF-16 / UTF-8 conversion (host file names,
// front ends' output): a round trip, and a sequence cut short.
#include <gtest/gtest.h>

#include <string>

#include "text/WideText.h"

namespace {

TEST(WideStringTest, Utf8RoundTrip) {
  std::u16string text = u"Firmware \u00e9\u4e2d\U0001F600";
  EXPECT_EQ(text::FromUtf8(text::ToUtf8(text)), text);
  EXPECT_EQ(text::ToUtf8(u"COM1:"), "COM1:");
  EXPECT_EQ(text::FromUtf8("\xe4\xb8"), u"\uFFFD");  // cut short
}

// Bytes that decode to no character (beyond U+10FFFF, an encoded surrogate,
// an overlong form) become one U+FFFD each sequence, never a stray surrogate:
// the text converts back to the same UTF-8, and names compare the same
// before and after (the registry's dump is read back that way).
TEST(WideStringTest, Utf8ThatIsNoCharacterBecomesOneReplacementEach) {
  EXPECT_EQ(text::FromUtf8("S\xf7\x9e\x92\x9a"), u"S\uFFFD");     // U+1DE49A
  EXPECT_EQ(text::FromUtf8("\xf4\x90\x80\x80x"), u"\uFFFDx");     // U+110000
  EXPECT_EQ(text::FromUtf8("\xed\xa0\x80"), u"\uFFFD");            // U+D800
  EXPECT_EQ(text::FromUtf8("\xc0\xaf\xe0\x80\xaf"), u"\uFFFD\uFFFD");  // '/' overlong, twice
  EXPECT_EQ(text::FromUtf8("\xf4\x8f\xbf\xbf"), u"\U0010FFFF");    // the last one is fine
  EXPECT_EQ(text::FromUtf8("\xc2\x80"), u"\u0080");                 // the least two-byte one
  for (const char* bytes : {"S\xf7\x9e\x92\x9a", "\xed\xbf\xbf", "\xf8\x88\x80\x80\x80", "\xff\xfe"}) {
    std::u16string once = text::FromUtf8(bytes);
    EXPECT_EQ(text::FromUtf8(text::ToUtf8(once)), once) << bytes;
  }
}

}  // namespace
