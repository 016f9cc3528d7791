// The resource tests' fixture, in SDK terms: small .res images built by hand,
// and modules that hold them (or the program's own embedded image), as the
// loader would give them to a program. ResourceTestSupport.cpp registers the
// modules with the stand-in's kernel.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace restest {

// Registers the program's embedded resource image as the running program
// ("fwutil.exe"), again, and returns its instance.
HINSTANCE RegisterProgramResources();
// Registers `image` (a .res, kept by the caller for the life of the process)
// as a module's resources and returns its instance.
HINSTANCE RegisterImage(std::span<const uint8_t> image);

// A resource type or name in a .res: an ordinal or a string.
struct Id {
  bool isOrdinal = true;
  uint16_t ordinal = 0;
  std::u16string name;
};

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
inline void PutId(std::vector<uint8_t>& out, const Id& id) {
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
    Add(Id{true, 0, {}}, Id{true, 0, {}}, 0, {});
  }
  ResBuilder& Add(const Id& type, const Id& name, uint16_t language,
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

inline Id Ord(uint16_t id) { return Id{true, id, {}}; }
inline Id Name(std::u16string s) { return Id{false, 0, std::move(s)}; }

}  // namespace restest
