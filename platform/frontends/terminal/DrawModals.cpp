// What stands over the program's window: message boxes and dialogs.
#include "frontends/terminal/Draw.h"

#include <algorithm>

namespace terminal {
namespace draw {
namespace {

using screen::BoxView;
using screen::WindowView;

// ------------------------------------------------------------- boxes

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

// A box's content and the size it takes, before it is placed.
struct BoxContent {
  std::u32string icon;
  int iconW = 0;  // the icon mark and a space
  std::u32string caption;
  std::vector<std::u32string> names;  // the buttons, "[ OK ]"
  int buttonsW = 0;
  std::vector<std::u32string> lines;  // the text, wrapped
  int width = 0, height = 0;
  int TextW() const { return width - 4 - iconW; }
};

BoxContent BoxButtons(const BoxView& box) {
  BoxContent c;
  c.icon = IconText(box.icon);
  c.iconW = c.icon.empty() ? 0 : static_cast<int>(c.icon.size()) + 1;
  c.caption = ToU32(box.caption);
  for (int id : box.buttons) {
    c.names.push_back(U"[ " + ButtonName(id) + U" ]");
    c.buttonsW += static_cast<int>(c.names.back().size()) + (c.names.size() > 1 ? 1 : 0);
  }
  return c;
}

// As wide as the longest paragraph wants, within the screen; as tall as the
// wrapped text. Border, text, a blank row, the buttons, border; on a short
// screen the blank row goes first, then text from the end.
BoxContent MeasureBox(const Geometry& g, const BoxView& box) {
  BoxContent c = BoxButtons(box);
  const std::u32string text = ToU32(box.text);
  int natural = 0;
  for (const auto& para : WordWrap(text, 1 << 20)) natural = std::max(natural, static_cast<int>(para.size()));
  const int maxW = std::max(g.innerCols - 2, 8);
  c.width = std::clamp(std::max({natural + c.iconW, c.buttonsW, static_cast<int>(c.caption.size()) + 2}) + 4, 20,
                       maxW);  // border and a space each side
  c.lines = WordWrap(text, c.TextW());
  c.height = static_cast<int>(c.lines.size()) + 4;
  if (c.height > g.workRows) --c.height;
  if (c.height > g.workRows) {
    const int keep = std::max(0, g.workRows - 3);
    c.lines.resize(static_cast<size_t>(keep));
    if (!c.lines.empty()) c.lines.back() += kEllipsis;
    c.height = keep + 3;
  }
  return c;
}

// The buttons centred on the row above the bottom border; the chosen one
// in reverse, the default one bold.
void DrawBoxButtons(Grid& grid, const BoxView& box, const BoxContent& c, int row, int left, int right, int selected) {
  int col = left + std::max(1, (c.width - c.buttonsW) / 2);
  for (size_t i = 0; i < c.names.size(); ++i) {
    uint8_t attr = static_cast<int>(i) == selected ? kReverse : kPlain;
    if (box.buttons[i] == box.defaultButton) attr |= kBold;
    col += grid.Put(row, col, c.names[i], attr, right - col) + 1;
  }
}

// ----------------------------------------------------------- dialogs

// The window manager's dialog frame: a one-pixel border and the caption bar.
constexpr int kDialogBorderPixels = 1;
constexpr int kCaptionPixels = 16;

RECT DialogClient(const WindowView& d) {
  const int border = (d.style & (WS_BORDER | WS_DLGFRAME)) ? kDialogBorderPixels : 0;
  const int caption = (d.style & WS_CAPTION) == WS_CAPTION ? kCaptionPixels : 0;
  return RECT{d.rect.left + border, d.rect.top + border + caption, d.rect.right - border, d.rect.bottom - border};
}

// The dialog's frame in cells: its client area rounded up to whole cells
// plus the border, wide enough for its title, centred where the dialog is
// and moved and cut to fit the work area.
CellRect PlaceDialog(const Geometry& g, const WindowView& d, const RECT& client, size_t titleLength) {
  const CellRect work = WorkArea(g);
  int width = CeilDiv(static_cast<long long>(client.right - client.left) * g.innerCols, screen::kWidth) + 2;
  int height = CeilDiv(static_cast<long long>(client.bottom - client.top) * g.workRows, kWorkPixels) + 2;
  width = std::clamp(width, std::min(work.Cols(), std::max(10, static_cast<int>(titleLength) + 6)), work.Cols());
  height = std::clamp(height, std::min(work.Rows(), 3), work.Rows());
  const CellRect placed = MapRect(g, d.rect);
  const int centreRow = (placed.top + placed.bottom) / 2, centreCol = (placed.left + placed.right) / 2;
  const int top = std::clamp(centreRow - height / 2, work.top, work.bottom - height);
  const int left = std::clamp(centreCol - width / 2, work.left, work.right - width);
  return CellRect{top, left, top + height, left + width};
}

}  // namespace

// Centred in the work area, the caption in the top border, the icon mark
// before the first line.
void DrawBox(Grid& grid, const Geometry& g, const BoxView& box, int selected) {
  const BoxContent c = MeasureBox(g, box);
  const int top = g.WorkTop() + (g.workRows - c.height) / 2;
  const int left = g.InnerLeft() + (g.innerCols - c.width) / 2;
  const int bottom = top + c.height - 1;
  const int right = left + c.width - 1;
  grid.Frame(top, left, bottom, right);
  PutCaption(grid, top, left, c.width, c.caption);
  for (size_t i = 0; i < c.lines.size(); ++i) {
    const int row = top + 1 + static_cast<int>(i);
    if (i == 0 && c.iconW) grid.Put(row, left + 2, c.icon, kBold);
    PutCut(grid, row, left + 2 + c.iconW, c.lines[i], kPlain, c.TextW());
  }
  DrawBoxButtons(grid, box, c, bottom - 1, left, right, selected);
}

// Whole cells for the client area keep the dialog's text on the lines it
// has in pixels; its controls are placed within.
void DrawDialog(Grid& grid, const Geometry& g, const WindowView& d, EditSource& edits) {
  const RECT client = DialogClient(d);
  const std::u32string title = ToU32(d.title);
  const CellRect frame = PlaceDialog(g, d, client, title.size());
  if (frame.Rows() < 2 || frame.Cols() < 2) return;
  grid.Frame(frame.top, frame.left, frame.bottom - 1, frame.right - 1);
  PutCaption(grid, frame.top, frame.left, frame.Cols(), title);
  const CellRect inside{frame.top + 1, frame.left + 1, frame.bottom - 1, frame.right - 1};
  DrawControls(grid, g, d, Origin{POINT{client.left, client.top}, inside.top, inside.left}, inside, edits);
}

void SyncBox(const screen::Snapshot& s, UiState& ui) {
  const BoxView* box = TopBox(s);
  if (!box) {
    ui.boxId = 0;
    return;
  }
  if (ui.boxId != box->id) {
    ui.boxId = box->id;
    auto it = std::find(box->buttons.begin(), box->buttons.end(), box->defaultButton);
    ui.boxButton = it == box->buttons.end() ? 0 : static_cast<int>(it - box->buttons.begin());
  }
  ui.boxButton = std::clamp(ui.boxButton, 0, std::max(0, static_cast<int>(box->buttons.size()) - 1));
}

}  // namespace draw

const screen::BoxView* TopBox(const screen::Snapshot& s) {
  for (auto it = s.modals.rbegin(); it != s.modals.rend(); ++it) {
    if (it->kind == screen::ModalView::Kind::kDialog) return nullptr;
    if (!it->box.answered) return &it->box;
  }
  return nullptr;
}

const screen::WindowView* TopDialog(const screen::Snapshot& s) {
  for (auto it = s.modals.rbegin(); it != s.modals.rend(); ++it) {
    if (it->kind == screen::ModalView::Kind::kDialog) return &it->dialog;
    if (!it->box.answered) return nullptr;
  }
  return nullptr;
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

}  // namespace terminal
