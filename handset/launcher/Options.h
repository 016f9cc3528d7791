// The launcher's options: the platform's, never the program's (the program
// is started with an empty command line).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "handset/Handset.h"

namespace launcher {

enum class FrontEnd { Automatic, Terminal, Headless };

// The launcher's own exit statuses, apart from the program's (0, 255 for -1
// when another copy runs, 1, 16).
inline constexpr int kBadUsage = 2;
inline constexpr int kUpdateFailed = 10;      // --update: the module did not take the image
inline constexpr int kUpdateNotStarted = 11;  // --update: the update could not begin
inline constexpr int kFlashDiffers = 12;      // --update: the module said yes, its flash does not hold the image
inline constexpr int kScriptFailed = 125;     // a script step failed

struct Options {
  FrontEnd frontEnd = FrontEnd::Automatic;
  std::vector<std::string> scriptSteps;  // --do, in order
  std::vector<int> scriptStepArgs;       // argv position of each --do, for messages
  std::string scriptFile;
  std::string logOut;
  std::string flashOut;
  std::optional<std::string> trace;  // FILE, "-" (standard error) or "none"
  std::string desktop;
  bool update = false;  // run one update from "Update firmware - Go" to its end, then end
  bool quiet = false;   // on standard error, only how the run ended
  std::string report;   // the JSON report's file
  handset::HandsetOptions handset;
  bool help = false;
};

// Parses argv. On bad input returns nullopt with a one-line reason.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error);
std::string UsageText();

}  // namespace launcher
