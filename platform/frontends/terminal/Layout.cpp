#include "frontends/terminal/Layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace terminal {
namespace {

using screen::BoxView;
using screen::ControlView;
using screen::MenuItemView;
using screen::Snapshot;
using screen::WindowView;

constexpr int kTitlePixels = screen::kTitleBarHeight;
constexpr int kWorkPixels = screen::kHeight - screen::kTitleBarHeight - screen::kMenuBarHeight;

// a / b rounded to the nearest, for a >= 0, b > 0.
int RoundDiv(long long a, long long b) { return static_cast<int>((2 * a + b) / (2 * b)); }

// a / b rounded to the nearest for any a, b > 0.
int SignedRoundDiv(long long a, long long b) {
  long long n = 2 * a + b, d = 2 * b;
  return static_cast<int>(n >= 0 ? n / d : -((-n + d - 1) / d));
}

int CeilDiv(long long a, long long b) { return static_cast<int>(a <= 0 ? 0 : (a + b - 1) / b); }

// Where the pixels of a window's client area land: a pixel point and the
// cell it falls on; other points keep the screen's scale around it.
struct Origin {
  POINT pixels{};
  int row = 0, col = 0;
};

CellRect MapFrom(const Geometry& g, const Origin& o, const RECT& px) {
  auto col = [&](LONG x) {
    return o.col + SignedRoundDiv(static_cast<long long>(x - o.pixels.x) * g.innerCols, screen::kWidth);
  };
  auto row = [&](LONG y) {
    return o.row + SignedRoundDiv(static_cast<long long>(y - o.pixels.y) * g.workRows,
                                  screen::kHeight - screen::kTitleBarHeight - screen::kMenuBarHeight);
  };
  CellRect r{row(px.top), col(px.left), row(px.bottom), col(px.right)};
  // Something a few pixels tall or wide still gets its cell.
  if (r.bottom <= r.top && px.bottom > px.top) r.bottom = r.top + 1;
  if (r.right <= r.left && px.right > px.left) r.right = r.left + 1;
  if (r.bottom < r.top) r.bottom = r.top;
  if (r.right < r.left) r.right = r.left;
  return r;
}

int ColOf(const Geometry& g, int x) {
  x = std::clamp(x, 0, screen::kWidth);
  return g.InnerLeft() + RoundDiv(static_cast<long long>(x) * g.innerCols, screen::kWidth);
}

int RowOf(const Geometry& g, int y) {
  y = std::clamp(y, 0, screen::kHeight);
  if (y <= kTitlePixels) return g.TitleRow() + RoundDiv(y, kTitlePixels);
  if (y <= kTitlePixels + kWorkPixels) {
    return g.WorkTop() + RoundDiv(static_cast<long long>(y - kTitlePixels) * g.workRows, kWorkPixels);
  }
  return g.MenuRow() + RoundDiv(y - kTitlePixels - kWorkPixels, screen::kMenuBarHeight);
}

CellRect Intersect(const CellRect& a, const CellRect& b) {
  CellRect r{std::max(a.top, b.top), std::max(a.left, b.left), std::min(a.bottom, b.bottom),
             std::min(a.right, b.right)};
  if (r.bottom < r.top) r.bottom = r.top;
  if (r.right < r.left) r.right = r.left;
  return r;
}

CellRect WorkArea(const Geometry& g) {
  return CellRect{g.WorkTop(), g.InnerLeft(), g.MenuRow(), g.InnerLeft() + g.innerCols};
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? static_cast<char16_t>(a[i] + 32) : a[i];
    char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? static_cast<char16_t>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// Writes `text` into `width` cells; text that does not fit ends in an ellipsis.
void PutCut(Grid& grid, int row, int col, std::u32string_view text, uint8_t attr, int width) {
  if (width <= 0) return;
  if (static_cast<int>(text.size()) <= width) {
    grid.Put(row, col, text, attr, width);
    return;
  }
  grid.Put(row, col, text.substr(0, static_cast<size_t>(width - 1)), attr, width - 1);
  grid.Set(row, col + width - 1, kEllipsis, attr);
}

// A label with its mnemonic underlined.
int PutLabel(Grid& grid, int row, int col, const Label& label, uint8_t attr, int width) {
  int n = grid.Put(row, col, label.text, attr, width);
  if (label.mnemonic >= 0 && label.mnemonic < n) {
    grid.Set(row, col + label.mnemonic, label.text[static_cast<size_t>(label.mnemonic)],
             static_cast<uint8_t>(attr | kUnderline));
  }
  return n;
}

bool Selectable(const MenuItemView& item) { return !item.separator && item.enabled; }

int FirstSelectable(const std::vector<MenuItemView>& items) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (Selectable(items[i])) return static_cast<int>(i);
  }
  return -1;
}

// ------------------------------------------------------------- controls

void DrawEdit(Grid& grid, const CellRect& r, const ControlView& c, EditSource& edits, UiState& ui) {
  const screen::EditState& st = *c.edit;
  const bool vscroll = (c.style & WS_VSCROLL) && st.multiLine && r.Cols() > 1;
  const int textCols = r.Cols() - (vscroll ? 1 : 0);
  const size_t rows = static_cast<size_t>(r.Rows());
  const size_t first = st.firstVisibleLine;
  const size_t visible = std::max<size_t>(st.visibleLines, 1);

  // The caret's line is known when it stands at the end of the text, where
  // a log view keeps it. When the frame shows fewer rows than the control
  // counts as visible, keep that line on screen: it is the newest.
  const bool caretAtEnd = st.caret == st.length;
  const size_t caretLine = st.lineCount > 0 ? st.lineCount - 1 : 0;
  size_t start = first;
  if (caretAtEnd && caretLine >= first && caretLine < first + visible && caretLine >= first + rows) {
    start = caretLine + 1 - rows;
  }
  std::vector<std::u16string> lines = edits.Lines(c.hwnd, start, rows);
  std::vector<std::u32string> cells;
  cells.reserve(lines.size());
  for (const auto& line : lines) cells.push_back(ExpandLine(line));

  // ES_AUTOHSCROLL: the view slides sideways to keep the caret in sight, a
  // quarter of its width at a time as the control does; without it long
  // lines are cut at the edge.
  size_t shift = 0;
  if (c.style & ES_AUTOHSCROLL) {
    size_t& h = ui.hscroll[c.hwnd];
    if (caretAtEnd && caretLine >= start && caretLine < start + cells.size() && textCols > 0) {
      size_t col = cells[caretLine - start].size();
      if (col < h) {
        h = col;
      } else if (col >= h + static_cast<size_t>(textCols)) {
        h = std::min(col, col + 1 - static_cast<size_t>(textCols) + static_cast<size_t>(textCols) / 4);
      }
    }
    shift = h;
  }
  for (size_t i = 0; i < cells.size(); ++i) {
    std::u32string_view view = cells[i];
    view = shift < view.size() ? view.substr(shift) : std::u32string_view();
    grid.Put(r.top + static_cast<int>(i), r.left, view, kPlain, textCols);
  }

  if (vscroll) {
    const int col = r.right - 1;
    grid.Fill(r.top, col, r.Rows(), 1, kTrack);
    if (st.lineCount > visible && r.Rows() > 0) {
      const size_t track = rows;
      size_t thumb = std::max<size_t>(1, track * visible / st.lineCount);
      size_t maxFirst = st.lineCount - visible;
      size_t pos = (track - thumb) * std::min(first, maxFirst) / maxFirst;
      grid.Fill(r.top + static_cast<int>(pos), col, static_cast<int>(thumb), 1, kThumb);
    }
  }
}

void DrawStaticText(Grid& grid, const CellRect& r, const ControlView& c) {
  std::vector<std::u32string> lines = WordWrap(ToU32(c.text), r.Cols());
  const DWORD align = c.style & 0x3;  // SS_LEFT, SS_CENTER, SS_RIGHT
  const uint8_t attr = c.enabled ? kPlain : kDim;
  for (int i = 0; i < r.Rows() && i < static_cast<int>(lines.size()); ++i) {
    std::u32string_view line = lines[static_cast<size_t>(i)];
    int pad = 0;
    if (align == SS_CENTER) pad = std::max(0, (r.Cols() - static_cast<int>(line.size())) / 2);
    if (align == SS_RIGHT) pad = std::max(0, r.Cols() - static_cast<int>(line.size()));
    std::u32string shown(line);
    if (i == r.Rows() - 1 && static_cast<int>(lines.size()) > r.Rows()) shown += kEllipsis;  // more text follows
    PutCut(grid, r.top + i, r.left + pad, shown, attr, r.Cols() - pad);
  }
}

void DrawButton(Grid& grid, const CellRect& r, const ControlView& c) {
  const DWORD kind = c.style & 0xF;
  Label label = ParseLabel(c.text);
  uint8_t attr = c.enabled ? kPlain : kDim;
  const int row = r.top + std::max(0, (r.Rows() - 1) / 2);
  if (kind == 7) {  // BS_GROUPBOX
    grid.Frame(r.top, r.left, r.bottom - 1, r.right - 1, attr, false);
    PutLabel(grid, r.top, r.left + 1, label, attr, r.Cols() - 2);
    return;
  }
  std::u32string prefix;
  if (kind == 2 || kind == 3 || kind == 5 || kind == 6) prefix = U"[ ] ";  // check boxes
  if (kind == 4 || kind == 9) prefix = U"( ) ";                            // radio buttons
  if (c.focused) attr |= kReverse;
  if (!prefix.empty()) {
    int n = grid.Put(row, r.left, prefix, attr, r.Cols());
    PutLabel(grid, row, r.left + n, label, attr, r.Cols() - n);
    return;
  }
  if (kind == BS_DEFPUSHBUTTON) attr |= kBold;
  const int inner = static_cast<int>(label.text.size()) + 4;
  const int left = r.left + std::max(0, (r.Cols() - inner) / 2);
  grid.Put(row, left, U"[ ", attr, r.right - left);
  PutLabel(grid, row, left + 2, label, attr, r.right - left - 2);
  grid.Put(row, left + 2 + static_cast<int>(label.text.size()), U" ]", attr,
           r.right - left - 2 - static_cast<int>(label.text.size()));
}

void DrawControl(Grid& grid, const Geometry& g, const ControlView& c, const Origin& origin, const CellRect& clip,
                 EditSource& edits, UiState& ui) {
  CellRect r = Intersect(MapFrom(g, origin, c.rect), clip);
  if (r.Rows() <= 0 || r.Cols() <= 0) return;
  grid.Fill(r.top, r.left, r.Rows(), r.Cols(), U' ');
  if (c.edit) {
    DrawEdit(grid, r, c, edits, ui);
  } else if (EqualsNoCase(c.className, u"button")) {
    DrawButton(grid, r, c);
  } else {
    DrawStaticText(grid, r, c);
  }
}

// Controls whose ancestors within the window are all visible.
void DrawControls(Grid& grid, const Geometry& g, const WindowView& w, const Origin& origin, const CellRect& clip,
                  EditSource& edits, UiState& ui) {
  std::set<HWND> hidden;
  for (const ControlView& c : w.controls) {
    if (!c.visible || hidden.count(c.parent)) {
      hidden.insert(c.hwnd);
      continue;
    }
    DrawControl(grid, g, c, origin, clip, edits, ui);
  }
}

// -------------------------------------------------------------- pieces

void DrawTitleBar(Grid& grid, const Geometry& g, const Snapshot& s) {
  const int row = g.TitleRow();
  grid.Fill(row, g.InnerLeft(), 1, g.innerCols, U' ', kReverse);
  int room = g.innerCols - 2;
  if (s.doneButton) {
    grid.Put(row, g.InnerLeft() + g.innerCols - 5, U"[ok]", kReverse | kBold);
    room -= 5;
  }
  PutCut(grid, row, g.InnerLeft() + 1, ToU32(s.title), kReverse | kBold, room);
}

// Returns the column where each button starts.
std::vector<int> DrawMenuBar(Grid& grid, const Geometry& g, const Snapshot& s) {
  const int row = g.MenuRow();
  grid.Fill(row, g.InnerLeft(), 1, g.innerCols, U' ', kReverse);
  std::vector<int> starts;
  if (!s.menuBar) return starts;
  int col = g.InnerLeft();
  const int end = g.InnerLeft() + g.innerCols;
  for (size_t i = 0; i < s.menuBar->buttons.size(); ++i) {
    const screen::MenuButtonView& b = s.menuBar->buttons[i];
    starts.push_back(col);
    uint8_t attr = static_cast<int>(i) == s.menuBar->openButton ? kPlain : kReverse;
    if (!b.enabled) attr |= kDim;
    Label label = ParseLabel(b.label);
    if (col < end) grid.Set(row, col, U' ', attr);
    int n = PutLabel(grid, row, col + 1, label, attr, std::max(0, end - col - 2));
    if (col + 1 + n < end) grid.Set(row, col + 1 + n, U' ', attr);
    col += n + 2;
  }
  return starts;
}

struct PopupPlacement {
  int top = 0, left = 0, bottom = 0, right = 0;  // the frame, inclusive
  std::vector<int> itemRows;                     // row of each item; -1 when scrolled out of view
};

PopupPlacement DrawPopup(Grid& grid, const Geometry& g, const std::vector<MenuItemView>& items, int highlight,
                         int anchorCol, int anchorTop, bool growUp) {
  PopupPlacement p;
  const int n = static_cast<int>(items.size());
  bool anySub = false;
  size_t textW = 0, accelW = 0;
  std::vector<Label> labels;
  for (const MenuItemView& item : items) {
    labels.push_back(ParseLabel(item.text));
    textW = std::max(textW, labels.back().text.size());
    accelW = std::max(accelW, labels.back().accelerator.size());
    anySub = anySub || item.popup;
  }
  // Border, a space, the check column, the text, the accelerator, the
  // popup mark, a space, border.
  int width = 2 + 1 + 2 + static_cast<int>(textW) + (accelW ? 2 + static_cast<int>(accelW) : 0) + (anySub ? 2 : 0) + 1;
  width = std::min(width, g.innerCols);
  const int visible = std::max(0, std::min(n, g.workRows - 2));
  const int height = visible + 2;
  p.left = std::clamp(anchorCol, g.InnerLeft(), g.InnerLeft() + g.innerCols - width);
  p.right = p.left + width - 1;
  if (growUp) {
    p.bottom = anchorTop;
    p.top = p.bottom - height + 1;
  } else {
    p.top = anchorTop;
    p.bottom = p.top + height - 1;
  }
  if (p.bottom > g.MenuRow() - 1) {
    p.top -= p.bottom - (g.MenuRow() - 1);
    p.bottom = g.MenuRow() - 1;
  }
  if (p.top < g.WorkTop()) {
    p.bottom += g.WorkTop() - p.top;
    p.top = g.WorkTop();
  }
  grid.Frame(p.top, p.left, p.bottom, p.right);

  int firstShown = 0;
  if (highlight >= visible) firstShown = highlight - visible + 1;
  firstShown = std::clamp(firstShown, 0, std::max(0, n - visible));
  p.itemRows.assign(items.size(), -1);
  const int inner = width - 2;
  for (int k = 0; k < visible; ++k) {
    const int i = firstShown + k;
    const int row = p.top + 1 + k;
    p.itemRows[static_cast<size_t>(i)] = row;
    const MenuItemView& item = items[static_cast<size_t>(i)];
    if (item.separator) {
      grid.Set(row, p.left, kTeeLeft);
      grid.Fill(row, p.left + 1, 1, inner, kHLine);
      grid.Set(row, p.right, kTeeRight);
      continue;
    }
    uint8_t attr = i == highlight ? kReverse : kPlain;
    if (!item.enabled) attr |= kDim;
    grid.Fill(row, p.left + 1, 1, inner, U' ', attr);
    int col = p.left + 2;
    if (item.checked) grid.Set(row, col, kCheck, attr);
    col += 2;
    const Label& label = labels[static_cast<size_t>(i)];
    const int tail = (accelW ? 2 + static_cast<int>(accelW) : 0) + (anySub ? 2 : 0) + 1;
    const int room = p.right - col - tail;
    if (static_cast<int>(label.text.size()) > room) {
      PutCut(grid, row, col, label.text, attr, room);
    } else {
      PutLabel(grid, row, col, label, attr, room);
    }
    if (!label.accelerator.empty()) {
      int acol = p.right - 1 - (anySub ? 2 : 0) - static_cast<int>(label.accelerator.size());
      grid.Put(row, acol, label.accelerator, attr, p.right - acol - 1);
    }
    if (item.popup) grid.Set(row, p.right - 2, kSubmenu, attr);
  }
  return p;
}

void DrawPopups(Grid& grid, const Geometry& g, const Snapshot& s, const UiState& ui, const std::vector<int>& starts) {
  auto levels = MenuLevels(s, ui);
  if (levels.empty()) return;
  int anchorCol =
      ui.menuButton < static_cast<int>(starts.size()) ? starts[static_cast<size_t>(ui.menuButton)] : g.InnerLeft();
  int anchorRow = g.MenuRow() - 1;
  bool growUp = true;
  for (size_t level = 0; level < levels.size(); ++level) {
    int highlight = level < ui.menuPath.size() ? ui.menuPath[level] : -1;
    PopupPlacement p = DrawPopup(grid, g, *levels[level], highlight, anchorCol, anchorRow, growUp);
    if (level + 1 < levels.size()) {
      // The next level opens beside the highlighted item.
      int itemRow = highlight >= 0 ? p.itemRows[static_cast<size_t>(highlight)] : p.top + 1;
      anchorRow = std::max(itemRow, p.top + 1) - 1;
      anchorCol = p.right;
      growUp = false;
    }
  }
}

const char32_t* IconText(UINT icon) {
  switch (icon) {
    case MB_ICONHAND:
      return U"(x)";
    case MB_ICONQUESTION:
      return U"(?)";
    case MB_ICONEXCLAMATION:
      return U"(!)";
    case MB_ICONASTERISK:
      return U"(i)";
    default:
      return U"";
  }
}

void DrawBox(Grid& grid, const Geometry& g, const BoxView& box, int selected) {
  std::u32string icon = IconText(box.icon);
  const int iconW = icon.empty() ? 0 : static_cast<int>(icon.size()) + 1;
  std::u32string text = ToU32(box.text);
  std::u32string caption = ToU32(box.caption);

  std::vector<std::u32string> names;
  int buttonsW = 0;
  for (int id : box.buttons) {
    names.push_back(U"[ " + ButtonName(id) + U" ]");
    buttonsW += static_cast<int>(names.back().size()) + (names.size() > 1 ? 1 : 0);
  }
  // As wide as the longest paragraph wants, within the screen.
  int natural = 0;
  for (const auto& para : WordWrap(text, 1 << 20)) natural = std::max(natural, static_cast<int>(para.size()));
  const int maxW = std::max(g.innerCols - 2, 8);
  const int width = std::clamp(std::max({natural + iconW, buttonsW, static_cast<int>(caption.size()) + 2}) + 4, 20,
                               maxW);  // border and a space each side
  const int textW = width - 4 - iconW;
  std::vector<std::u32string> lines = WordWrap(text, textW);
  // Border, text, a blank row, the buttons, border; on a short screen the
  // blank row goes first, then text from the end.
  int height = static_cast<int>(lines.size()) + 4;
  if (height > g.workRows) --height;
  if (height > g.workRows) {
    const int keep = std::max(0, g.workRows - 3);
    lines.resize(static_cast<size_t>(keep));
    if (!lines.empty()) lines.back() += kEllipsis;
    height = keep + 3;
  }
  const int top = g.WorkTop() + (g.workRows - height) / 2;
  const int left = g.InnerLeft() + (g.innerCols - width) / 2;
  const int bottom = top + height - 1;
  const int right = left + width - 1;
  grid.Frame(top, left, bottom, right);
  if (!caption.empty()) {
    grid.Set(top, left + 1, U' ');
    int n = grid.Put(top, left + 2, caption, kBold, width - 5);
    grid.Set(top, left + 2 + n, U' ');
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    const int row = top + 1 + static_cast<int>(i);
    if (i == 0 && iconW) grid.Put(row, left + 2, icon, kBold);
    PutCut(grid, row, left + 2 + iconW, lines[i], kPlain, textW);
  }
  const int buttonRow = bottom - 1;
  int col = left + std::max(1, (width - buttonsW) / 2);
  for (size_t i = 0; i < names.size(); ++i) {
    uint8_t attr = static_cast<int>(i) == selected ? kReverse : kPlain;
    if (box.buttons[i] == box.defaultButton) attr |= kBold;
    col += grid.Put(buttonRow, col, names[i], attr, right - col) + 1;
  }
}

// The window manager's dialog frame: a one-pixel border and the caption bar.
constexpr int kDialogBorderPixels = 1;
constexpr int kCaptionPixels = 16;

// A dialog gets whole cells for its client area (rounded up, so its text
// keeps the lines it has in pixels) plus a border of cells, the caption in
// the top border; it stays centred where it is on the screen and is moved
// and cut to fit the work area.
void DrawDialog(Grid& grid, const Geometry& g, const WindowView& d, EditSource& edits, UiState& ui) {
  const CellRect work = WorkArea(g);
  const int border = (d.style & (WS_BORDER | WS_DLGFRAME)) ? kDialogBorderPixels : 0;
  const int caption = (d.style & WS_CAPTION) == WS_CAPTION ? kCaptionPixels : 0;
  const RECT client{d.rect.left + border, d.rect.top + border + caption, d.rect.right - border, d.rect.bottom - border};
  const std::u32string title = ToU32(d.title);
  int width = CeilDiv(static_cast<long long>(client.right - client.left) * g.innerCols, screen::kWidth) + 2;
  int height = CeilDiv(static_cast<long long>(client.bottom - client.top) * g.workRows, kWorkPixels) + 2;
  width = std::clamp(width, std::min(work.Cols(), std::max(10, static_cast<int>(title.size()) + 6)), work.Cols());
  height = std::clamp(height, std::min(work.Rows(), 3), work.Rows());
  const CellRect placed = MapRect(g, d.rect);
  const int centreRow = (placed.top + placed.bottom) / 2, centreCol = (placed.left + placed.right) / 2;
  const int top = std::clamp(centreRow - height / 2, work.top, work.bottom - height);
  const int left = std::clamp(centreCol - width / 2, work.left, work.right - width);
  if (height < 2 || width < 2) return;
  grid.Frame(top, left, top + height - 1, left + width - 1);
  if (!title.empty()) {
    grid.Set(top, left + 1, U' ');
    int n = grid.Put(top, left + 2, title, kBold, width - 5);
    grid.Set(top, left + 2 + n, U' ');
  }
  const CellRect inside{top + 1, left + 1, top + height - 1, left + width - 1};
  DrawControls(grid, g, d, Origin{POINT{client.left, client.top}, inside.top, inside.left}, inside, edits, ui);
}

void DrawRebooting(Grid& grid, const Geometry& g) {
  grid.Fill(g.TitleRow(), g.InnerLeft(), 1, g.innerCols, U' ', kReverse);
  grid.Fill(g.WorkTop(), g.InnerLeft(), g.workRows, g.innerCols, U' ');
  grid.Fill(g.MenuRow(), g.InnerLeft(), 1, g.innerCols, U' ', kReverse);
  std::u32string text = U"Rebooting...";
  grid.Put(g.WorkTop() + g.workRows / 2, g.InnerLeft() + (g.innerCols - static_cast<int>(text.size())) / 2, text,
           kBold);
}

// A line under the frame: starts at the frame's left edge, moved left when
// that leaves it too little room.
void PutUnder(Grid& grid, const Geometry& g, int row, std::u32string_view text, uint8_t attr) {
  int len = static_cast<int>(text.size());
  int col = std::max(0, std::min(g.frameLeft, grid.cols - len));
  PutCut(grid, row, col, text, attr, grid.cols - col);
}

}  // namespace

Geometry ComputeGeometry(int termRows, int termCols) {
  Geometry g;
  if (termRows < kMinTerminalRows || termCols < kMinTerminalCols) {
    g.tooSmall = true;
    return g;
  }
  g.innerCols = std::min(kNaturalCols, termCols - 2);
  g.workRows = std::min(kNaturalWorkRows, termRows - kExtraRows);
  const int blockRows = g.workRows + kExtraRows;
  g.frameTop = (termRows - blockRows) / 2;
  g.frameLeft = (termCols - g.innerCols - 2) / 2;
  g.statusRow = g.frameTop + g.workRows + 4;
  g.helpRow = g.statusRow + 1;
  return g;
}

CellRect MapRect(const Geometry& g, const RECT& pixels) {
  CellRect r{RowOf(g, pixels.top), ColOf(g, pixels.left), RowOf(g, pixels.bottom), ColOf(g, pixels.right)};
  if (r.bottom < r.top) r.bottom = r.top;
  if (r.right < r.left) r.right = r.left;
  return r;
}

const BoxView* TopBox(const Snapshot& s) {
  for (auto it = s.modals.rbegin(); it != s.modals.rend(); ++it) {
    if (it->kind == screen::ModalView::Kind::kDialog) return nullptr;
    if (!it->box.answered) return &it->box;
  }
  return nullptr;
}

const WindowView* TopDialog(const Snapshot& s) {
  for (auto it = s.modals.rbegin(); it != s.modals.rend(); ++it) {
    if (it->kind == screen::ModalView::Kind::kDialog) return &it->dialog;
    if (!it->box.answered) return nullptr;
  }
  return nullptr;
}

std::vector<const std::vector<MenuItemView>*> MenuLevels(const Snapshot& s, const UiState& ui) {
  std::vector<const std::vector<MenuItemView>*> levels;
  if (!s.menuBar || ui.menuButton < 0 || s.menuBar->openButton != ui.menuButton ||
      ui.menuButton >= static_cast<int>(s.menuBar->buttons.size())) {
    return levels;
  }
  const std::vector<MenuItemView>* items = &s.menuBar->buttons[static_cast<size_t>(ui.menuButton)].items;
  levels.push_back(items);
  for (size_t k = 0; k + 1 < ui.menuPath.size(); ++k) {
    int i = ui.menuPath[k];
    if (i < 0 || i >= static_cast<int>(items->size())) break;
    const MenuItemView& item = (*items)[static_cast<size_t>(i)];
    if (!item.popup || item.items.empty()) break;
    items = &item.items;
    levels.push_back(items);
  }
  return levels;
}

void SyncUi(const Snapshot& s, UiState& ui) {
  const bool open =
      s.menuBar && s.menuBar->openButton >= 0 && s.menuBar->openButton < static_cast<int>(s.menuBar->buttons.size());
  if (!open) {
    ui.menuButton = -1;
    ui.menuPath.clear();
  } else {
    if (ui.menuButton != s.menuBar->openButton || ui.menuPath.empty()) {
      ui.menuButton = s.menuBar->openButton;
      ui.menuPath = {FirstSelectable(s.menuBar->buttons[static_cast<size_t>(ui.menuButton)].items)};
    }
    // Keep each level pointing at an item that can still be chosen.
    const std::vector<MenuItemView>* items = &s.menuBar->buttons[static_cast<size_t>(ui.menuButton)].items;
    for (size_t k = 0; k < ui.menuPath.size(); ++k) {
      int& i = ui.menuPath[k];
      if (i < 0 || i >= static_cast<int>(items->size()) || !Selectable((*items)[static_cast<size_t>(i)])) {
        i = FirstSelectable(*items);
        ui.menuPath.resize(k + 1);
      }
      if (k + 1 < ui.menuPath.size()) {
        const MenuItemView& item = (*items)[static_cast<size_t>(i)];
        if (!item.popup || item.items.empty()) {
          ui.menuPath.resize(k + 1);
          break;
        }
        items = &item.items;
      }
    }
  }

  if (const BoxView* box = TopBox(s)) {
    if (ui.boxId != box->id) {
      ui.boxId = box->id;
      auto it = std::find(box->buttons.begin(), box->buttons.end(), box->defaultButton);
      ui.boxButton = it == box->buttons.end() ? 0 : static_cast<int>(it - box->buttons.begin());
    }
    ui.boxButton = std::clamp(ui.boxButton, 0, std::max(0, static_cast<int>(box->buttons.size()) - 1));
  } else {
    ui.boxId = 0;
  }
}

std::u32string ButtonName(int id) {
  switch (id) {
    case IDOK:
      return U"OK";
    case IDCANCEL:
      return U"Cancel";
    case 3:
      return U"Abort";
    case 4:
      return U"Retry";
    case 5:
      return U"Ignore";
    case IDYES:
      return U"Yes";
    case 7:
      return U"No";
    default:
      return ToU32(std::to_string(id));
  }
}

std::u16string ProgressText(std::u16string_view what, uint64_t done, uint64_t total, double bytesPerSecond) {
  done = std::min(done, total);
  // Rounded down: 100% only once everything is done.
  uint64_t percent = total == 0 ? 100 : done * 100 / total;
  std::string text = " " + std::to_string(percent) + "%";
  if (bytesPerSecond > 0) {
    double seconds = std::ceil(static_cast<double>(total - done) / bytesPerSecond);
    uint64_t left = seconds < 1e9 ? static_cast<uint64_t>(seconds) : 999999999;
    char time[48];
    if (left >= 3600) {
      std::snprintf(time, sizeof time, ", %llu:%02llu:%02llu left", static_cast<unsigned long long>(left / 3600),
                    static_cast<unsigned long long>(left / 60 % 60), static_cast<unsigned long long>(left % 60));
    } else {
      std::snprintf(time, sizeof time, ", %llu:%02llu left", static_cast<unsigned long long>(left / 60),
                    static_cast<unsigned long long>(left % 60));
    }
    text += time;
  }
  return std::u16string(what) + std::u16string(text.begin(), text.end());
}

std::u32string KeyHelpLine(const Snapshot& s, const UiState& ui) {
  if (ui.rebooting) return U"Ctrl+C quit";
  if (ui.prompting) return U"Enter send  Esc cancel  (decimal, 0x hex or a name)";
  if (TopBox(s)) return U"Enter answer  Esc cancel  Left/Right button";
  if (!MenuLevels(s, ui).empty()) return U"Up/Down item  Enter choose  Left/Right  Esc close";
  if (TopDialog(s)) return U"Enter OK  Esc cancel  F2 ok  : command";
  return U"F1 menu  F2 ok  PgUp/PgDn/arrows log  ^Q exit  : command";
}

Grid Layout(const Snapshot& s, EditSource& edits, UiState& ui, int termRows, int termCols) {
  Grid grid(termRows, termCols);
  Geometry g = ComputeGeometry(termRows, termCols);
  if (g.tooSmall) {
    std::u32string text =
        ToU32("Terminal too small (" + std::to_string(termCols) + "x" + std::to_string(termRows) + "): needs " +
              std::to_string(kMinTerminalCols) + "x" + std::to_string(kMinTerminalRows));
    auto lines = WordWrap(text, termCols);
    int top = std::max(0, (termRows - static_cast<int>(lines.size())) / 2);
    for (size_t i = 0; i < lines.size(); ++i) grid.Put(top + static_cast<int>(i), 0, lines[i], kBold);
    return grid;
  }
  grid.Frame(g.frameTop, g.frameLeft, g.frameTop + g.workRows + 3, g.frameLeft + g.innerCols + 1);
  if (ui.rebooting) {
    DrawRebooting(grid, g);
  } else {
    DrawTitleBar(grid, g, s);
    std::set<HWND> edits_seen;
    if (s.window) {
      CellRect area = Intersect(MapRect(g, s.window->rect), WorkArea(g));
      grid.Fill(area.top, area.left, area.Rows(), area.Cols(), U' ');
      const Origin workOrigin{POINT{0, kTitlePixels}, g.WorkTop(), g.InnerLeft()};
      DrawControls(grid, g, *s.window, workOrigin, area, edits, ui);
      for (const ControlView& c : s.window->controls) edits_seen.insert(c.hwnd);
    }
    std::vector<int> starts = DrawMenuBar(grid, g, s);
    DrawPopups(grid, g, s, ui, starts);
    for (const screen::ModalView& m : s.modals) {
      if (m.kind == screen::ModalView::Kind::kDialog) {
        DrawDialog(grid, g, m.dialog, edits, ui);
        for (const ControlView& c : m.dialog.controls) edits_seen.insert(c.hwnd);
      } else if (!m.box.answered) {
        DrawBox(grid, g, m.box, m.box.id == ui.boxId ? ui.boxButton : -1);
      }
    }
    // Forget the sideways scroll of controls that are gone.
    std::erase_if(ui.hscroll, [&](const auto& entry) { return !edits_seen.count(entry.first); });
  }

  if (ui.prompting) {
    std::u32string line = U"Command: " + ui.promptText;
    PutUnder(grid, g, g.statusRow, line, kBold);
    int col =
        std::max(0, std::min(g.frameLeft, grid.cols - static_cast<int>(line.size()))) + static_cast<int>(line.size());
    grid.cursorRow = g.statusRow;
    grid.cursorCol = std::min(col, grid.cols - 1);
  } else if (!ui.notice.empty()) {
    PutUnder(grid, g, g.statusRow, ui.notice, kBold);
  } else {
    PutUnder(grid, g, g.statusRow, ToU32(ui.status), kPlain);
  }
  PutUnder(grid, g, g.helpRow, KeyHelpLine(s, ui), kDim);
  return grid;
}

}  // namespace terminal
