// The interactive front end: the handset's screen drawn in this terminal,
// a person's keys turned into the handset's input.
//
// It runs on a thread of its own that sleeps until the screen changes, a
// key arrives, the terminal is resized or someone wakes it (no polling
// while idle). Layout: see Layout.h; keys: the table in KeyTable.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace terminal {

struct FrontendOptions {
  // A line about the emulated hardware under the handset (the module's
  // phase, bytes and rate on the line). Called on the front end's thread
  // at each wake-up; must not call back into the Frontend.
  std::function<std::u16string()> status;
  // While the status line keeps changing, it is read again after this many
  // (platform) milliseconds even if nothing else happens; once it stays the
  // same, only wake-ups read it (see NotifyStatus). 0: only wake-ups.
  uint32_t statusRefreshMs = 500;
  // Names the command prompt accepts besides numbers ("about" -> 120);
  // empty: the key table's, the utility's commands that the key help names.
  std::vector<std::pair<std::string, UINT>> commandNames;
  // How long ShowRebooting shows its state (platform milliseconds).
  uint32_t rebootingMs = 1500;
};

class Frontend {
 public:
  explicit Frontend(FrontendOptions options);
  ~Frontend();  // Stop()
  Frontend(const Frontend&) = delete;
  Frontend& operator=(const Frontend&) = delete;

  // Takes over the terminal and starts the front end's thread. False, with
  // the reason in `error`, when there is no terminal to take (standard input
  // and output must be one) or it is already taken.
  bool Start(std::string* error = nullptr);
  // Shows the handset rebooting, holds it for rebootingMs, returns. The
  // caller then ends the process (after Stop). Any thread.
  void ShowRebooting();
  // The status line has news: read it now. Any thread, async-signal-safe.
  void NotifyStatus();
  // Ends the thread and gives the terminal back; writes out what went to
  // standard error meanwhile. Idempotent; not from the status callback.
  void Stop();
  bool Running() const;

  // The keys, for the launcher's --help.
  static const char* HelpText();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace terminal
