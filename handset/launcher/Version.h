// What this fwutil is: the project's version, the commit it was built from,
// the processor it runs on, and the module images built into its program.
#pragma once

#include <optional>
#include <string>

#include "handset/launcher/Report.h"

namespace launcher {

ToolInfo BuildTool();
// The SHA-256 of the built-in firmware image (the image the update sends).
std::optional<std::string> FirmwareSha256();
// fwutil --version: the version line, then one line per built-in image with
// its size and SHA-256.
std::string VersionText();

}  // namespace launcher
