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

  void Run();
  void Finish();
};

void Frontend::State::Run() {
  UiState ui;
  LiveEdits edits;
  LiveActions actions;
  int rows = 0, cols = 0;
  tty::Size(rows, cols);
  uint64_t drawn = 0;
  bool dirty = true, full = true;
  kernel::TimePoint statusDue = kernel::kNever;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (stop) break;
      if (rebootRequested && !ui.rebooting) {
        ui.rebooting = true;
        dirty = true;
      }
    }
    if (options.status) {
      std::u16string status = options.status();
      if (status != ui.status) {
        ui.status = std::move(status);
        dirty = true;
        statusDue = options.statusRefreshMs ? kernel::AfterMilliseconds(options.statusRefreshMs) : kernel::kNever;
      } else {
        statusDue = kernel::kNever;
      }
    }
    screen::Snapshot snap = screen::Capture();
    SyncUi(snap, ui);
    if (dirty || snap.version != drawn) {
      tty::Draw(Layout(snap, edits, ui, rows, cols), full);
      drawn = snap.version;
      dirty = full = false;
      if (ui.rebooting) {
        std::lock_guard<std::mutex> guard(lock);
        rebootShown = true;
        waiters.WakeAll();
      }
    }

    short revents = 0;
    screen::WaitForChangeOrFd(drawn, statusDue, tty::EventFd(), POLLIN, &revents);
    tty::Events events = tty::TakeEvents();
    if (events.resized) {
      tty::Resize(rows, cols);
      dirty = full = true;
    }
    for (const tty::RawKey& raw : tty::ReadKeys()) {
      std::optional<KeyPress> key = DecodeKey(raw.code, raw.alt, raw.name);
      if (!key) continue;
      // Each key sees what the one before it did.
      snap = screen::Capture();
      SyncUi(snap, ui);
      switch (HandleKey(snap, ui, *key, actions, options.commandNames)) {
        case KeyOutcome::kRedraw:
          full = true;
          break;
        case KeyOutcome::kInterrupt:
          // As Ctrl+C would in a cooked terminal: the handler gives the
          // terminal back and the process ends.
          kill(getpid(), SIGINT);
          break;
        default:
          break;
      }
      dirty = true;
    }
  }
  Finish();
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
