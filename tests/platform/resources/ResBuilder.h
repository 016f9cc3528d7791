// Builds small .res images by hand for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "resources/ResFile.h"

namespace restest {

inline void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
inline void PutString(std::vector<uint8_t>& out, std::u16string_view s) {
  for (char16_t c : s) Put16(out, c);
  Put16(out, 0);
}
inline void PutId(std::vector<uint8_t>& out, const resources::ResourceId& id) {
  if (id.isOrdinal) {
    Put16(out, 0xFFFF);
    Put16(out, id.ordinal);
  } else {
    PutString(out, id.name);
  }
}

class ResBuilder {
 public:
  ResBuilder() {
    // The empty entry that opens every .res file.
    Add(resources::ResourceId::Ordinal(0), resources::ResourceId::Ordinal(0), 0, {});
  }
  ResBuilder& Add(const resources::ResourceId& type, const resources::ResourceId& name, uint16_t language,
                  const std::vector<uint8_t>& data) {
    std::vector<uint8_t> header;
    PutId(header, type);
    PutId(header, name);
    while ((header.size() + 8) % 4 != 0) header.push_back(0);
    Put32(header, 0);     // DataVersion
    Put16(header, 0x30);  // MemoryFlags
    Put16(header, language);
    Put32(header, 0);  // Version
    Put32(header, 0);  // Characteristics
    Put32(bytes_, static_cast<uint32_t>(data.size()));
    Put32(bytes_, static_cast<uint32_t>(header.size() + 8));
    bytes_.insert(bytes_.end(), header.begin(), header.end());
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
    return *this;
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

inline resources::ResourceId Ord(uint16_t id) { return resources::ResourceId::Ordinal(id); }
inline resources::ResourceId Name(std::u16string s) { return resources::ResourceId::Name(std::move(s)); }

}  // namespace restest
