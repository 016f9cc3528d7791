// What the options ask of the machine, checked before the handset starts and
// before anything is sent to a module: every file the run is to write can be
// written there, the desktop is a folder, the module's switches are known, a
// module behind a host tty can be reset. A failed check is a bad option
// (exit status 2) with one line that says what to change.
#pragma once

#include <string>
#include <vector>

#include "handset/launcher/Options.h"
#include "handset/launcher/Plan.h"

namespace launcher {

// Checks `options`, and makes the --desktop folder when it is missing. Lines
// for the operator that do not stop the run (a clock sped up against a
// module that keeps real time) go to `warnings`.
bool CheckOptions(const Options& options, std::vector<std::string>* warnings, std::string* error);

// The options of every module of a bench, as its copy will check them.
bool CheckBench(const Plan& plan, std::vector<std::string>* warnings, std::string* error);

// Whether a file can be written at `path`: an existing file that is no
// folder and may be written, or a new one in a folder that may be written.
bool CanWriteFile(const std::string& path, std::string* reason);

}  // namespace launcher
