// The terminal front end's layout: the handset screen laid out into a
// character grid from hand-made snapshots.
#include "frontends/terminal/Layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Snapshots.h"

namespace terminal {
namespace {

using namespace terminal::testing;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::u16string> Numbered(size_t count, const std::u16string& prefix = u"line ") {
  std::vector<std::u16string> lines;
  for (size_t i = 0; i < count; ++i) {
    std::string n = std::to_string(i);
    lines.push_back(prefix + std::u16string(n.begin(), n.end()));
  }
  return lines;
}

// The text of the work-area row `k` (0 = first row under the title bar),
// inside the frame.
std::string WorkRow(const Grid& grid, const Geometry& g, int k) {
  std::string row;
  for (int c = g.InnerLeft(); c < g.InnerLeft() + g.innerCols; ++c) {
    row += ToUtf8(std::u32string(1, grid.At(g.WorkTop() + k, c).ch));
  }
  return row;
}

int FindRow(const Grid& grid, const std::string& text) {
  for (int r = 0; r < grid.rows; ++r) {
    if (grid.RowText(r).find(text) != std::string::npos) return r;
  }
  return -1;
}

// Column (in cells) where `text` starts in `row`.
int FindCol(const Grid& grid, int row, const std::u32string& text) {
  std::u32string line;
  for (int c = 0; c < grid.cols; ++c) line += grid.At(row, c).ch;
  size_t at = line.find(text);
  return at == std::u32string::npos ? -1 : static_cast<int>(at);
}

TEST(TerminalGeometry, FrameIsFortyColumnsAndShrinksToTheTerminal) {
  Geometry natural = ComputeGeometry(26, 80);
  EXPECT_FALSE(natural.tooSmall);
  EXPECT_EQ(natural.innerCols, 40);
  EXPECT_EQ(natural.workRows, 20);
  EXPECT_EQ(natural.frameTop, 0);
  EXPECT_EQ(natural.frameLeft, 19);
  EXPECT_EQ(natural.helpRow, 25);

  // The common 80x24 terminal: two work rows fewer, nothing else lost.
  Geometry classic = ComputeGeometry(24, 80);
  EXPECT_EQ(classic.innerCols, 40);
  EXPECT_EQ(classic.workRows, 18);
  EXPECT_EQ(classic.helpRow, 23);

  // A large one centres the natural size.
  Geometry large = ComputeGeometry(50, 200);
  EXPECT_EQ(large.innerCols, 40);
  EXPECT_EQ(large.workRows, 20);
  EXPECT_EQ(large.frameTop, 12);

  Geometry narrow = ComputeGeometry(12, 30);
  EXPECT_EQ(narrow.innerCols, 28);
  EXPECT_EQ(narrow.workRows, 6);

  EXPECT_FALSE(ComputeGeometry(kMinTerminalRows, kMinTerminalCols).tooSmall);
  EXPECT_TRUE(ComputeGeometry(kMinTerminalRows - 1, 80).tooSmall);
  EXPECT_TRUE(ComputeGeometry(24, kMinTerminalCols - 1).tooSmall);
}

TEST(TerminalGeometry, PixelsMapOntoCells) {
  Geometry g = ComputeGeometry(26, 80);
  CellRect work = MapRect(g, RECT{0, 26, 240, 294});
  EXPECT_EQ(work.top, g.WorkTop());
  EXPECT_EQ(work.Rows(), 20);
  EXPECT_EQ(work.left, g.InnerLeft());
  EXPECT_EQ(work.Cols(), 40);
  CellRect title = MapRect(g, RECT{0, 0, 240, 26});
  EXPECT_EQ(title.top, g.TitleRow());
  EXPECT_EQ(title.Rows(), 1);
  CellRect bar = MapRect(g, RECT{0, 294, 240, 320});
  EXPECT_EQ(bar.top, g.MenuRow());
  EXPECT_EQ(bar.Rows(), 1);
  // Six pixels a column.
  EXPECT_EQ(MapRect(g, RECT{60, 100, 120, 113}).left - g.InnerLeft(), 10);
  EXPECT_EQ(MapRect(g, RECT{60, 100, 120, 113}).Cols(), 10);
  // Out-of-screen pixels stay inside the frame.
  CellRect wild = MapRect(g, RECT{-50, -50, 900, 900});
  EXPECT_GE(wild.left, g.InnerLeft());
  EXPECT_LE(wild.right, g.InnerLeft() + g.innerCols);
}

TEST(TerminalLayout, MainWindowTitleDoneButtonLogAndMenuBar) {
  FakeEdits edits;
  edits.text[kLog] = {u"Orvane Q88 Firmware Utility", u"<< Firmware Version: V.4.3.0 >>", u""};
  UiState ui;
  ui.status = u"module: idle  COM1: 0 B";
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);

  // Frame corners.
  EXPECT_EQ(grid.At(g.frameTop, g.frameLeft).ch, kTopLeft);
  EXPECT_EQ(grid.At(g.frameTop + g.workRows + 3, g.frameLeft + g.innerCols + 1).ch, kBottomRight);

  // Title bar: the title on the left, the done button at the right edge.
  const std::string title = grid.RowText(g.TitleRow());
  EXPECT_THAT(title, HasSubstr("Firmware Utility"));
  EXPECT_EQ(FindCol(grid, g.TitleRow(), U"[ok]"), g.InnerLeft() + g.innerCols - 5);
  EXPECT_TRUE(grid.At(g.TitleRow(), g.InnerLeft()).attr & kReverse);

  // The log view from its first line.
  EXPECT_EQ(WorkRow(grid, g, 0).substr(0, 27), "Orvane Q88 Firmware Utility");
  EXPECT_EQ(WorkRow(grid, g, 1).substr(0, 31), "<< Firmware Version: V.4.3.0 >>");

  // Menu bar with its one button; nothing open.
  const int bar = g.MenuRow();
  EXPECT_EQ(FindCol(grid, bar, U" System "), g.InnerLeft());
  EXPECT_TRUE(grid.At(bar, g.InnerLeft() + 1).attr & kReverse);
  EXPECT_EQ(FindRow(grid, "Update firmware"), -1);

  // Under the frame: the status line, then the key help.
  EXPECT_THAT(grid.RowText(g.statusRow), HasSubstr("module: idle  COM1: 0 B"));
  EXPECT_THAT(grid.RowText(g.helpRow), HasSubstr("F1 menu"));
  EXPECT_THAT(grid.RowText(g.helpRow), HasSubstr("^Q exit"));
  EXPECT_EQ(grid.cursorRow, -1);
}

TEST(TerminalLayout, LogViewShowsItsVisibleLinesAndFetchesOnlyThose) {
  FakeEdits edits;
  edits.text[kLog] = Numbered(1'000'000);
  UiState ui;
  // Scrolled back: the caret is elsewhere, so the control's first visible
  // line decides.
  screen::Snapshot s = MainScreen(edits.text[kLog], 500'000);
  s.window->controls[0].edit->caret = 0;
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);
  EXPECT_EQ(WorkRow(grid, g, 0).substr(0, 11), "line 500000");
  EXPECT_EQ(WorkRow(grid, g, 19).substr(0, 11), "line 500019");
  EXPECT_EQ(edits.linesServed, 20u);

  // The scroll bar's thumb sits half-way down the right column.
  const int barCol = g.InnerLeft() + g.innerCols - 1;
  int thumbRow = -1;
  for (int k = 0; k < g.workRows; ++k) {
    if (grid.At(g.WorkTop() + k, barCol).ch == kThumb) thumbRow = k;
  }
  EXPECT_GE(thumbRow, 8);
  EXPECT_LE(thumbRow, 11);
}

TEST(TerminalLayout, ShorterFrameKeepsTheNewestLineInSight) {
  FakeEdits edits;
  edits.text[kLog] = Numbered(100);
  UiState ui;
  // The control shows lines 80..99 with the caret on the last; an 80x24
  // terminal has 18 rows for it.
  screen::Snapshot s = MainScreen(edits.text[kLog], 80);
  Grid grid = Layout(s, edits, ui, 24, 80);
  Geometry g = ComputeGeometry(24, 80);
  ASSERT_EQ(g.workRows, 18);
  EXPECT_EQ(WorkRow(grid, g, 17).substr(0, 7), "line 99");
  EXPECT_EQ(WorkRow(grid, g, 0).substr(0, 7), "line 82");

  // With the caret elsewhere the top stays where the control has it.
  s.window->controls[0].edit->caret = 3;
  grid = Layout(s, edits, ui, 24, 80);
  EXPECT_EQ(WorkRow(grid, g, 0).substr(0, 7), "line 80");
}

// The log view's lines shown from the control's first visible column
// (ES_AUTOHSCROLL: the control keeps its caret in view sideways).
TEST(TerminalLayout, LogViewShowsItsLinesFromTheControlsFirstVisibleColumn) {
  FakeEdits edits;
  const std::u16string failure =
      u"Update failed: No answer from the radio module (waiting for A0h after the module reset)";
  edits.text[kLog] = {u"Wait a moment please...", failure, u"Choose Update firmware - Go to try again.", u""};
  UiState ui;
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  screen::EditState& st = *s.window->controls[0].edit;
  Geometry g = ComputeGeometry(26, 80);

  // The caret at the end of the failure line, the view moved along to it:
  // every line slides, the failure line's tail is in view.
  st.caretLine = 1;
  st.caretColumn = failure.size();
  st.firstVisibleColumn = 62;
  Grid grid = Layout(s, edits, ui, 26, 80);
  EXPECT_EQ(WorkRow(grid, g, 1).substr(0, 39), "h after the module reset)" + std::string(14, ' '));
  EXPECT_EQ(WorkRow(grid, g, 0).substr(0, 39), std::string(39, ' '));  // shorter than the slide
  EXPECT_EQ(WorkRow(grid, g, 2).substr(0, 39), std::string(39, ' '));

  // A terminal too narrow for the control's width (27 text columns): the
  // frame slides further, so that the caret stands in its last column.
  Geometry narrow = ComputeGeometry(12, 30);
  st.firstVisibleColumn = 50;
  grid = Layout(s, edits, ui, 12, 30);
  EXPECT_EQ(WorkRow(grid, narrow, 1).substr(0, 27), "0h after the module reset) ");
  // With the caret within the frame's columns, the control's first column
  // stands.
  st.caretColumn = 60;
  grid = Layout(s, edits, ui, 12, 30);
  EXPECT_EQ(WorkRow(grid, narrow, 1).substr(0, 27), "iting for A0h after the mod");

  // A control that does not slide sideways is cut at the edge.
  st.firstVisibleColumn = 0;
  st.caretLine = 1;
  st.caretColumn = failure.size();
  s.window->controls[0].style &= ~static_cast<DWORD>(ES_AUTOHSCROLL);
  grid = Layout(s, edits, ui, 26, 80);
  EXPECT_EQ(WorkRow(grid, g, 1).substr(0, 39), "Update failed: No answer from the radio");
}

TEST(TerminalLayout, LogLinesExpandTabsAndShowControlCharacters) {
  FakeEdits edits;
  edits.text[kLog] = {u"a\tb", u"x\x01y", u"caf\u00e9"};
  UiState ui;
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  s.window->controls[0].edit->caret = 0;
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);
  EXPECT_EQ(WorkRow(grid, g, 0).substr(0, 9), "a       b");
  EXPECT_EQ(WorkRow(grid, g, 1).substr(0, 3), "x?y");
  EXPECT_EQ(WorkRow(grid, g, 2).substr(0, 5), "caf\xc3\xa9");  // UTF-8 of the grid's text
}

TEST(TerminalLayout, OpenPopupShowsItemsSeparatorCheckMarkAndHighlight) {
  FakeEdits edits;
  edits.text[kLog] = {u"banner"};
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  auto& items = s.menuBar->buttons[0].items;
  screen::MenuItemView partner = Item(u"IrDA partner", 116);
  partner.checked = true;
  screen::MenuItemView off = Item(u"&Relay off", 155);
  off.enabled = false;
  items.push_back(partner);
  items.push_back(off);
  s.menuBar->openButton = 0;
  UiState ui;
  SyncUi(s, ui);
  ASSERT_EQ(ui.menuPath, std::vector<int>{0});
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);

  // The popup stands on the menu bar, its last item just above it.
  const int update = FindRow(grid, "Update firmware - Go");
  const int exit = FindRow(grid, "Exit");
  const int irda = FindRow(grid, "IrDA partner");
  const int relay = FindRow(grid, "Relay off");
  ASSERT_GT(update, 0);
  EXPECT_EQ(exit, update + 2);
  EXPECT_EQ(irda, update + 3);
  EXPECT_EQ(relay, g.MenuRow() - 2);
  EXPECT_EQ(grid.At(g.MenuRow() - 1, g.InnerLeft()).ch, kBottomLeft);

  // The separator row runs from tee to tee.
  const int sep = update + 1;
  const int left = FindCol(grid, update, U"Update") - 4;  // border, space, check column
  EXPECT_EQ(grid.At(sep, left).ch, kTeeLeft);
  EXPECT_EQ(grid.At(sep, left + 1).ch, kHLine);
  EXPECT_THAT(grid.RowText(sep), Not(HasSubstr("Exit")));

  // The check mark in its column, the highlight on the first item, the
  // disabled item dimmed with its mnemonic underlined.
  EXPECT_EQ(grid.At(irda, left + 2).ch, kCheck);
  EXPECT_NE(grid.At(update, left + 2).ch, kCheck);
  EXPECT_TRUE(grid.At(update, FindCol(grid, update, U"Update")).attr & kReverse);
  EXPECT_FALSE(grid.At(exit, FindCol(grid, exit, U"Exit")).attr & kReverse);
  const int r = FindCol(grid, relay, U"Relay");
  EXPECT_TRUE(grid.At(relay, r).attr & kDim);
  EXPECT_TRUE(grid.At(relay, r).attr & kUnderline);
  EXPECT_FALSE(grid.At(relay, r + 1).attr & kUnderline);

  // The open button looks pressed; the key help is the menu's.
  EXPECT_FALSE(grid.At(g.MenuRow(), g.InnerLeft() + 1).attr & kReverse);
  EXPECT_THAT(grid.RowText(g.helpRow), HasSubstr("Enter choose"));

  // Moving the highlight moves the reverse video.
  ui.menuPath = {2};
  grid = Layout(s, edits, ui, 26, 80);
  EXPECT_TRUE(grid.At(exit, FindCol(grid, exit, U"Exit")).attr & kReverse);
  EXPECT_FALSE(grid.At(update, FindCol(grid, update, U"Update")).attr & kReverse);
}

TEST(TerminalLayout, SubPopupOpensBesideItsItem) {
  FakeEdits edits;
  screen::Snapshot s = MainScreen({});
  screen::MenuItemView level = Item(u"Log level", 0);
  level.popup = true;
  level.items = {Item(u"Quiet", 112), Item(u"Everything", 115)};
  level.items[1].checked = true;
  s.menuBar->buttons[0].items.insert(s.menuBar->buttons[0].items.begin(), level);
  s.menuBar->openButton = 0;
  UiState ui;
  SyncUi(s, ui);
  ui.menuPath = {0, 1};
  Grid grid = Layout(s, edits, ui, 26, 80);
  const int parent = FindRow(grid, "Log level");
  const int quiet = FindRow(grid, "Quiet");
  ASSERT_GT(parent, 0);
  EXPECT_EQ(quiet, parent);  // the sub-popup's first item beside its parent item
  EXPECT_GT(FindCol(grid, quiet, U"Quiet"), FindCol(grid, parent, U"Log level"));
  const int every = FindRow(grid, "Everything");
  EXPECT_TRUE(grid.At(every, FindCol(grid, every, U"Everything")).attr & kReverse);
  EXPECT_EQ(grid.At(every, FindCol(grid, every, U"Everything") - 2).ch, kCheck);
}

TEST(TerminalLayout, MessageBoxDrawnOverTheLogView) {
  FakeEdits edits;
  edits.text[kLog] = Numbered(20, u"log text ");
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  s.window->controls[0].edit->caret = 0;
  s.modals.push_back(Box(4, u"COMs should be released first", u"Error", MB_ICONERROR, {IDOK}));
  UiState ui;
  SyncUi(s, ui);
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);

  const int text = FindRow(grid, "COMs should be released first");
  ASSERT_GT(text, 0);
  const int top = text - 1;
  EXPECT_THAT(grid.RowText(top), HasSubstr(" Error "));
  EXPECT_EQ(grid.At(top, FindCol(grid, top, U"Error")).attr & kBold, kBold);
  EXPECT_THAT(grid.RowText(text), HasSubstr("(x) COMs should be released first"));
  // Blank row, then the button, selected, then the bottom border.
  const int button = FindRow(grid, "[ OK ]");
  EXPECT_EQ(button, text + 2);
  EXPECT_TRUE(grid.At(button, FindCol(grid, button, U"[ OK ]")).attr & kReverse);
  EXPECT_EQ(grid.At(button + 1, FindCol(grid, top, std::u32string(1, kTopLeft))).ch, kBottomLeft);
  // Centred in the work area, the log around it still drawn.
  const int boxRows = button + 2 - top;
  EXPECT_EQ(top - g.WorkTop(), (g.workRows - boxRows) / 2);
  EXPECT_EQ(WorkRow(grid, g, 0).substr(0, 10), "log text 0");
  EXPECT_THAT(grid.RowText(g.helpRow), HasSubstr("Enter answer"));
}

TEST(TerminalLayout, SuccessBoxAndTwoBoxesStackedAnsweredOnesHidden) {
  FakeEdits edits;
  screen::Snapshot s = MainScreen({});
  s.modals.push_back(Box(1, u"Reboot device/Reset module !", u"Successful", MB_OK, {IDOK}));
  UiState ui;
  SyncUi(s, ui);
  Grid grid = Layout(s, edits, ui, 26, 80);
  const int text = FindRow(grid, "Reboot device/Reset module !");
  ASSERT_GT(text, 0);
  EXPECT_THAT(grid.RowText(text - 1), HasSubstr(" Successful "));
  EXPECT_THAT(grid.RowText(text), Not(HasSubstr("(")));  // no icon

  // A second box on top; once answered it is no longer drawn, the first
  // shows again.
  s.modals.push_back(Box(2, u"Write failed", u"Relay", MB_ICONEXCLAMATION, {IDOK}));
  SyncUi(s, ui);
  EXPECT_EQ(ui.boxId, 2u);
  grid = Layout(s, edits, ui, 26, 80);
  EXPECT_GT(FindRow(grid, "(!) Write failed"), 0);
  s.modals.back().box.answered = true;
  SyncUi(s, ui);
  EXPECT_EQ(ui.boxId, 1u);
  grid = Layout(s, edits, ui, 26, 80);
  EXPECT_EQ(FindRow(grid, "Write failed"), -1);
  EXPECT_GT(FindRow(grid, "Reboot device/Reset module !"), 0);
}

TEST(TerminalLayout, BoxButtonsAndTheChosenOne) {
  FakeEdits edits;
  screen::Snapshot s = MainScreen({});
  s.modals.push_back(
      Box(9, u"Stop the relay?", u"Question", MB_YESNOCANCEL | MB_ICONQUESTION, {IDYES, 7, IDCANCEL}, 7));
  UiState ui;
  SyncUi(s, ui);
  EXPECT_EQ(ui.boxButton, 1);  // starts on the default button (No)
  Grid grid = Layout(s, edits, ui, 26, 80);
  const int row = FindRow(grid, "[ Yes ] [ No ] [ Cancel ]");
  ASSERT_GT(row, 0);
  EXPECT_TRUE(grid.At(row, FindCol(grid, row, U"[ No ]")).attr & kReverse);
  EXPECT_TRUE(grid.At(row, FindCol(grid, row, U"[ No ]")).attr & kBold);
  EXPECT_FALSE(grid.At(row, FindCol(grid, row, U"[ Yes ]")).attr & kReverse);
}

TEST(TerminalLayout, LongBoxTextWrapsAndOnASmallScreenIsCut) {
  FakeEdits edits;
  screen::Snapshot s = MainScreen({});
  std::u16string text;
  for (int i = 0; i < 40; ++i) text += u"word" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u" ";
  s.modals.push_back(Box(3, text, u"Long", MB_OK, {IDOK}));
  UiState ui;
  SyncUi(s, ui);
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);
  // Every line inside the box, no word split.
  int first = FindRow(grid, "worda");
  ASSERT_GT(first, 0);
  for (int r = first; r < FindRow(grid, "[ OK ]") - 1; ++r) {
    std::string row = grid.RowText(r);
    EXPECT_THAT(row, Not(HasSubstr("wor ")));
  }
  EXPECT_GT(FindRow(grid, "wordn "), first);  // the text continues on later rows

  Grid small = Layout(s, edits, ui, 12, 40);
  Geometry sg = ComputeGeometry(12, 40);
  ASSERT_EQ(sg.workRows, 6);
  const int ok = FindRow(small, "[ OK ]");
  ASSERT_GT(ok, 0);
  EXPECT_LT(ok, sg.MenuRow());
  // The text that fits ends in an ellipsis.
  bool cut = false;
  for (int r = sg.WorkTop(); r < ok; ++r) cut = cut || FindCol(small, r, std::u32string(1, kEllipsis)) >= 0;
  EXPECT_TRUE(cut);
  (void)g;
}

TEST(TerminalLayout, AboutBoxWordWrappedInItsRectangle) {
  FakeEdits edits;
  edits.text[kLog] = {u"Orvane Q88 Firmware Utility"};
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  s.modals.push_back(AboutDialog());
  UiState ui;
  SyncUi(s, ui);
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);

  const int top = FindRow(grid, " About ");
  ASSERT_GT(top, 0);
  const int left = FindCol(grid, top, std::u32string(1, kTopLeft));
  const int right = FindCol(grid, top, std::u32string(1, kTopRight));
  // A 204-pixel client area: 34 columns inside the border, centred.
  EXPECT_EQ(right - left + 1, 36);
  EXPECT_NEAR(left - g.InnerLeft(), (g.innerCols - (right - left + 1)) / 2, 1);

  // The text's words, in order, on rows inside the frame, no line wider
  // than the static control's 171 pixels (28 or 29 columns).
  CellRect text = MapRect(g, AboutDialog().dialog.controls[0].rect);
  std::string joined;
  int rows = 0;
  for (int r = top + 1; r < grid.rows; ++r) {
    if (grid.At(r, left).ch == kBottomLeft) break;
    std::u32string line;
    for (int c = left + 1; c < right; ++c) line += grid.At(r, c).ch;
    while (!line.empty() && line.back() == U' ') line.pop_back();
    size_t start = line.find_first_not_of(U' ');
    if (start == std::u32string::npos) continue;
    EXPECT_GE(static_cast<int>(start) + left + 1, text.left);
    EXPECT_LE(static_cast<int>(line.size()) + left + 1, text.right);
    if (!joined.empty()) joined += ' ';
    joined += ToUtf8(line.substr(start));
    ++rows;
  }
  EXPECT_EQ(joined, ToUtf8(ToU32(std::u16string(kAboutTextContent))));
  EXPECT_GE(rows, 4);
  EXPECT_THAT(grid.RowText(g.helpRow), HasSubstr("Enter OK"));
}

TEST(TerminalLayout, DialogButtonsAndFocus) {
  FakeEdits edits;
  screen::Snapshot s = MainScreen({});
  screen::ModalView about = AboutDialog();
  screen::ControlView ok;
  ok.hwnd = Handle(0x302);
  ok.parent = kAbout;
  ok.className = u"BUTTON";
  ok.id = IDOK;
  ok.text = u"&OK";
  RECT r = about.dialog.rect;
  ok.rect = RECT{r.left + 80, r.bottom - 20, r.left + 130, r.bottom - 6};
  ok.style = WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON;
  ok.focused = true;
  about.dialog.controls[0].rect.bottom -= 26;  // room for the button
  about.dialog.controls.push_back(ok);
  s.modals.push_back(about);
  UiState ui;
  Grid grid = Layout(s, edits, ui, 26, 80);
  const int row = FindRow(grid, "[ OK ]");
  ASSERT_GT(row, 0);
  const int col = FindCol(grid, row, U"[ OK ]");
  EXPECT_TRUE(grid.At(row, col).attr & kReverse);
  EXPECT_TRUE(grid.At(row, col + 2).attr & kUnderline);  // the mnemonic O
}

TEST(TerminalLayout, TooSmallTerminalSaysSo) {
  FakeEdits edits;
  UiState ui;
  Grid grid = Layout(MainScreen({u"x"}), edits, ui, 6, 30);
  EXPECT_EQ(grid.rows, 6);
  EXPECT_THAT(grid.Text(), HasSubstr("Terminal too small"));
  EXPECT_THAT(grid.Text(), Not(HasSubstr("Firmware Utility")));
  EXPECT_EQ(edits.calls, 0u);
  // Even a one-cell terminal gets no out-of-range write.
  Grid tiny = Layout(MainScreen({u"x"}), edits, ui, 1, 1);
  EXPECT_EQ(tiny.cells.size(), 1u);
}

TEST(TerminalLayout, RebootingPromptAndNotice) {
  FakeEdits edits;
  edits.text[kLog] = {u"Firmware Updated....Done"};
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  UiState ui;
  ui.status = u"module: reset";
  Geometry g = ComputeGeometry(26, 80);

  ui.prompting = true;
  ui.promptText = U"120";
  Grid grid = Layout(s, edits, ui, 26, 80);
  EXPECT_THAT(grid.RowText(g.statusRow), HasSubstr("Command: 120"));
  EXPECT_EQ(grid.cursorRow, g.statusRow);
  EXPECT_EQ(grid.cursorCol, FindCol(grid, g.statusRow, U"120") + 3);
  ui.prompting = false;

  ui.notice = U"Not a command identifier: x";
  grid = Layout(s, edits, ui, 26, 80);
  EXPECT_THAT(grid.RowText(g.statusRow), HasSubstr("Not a command identifier: x"));
  ui.notice.clear();

  ui.rebooting = true;
  grid = Layout(s, edits, ui, 26, 80);
  EXPECT_GT(FindRow(grid, "Rebooting..."), g.TitleRow());
  EXPECT_EQ(FindRow(grid, "Firmware Utility"), -1);
  EXPECT_EQ(FindRow(grid, "Firmware Updated"), -1);
  EXPECT_THAT(grid.RowText(g.statusRow), HasSubstr("module: reset"));
}

TEST(TerminalLayout, NoProgramWindowLeavesAnEmptyScreen) {
  FakeEdits edits;
  screen::Snapshot s;
  UiState ui;
  Grid grid = Layout(s, edits, ui, 26, 80);
  Geometry g = ComputeGeometry(26, 80);
  for (int k = 0; k < g.workRows; ++k) EXPECT_EQ(WorkRow(grid, g, k), std::string(40, ' '));
  EXPECT_EQ(edits.calls, 0u);
}

// During the image transfer the status line leads with how far the image
// has come and the time left at the measured rate; on the common 80x24
// terminal that part is never cut, however long the rest of the line.
TEST(TerminalLayout, StatusLineLeadsWithTheTransfersProgressAndTimeLeft) {
  // 923000 of 2493720 bytes at 11520 B/s: 37% (rounded down), 136.3 s left.
  EXPECT_EQ(ProgressText(u"image", 923000, 2493720, 11520), u"image 37%, 2:17 left");
  EXPECT_EQ(ProgressText(u"image", 0, 2493720, 11520), u"image 0%, 3:37 left");
  EXPECT_EQ(ProgressText(u"image", 2493719, 2493720, 11520), u"image 99%, 0:01 left");
  EXPECT_EQ(ProgressText(u"image", 2493720, 2493720, 11520), u"image 100%, 0:00 left");
  EXPECT_EQ(ProgressText(u"image", 923000, 2493720, 0), u"image 37%");  // no rate measured yet
  EXPECT_EQ(ProgressText(u"image", 0, 360000, 100), u"image 0%, 1:00:00 left");
  EXPECT_EQ(ProgressText(u"image", 5000, 4000, 100), u"image 100%, 0:00 left");

  FakeEdits edits;
  edits.text[kLog] = {u"Wait a moment please...", u"#######################", u"####"};
  UiState ui;
  ui.status = ProgressText(u"image", 923000, 2493720, 11520) +
              u" | 11532 B/s | transfer image-sections | rx 932617 tx 240 | resets 1 refusals 0 | flash empty | "
              u"radio off";
  screen::Snapshot s = MainScreen(edits.text[kLog]);
  for (int cols : {80, 60}) {
    Grid grid = Layout(s, edits, ui, 24, cols);
    Geometry g = ComputeGeometry(24, cols);
    std::string row = grid.RowText(g.statusRow);
    EXPECT_EQ(row.find("image 37%, 2:17 left | "), 0u) << row;
    EXPECT_THAT(row, HasSubstr("B/s")) << row;
  }
}

}  // namespace
}  // namespace terminal
