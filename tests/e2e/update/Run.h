// Child processes for the update's end-to-end tests: the real fwutil,
// modulesim and socat, with standard error kept in a file, waited for with
// a time limit and killed if the test ends first.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace e2e {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool OnPath(const std::string& name) {
  std::string command = "command -v " + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// A scratch folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/fwutil-e2e-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::string command = "rm -rf '" + path_ + "'";
    [[maybe_unused]] int rc = std::system(command.c_str());
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class Child {
 public:
  // Starts `argv` with standard input and output on /dev/null and standard
  // error into `errPath`.
  Child(const std::vector<std::string>& argv, const std::string& errPath) : errPath_(errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The exit status (128 + signal when killed by one), or nullopt if it
  // still runs after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (done < 0 || std::chrono::steady_clock::now() >= end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }
  // Ends it with `signal` and waits.
  std::optional<int> Stop(int signal = SIGTERM) {
    if (!status_ && pid_ > 0) kill(pid_, signal);
    return Wait(std::chrono::seconds(10));
  }

  std::string Errors() const { return ReadFile(errPath_); }
  // Waits until standard error holds `text`, `times` times.
  bool WaitForError(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) {
    auto holds = [&] {
      std::string errors = Errors();
      size_t found = 0;
      for (size_t at = errors.find(text); at != std::string::npos; at = errors.find(text, at + text.size())) found++;
      return found >= times;
    };
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (holds()) return true;
      if (std::chrono::steady_clock::now() >= end || Wait(std::chrono::milliseconds(0))) return holds();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  pid_t pid_ = -1;
  std::string errPath_;
  std::optional<int> status_;
};

// A pty pair made by socat, with the module simulator `modulesim` and
// `options` on one end: fwutil's COM1: goes on `<prefix>host`, the
// simulator's control FIFO is `<prefix>control`, its flash is written to
// `<prefix>sim-flash.bin`, their standard errors to `<prefix>socat.txt` and
// `<prefix>sim.txt`. False, with their words in `why`, when either did not
// come up.
inline bool StartModuleOnPty(const std::string& modulesim, const std::string& prefix,
                             const std::vector<std::string>& options, std::unique_ptr<Child>& socat,
                             std::unique_ptr<Child>& sim, std::string* why) {
  socat = std::make_unique<Child>(std::vector<std::string>{"socat", "-d", "-d", "pty,raw,echo=0,link=" + prefix + "module",
                                                           "pty,raw,echo=0,link=" + prefix + "host"},
                                  prefix + "socat.txt");
  if (!socat->WaitForError("starting data transfer loop", std::chrono::seconds(30))) {
    *why = "socat: " + socat->Errors();
    return false;
  }
  std::vector<std::string> argv{modulesim,   "--tty",  prefix + "module",        "--control", prefix + "control",
                                "--flash-out", prefix + "sim-flash.bin", "--status", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  sim = std::make_unique<Child>(argv, prefix + "sim.txt");
  if (!sim->WaitForError("running on", std::chrono::seconds(30))) {
    *why = "modulesim: " + sim->Errors();
    return false;
  }
  return true;
}

}  // namespace e2e
