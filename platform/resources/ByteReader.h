// Bounds-checked little-endian reading of resource data. Every read either
// succeeds within the span or fails and leaves the reader where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace resources {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes, size_t offset = 0) : bytes_(bytes), pos_(offset) {}

  size_t Offset() const { return pos_; }
  size_t Remaining() const { return pos_ <= bytes_.size() ? bytes_.size() - pos_ : 0; }
  bool AtEnd() const { return Remaining() == 0; }

  bool U8(uint8_t& value) {
    if (Remaining() < 1) return false;
    value = bytes_[pos_++];
    return true;
  }
  bool U16(uint16_t& value) {
    if (Remaining() < 2) return false;
    value = static_cast<uint16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8);
    pos_ += 2;
    return true;
  }
  bool I16(int16_t& value) {
    uint16_t raw;
    if (!U16(raw)) return false;
    value = static_cast<int16_t>(raw);
    return true;
  }
  bool U32(uint32_t& value) {
    if (Remaining() < 4) return false;
    value = static_cast<uint32_t>(bytes_[pos_]) | static_cast<uint32_t>(bytes_[pos_ + 1]) << 8 |
            static_cast<uint32_t>(bytes_[pos_ + 2]) << 16 | static_cast<uint32_t>(bytes_[pos_ + 3]) << 24;
    pos_ += 4;
    return true;
  }
  bool Skip(size_t count) {
    if (Remaining() < count) return false;
    pos_ += count;
    return true;
  }
  // Advances to the next multiple of `alignment` (counted from the start of
  // the span); fails if that lies beyond the end.
  bool Align(size_t alignment) {
    size_t pad = (alignment - pos_ % alignment) % alignment;
    return Skip(pad);
  }
  // A null-terminated UTF-16 string; the terminator is consumed.
  bool String(std::u16string& value) {
    size_t start = pos_;
    std::u16string text;
    for (;;) {
      uint16_t unit;
      if (!U16(unit)) {
        pos_ = start;
        return false;
      }
      if (unit == 0) break;
      text.push_back(static_cast<char16_t>(unit));
    }
    value = std::move(text);
    return true;
  }
  // `count` bytes as a view into the span.
  bool Bytes(size_t count, std::span<const uint8_t>& value) {
    if (Remaining() < count) return false;
    value = bytes_.subspan(pos_, count);
    pos_ += count;
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_;
};

}  // namespace resources
