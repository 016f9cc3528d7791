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

}  // namespace
