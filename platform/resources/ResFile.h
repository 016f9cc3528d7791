// Reader of compiled resource files (.res, the Win32 format that rc and
// llvm-rc write): a sequence of entries, each a RESOURCEHEADER followed by
// its data, both padded to DWORD boundaries.
//
//   DWORD DataSize, HeaderSize
//   Type, Name    each 0xFFFF + WORD ordinal, or a null-terminated UTF-16
//                 string; Name starts right after Type
//   (pad to DWORD)
//   DWORD DataVersion; WORD MemoryFlags, LanguageId; DWORD Version,
//   Characteristics
//   data at the entry's start + HeaderSize (a multiple of 4), DataSize
//   bytes, padded to DWORD
//
// The reader never reads outside the given bytes; malformed input yields an
// error, not a partial result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace resources {

// A resource type or name: an integer id (ordinal) or a string.
struct ResourceId {
  bool isOrdinal = true;
  uint16_t ordinal = 0;
  std::u16string name;  // when !isOrdinal

  static ResourceId Ordinal(uint16_t id) { return ResourceId{true, id, {}}; }
  static ResourceId Name(std::u16string text) { return ResourceId{false, 0, std::move(text)}; }
  // Ordinals compare by value, names without regard to ASCII case.
  bool Matches(const ResourceId& other) const;
};

struct ResourceEntry {
  ResourceId type;
  ResourceId name;
  uint32_t dataVersion = 0;
  uint16_t memoryFlags = 0;
  uint16_t language = 0;
  uint32_t version = 0;
  uint32_t characteristics = 0;
  size_t headerOffset = 0;        // where the entry starts in the image
  std::span<const uint8_t> data;  // a view into the image
};

struct ResParseError {
  size_t offset = 0;  // of the entry that is malformed
  std::string message;
};

// All entries of a .res image, in file order. The empty entry that opens
// every .res file (type 0, name 0, no data) is not a resource and is left
// out. An empty image has no entries. On malformed input: nullopt, and
// `error` (if given) says where and why.
std::optional<std::vector<ResourceEntry>> ParseResFile(std::span<const uint8_t> image, ResParseError* error = nullptr);

}  // namespace resources
