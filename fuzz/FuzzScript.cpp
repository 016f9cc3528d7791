// The headless script language on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frontends/headless/Script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  headless::Script script = headless::ParseScript(text);
  if (script.error) {
    // The error names a line of the script and says what was wrong.
    if (script.error->line < 1 || script.error->message.empty()) __builtin_trap();
  }
  for (const headless::Step& step : script.steps) {
    if (step.line < 1) __builtin_trap();
    // A step parses again from its own text to the same step.
    headless::Script again;
    headless::ParseStep(step.source, step.line, again);
    if (again.error || again.steps.size() != 1 || again.steps[0].kind != step.kind) __builtin_trap();
  }
  return 0;
}
