#include "handset/launcher/HandsetRun.h"

#include <windows.h>

#include <limits.h>
#include <stdlib.h>
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
#include "handset/launcher/Advice.h"
#include "handset/launcher/Interruption.h"
#include "handset/launcher/PortLock.h"
#include "handset/launcher/Stamps.h"
#include "handset/launcher/UpdateRun.h"
#include "handset/launcher/UpdateWatch.h"
#include "handset/launcher/Version.h"
#include "kernel/DebugOutput.h"
#include "radio/Module.h"
#include "serial/VirtualPort.h"
#include "text/WideText.h"
#include "windowing/Desktop.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

namespace launcher {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char16_t kMainClass[] = u"Firmware Utility";

// Everything that must be written out however the run ends: a return from
// the program, a reboot of the handset, the end of --update, a signal.
struct Run {
  Options options;
  FrontEnd frontEnd = FrontEnd::Headless;
  handset::Handset* handset = nullptr;
  headless::ScriptedUser* user = nullptr;
  terminal::Frontend* frontend = nullptr;
  UpdateWatch* watch = nullptr;
  SystemTime startedAt;
  Clock::time_point started = Clock::now();
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

void WriteOutputs(Run& run);

// The front end gives the terminal back (the last lines must reach it), then
// the outputs are written. The caller holds run.finishing.
void StopAndWriteOutputs(Run& run) {
  if (run.frontend) {
    run.frontend->Stop();
    run.frontend = nullptr;
  }
  WriteOutputs(run);
}

void WriteOutputs(Run& run) {
  if (!run.options.logOut.empty() && run.user && !run.user->WriteLog(run.options.logOut)) {
    Say("fwutil: cannot write the log view to " + run.options.logOut);
  }
  auto module = run.handset ? run.handset->Module() : nullptr;
  if (!run.options.flashOut.empty() && module) {
    std::string reason;
    if (!module->SaveFlash(run.options.flashOut, &reason)) {
      Say("fwutil: cannot write the flash to " + run.options.flashOut + ": " + reason);
    }
  }
}

// How the run ended, as the launcher decided it; what the report and the
// last lines say beyond what the watch saw.
struct Ending {
  int status = 0;
  std::optional<std::string> outcome;
  std::optional<std::string> failure;  // the words of the last line
  bool rebooted = false;
  std::optional<int> signal;
  bool endedDuringUpdate = false;  // the program returned while its update ran
};

std::string OutcomeName(const UpdateState& s, const std::optional<handset::FlashCheck>& flash) {
  switch (s.outcome) {
    case Outcome::kNone:
      return "none";
    case Outcome::kRunning:
      return "unfinished";
    case Outcome::kSucceeded:
      return flash && flash->verify && !handset::FlashVerifyHolds(*flash->verify) ? "flash-differs" : "succeeded";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kNotStarted:
      return "not-started";
  }
  return "none";
}

std::string ResetMethod(const handset::RilChoice& ril) {
  if (ril.absent) return "absent";
  switch (ril.kind) {
    case handset::RilChoice::Kind::Emulated:
      return "emulated";
    case handset::RilChoice::Kind::ModemLine:
      return ril.modemLine;
    case handset::RilChoice::Kind::Control:
      return "control";
    case handset::RilChoice::Kind::None:
      return "none";
  }
  return "none";
}

SystemTime WallTime(const Run& run, Clock::time_point at) {
  return run.startedAt + std::chrono::duration_cast<SystemTime::duration>(at - run.started);
}

Report MakeReport(Run& run, const Ending& ending, const std::optional<handset::FlashCheck>& flash,
                  const ModuleState& module) {
  UpdateState s = run.watch ? run.watch->State() : UpdateState{};
  auto now = Clock::now();
  Report report;
  report.outcome = ending.outcome.value_or(OutcomeName(s, flash));
  report.exitStatus = ending.signal ? 128 + *ending.signal : ending.status & 0xFF;
  if (ending.failure) {
    report.failure = ending.failure;
  } else if ((s.outcome == Outcome::kFailed || s.outcome == Outcome::kNotStarted) && !s.failure.empty()) {
    report.failure = s.failure;
  }
  if (report.failure) report.nextStep = NextStep(*report.failure);
  if (ending.signal) report.signal = SignalName(*ending.signal);
  if (s.updates > 0 || ending.signal || run.options.update) report.moduleState = module.words;
  if (s.phase != Phase::kNone) report.phase = PhaseName(s.phase);
  report.attempts = s.attempts;
  report.updates = s.updates;
  if (s.imageBytes) report.imageBytes = s.imageBytes;
  report.imageSha256 = FirmwareSha256();
  report.imageBytesAcknowledged = s.acknowledged;
  if (s.began) report.updateSeconds = std::chrono::duration<double>(s.ended.value_or(now) - *s.began).count();
  report.runSeconds = std::chrono::duration<double>(now - run.started).count();
  report.startedAt = run.startedAt;
  report.endedAt = WallTime(run, now);
  report.tool = BuildTool();
  if (run.handset) {
    report.com1 = run.handset->PortDevice(handset::kModulePort);
    if (report.com1) report.port = *report.com1 == "virtual" ? std::string(kEmulatedPort) : *report.com1;
  }
  if (report.port) report.resetMethod = ResetMethod(run.options.handset.ril);
  for (const UpdateSpan& span : s.spans) {
    PhaseSpan out;
    out.phase = PhaseName(span.phase);
    out.attempt = span.attempt;
    out.startedAt = WallTime(run, span.began);
    if (span.ended) out.seconds = std::chrono::duration<double>(*span.ended - span.began).count();
    report.phases.push_back(out);
  }
  report.flashReadBack = flash.has_value();
  report.flashHolds = module.holds;
  if (flash && flash->verify) {
    report.verify = flash->verify;
    report.flashHoldsImage = handset::FlashVerifyHolds(*flash->verify);
  }
  report.rebooted = ending.rebooted;
  return report;
}

// "during the image (1200000 of 2493720 bytes acknowledged)": where an
// update that did not end was.
std::string Where(const UpdateState& s) {
  if (s.outcome != Outcome::kRunning) return "";
  std::string where = s.phase == Phase::kNone ? "" : std::string(" during the ") + PhaseName(s.phase);
  return where;
}

// The lines that end the run, the last one the one a script reads: the
// verify line where the flash was read, what the module is left holding
// where no verify line says it, the next step of a failure, then how it
// ended.
void SayEnding(Run& run, const Ending& ending, const Report& report, const std::optional<handset::FlashCheck>& flash,
               const ModuleState& module) {
  if (report.verify) Say("fwutil: verify: " + *report.verify);
  UpdateState s = run.watch ? run.watch->State() : UpdateState{};
  if (ending.signal || ending.endedDuringUpdate) {
    std::string how = ending.signal ? "interrupted by " + SignalName(*ending.signal) : "the program was ended";
    std::string line = "fwutil: " + how + Where(s);
    if (s.updates > 0 || run.options.update) {
      line += ": " + module.words;
      if (module.runAgain) line += ": run the update again";
    }
    Say(line);
    return;
  }
  if (run.options.update && ending.status == 0 && s.outcome == Outcome::kSucceeded) {
    std::string took = "fwutil: update succeeded";
    if (s.began) took += " in " + ClockText(s.ended.value_or(Clock::now()) - *s.began);
    Say(took);
    return;
  }
  bool failed = ending.status == kUpdateFailed || ending.status == kFlashDiffers || ending.status == kUpdateNotStarted;
  if (!failed || !ending.failure) return;
  if (!flash || !flash->verify) {
    if (s.updates > 0 && ending.status != kUpdateNotStarted) Say("fwutil: module: " + module.words);
  }
  Say("fwutil: next step: " + NextStep(*ending.failure));
  if (ending.status == kUpdateNotStarted) {
    Say(std::string(run.options.update ? "fwutil: update could not start: " : "fwutil: could not start: ") +
        *ending.failure);
  } else if (ending.failure->rfind("Update failed", 0) == 0) {
    Say("fwutil: " + *ending.failure);
  } else {
    Say("fwutil: update failed: " + *ending.failure);
  }
}

// Ends the process: the report written whole (or an earlier one removed),
// the last lines said, the port locks given back. The caller holds
// run.finishing and has stopped the front end.
[[noreturn]] void End(Run& run, Ending ending) {
  std::optional<handset::FlashCheck> flash = run.handset ? run.handset->CheckFlash() : std::nullopt;
  UpdateState s = run.watch ? run.watch->State() : UpdateState{};
  ModuleState module = DescribeModule(flash, s);
  // A module that said yes over a flash that differs: its checks could not
  // see the damage (two flips in one lane cancel in an XOR).
  if (ending.status == 0 && s.outcome == Outcome::kSucceeded && flash && flash->verify &&
      !handset::FlashVerifyHolds(*flash->verify) && (run.options.update || ending.rebooted)) {
    ending.status = run.options.update ? kFlashDiffers : ending.status;
    ending.outcome = "flash-differs";
    ending.failure = "the module took an image whose check bytes could not see the damage: its flash does not hold "
                     "the firmware image (" + *flash->verify + ")";
  }
  Report report = MakeReport(run, ending, flash, module);
  std::string reportLost;
  if (!run.options.report.empty()) {
    std::string reason;
    if (!WriteJsonFile(run.options.report, ReportJson(report), &reason)) {
      reportLost = "fwutil: cannot write the report to " + run.options.report + ": " + reason;
    }
  }
  SayEnding(run, ending, report, flash, module);
  if (!reportLost.empty()) {
    Say(reportLost);
    // A line that relies on the report must not read success without it.
    if (ending.status == 0 && !ending.signal) ending.status = kReportLost;
  }
  ReleasePortLocks();
  std::fflush(nullptr);
  FlushStderr();
  if (ending.signal) DieBy(*ending.signal);
  // Threads of the program may still run (an update is not stopped when the
  // window closes); they end with the process, as on the handset.
  _exit(ending.status);
}

// A reboot ends everything at once, as on the handset.
void OnReboot() {
  Run& run = TheRun();
  std::lock_guard<std::mutex> guard(run.finishing);
  WriteOutputs(run);
  if (run.frontend) {
    run.frontend->ShowRebooting();
    run.frontend->Stop();
    run.frontend = nullptr;
  }
  Say(run.options.quiet ? "fwutil: the handset rebooted"
                        : "fwutil: the handset rebooted (the program asked the kernel for IOCTL_HAL_REBOOT)");
  Ending ending;
  ending.rebooted = true;
  if (run.options.update && run.watch->State().outcome != Outcome::kSucceeded) {
    ending.status = kUpdateFailed;
    ending.outcome = "failed";
    ending.failure = "the handset rebooted before the update ended";
  }
  End(run, ending);
}

// SIGINT, SIGTERM, SIGHUP: the front end gives the terminal back, the report
// and the last line tell where the update was, then the signal ends the
// process.
void OnInterrupt(int signal) {
  Run& run = TheRun();
  std::lock_guard<std::mutex> guard(run.finishing);
  StopAndWriteOutputs(run);
  Ending ending;
  ending.signal = signal;
  UpdateState s = run.watch ? run.watch->State() : UpdateState{};
  if (s.outcome == Outcome::kRunning || run.options.update) ending.outcome = "interrupted";
  End(run, ending);
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
      auto now = Clock::now();
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
  Clock::time_point lastTime_ = Clock::now();
  double rate_ = 0;
  double sendRate_ = 0;
};

// The program's return value, however long it runs.
int WaitForProgram(headless::ProgramThread& program) {
  for (;;) {
    if (std::optional<int> code = program.WaitForExit(std::chrono::hours(1))) return *code;
  }
}

// The program has returned. Its own status stands, unless its update was
// still running: then the run did not do what it was for, and says so. An
// update that had closed its line has ended, even when the view's last
// words were not yet read when the program went.
[[noreturn]] void EndProgram(Run& run, int code) {
  Ending ending;
  ending.status = code;
  run.watch->OnProgramEnded(std::chrono::steady_clock::now());
  if (run.watch->State().outcome == Outcome::kRunning) {
    ending.status = kEndedDuringUpdate;
    ending.endedDuringUpdate = true;
  }
  End(run, ending);
}

// --update's end without a reboot: the front end stopped, the outputs
// written, then the status.
[[noreturn]] void EndUpdate(Run& run, const UpdateResult& result) {
  std::lock_guard<std::mutex> guard(run.finishing);
  StopAndWriteOutputs(run);
  Ending ending;
  ending.status = result.status;
  if (result.status == 0) {
    Say("fwutil: the handset did not reboot");
  } else {
    ending.outcome = result.outcome;
    ending.failure = result.failure;  // the watch leaves them to this last line
  }
  End(run, ending);
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
    Say("fwutil: script step " + std::to_string(result.failedLine) + " failed: " + result.message);
    WriteOutputs(run);
    Ending ending;
    ending.status = kScriptFailed;
    End(run, ending);
  }
  int code = result.exitCode ? *result.exitCode : WaitForProgram(program);
  std::lock_guard<std::mutex> guard(run.finishing);
  WriteOutputs(run);
  EndProgram(run, code);
}

// Returns only when the terminal cannot be taken over.
void RunTerminal(Run& run, headless::ProgramThread& program, std::string* error) {
  static StatusLine* status = new StatusLine(*run.handset);
  terminal::FrontendOptions frontendOptions;
  frontendOptions.status = [] { return status->Text(); };
  static auto* frontend = new terminal::Frontend(frontendOptions);
  {
    std::lock_guard<std::mutex> guard(run.finishing);
    if (!frontend->Start(error)) return;
    run.frontend = frontend;
  }
  if (run.options.update) {
    static auto* user = new headless::ScriptedUser(kMainClass);
    user->WatchLogView();
    run.user = user;
    EndUpdate(run, RunUpdateCommand(run, program));
  }
  int code = WaitForProgram(program);
  std::lock_guard<std::mutex> guard(run.finishing);
  StopAndWriteOutputs(run);
  EndProgram(run, code);
}

// A handset that cannot be set up: bad options, or a run that could not
// start (a tty that does not open, a port another program holds).
[[noreturn]] void EndBoot(Run& run, int status, const std::string& error) {
  std::lock_guard<std::mutex> guard(run.finishing);
  Ending ending;
  ending.status = status;
  if (status == kUpdateNotStarted) {
    ending.outcome = "not-started";
    ending.failure = error;
  } else {
    Say("fwutil: " + error);
    RemoveEarlierReport(run.options.report);
    run.options.report.clear();
  }
  End(run, ending);
}

// Every host tty the handset is to use is locked for the life of the
// process; a port another program holds is refused before anything is sent.
bool LockPorts(const Options& options, std::string* error) {
  for (const auto& [port, choice] : options.handset.ports) {
    if (choice.kind != handset::PortChoice::Kind::Host) continue;
    LockResult lock = LockPort(choice.path);
    if (lock.kind == LockResult::Kind::kHeld) {
      *error = choice.path + " is in use by " +
               (lock.holder ? "process " + std::to_string(lock.holder) : std::string("another program")) +
               " (lock " + lock.file + ")";
      return false;
    }
    if (lock.kind == LockResult::Kind::kUnavailable && !options.quiet) {
      Say("fwutil: warning: cannot lock " + choice.path + " (" + lock.reason +
          "): programs that honour the lock are not kept off it");
    }
  }
  return true;
}

// Copies of fwutil on different host ports are different handsets: each
// port has a desktop of its own by default, so that the one-copy rule holds
// per module, not per machine.
void ChooseDesktop(const Options& options) {
  if (!options.desktop.empty()) {
    windowing::SetDesktopDirectory(options.desktop);
    return;
  }
  auto com1 = options.handset.ports.find(handset::kModulePort);
  if (com1 == options.handset.ports.end() || com1->second.kind != handset::PortChoice::Kind::Host) return;
  char resolved[PATH_MAX];
  std::string device = realpath(com1->second.path.c_str(), resolved) ? std::string(resolved) : com1->second.path;
  std::string name = "port";
  for (char c : device) name += (c == '/' ? '-' : c);
  windowing::SetDesktopDirectory(windowing::DesktopDirectory() + "/" + name);
}

}  // namespace

void RunHandset(const Options& options, SystemTime startedAt) {
  Run& run = TheRun();
  run.options = options;
  run.startedAt = startedAt;
  run.frontEnd = options.frontEnd;
  if (run.frontEnd == FrontEnd::Automatic) {
    run.frontEnd = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) ? FrontEnd::Terminal : FrontEnd::Headless;
  }
  // Before any other thread: they all leave the signals to this one.
  CatchInterruptions(OnInterrupt);
  if (options.timestamps) StampStderr();

  std::string error;
  headless::Script script;
  if (!LoadScript(options, script, &error)) EndBoot(run, kBadUsage, error);
  if (!LockPorts(options, &error)) EndBoot(run, kUpdateNotStarted, error);
  ChooseDesktop(options);

  run.handset = new handset::Handset;
  bool booted = run.handset->Boot(options.handset, &error);
  // The watch needs the program's image, which the boot installs.
  run.watch = new UpdateWatch(run.handset->FirmwareImage().size(), ProgressPrinter(run), Say,
                              headless::WakeScreenWaiters, run.started);
  // With --update the failure's words are the run's last line, said at its end.
  if (options.update) run.watch->TellFailures(false);
  std::string traceError;
  if (!SetUpTrace(options, run.frontEnd, *run.watch, &traceError)) EndBoot(run, kBadUsage, traceError);
  if (!booted) EndBoot(run, kUpdateNotStarted, error);
  if (!options.quiet) {
    for (const std::string& line : run.handset->Describe()) Say("fwutil: " + line);
  }
  run.handset->Board().SetRebootHandler(OnReboot);
  FeedLogView(*run.watch, kMainClass);

  headless::ProgramThread program(&WinMain, run.handset->Instance(), SW_SHOW);
  if (run.frontEnd == FrontEnd::Headless) RunHeadless(run, program, script);
  RunTerminal(run, program, &error);
  EndBoot(run, kBadUsage, error + " (try --headless)");
}

}  // namespace launcher
