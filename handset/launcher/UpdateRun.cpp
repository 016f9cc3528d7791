#include "handset/launcher/UpdateRun.h"

#include <windows.h>

#include <thread>
#include <tuple>

#include "handset/launcher/Options.h"
#include "kernel/Clock.h"
#include "text/WideText.h"
#include "windowing/Screen.h"

namespace launcher {
namespace {

constexpr UINT kUpdateGo = 118;  // "Update firmware - Go"
constexpr char16_t kSuccessCaption[] = u"Successful";

class TraceToWatch : public debugout::Sink {
 public:
  explicit TraceToWatch(UpdateWatch& watch) : watch_(watch) {}
  void Write(std::u16string_view text) override { watch_.OnTrace(text, std::chrono::steady_clock::now()); }

 private:
  UpdateWatch& watch_;
};

UpdateResult NotStarted(std::string words) { return {kUpdateNotStarted, "not-started", std::move(words)}; }
UpdateResult Failed(std::string words) { return {kUpdateFailed, "failed", std::move(words)}; }

// Answers the box the program shows once the module has taken the image,
// with OK as a person would. The line comes first: the answer lets the
// program reboot the handset, which ends the process.
void AnswerSuccessBox(const UpdateWatch::Print& progress) {
  screen::Snapshot snapshot = screen::Capture();
  for (const screen::ModalView& modal : snapshot.modals) {
    const screen::BoxView& box = modal.box;
    if (modal.kind != screen::ModalView::Kind::kMessageBox || box.answered || box.caption != kSuccessCaption) continue;
    if (progress) {
      progress("fwutil: answered \"" + text::ToUtf8(box.caption) + "\": \"" + headless::OneLine(box.text) +
               "\" with OK");
    }
    screen::AnswerBox(box.id, IDOK);
    return;
  }
}

// What changes while an update makes headway.
auto Headway(const UpdateState& s) {
  return std::make_tuple(s.updates, s.ignoredStarts, s.phase, s.attempts, s.acknowledged, s.outcome, s.lineClosed,
                         s.failures);
}

}  // namespace

std::shared_ptr<debugout::Sink> WatchSink(UpdateWatch& watch) { return std::make_shared<TraceToWatch>(watch); }

void FeedLogView(UpdateWatch& watch, std::u16string mainClass) {
  std::thread([&watch, mainClass = std::move(mainClass)] {
    headless::ScriptedUser finder(mainClass);
    HWND seen = nullptr;
    size_t length = 0;
    uint64_t rewrites = 0;
    for (;;) {
      uint64_t version = screen::Version();
      auto now = std::chrono::steady_clock::now();
      if (HWND log = finder.LogView()) {
        std::optional<screen::EditState> state = screen::Edit(log);
        if (state && (log != seen || state->length != length || state->rewrites != rewrites)) {
          seen = log;
          length = state->length;
          rewrites = state->rewrites;
          watch.OnLogView(screen::EditText(log), now);
        }
      }
      watch.OnTick(now);
      kernel::TimePoint deadline = kernel::kNever;
      if (std::optional<std::chrono::steady_clock::time_point> tick = watch.NextTick()) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(*tick - now);
        deadline = headless::DeadlineAfter(std::max(wait, std::chrono::milliseconds(1)));
      }
      screen::WaitForChange(version, deadline);
    }
  }).detach();
}

UpdateResult RunUpdate(headless::ScriptedUser& user, headless::ProgramThread& program, UpdateWatch& watch,
                       const UpdateRunOptions& options) {
  auto ended = [&program] { return !program.Running(); };
  if (!user.WaitUntilUp(options.startLimit, ended)) {
    if (program.Running()) {
      return NotStarted("the program's window did not come up within " + std::to_string(options.startLimit.count()) +
                        " s");
    }
    // Its main has returned; its thread is ending.
    int code = program.WaitForExit(std::chrono::seconds(10)).value_or(0);
    if (code == -1) return NotStarted("another copy of fwutil runs on this desktop (" + options.desktop + ")");
    return NotStarted("the program ended with " + std::to_string(code) + " before its window came up");
  }

  const UpdateState before = watch.State();
  if (!user.Command(kUpdateGo)) return NotStarted("the program's window has gone");
  auto headway = Headway(before);
  kernel::TimePoint giveUp = kernel::Clock::now() + options.silenceLimit;
  for (;;) {
    uint64_t version = screen::Version();
    UpdateState s = watch.State();
    if (s.updates == before.updates) {
      // Not begun: the program may have ignored the start, or ended.
      if (s.ignoredStarts != before.ignoredStarts) {
        return NotStarted("an update is running already; the program ignored this start");
      }
      if (!program.Running()) return NotStarted("the program ended before the update began");
    } else if (s.outcome == Outcome::kFailed || s.outcome == Outcome::kNotStarted) {
      return s.outcome == Outcome::kFailed ? Failed(s.failure) : NotStarted(s.failure);
    } else if (s.outcome == Outcome::kSucceeded && s.lineClosed) {
      return {0, "succeeded", ""};  // the handset did not reboot
    }
    AnswerSuccessBox(options.progress);

    kernel::TimePoint now = kernel::Clock::now();
    if (Headway(s) != headway) {
      headway = Headway(s);
      giveUp = now + options.silenceLimit;
    } else if (now >= giveUp) {
      std::string limit = std::to_string(options.silenceLimit.count()) + " minutes of the handset's clock";
      if (s.updates == before.updates) return NotStarted("the update did not begin within " + limit);
      return Failed("no news of the update for " + limit + "; given up");
    }
    screen::WaitForChange(version, giveUp);
  }
}

}  // namespace launcher
