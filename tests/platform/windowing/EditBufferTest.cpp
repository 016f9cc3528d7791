// Unit tests of the edit control's text store (windowing::EditBuffer): line
// breaks as the control counts them ("\r\n" and a lone "\n"), the line index
// under replacements anywhere, appends that stay linear, and the columns the
// caret is kept in view by.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "windowing/Edit.h"

namespace {

using windowing::EditBuffer;

// ------------------------------------------------------------- line index

// The lines as a plain scan finds them: breaks after "\n", "\r\n" is one end.
std::vector<std::u16string> NaiveLines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\n') continue;
    size_t end = i;
    if (end > start && text[end - 1] == u'\r') --end;
    lines.push_back(text.substr(start, end - start));
    start = i + 1;
  }
  lines.push_back(text.substr(start));
  return lines;
}

void ExpectSameLines(const EditBuffer& buffer, const std::u16string& text) {
  auto expected = NaiveLines(text);
  ASSERT_EQ(buffer.LineCount(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(std::u16string(buffer.Line(i)), expected[i]) << "line " << i;
    ASSERT_EQ(buffer.LineOf(buffer.LineStart(i)), i);
  }
  ASSERT_EQ(buffer.LineOf(text.size()), expected.size() - 1);
}

TEST(EditBufferTest, LineBreaksAreCrLfAndLoneLf) {
  EditBuffer b;
  b.Replace(0, 0, u"one\r\ntwo\nthree\rstill three");
  EXPECT_EQ(b.LineCount(), 3u);
  EXPECT_EQ(b.Line(0), u"one");
  EXPECT_EQ(b.Line(1), u"two");
  EXPECT_EQ(b.Line(2), u"three\rstill three");
  EXPECT_EQ(b.LineStart(1), 5u);
  EXPECT_EQ(b.LineLength(0), 3u);
}

TEST(EditBufferTest, CrAndLfArrivingApartMakeOneLineEnd) {
  EditBuffer b;
  b.Replace(0, 0, u"abc\r");
  b.Replace(4, 4, u"\ndef");
  EXPECT_EQ(b.LineCount(), 2u);
  EXPECT_EQ(b.Line(0), u"abc");
  EXPECT_EQ(b.Line(1), u"def");
}

TEST(EditBufferTest, ReplacementsAnywhereKeepTheIndexRight) {
  std::mt19937 random(1234);
  const std::u16string pieces[] = {u"", u"x", u"\r\n", u"\n", u"\r", u"ab\r\ncd", u"#", u"\n\n", u"line\r\n"};
  EditBuffer b;
  std::u16string model;
  for (int step = 0; step < 3000; ++step) {
    size_t start = model.empty() ? 0 : random() % (model.size() + 1);
    size_t end = start + (model.size() == start ? 0 : random() % std::min<size_t>(6, model.size() - start + 1));
    const std::u16string& piece = pieces[random() % std::size(pieces)];
    b.Replace(start, end, piece);
    model.replace(start, end - start, piece);
    ASSERT_EQ(std::u16string(b.Text()), model);
    if (step % 50 == 0) ExpectSameLines(b, model);
  }
  ExpectSameLines(b, model);
}

// ---------------------------------------------------------------- columns

// The column as a plain scan of the line finds it.
size_t NaiveColumn(const std::u16string& text, size_t pos) {
  size_t start = text.rfind(u'\n', pos == 0 ? 0 : pos - 1);
  start = (start == std::u16string::npos || start >= pos) ? 0 : start + 1;
  size_t column = 0;
  for (size_t i = start; i < pos; ++i) {
    bool lowHalf =
        text[i] >= 0xDC00 && text[i] <= 0xDFFF && i > start && text[i - 1] >= 0xD800 && text[i - 1] <= 0xDBFF;
    if (text[i] == u'\t') {
      column = column / 8 * 8 + 8;
    } else if (!lowHalf) {
      ++column;
    }
  }
  return column;
}

TEST(EditBufferTest, ColumnsCountTabStopsAndSurrogatePairsAsCells) {
  EditBuffer b;
  b.Replace(0, 0, u"a\tb\r\nxy\U0001F600\tz");
  EXPECT_EQ(b.ColumnOf(1), 1u);
  EXPECT_EQ(b.ColumnOf(2), 8u);  // the tab reaches the next stop
  EXPECT_EQ(b.ColumnOf(3), 9u);
  EXPECT_EQ(b.ColumnOf(5), 0u);  // the next line
  EXPECT_EQ(b.ColumnOf(9), 3u);  // the pair is one cell
  EXPECT_EQ(b.ColumnOf(10), 8u);
  EXPECT_EQ(b.ColumnOf(3), 9u);  // asked again further back
}

TEST(EditBufferTest, ColumnsStayRightUnderReplacementsAnywhere) {
  // Columns are counted on from the last one asked: a replacement before
  // it must not leave a stale count behind.
  std::mt19937 random(99);
  const std::u16string pieces[] = {u"", u"x", u"\t", u"\r\n", u"ab\tcd", u"#####", u"\U0001F600", u"\n"};
  EditBuffer b;
  std::u16string model;
  for (int step = 0; step < 5000; ++step) {
    size_t start = model.empty() ? 0 : random() % (model.size() + 1);
    size_t end = start + (model.size() == start ? 0 : random() % std::min<size_t>(4, model.size() - start + 1));
    const std::u16string& piece = pieces[random() % std::size(pieces)];
    b.Replace(start, end, piece);
    model.replace(start, end - start, piece);
    for (int ask = 0; ask < 2; ++ask) {
      size_t pos = random() % (model.size() + 1);
      ASSERT_EQ(b.ColumnOf(pos), NaiveColumn(model, pos)) << "step " << step << " pos " << pos;
    }
    ASSERT_EQ(b.ColumnOf(model.size()), NaiveColumn(model, model.size())) << "step " << step;
  }
}

TEST(EditBufferTest, AMillionAppendsStayLinear) {
  EditBuffer b;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000000; ++i) b.Replace(b.Length(), b.Length(), u"Write 4000 bytes!\r\n");
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(b.LineCount(), 1000001u);
  EXPECT_EQ(b.Line(999999), u"Write 4000 bytes!");
  EXPECT_EQ(b.LineOf(b.Length()), 1000000u);
  // Linear work takes well under a second; quadratic work would take hours.
  EXPECT_LT(elapsed, std::chrono::seconds(30));
}

}  // namespace
