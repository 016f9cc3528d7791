// SIGINT, SIGTERM and SIGHUP (and Ctrl+C in the terminal, which the front end
// turns into SIGINT) end the run as they always did, by the signal, so that
// a shell sees 128 + its number; but first the run is told: its report is
// written and its last line says what the module is left holding.
#pragma once

#include <functional>
#include <string>

namespace launcher {

// Blocks the three signals in the calling thread, and so in every thread it
// starts afterwards: call it first, before any other thread exists. Until
// CatchInterruptions they wait.
void BlockInterruptions();

// Takes the three signals on a thread of its own that calls `onSignal` with
// the signal's number (blocking them first, if that was not done).
void CatchInterruptions(std::function<void(int signal)> onSignal);

// Ends the process by `signal`, with its default action.
[[noreturn]] void DieBy(int signal);

// "SIGTERM", "SIGINT", "SIGHUP", "signal N".
std::string SignalName(int signal);

}  // namespace launcher
