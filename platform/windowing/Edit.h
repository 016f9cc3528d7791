// The "edit" control's state: its text with a line index kept up to date
// on every change, so that appending stays amortised O(length appended)
// and finding a line is a binary search, whatever the size of the text.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "windowing/Screen.h"

namespace windowing {

// Text whose lines break after each "\n"; a "\r" just before it belongs to
// the line end ("\r\n"). Positions are character offsets.
class EditBuffer {
 public:
  size_t Length() const { return text_.size(); }
  size_t LineCount() const { return starts_.size(); }
  size_t LineStart(size_t line) const { return starts_[line]; }
  // Without the line end.
  size_t LineLength(size_t line) const;
  // The line holding position `pos` (0 <= pos <= Length()).
  size_t LineOf(size_t pos) const;
  std::u16string_view Line(size_t line) const {
    return std::u16string_view(text_).substr(starts_[line], LineLength(line));
  }
  std::u16string_view Text() const { return text_; }
  // The cells from the start of its line to position `pos`: tabs reach the
  // next tab stop, a surrogate pair takes one cell. Counts on from the last
  // position asked when that stands earlier on the same line, so that a
  // caret following appends to one long line costs what is appended.
  size_t ColumnOf(size_t pos) const;
  // Replaces [start, end) by `text`; positions are clamped to the text.
  void Replace(size_t start, size_t end, std::u16string_view text);

 private:
  std::u16string text_;
  std::vector<size_t> starts_{0};  // where each line starts
  // A position and its column, kept true by Replace (position 0 is column 0).
  mutable size_t knownPos_ = 0;
  mutable size_t knownColumn_ = 0;
};

class EditControl {
 public:
  explicit EditControl(DWORD style);

  std::u16string Text() const;
  size_t Length() const;
  screen::EditState State() const;
  std::vector<std::u16string> Lines(size_t first, size_t count) const;
  std::optional<size_t> Find(std::u16string_view needle, size_t from) const;

  // Everything below is guarded by `lock`; only the owner thread changes it.
  mutable std::mutex lock;
  EditBuffer buffer;
  size_t anchor = 0;  // the fixed end of the selection
  size_t caret = 0;   // the moving end
  size_t firstVisible = 0;
  size_t visibleLines = 1;
  size_t firstColumn = 0;  // ES_AUTOHSCROLL: the first column in view
  int width = 0;           // of the client area, in pixels
  bool readOnly;
  bool multiLine;
  bool autoHScroll;
  uint64_t rewrites = 0;
};

}  // namespace windowing
