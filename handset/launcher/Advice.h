// Words for the operator at the end of a run: what the module is left
// holding, and what to do next about a failure. The next steps are the
// README's (its table "When an update fails" gives each of them).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "handset/Handset.h"
#include "handset/launcher/UpdateWatch.h"

namespace launcher {

// What the module holds: the report's "flash_holds" ("image", "no-firmware",
// "earlier-firmware", "other-image"; nullopt when it is not known), the
// words, e.g. "the module's flash holds no firmware (erased when the image
// transfer began; ...)", and whether only another update mends it.
struct ModuleState {
  std::optional<std::string> holds;
  std::string words;
  bool runAgain = false;
};

// From the emulated module's flash where there is one (`flash`), else from
// how far the update went (a module behind a host tty).
ModuleState DescribeModule(const std::optional<handset::FlashCheck>& flash, const UpdateState& update);

// One short line: what to do about a failure with these words (the log
// view's, or why the update could not start).
std::string NextStep(const std::string& failure);

// Every next step the table knows, for the README's check.
std::vector<std::string> NextSteps();

}  // namespace launcher
