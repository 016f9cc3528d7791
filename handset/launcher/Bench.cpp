#include "handset/launcher/Bench.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "handset/launcher/Interruption.h"
#include "handset/launcher/Stamps.h"
#include "handset/launcher/Summary.h"

extern char** environ;

namespace launcher {
namespace {

using Clock = std::chrono::steady_clock;

// One member's copy of fwutil while it runs.
struct Copy {
  BenchMember member;
  std::string report;
  pid_t pid = -1;
  int errors = -1;      // the read end of its standard error
  std::string partial;  // the start of a line not yet ended
  Clock::time_point started;
  std::optional<int> status;
  double seconds = 0;
};

std::mutex g_copiesLock;
std::vector<pid_t> g_pids;           // the copies a signal is passed on to
std::atomic<int> g_interruption{0};  // the signal that came, 0: none

void PassOn(int signal) {
  g_interruption = signal;
  std::lock_guard<std::mutex> guard(g_copiesLock);
  for (pid_t pid : g_pids) kill(pid, signal);
}

// The program a copy runs: this one (FWUTIL_PROGRAM names another, for a
// build whose programs start under an emulator).
std::string Program() {
  if (const char* program = std::getenv("FWUTIL_PROGRAM"); program && *program) return program;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "fwutil";
  self[n] = '\0';
  return self;
}

bool Start(Copy& copy, const std::string& program, std::string* error) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  std::vector<std::string> args = {program};
  args.insert(args.end(), copy.member.args.begin(), copy.member.args.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
  // The copy takes the signals itself (this process blocks them).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  copy.started = Clock::now();
  int failed = posix_spawn(&copy.pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(ends[1]);
  if (failed != 0) {
    close(ends[0]);
    *error = program + ": " + std::strerror(failed);
    return false;
  }
  copy.errors = ends[0];
  std::lock_guard<std::mutex> guard(g_copiesLock);
  g_pids.push_back(copy.pid);
  return true;
}

void SayLine(const Copy& copy, const std::string& line) {
  std::string out = copy.member.name + ": " + line + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

// Passes on each whole line a copy has written; false once it has closed
// its standard error.
bool Relay(Copy& copy) {
  char buffer[4096];
  ssize_t n = read(copy.errors, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) {
    if (!copy.partial.empty()) SayLine(copy, copy.partial);
    copy.partial.clear();
    return false;
  }
  copy.partial.append(buffer, static_cast<size_t>(n));
  for (size_t end; (end = copy.partial.find('\n')) != std::string::npos;) {
    SayLine(copy, copy.partial.substr(0, end));
    copy.partial.erase(0, end + 1);
  }
  return true;
}

void Await(Copy& copy) {
  int status = 0;
  while (waitpid(copy.pid, &status, 0) < 0 && errno == EINTR) {
  }
  copy.seconds = std::chrono::duration<double>(Clock::now() - copy.started).count();
  copy.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  std::lock_guard<std::mutex> guard(g_copiesLock);
  std::erase(g_pids, copy.pid);
}

std::optional<nlohmann::ordered_json> ReadReport(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  nlohmann::ordered_json report = nlohmann::ordered_json::parse(file, nullptr, false);
  if (report.is_discarded()) return std::nullopt;
  return report;
}

void RemoveFolder(const std::string& path) {
  std::string command = "rm -rf '" + path + "'";
  [[maybe_unused]] int status = std::system(command.c_str());
}

}  // namespace

void RunBench(const Options& options, const Plan& plan, SystemTime startedAt) {
  CatchInterruptions(PassOn);
  if (options.timestamps) StampStderr();
  auto started = Clock::now();
  char pattern[] = "/tmp/fwutil-bench-XXXXXX";
  std::string scratch = mkdtemp(pattern) ? pattern : "";
  if (scratch.empty()) {
    std::fprintf(stderr, "fwutil: cannot make a folder for the bench's reports: %s\n", std::strerror(errno));
    FlushStderr();
    _exit(kUpdateNotStarted);
  }
  std::string program = Program();
  std::vector<Copy> copies;
  for (size_t i = 0; i < plan.bench.size(); ++i) {
    Copy copy;
    copy.member = plan.bench[i];
    copy.report = scratch + "/" + std::to_string(i + 1) + ".json";
    // Each copy is a handset of its own: its own desktop for the one-copy
    // rule (a tty's copy has one by default).
    copy.member.args.insert(copy.member.args.end(), {"--report", copy.report});
    if (copy.member.port == kEmulatedPort) {
      std::string desktop = (options.desktop.empty() ? scratch : options.desktop) + "/desktop-" + copy.member.name;
      copy.member.args.insert(copy.member.args.end(), {"--desktop", desktop});
    } else if (!options.desktop.empty()) {
      copy.member.args.insert(copy.member.args.end(), {"--desktop", options.desktop + "/desktop-" + copy.member.name});
    }
    copies.push_back(std::move(copy));
  }
  if (!options.quiet) {
    std::fprintf(stderr, "fwutil: a bench of %zu modules, each flashed by a copy of fwutil of its own\n", copies.size());
  }
  for (Copy& copy : copies) {
    std::string error;
    if (g_interruption == 0 && Start(copy, program, &error)) continue;
    copy.status = kUpdateNotStarted;
    if (g_interruption == 0) SayLine(copy, "fwutil: could not start its copy: " + error);
  }

  // Every copy's lines as they come, until each has closed its standard
  // error; then it is awaited.
  for (;;) {
    std::vector<pollfd> ready;
    std::vector<Copy*> readers;
    for (Copy& copy : copies) {
      if (copy.errors < 0) continue;
      ready.push_back({copy.errors, POLLIN, 0});
      readers.push_back(&copy);
    }
    if (ready.empty()) break;
    if (poll(ready.data(), ready.size(), -1) < 0 && errno != EINTR) break;
    for (size_t i = 0; i < ready.size(); ++i) {
      if (ready[i].revents == 0) continue;
      Copy& copy = *readers[i];
      if (!Relay(copy)) {
        close(copy.errors);
        copy.errors = -1;
        Await(copy);
      }
    }
  }

  std::vector<MemberResult> results;
  std::vector<int> statuses;
  for (Copy& copy : copies) {
    MemberResult result;
    result.name = copy.member.name;
    result.port = copy.member.port;
    result.status = copy.status.value_or(kUpdateNotStarted);
    result.seconds = copy.seconds;
    result.report = ReadReport(copy.report);
    statuses.push_back(result.status);
    results.push_back(std::move(result));
  }
  int status = WorstStatus(statuses);
  int signal = g_interruption;
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  for (const std::string& line : SummaryLines(results, seconds)) std::fprintf(stderr, "%s\n", line.c_str());
  if (!options.report.empty()) {
    SystemTime endedAt = startedAt + std::chrono::duration_cast<SystemTime::duration>(Clock::now() - started);
    std::optional<std::string> signalName;
    if (signal) signalName = SignalName(signal);
    std::string json =
        BenchDocument(results, signal ? 128 + signal : status, startedAt, endedAt, signalName)
            .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
        "\n";
    std::string reason;
    if (!WriteJsonFile(options.report, json, &reason)) {
      std::fprintf(stderr, "fwutil: cannot write the report to %s: %s\n", options.report.c_str(), reason.c_str());
      if (status == 0) status = kReportLost;
    }
  }
  RemoveFolder(scratch);
  std::fflush(nullptr);
  FlushStderr();
  if (signal) DieBy(signal);
  _exit(status);
}

}  // namespace launcher
