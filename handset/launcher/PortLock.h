// The lock of a host serial port, as the serial tools of the system take it
// (picocom, minicom, cu): a UUCP lock file "LCK..<name>" in the lock folder
// holding the owner's process id, made atomically. A port locked by a live
// process is refused with that process's id; a lock whose process is gone is
// taken over. The tty's exclusive flag (set when the port opens) keeps other
// openers out too, but not root, which is what production lines often run as.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace launcher {

// The lock folder: FWUTIL_LOCK_DIR when set, else /var/lock.
std::string LockFolder();

// The lock file for the tty at `path`: the folder, "LCK..", the name of the
// device the path leads to (links followed).
std::string LockFileFor(const std::string& path);

struct LockResult {
  enum class Kind { kTaken, kHeld, kUnavailable };
  Kind kind = Kind::kUnavailable;
  pid_t holder = 0;    // kHeld: the live process that holds it
  std::string file;    // the lock file
  std::string reason;  // kUnavailable: why no lock could be made (no folder, ...)
};

// Takes the lock of `path` for this process until ReleasePortLocks().
LockResult LockPort(const std::string& path);

// Removes every lock this process holds (what it holds, nothing else).
void ReleasePortLocks();

}  // namespace launcher
