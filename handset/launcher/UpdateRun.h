// The launcher's side of the program's updates: the program's trace and
// log view fed to an UpdateWatch, and --update, which runs one update as a
// person would (the window, "Update firmware - Go", the success box) and
// tells how it ended.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "frontends/headless/ScriptedUser.h"
#include "handset/launcher/UpdateWatch.h"
#include "kernel/DebugOutput.h"

namespace launcher {

// A debug-output sink that hands every text to `watch`.
std::shared_ptr<debugout::Sink> WatchSink(UpdateWatch& watch);

// Feeds the log view of the program's main window (class `mainClass`) to
// `watch` at every change, and calls its OnTick when due, on a thread of its
// own until the process ends.
void FeedLogView(UpdateWatch& watch, std::u16string mainClass);

struct UpdateResult {
  int status = 0;       // 0, kUpdateFailed or kUpdateNotStarted
  std::string outcome;  // the report's outcome
  std::string failure;  // the words, for a status that is not 0
};

struct UpdateRunOptions {
  std::string desktop;  // where the copies meet, for the words when another runs
  // The handset's clock may pass this long without news of the update
  // before it is given up on: longer than any wait of the update itself.
  std::chrono::minutes silenceLimit{3};
  std::chrono::seconds startLimit{60};  // real time, for the window to come up
  UpdateWatch::Print progress;          // lines about what was done (may be null)
};

// Waits for the program's main window, chooses "Update firmware - Go" and
// follows the update: the success box is answered, which makes the program
// reboot the handset (that ends the process elsewhere). Returns when the
// update has ended otherwise: failed, could not start, or succeeded without
// the reboot. A program whose window closes while its update runs is
// followed to the update's end.
UpdateResult RunUpdate(headless::ScriptedUser& user, headless::ProgramThread& program, UpdateWatch& watch,
                       const UpdateRunOptions& options);

}  // namespace launcher
