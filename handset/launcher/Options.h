// The launcher's options: the platform's, never the program's (the program
// is started with an empty command line).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "handset/Handset.h"

namespace launcher {

enum class FrontEnd { Automatic, Terminal, Headless };

struct Options {
  FrontEnd frontEnd = FrontEnd::Automatic;
  std::vector<std::string> scriptSteps;  // --do, in order
  std::vector<int> scriptStepArgs;       // argv position of each --do, for messages
  std::string scriptFile;
  std::string logOut;
  std::string flashOut;
  std::optional<std::string> trace;  // FILE, "-" (standard error) or "none"
  std::string desktop;
  handset::HandsetOptions handset;
  bool help = false;
};

// Parses argv. On bad input returns nullopt with a one-line reason.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error);
std::string UsageText();

}  // namespace launcher
