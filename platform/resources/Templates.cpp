#include "resources/Templates.h"

#include "resources/ByteReader.h"

namespace resources {
namespace {

// Items of one menu level, up to and including the one marked MF_END.
bool ReadMenuLevel(ByteReader& reader, int depth, std::vector<MenuTemplateItem>& items) {
  if (depth > kMaxMenuDepth) return false;
  for (;;) {
    MenuTemplateItem item;
    if (!reader.U16(item.flags)) return false;
    if (!item.IsPopup() && !reader.U16(item.id)) return false;
    if (!reader.String(item.text)) return false;
    if (item.IsPopup() && !ReadMenuLevel(reader, depth + 1, item.children)) return false;
    bool last = (item.flags & MF_END) != 0;
    items.push_back(std::move(item));
    if (last) return true;
  }
}

// Menu, class and item fields: 0x0000 none, 0xFFFF + ordinal, or a string.
bool ReadName(ByteReader& reader, TemplateName& name, bool allowNone) {
  uint16_t first;
  ByteReader peek = reader;
  if (!peek.U16(first)) return false;
  if (first == 0x0000 && allowNone) {
    reader.Skip(2);
    name = TemplateName{};
    return true;
  }
  if (first == 0xFFFF) {
    uint16_t ordinal;
    if (!reader.Skip(2) || !reader.U16(ordinal)) return false;
    name = TemplateName{TemplateName::kOrdinal, ordinal, {}};
    return true;
  }
  std::u16string text;
  if (!reader.String(text)) return false;
  name = TemplateName{TemplateName::kString, 0, std::move(text)};
  return true;
}

bool ReadDialogItem(ByteReader& reader, DialogItemTemplate& item) {
  if (!reader.Align(4)) return false;
  if (!reader.U32(item.style) || !reader.U32(item.exStyle) || !reader.I16(item.x) || !reader.I16(item.y) ||
      !reader.I16(item.cx) || !reader.I16(item.cy) || !reader.U16(item.id)) {
    return false;
  }
  if (!ReadName(reader, item.windowClass, false) || !ReadName(reader, item.title, false)) return false;
  uint16_t dataSize;
  if (!reader.U16(dataSize)) return false;
  if (dataSize != 0) {
    std::span<const uint8_t> data;
    if (dataSize < 2 || !reader.Bytes(dataSize - 2u, data)) return false;
    item.creationData.assign(data.begin(), data.end());
  }
  return true;
}

}  // namespace

std::optional<std::vector<MenuTemplateItem>> ParseMenuTemplate(std::span<const uint8_t> bytes) {
  ByteReader reader(bytes);
  uint16_t version, headerSize;
  if (!reader.U16(version) || !reader.U16(headerSize)) return std::nullopt;
  if (version != 0 || !reader.Skip(headerSize)) return std::nullopt;
  std::vector<MenuTemplateItem> items;
  if (!ReadMenuLevel(reader, 1, items)) return std::nullopt;
  return items;
}

std::optional<DialogTemplateInfo> ParseDialogTemplate(std::span<const uint8_t> bytes) {
  ByteReader reader(bytes);
  DialogTemplateInfo dialog;
  uint16_t count;
  if (!reader.U32(dialog.style) || !reader.U32(dialog.exStyle)) return std::nullopt;
  // DLGTEMPLATEEX starts with dlgVer 1 and signature 0xFFFF.
  if (dialog.style == 0xFFFF0001u) return std::nullopt;
  if (!reader.U16(count) || !reader.I16(dialog.x) || !reader.I16(dialog.y) || !reader.I16(dialog.cx) ||
      !reader.I16(dialog.cy)) {
    return std::nullopt;
  }
  if (!ReadName(reader, dialog.menu, true) || !ReadName(reader, dialog.windowClass, true)) return std::nullopt;
  if (!reader.String(dialog.title)) return std::nullopt;
  if ((dialog.style & DS_SETFONT) != 0) {
    dialog.hasFont = true;
    if (!reader.U16(dialog.pointSize) || !reader.String(dialog.faceName)) return std::nullopt;
  }
  // Each item takes at least 22 bytes: a huge count in a short template
  // fails at its first missing item, before much is allocated.
  for (uint16_t i = 0; i < count; ++i) {
    DialogItemTemplate item;
    if (!ReadDialogItem(reader, item)) return std::nullopt;
    dialog.items.push_back(std::move(item));
  }
  return dialog;
}

std::optional<std::vector<ACCEL>> ParseAcceleratorTable(std::span<const uint8_t> bytes) {
  ByteReader reader(bytes);
  std::vector<ACCEL> entries;
  for (;;) {
    uint16_t flags, key, command, padding;
    if (!reader.U16(flags) || !reader.U16(key) || !reader.U16(command) || !reader.U16(padding)) return std::nullopt;
    ACCEL accel;
    accel.fVirt = static_cast<BYTE>(flags & 0x7F);
    accel.key = key;
    accel.cmd = command;
    entries.push_back(accel);
    if ((flags & kAcceleratorLastEntry) != 0) return entries;
  }
}

std::optional<std::array<StringSlot, kStringsPerBlock>> ParseStringBlock(std::span<const uint8_t> bytes) {
  ByteReader reader(bytes);
  std::array<StringSlot, kStringsPerBlock> slots{};
  for (StringSlot& slot : slots) {
    // A block may stop after its last string: the slots after it are empty.
    if (reader.AtEnd()) break;
    uint16_t length;
    if (!reader.U16(length)) return std::nullopt;
    slot.offset = reader.Offset();
    slot.length = length;
    if (!reader.Skip(size_t{length} * 2)) return std::nullopt;
  }
  return slots;
}

std::optional<std::vector<IconGroupEntry>> ParseIconGroup(std::span<const uint8_t> bytes) {
  ByteReader reader(bytes);
  uint16_t reserved, type, count;
  if (!reader.U16(reserved) || !reader.U16(type) || !reader.U16(count)) return std::nullopt;
  if (reserved != 0 || type != 1) return std::nullopt;
  if (reader.Remaining() < size_t{count} * 14) return std::nullopt;
  std::vector<IconGroupEntry> entries(count);
  for (IconGroupEntry& entry : entries) {
    uint8_t reservedByte;
    reader.U8(entry.width);
    reader.U8(entry.height);
    reader.U8(entry.colorCount);
    reader.U8(reservedByte);
    reader.U16(entry.planes);
    reader.U16(entry.bitCount);
    reader.U32(entry.bytesInResource);
    reader.U16(entry.iconId);
  }
  return entries;
}

}  // namespace resources
