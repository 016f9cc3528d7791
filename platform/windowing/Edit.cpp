// The "edit" control: multi-line text with a caret and a selection,
// read-only or not, scrolled by lines. EM_REPLACESEL, the way every log line
// of the utility arrives, costs the length of the text it inserts when it
// appends (the usual case) and never copies the text already there.
#include "windowing/Edit.h"

#include <algorithm>

#include "kernel/Thread.h"
#include "text/WideText.h"
#include "windowing/WindowManager.h"

namespace windowing {

// ------------------------------------------------------------- EditBuffer

size_t EditBuffer::LineLength(size_t line) const {
  size_t start = starts_[line];
  if (line + 1 == starts_.size()) return text_.size() - start;
  size_t end = starts_[line + 1] - 1;  // at the "\n"
  if (end > start && text_[end - 1] == u'\r') --end;
  return end - start;
}

size_t EditBuffer::LineOf(size_t pos) const {
  auto it = std::upper_bound(starts_.begin(), starts_.end(), pos);
  return static_cast<size_t>(it - starts_.begin()) - 1;
}

void EditBuffer::Replace(size_t start, size_t end, std::u16string_view text) {
  start = std::min(start, text_.size());
  end = std::clamp(end, start, text_.size());
  if (start == text_.size()) {
    // Appending: only new line starts.
    text_.append(text);
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\n') starts_.push_back(start + i + 1);
    }
    return;
  }
  text_.replace(start, end - start, text);
  // Starts up to `start` stay; those that came from a removed "\n" go; the
  // rest move by the change in length; the new text adds its own.
  auto first = std::upper_bound(starts_.begin(), starts_.end(), start);
  auto last = std::upper_bound(first, starts_.end(), end);
  std::vector<size_t> added;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n') added.push_back(start + i + 1);
  }
  ptrdiff_t delta = static_cast<ptrdiff_t>(text.size()) - static_cast<ptrdiff_t>(end - start);
  for (auto it = last; it != starts_.end(); ++it) *it = static_cast<size_t>(static_cast<ptrdiff_t>(*it) + delta);
  size_t firstIndex = static_cast<size_t>(first - starts_.begin());
  starts_.erase(first, last);
  starts_.insert(starts_.begin() + static_cast<ptrdiff_t>(firstIndex), added.begin(), added.end());
}

// ------------------------------------------------------------ EditControl

EditControl::EditControl(DWORD style) : readOnly((style & ES_READONLY) != 0), multiLine((style & ES_MULTILINE) != 0) {}

std::u16string EditControl::Text() const {
  std::lock_guard<std::mutex> guard(lock);
  return std::u16string(buffer.Text());
}

size_t EditControl::Length() const {
  std::lock_guard<std::mutex> guard(lock);
  return buffer.Length();
}

screen::EditState EditControl::State() const {
  std::lock_guard<std::mutex> guard(lock);
  screen::EditState state;
  state.length = buffer.Length();
  state.lineCount = buffer.LineCount();
  state.firstVisibleLine = firstVisible;
  state.visibleLines = visibleLines;
  state.selectionStart = std::min(anchor, caret);
  state.selectionEnd = std::max(anchor, caret);
  state.caret = caret;
  state.readOnly = readOnly;
  state.multiLine = multiLine;
  state.rewrites = rewrites;
  return state;
}

std::vector<std::u16string> EditControl::Lines(size_t first, size_t count) const {
  std::lock_guard<std::mutex> guard(lock);
  std::vector<std::u16string> lines;
  for (size_t line = first; line < buffer.LineCount() && line - first < count; ++line) {
    lines.emplace_back(buffer.Line(line));
  }
  return lines;
}

std::optional<size_t> EditControl::Find(std::u16string_view needle, size_t from) const {
  std::lock_guard<std::mutex> guard(lock);
  size_t at = buffer.Text().find(needle, from);
  if (at == std::u16string_view::npos) return std::nullopt;
  return at;
}

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

void ScrollToCaretLocked(EditControl& e) {
  size_t line = e.buffer.LineOf(e.caret);
  if (line < e.firstVisible) {
    e.firstVisible = line;
  } else if (line >= e.firstVisible + e.visibleLines) {
    e.firstVisible = line + 1 - e.visibleLines;
  }
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

}  // namespace

LRESULT CALLBACK EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<EditControl> edit = EditOf(hwnd);
  if (!edit) return DefWindowProcW(hwnd, message, wParam, lParam);
  EditControl& e = *edit;
  bool changed = false;
  LRESULT result = 0;
  switch (message) {
    case WM_CREATE: {
      auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      std::lock_guard<std::mutex> guard(e.lock);
      if (create && create->lpszName) e.buffer.Replace(0, 0, create->lpszName);
      break;
    }
    case WM_SIZE: {
      std::lock_guard<std::mutex> guard(e.lock);
      e.visibleLines = std::max<size_t>(1, HIWORD(lParam) / screen::kLineHeight);
      e.firstVisible = std::min(e.firstVisible, MaxFirstLocked(e));
      break;
    }
    case WM_SETTEXT: {
      std::lock_guard<std::mutex> guard(e.lock);
      ++e.rewrites;
      e.buffer.Replace(0, e.buffer.Length(), text::View(reinterpret_cast<LPCWSTR>(lParam)));
      e.anchor = e.caret = 0;
      e.firstVisible = 0;
      changed = !e.multiLine;  // a multi-line edit does not report WM_SETTEXT
      result = TRUE;
      break;
    }
    case WM_GETTEXT: {
      auto* buffer = reinterpret_cast<LPWSTR>(lParam);
      if (!buffer || wParam == 0) return 0;
      std::lock_guard<std::mutex> guard(e.lock);
      size_t n = std::min<size_t>(e.buffer.Length(), wParam - 1);
      std::copy_n(e.buffer.Text().data(), n, buffer);
      buffer[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
      std::lock_guard<std::mutex> guard(e.lock);
      return static_cast<LRESULT>(e.buffer.Length());
    }
    case EM_GETSEL: {
      std::lock_guard<std::mutex> guard(e.lock);
      size_t start = std::min(e.anchor, e.caret), end = std::max(e.anchor, e.caret);
      if (wParam) *reinterpret_cast<LPDWORD>(wParam) = static_cast<DWORD>(start);
      if (lParam) *reinterpret_cast<LPDWORD>(lParam) = static_cast<DWORD>(end);
      if (start > 0xFFFF || end > 0xFFFF) return -1;
      return MAKELONG(start, end);
    }
    case EM_SETSEL: {
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
      break;
    }
    case EM_REPLACESEL: {
      std::lock_guard<std::mutex> guard(e.lock);
      ReplaceSelectionLocked(e, text::View(reinterpret_cast<LPCWSTR>(lParam)));
      ScrollToCaretLocked(e);
      changed = true;
      break;
    }
    case EM_GETLINECOUNT: {
      std::lock_guard<std::mutex> guard(e.lock);
      return static_cast<LRESULT>(e.buffer.LineCount());
    }
    case EM_LINEINDEX: {
      std::lock_guard<std::mutex> guard(e.lock);
      intptr_t line = static_cast<int>(wParam);
      if (line == -1) line = static_cast<intptr_t>(e.buffer.LineOf(e.caret));
      if (line < 0 || static_cast<size_t>(line) >= e.buffer.LineCount()) return -1;
      return static_cast<LRESULT>(e.buffer.LineStart(static_cast<size_t>(line)));
    }
    case EM_LINELENGTH: {
      std::lock_guard<std::mutex> guard(e.lock);
      intptr_t index = static_cast<int>(wParam);
      const EditBuffer& b = e.buffer;
      if (index == -1) {
        // The characters of the selection's lines that are not selected.
        size_t start = std::min(e.anchor, e.caret), end = std::max(e.anchor, e.caret);
        size_t first = b.LineOf(start), last = b.LineOf(end);
        size_t before = start - b.LineStart(first);
        size_t after = b.LineStart(last) + b.LineLength(last) - std::min(end, b.LineStart(last) + b.LineLength(last));
        return static_cast<LRESULT>(before + after);
      }
      if (index < 0 || static_cast<size_t>(index) > b.Length()) return 0;
      return static_cast<LRESULT>(b.LineLength(b.LineOf(static_cast<size_t>(index))));
    }
    case EM_GETLINE: {
      auto* buffer = reinterpret_cast<LPWSTR>(lParam);
      if (!buffer) return 0;
      std::lock_guard<std::mutex> guard(e.lock);
      if (wParam >= e.buffer.LineCount()) return 0;
      WORD room = *reinterpret_cast<const WORD*>(buffer);  // the caller puts its size in the first word
      std::u16string_view line = e.buffer.Line(wParam);
      size_t n = std::min<size_t>(line.size(), room);
      std::copy_n(line.data(), n, buffer);  // no terminating null, as Win32
      return static_cast<LRESULT>(n);
    }
    case EM_LINEFROMCHAR: {
      std::lock_guard<std::mutex> guard(e.lock);
      intptr_t index = static_cast<int>(wParam);
      size_t pos =
          index < 0 ? std::min(e.anchor, e.caret) : std::min<size_t>(static_cast<size_t>(index), e.buffer.Length());
      return static_cast<LRESULT>(e.buffer.LineOf(pos));
    }
    case EM_GETFIRSTVISIBLELINE: {
      std::lock_guard<std::mutex> guard(e.lock);
      return static_cast<LRESULT>(e.firstVisible);
    }
    case EM_LINESCROLL: {
      std::lock_guard<std::mutex> guard(e.lock);
      if (!e.multiLine) return FALSE;
      auto lines = static_cast<intptr_t>(static_cast<int>(lParam));
      intptr_t target = static_cast<intptr_t>(e.firstVisible) + lines;
      e.firstVisible = static_cast<size_t>(std::clamp<intptr_t>(target, 0, static_cast<intptr_t>(MaxFirstLocked(e))));
      result = TRUE;
      break;
    }
    case EM_SCROLL: {
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
          return FALSE;
      }
      result = MAKELONG(static_cast<WORD>(static_cast<intptr_t>(e.firstVisible) - static_cast<intptr_t>(before)), TRUE);
      break;
    }
    case EM_SCROLLCARET: {
      std::lock_guard<std::mutex> guard(e.lock);
      ScrollToCaretLocked(e);
      result = TRUE;
      break;
    }
    case EM_SETREADONLY: {
      std::lock_guard<std::mutex> guard(e.lock);
      e.readOnly = wParam != 0;
      result = TRUE;
      break;
    }
    case EM_CANUNDO:
      return FALSE;
    case EM_LIMITTEXT:
      return 0;  // no limit: the log view holds whatever it is given
    case WM_KEYDOWN: {
      bool shift = KeyDown(VK_SHIFT), control = KeyDown(VK_CONTROL);
      std::lock_guard<std::mutex> guard(e.lock);
      changed = OnKeyDownLocked(e, wParam, shift, control);
      break;
    }
    case WM_CHAR: {
      std::lock_guard<std::mutex> guard(e.lock);
      changed = OnCharLocked(e, static_cast<char16_t>(wParam));
      break;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      break;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  NoteChange();
  if (changed) NotifyChange(hwnd);
  return result;
}

std::shared_ptr<EditControl> FindEditLocked(HWND hwnd) {
  auto w = FindLocked(hwnd);
  return w ? w->edit : nullptr;
}

}  // namespace windowing
