// The entry files of the desktop directory (see Desktop.h for their format),
// shared by the desktop's sources only.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace windowing {

struct Window;

// A top-level window of another process, as its entry file tells it.
struct DesktopEntry {
  std::string file;
  pid_t pid = 0;
  uintptr_t hwnd = 0;
  std::u16string cls;
  std::u16string title;
  std::string socket;
};

// Lower-case hexadecimal, as handles appear in entries and requests.
std::string Hex(uintptr_t value);
// This process's entry for `hwnd`.
std::string EntryPath(const std::string& directory, HWND hwnd);
// Writes the window's entry atomically; false if it could not be written.
bool WriteEntry(const std::string& directory, const Window& window, const std::string& socketName);
bool ProcessGone(pid_t pid);
// Removes an entry whose process is gone (and its socket file, if any).
void RemoveStale(const DesktopEntry& entry);
// The entries of other processes, oldest file name first; stale ones are
// removed on the way.
std::vector<DesktopEntry> OtherEntries(const std::string& directory);

}  // namespace windowing
