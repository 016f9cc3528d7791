// Child processes for the relay's end-to-end tests and benchmark: the real
// fwutil and socat, started with pipes, read line by line, ended by signal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

// The full path of `name` on PATH, or empty.
inline std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

class Process {
 public:
  // Starts `argv` with standard input and output on pipes (when asked) and
  // standard error on a pipe this object reads lines from.
  bool Start(const std::vector<std::string>& argv, bool pipeStdio = false) {
    int err[2], in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) != 0) return false;
    if (pipeStdio && (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (pipeStdio) {
      posix_spawn_file_actions_adddup2(&actions, in[0], 0);
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    err_ = err[0];
    fcntl(err_, F_SETFL, O_NONBLOCK);
    if (pipeStdio) {
      close(in[0]);
      close(out[1]);
      in_ = in[1];
      out_ = out[0];
      fcntl(out_, F_SETFL, O_NONBLOCK);
    }
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  ~Process() {
    Stop();
    for (int fd : {err_, in_, out_}) {
      if (fd >= 0) close(fd);
    }
  }

  pid_t Pid() const { return pid_; }

  // Waits for a line of standard error containing `needle`; returns it.
  // Every line read is kept in StderrText().
  std::optional<std::string> WaitStderrLine(const std::string& needle, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      size_t end;
      while ((end = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line.find(needle) != std::string::npos) return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{err_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(err_, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;  // the process closed it (ended)
      pending_.append(buffer, static_cast<size_t>(n));
      all_.append(buffer, static_cast<size_t>(n));
    }
  }
  const std::string& StderrText() const { return all_; }

  int StdinFd() const { return in_; }
  int StdoutFd() const { return out_; }

  // SIGTERM, then SIGKILL if it has not ended within a few seconds. Returns
  // the wait status (or -1).
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = -1;
    for (int i = 0; i < 300; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int err_ = -1, in_ = -1, out_ = -1;
  std::string pending_, all_;
};

// Opens a tty raw and non-blocking.
inline int OpenRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

// Waits until `path` exists (socat makes its links once the ptys are up).
inline bool WaitForPath(const std::string& path, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  struct stat info {};
  while (stat(path.c_str(), &info) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    usleep(10000);
  }
  return true;
}

// A pty pair made by socat: whatever goes into one link comes out of the
// other. Ends with the object.
class SocatPair {
 public:
  bool Start(const std::string& socat, const std::string& a, const std::string& b) {
    a_ = a;
    b_ = b;
    unlink(a.c_str());
    unlink(b.c_str());
    if (!process_.Start({socat, "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b})) return false;
    return WaitForPath(a, std::chrono::seconds(10)) && WaitForPath(b, std::chrono::seconds(10));
  }
  ~SocatPair() {
    process_.Stop();
    unlink(a_.c_str());
    unlink(b_.c_str());
  }

 private:
  Process process_;
  std::string a_, b_;
};

// FNV-1a, 64 bits.
inline uint64_t Checksum(const std::vector<uint8_t>& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

inline std::vector<uint8_t> RandomBytes(size_t size, uint64_t seed) {
  std::vector<uint8_t> bytes(size);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

// Moves `out` into fd `a` and reads fd `b` into `in` until `in` holds
// `expected` bytes, for several streams at once (each fd non-blocking).
struct Stream {
  int writeFd;
  const std::vector<uint8_t>* out;
  size_t sent = 0;
  int readFd;
  std::vector<uint8_t> in;
  size_t expected;
};

// Pumps all streams until every one has received what it expects or the
// deadline passes. Returns true when all arrived.
inline bool Pump(std::vector<Stream*> streams, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    bool done = true;
    std::vector<pollfd> fds;
    for (Stream* s : streams) {
      if (s->in.size() < s->expected) done = false;
      if (s->sent < s->out->size()) fds.push_back({s->writeFd, POLLOUT, 0});
      if (s->in.size() < s->expected) fds.push_back({s->readFd, POLLIN, 0});
    }
    if (done) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left.count(), 1000))) < 0) return false;
    for (Stream* s : streams) {
      if (s->sent < s->out->size()) {
        size_t chunk = std::min<size_t>(s->out->size() - s->sent, 4096);
        ssize_t n = write(s->writeFd, s->out->data() + s->sent, chunk);
        if (n > 0) s->sent += static_cast<size_t>(n);
      }
      uint8_t buffer[8192];
      ssize_t n;
      while (s->in.size() < s->expected && (n = read(s->readFd, buffer, sizeof buffer)) > 0) {
        s->in.insert(s->in.end(), buffer, buffer + n);
      }
    }
  }
}

}  // namespace e2e
