#include "resources/ResFile.h"

#include "resources/ByteReader.h"
#include "text/WideText.h"

namespace resources {

bool ResourceId::Matches(const ResourceId& other) const {
  if (isOrdinal != other.isOrdinal) return false;
  return isOrdinal ? ordinal == other.ordinal : text::EqualsIgnoreCase(name, other.name);
}

namespace {

bool ReadId(ByteReader& reader, ResourceId& id) {
  uint16_t first;
  ByteReader peek = reader;
  if (!peek.U16(first)) return false;
  if (first == 0xFFFF) {
    uint16_t ordinal;
    if (!reader.Skip(2) || !reader.U16(ordinal)) return false;
    id = ResourceId::Ordinal(ordinal);
    return true;
  }
  std::u16string name;
  if (!reader.String(name)) return false;
  id = ResourceId::Name(std::move(name));
  return true;
}

bool Fail(ResParseError* error, size_t offset, const char* message) {
  if (error != nullptr) *error = ResParseError{offset, message};
  return false;
}

// One entry at `offset`; on success `next` is where the following one starts.
bool ReadEntry(std::span<const uint8_t> image, size_t offset, ResourceEntry& entry, size_t& next,
               ResParseError* error) {
  ByteReader reader(image, offset);
  uint32_t dataSize, headerSize;
  if (!reader.U32(dataSize) || !reader.U32(headerSize)) return Fail(error, offset, "truncated entry header");
  if (headerSize > image.size() - offset) return Fail(error, offset, "header size beyond the end of the file");
  // Keeps every resource's data on a DWORD boundary of the image.
  if (headerSize % 4 != 0) return Fail(error, offset, "header size not a multiple of 4");
  // The header's fields must lie within HeaderSize.
  ByteReader header(image.first(offset + headerSize), offset + 8);
  if (!ReadId(header, entry.type)) return Fail(error, offset, "bad resource type");
  if (!ReadId(header, entry.name)) return Fail(error, offset, "bad resource name");
  if (!header.Align(4) || !header.U32(entry.dataVersion) || !header.U16(entry.memoryFlags) ||
      !header.U16(entry.language) || !header.U32(entry.version) || !header.U32(entry.characteristics)) {
    return Fail(error, offset, "header size too small for its fields");
  }
  size_t dataStart = offset + headerSize;
  if (dataSize > image.size() - dataStart) return Fail(error, offset, "data beyond the end of the file");
  entry.headerOffset = offset;
  entry.data = image.subspan(dataStart, dataSize);
  // The next entry starts at the next DWORD boundary; a final entry may
  // lack its padding.
  size_t end = dataStart + dataSize;
  next = end + (4 - end % 4) % 4;
  if (next > image.size()) next = image.size();
  return true;
}

}  // namespace

std::optional<std::vector<ResourceEntry>> ParseResFile(std::span<const uint8_t> image, ResParseError* error) {
  std::vector<ResourceEntry> entries;
  size_t offset = 0;
  while (offset < image.size()) {
    ResourceEntry entry;
    size_t next = 0;
    if (!ReadEntry(image, offset, entry, next, error)) return std::nullopt;
    bool opening = entry.type.isOrdinal && entry.type.ordinal == 0 && entry.name.isOrdinal && entry.name.ordinal == 0 &&
                   entry.data.empty();
    if (!opening) entries.push_back(std::move(entry));
    offset = next;
  }
  return entries;
}

}  // namespace resources
