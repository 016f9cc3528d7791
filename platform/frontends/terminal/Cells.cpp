// Where things land in the grid: the frame's geometry, the screen's pixels
// as cells, and text written into cells.
#include "frontends/terminal/Draw.h"

#include <algorithm>

namespace terminal {
namespace draw {
namespace {

// a / b rounded to the nearest for any a, b > 0.
int SignedRoundDiv(long long a, long long b) {
  long long n = 2 * a + b, d = 2 * b;
  return static_cast<int>(n >= 0 ? n / d : -((-n + d - 1) / d));
}

}  // namespace

int RoundDiv(long long a, long long b) { return static_cast<int>((2 * a + b) / (2 * b)); }

int CeilDiv(long long a, long long b) { return static_cast<int>(a <= 0 ? 0 : (a + b - 1) / b); }

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

void PutCut(Grid& grid, int row, int col, std::u32string_view text, uint8_t attr, int width) {
  if (width <= 0) return;
  if (static_cast<int>(text.size()) <= width) {
    grid.Put(row, col, text, attr, width);
    return;
  }
  grid.Put(row, col, text.substr(0, static_cast<size_t>(width - 1)), attr, width - 1);
  grid.Set(row, col + width - 1, kEllipsis, attr);
}

int PutLabel(Grid& grid, int row, int col, const Label& label, uint8_t attr, int width) {
  int n = grid.Put(row, col, label.text, attr, width);
  if (label.mnemonic >= 0 && label.mnemonic < n) {
    grid.Set(row, col + label.mnemonic, label.text[static_cast<size_t>(label.mnemonic)],
             static_cast<uint8_t>(attr | kUnderline));
  }
  return n;
}

void PutCaption(Grid& grid, int top, int left, int width, std::u32string_view caption) {
  if (caption.empty()) return;
  grid.Set(top, left + 1, U' ');
  int n = grid.Put(top, left + 2, caption, kBold, width - 5);
  grid.Set(top, left + 2 + n, U' ');
}

}  // namespace draw

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
  CellRect r{draw::RowOf(g, pixels.top), draw::ColOf(g, pixels.left), draw::RowOf(g, pixels.bottom),
             draw::ColOf(g, pixels.right)};
  if (r.bottom < r.top) r.bottom = r.top;
  if (r.right < r.left) r.right = r.left;
  return r;
}

}  // namespace terminal
