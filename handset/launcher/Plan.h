// What a run is, from its options: the help, the version, one handset, or a
// bench of modules flashed at once (several --port, or --ports FILE), each
// by a copy of fwutil of its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "handset/launcher/Options.h"

namespace launcher {

// One module of a bench: its name on every line and in the summary (a
// tty's name, "emulated-N"), and the options of its own copy of fwutil.
struct BenchMember {
  std::string name;
  std::string port;               // a tty's path, or "emulated"
  std::vector<std::string> args;  // without the program, the report and the desktop
};

struct Plan {
  enum class Kind { kHelp, kVersion, kHandset, kBench };
  Kind kind = Kind::kHandset;
  std::vector<BenchMember> bench;
};

// `argv` is the command line the options came from: a member's copy takes
// the options that are not the bench's own. Reads the --ports file. Nullopt
// with a one-line reason when the plan cannot be made.
std::optional<Plan> MakePlan(const Options& options, int argc, char** argv, std::string* error);

}  // namespace launcher
