#include "frontends/headless/ScriptedUser.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "text/WideText.h"
#include "windowing/WindowManager.h"

namespace headless {
namespace {

// A wait reads its stop condition before it looks: what a failure ends a
// wait for may reach the screen just before the failure is told, and a look
// made after the condition turned true has seen it.
bool Stopped(const std::function<bool()>& stop) { return stop && stop(); }

struct Start {
  ProgramThread::Entry entry;
  HINSTANCE instance;
  int showCommand;
  std::shared_ptr<std::atomic<bool>> returned;
};

uint32_t RunEntry(void* param) {
  Start start = *static_cast<Start*>(param);
  delete static_cast<Start*>(param);
  static WCHAR emptyCommandLine[] = {0};
  int code = start.entry(start.instance, nullptr, emptyCommandLine, start.showCommand);
  // Whoever waits for the screen learns that nothing more will come.
  start.returned->store(true);
  windowing::NoteChange();
  return static_cast<uint32_t>(code);
}

// Menu and button texts keep their '&' markers; a person reads them without.
std::u16string Plain(std::u16string_view text) {
  std::u16string out;
  for (char16_t c : text) {
    if (c != u'&') out += c;
  }
  return out;
}

std::string Utf8(std::u16string_view text) { return text::ToUtf8(text); }

std::string ButtonName(int id) {
  switch (id) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    default:
      return std::to_string(id);
  }
}

void RenderItems(std::ostringstream& out, const std::vector<screen::MenuItemView>& items, const std::string& indent) {
  for (const screen::MenuItemView& item : items) {
    if (item.separator) {
      out << indent << "-----\n";
      continue;
    }
    out << indent << (item.checked ? "[x] " : "[ ] ") << Utf8(item.text);
    if (!item.popup) out << " (" << item.id << ")";
    if (!item.enabled) out << " (disabled)";
    out << "\n";
    if (item.popup) RenderItems(out, item.items, indent + "    ");
  }
}

void RenderControls(std::ostringstream& out, const std::vector<screen::ControlView>& controls) {
  for (const screen::ControlView& c : controls) {
    out << "  " << Utf8(c.className) << " " << c.id << " at (" << c.rect.left << "," << c.rect.top << ")-("
        << c.rect.right << "," << c.rect.bottom << ")" << (c.focused ? " focused" : "") << (c.visible ? "" : " hidden")
        << (c.enabled ? "" : " disabled");
    if (c.edit) {
      const screen::EditState& e = *c.edit;
      out << ": " << e.lineCount << " lines, showing from line " << e.firstVisibleLine << ", caret " << e.caret << "\n";
      for (const std::u16string& line : screen::EditLines(c.hwnd, e.firstVisibleLine, e.visibleLines)) {
        out << "  | " << Utf8(line) << "\n";
      }
    } else {
      out << ": \"" << OneLine(c.text) << "\"\n";
    }
  }
}

}  // namespace

// Texts on one line: line ends shown as they are written in C.
std::string OneLine(std::u16string_view text) {
  std::string out;
  for (char c : Utf8(text)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void WakeScreenWaiters() { windowing::NoteChange(); }

kernel::TimePoint DeadlineAfter(std::chrono::milliseconds timeout) {
  kernel::TimePoint now = kernel::Clock::now();
  if (timeout.count() <= 0) return now;
  // In platform nanoseconds, computed in floating point: a limit too far
  // away to count (milliseconds::max(), say) means no limit.
  double platform = static_cast<double>(timeout.count()) * 1e6 * kernel::ClockSpeed();
  double room = static_cast<double>(kernel::kNever.time_since_epoch().count()) -
                static_cast<double>(now.time_since_epoch().count());
  if (!(platform < room)) return kernel::kNever;
  return now + kernel::Duration(static_cast<kernel::Duration::rep>(platform));
}

// ------------------------------------------------------------ ProgramThread

ProgramThread::ProgramThread(Entry entry, HINSTANCE instance, int showCommand)
    : returned_(std::make_shared<std::atomic<bool>>(false)),
      thread_(kernel::StartThread(RunEntry, new Start{entry, instance, showCommand, returned_}, false)) {}

std::optional<int> ProgramThread::WaitForExit(std::chrono::milliseconds timeout) {
  if (!thread_->WaitFinished(DeadlineAfter(timeout))) return std::nullopt;
  return static_cast<int>(thread_->ExitCode());
}

bool ProgramThread::Running() const { return !returned_->load() && !thread_->HasEnded(); }

// ------------------------------------------------------------- ScriptedUser

ScriptedUser::ScriptedUser(std::u16string mainClass)
    : mainClass_(mainClass), held_(std::make_shared<Held>(std::move(mainClass))) {}

ScriptedUser::~ScriptedUser() {
  if (!watching_) return;
  held_->stop = true;
  windowing::NoteChange();  // wakes the watcher, which then ends
}

void ScriptedUser::WatchLogView() {
  if (watching_) return;
  watching_ = true;
  std::thread([held = held_] {
    for (;;) {
      uint64_t version = screen::Version();
      if (held->stop || held->Find(screen::Capture())) return;
      screen::WaitForChange(version, kernel::kNever);
    }
  }).detach();
}

bool ScriptedUser::IsUp(const screen::Snapshot& s) const {
  if (!s.window || s.window->creating) return false;
  if (!(mainClass_.empty() || text::EqualsIgnoreCase(s.window->className, mainClass_))) return false;
  if (!s.modals.empty()) return true;  // the program's box or dialog is in front of it
  if (!s.window->active) return false;
  if (s.window->focused) return true;
  for (const screen::ControlView& c : s.window->controls) {
    if (c.focused) return true;
  }
  return false;
}

bool ScriptedUser::WaitUntilUp(std::chrono::milliseconds timeout, const std::function<bool()>& ended) {
  if (up_) return true;
  kernel::TimePoint deadline = DeadlineAfter(timeout);
  for (;;) {
    uint64_t version = screen::Version();
    screen::Snapshot s = screen::Capture();
    if (IsUp(s)) {
      FindLogView(s);
      up_ = true;
      return true;
    }
    if ((ended && ended()) || kernel::Clock::now() >= deadline) return false;
    screen::WaitForChange(version, deadline);
  }
}

HWND ScriptedUser::FindLogView(const screen::Snapshot& s) { return held_->Find(s); }

HWND ScriptedUser::Held::Find(const screen::Snapshot& s) {
  if (!s.window || !(mainClass.empty() || text::EqualsIgnoreCase(s.window->className, mainClass))) return nullptr;
  for (const screen::ControlView& c : s.window->controls) {
    if (c.parent != s.window->hwnd || c.id != 5 || !c.edit) continue;
    std::lock_guard<std::mutex> guard(lock);
    if (c.hwnd != log) {
      log = c.hwnd;
      text = screen::HoldEditText(c.hwnd);
    }
    return c.hwnd;
  }
  return nullptr;
}

HWND ScriptedUser::MainWindow(std::chrono::milliseconds timeout) {
  kernel::TimePoint deadline = DeadlineAfter(timeout);
  for (;;) {
    uint64_t version = screen::Version();
    screen::Snapshot s = screen::Capture();
    if (s.window && (mainClass_.empty() || text::EqualsIgnoreCase(s.window->className, mainClass_))) {
      FindLogView(s);
      return s.window->hwnd;
    }
    if (kernel::Clock::now() >= deadline) return nullptr;
    screen::WaitForChange(version, deadline);
  }
}

HWND ScriptedUser::LogView(std::chrono::milliseconds timeout) {
  kernel::TimePoint deadline = DeadlineAfter(timeout);
  for (;;) {
    uint64_t version = screen::Version();
    if (HWND log = FindLogView(screen::Capture())) return log;
    if (kernel::Clock::now() >= deadline) return nullptr;
    screen::WaitForChange(version, deadline);
  }
}

bool ScriptedUser::Command(UINT id) {
  HWND main = MainWindow();
  return main && PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

bool ScriptedUser::Key(BYTE vk, unsigned modifiers, std::chrono::milliseconds timeout) {
  bool taker = WaitForScreen(
      [](const screen::Snapshot& s) {
        return s.foreground != nullptr ||
               (!s.modals.empty() && s.modals.back().kind == screen::ModalView::Kind::kMessageBox);
      },
      timeout);
  if (taker) screen::Key(vk, modifiers);
  return taker;
}

bool ScriptedUser::WaitForScreen(const std::function<bool(const screen::Snapshot&)>& condition,
                                 std::chrono::milliseconds timeout, const std::function<bool()>& stop) {
  return WaitForScreenUntil(condition, DeadlineAfter(timeout), stop);
}

bool ScriptedUser::WaitForScreenUntil(const std::function<bool(const screen::Snapshot&)>& condition,
                                      kernel::TimePoint deadline, const std::function<bool()>& stop) {
  for (;;) {
    uint64_t version = screen::Version();
    bool stopped = Stopped(stop);
    if (condition(screen::Capture())) return true;
    if (stopped || kernel::Clock::now() >= deadline) return false;
    screen::WaitForChange(version, deadline);
  }
}

bool ScriptedUser::Menu(int button, UINT id) {
  if (!screen::OpenMenu(button)) return false;
  if (screen::ChooseMenuItem(id)) return true;
  screen::CloseMenu();
  return false;
}

bool ScriptedUser::Done() { return screen::PressDone(); }

std::optional<BoxTexts> ScriptedUser::AnswerNextBox(int result, std::chrono::milliseconds timeout,
                                                    const std::function<void(const BoxTexts&)>& beforeAnswer,
                                                    const std::function<bool()>& stop) {
  kernel::TimePoint deadline = DeadlineAfter(timeout);
  for (;;) {
    uint64_t version = screen::Version();
    bool stopped = Stopped(stop);
    screen::Snapshot s = screen::Capture();
    for (auto it = s.modals.rbegin(); it != s.modals.rend(); ++it) {
      if (it->kind != screen::ModalView::Kind::kMessageBox || it->box.answered) continue;
      BoxTexts texts{it->box.text, it->box.caption, it->box.buttons, false};
      if (beforeAnswer) beforeAnswer(texts);
      texts.accepted = screen::AnswerBox(it->box.id, result);
      return texts;
    }
    if (stopped || kernel::Clock::now() >= deadline) return std::nullopt;
    screen::WaitForChange(version, deadline);
  }
}

std::u16string ScriptedUser::FrontCaption(const screen::Snapshot& s) {
  for (auto it = s.modals.rbegin(); it != s.modals.rend(); ++it) {
    if (it->kind == screen::ModalView::Kind::kDialog) return it->dialog.title;
    if (!it->box.answered) return it->box.caption;
  }
  // The application window when it is the foreground one; a dialog that is
  // in front but not yet on the screen's stack (its modal loop is only
  // starting) is not there yet.
  return s.window && s.window->active ? s.window->title : std::u16string();
}

bool ScriptedUser::WaitForWindow(std::u16string_view caption, std::chrono::milliseconds timeout,
                                 const std::function<bool()>& stop) {
  return WaitForScreen([&](const screen::Snapshot& s) { return FrontCaption(s) == caption; }, timeout, stop);
}

DialogPress ScriptedUser::PressDialogButton(int id, std::u16string_view text, std::chrono::milliseconds timeout,
                                            std::u16string* caption, const std::function<bool()>& stop) {
  kernel::TimePoint deadline = DeadlineAfter(timeout);
  // The dialog in front: the topmost thing on the screen.
  auto topDialog = [](const screen::Snapshot& s) -> const screen::WindowView* {
    if (s.modals.empty() || s.modals.back().kind != screen::ModalView::Kind::kDialog) return nullptr;
    return &s.modals.back().dialog;
  };
  screen::Snapshot s;
  for (;;) {
    uint64_t version = screen::Version();
    bool stopped = Stopped(stop);
    s = screen::Capture();
    if (topDialog(s)) break;
    if (stopped) return DialogPress::kStopped;
    if (kernel::Clock::now() >= deadline) return DialogPress::kNoDialog;
    screen::WaitForChange(version, deadline);
  }
  const screen::WindowView& dialog = *topDialog(s);
  if (caption) *caption = dialog.title;
  HWND button = nullptr;
  for (const screen::ControlView& c : dialog.controls) {
    if (c.parent != dialog.hwnd || !text::EqualsIgnoreCase(c.className, u"button")) continue;
    bool match = text.empty() ? c.id == id : text::EqualsIgnoreCase(Plain(c.text), Plain(text));
    if (match && c.visible && c.enabled) {
      button = c.hwnd;
      id = c.id;
      break;
    }
  }
  if (!button && !text.empty()) return DialogPress::kNoButton;
  // A button clicks itself; a dialog without that button gets the command
  // as Enter or Esc would give it.
  if (button) {
    PostMessageW(button, BM_CLICK, 0, 0);
  } else {
    PostMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(static_cast<UINT>(id), BN_CLICKED), 0);
  }
  HWND pressed = dialog.hwnd;
  // Closed: gone from the screen, or no longer on top (the press opened a
  // box or another dialog over it).
  bool closed = WaitForScreenUntil(
      [&](const screen::Snapshot& now) {
        const screen::WindowView* top = topDialog(now);
        if (top && top->hwnd == pressed) return false;
        return true;
      },
      deadline);
  return closed ? DialogPress::kClosed : DialogPress::kStillOpen;
}

bool ScriptedUser::WaitForLogText(std::u16string_view text, std::chrono::milliseconds timeout,
                                  const std::function<bool()>& stop) {
  kernel::TimePoint deadline = DeadlineAfter(timeout);
  HWND log = LogView(timeout);
  if (!log) return false;
  // Only text appended since the last look needs searching, unless the log
  // was changed elsewhere.
  size_t searchedLength = 0;
  uint64_t rewrites = 0;
  bool first = true;
  for (;;) {
    uint64_t version = screen::Version();
    bool stopped = Stopped(stop);
    std::optional<screen::EditState> state = screen::Edit(log);
    if (!state) return false;  // the log view is gone
    size_t from = 0;
    if (!first && state->rewrites == rewrites && searchedLength >= text.size()) {
      from = searchedLength - text.size() + 1;
    }
    if (screen::EditFind(log, text, from)) return true;
    first = false;
    rewrites = state->rewrites;
    searchedLength = state->length;
    if (stopped || kernel::Clock::now() >= deadline) return false;
    screen::WaitForChange(version, deadline);
  }
}

std::u16string ScriptedUser::LogText() {
  if (HWND log = LogView()) return screen::EditText(log);
  std::lock_guard<std::mutex> guard(held_->lock);
  return held_->text ? held_->text() : std::u16string();
}

std::string ScriptedUser::ScreenText() {
  screen::Snapshot s = screen::Capture();
  std::ostringstream out;
  out << "title bar: \"" << Utf8(s.title) << "\"" << (s.doneButton ? " [ok]" : "") << "\n";
  if (s.window) {
    out << "window \"" << Utf8(s.window->title) << "\" (class \"" << Utf8(s.window->className) << "\")"
        << (s.window->enabled ? "" : " disabled") << "\n";
    RenderControls(out, s.window->controls);
  } else {
    out << "no window\n";
  }
  if (s.menuBar) {
    out << "menu bar:";
    for (const screen::MenuButtonView& b : s.menuBar->buttons) out << " [" << Utf8(b.label) << "]";
    out << "\n";
    for (size_t i = 0; i < s.menuBar->buttons.size(); ++i) {
      out << "  " << Utf8(s.menuBar->buttons[i].label)
          << (static_cast<int>(i) == s.menuBar->openButton ? " (open)" : "") << ":\n";
      RenderItems(out, s.menuBar->buttons[i].items, "    ");
    }
  }
  for (const screen::ModalView& m : s.modals) {
    if (m.kind == screen::ModalView::Kind::kMessageBox) {
      out << "message box \"" << Utf8(m.box.caption) << "\": \"" << OneLine(m.box.text) << "\"";
      for (int button : m.box.buttons) out << " [" << ButtonName(button) << "]";
      out << (m.box.answered ? " (answered)" : "") << "\n";
    } else {
      out << "dialog \"" << Utf8(m.dialog.title) << "\"\n";
      RenderControls(out, m.dialog.controls);
    }
  }
  return out.str();
}

bool ScriptedUser::WriteLog(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << Utf8(LogText());
  return static_cast<bool>(out);
}

bool ScriptedUser::WriteScreen(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << ScreenText();
  return static_cast<bool>(out);
}

}  // namespace headless
