// Conformance of the "edit" control as the log view uses it: replacing the
// selection or inserting at the caret, selections, line queries, text
// messages, read-only typing, scrolling and keys; and a million log lines
// through the control. (The line index itself: EditBufferTest.cpp.)
#include <windows.h>

#include <gtest/gtest.h>

#include <iterator>

#include "WindowTestSupport.h"

namespace {

using namespace wintest;

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
    SetWindowPos(edit, nullptr, 0, 0, 200, 10 * LineHeight() + 4, SWP_NOZORDER);
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
  // Line `line` as EM_GETLINE copies it (the first WORD of the buffer is its size).
  std::u16string Line(int line) {
    std::vector<WCHAR> buffer(256);
    buffer[0] = static_cast<WCHAR>(buffer.size());
    LRESULT length = SendMessageW(edit, EM_GETLINE, static_cast<WPARAM>(line), reinterpret_cast<LPARAM>(buffer.data()));
    return std::u16string(buffer.data(), static_cast<size_t>(length));
  }
  LRESULT LineCount() { return SendMessageW(edit, EM_GETLINECOUNT, 0, 0); }
  // Where character `index` stands in the client area (EM_POSFROMCHAR).
  POINT PosOf(size_t index) {
    LRESULT packed = SendMessageW(edit, EM_POSFROMCHAR, index, 0);
    return POINT{static_cast<short>(LOWORD(packed)), static_cast<short>(HIWORD(packed))};
  }
  LONG ClientWidth() {
    RECT client{};
    GetClientRect(edit, &client);
    return client.right;
  }
  // Keys as a person presses them, handled the way the utility's loop does.
  void Press(BYTE vk, unsigned modifiers = kNoModifiers) {
    SetFocus(edit);
    wintest::Press(vk, modifiers);
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
  Press('X', kShift);
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
  EXPECT_EQ(LineCount(), 26);

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
  Press(VK_HOME, kControl);
  EXPECT_EQ(Selection(), std::make_pair(DWORD{0}, DWORD{0}));
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
  Press(VK_RIGHT);
  Press(VK_RIGHT, kShift);
  Press(VK_RIGHT, kShift);
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
  Press(VK_END, kControl);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 21);
  Press(VK_UP);
  EXPECT_EQ(SendMessageW(edit, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0), 29);
  EXPECT_EQ(LineCount(), 31);
  EXPECT_EQ(Line(29), u"0123456789");
  EXPECT_EQ(Line(30), u"end");
}

// ES_AUTOHSCROLL in a multi-line control: lines do not wrap; when the caret
// leaves the view sideways, the view jumps so that the caret rests a third
// of the width inside the edge it crossed (or the line's start shows).
constexpr char16_t kFailure[] =
    u"Update failed: No answer from the radio module (waiting for A0h after the module reset)";
constexpr size_t kFailureLength = std::size(kFailure) - 1;

TEST_F(EditTest, AutoHScrollKeepsTheCaretInViewSideways) {
  Append(kFailure);
  Append(u"\r\nChoose Update firmware - Go to try again.\r\n");
  const LONG width = ClientWidth();
  const LONG cell = PosOf(1).x - PosOf(0).x;
  ASSERT_GT(cell, 0);
  ASSERT_GT(static_cast<LONG>(kFailureLength) * cell, 2 * width);  // the line is wider than the view
  EXPECT_EQ(PosOf(0).x, 0);                                        // the caret at the start of the last line

  // Along the line to the right: the view stays while the caret is in it,
  // then jumps a third of the width ahead of it.
  Press(VK_UP);
  Press(VK_UP);
  size_t jumpedAt = 0;
  for (size_t caret = 1; caret <= kFailureLength && !jumpedAt; ++caret) {
    Press(VK_RIGHT);
    const LONG x = PosOf(caret).x;
    EXPECT_GE(x, 0) << caret;
    EXPECT_LE(x, width) << caret;
    if (PosOf(0).x != 0) jumpedAt = caret;
  }
  ASSERT_NE(jumpedAt, 0u);
  EXPECT_GT(static_cast<LONG>(jumpedAt) * cell, width);  // no earlier than needed
  EXPECT_LE(PosOf(jumpedAt).x, width - width / 3);
  EXPECT_GT(PosOf(jumpedAt).x + cell, width - width / 3);

  // End shows the end of the line; the text before it left of the view.
  Press(VK_END);
  EXPECT_GE(PosOf(kFailureLength).x, 0);
  EXPECT_LE(PosOf(kFailureLength).x, width - width / 3);
  EXPECT_LT(PosOf(0).x, 0);

  // Back to the left: the view stays until the caret crosses the left edge,
  // then jumps to rest the caret a third of the width inside it.
  LONG viewStart = PosOf(0).x;
  size_t caret = kFailureLength;
  while (PosOf(0).x == viewStart) {
    Press(VK_LEFT);
    --caret;
    ASSERT_GT(caret, 0u);
    if (PosOf(0).x == viewStart) {
      EXPECT_GE(PosOf(caret).x, 0) << caret;
    }
  }
  EXPECT_GE(PosOf(caret).x, width / 3);
  EXPECT_LT(PosOf(caret).x - cell, width / 3);

  // Home brings the line's start back; so does the caret reaching a new line.
  Press(VK_END);
  Press(VK_HOME);
  EXPECT_EQ(PosOf(0).x, 0);
  Press(VK_END);
  Press(VK_END, kControl);
  EXPECT_EQ(PosOf(0).x, 0);

  // Lines keep their rows: y counts from the first visible line.
  EXPECT_EQ(PosOf(kFailureLength + 2).y, LineHeight());
  EXPECT_EQ(SendMessageW(edit, EM_POSFROMCHAR, static_cast<WPARAM>(GetWindowTextLengthW(edit)), 0), -1);
}

TEST_F(EditTest, AutoHScrollFollowsTextAppendedAtTheCaret) {
  // Appending a long line leaves the caret at its end, in view; the next
  // line starts at the left edge again.
  Append(kFailure);
  const LONG width = ClientWidth();
  const LONG cell = PosOf(1).x - PosOf(0).x;
  EXPECT_LT(PosOf(0).x, 0);
  EXPECT_LE(PosOf(kFailureLength - 1).x + cell, width);
  Append(u"\r\n");
  EXPECT_EQ(PosOf(0).x, 0);
  // Scrolled sideways by hand, as far as asked, past the end of the lines
  // too, but never left of the first column.
  EXPECT_TRUE(SendMessageW(edit, EM_LINESCROLL, 5, 0));
  EXPECT_EQ(PosOf(0).x, -5 * cell);
  SendMessageW(edit, EM_LINESCROLL, 200, 0);
  EXPECT_EQ(PosOf(0).x, -205 * cell);
  SendMessageW(edit, EM_LINESCROLL, static_cast<WPARAM>(-1000), 0);
  EXPECT_EQ(PosOf(0).x, 0);
  // New text starts the view at its left edge.
  SendMessageW(edit, EM_LINESCROLL, 5, 0);
  SetWindowTextW(edit, u"replaced");
  EXPECT_EQ(PosOf(0).x, 0);
}

TEST_F(EditTest, WithoutAutoHScrollTheViewNeverMovesSideways) {
  HWND wrapping = CreateWindowExW(0, u"edit", u"", WS_CHILD | WS_VISIBLE | ES_MULTILINE, 0, 0, 120, 60, parent,
                                  reinterpret_cast<HMENU>(6), nullptr, nullptr);
  ASSERT_NE(wrapping, nullptr);
  SendMessageW(wrapping, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(kFailure));
  EXPECT_EQ(static_cast<short>(LOWORD(SendMessageW(wrapping, EM_POSFROMCHAR, 0, 0))), 0);
  SendMessageW(wrapping, EM_LINESCROLL, 5, 0);
  EXPECT_EQ(static_cast<short>(LOWORD(SendMessageW(wrapping, EM_POSFROMCHAR, 0, 0))), 0);
  DestroyWindow(wrapping);
}

TEST_F(EditTest, AMillionLogLinesThroughTheControl) {
  auto start = std::chrono::steady_clock::now();
  WCHAR text[32];
  for (int i = 0; i < 1000000; ++i) {
    wsprintfW(text, u"%d bytes <-BT<-FF<- <<<\r\n", i);
    SendDlgItemMessageW(parent, 5, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(LineCount(), 1000001);
  EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 1000001 - 10);
  EXPECT_EQ(Line(999999), u"999999 bytes <-BT<-FF<- <<<");
  EXPECT_EQ(Line(500000), u"500000 bytes <-BT<-FF<- <<<");
  EXPECT_EQ(SendMessageW(edit, EM_LINEINDEX, 500000, 0), SendMessageW(edit, EM_LINEINDEX, 499999, 0) + 29);
  // A generous bound: it catches work that grows with the text, not a slow machine.
  EXPECT_LT(elapsed, std::chrono::seconds(120));
}

}  // namespace
