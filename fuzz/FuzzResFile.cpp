// The .res reader on arbitrary bytes, and every resource it finds through
// the parser of its type, as FindResourceW's callers would.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "resources/ResFile.h"
#include "resources/Templates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  resources::ResParseError error;
  auto entries = resources::ParseResFile(std::span<const uint8_t>(data, size), &error);
  if (!entries) {
    // A refusal says where: inside the input.
    if (error.offset > size || error.message.empty()) __builtin_trap();
    return 0;
  }
  for (const resources::ResourceEntry& entry : *entries) {
    // Every entry lies inside the image.
    if (entry.data.size() > 0 && (entry.data.data() < data || entry.data.data() + entry.data.size() > data + size)) {
      __builtin_trap();
    }
    if (!entry.type.isOrdinal) continue;
    switch (entry.type.ordinal) {
      case 4:
        (void)resources::ParseMenuTemplate(entry.data);
        break;
      case 5:
        (void)resources::ParseDialogTemplate(entry.data);
        break;
      case 6:
        (void)resources::ParseStringBlock(entry.data);
        break;
      case 9:
        (void)resources::ParseAcceleratorTable(entry.data);
        break;
      case 14:
        (void)resources::ParseIconGroup(entry.data);
        break;
      default:
        break;
    }
  }
  return 0;
}
