// The emulated handset's process entry: reads the platform's options, checks
// them before anything starts, and runs what they plan: the help, the
// version, one handset (the program's main with an empty command line), or a
// bench of modules.
#include <chrono>
#include <cstdio>

#include "handset/launcher/Bench.h"
#include "handset/launcher/Checks.h"
#include "handset/launcher/HandsetRun.h"
#include "handset/launcher/Interruption.h"
#include "handset/launcher/Options.h"
#include "handset/launcher/Plan.h"
#include "handset/launcher/Report.h"
#include "handset/launcher/Version.h"

namespace launcher {
namespace {

// Bad options: nothing ran, so no report of an earlier run may stand at the
// report's path as if it were this one's.
int BadUsage(const std::string& error, const std::optional<std::string>& report) {
  std::fprintf(stderr, "fwutil: %s\n", error.c_str());
  if (report) RemoveEarlierReport(*report);
  return kBadUsage;
}

int Main(int argc, char** argv) {
  SystemTime startedAt = std::chrono::system_clock::now();
  // A signal that comes while the run is set up waits for the run to take
  // it (and tell it); none may end the process untold on another thread.
  BlockInterruptions();
  std::string error;
  std::optional<Options> options = ParseOptions(argc, argv, &error);
  if (!options) return BadUsage(error, ReportPathIn(argc, argv));
  std::optional<Plan> plan = MakePlan(*options, argc, argv, &error);
  if (!plan) return BadUsage(error, options->report);
  if (plan->kind == Plan::Kind::kHelp) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (plan->kind == Plan::Kind::kVersion) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  std::vector<std::string> warnings;
  if (!CheckOptions(*options, &warnings, &error)) return BadUsage(error, options->report);
  if (plan->kind == Plan::Kind::kBench && !CheckBench(*plan, &warnings, &error)) {
    return BadUsage(error, options->report);
  }
  for (const std::string& warning : warnings) std::fprintf(stderr, "fwutil: %s\n", warning.c_str());
  // From here the run writes its own report; until then none may stand.
  RemoveEarlierReport(options->report);
  if (plan->kind == Plan::Kind::kBench) RunBench(*options, *plan, startedAt);
  RunHandset(*options, startedAt);
}

}  // namespace
}  // namespace launcher

int main(int argc, char** argv) { return launcher::Main(argc, argv); }
