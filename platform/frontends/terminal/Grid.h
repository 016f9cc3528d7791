// A character grid: what the terminal front end shows, laid out without
// ncurses so that it can be tested and captured as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace terminal {

enum Attr : uint8_t {
  kPlain = 0,
  kReverse = 1,
  kBold = 2,
  kDim = 4,
  kUnderline = 8,
};

// Line-drawing characters as they sit in the grid; the ncurses layer turns
// them into its alternate character set.
inline constexpr char32_t kHLine = U'\u2500';
inline constexpr char32_t kVLine = U'\u2502';
inline constexpr char32_t kTopLeft = U'\u250C';
inline constexpr char32_t kTopRight = U'\u2510';
inline constexpr char32_t kBottomLeft = U'\u2514';
inline constexpr char32_t kBottomRight = U'\u2518';
inline constexpr char32_t kTeeLeft = U'\u251C';   // separator start
inline constexpr char32_t kTeeRight = U'\u2524';  // separator end
inline constexpr char32_t kTrack = U'\u2591';     // scroll bar track
inline constexpr char32_t kThumb = U'\u2588';     // scroll bar thumb
inline constexpr char32_t kCheck = U'\u2713';     // menu check mark
inline constexpr char32_t kSubmenu = U'\u25B8';   // item opens a popup
inline constexpr char32_t kEllipsis = U'\u2026';  // text cut short

struct Cell {
  char32_t ch = U' ';
  uint8_t attr = kPlain;
  bool operator==(const Cell&) const = default;
};

struct Grid {
  int rows = 0;
  int cols = 0;
  std::vector<Cell> cells;
  // Where the terminal's cursor goes; -1: hidden.
  int cursorRow = -1;
  int cursorCol = -1;

  Grid() = default;
  Grid(int rows, int cols);

  bool Contains(int row, int col) const { return row >= 0 && row < rows && col >= 0 && col < cols; }
  const Cell& At(int row, int col) const { return cells[static_cast<size_t>(row * cols + col)]; }
  // Ignores positions outside the grid, so drawing clips itself.
  void Set(int row, int col, char32_t ch, uint8_t attr = kPlain);
  // Writes `text` from (row, col) on, at most `width` cells (-1: to the edge).
  // Returns the number of cells written.
  int Put(int row, int col, std::u32string_view text, uint8_t attr = kPlain, int width = -1);
  void Fill(int row, int col, int height, int width, char32_t ch, uint8_t attr = kPlain);
  // A frame with its corners at (top, left) and (bottom, right) inclusive;
  // the inside is cleared when `clear` is set.
  void Frame(int top, int left, int bottom, int right, uint8_t attr = kPlain, bool clear = true);

  // One row as UTF-8, trailing blanks removed. With `ascii`, line drawing
  // becomes + - | and other non-ASCII characters '?' (captures for tests).
  std::string RowText(int row, bool ascii = false) const;
  // All rows joined by '\n'.
  std::string Text(bool ascii = false) const;
};

// ---------------------------------------------------------------- text

std::u32string ToU32(std::u16string_view text);
std::u32string ToU32(std::string_view ascii);
std::string ToUtf8(std::u32string_view text);

// A line of an edit control as cells: tabs expand to the control's next
// tab stop (screen::kTabColumns), other control characters show as '?',
// surrogate pairs join; the cells the control counts columns in.
std::u32string ExpandLine(std::u16string_view line);

// Breaks `text` into lines of at most `width` cells: at line ends ("\r\n",
// "\n", "\r"), else at spaces; words longer than a line are cut.
std::vector<std::u32string> WordWrap(std::u32string_view text, int width);

// A menu or button label: '&' marks the mnemonic ("&&" is a literal '&'),
// a tab separates the accelerator text that goes to the right.
struct Label {
  std::u32string text;
  std::u32string accelerator;
  int mnemonic = -1;  // index into text; -1: none
};
Label ParseLabel(std::u16string_view label);

}  // namespace terminal
