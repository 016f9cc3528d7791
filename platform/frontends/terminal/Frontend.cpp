#include "frontends/terminal/Frontend.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "frontends/terminal/Keys.h"
#include "frontends/terminal/Layout.h"
#include "frontends/terminal/Tty.h"
#include "kernel/Wait.h"
#include "windowing/Screen.h"

namespace terminal {
namespace {

class LiveEdits : public EditSource {
 public:
  std::vector<std::u16string> Lines(HWND edit, size_t first, size_t count) override {
    return screen::EditLines(edit, first, count);
  }
};

class LiveActions : public ScreenActions {
 public:
  bool OpenMenu(int button) override { return screen::OpenMenu(button); }
  void CloseMenu() override { screen::CloseMenu(); }
  bool ChooseMenuItem(UINT id) override { return screen::ChooseMenuItem(id); }
  bool AnswerBox(uint64_t id, int result) override { return screen::AnswerBox(id, result); }
  bool PressDone() override { return screen::PressDone(); }
  bool SendCommand(UINT id) override { return screen::SendCommand(id); }
  void Key(uint8_t vk, unsigned modifiers) override { screen::Key(vk, modifiers); }
};

}  // namespace

struct Frontend::State {
  FrontendOptions options;
  std::thread thread;
  std::mutex lock;
  kernel::WaitQueue waiters;  // ShowRebooting, guarded by `lock`
  bool stop = false;
  bool finished = true;  // the thread has given the terminal back
  bool rebootRequested = false;
  bool rebootShown = false;

  // What the thread's loop keeps from one turn to the next.
  struct View {
    UiState ui;
    LiveEdits edits;
    LiveActions actions;
    int rows = 0, cols = 0;
    uint64_t drawn = 0;  // the version of the screen on the terminal
    bool dirty = true;   // draw even if the screen has not changed
    bool full = true;    // draw every cell, not only the changed ones
    kernel::TimePoint statusDue = kernel::kNever;
  };

  void Run();
  bool TakeRequests(View& v);
  void ReadStatus(View& v);
  void DrawIfChanged(View& v);
  void WaitForInput(View& v);
  void OnKey(View& v, const KeyPress& key);
  void Finish();
};

// One turn: requests from other threads, the status line, the screen if
// it changed, then sleep until something happens and take the keys.
void Frontend::State::Run() {
  View v;
  tty::Size(v.rows, v.cols);
  while (TakeRequests(v)) {
    ReadStatus(v);
    DrawIfChanged(v);
    WaitForInput(v);
  }
  Finish();
}

// False once Stop asked the loop to end.
bool Frontend::State::TakeRequests(View& v) {
  std::lock_guard<std::mutex> guard(lock);
  if (stop) return false;
  if (rebootRequested && !v.ui.rebooting) {
    v.ui.rebooting = true;
    v.dirty = true;
  }
  return true;
}

// A status that changed is read again after statusRefreshMs; one that
// stayed the same waits for a wake-up.
void Frontend::State::ReadStatus(View& v) {
  if (!options.status) return;
  std::u16string status = options.status();
  if (status != v.ui.status) {
    v.ui.status = std::move(status);
    v.dirty = true;
    v.statusDue = options.statusRefreshMs ? kernel::AfterMilliseconds(options.statusRefreshMs) : kernel::kNever;
  } else {
    v.statusDue = kernel::kNever;
  }
}

// Once the rebooting state is on the terminal, ShowRebooting may go on.
void Frontend::State::DrawIfChanged(View& v) {
  screen::Snapshot snap = screen::Capture();
  SyncUi(snap, v.ui);
  if (!v.dirty && snap.version == v.drawn) return;
  tty::Draw(Layout(snap, v.edits, v.ui, v.rows, v.cols), v.full);
  v.drawn = snap.version;
  v.dirty = v.full = false;
  if (v.ui.rebooting) {
    std::lock_guard<std::mutex> guard(lock);
    rebootShown = true;
    waiters.WakeAll();
  }
}

void Frontend::State::WaitForInput(View& v) {
  short revents = 0;
  screen::WaitForChangeOrFd(v.drawn, v.statusDue, tty::EventFd(), POLLIN, &revents);
  tty::Events events = tty::TakeEvents();
  if (events.resized) {
    tty::Resize(v.rows, v.cols);
    v.dirty = v.full = true;
  }
  for (const tty::RawKey& raw : tty::ReadKeys()) {
    std::optional<KeyPress> key = DecodeKey(raw.code, raw.alt, raw.name);
    if (key) OnKey(v, *key);
  }
}

void Frontend::State::OnKey(View& v, const KeyPress& key) {
  // Each key sees what the one before it did.
  screen::Snapshot snap = screen::Capture();
  SyncUi(snap, v.ui);
  const auto& names = options.commandNames.empty() ? CommandNames() : options.commandNames;
  switch (HandleKey(snap, v.ui, key, v.actions, names)) {
    case KeyOutcome::kRedraw:
      v.full = true;
      break;
    case KeyOutcome::kInterrupt:
      // As Ctrl+C would in a cooked terminal: the handler gives the
      // terminal back and the process ends.
      kill(getpid(), SIGINT);
      break;
    default:
      break;
  }
  v.dirty = true;
}

void Frontend::State::Finish() {
  tty::Close();
  std::lock_guard<std::mutex> guard(lock);
  finished = true;
  waiters.WakeAll();
}

Frontend::Frontend(FrontendOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
}

Frontend::~Frontend() { Stop(); }

bool Frontend::Start(std::string* error) {
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.lock);
  std::string reason;
  if (s.thread.joinable()) {
    reason = "the terminal front end is already running";
  } else if (tty::Open(reason)) {
    s.stop = false;
    s.finished = false;
    s.rebootRequested = false;
    s.rebootShown = false;
    s.thread = std::thread([state = &s] { state->Run(); });
    return true;
  }
  if (error) *error = reason;
  return false;
}

void Frontend::ShowRebooting() {
  State& s = *state_;
  {
    std::unique_lock<std::mutex> lock(s.lock);
    if (s.finished) return;
    s.rebootRequested = true;
  }
  tty::Wake();
  {
    std::unique_lock<std::mutex> lock(s.lock);
    kernel::WaitUntil(lock, s.waiters, kernel::kNever, [&] { return s.rebootShown || s.finished; });
  }
  kernel::SleepUntil(kernel::AfterMilliseconds(s.options.rebootingMs));
}

void Frontend::NotifyStatus() { tty::Wake(); }

void Frontend::Stop() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.thread.joinable()) return;
    s.stop = true;
  }
  tty::Wake();
  // From our own thread (a callback) the loop ends by itself; the owner's
  // next Stop or the destructor joins it.
  if (s.thread.get_id() == std::this_thread::get_id()) return;
  s.thread.join();
}

bool Frontend::Running() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->thread.joinable() && !state_->finished;
}

const char* Frontend::HelpText() { return KeyHelpText(); }

}  // namespace terminal
