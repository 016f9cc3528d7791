// --timestamps: an ISO time (UTC, to the millisecond) in front of every line
// on standard error, whoever writes it (the launcher, the program's trace,
// the platform), for logs that several benches share.
#pragma once

#include <string>

namespace launcher {

// From now on, lines written to standard error are stamped: the descriptor
// becomes a pipe that a thread of its own reads, stamps and passes on.
void StampStderr();
// Waits until every line written so far has been passed on (before the
// process ends). Does nothing unless StampStderr() was called.
void FlushStderr();

// "2026-12-09T16:40:12.345Z " for the line being written now.
std::string StampNow();

}  // namespace launcher
