// The DLGTEMPLATE parser on arbitrary bytes.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "resources/Templates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto dialog = resources::ParseDialogTemplate(std::span<const uint8_t>(data, size));
  if (!dialog) return 0;
  // Every item the template announces is there, and no text or creation
  // data can be longer than the input.
  for (const resources::DialogItemTemplate& item : dialog->items) {
    if (item.creationData.size() > size || item.title.text.size() * 2 > size) __builtin_trap();
  }
  if (dialog->title.size() * 2 > size || dialog->faceName.size() * 2 > size) __builtin_trap();
  return 0;
}
