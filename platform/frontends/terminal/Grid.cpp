#include "frontends/terminal/Grid.h"

#include <algorithm>

#include "windowing/Screen.h"

namespace terminal {

Grid::Grid(int r, int c) : rows(std::max(r, 0)), cols(std::max(c, 0)), cells(static_cast<size_t>(rows * cols)) {}

void Grid::Set(int row, int col, char32_t ch, uint8_t attr) {
  if (!Contains(row, col)) return;
  cells[static_cast<size_t>(row * cols + col)] = Cell{ch, attr};
}

int Grid::Put(int row, int col, std::u32string_view text, uint8_t attr, int width) {
  int limit = width < 0 ? cols - col : width;
  int n = 0;
  for (char32_t ch : text) {
    if (n >= limit) break;
    Set(row, col + n, ch, attr);
    ++n;
  }
  return n;
}

void Grid::Fill(int row, int col, int height, int width, char32_t ch, uint8_t attr) {
  for (int r = row; r < row + height; ++r) {
    for (int c = col; c < col + width; ++c) Set(r, c, ch, attr);
  }
}

void Grid::Frame(int top, int left, int bottom, int right, uint8_t attr, bool clear) {
  if (bottom <= top || right <= left) return;
  if (clear) Fill(top + 1, left + 1, bottom - top - 1, right - left - 1, U' ', attr);
  for (int c = left + 1; c < right; ++c) {
    Set(top, c, kHLine, attr);
    Set(bottom, c, kHLine, attr);
  }
  for (int r = top + 1; r < bottom; ++r) {
    Set(r, left, kVLine, attr);
    Set(r, right, kVLine, attr);
  }
  Set(top, left, kTopLeft, attr);
  Set(top, right, kTopRight, attr);
  Set(bottom, left, kBottomLeft, attr);
  Set(bottom, right, kBottomRight, attr);
}

namespace {

char32_t AsciiOf(char32_t ch) {
  switch (ch) {
    case kHLine:
      return U'-';
    case kVLine:
      return U'|';
    case kTopLeft:
    case kTopRight:
    case kBottomLeft:
    case kBottomRight:
    case kTeeLeft:
    case kTeeRight:
      return U'+';
    case kTrack:
      return U':';
    case kThumb:
      return U'#';
    case kCheck:
      return U'*';
    case kSubmenu:
      return U'>';
    case kEllipsis:
      return U'~';
    default:
      return ch < 0x80 ? ch : U'?';
  }
}

void AppendUtf8(std::string& out, char32_t ch) {
  if (ch < 0x80) {
    out += static_cast<char>(ch);
  } else if (ch < 0x800) {
    out += static_cast<char>(0xC0 | (ch >> 6));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else if (ch < 0x10000) {
    out += static_cast<char>(0xE0 | (ch >> 12));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (ch >> 18));
    out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  }
}

}  // namespace

std::string Grid::RowText(int row, bool ascii) const {
  std::u32string line;
  for (int c = 0; c < cols; ++c) {
    char32_t ch = At(row, c).ch;
    line += ascii ? AsciiOf(ch) : ch;
  }
  while (!line.empty() && line.back() == U' ') line.pop_back();
  return ToUtf8(line);
}

std::string Grid::Text(bool ascii) const {
  std::string out;
  for (int r = 0; r < rows; ++r) {
    if (r) out += '\n';
    out += RowText(r, ascii);
  }
  return out;
}

std::u32string ToU32(std::u16string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t u = text[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      out += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      out += U'\uFFFD';  // a lone surrogate
    } else {
      out += u;
    }
  }
  return out;
}

std::u32string ToU32(std::string_view ascii) {
  std::u32string out;
  out.reserve(ascii.size());
  for (char c : ascii) out += static_cast<char32_t>(static_cast<unsigned char>(c));
  return out;
}

std::string ToUtf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t ch : text) AppendUtf8(out, ch);
  return out;
}

std::u32string ExpandLine(std::u16string_view line) {
  std::u32string out;
  for (char32_t ch : ToU32(line)) {
    if (ch == U'\t') {
      do {
        out += U' ';
      } while (out.size() % screen::kTabColumns != 0);
    } else if (ch < 0x20 || ch == 0x7F) {
      out += U'?';
    } else {
      out += ch;
    }
  }
  return out;
}

std::vector<std::u32string> WordWrap(std::u32string_view text, int width) {
  std::vector<std::u32string> lines;
  if (width <= 0) return lines;
  const size_t w = static_cast<size_t>(width);
  size_t pos = 0;
  while (pos <= text.size()) {
    // One paragraph: up to the next line end.
    size_t end = text.find_first_of(U"\r\n", pos);
    std::u32string_view para =
        text.substr(pos, end == std::u32string_view::npos ? std::u32string_view::npos : end - pos);
    if (para.empty()) lines.emplace_back();
    while (!para.empty()) {
      if (para.size() <= w) {
        lines.emplace_back(para);
        break;
      }
      size_t cut = para.substr(0, w + 1).find_last_of(U' ');
      if (cut == std::u32string_view::npos || cut == 0) {
        lines.emplace_back(para.substr(0, w));
        para.remove_prefix(w);
      } else {
        std::u32string_view head = para.substr(0, cut);
        while (!head.empty() && head.back() == U' ') head.remove_suffix(1);
        lines.emplace_back(head);
        para.remove_prefix(cut + 1);
      }
      while (!para.empty() && para.front() == U' ') para.remove_prefix(1);
    }
    if (end == std::u32string_view::npos) break;
    pos = end + ((text[end] == U'\r' && end + 1 < text.size() && text[end + 1] == U'\n') ? 2 : 1);
    if (pos == text.size()) break;  // a final line end opens no empty line
  }
  for (auto& line : lines) {
    for (char32_t& ch : line) {
      if (ch < 0x20) ch = U' ';
    }
  }
  return lines;
}

Label ParseLabel(std::u16string_view label) {
  Label out;
  std::u32string all = ToU32(label);
  size_t tab = all.find(U'\t');
  std::u32string_view text = std::u32string_view(all).substr(0, tab);
  if (tab != std::u32string::npos) out.accelerator = all.substr(tab + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == U'&' && i + 1 < text.size()) {
      ++i;
      if (text[i] != U'&' && out.mnemonic < 0) out.mnemonic = static_cast<int>(out.text.size());
    }
    out.text += text[i];
  }
  return out;
}

}  // namespace terminal
