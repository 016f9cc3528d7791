// The emulated handset's process entry: takes the platform's options, boots
// the handset, starts a front end and runs the program's main with an empty
// command line. The program's return value is the process's exit status.
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
#include "radio/Module.h"
#include "serial/VirtualPort.h"
#include "kernel/DebugOutput.h"
#include "text/WideText.h"
#include "windowing/Desktop.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

namespace launcher {
namespace {

constexpr int kBadUsage = 2;
constexpr int kScriptFailed = 125;

// Everything that must be written out however the run ends: a return from
// the program or a reboot of the handset.
struct Run {
  Options options;
  handset::Handset* handset = nullptr;
  headless::ScriptedUser* user = nullptr;
  terminal::Frontend* frontend = nullptr;
  std::mutex finishing;
};

Run& TheRun() {
  static auto* run = new Run;
  return *run;
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
      std::fprintf(stderr, "fwutil: cannot write the flash to %s: %s\n", run.options.flashOut.c_str(),
                   reason.c_str());
    }
  }
}

// The verify line, once the front end has given the terminal back: whether
// the emulated module's flash holds the program's firmware image, when an
// image transfer touched the flash during the run.
void ReportFlash(Run& run) {
  if (!run.handset) return;
  if (std::optional<std::string> line = run.handset->FlashVerifyLine()) {
    std::fprintf(stderr, "fwutil: verify: %s\n", line->c_str());
  }
}

[[noreturn]] void Finish(int code) {
  std::fflush(nullptr);
  // Threads of the program may still run (an update is not stopped when the
  // window closes); they end with the process, as on the handset.
  _exit(code);
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
  ReportFlash(run);
  Finish(0);
}

bool SetUpTrace(const Options& options, FrontEnd frontEnd, std::string* error) {
  std::string trace = options.trace.value_or(frontEnd == FrontEnd::Headless ? "-" : "none");
  if (trace == "none") {
    debugout::SetSink(nullptr);
  } else if (trace == "-") {
    debugout::SetSink(debugout::StderrSink());
  } else {
    auto sink = debugout::OpenFileSink(trace);
    if (!sink) {
      *error = "cannot write the trace to " + trace;
      return false;
    }
    debugout::SetSink(sink);
  }
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

std::vector<std::pair<std::string, UINT>> CommandNames() {
  return {{"exit", 101},    {"bt", 110},       {"ir", 111},      {"loglevel0", 112}, {"loglevel1", 113},
          {"loglevel2", 114}, {"loglevel3", 115}, {"irda", 116},  {"update", 118},    {"about", 120},
          {"reboot", 150},  {"resume", 151},   {"suspend", 152}, {"relay", 153},     {"reset", 154},
          {"release", 155}};
}

// The program's return value, however long it runs.
int WaitForProgram(headless::ProgramThread& program) {
  for (;;) {
    if (std::optional<int> code = program.WaitForExit(std::chrono::hours(1))) return *code;
  }
}

int RunHeadless(Run& run, headless::ProgramThread& program, const headless::Script& script) {
  headless::ScriptedUser user(u"Firmware Utility");
  user.WatchLogView();  // --log-out writes the view's last text, whatever the steps
  run.user = &user;
  headless::RunResult result = headless::RunScript(script.steps, user, &program, &std::cerr);
  if (!result.ok) {
    std::lock_guard<std::mutex> guard(run.finishing);
    std::fprintf(stderr, "fwutil: script step %d failed: %s\n", result.failedLine, result.message.c_str());
    WriteOutputs(run);
    ReportFlash(run);
    Finish(kScriptFailed);
  }
  int code = result.exitCode ? *result.exitCode : WaitForProgram(program);
  std::lock_guard<std::mutex> guard(run.finishing);
  WriteOutputs(run);
  ReportFlash(run);
  return code;
}

// Nullopt when the terminal cannot be taken over.
std::optional<int> RunTerminal(Run& run, headless::ProgramThread& program, std::string* error) {
  static StatusLine* status = new StatusLine(*run.handset);
  terminal::FrontendOptions frontendOptions;
  frontendOptions.status = [] { return status->Text(); };
  frontendOptions.commandNames = CommandNames();
  static auto* frontend = new terminal::Frontend(frontendOptions);
  if (!frontend->Start(error)) return std::nullopt;
  run.frontend = frontend;
  int code = WaitForProgram(program);
  std::lock_guard<std::mutex> guard(run.finishing);
  frontend->Stop();
  run.frontend = nullptr;
  WriteOutputs(run);
  ReportFlash(run);
  return code;
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

  FrontEnd frontEnd = options->frontEnd;
  if (frontEnd == FrontEnd::Automatic) {
    frontEnd = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) ? FrontEnd::Terminal : FrontEnd::Headless;
  }
  headless::Script script;
  if (!LoadScript(*options, script, &error) || !SetUpTrace(*options, frontEnd, &error)) {
    std::fprintf(stderr, "fwutil: %s\n", error.c_str());
    return kBadUsage;
  }
  if (!options->desktop.empty()) windowing::SetDesktopDirectory(options->desktop);

  run.handset = new handset::Handset;
  if (!run.handset->Boot(options->handset, &error)) {
    std::fprintf(stderr, "fwutil: %s\n", error.c_str());
    return kBadUsage;
  }
  for (const std::string& line : run.handset->Describe()) std::fprintf(stderr, "fwutil: %s\n", line.c_str());
  run.handset->Board().SetRebootHandler(OnReboot);

  headless::ProgramThread program(&WinMain, run.handset->Instance(), SW_SHOW);
  if (frontEnd == FrontEnd::Headless) Finish(RunHeadless(run, program, script));
  std::optional<int> code = RunTerminal(run, program, &error);
  if (!code) {
    std::fprintf(stderr, "fwutil: %s (try --headless)\n", error.c_str());
    Finish(kBadUsage);
  }
  Finish(*code);
}

}  // namespace
}  // namespace launcher

int main(int argc, char** argv) { return launcher::Main(argc, argv); }
