// Unit tests of the screen's view of an edit control, which front ends read
// instead of sending messages: its metrics, lines by range, and search.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "windowing/Screen.h"
#include "WindowTestSupport.h"

namespace {

using namespace wintest;

constexpr DWORD kLogStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_READONLY | ES_AUTOHSCROLL | ES_MULTILINE;

TEST(ScreenViewTest, AnEditControlsMetricsLinesAndSearch) {
  HWND parent = Create(nullptr);
  HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, u"edit", u"", kLogStyle, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, parent,
                              reinterpret_cast<HMENU>(5), nullptr, nullptr);
  ASSERT_NE(edit, nullptr);
  // 10 lines of text, and the 2-pixel edges.
  SetWindowPos(edit, nullptr, 0, 0, 200, 10 * screen::kLineHeight + 4, SWP_NOZORDER);
  WCHAR text[40];
  for (int i = 0; i < 100000; ++i) {
    wsprintfW(text, u"%d bytes <-BT<-FF<- <<<\r\n", i);
    SendMessageW(edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
  }
  auto state = screen::Edit(edit);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->visibleLines, 10u);
  EXPECT_EQ(state->lineCount, 100001u);
  EXPECT_EQ(state->firstVisibleLine, 100001u - 10);
  EXPECT_EQ(state->firstVisibleLine, static_cast<size_t>(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0)));
  EXPECT_EQ(screen::EditLines(edit, 99999, 5),
            (std::vector<std::u16string>{u"99999 bytes <-BT<-FF<- <<<", u""}));  // fewer at the end
  EXPECT_EQ(screen::EditFind(edit, u"50000 bytes"), static_cast<size_t>(SendMessageW(edit, EM_LINEINDEX, 50000, 0)));
  EXPECT_EQ(screen::EditFind(edit, u"no such text"), std::nullopt);
  DestroyWindow(parent);
  EXPECT_EQ(screen::Edit(edit), std::nullopt);  // no live control
}

}  // namespace
