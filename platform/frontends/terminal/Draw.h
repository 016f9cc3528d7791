// The pieces Layout() draws the screen with, shared by the files that draw
// one concern each: Cells.cpp (pixels to cells, text in cells),
// DrawControls.cpp, DrawMenus.cpp and DrawModals.cpp. Internal to the
// terminal front end.
#pragma once

#include <vector>

#include "frontends/terminal/Layout.h"

namespace terminal::draw {

// ---------------------------------------------------------------- cells

inline constexpr int kTitlePixels = screen::kTitleBarHeight;
inline constexpr int kWorkPixels = screen::kHeight - screen::kTitleBarHeight - screen::kMenuBarHeight;

// a / b rounded to the nearest, for a >= 0, b > 0.
int RoundDiv(long long a, long long b);
// a / b rounded up; 0 for a <= 0.
int CeilDiv(long long a, long long b);

// Where the pixels of a window's client area land: a pixel point and the
// cell it falls on; other points keep the screen's scale around it.
struct Origin {
  POINT pixels{};
  int row = 0, col = 0;
};
CellRect MapFrom(const Geometry& g, const Origin& o, const RECT& px);
// The screen's pixel row y as a terminal row (title bar, work area or menu bar).
int RowOf(const Geometry& g, int y);
// The screen's pixel column x as a terminal column.
int ColOf(const Geometry& g, int x);
CellRect Intersect(const CellRect& a, const CellRect& b);
CellRect WorkArea(const Geometry& g);

// Writes `text` into `width` cells; text that does not fit ends in an ellipsis.
void PutCut(Grid& grid, int row, int col, std::u32string_view text, uint8_t attr, int width);
// A label with its mnemonic underlined; returns the cells written.
int PutLabel(Grid& grid, int row, int col, const Label& label, uint8_t attr, int width);
// A caption in a frame's top border, a space either side.
void PutCaption(Grid& grid, int top, int left, int width, std::u32string_view caption);

// ------------------------------------------------------------- concerns

// Controls whose ancestors within the window are all visible, clipped to `clip`.
void DrawControls(Grid& grid, const Geometry& g, const screen::WindowView& w, const Origin& origin,
                  const CellRect& clip, EditSource& edits);

// The menu bar; returns the column where each button starts.
std::vector<int> DrawMenuBar(Grid& grid, const Geometry& g, const screen::Snapshot& s);
// The open popup and its open sub-popups, anchored on the buttons' columns.
void DrawPopups(Grid& grid, const Geometry& g, const screen::Snapshot& s, const UiState& ui,
                const std::vector<int>& starts);
// Keeps the menu navigation on the open popup's items that can be chosen.
void SyncMenu(const screen::Snapshot& s, UiState& ui);

// A message box; `selected` is the index of the chosen button (-1: none).
void DrawBox(Grid& grid, const Geometry& g, const screen::BoxView& box, int selected);
void DrawDialog(Grid& grid, const Geometry& g, const screen::WindowView& d, EditSource& edits);
// Keeps the chosen button on the box on top, the default one for a new box.
void SyncBox(const screen::Snapshot& s, UiState& ui);

}  // namespace terminal::draw
