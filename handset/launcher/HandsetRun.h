// One emulated handset for the life of the process: its ports locked, booted
// from the options, the program started with its front end (and --update's
// run of one update), and the process ended with the run's status, however
// the run ends: the program returns, the handset reboots, --update's update
// ends, a signal comes. The report, the outputs and the last lines are
// written first.
#pragma once

#include "handset/launcher/Options.h"
#include "handset/launcher/Report.h"

namespace launcher {

[[noreturn]] void RunHandset(const Options& options, SystemTime startedAt);

}  // namespace launcher
