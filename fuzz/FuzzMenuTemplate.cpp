// The menu template parser on arbitrary bytes.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "resources/Templates.h"

namespace {

// Popups nest no deeper than the parser allows; texts fit in the input.
void Check(const std::vector<resources::MenuTemplateItem>& items, int depth, size_t size) {
  if (depth > resources::kMaxMenuDepth && !items.empty()) __builtin_trap();
  for (const resources::MenuTemplateItem& item : items) {
    if (item.text.size() * 2 > size) __builtin_trap();
    if (!item.IsPopup() && !item.children.empty()) __builtin_trap();
    if (item.IsPopup()) Check(item.children, depth + 1, size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto menu = resources::ParseMenuTemplate(std::span<const uint8_t>(data, size));
  if (menu) Check(*menu, 1, size);
  return 0;
}
