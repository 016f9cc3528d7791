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
  bool Running() const;

 private:
  std::shared_ptr<kernel::ThreadControl> thread_;
};

struct BoxTexts {
  std::u16string text;
  std::u16string caption;
  std::vector<int> buttons;
  bool accepted = false;  // false: the box has no button for that answer (it stays open)
};

class ScriptedUser {
 public:
  // `mainClass`: the class of the program's main window; empty: whatever
  // application window the screen shows.
  explicit ScriptedUser(std::u16string mainClass = u"");

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

  // Waits for a message box not yet answered (the topmost) and answers it
  // with `result`; nullopt if none appeared within `timeout`. `beforeAnswer`
  // sees the box first: once answered, the program may go on to end the
  // whole process (a reboot) before this returns.
  std::optional<BoxTexts> AnswerNextBox(int result, std::chrono::milliseconds timeout,
                                        const std::function<void(const BoxTexts&)>& beforeAnswer = {});
  // Waits until the screen satisfies `condition`.
  bool WaitForScreen(const std::function<bool(const screen::Snapshot&)>& condition, std::chrono::milliseconds timeout);
  // Waits until the log view holds `text`.
  bool WaitForLogText(std::u16string_view text, std::chrono::milliseconds timeout);
  std::u16string LogText();

  // What the screen shows, as plain text; the log view's visible lines only.
  std::string ScreenText();
  // UTF-8 files: the log view's whole text, or the screen text.
  bool WriteLog(const std::string& path);
  bool WriteScreen(const std::string& path);

 private:
  // The main window's log view in `s`, or null; keeps a hold on its text.
  HWND FindLogView(const screen::Snapshot& s);

  std::u16string mainClass_;
  // The text of the last log view seen, readable after the window has gone:
  // what the view showed when the program ended is still saved.
  std::mutex heldLock_;
  HWND heldLog_ = nullptr;
  std::function<std::u16string()> heldLogText_;
};

// Platform time `timeout` real time from now; kernel::kNever for a limit
// too far away to count (std::chrono::milliseconds::max()).
kernel::TimePoint DeadlineAfter(std::chrono::milliseconds timeout);

}  // namespace headless
