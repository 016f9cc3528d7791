#include "handset/launcher/Version.h"

#include <string_view>

#include "BuildInfo.h"

namespace launcher {
namespace {

constexpr const char* kTarget =
#if defined(__x86_64__)
    "x86-64";
#elif defined(__aarch64__)
    "arm64";
#elif defined(__arm__) && defined(__ARM_PCS_VFP)
    "armhf";
#elif defined(__arm__)
    "armel";
#elif defined(__i386__)
    "i386";
#else
    "unknown";
#endif

// What each image is to the program (its "HEX" resources).
const char* Role(std::string_view name) {
  if (name == "boot1.bin") return "boot stage 1";
  if (name == "boot2.bin") return "boot stage 2";
  if (name == "firmware.bin") return "firmware image";
  if (name == "filesize.bin") return "size record (not sent)";
  return "";
}

}  // namespace

ToolInfo BuildTool() {
  ToolInfo tool;
  tool.version = buildinfo::kVersion;
  if (buildinfo::kCommit[0] != '\0') tool.commit = buildinfo::kCommit;
  tool.target = kTarget;
  return tool;
}

std::optional<std::string> FirmwareSha256() {
  for (const buildinfo::Image& image : buildinfo::kImages) {
    if (std::string_view(image.name) == "firmware.bin") return image.sha256;
  }
  return std::nullopt;
}

std::string VersionText() {
  ToolInfo tool = BuildTool();
  std::string text = "fwutil " + tool.version;
  if (tool.commit) text += " (commit " + *tool.commit + ")";
  text += ", " + tool.target + "\n";
  for (const buildinfo::Image& image : buildinfo::kImages) {
    char line[200];
    std::snprintf(line, sizeof line, "  %-13s %-24s %8llu bytes  sha256 %s\n", image.name, Role(image.name),
                  static_cast<unsigned long long>(image.bytes), image.sha256);
    text += line;
  }
  return text;
}

}  // namespace launcher
