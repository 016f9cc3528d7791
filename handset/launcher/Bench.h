// A bench of modules in one command: every module flashed at once by a copy
// of fwutil of its own (its own handset, port lock, desktop and report), each
// of its lines on standard error led by its name, then a summary table and,
// with --report, one JSON document with every module's report. One module
// failing or being interrupted never stops or slows the others.
#pragma once

#include "handset/launcher/Options.h"
#include "handset/launcher/Plan.h"
#include "handset/launcher/Report.h"

namespace launcher {

// Ends the process with 0 when every module took the image, else with the
// status of the worst outcome (WorstStatus); a signal that comes while the
// bench runs is passed to every copy, and ends the bench once they are done.
[[noreturn]] void RunBench(const Options& options, const Plan& plan, SystemTime startedAt);

}  // namespace launcher
