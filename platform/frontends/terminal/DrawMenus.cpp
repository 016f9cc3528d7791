// The menu bar, its open popup and sub-popups, and the menu navigation's
// hold on the items that can be chosen.
#include "frontends/terminal/Draw.h"

#include <algorithm>

namespace terminal {

using screen::MenuItemView;
using screen::Snapshot;

namespace draw {
namespace {

// ------------------------------------------------------------ popups

// A popup's columns: a space, the check column, the text, the accelerator,
// the popup mark, a space, within the border.
struct PopupColumns {
  std::vector<Label> labels;
  size_t textW = 0;
  size_t accelW = 0;
  bool anySub = false;

  // Accelerator, popup mark and the closing space.
  int Tail() const { return (accelW ? 2 + static_cast<int>(accelW) : 0) + (anySub ? 2 : 0) + 1; }
  int Width() const { return 2 + 1 + 2 + static_cast<int>(textW) + Tail(); }
};

PopupColumns MeasurePopup(const std::vector<MenuItemView>& items) {
  PopupColumns m;
  for (const MenuItemView& item : items) {
    m.labels.push_back(ParseLabel(item.text));
    m.textW = std::max(m.textW, m.labels.back().text.size());
    m.accelW = std::max(m.accelW, m.labels.back().accelerator.size());
    m.anySub = m.anySub || item.popup;
  }
  return m;
}

struct PopupPlacement {
  int top = 0, left = 0, bottom = 0, right = 0;  // the frame, inclusive
  std::vector<int> itemRows;                     // row of each item; -1 when scrolled out of view
};

// From its anchor up (a menu-bar button's popup) or down (a sub-popup),
// moved to stay between the title bar and the menu bar.
PopupPlacement PlacePopup(const Geometry& g, int width, int height, int anchorCol, int anchorTop, bool growUp) {
  PopupPlacement p;
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
  return p;
}

void DrawSeparator(Grid& grid, const PopupPlacement& p, int row) {
  grid.Set(row, p.left, kTeeLeft);
  grid.Fill(row, p.left + 1, 1, p.right - p.left - 1, kHLine);
  grid.Set(row, p.right, kTeeRight);
}

// An item: check mark, label (cut with an ellipsis when it does not fit,
// its mnemonic underlined when it does), accelerator, sub-popup mark.
void DrawPopupItem(Grid& grid, const PopupPlacement& p, const PopupColumns& m, const MenuItemView& item,
                   const Label& label, int row, bool highlighted) {
  uint8_t attr = highlighted ? kReverse : kPlain;
  if (!item.enabled) attr |= kDim;
  grid.Fill(row, p.left + 1, 1, p.right - p.left - 1, U' ', attr);
  int col = p.left + 2;
  if (item.checked) grid.Set(row, col, kCheck, attr);
  col += 2;
  const int room = p.right - col - m.Tail();
  if (static_cast<int>(label.text.size()) > room) {
    PutCut(grid, row, col, label.text, attr, room);
  } else {
    PutLabel(grid, row, col, label, attr, room);
  }
  if (!label.accelerator.empty()) {
    int acol = p.right - 1 - (m.anySub ? 2 : 0) - static_cast<int>(label.accelerator.size());
    grid.Put(row, acol, label.accelerator, attr, p.right - acol - 1);
  }
  if (item.popup) grid.Set(row, p.right - 2, kSubmenu, attr);
}

// As many items as the work area has rows for, scrolled so that the
// highlighted one shows.
PopupPlacement DrawPopup(Grid& grid, const Geometry& g, const std::vector<MenuItemView>& items, int highlight,
                         int anchorCol, int anchorTop, bool growUp) {
  const PopupColumns m = MeasurePopup(items);
  const int n = static_cast<int>(items.size());
  const int width = std::min(m.Width(), g.innerCols);
  const int visible = std::max(0, std::min(n, g.workRows - 2));
  PopupPlacement p = PlacePopup(g, width, visible + 2, anchorCol, anchorTop, growUp);
  grid.Frame(p.top, p.left, p.bottom, p.right);

  int firstShown = 0;
  if (highlight >= visible) firstShown = highlight - visible + 1;
  firstShown = std::clamp(firstShown, 0, std::max(0, n - visible));
  p.itemRows.assign(items.size(), -1);
  for (int k = 0; k < visible; ++k) {
    const size_t i = static_cast<size_t>(firstShown + k);
    const int row = p.top + 1 + k;
    p.itemRows[i] = row;
    if (items[i].separator) {
      DrawSeparator(grid, p, row);
    } else {
      DrawPopupItem(grid, p, m, items[i], m.labels[i], row, firstShown + k == highlight);
    }
  }
  return p;
}

}  // namespace

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

void SyncMenu(const Snapshot& s, UiState& ui) {
  const bool open =
      s.menuBar && s.menuBar->openButton >= 0 && s.menuBar->openButton < static_cast<int>(s.menuBar->buttons.size());
  if (!open) {
    ui.menuButton = -1;
    ui.menuPath.clear();
    return;
  }
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

}  // namespace draw

bool Selectable(const MenuItemView& item) { return !item.separator && item.enabled; }

int FirstSelectable(const std::vector<MenuItemView>& items) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (Selectable(items[i])) return static_cast<int>(i);
  }
  return -1;
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

}  // namespace terminal
