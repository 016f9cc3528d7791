// The "edit" control's state: its text with an incremental line index, and
// the reads front ends make of it from their own threads.
#include <algorithm>

#include "windowing/Edit.h"

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

size_t EditBuffer::ColumnOf(size_t pos) const {
  const size_t start = starts_[LineOf(pos)];
  const bool onFromKnown = knownPos_ >= start && knownPos_ <= pos;
  size_t column = onFromKnown ? knownColumn_ : 0;
  for (size_t i = onFromKnown ? knownPos_ : start; i < pos; ++i) {
    const char16_t c = text_[i];
    if (c == u'\t') {
      column += screen::kTabColumns - column % screen::kTabColumns;
    } else if (!(c >= 0xDC00 && c <= 0xDFFF && i > start && text_[i - 1] >= 0xD800 && text_[i - 1] <= 0xDBFF)) {
      ++column;  // the low half of a pair shares its high half's cell
    }
  }
  knownPos_ = pos;
  knownColumn_ = column;
  return column;
}

void EditBuffer::Replace(size_t start, size_t end, std::u16string_view text) {
  start = std::min(start, text_.size());
  end = std::clamp(end, start, text_.size());
  if (start < knownPos_) knownPos_ = knownColumn_ = 0;
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

EditControl::EditControl(DWORD style)
    : readOnly((style & ES_READONLY) != 0),
      multiLine((style & ES_MULTILINE) != 0),
      autoHScroll((style & ES_AUTOHSCROLL) != 0) {}

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
  state.caretLine = buffer.LineOf(caret);
  state.caretColumn = buffer.ColumnOf(caret);
  state.firstVisibleColumn = firstColumn;
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

}  // namespace windowing
