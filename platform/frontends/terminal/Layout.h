// Lays the handset's screen out into a character grid.
//
// The QVGA screen (240x320 pixels) maps onto a frame of 40 columns, one
// column per 6-pixel character cell of the System font. Rows: the title bar
// and the menu bar take one row each, the work area between them 20 rows
// (268 pixels at 13 pixels a text line, so the log view shows exactly the
// lines the edit control counts as visible). With its border the frame is
// 42x24; below it come the status line and the key help, 26 rows in all.
// A smaller terminal shrinks the frame to what fits (at least 20x3 cells of
// work area); pixel positions scale with it. Smaller still: a notice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/terminal/Grid.h"
#include "windowing/Screen.h"

namespace terminal {

inline constexpr int kNaturalCols = 40;      // screen::kWidth / screen::kCharWidth
inline constexpr int kNaturalWorkRows = 20;  // work area height / screen::kLineHeight
inline constexpr int kMinCols = 20;
inline constexpr int kMinWorkRows = 3;
// Border, title bar, menu bar, border, status line, key help.
inline constexpr int kExtraRows = 6;
inline constexpr int kMinTerminalCols = kMinCols + 2;
inline constexpr int kMinTerminalRows = kMinWorkRows + kExtraRows;

struct Geometry {
  bool tooSmall = false;
  int frameTop = 0;   // the frame's border row
  int frameLeft = 0;  // the frame's border column
  int innerCols = 0;  // columns inside the border: the screen's width
  int workRows = 0;   // rows of the work area
  int statusRow = 0;
  int helpRow = 0;
  int TitleRow() const { return frameTop + 1; }
  int WorkTop() const { return frameTop + 2; }
  int MenuRow() const { return frameTop + 2 + workRows; }
  int InnerLeft() const { return frameLeft + 1; }
};

Geometry ComputeGeometry(int termRows, int termCols);

// A screen rectangle in grid cells: rows [top, bottom), columns [left, right).
struct CellRect {
  int top = 0, left = 0, bottom = 0, right = 0;
  int Rows() const { return bottom - top; }
  int Cols() const { return right - left; }
};
CellRect MapRect(const Geometry& g, const RECT& pixels);

// Where the front end's own state stands: menu navigation, the chosen
// button of a box, the command prompt, notices. Kept between redraws.
struct UiState {
  // The popup being navigated: the menu-bar button, and the highlighted
  // item on each level (sub-popups append a level).
  int menuButton = -1;
  std::vector<int> menuPath;
  // The message box the person answers, and its highlighted button.
  uint64_t boxId = 0;
  int boxButton = 0;
  // The command prompt.
  bool prompting = false;
  std::u32string promptText;
  // A one-line notice in place of the status line until the next key.
  std::u32string notice;
  bool rebooting = false;
  std::u16string status;
};

// The edit controls' lines: the live screen, or a test's hand-made text.
class EditSource {
 public:
  virtual ~EditSource() = default;
  virtual std::vector<std::u16string> Lines(HWND edit, size_t first, size_t count) = 0;
};

// Brings the navigation state in line with what the snapshot shows (a menu
// opened or closed elsewhere, a new box on top, items that changed).
void SyncUi(const screen::Snapshot& s, UiState& ui);

// The topmost box that still waits for an answer, if it is also the topmost
// thing on the screen; null otherwise.
const screen::BoxView* TopBox(const screen::Snapshot& s);
// The topmost dialog when it is the topmost thing on the screen.
const screen::WindowView* TopDialog(const screen::Snapshot& s);
// The open popup's items at each level of ui.menuPath (level 0 the popup of
// the open button). Empty when no menu is open.
std::vector<const std::vector<screen::MenuItemView>*> MenuLevels(const screen::Snapshot& s, const UiState& ui);
// An item that can be chosen: no separator, enabled.
bool Selectable(const screen::MenuItemView& item);
// The first item that can be chosen; -1 when there is none.
int FirstSelectable(const std::vector<screen::MenuItemView>& items);

// The whole terminal.
Grid Layout(const screen::Snapshot& s, EditSource& edits, const UiState& ui, int termRows, int termCols);

std::u32string ButtonName(int id);

// The status line's account of a transfer under way, meant to lead the line
// so that a narrow terminal cuts something else: "image 37%, 2:17 left" for
// `done` of `total` bytes with the rest at `bytesPerSecond`; the percentage
// alone while there is no rate to go by.
std::u16string ProgressText(std::u16string_view what, uint64_t done, uint64_t total, double bytesPerSecond);

}  // namespace terminal
