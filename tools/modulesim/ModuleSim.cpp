// modulesim: the emulated radio module on a host tty, so that the utility's
// host serial back end can be tried against a separate process (one end of
// a socat pty pair, or a USB-serial adapter wired to another machine).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "TtyLine.h"
#include "radio/EmissionQueue.h"
#include "radio/Module.h"
#include "radio/Switches.h"

namespace {

constexpr int kUsageError = 2;

struct Options {
  std::string tty;
  std::string control;
  std::string flashIn;
  std::string flashOut;
  std::string lineEvents;
  std::vector<std::string> switches;
  std::string loader = "normal";
  bool suspended = false;
  bool quiet = false;
  unsigned statusSeconds = 1;
};

void PrintHelp() {
  std::printf(
      "Usage: modulesim --tty PATH [options]\n"
      "Runs the emulated GSM/GPRS radio module on a host tty (raw, 115200 8N1): its boot-strap loader,\n"
      "its flash and its AT responder. After a reset the loader answers 0x55 with 0xA0 for 2 s and takes\n"
      "the boot stages and the firmware image; otherwise the firmware answers AT commands.\n"
      "\n"
      "Options:\n"
      "  --tty PATH          the tty to run on (e.g. one end of: socat -d -d pty,raw,echo=0 pty,raw,echo=0)\n"
      "  --control FIFO      control channel, created if missing; one command per line:\n"
      "                      reset, suspend, resume, status, switch SPEC\n"
      "  --flash-in FILE     flash contents at power-on (an empty file: no valid image)\n"
      "  --flash-out FILE    written when an image has been accepted, and at exit\n"
      "                      (empty when the flash holds no valid image)\n"
      "  --switch SPEC       a fault switch of the module (repeatable), see below\n"
      "  --loader VARIANT    how the boot-strap loader behaves:\n"
      "                        normal          as described above (the default)\n"
      "                        once            in the loader from power-on, listening until 0x55 comes; it\n"
      "                                        answers once and then only waits for boot stage 1 (no reset\n"
      "                                        line: a module power-cycled by hand just before the update)\n"
      "                        never           never answers 0x55\n"
      "                        stop-mid-image  stops answering after half the image's sections, until the\n"
      "                                        next reset (once)\n"
      "  --line-events FILE  on a pseudo-terminal, append each break or line error to FILE as a line\n"
      "                      (break, framing, parity, overrun) once the bytes before it have left\n"
      "  --suspended         start with the radio part off\n"
      "  --status SECONDS    print a status line this often while bytes move (0: never; default 1)\n"
      "  --quiet             log nothing but errors\n"
      "  --help              this text\n"
      "\n"
      "SIGUSR1 resets the module; SIGINT and SIGTERM end the simulator. The log on standard error shows\n"
      "what the module received in each phase and how it answered.\n"
      "\n"
      "Switches:\n%s"
      "\n"
      "On a pseudo-terminal breaks and line errors cannot travel: refusals and line-event switches are\n"
      "then invisible to the other side. On a real serial device a break is sent as a break and a line\n"
      "error as a byte with a bad stop bit (a framing error).\n",
      radio::SwitchHelp().c_str());
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      PrintHelp();
      std::exit(0);
    } else if (arg == "--tty") {
      if (!value(o.tty)) return false;
    } else if (arg == "--control") {
      if (!value(o.control)) return false;
    } else if (arg == "--flash-in") {
      if (!value(o.flashIn)) return false;
    } else if (arg == "--flash-out") {
      if (!value(o.flashOut)) return false;
    } else if (arg == "--line-events") {
      if (!value(o.lineEvents)) return false;
    } else if (arg == "--switch") {
      if (!value(v)) return false;
      o.switches.push_back(v);
    } else if (arg == "--loader") {
      if (!value(o.loader)) return false;
      if (o.loader != "normal" && o.loader != "once" && o.loader != "never" && o.loader != "stop-mid-image") {
        error = "--loader is one of normal, once, never, stop-mid-image";
        return false;
      }
    } else if (arg == "--suspended") {
      o.suspended = true;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--status") {
      if (!value(v)) return false;
      char* end = nullptr;
      unsigned long n = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != 0 || n > 3600) {
        error = "--status takes a number of seconds (0 to 3600)";
        return false;
      }
      o.statusSeconds = static_cast<unsigned>(n);
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (o.tty.empty()) {
    error = "--tty PATH is required";
    return false;
  }
  return true;
}

class Simulator {
 public:
  explicit Simulator(Options options) : o_(std::move(options)) {}
  int Run();

 private:
  int CreateModule();
  bool OpenLines();
  void Announce();
  void Turn();
  void MoveOutput(kernel::TimePoint now);
  void StatusWhileBusy(kernel::TimePoint now);
  bool Wait(pollfd (&fds)[3]);
  void TakeSignals(kernel::TimePoint now);
  void TakeTty(short revents, kernel::TimePoint now);
  void Finish();
  void Log(const std::string& line);
  void PrintStatus(bool phases);
  void Error(const std::string& line);
  void Handle(radio::Output out, kernel::TimePoint now);
  void Reset(kernel::TimePoint now);
  void ControlLine(std::string line, kernel::TimePoint now);
  void ReadControl(kernel::TimePoint now);
  bool OpenControl();
  void SaveFlash();
  void TtyGone(kernel::TimePoint now);

  Options o_;
  std::unique_ptr<radio::Module> module_;
  radio::EmissionQueue queue_;
  modulesim::TtyLine tty_;
  int controlFd_ = -1;
  int controlKeepFd_ = -1;  // our own writer, so the FIFO never reads as closed
  bool createdControl_ = false;
  std::string controlBuffer_;
  kernel::TimePoint start_ = kernel::Clock::now();
  kernel::TimePoint reopenAt_ = kernel::kNever;
  int signalFd_ = -1;
  bool running_ = true;
  // The status line comes while bytes move; an idle simulator sets no timer.
  kernel::TimePoint nextStatus_ = kernel::kNever;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(4096);
  uint32_t imagesWritten_ = 0;
  uint64_t statusBytes_ = 0;
  unsigned droppedReported_ = 0;
};

void Simulator::Log(const std::string& line) {
  if (o_.quiet) return;
  double t = std::chrono::duration<double>(kernel::Clock::now() - start_).count();
  std::fprintf(stderr, "[%9.3f] %s\n", t, line.c_str());
}

// The status line and, when asked, what each phase received so far.
void Simulator::PrintStatus(bool phases) {
  std::fprintf(stderr, "status: %s\n", module_->StatusLine().c_str());
  if (!phases) return;
  radio::Record r = module_->GetRecord();
  for (radio::Phase p : radio::kAllPhases) {
    const radio::PhaseRecord& pr = r[p];
    if (pr.reached == 0 && pr.bytesReceived == 0) continue;
    std::fprintf(stderr, "  %-16s reached %u, received %llu bytes, answers %u, refusals %u, line events %u%s\n",
                 std::string(radio::PhaseName(p)).c_str(), pr.reached,
                 static_cast<unsigned long long>(pr.bytesReceived), pr.answers, pr.refusals, pr.lineEvents,
                 pr.silences ? ", went silent" : "");
  }
}

void Simulator::Error(const std::string& line) { std::fprintf(stderr, "modulesim: %s\n", line.c_str()); }

void Simulator::Handle(radio::Output out, kernel::TimePoint now) {
  for (const std::string& line : out.log) Log(line);
  queue_.Add(std::move(out.emissions), now);
  uint32_t written = module_->GetRecord().imagesWritten;
  if (written != imagesWritten_) {
    imagesWritten_ = written;
    SaveFlash();
  }
}

void Simulator::Reset(kernel::TimePoint now) {
  queue_.Clear();
  tty_.Discard();
  Handle(module_->Reset(now), now);
}

void Simulator::SaveFlash() {
  if (o_.flashOut.empty()) return;
  std::string error;
  if (!module_->SaveFlash(o_.flashOut, &error)) {
    Error(error);
  } else {
    Log("flash written to " + o_.flashOut + (module_->Flash().valid ? "" : " (no valid image: empty)"));
  }
}

void Simulator::ControlLine(std::string line, kernel::TimePoint now) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  if (line.empty()) return;
  if (line == "reset") {
    Log("control: reset");
    Reset(now);
  } else if (line == "suspend" || line == "resume") {
    module_->SetRadioSuspended(line == "suspend");
    Log("control: " + line + ", radio " + (line == "suspend" ? "off" : "on"));
  } else if (line == "status") {
    PrintStatus(true);
  } else if (line.rfind("switch ", 0) == 0) {
    std::string error;
    if (radio::ApplySwitch(*module_, line.substr(7), &error)) {
      Log("control: switch " + line.substr(7));
    } else {
      Error(error);
    }
  } else {
    Error("control: unknown command '" + line + "' (reset, suspend, resume, status, switch SPEC)");
  }
}

void Simulator::ReadControl(kernel::TimePoint now) {
  char buffer[512];
  for (;;) {
    ssize_t n = read(controlFd_, buffer, sizeof buffer);
    if (n <= 0) break;
    controlBuffer_.append(buffer, static_cast<size_t>(n));
  }
  size_t nl;
  while ((nl = controlBuffer_.find('\n')) != std::string::npos) {
    std::string line = controlBuffer_.substr(0, nl);
    controlBuffer_.erase(0, nl + 1);
    ControlLine(std::move(line), now);
  }
  if (controlBuffer_.size() > 4096) controlBuffer_.clear();  // no line end in sight: garbage
}

bool Simulator::OpenControl() {
  struct stat st {};
  if (stat(o_.control.c_str(), &st) != 0) {
    if (mkfifo(o_.control.c_str(), 0600) != 0) {
      Error("cannot create the control FIFO " + o_.control + ": " + strerror(errno));
      return false;
    }
    createdControl_ = true;
  } else if (!S_ISFIFO(st.st_mode)) {
    Error(o_.control + " exists and is not a FIFO");
    return false;
  }
  controlFd_ = open(o_.control.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (controlFd_ >= 0) controlKeepFd_ = open(o_.control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (controlFd_ < 0 || controlKeepFd_ < 0) {
    Error("cannot open the control FIFO " + o_.control + ": " + strerror(errno));
    return false;
  }
  return true;
}

void Simulator::TtyGone(kernel::TimePoint now) {
  tty_.Close();
  queue_.Clear();
  reopenAt_ = now + std::chrono::seconds(1);
  Log("the tty went away; trying to open " + o_.tty + " again every second");
}

// Half of the image's 623 full sections.
constexpr const char* kStopMidImage = "stop@image-sections=311";

int Simulator::Run() {
  if (int failed = CreateModule()) return failed;
  if (!OpenLines()) return 1;
  Announce();
  while (running_) Turn();
  Finish();
  return 0;
}

// The module with its flash, loader variant and switches; 0, or the exit
// code.
int Simulator::CreateModule() {
  radio::ModuleConfig config;
  if (!o_.flashIn.empty()) {
    std::ifstream in(o_.flashIn, std::ios::binary);
    if (!in) {
      Error("cannot read " + o_.flashIn);
      return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    config.initialFlashValid = !bytes.empty();
    config.initialFlash = std::move(bytes);
  }
  if (o_.loader == "once") {
    config.powerOnInLoader = true;
    config.repeatWakeAnswer = false;
  }
  module_ = std::make_unique<radio::Module>(std::move(config));
  std::vector<std::string> switches;
  if (o_.loader == "never") switches.push_back("silent@wake-up=always");
  if (o_.loader == "stop-mid-image") switches.push_back(kStopMidImage);
  switches.insert(switches.end(), o_.switches.begin(), o_.switches.end());
  for (const std::string& spec : switches) {
    std::string error;
    if (!radio::ApplySwitch(*module_, spec, &error)) {
      Error(error);
      return kUsageError;
    }
  }
  module_->SetRadioSuspended(o_.suspended);
  return 0;
}

// The tty, the control FIFO and the signals, each read by the loop.
bool Simulator::OpenLines() {
  std::string error;
  tty_.SetLineEventFile(o_.lineEvents);
  if (!tty_.Open(o_.tty, &error)) {
    Error(error);
    return false;
  }
  if (!o_.control.empty() && !OpenControl()) return false;

  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGUSR1, SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signalFd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd_ < 0) {
    Error(std::string("signalfd: ") + strerror(errno));
    return false;
  }
  return true;
}

void Simulator::Announce() {
  Log("running on " + o_.tty + " (115200 8N1)" + (o_.control.empty() ? "" : ", control FIFO " + o_.control) +
      (o_.loader == "normal" ? "" : ", loader " + o_.loader) + ", " + module_->StatusLine());
  if (tty_.IsPseudoTerminal()) {
    Log(o_.lineEvents.empty() ? "note: a pseudo-terminal carries no breaks or line errors"
                              : "note: breaks and line errors go to " + o_.lineEvents + " (a pseudo-terminal carries none)");
  }
}

// One turn of the loop: timers, output that has come due and the status
// line, then a wait for a signal, the control FIFO or the tty.
void Simulator::Turn() {
  kernel::TimePoint now = kernel::Clock::now();
  Handle(module_->Tick(now), now);
  MoveOutput(now);
  StatusWhileBusy(now);
  pollfd fds[3];
  if (!Wait(fds)) {
    running_ = false;
    return;
  }
  now = kernel::Clock::now();
  if (fds[0].revents & POLLIN) TakeSignals(now);
  if (fds[2].revents & POLLIN) ReadControl(now);
  if (tty_.IsOpen() && fds[1].revents) TakeTty(fds[1].revents, now);
}

// Due output to the tty, or, while it is gone, an attempt to open it again.
void Simulator::MoveOutput(kernel::TimePoint now) {
  if (tty_.IsOpen()) {
    for (radio::Emission& e : queue_.TakeDue(now)) tty_.Queue(std::move(e));
    if (tty_.Flush() < 0) TtyGone(now);
    if (tty_.DroppedConditions() != droppedReported_) {
      droppedReported_ = tty_.DroppedConditions();
      Log("a break or line error could not travel over the pseudo-terminal");
    }
  } else if (now >= reopenAt_) {
    if (tty_.Open(o_.tty, nullptr)) {
      reopenAt_ = kernel::kNever;
      Log("the tty is back: " + o_.tty);
    } else {
      reopenAt_ = now + std::chrono::seconds(1);
    }
  }
}

void Simulator::StatusWhileBusy(kernel::TimePoint now) {
  if (now < nextStatus_) return;
  uint64_t bytes = module_->GetRecord().bytesReceived;
  if (bytes != statusBytes_) PrintStatus(false);
  nextStatus_ = bytes != statusBytes_ ? now + std::chrono::seconds(o_.statusSeconds) : kernel::kNever;
  statusBytes_ = bytes;
}

// Waits until the next timer, output or reopening is due, or something
// comes; false when polling failed.
bool Simulator::Wait(pollfd (&fds)[3]) {
  kernel::TimePoint deadline = std::min({queue_.NextDue(), module_->NextTimer(), reopenAt_, nextStatus_});
  fds[0] = {signalFd_, POLLIN, 0};
  fds[1] = {-1, 0, 0};
  fds[2] = {-1, 0, 0};
  if (tty_.IsOpen()) fds[1] = {tty_.Fd(), static_cast<short>(POLLIN | (tty_.HasPending() ? POLLOUT : 0)), 0};
  if (controlFd_ >= 0) fds[2] = {controlFd_, POLLIN, 0};
  int timeout = -1;
  if (deadline != kernel::kNever) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - kernel::Clock::now()).count() + 1;
    timeout = static_cast<int>(std::clamp<long long>(left, 0, 60000));
  }
  if (poll(fds, 3, timeout) < 0 && errno != EINTR) {
    Error(std::string("poll: ") + strerror(errno));
    return false;
  }
  return true;
}

// SIGUSR1 resets the module; the others end the simulator.
void Simulator::TakeSignals(kernel::TimePoint now) {
  signalfd_siginfo info{};
  while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGUSR1) {
      Log("SIGUSR1: reset");
      Reset(now);
    } else {
      Log(std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)) + ": ending");
      running_ = false;
    }
  }
}

// Everything the tty holds goes to the module; a hang-up or an error closes
// it until it can be opened again.
void Simulator::TakeTty(short revents, kernel::TimePoint now) {
  if (revents & POLLIN) {
    long n;
    while ((n = tty_.Read(buffer_.data(), buffer_.size())) > 0) {
      Handle(module_->Receive(std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(n)), now), now);
      if (o_.statusSeconds > 0 && nextStatus_ == kernel::kNever) {
        nextStatus_ = now + std::chrono::seconds(o_.statusSeconds);
      }
    }
    if (n < 0) TtyGone(now);
  } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
    TtyGone(now);
  }
}

void Simulator::Finish() {
  SaveFlash();
  if (!o_.quiet) PrintStatus(true);
  if (createdControl_) unlink(o_.control.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "modulesim: %s (see --help)\n", error.c_str());
    return kUsageError;
  }
  Simulator simulator(std::move(options));
  return simulator.Run();
}
