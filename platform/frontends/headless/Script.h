// The headless launcher's little script language: one step per line (or per
// --do option). Blank lines and lines starting with '#' are ignored.
//
//   command <id>                 WM_COMMAND(id) to the main window
//   key <keys>                   e.g. ctrl+q, shift+tab, enter, f1, 0x15
//   menu <button> <id>           open a menu-bar button, choose item <id>
//   done                         the title bar's done button
//   answer <button> [<timeout>]  answer the next message box: ok, cancel,
//                                yes, no, abort, retry or ignore
//   wait "<text>" [<timeout>]    until the log view holds the text; \r \n
//                                \t \\ \" escapes as in C
//   wait-exit [<code>] [<timeout>]  until the program returns (with <code>)
//   wait-window "<caption>" [<timeout>]  until the box, dialog or window in
//                                front has that caption
//   dialog <button> [<timeout>]  press a button of the dialog in front (ok,
//                                cancel, yes, no, abort, retry, ignore, an
//                                identifier or the button's text) and wait
//                                until the dialog has closed
//   timeout <duration>           the limit of the waits that follow (30s)
//   save-log <path>              the log view's text, UTF-8
//   save-screen <path>           the screen as text
//
// Every step that acts on the program, and `wait`, `save-log` and
// `save-screen`, first waits (within its time limit) until the program's
// main window is up; `answer`, `wait-window` and `wait-exit` wait for what
// they name, whatever the main window does.
//
// `answer`, `dialog`, `wait` and `wait-window` wait for what only a program
// that goes on well brings: when the program tells of a failure (see
// FailureNote) that came after the last step that acted, they end the script
// at once with its words instead of waiting out their limit; what the
// failure shows is still found first.
//
// Numbers are decimal or 0x hexadecimal; durations carry a unit: 500ms,
// 10s, 2m. Key names: a-z, 0-9, enter, esc, tab, space, backspace, delete,
// up, down, left, right, home, end, pgup, pgdn, f1-f12, or a virtual-key
// number; modifiers ctrl, shift, alt joined with '+'.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/headless/ScriptedUser.h"

namespace headless {

struct Step {
  enum class Kind {
    kCommand,
    kKey,
    kMenu,
    kDone,
    kAnswer,
    kWait,
    kWaitExit,
    kWaitWindow,
    kDialog,
    kTimeout,
    kSaveLog,
    kSaveScreen
  };
  Kind kind = Kind::kCommand;
  int line = 0;        // where it was written (1-based; the option's number for --do)
  std::string source;  // the step as written
  UINT id = 0;         // command, menu item
  int button = 0;      // menu-bar button
  BYTE vk = 0;         // key
  unsigned modifiers = 0;
  int result = 0;                                    // answer, dialog: IDOK etc.
  std::u16string text;                               // wait, wait-window; dialog: the button's text
  std::optional<int> exitCode;                       // wait-exit
  std::string path;                                  // save-log, save-screen
  std::optional<std::chrono::milliseconds> timeout;  // answer, wait, wait-exit; timeout's value
};

struct ParseError {
  int line = 0;
  std::string message;  // says what was wrong and what was expected
};

struct Script {
  std::vector<Step> steps;
  std::optional<ParseError> error;  // the first error; steps then stop before it
};

// A whole script; `firstLine` numbers its first line.
Script ParseScript(std::string_view text, int firstLine = 1);
// One step (a --do option); appends to `script` or sets its error.
void ParseStep(std::string_view line, int lineNumber, Script& script);

struct RunResult {
  bool ok = true;
  int failedLine = 0;
  std::string message;          // why it failed
  std::optional<int> exitCode;  // once a wait-exit saw the program return
};

// The program's failures so far (updates that ended without a new image).
// `ended` counts each as soon as the program has come to it, before it shows
// its words; `told` counts it once its words are all shown, `words` being
// the last one's. A step that acts records `ended`: a failure that the
// program had come to by then is none of the waits after it. Whoever raises
// `told` calls WakeScreenWaiters.
struct FailureNote {
  uint64_t ended = 0;
  uint64_t told = 0;
  std::string words;
};
using FailureNotes = std::function<FailureNote()>;

// Runs the steps in order, writing one line per step to `trace` (if any).
// `program` may be null when no step waits for the exit; `failures` may be
// empty when nothing tells of the program's failures.
RunResult RunScript(const std::vector<Step>& steps, ScriptedUser& user, ProgramThread* program,
                    std::ostream* trace = nullptr, const FailureNotes& failures = {});

}  // namespace headless
