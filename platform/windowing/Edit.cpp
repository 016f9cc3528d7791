// The "edit" control: multi-line text with a caret and a selection,
// read-only or not, scrolled by lines. EM_REPLACESEL, the way every log line
// of the utility arrives, costs the length of the text it inserts when it
// appends (the usual case) and never copies the text already there.
//
// Each message the control handles has a helper of its own below, under a
// banner naming it (EditEmReplaceSel under EM_REPLACESEL); EditProc only
// dispatches and reports the outcome.
#include "windowing/Edit.h"

#include <algorithm>
#include <optional>

#include "kernel/Thread.h"
#include "text/WideText.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

constexpr UINT kEnChange = EN_CHANGE;

std::shared_ptr<EditControl> EditOf(HWND hwnd) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hwnd);
  return w ? w->edit : nullptr;
}

size_t MaxFirstLocked(const EditControl& e) {
  size_t lines = e.buffer.LineCount();
  return lines > e.visibleLines ? lines - e.visibleLines : 0;
}

// ES_AUTOHSCROLL: the caret stays in view sideways. It may stand anywhere
// from the left edge to the right edge of the client area; once it crosses
// one, the view jumps so that the caret comes to rest a third of the width
// inside that edge (or the line's start comes into view), as the multi-line
// control (the log view's kind) is seen to do on Win32; the style's
// documentation speaks of ten characters. Single-line controls move by the
// same third here.
void ScrollSidewaysToCaretLocked(EditControl& e) {
  if (!e.autoHScroll) return;
  const size_t column = e.buffer.ColumnOf(e.caret);
  const size_t third = static_cast<size_t>(e.width / 3);
  const size_t cell = screen::kCharWidth;
  if (column < e.firstColumn) {
    const size_t in = (third + cell - 1) / cell;  // at least a third in from the left
    e.firstColumn = column > in ? column - in : 0;
  } else if ((column - e.firstColumn) * cell > static_cast<size_t>(e.width)) {
    const size_t in = (static_cast<size_t>(e.width) - third) / cell;  // at most this far from the left
    e.firstColumn = column - in;
  }
}

void ScrollToCaretLocked(EditControl& e) {
  size_t line = e.buffer.LineOf(e.caret);
  if (line < e.firstVisible) {
    e.firstVisible = line;
  } else if (line >= e.firstVisible + e.visibleLines) {
    e.firstVisible = line + 1 - e.visibleLines;
  }
  ScrollSidewaysToCaretLocked(e);
}

void ReplaceSelectionLocked(EditControl& e, std::u16string_view text) {
  size_t start = std::min(e.anchor, e.caret);
  size_t end = std::max(e.anchor, e.caret);
  if (start < e.buffer.Length()) ++e.rewrites;
  e.buffer.Replace(start, end, text);
  e.anchor = e.caret = start + text.size();
}

// Where the caret goes one step left or right, over a "\r\n" in one step.
size_t StepLeft(const EditBuffer& b, size_t pos) {
  if (pos == 0) return 0;
  size_t line = b.LineOf(pos);
  if (pos == b.LineStart(line)) return b.LineStart(line - 1) + b.LineLength(line - 1);
  return pos - 1;
}

size_t StepRight(const EditBuffer& b, size_t pos) {
  size_t line = b.LineOf(pos);
  if (pos >= b.LineStart(line) + b.LineLength(line)) {
    return line + 1 < b.LineCount() ? b.LineStart(line + 1) : b.Length();
  }
  return pos + 1;
}

size_t OnLine(const EditBuffer& b, size_t line, size_t column) {
  return b.LineStart(line) + std::min(column, b.LineLength(line));
}

bool KeyDown(int vk) { return (GetKeyState(vk) & 0x8000) != 0; }

// Caret movement and deletion keys. Returns whether the text changed.
bool OnKeyDownLocked(EditControl& e, WPARAM vk, bool shift, bool control) {
  const EditBuffer& b = e.buffer;
  size_t line = b.LineOf(e.caret);
  size_t column = e.caret - b.LineStart(line);
  size_t to = e.caret;
  switch (vk) {
    case VK_LEFT:
      to = (!shift && e.anchor != e.caret) ? std::min(e.anchor, e.caret) : StepLeft(b, e.caret);
      break;
    case VK_RIGHT:
      to = (!shift && e.anchor != e.caret) ? std::max(e.anchor, e.caret) : StepRight(b, e.caret);
      break;
    case VK_UP:
      to = line == 0 ? e.caret : OnLine(b, line - 1, column);
      break;
    case VK_DOWN:
      to = line + 1 >= b.LineCount() ? e.caret : OnLine(b, line + 1, column);
      break;
    case VK_HOME:
      to = control ? 0 : b.LineStart(line);
      break;
    case VK_END:
      to = control ? b.Length() : b.LineStart(line) + b.LineLength(line);
      break;
    case VK_PRIOR: {
      size_t page = std::max<size_t>(e.visibleLines, 1);
      size_t target = line > page ? line - page : 0;
      e.firstVisible = e.firstVisible > page ? e.firstVisible - page : 0;
      to = OnLine(b, target, column);
      break;
    }
    case VK_NEXT: {
      size_t page = std::max<size_t>(e.visibleLines, 1);
      size_t target = std::min(line + page, b.LineCount() - 1);
      e.firstVisible = std::min(e.firstVisible + page, MaxFirstLocked(e));
      to = OnLine(b, target, column);
      break;
    }
    case VK_DELETE: {
      if (e.readOnly) return false;
      if (e.anchor == e.caret) e.anchor = StepRight(b, e.caret);
      bool changed = e.anchor != e.caret;
      ReplaceSelectionLocked(e, u"");
      ScrollToCaretLocked(e);
      return changed;
    }
    default:
      return false;
  }
  e.caret = to;
  if (!shift) e.anchor = to;
  ScrollToCaretLocked(e);
  return false;
}

// Typed characters. Returns whether the text changed.
bool OnCharLocked(EditControl& e, char16_t ch) {
  if (e.readOnly) return false;
  if (ch == 8) {
    if (e.anchor == e.caret) e.anchor = StepLeft(e.buffer, e.caret);
    bool changed = e.anchor != e.caret;
    ReplaceSelectionLocked(e, u"");
    ScrollToCaretLocked(e);
    return changed;
  }
  if (ch == u'\r') {
    if (!e.multiLine) return false;
    ReplaceSelectionLocked(e, u"\r\n");
  } else if (ch == u'\t' || ch >= 0x20) {
    ReplaceSelectionLocked(e, std::u16string_view(&ch, 1));
  } else {
    return false;
  }
  ScrollToCaretLocked(e);
  return true;
}

void NotifyChange(HWND hwnd) {
  HWND parent;
  int id;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindLocked(hwnd);
    if (!w || !w->parent) return;
    parent = w->parent;
    id = w->id;
  }
  Send(parent, WM_COMMAND, MAKEWPARAM(id, kEnChange), reinterpret_cast<LPARAM>(hwnd));
}

// What a message did: its answer, whether the control looks different now
// (the screen model is told) and whether its text changed (the parent is
// told, EN_CHANGE).
struct Reply {
  LRESULT result = 0;
  bool redrawn = false;
  bool textChanged = false;
};

// A question answered; the control is as it was.
Reply Answer(LRESULT result) { return Reply{result, false, false}; }

Reply Redrawn(LRESULT result = 0, bool textChanged = false) { return Reply{result, true, textChanged}; }

// ---------------------------------------------------------------- WM_CREATE
Reply EditWmCreate(EditControl& e, LPARAM lParam) {
  auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
  std::lock_guard<std::mutex> guard(e.lock);
  if (create && create->lpszName) e.buffer.Replace(0, 0, create->lpszName);
  return Redrawn();
}

// ------------------------------------------------------------------ WM_SIZE
Reply EditWmSize(EditControl& e, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  e.visibleLines = std::max<size_t>(1, HIWORD(lParam) / screen::kLineHeight);
  e.width = LOWORD(lParam);
  e.firstVisible = std::min(e.firstVisible, MaxFirstLocked(e));
  return Redrawn();
}

// --------------------------------------------------------------- WM_SETTEXT
Reply EditWmSetText(EditControl& e, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  ++e.rewrites;
  e.buffer.Replace(0, e.buffer.Length(), text::View(reinterpret_cast<LPCWSTR>(lParam)));
  e.anchor = e.caret = 0;
  e.firstVisible = 0;
  e.firstColumn = 0;
  return Redrawn(TRUE, !e.multiLine);  // a multi-line edit does not report WM_SETTEXT
}

// --------------------------------------------------------------- WM_GETTEXT
Reply EditWmGetText(EditControl& e, WPARAM wParam, LPARAM lParam) {
  auto* buffer = reinterpret_cast<LPWSTR>(lParam);
  if (!buffer || wParam == 0) return Answer(0);
  std::lock_guard<std::mutex> guard(e.lock);
  size_t n = std::min<size_t>(e.buffer.Length(), wParam - 1);
  std::copy_n(e.buffer.Text().data(), n, buffer);
  buffer[n] = 0;
  return Answer(static_cast<LRESULT>(n));
}

// --------------------------------------------------------- WM_GETTEXTLENGTH
Reply EditWmGetTextLength(const EditControl& e) {
  std::lock_guard<std::mutex> guard(e.lock);
  return Answer(static_cast<LRESULT>(e.buffer.Length()));
}

// ---------------------------------------------------------------- EM_GETSEL
Reply EditEmGetSel(const EditControl& e, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  size_t start = std::min(e.anchor, e.caret), end = std::max(e.anchor, e.caret);
  if (wParam) *reinterpret_cast<LPDWORD>(wParam) = static_cast<DWORD>(start);
  if (lParam) *reinterpret_cast<LPDWORD>(lParam) = static_cast<DWORD>(end);
  if (start > 0xFFFF || end > 0xFFFF) return Answer(-1);
  return Answer(MAKELONG(start, end));
}

// ---------------------------------------------------------------- EM_SETSEL
Reply EditEmSetSel(EditControl& e, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  auto start = static_cast<intptr_t>(static_cast<int>(wParam));
  auto end = static_cast<intptr_t>(static_cast<int>(lParam));
  size_t length = e.buffer.Length();
  if (start == -1) {
    e.anchor = e.caret;  // deselect
  } else {
    e.anchor = std::min(static_cast<size_t>(std::max<intptr_t>(start, 0)), length);
    e.caret = end < 0 ? length : std::min(static_cast<size_t>(end), length);
  }
  return Redrawn();
}

// ------------------------------------------------------------ EM_REPLACESEL
Reply EditEmReplaceSel(EditControl& e, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  ReplaceSelectionLocked(e, text::View(reinterpret_cast<LPCWSTR>(lParam)));
  ScrollToCaretLocked(e);
  return Redrawn(0, true);
}

// ---------------------------------------------------------- EM_GETLINECOUNT
Reply EditEmGetLineCount(const EditControl& e) {
  std::lock_guard<std::mutex> guard(e.lock);
  return Answer(static_cast<LRESULT>(e.buffer.LineCount()));
}

// ------------------------------------------------------------- EM_LINEINDEX
Reply EditEmLineIndex(const EditControl& e, WPARAM wParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  intptr_t line = static_cast<int>(wParam);
  if (line == -1) line = static_cast<intptr_t>(e.buffer.LineOf(e.caret));
  if (line < 0 || static_cast<size_t>(line) >= e.buffer.LineCount()) return Answer(-1);
  return Answer(static_cast<LRESULT>(e.buffer.LineStart(static_cast<size_t>(line))));
}

// ------------------------------------------------------------ EM_LINELENGTH
Reply EditEmLineLength(const EditControl& e, WPARAM wParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  intptr_t index = static_cast<int>(wParam);
  const EditBuffer& b = e.buffer;
  if (index == -1) {
    // The characters of the selection's lines that are not selected.
    size_t start = std::min(e.anchor, e.caret), end = std::max(e.anchor, e.caret);
    size_t first = b.LineOf(start), last = b.LineOf(end);
    size_t before = start - b.LineStart(first);
    size_t after = b.LineStart(last) + b.LineLength(last) - std::min(end, b.LineStart(last) + b.LineLength(last));
    return Answer(static_cast<LRESULT>(before + after));
  }
  if (index < 0 || static_cast<size_t>(index) > b.Length()) return Answer(0);
  return Answer(static_cast<LRESULT>(b.LineLength(b.LineOf(static_cast<size_t>(index)))));
}

// --------------------------------------------------------------- EM_GETLINE
Reply EditEmGetLine(const EditControl& e, WPARAM wParam, LPARAM lParam) {
  auto* buffer = reinterpret_cast<LPWSTR>(lParam);
  if (!buffer) return Answer(0);
  std::lock_guard<std::mutex> guard(e.lock);
  if (wParam >= e.buffer.LineCount()) return Answer(0);
  WORD room = *reinterpret_cast<const WORD*>(buffer);  // the caller puts its size in the first word
  std::u16string_view line = e.buffer.Line(wParam);
  size_t n = std::min<size_t>(line.size(), room);
  std::copy_n(line.data(), n, buffer);  // no terminating null, as Win32
  return Answer(static_cast<LRESULT>(n));
}

// ---------------------------------------------------------- EM_LINEFROMCHAR
Reply EditEmLineFromChar(const EditControl& e, WPARAM wParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  intptr_t index = static_cast<int>(wParam);
  size_t pos =
      index < 0 ? std::min(e.anchor, e.caret) : std::min<size_t>(static_cast<size_t>(index), e.buffer.Length());
  return Answer(static_cast<LRESULT>(e.buffer.LineOf(pos)));
}

// --------------------------------------------------- EM_GETFIRSTVISIBLELINE
Reply EditEmGetFirstVisibleLine(const EditControl& e) {
  std::lock_guard<std::mutex> guard(e.lock);
  return Answer(static_cast<LRESULT>(e.firstVisible));
}

// ------------------------------------------------------------ EM_LINESCROLL
// Sideways as far as asked, past the end of every line if need be, never
// left of the first column; not without ES_AUTOHSCROLL, whose lines wrap on
// Win32.
Reply EditEmLineScroll(EditControl& e, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  if (!e.multiLine) return Answer(FALSE);
  auto lines = static_cast<intptr_t>(static_cast<int>(lParam));
  intptr_t target = static_cast<intptr_t>(e.firstVisible) + lines;
  e.firstVisible = static_cast<size_t>(std::clamp<intptr_t>(target, 0, static_cast<intptr_t>(MaxFirstLocked(e))));
  if (e.autoHScroll) {
    auto columns = static_cast<intptr_t>(static_cast<int>(wParam));
    e.firstColumn = static_cast<size_t>(std::max<intptr_t>(static_cast<intptr_t>(e.firstColumn) + columns, 0));
  }
  return Redrawn(TRUE);
}

// ----------------------------------------------------------- EM_POSFROMCHAR
// The client coordinates of the character's top left corner, x and y as
// signed 16-bit values (negative left of or above the view); -1 from the
// end of the text on.
Reply EditEmPosFromChar(const EditControl& e, WPARAM wParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  if (wParam >= e.buffer.Length()) return Answer(-1);
  const auto line = static_cast<intptr_t>(e.buffer.LineOf(wParam));
  const auto column = static_cast<intptr_t>(e.buffer.ColumnOf(wParam));
  const intptr_t x = (column - static_cast<intptr_t>(e.firstColumn)) * screen::kCharWidth;
  const intptr_t y = (line - static_cast<intptr_t>(e.firstVisible)) * screen::kLineHeight;
  auto half = [](intptr_t v) {
    return static_cast<WORD>(static_cast<int16_t>(std::clamp<intptr_t>(v, -32768, 32767)));
  };
  return Answer(static_cast<LRESULT>(MAKELONG(half(x), half(y))));
}

// ---------------------------------------------------------------- EM_SCROLL
Reply EditEmScroll(EditControl& e, WPARAM wParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  size_t before = e.firstVisible;
  size_t page = std::max<size_t>(e.visibleLines, 1);
  switch (wParam) {
    case 0:  // SB_LINEUP
      e.firstVisible = before > 0 ? before - 1 : 0;
      break;
    case 1:  // SB_LINEDOWN
      e.firstVisible = std::min(before + 1, MaxFirstLocked(e));
      break;
    case 2:  // SB_PAGEUP
      e.firstVisible = before > page ? before - page : 0;
      break;
    case 3:  // SB_PAGEDOWN
      e.firstVisible = std::min(before + page, MaxFirstLocked(e));
      break;
    default:
      return Answer(FALSE);
  }
  return Redrawn(
      MAKELONG(static_cast<WORD>(static_cast<intptr_t>(e.firstVisible) - static_cast<intptr_t>(before)), TRUE));
}

// ----------------------------------------------------------- EM_SCROLLCARET
Reply EditEmScrollCaret(EditControl& e) {
  std::lock_guard<std::mutex> guard(e.lock);
  ScrollToCaretLocked(e);
  return Redrawn(TRUE);
}

// ----------------------------------------------------------- EM_SETREADONLY
Reply EditEmSetReadOnly(EditControl& e, WPARAM wParam) {
  std::lock_guard<std::mutex> guard(e.lock);
  e.readOnly = wParam != 0;
  return Redrawn(TRUE);
}

// --------------------------------------------------------------- WM_KEYDOWN
Reply EditWmKeyDown(EditControl& e, WPARAM vk) {
  // The key state is the window manager's: read it before taking the edit's lock.
  bool shift = KeyDown(VK_SHIFT), control = KeyDown(VK_CONTROL);
  std::lock_guard<std::mutex> guard(e.lock);
  return Redrawn(0, OnKeyDownLocked(e, vk, shift, control));
}

// ------------------------------------------------------------------ WM_CHAR
Reply EditWmChar(EditControl& e, WPARAM ch) {
  std::lock_guard<std::mutex> guard(e.lock);
  return Redrawn(0, OnCharLocked(e, static_cast<char16_t>(ch)));
}

// The control's own handling of `message`; nullopt for DefWindowProcW's.
std::optional<Reply> EditHandle(EditControl& e, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return EditWmCreate(e, lParam);
    case WM_SIZE:
      return EditWmSize(e, lParam);
    case WM_SETTEXT:
      return EditWmSetText(e, lParam);
    case WM_GETTEXT:
      return EditWmGetText(e, wParam, lParam);
    case WM_GETTEXTLENGTH:
      return EditWmGetTextLength(e);
    case EM_GETSEL:
      return EditEmGetSel(e, wParam, lParam);
    case EM_SETSEL:
      return EditEmSetSel(e, wParam, lParam);
    case EM_REPLACESEL:
      return EditEmReplaceSel(e, lParam);
    case EM_GETLINECOUNT:
      return EditEmGetLineCount(e);
    case EM_LINEINDEX:
      return EditEmLineIndex(e, wParam);
    case EM_LINELENGTH:
      return EditEmLineLength(e, wParam);
    case EM_GETLINE:
      return EditEmGetLine(e, wParam, lParam);
    case EM_LINEFROMCHAR:
      return EditEmLineFromChar(e, wParam);
    case EM_GETFIRSTVISIBLELINE:
      return EditEmGetFirstVisibleLine(e);
    case EM_LINESCROLL:
      return EditEmLineScroll(e, wParam, lParam);
    case EM_POSFROMCHAR:
      return EditEmPosFromChar(e, wParam);
    case EM_SCROLL:
      return EditEmScroll(e, wParam);
    case EM_SCROLLCARET:
      return EditEmScrollCaret(e);
    case EM_SETREADONLY:
      return EditEmSetReadOnly(e, wParam);
    case EM_CANUNDO:
      return Answer(FALSE);  // no undo buffer
    case EM_LIMITTEXT:
      return Answer(0);  // no limit: the log view holds whatever it is given
    case WM_KEYDOWN:
      return EditWmKeyDown(e, wParam);
    case WM_CHAR:
      return EditWmChar(e, wParam);
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      return Redrawn();  // the caret shows or hides
    default:
      return std::nullopt;
  }
}

}  // namespace

LRESULT CALLBACK EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<EditControl> edit = EditOf(hwnd);
  if (!edit) return DefWindowProcW(hwnd, message, wParam, lParam);
  std::optional<Reply> reply = EditHandle(*edit, message, wParam, lParam);
  if (!reply) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (reply->redrawn) NoteChange();
  if (reply->textChanged) NotifyChange(hwnd);
  return reply->result;
}

std::shared_ptr<EditControl> FindEditLocked(HWND hwnd) {
  auto w = FindLocked(hwnd);
  return w ? w->edit : nullptr;
}

}  // namespace windowing
