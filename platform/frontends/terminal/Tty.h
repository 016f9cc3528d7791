// The terminal itself, through ncurses: taking it over and giving it back
// on every way out, reading keys, copying a grid to it.
//
// The terminal is one per process, so this is process-wide state; one
// front end owns it at a time. Only the front end's thread draws and reads
// keys. While the terminal is taken:
//  - SIGINT, SIGTERM, SIGHUP and SIGQUIT restore the terminal and then end
//    the process as they would have (default action); ignored ones stay
//    ignored;
//  - SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT restore it and go on to
//    the handler that was there before (a sanitizer's report stays readable);
//  - standard error, when it is this terminal, is held in a memory file and
//    written out once the terminal is back: a fatal message printed while
//    the screen was drawn is not lost under the redrawn screen;
//  - process exit (atexit) restores it as a last resort.
#pragma once

#include <string>
#include <vector>

#include "frontends/terminal/Grid.h"

namespace terminal::tty {

// Takes the terminal on standard input and output. False, with the reason
// in `error`, when they are no terminal or ncurses cannot drive it.
bool Open(std::string& error);
// Gives the terminal back and writes out what standard error held.
void Close();
bool IsOpen();

// Readable when there are keys or a wake-up (poll for POLLIN).
int EventFd();
// Makes EventFd() readable: a thread asks the front end's thread to look.
// Async-signal-safe.
void Wake();

struct Events {
  bool resized = false;
  bool woken = false;
};
// Drains the wake-ups: resize signals and Wake() calls.
Events TakeEvents();

struct RawKey {
  int code = 0;
  bool alt = false;  // came after a lone Esc
  std::string name;  // keyname() for the terminal's extended keys
};
// The keys typed so far; never blocks.
std::vector<RawKey> ReadKeys();

// Follows the terminal's new size; returns rows and columns.
void Resize(int& rows, int& cols);
void Size(int& rows, int& cols);

// Shows `grid` (of the terminal's size); `full` repaints every cell.
void Draw(const Grid& grid, bool full);

}  // namespace terminal::tty
