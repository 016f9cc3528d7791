// Runs a parsed script against the program: one runner per step kind.
#include "frontends/headless/Script.h"

#include <algorithm>
#include <iterator>

namespace headless {
namespace {

constexpr std::chrono::milliseconds kDefaultTimeout{30000};

// A text as a trace or a message shows it: quoted, line ends escaped.
std::string Quoted(std::u16string_view text) { return "\"" + OneLine(text) + "\""; }

// ------------------------------------------------------------- running
//
// One runner per step kind: it acts or waits, and says how that went.

// What a step came to: a failure, or success with a note for its trace line.
struct Outcome {
  std::optional<std::string> failure;
  std::string note;
  bool traced = false;  // the runner wrote the step's trace line itself
};

Outcome Failed(std::string message) { return Outcome{std::move(message), {}, false}; }
Outcome Succeeded(std::string note = {}) { return Outcome{std::nullopt, std::move(note), false}; }

// What the steps share while a script runs.
struct Run {
  ScriptedUser& user;
  ProgramThread* program;
  std::ostream* trace;
  RunResult& result;
  const FailureNotes& failures;
  std::chrono::milliseconds limit = kDefaultTimeout;  // of the waits; `timeout` sets it
  uint64_t failuresSeen = 0;                          // the failures the program had come to when a step last acted

  bool ProgramEnded() const { return program && !program->Running(); }

  // The words of a failure, told, that the program came to after a step
  // last acted: what a waiting step waits for will not come then.
  std::optional<std::string> NewFailure() const {
    if (!failures) return std::nullopt;
    FailureNote note = failures();
    if (note.told <= failuresSeen) return std::nullopt;
    return note.words;
  }
  std::function<bool()> Stop() const {
    return [this] { return NewFailure().has_value(); };
  }
  uint64_t FailuresNow() const { return failures ? failures().ended : 0; }
};

// A wait that ended without what it waited for: the failure that ended it,
// if one did, else `timedOut`.
Outcome WaitEnded(const Run& run, std::string timedOut) {
  if (std::optional<std::string> failure = run.NewFailure()) {
    return Failed("gave up waiting, the program failed: " + *failure);
  }
  return Failed(std::move(timedOut));
}

std::string Seconds(std::chrono::milliseconds t) { return std::to_string(t.count() / 1000.0).substr(0, 5) + " s"; }

RunResult Fail(const Step& step, const std::string& message, Run& run) {
  RunResult& result = run.result;
  result.ok = false;
  result.failedLine = step.line;
  result.message = "line " + std::to_string(step.line) + " (" + step.source + "): " + message;
  if (run.trace) *run.trace << "failed: " << result.message << "\n";
  return result;
}

// A step that acts on the program waits for its main window first: a step
// given before the program has come up would race its start.
Outcome AwaitMainWindow(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  if (run.user.WaitUntilUp(timeout, [&run] { return run.ProgramEnded(); })) return Succeeded();
  if (!run.ProgramEnded()) return Failed("the program's main window did not come up within " + Seconds(timeout));
  // What there is to save is still saved once the program has ended.
  bool saves = step.kind == Step::Kind::kSaveLog || step.kind == Step::Kind::kSaveScreen;
  if (!saves) return Failed("the program ended before its main window came up");
  return Succeeded();
}

Outcome RunCommand(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  if (!run.user.MainWindow(timeout)) return Failed("no main window appeared within " + Seconds(timeout));
  if (!run.user.Command(step.id)) return Failed("the main window refused the command");
  return Succeeded();
}

Outcome RunKey(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  if (!run.user.Key(step.vk, step.modifiers, timeout)) {
    return Failed("no window came to the front to take the key within " + Seconds(timeout));
  }
  return Succeeded();
}

Outcome RunMenu(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  if (!run.user.MainWindow(timeout)) return Failed("no main window appeared within " + Seconds(timeout));
  if (!run.user.Menu(step.button, step.id)) {
    return Failed("menu-bar button " + std::to_string(step.button) + " has no enabled item " + std::to_string(step.id) +
                  " (or the window is busy with a box or dialog)");
  }
  return Succeeded();
}

Outcome RunDone(const Step&, std::chrono::milliseconds, Run& run) {
  if (!run.user.Done()) return Failed("the window in front has no done button");
  return Succeeded();
}

Outcome RunWaitWindow(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  if (!run.user.WaitForWindow(step.text, timeout, run.Stop())) {
    return WaitEnded(run, "no window " + Quoted(step.text) + " came to the front within " + Seconds(timeout) +
                              " (in front: " + Quoted(ScriptedUser::FrontCaption(screen::Capture())) + ")");
  }
  return Succeeded();
}

Outcome RunDialog(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  std::u16string caption;
  switch (run.user.PressDialogButton(step.result, step.text, timeout, &caption, run.Stop())) {
    case DialogPress::kClosed:
      break;
    case DialogPress::kNoDialog:
    case DialogPress::kStopped:
      return WaitEnded(run, "no dialog came to the front within " + Seconds(timeout));
    case DialogPress::kNoButton:
      return Failed("the dialog " + Quoted(caption) + " has no button " + Quoted(step.text));
    case DialogPress::kStillOpen:
      return Failed("the dialog " + Quoted(caption) + " is still open " + Seconds(timeout) +
                    " after the button was pressed");
  }
  return Succeeded(" -> " + Quoted(caption));
}

// The step is reported before the box is answered: the answer may let the
// program reboot the handset, which ends the process at once.
Outcome RunAnswer(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  auto report = [&](const BoxTexts& box) {
    bool hasButton = std::find(box.buttons.begin(), box.buttons.end(), step.result) != box.buttons.end();
    if (run.trace && hasButton) {
      *run.trace << "line " << step.line << ": " << step.source << " -> " << Quoted(box.caption) << ": "
                 << Quoted(box.text) << std::endl;
    }
  };
  std::optional<BoxTexts> box = run.user.AnswerNextBox(step.result, timeout, report, run.Stop());
  if (!box) return WaitEnded(run, "no message box appeared within " + Seconds(timeout));
  if (!box->accepted) return Failed("the box " + Quoted(box->caption) + " has no such button");
  Outcome answered = Succeeded();
  answered.traced = true;
  return answered;
}

Outcome RunWait(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  if (!run.user.WaitForLogText(step.text, timeout, run.Stop())) {
    return WaitEnded(run, "the log view did not show " + Quoted(step.text) + " within " + Seconds(timeout));
  }
  return Succeeded();
}

// The exit code is kept even when it is not the one the step expects.
Outcome RunWaitExit(const Step& step, std::chrono::milliseconds timeout, Run& run) {
  if (!run.program) return Failed("no program runs here to wait for");
  std::optional<int> code = run.program->WaitForExit(timeout);
  if (!code) return Failed("the program did not end within " + Seconds(timeout));
  run.result.exitCode = code;
  if (step.exitCode && *step.exitCode != *code) {
    return Failed("the program ended with " + std::to_string(*code) + ", not " + std::to_string(*step.exitCode));
  }
  return Succeeded(" -> exit code " + std::to_string(*code));
}

Outcome RunTimeout(const Step& step, std::chrono::milliseconds, Run& run) {
  run.limit = *step.timeout;
  return Succeeded();
}

Outcome RunSaveLog(const Step& step, std::chrono::milliseconds, Run& run) {
  if (!run.user.WriteLog(step.path)) return Failed("cannot write " + step.path);
  return Succeeded();
}

Outcome RunSaveScreen(const Step& step, std::chrono::milliseconds, Run& run) {
  if (!run.user.WriteScreen(step.path)) return Failed("cannot write " + step.path);
  return Succeeded();
}

struct StepAction {
  Step::Kind kind;
  // Whether the step waits for the main window first; `answer`, `wait-window`
  // and `wait-exit` wait for what they name instead.
  bool needsMainWindow;
  // Whether it gives the program input: failures told before it do not end
  // the waits after it.
  bool acts;
  Outcome (*run)(const Step&, std::chrono::milliseconds timeout, Run&);
};

constexpr StepAction kActions[] = {
    {Step::Kind::kCommand, true, true, RunCommand},     {Step::Kind::kKey, true, true, RunKey},
    {Step::Kind::kMenu, true, true, RunMenu},           {Step::Kind::kDone, true, true, RunDone},
    {Step::Kind::kAnswer, false, true, RunAnswer},      {Step::Kind::kWait, true, false, RunWait},
    {Step::Kind::kWaitExit, false, false, RunWaitExit}, {Step::Kind::kWaitWindow, false, false, RunWaitWindow},
    {Step::Kind::kDialog, true, true, RunDialog},       {Step::Kind::kTimeout, false, false, RunTimeout},
    {Step::Kind::kSaveLog, true, false, RunSaveLog},    {Step::Kind::kSaveScreen, true, false, RunSaveScreen},
};

const StepAction& ActionFor(Step::Kind kind) {
  return *std::find_if(std::begin(kActions), std::end(kActions),
                       [kind](const StepAction& action) { return action.kind == kind; });
}

}  // namespace

RunResult RunScript(const std::vector<Step>& steps, ScriptedUser& user, ProgramThread* program, std::ostream* trace,
                    const FailureNotes& failures) {
  RunResult result;
  Run run{user, program, trace, result, failures};
  run.failuresSeen = run.FailuresNow();  // failures before the script are none of its business
  for (const Step& step : steps) {
    const StepAction& action = ActionFor(step.kind);
    const std::chrono::milliseconds timeout = step.timeout.value_or(run.limit);
    // Counted before the step acts: its input may bring a failure at once.
    const uint64_t failuresBefore = run.FailuresNow();
    Outcome outcome = action.needsMainWindow ? AwaitMainWindow(step, timeout, run) : Outcome{};
    if (!outcome.failure) outcome = action.run(step, timeout, run);
    if (outcome.failure) return Fail(step, *outcome.failure, run);
    if (action.acts) run.failuresSeen = failuresBefore;
    if (trace && !outcome.traced) *trace << "line " << step.line << ": " << step.source << outcome.note << "\n";
  }
  return result;
}

}  // namespace headless
