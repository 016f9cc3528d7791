// Parsers of resource data formats, for the windowing code and the tests.
//
// Each takes the resource's bytes (as LoadResource/SizeofResource give them)
// and returns nullopt when they are malformed or truncated; none reads
// outside the span. They are pure: no platform state, no last-error.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace resources {

// ---- Menus (RT_MENU) ---------------------------------------------------
// A standard menu template: MENUITEMTEMPLATEHEADER (version 0, then the
// number of header bytes that follow, usually 0) and the items. An item is
// WORD flags, then WORD id unless MF_POPUP, then its null-terminated text.
// A popup's items follow it; MF_END marks the last item of each level.
// Extended templates (version 1) are not accepted.
struct MenuTemplateItem {
  uint16_t flags = 0;  // as stored: MF_POPUP, MF_END, MF_GRAYED, MF_CHECKED, ...
  uint16_t id = 0;     // command identifier; 0 for popups
  std::u16string text;
  std::vector<MenuTemplateItem> children;  // a popup's items

  bool IsPopup() const { return (flags & MF_POPUP) != 0; }
  // rc writes "MENUITEM SEPARATOR" as flags 0, id 0 and an empty text.
  bool IsSeparator() const { return (flags & MF_SEPARATOR) != 0 || (!IsPopup() && id == 0 && text.empty()); }
};

// The top-level items. Popups nest at most kMaxMenuDepth levels.
constexpr int kMaxMenuDepth = 16;
std::optional<std::vector<MenuTemplateItem>> ParseMenuTemplate(std::span<const uint8_t> bytes);

// ---- Dialogs (RT_DIALOG) -----------------------------------------------
// A standard DLGTEMPLATE (not DLGTEMPLATEEX, which is refused):
//   DLGTEMPLATE (style, extended style, item count, x, y, cx, cy)
//   menu, class: 0x0000 (none), 0xFFFF + ordinal, or a string
//   title: a string
//   if DS_SETFONT: WORD point size, face name string
//   items, each at a DWORD boundary (counted from the template's start):
//     DLGITEMTEMPLATE (style, extended style, x, y, cx, cy, WORD id)
//     class: 0xFFFF + ordinal (0x0080 button, 0x0081 edit, 0x0082 static,
//            0x0083 list box, 0x0084 scroll bar, 0x0085 combo box) or a string
//     title: 0xFFFF + ordinal or a string
//     creation data: a WORD, 0 for none, else the size in bytes of the
//     creation data including that size word, followed by the rest
struct TemplateName {
  enum Kind { kNone, kOrdinal, kString };
  Kind kind = kNone;
  uint16_t ordinal = 0;
  std::u16string text;
};

struct DialogItemTemplate {
  uint32_t style = 0;
  uint32_t exStyle = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  uint16_t id = 0;
  TemplateName windowClass;           // kOrdinal or kString
  TemplateName title;                 // kOrdinal or kString (possibly empty)
  std::vector<uint8_t> creationData;  // without the size word
};

struct DialogTemplateInfo {
  uint32_t style = 0;
  uint32_t exStyle = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  TemplateName menu;
  TemplateName windowClass;  // kNone: the default dialog class
  std::u16string title;
  bool hasFont = false;  // DS_SETFONT
  uint16_t pointSize = 0;
  std::u16string faceName;
  std::vector<DialogItemTemplate> items;
};

std::optional<DialogTemplateInfo> ParseDialogTemplate(std::span<const uint8_t> bytes);

// ---- Accelerators (RT_ACCELERATOR) -------------------------------------
// 8-byte entries: WORD flags (FVIRTKEY, FNOINVERT, FSHIFT, FCONTROL, FALT;
// 0x80 marks the last entry), WORD key, WORD command, WORD padding. The
// entries up to the one marked last; a table must have at least one, and
// must not end before its last entry. The 0x80 mark is not part of fVirt.
constexpr uint16_t kAcceleratorLastEntry = 0x80;
std::optional<std::vector<ACCEL>> ParseAcceleratorTable(std::span<const uint8_t> bytes);

// ---- Strings (RT_STRING) -----------------------------------------------
// A string block: strings 16 * (block id - 1) .. + 15, each a WORD length
// and that many UTF-16 units (no terminator). Slots left empty have length 0;
// a block that ends after a complete string leaves the slots after it empty.
constexpr size_t kStringsPerBlock = 16;
struct StringSlot {
  size_t offset = 0;  // of the text within the block
  size_t length = 0;  // in UTF-16 units
};
std::optional<std::array<StringSlot, kStringsPerBlock>> ParseStringBlock(std::span<const uint8_t> bytes);

// ---- Icons (RT_GROUP_ICON) ---------------------------------------------
// NEWHEADER (reserved 0, type 1, count) and `count` 14-byte entries naming
// RT_ICON resources by ordinal.
struct IconGroupEntry {
  uint8_t width = 0;  // 0 means 256
  uint8_t height = 0;
  uint8_t colorCount = 0;
  uint16_t planes = 0;
  uint16_t bitCount = 0;
  uint32_t bytesInResource = 0;
  uint16_t iconId = 0;
};
std::optional<std::vector<IconGroupEntry>> ParseIconGroup(std::span<const uint8_t> bytes);

}  // namespace resources
