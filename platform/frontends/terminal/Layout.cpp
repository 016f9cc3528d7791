// The whole terminal: the frame, what is drawn in it from the snapshot, the
// status line and the key help under it.
#include "frontends/terminal/Layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "frontends/terminal/Draw.h"
#include "frontends/terminal/Keys.h"

namespace terminal {
namespace {

using screen::ControlView;
using screen::Snapshot;

void DrawTooSmall(Grid& grid, int termRows, int termCols) {
  std::u32string text = ToU32("Terminal too small (" + std::to_string(termCols) + "x" + std::to_string(termRows) +
                              "): needs " + std::to_string(kMinTerminalCols) + "x" + std::to_string(kMinTerminalRows));
  auto lines = WordWrap(text, termCols);
  int top = std::max(0, (termRows - static_cast<int>(lines.size())) / 2);
  for (size_t i = 0; i < lines.size(); ++i) grid.Put(top + static_cast<int>(i), 0, lines[i], kBold);
}

void DrawRebooting(Grid& grid, const Geometry& g) {
  grid.Fill(g.TitleRow(), g.InnerLeft(), 1, g.innerCols, U' ', kReverse);
  grid.Fill(g.WorkTop(), g.InnerLeft(), g.workRows, g.innerCols, U' ');
  grid.Fill(g.MenuRow(), g.InnerLeft(), 1, g.innerCols, U' ', kReverse);
  std::u32string text = U"Rebooting...";
  grid.Put(g.WorkTop() + g.workRows / 2, g.InnerLeft() + (g.innerCols - static_cast<int>(text.size())) / 2, text,
           kBold);
}

void DrawTitleBar(Grid& grid, const Geometry& g, const Snapshot& s) {
  const int row = g.TitleRow();
  grid.Fill(row, g.InnerLeft(), 1, g.innerCols, U' ', kReverse);
  int room = g.innerCols - 2;
  if (s.doneButton) {
    grid.Put(row, g.InnerLeft() + g.innerCols - 5, U"[ok]", kReverse | kBold);
    room -= 5;
  }
  draw::PutCut(grid, row, g.InnerLeft() + 1, ToU32(s.title), kReverse | kBold, room);
}

// The program's window in the work area, its controls clipped to it.
void DrawProgramWindow(Grid& grid, const Geometry& g, const screen::WindowView& w, EditSource& edits) {
  CellRect area = draw::Intersect(MapRect(g, w.rect), draw::WorkArea(g));
  grid.Fill(area.top, area.left, area.Rows(), area.Cols(), U' ');
  const draw::Origin workOrigin{POINT{0, draw::kTitlePixels}, g.WorkTop(), g.InnerLeft()};
  draw::DrawControls(grid, g, w, workOrigin, area, edits);
}

// Dialogs and the boxes still waiting for an answer, bottom to top.
void DrawModals(Grid& grid, const Geometry& g, const Snapshot& s, EditSource& edits, const UiState& ui) {
  for (const screen::ModalView& m : s.modals) {
    if (m.kind == screen::ModalView::Kind::kDialog) {
      draw::DrawDialog(grid, g, m.dialog, edits);
    } else if (!m.box.answered) {
      draw::DrawBox(grid, g, m.box, m.box.id == ui.boxId ? ui.boxButton : -1);
    }
  }
}

void DrawScreen(Grid& grid, const Geometry& g, const Snapshot& s, EditSource& edits, const UiState& ui) {
  DrawTitleBar(grid, g, s);
  if (s.window) DrawProgramWindow(grid, g, *s.window, edits);
  std::vector<int> starts = draw::DrawMenuBar(grid, g, s);
  draw::DrawPopups(grid, g, s, ui, starts);
  DrawModals(grid, g, s, edits, ui);
}

// A line under the frame: starts at the frame's left edge, moved left when
// that leaves it too little room. Returns the column it starts at.
int PutUnder(Grid& grid, const Geometry& g, int row, std::u32string_view text, uint8_t attr) {
  int len = static_cast<int>(text.size());
  int col = std::max(0, std::min(g.frameLeft, grid.cols - len));
  draw::PutCut(grid, row, col, text, attr, grid.cols - col);
  return col;
}

// The command prompt (with the cursor after it), a notice, or the status.
void DrawStatusLine(Grid& grid, const Geometry& g, const UiState& ui) {
  if (ui.prompting) {
    std::u32string line = U"Command: " + ui.promptText;
    int col = PutUnder(grid, g, g.statusRow, line, kBold) + static_cast<int>(line.size());
    grid.cursorRow = g.statusRow;
    grid.cursorCol = std::min(col, grid.cols - 1);
  } else if (!ui.notice.empty()) {
    PutUnder(grid, g, g.statusRow, ui.notice, kBold);
  } else {
    PutUnder(grid, g, g.statusRow, ToU32(ui.status), kPlain);
  }
}

}  // namespace

void SyncUi(const Snapshot& s, UiState& ui) {
  draw::SyncMenu(s, ui);
  draw::SyncBox(s, ui);
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

Grid Layout(const Snapshot& s, EditSource& edits, const UiState& ui, int termRows, int termCols) {
  Grid grid(termRows, termCols);
  Geometry g = ComputeGeometry(termRows, termCols);
  if (g.tooSmall) {
    DrawTooSmall(grid, termRows, termCols);
    return grid;
  }
  grid.Frame(g.frameTop, g.frameLeft, g.frameTop + g.workRows + 3, g.frameLeft + g.innerCols + 1);
  if (ui.rebooting) {
    DrawRebooting(grid, g);
  } else {
    DrawScreen(grid, g, s, edits, ui);
  }
  DrawStatusLine(grid, g, ui);
  PutUnder(grid, g, g.helpRow, KeyHelpLine(s, ui), kDim);
  return grid;
}

}  // namespace terminal
