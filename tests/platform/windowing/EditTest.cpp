// Conformance of the "edit" control as the log view uses it: replacing the
// selection or inserting at the caret, selections, line queries, text
// messages, read-only typing, scrolling and keys; and the line index under
// a million appends.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>

#include "board/Board.h"
#include "windowing/Edit.h"
#include "windowing/Screen.h"
#include "WindowTestSupport.h"

namespace {

using namespace wintest;
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

// ------------------------------------------------------------ the control

constexpr DWORD kLogStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_READONLY | ES_AUTOHSCROLL | ES_MULTILINE;

class EditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent = Create(Logging(parentLog));
    edit = CreateWindowExW(WS_EX_CLIENTEDGE, u"edit", u"", kLogStyle, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, parent,
                           reinterpret_cast<HMENU>(5), nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    // 10 lines of 13 pixels, and the 2-pixel edges.
    SetWindowPos(edit, nullptr, 0, 0, 200, 10 * screen::kLineHeight + 4, SWP_NOZORDER);
  }
  void TearDown() override { DestroyWindow(parent); }

  void Append(const char16_t* text) {
    SendDlgItemMessageW(parent, 5, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
  }
  std::u16string Text() {
    std::vector<WCHAR> buffer(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1);
    GetWindowTextW(edit, buffer.data(), static_cast<int>(buffer.size()));
    return buffer.data();
  }
  std::pair<DWORD, DWORD> Selection() {
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    return {start, end};
  }
  // Keys as a person presses them, handled the way the utility's loop does.
  void Press(BYTE vk, unsigned modifiers = screen::kNoModifiers) {
    SetFocus(edit);
    screen::Key(vk, modifiers);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  Log parentLog;
  HWND parent = nullptr;
  HWND edit = nullptr;
};

TEST_F(EditTest, ReplaceSelectionAppendsAtTheCaretAndLeavesItBehind) {
  Append(u"Orvane Q88 Firmware Utility\r\n");
  Append(u"#");
  Append(u"#");
  EXPECT_EQ(Text(), u"Orvane Q88 Firmware Utility\r\n##");
  EXPECT_EQ(Selection(), std::make_pair(DWORD{31}, DWORD{31}));
}

TEST_F(EditTest, ReplaceSelectionReplacesWhatTheUserSelected) {
  Append(u"Bootload1 updated!!\r\n");
  SendMessageW(edit, EM_SETSEL, 0, 9);  // "Bootload1"
  Append(u"Stage");
  EXPECT_EQ(Text(), u"Stage updated!!\r\n");
  EXPECT_EQ(Selection(), std::make_pair(DWORD{5}, DWORD{5}));
  // Selected backwards, the same.
  SendMessageW(edit, EM_SETSEL, 15, 6);
  Append(u"done");
  EXPECT_EQ(Text(), u"Stage done\r\n");
  // A caret moved into the text takes the next text there.
  SendMessageW(edit, EM_SETSEL, 0, 0);
  Append(u">");
  EXPECT_EQ(Text(), u">Stage done\r\n");
}

TEST_F(EditTest, SelectAllAndDeselect) {
  Append(u"abc\r\ndef");
  SendMessageW(edit, EM_SETSEL, 0, -1);
  EXPECT_EQ(Selection(), std::make_pair(DWORD{0}, DWORD{8}));
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(-1), 0);
  auto [start, end] = Selection();
  EXPECT_EQ(start, end);
  DWORD packed = static_cast<DWORD>(SendMessageW(edit, EM_GETSEL, 0, 0));
  EXPECT_EQ(LOWORD(packed), start);
}

TEST_F(EditTest, ReadOnlyRefusesTypingButNotReplaceSelection) {
  Append(u"log");
  Press('X');
  EXPECT_EQ(Text(), u"log");
  SendMessageW(edit, EM_SETREADONLY, FALSE, 0);
  SendMessageW(edit, EM_SETSEL, 3, 3);
  Press('X', screen::kShift);
  Press(VK_RETURN);
  EXPECT_EQ(Text(), u"logX\r\n");
  Press(VK_BACK);  // a line end goes in one step
  EXPECT_EQ(Text(), u"logX");
}

TEST_F(EditTest, LineQueries) {
  Append(u"first\r\nsecond line\nthird");
  EXPECT_EQ(SendMessageW(edit, EM_GETLINECOUNT, 0, 0), 3);
  EXPECT_EQ(SendMessageW(edit, EM_LINEINDEX, 1, 0), 7);
  EXPECT_EQ(SendMessageW(edit, EM_LINEINDEX, 3, 0), -1);
  EXPECT_EQ(SendMessageW(edit, EM_LINEINDEX, static_cast<WPARAM>(-1), 0), 19);  // the caret's line
  EXPECT_EQ(SendMessageW(edit, EM_LINELENGTH, 8, 0), 11);
  EXPECT_EQ(SendMessageW(edit, EM_LINEFROMCHAR, 8, 0), 1);
  WCHAR line[16] = {};
  line[0] = 15;  // room, in the first word
  EXPECT_EQ(SendMessageW(edit, EM_GETLINE, 1, reinterpret_cast<LPARAM>(line)), 11);
  EXPECT_EQ(std::u16string(line, 11), u"second line");
  line[0] = 3;
  EXPECT_EQ(SendMessageW(edit, EM_GETLINE, 0, reinterpret_cast<LPARAM>(line)), 3);
  EXPECT_EQ(std::u16string(line, 3), u"fir");
}

TEST_F(EditTest, TextMessages) {
  EXPECT_TRUE(SetWindowTextW(edit, u"replaced\r\nall"));
  EXPECT_EQ(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0), 13);
  WCHAR buffer[5];
  EXPECT_EQ(SendMessageW(edit, WM_GETTEXT, 5, reinterpret_cast<LPARAM>(buffer)), 4);
  EXPECT_EQ(std::u16string(buffer), u"repl");
  EXPECT_EQ(Selection(), std::make_pair(DWORD{0}, DWORD{0}));
  EXPECT_EQ(SendMessageW(edit, EM_GETLINECOUNT, 0, 0), 2);
}

TEST_F(EditTest, ChangesAreReportedToTheParent) {
  parentLog.Clear();
  Append(u"x");
  ASSERT_EQ(parentLog.Count(WM_COMMAND, parent), 1u);
  Message m = parentLog.All().back();
  EXPECT_EQ(m.wParam, MAKEWPARAM(5, EN_CHANGE));
  EXPECT_EQ(m.lParam, reinterpret_cast<LPARAM>(edit));
}

TEST_F(EditTest, AppendingKeepsTheCaretInViewAndScrollingIsClamped) {
  for (int i = 0; i < 25; ++i) Append(u"line\r\n");
  // 26 lines, 10 visible: the caret on the last one is at the bottom.
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 16);
  auto state = screen::Edit(edit);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->visibleLines, 10u);
  EXPECT_EQ(state->lineCount, 26u);

  SendMessageW(edit, EM_LINESCROLL, 0, -100);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
  SendMessageW(edit, EM_LINESCROLL, 0, 100);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 16);
  SendMessageW(edit, EM_SETSEL, 0, 0);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 16);  // EM_SETSEL alone does not scroll
  SendMessageW(edit, EM_SCROLLCARET, 0, 0);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
}

TEST_F(EditTest, KeysMoveTheCaretSelectAndScroll) {
  for (int i = 0; i < 30; ++i) Append(u"0123456789\r\n");
  Append(u"end");
  Press(VK_HOME, screen::kControl);
  EXPECT_EQ(Selection(), std::make_pair(DWORD{0}, DWORD{0}));
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
  Press(VK_RIGHT);
  Press(VK_RIGHT, screen::kShift);
  Press(VK_RIGHT, screen::kShift);
  EXPECT_EQ(Selection(), std::make_pair(DWORD{1}, DWORD{3}));
  Press(VK_END);
  EXPECT_EQ(Selection(), std::make_pair(DWORD{10}, DWORD{10}));
  Press(VK_RIGHT);  // over the line end in one step
  EXPECT_EQ(Selection(), std::make_pair(DWORD{12}, DWORD{12}));
  Press(VK_NEXT);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 10);
  EXPECT_EQ(SendMessageW(edit, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0), 11);
  Press(VK_DOWN);
  EXPECT_EQ(SendMessageW(edit, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0), 12);
  Press(VK_END, screen::kControl);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 21);
  Press(VK_UP);
  EXPECT_EQ(SendMessageW(edit, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0), 29);
  auto lines = screen::EditLines(edit, 29, 5);
  EXPECT_EQ(lines, (std::vector<std::u16string>{u"0123456789", u"end"}));
}

TEST_F(EditTest, AMillionLogLinesThroughTheControl) {
  auto start = std::chrono::steady_clock::now();
  WCHAR text[32];
  for (int i = 0; i < 1000000; ++i) {
    wsprintfW(text, u"%d bytes <-BT<-FF<- <<<\r\n", i);
    SendDlgItemMessageW(parent, 5, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  auto state = screen::Edit(edit);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->lineCount, 1000001u);
  EXPECT_EQ(state->firstVisibleLine, 1000001u - 10);
  EXPECT_EQ(screen::EditLines(edit, 999999, 1), (std::vector<std::u16string>{u"999999 bytes <-BT<-FF<- <<<"}));
  EXPECT_EQ(screen::EditFind(edit, u"500000 bytes"), static_cast<size_t>(SendMessageW(edit, EM_LINEINDEX, 500000, 0)));
  // A generous bound: it catches work that grows with the text, not a slow machine.
  EXPECT_LT(elapsed, std::chrono::seconds(120));
}

TEST(EditFaultTest, FaultSwitchMakesCreatingAnEditFail) {
  HWND parent = Create(nullptr);
  board::PlatformFaults().editCreateFails = true;
  EXPECT_EQ(
      CreateWindowExW(0, u"edit", u"", WS_CHILD, 0, 0, 10, 10, parent, reinterpret_cast<HMENU>(5), nullptr, nullptr),
      nullptr);
  EXPECT_EQ(GetDlgItem(parent, 5), nullptr);
  board::PlatformFaults().editCreateFails = false;
  DestroyWindow(parent);
}

}  // namespace
