// The headless front end: a scripted user of the handset for tests and
// automation. It reads the screen model and gives input the way a person
// would (commands, keys, the menu bar, answers to message boxes) and waits
// for what the program shows. ProgramThread runs the program's main on a
// thread of its own and hands back its exit code.
//
// Timeouts are real time (converted to the platform clock, whatever its
// speed), so a test's limits mean the same under a fast clock.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/Thread.h"
#include "windowing/Screen.h"

namespace headless {

// Runs `entry(instance, NULL, L"", showCommand)` on a platform thread.
class ProgramThread {
 public:
  using Entry = int(WINAPI*)(HINSTANCE, HINSTANCE, LPWSTR, int);
  ProgramThread(Entry entry, HINSTANCE instance, int showCommand = SW_SHOW);
  ~ProgramThread() = default;  // the program keeps running; it ends with the process
  ProgramThread(const ProgramThread&) = delete;
  ProgramThread& operator=(const ProgramThread&) = delete;

  // The entry's return value once it has returned; nullopt if it is still
  // running after `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // False once the entry has returned (screen waiters are woken then).
  bool Running() const;

 private:
  std::shared_ptr<std::atomic<bool>> returned_;
  std::shared_ptr<kernel::ThreadControl> thread_;
};

struct BoxTexts {
  std::u16string text;
  std::u16string caption;
  std::vector<int> buttons;
  bool accepted = false;  // false: the box has no button for that answer (it stays open)
};

// What a `dialog` step did.
enum class DialogPress {
  kClosed,     // pressed; the dialog has closed (or something opened over it)
  kNoDialog,   // no dialog came to the front in time
  kNoButton,   // the dialog has no button with that text
  kStillOpen,  // pressed, but the dialog stayed open
  kStopped,    // no dialog came before the caller's stop condition turned true
};

// A text on one line, as traces and messages show it: line ends written as
// in C ("\\r", "\\n").
std::string OneLine(std::u16string_view text);

class ScriptedUser {
 public:
  // `mainClass`: the class of the program's main window; empty: whatever
  // application window the screen shows.
  explicit ScriptedUser(std::u16string mainClass = u"");
  ~ScriptedUser();
  ScriptedUser(const ScriptedUser&) = delete;
  ScriptedUser& operator=(const ScriptedUser&) = delete;

  // From now on, keeps a hold on the main window's log view as soon as it
  // appears, whatever else the user does, so LogText() has the view's last
  // text after the program has closed it.
  void WatchLogView();

  // Waits until the main window is up: created, and in front with the
  // focus inside it (or under a box or dialog of the program). Once it has
  // been up, returns true at once. False when `timeout` passes first or
  // `ended` (checked at every screen change) turns true first.
  bool WaitUntilUp(std::chrono::milliseconds timeout, const std::function<bool()>& ended = {});

  // The main window, waiting up to `timeout` for it; null if none.
  HWND MainWindow(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  // The main window's log view: its edit control with id 5.
  HWND LogView(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

  // Posts WM_COMMAND(id) to the main window; false if there is none.
  bool Command(UINT id);
  // A key pressed and released with the screen::Modifiers held, once some
  // window (or a message box) can take it: keys pressed while nothing is in
  // front would be lost. False if nothing appeared within `timeout`.
  bool Key(BYTE vk, unsigned modifiers = screen::kNoModifiers,
           std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // Opens menu-bar button `button` and chooses the item `id` of its popup.
  bool Menu(int button, UINT id);
  // The title bar's done button.
  bool Done();

  // The waits below that take `stop` also end (as if their time were up)
  // once it turns true; it is checked at every screen change, just before
  // the wait looks (WakeScreenWaiters makes a change), so that what came
  // before the stop is still found.

  // Waits for a message box not yet answered (the topmost) and answers it
  // with `result`; nullopt if none appeared within `timeout`. `beforeAnswer`
  // sees the box first: once answered, the program may go on to end the
  // whole process (a reboot) before this returns.
  std::optional<BoxTexts> AnswerNextBox(int result, std::chrono::milliseconds timeout,
                                        const std::function<void(const BoxTexts&)>& beforeAnswer = {},
                                        const std::function<bool()>& stop = {});
  // Waits until a dialog is the topmost thing on the screen, presses its
  // button `id` (or, with `text` given, the button with that text, '&'
  // markers and case aside) and waits until the dialog has closed. The
  // dialog's caption goes to `caption`.
  DialogPress PressDialogButton(int id, std::u16string_view text, std::chrono::milliseconds timeout,
                                std::u16string* caption = nullptr, const std::function<bool()>& stop = {});
  // Waits until the thing in front (the topmost unanswered box, else the
  // topmost dialog, else the application window when it is the foreground
  // window) has the caption `caption`.
  bool WaitForWindow(std::u16string_view caption, std::chrono::milliseconds timeout,
                     const std::function<bool()>& stop = {});
  // The caption of the thing in front, as WaitForWindow sees it.
  static std::u16string FrontCaption(const screen::Snapshot& s);

  // Waits until the screen satisfies `condition`.
  bool WaitForScreen(const std::function<bool(const screen::Snapshot&)>& condition, std::chrono::milliseconds timeout,
                     const std::function<bool()>& stop = {});
  // Waits until the log view holds `text`.
  bool WaitForLogText(std::u16string_view text, std::chrono::milliseconds timeout,
                      const std::function<bool()>& stop = {});
  std::u16string LogText();

  // What the screen shows, as plain text; the log view's visible lines only.
  std::string ScreenText();
  // UTF-8 files: the log view's whole text, or the screen text.
  bool WriteLog(const std::string& path);
  bool WriteScreen(const std::string& path);

 private:
  // The main window's log view in `s`, or null; keeps a hold on its text.
  HWND FindLogView(const screen::Snapshot& s);
  bool IsUp(const screen::Snapshot& s) const;
  bool WaitForScreenUntil(const std::function<bool(const screen::Snapshot&)>& condition, kernel::TimePoint deadline,
                          const std::function<bool()>& stop = {});

  // The text of the last log view seen, readable after the window has gone:
  // what the view showed when the program ended is still saved. Shared with
  // the watcher, which may outlive the user by a moment (it is detached: a
  // process that ends at once leaves no thread unjoined).
  struct Held {
    explicit Held(std::u16string c) : mainClass(std::move(c)) {}
    const std::u16string mainClass;
    std::mutex lock;
    HWND log = nullptr;
    std::function<std::u16string()> text;
    std::atomic<bool> stop{false};
    HWND Find(const screen::Snapshot& s);
  };

  std::u16string mainClass_;
  std::atomic<bool> up_{false};
  bool watching_ = false;
  std::shared_ptr<Held> held_;
};

// Wakes every wait on the screen, so that a stop condition that turned true
// without a change on the screen (news from the program's trace) is seen.
void WakeScreenWaiters();

// Platform time `timeout` real time from now; kernel::kNever for a limit
// too far away to count (std::chrono::milliseconds::max()).
kernel::TimePoint DeadlineAfter(std::chrono::milliseconds timeout);

}  // namespace headless
