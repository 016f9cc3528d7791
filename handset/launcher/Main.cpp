// The emulated handset's process entry: takes the platform's options, boots
// the handset, starts a front end and runs the program's main with an empty
// command line. The program's return value is the process's exit status,
// unless --update runs one update and ends with how it went.
#include <windows.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "frontends/headless/Script.h"
#include "frontends/headless/ScriptedUser.h"
#include "frontends/terminal/Frontend.h"
#include "frontends/terminal/Layout.h"
#include "handset/Handset.h"
#include "handset/launcher/Options.h"
#include "handset/launcher/Report.h"
#include "handset/launcher/UpdateRun.h"
#include "handset/launcher/UpdateWatch.h"
#include "radio/Module.h"
#include "serial/VirtualPort.h"
#include "kernel/DebugOutput.h"
#include "text/WideText.h"
#include "windowing/Desktop.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

namespace launcher {
namespace {

constexpr char16_t kMainClass[] = u"Firmware Utility";

// Everything that must be written out however the run ends: a return from
// the program, a reboot of the handset, the end of --update.
struct Run {
  Options options;
  FrontEnd frontEnd = FrontEnd::Headless;
  handset::Handset* handset = nullptr;
  headless::ScriptedUser* user = nullptr;
  terminal::Frontend* frontend = nullptr;
  UpdateWatch* watch = nullptr;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::mutex finishing;
};

Run& TheRun() {
  static auto* run = new Run;
  return *run;
}

void Say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// Where an update's lines go: its outcome always, its progress only when
// headless and not --quiet (the terminal shows progress on its status line).
UpdateWatch::Print ProgressPrinter(const Run& run) {
  if (run.frontEnd != FrontEnd::Headless || run.options.quiet) return {};
  return Say;
}

void WriteOutputs(Run& run) {
  if (!run.options.logOut.empty() && run.user && !run.user->WriteLog(run.options.logOut)) {
    std::fprintf(stderr, "fwutil: cannot write the log view to %s\n", run.options.logOut.c_str());
  }
  auto module = run.handset ? run.handset->Module() : nullptr;
  if (!run.options.flashOut.empty()) {
    std::string reason;
    if (!module) {
      std::fprintf(stderr, "fwutil: --flash-out: there is no emulated module on COM1:\n");
    } else if (!module->SaveFlash(run.options.flashOut, &reason)) {
      std::fprintf(stderr, "fwutil: cannot write the flash to %s: %s\n", run.options.flashOut.c_str(), reason.c_str());
    }
  }
}

// The verify line, once the front end has given the terminal back: whether
// the emulated module's flash holds the program's firmware image, when an
// image transfer touched the flash during the run.
std::optional<std::string> ReportFlash(Run& run) {
  if (!run.handset) return std::nullopt;
  std::optional<std::string> line = run.handset->FlashVerifyLine();
  if (line) std::fprintf(stderr, "fwutil: verify: %s\n", line->c_str());
  return line;
}

// What the report says beyond what the watch saw, where the launcher itself
// decided how the run ended.
struct Verdict {
  std::optional<std::string> outcome;
  std::optional<std::string> failure;
  bool rebooted = false;
};

std::string OutcomeName(const UpdateState& s, const std::optional<std::string>& verify) {
  switch (s.outcome) {
    case Outcome::kNone:
      return "none";
    case Outcome::kRunning:
      return "unfinished";
    case Outcome::kSucceeded:
      return verify && !handset::FlashVerifyHolds(*verify) ? "flash-differs" : "succeeded";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kNotStarted:
      return "not-started";
  }
  return "none";
}

Report MakeReport(Run& run, int code, const Verdict& verdict, const std::optional<std::string>& verify) {
  UpdateState s = run.watch ? run.watch->State() : UpdateState{};
  auto now = std::chrono::steady_clock::now();
  Report report;
  report.outcome = verdict.outcome.value_or(OutcomeName(s, verify));
  report.exitStatus = code & 0xFF;
  if (verdict.failure) {
    report.failure = verdict.failure;
  } else if ((s.outcome == Outcome::kFailed || s.outcome == Outcome::kNotStarted) && !s.failure.empty()) {
    report.failure = s.failure;
  }
  if (s.phase != Phase::kNone) report.phase = PhaseName(s.phase);
  report.attempts = s.attempts;
  report.updates = s.updates;
  if (s.imageBytes) report.imageBytes = s.imageBytes;
  report.imageBytesAcknowledged = s.acknowledged;
  if (s.began) report.updateSeconds = std::chrono::duration<double>(s.ended.value_or(now) - *s.began).count();
  report.runSeconds = std::chrono::duration<double>(now - run.started).count();
  if (run.handset) report.com1 = run.handset->PortDevice(handset::kModulePort);
  report.verify = verify;
  if (verify) report.flashHoldsImage = handset::FlashVerifyHolds(*verify);
  report.rebooted = verdict.rebooted;
  return report;
}

// Ends the process with `code`, the report written first. The caller holds
// run.finishing.
[[noreturn]] void End(Run& run, int code, const Verdict& verdict = {},
                      const std::optional<std::string>& verify = std::nullopt) {
  if (!run.options.report.empty() && !WriteReport(run.options.report, MakeReport(run, code, verdict, verify))) {
    std::fprintf(stderr, "fwutil: cannot write the report to %s\n", run.options.report.c_str());
  }
  std::fflush(nullptr);
  // Threads of the program may still run (an update is not stopped when the
  // window closes); they end with the process, as on the handset.
  _exit(code);
}

// --update's status once the module has taken the image: where the flash
// can be read, it must hold the image.
int SucceededStatus(Run& run, const std::optional<std::string>& verify, Verdict& verdict) {
  std::string took = "update succeeded";
  if (UpdateState s = run.watch->State(); s.began) {
    took += " in " + ClockText(std::chrono::steady_clock::now() - *s.began);
  }
  if (verify && !handset::FlashVerifyHolds(*verify)) {
    verdict.outcome = "flash-differs";
    verdict.failure = "the module took the image, but its flash does not hold it: " + *verify;
    Say("fwutil: update failed: " + *verdict.failure);
    return kFlashDiffers;
  }
  Say("fwutil: " + took);
  return 0;
}

// A reboot ends everything at once, as on the handset.
void OnReboot() {
  Run& run = TheRun();
  std::lock_guard<std::mutex> guard(run.finishing);
  WriteOutputs(run);
  if (run.frontend) {
    run.frontend->ShowRebooting();
    run.frontend->Stop();
  }
  std::fprintf(stderr, "fwutil: the handset rebooted (the program asked the kernel for IOCTL_HAL_REBOOT)\n");
  std::optional<std::string> verify = ReportFlash(run);
  Verdict verdict;
  verdict.rebooted = true;
  int code = 0;
  if (run.options.update) {
    if (run.watch->State().outcome == Outcome::kSucceeded) {
      code = SucceededStatus(run, verify, verdict);
    } else {
      verdict.outcome = "failed";
      verdict.failure = "the handset rebooted before the update ended";
      Say("fwutil: update failed: " + *verdict.failure);
      code = kUpdateFailed;
    }
  }
  End(run, code, verdict, verify);
}

// The trace goes where --trace says; by default to standard error when
// headless, unless --update or --quiet leave that to the progress lines.
// The watch reads it in any case.
bool SetUpTrace(const Options& options, FrontEnd frontEnd, UpdateWatch& watch, std::string* error) {
  bool traceByDefault = frontEnd == FrontEnd::Headless && !options.update && !options.quiet;
  std::string trace = options.trace.value_or(traceByDefault ? "-" : "none");
  std::shared_ptr<debugout::Sink> sink;
  if (trace == "-") {
    sink = debugout::StderrSink();
  } else if (trace != "none") {
    sink = debugout::OpenFileSink(trace);
    if (!sink) {
      *error = "cannot write the trace to " + trace;
      return false;
    }
  }
  debugout::SetSink(std::make_shared<debugout::TeeSink>(WatchSink(watch), sink));
  return true;
}

bool LoadScript(const Options& options, headless::Script& script, std::string* error) {
  if (!options.scriptFile.empty()) {
    std::ifstream file(options.scriptFile);
    if (!file) {
      *error = "cannot read the script " + options.scriptFile;
      return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    script = headless::ParseScript(text.str());
    if (script.error) {
      *error = options.scriptFile + ":" + std::to_string(script.error->line) + ": " + script.error->message;
      return false;
    }
  }
  for (size_t i = 0; i < options.scriptSteps.size(); ++i) {
    headless::ParseStep(options.scriptSteps[i], options.scriptStepArgs[i], script);
    if (script.error) {
      *error = "--do '" + options.scriptSteps[i] + "': " + script.error->message;
      return false;
    }
  }
  return true;
}

// The status line under the handset: while the module's line is quiet, the
// ports a person can attach to; while it carries traffic, the module's state
// and the rate on the line, led during the image transfer by how much of the
// image the module has acknowledged and the time left at the rate the host
// sends at.
class StatusLine {
 public:
  explicit StatusLine(handset::Handset& handset) : handset_(handset) {}
  std::u16string Text() {
    auto wire = handset_.ModuleLine();
    if (wire) {
      auto now = std::chrono::steady_clock::now();
      uint64_t toDevice = wire->BytesToDevice();
      uint64_t bytes = toDevice + wire->BytesToHost();
      double seconds = std::chrono::duration<double>(now - lastTime_).count();
      if (seconds >= 0.5) {
        rate_ = static_cast<double>(bytes - lastBytes_) / seconds;
        sendRate_ = static_cast<double>(toDevice - lastToDevice_) / seconds;
        lastBytes_ = bytes;
        lastToDevice_ = toDevice;
        lastTime_ = now;
      }
    }
    auto module = handset_.Module();
    std::optional<radio::Record> record;
    if (module) record = module->GetRecord();
    bool quiet = rate_ == 0 && (!record || record->state == radio::State::Firmware);
    if (quiet) return text::FromUtf8(handset_.PortSummary());
    std::u16string line;
    bool imageUnderWay = record && record->state == radio::State::Transfer && record->imageLength != 0 &&
                         (record->phase == radio::Phase::ImageSections || record->phase == radio::Phase::FinalCheck);
    if (imageUnderWay) {
      line = terminal::ProgressText(u"image", record->imageAcknowledged, record->imageLength, sendRate_) + u" | ";
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f B/s | ", rate_);
    return line + text::FromUtf8(rate + handset_.StatusLine());
  }

 private:
  handset::Handset& handset_;
  uint64_t lastBytes_ = 0;
  uint64_t lastToDevice_ = 0;
  std::chrono::steady_clock::time_point lastTime_ = std::chrono::steady_clock::now();
  double rate_ = 0;
  double sendRate_ = 0;
};

// The program's return value, however long it runs.
int WaitForProgram(headless::ProgramThread& program) {
  for (;;) {
    if (std::optional<int> code = program.WaitForExit(std::chrono::hours(1))) return *code;
  }
}

// --update's end without a reboot: the front end stopped, the outputs
// written, then the status.
[[noreturn]] void EndUpdate(Run& run, const UpdateResult& result) {
  std::lock_guard<std::mutex> guard(run.finishing);
  if (run.frontend) {
    run.frontend->Stop();
    run.frontend = nullptr;
  }
  WriteOutputs(run);
  if (result.status == 0) Say("fwutil: the handset did not reboot");
  std::optional<std::string> verify = ReportFlash(run);
  Verdict verdict;
  int code = result.status;
  if (code == 0) {
    code = SucceededStatus(run, verify, verdict);
  } else {
    verdict.outcome = result.outcome;
    verdict.failure = result.failure;
    if (!result.told) {
      Say((code == kUpdateNotStarted ? "fwutil: update could not start: " : "fwutil: update failed: ") +
          result.failure);
    }
  }
  End(run, code, verdict, verify);
}

UpdateResult RunUpdateCommand(Run& run, headless::ProgramThread& program) {
  UpdateRunOptions options;
  options.desktop = windowing::DesktopDirectory();
  options.progress = ProgressPrinter(run);
  return RunUpdate(*run.user, program, *run.watch, options);
}

[[noreturn]] void RunHeadless(Run& run, headless::ProgramThread& program, const headless::Script& script) {
  static auto* user = new headless::ScriptedUser(kMainClass);
  user->WatchLogView();  // --log-out writes the view's last text, whatever the steps
  run.user = user;
  if (run.options.update) EndUpdate(run, RunUpdateCommand(run, program));
  UpdateWatch& watch = *run.watch;
  headless::FailureNotes failures = [&watch] {
    UpdateState s = watch.State();
    return headless::FailureNote{s.endings, s.failures, s.failure};
  };
  headless::RunResult result =
      headless::RunScript(script.steps, *user, &program, run.options.quiet ? nullptr : &std::cerr, failures);
  if (!result.ok) {
    std::lock_guard<std::mutex> guard(run.finishing);
    std::fprintf(stderr, "fwutil: script step %d failed: %s\n", result.failedLine, result.message.c_str());
    WriteOutputs(run);
    End(run, kScriptFailed, {}, ReportFlash(run));
  }
  int code = result.exitCode ? *result.exitCode : WaitForProgram(program);
  std::lock_guard<std::mutex> guard(run.finishing);
  WriteOutputs(run);
  End(run, code, {}, ReportFlash(run));
}

// Returns only when the terminal cannot be taken over.
void RunTerminal(Run& run, headless::ProgramThread& program, std::string* error) {
  static StatusLine* status = new StatusLine(*run.handset);
  terminal::FrontendOptions frontendOptions;
  frontendOptions.status = [] { return status->Text(); };
  static auto* frontend = new terminal::Frontend(frontendOptions);
  if (!frontend->Start(error)) return;
  run.frontend = frontend;
  if (run.options.update) {
    static auto* user = new headless::ScriptedUser(kMainClass);
    user->WatchLogView();
    run.user = user;
    EndUpdate(run, RunUpdateCommand(run, program));
  }
  int code = WaitForProgram(program);
  std::lock_guard<std::mutex> guard(run.finishing);
  frontend->Stop();
  run.frontend = nullptr;
  WriteOutputs(run);
  End(run, code, {}, ReportFlash(run));
}

// A handset that cannot be set up: bad options, or with --update a run
// that could not start (a tty that does not open, say).
[[noreturn]] void EndBoot(Run& run, const std::string& error) {
  std::lock_guard<std::mutex> guard(run.finishing);
  if (!run.options.update) {
    std::fprintf(stderr, "fwutil: %s\n", error.c_str());
    End(run, kBadUsage);
  }
  Say("fwutil: update could not start: " + error);
  Verdict verdict;
  verdict.outcome = "not-started";
  verdict.failure = error;
  End(run, kUpdateNotStarted, verdict);
}

int Main(int argc, char** argv) {
  std::string error;
  auto options = ParseOptions(argc, argv, &error);
  if (!options) {
    std::fprintf(stderr, "fwutil: %s\n", error.c_str());
    return kBadUsage;
  }
  if (options->help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  Run& run = TheRun();
  run.options = *options;
  run.frontEnd = options->frontEnd;
  if (run.frontEnd == FrontEnd::Automatic) {
    run.frontEnd = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) ? FrontEnd::Terminal : FrontEnd::Headless;
  }
  headless::Script script;
  if (!LoadScript(*options, script, &error)) {
    std::fprintf(stderr, "fwutil: %s\n", error.c_str());
    return kBadUsage;
  }
  if (!options->desktop.empty()) windowing::SetDesktopDirectory(options->desktop);

  run.handset = new handset::Handset;
  bool booted = run.handset->Boot(options->handset, &error);
  // The watch needs the program's image, which the boot installs.
  run.watch =
      new UpdateWatch(run.handset->FirmwareImage().size(), ProgressPrinter(run), Say, headless::WakeScreenWaiters);
  std::string traceError;
  if (!SetUpTrace(*options, run.frontEnd, *run.watch, &traceError)) {
    std::fprintf(stderr, "fwutil: %s\n", traceError.c_str());
    return kBadUsage;
  }
  if (!booted) EndBoot(run, error);
  if (!options->quiet) {
    for (const std::string& line : run.handset->Describe()) std::fprintf(stderr, "fwutil: %s\n", line.c_str());
  }
  run.handset->Board().SetRebootHandler(OnReboot);
  FeedLogView(*run.watch, kMainClass);

  headless::ProgramThread program(&WinMain, run.handset->Instance(), SW_SHOW);
  if (run.frontEnd == FrontEnd::Headless) RunHeadless(run, program, script);
  RunTerminal(run, program, &error);
  std::lock_guard<std::mutex> guard(run.finishing);
  std::fprintf(stderr, "fwutil: %s (try --headless)\n", error.c_str());
  End(run, kBadUsage);
}

}  // namespace
}  // namespace launcher

int main(int argc, char** argv) { return launcher::Main(argc, argv); }
