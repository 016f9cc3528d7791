// The controls of a window or dialog: edit controls (the log view), static
// text and buttons.
#include "frontends/terminal/Draw.h"

#include <algorithm>
#include <set>

namespace terminal::draw {
namespace {

using screen::ControlView;

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? static_cast<char16_t>(a[i] + 32) : a[i];
    char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? static_cast<char16_t>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// ------------------------------------------------------------ edit

// The caret's line is known when it stands at the end of the text, where a
// log view keeps it.
bool CaretAtEnd(const screen::EditState& st) { return st.caret == st.length; }
size_t LastLine(const screen::EditState& st) { return st.lineCount > 0 ? st.lineCount - 1 : 0; }

// The first line shown: the control's first visible line, unless the frame
// shows fewer rows than the control counts as visible and the caret's line
// would fall below them; that line is the newest, so it stays on screen.
size_t FirstShownLine(const screen::EditState& st, size_t rows) {
  const size_t first = st.firstVisibleLine;
  const size_t visible = std::max<size_t>(st.visibleLines, 1);
  const size_t caretLine = LastLine(st);
  if (CaretAtEnd(st) && caretLine >= first && caretLine < first + visible && caretLine >= first + rows) {
    return caretLine + 1 - rows;
  }
  return first;
}

// The control's first visible column (ES_AUTOHSCROLL keeps the caret in
// view sideways). A frame with fewer columns than the control slides on
// until the caret, when its line is shown, stands in the last column.
size_t FirstShownColumn(const ControlView& c, size_t start, size_t rows, int textCols) {
  const screen::EditState& st = *c.edit;
  size_t first = st.firstVisibleColumn;
  const bool caretShown = st.caretLine >= start && st.caretLine < start + rows;
  if ((c.style & ES_AUTOHSCROLL) && caretShown && textCols > 0 &&
      st.caretColumn >= first + static_cast<size_t>(textCols)) {
    first = st.caretColumn + 1 - static_cast<size_t>(textCols);
  }
  return first;
}

void DrawScrollBar(Grid& grid, const CellRect& r, const screen::EditState& st) {
  const int col = r.right - 1;
  const size_t visible = std::max<size_t>(st.visibleLines, 1);
  grid.Fill(r.top, col, r.Rows(), 1, kTrack);
  if (st.lineCount <= visible || r.Rows() <= 0) return;
  const size_t track = static_cast<size_t>(r.Rows());
  size_t thumb = std::max<size_t>(1, track * visible / st.lineCount);
  size_t maxFirst = st.lineCount - visible;
  size_t pos = (track - thumb) * std::min(st.firstVisibleLine, maxFirst) / maxFirst;
  grid.Fill(r.top + static_cast<int>(pos), col, static_cast<int>(thumb), 1, kThumb);
}

// Lines are fetched by range, never the whole text, and shown from the
// first visible column; what does not fit is cut at the edge.
void DrawEdit(Grid& grid, const CellRect& r, const ControlView& c, EditSource& edits) {
  const screen::EditState& st = *c.edit;
  const bool vscroll = (c.style & WS_VSCROLL) && st.multiLine && r.Cols() > 1;
  const int textCols = r.Cols() - (vscroll ? 1 : 0);
  const size_t rows = static_cast<size_t>(r.Rows());
  const size_t start = FirstShownLine(st, rows);
  const size_t shift = FirstShownColumn(c, start, rows, textCols);
  int row = r.top;
  for (const auto& line : edits.Lines(c.hwnd, start, rows)) {
    std::u32string cells = ExpandLine(line);
    std::u32string_view view = shift < cells.size() ? std::u32string_view(cells).substr(shift) : std::u32string_view();
    grid.Put(row++, r.left, view, kPlain, textCols);
  }
  if (vscroll) DrawScrollBar(grid, r, st);
}

// ----------------------------------------------------- static, button

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
                 EditSource& edits) {
  CellRect r = Intersect(MapFrom(g, origin, c.rect), clip);
  if (r.Rows() <= 0 || r.Cols() <= 0) return;
  grid.Fill(r.top, r.left, r.Rows(), r.Cols(), U' ');
  if (c.edit) {
    DrawEdit(grid, r, c, edits);
  } else if (EqualsNoCase(c.className, u"button")) {
    DrawButton(grid, r, c);
  } else {
    DrawStaticText(grid, r, c);
  }
}

}  // namespace

void DrawControls(Grid& grid, const Geometry& g, const screen::WindowView& w, const Origin& origin,
                  const CellRect& clip, EditSource& edits) {
  std::set<HWND> hidden;
  for (const ControlView& c : w.controls) {
    if (!c.visible || hidden.count(c.parent)) {
      hidden.insert(c.hwnd);
      continue;
    }
    DrawControl(grid, g, c, origin, clip, edits);
  }
}

}  // namespace terminal::draw
