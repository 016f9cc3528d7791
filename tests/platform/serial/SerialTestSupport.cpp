#include "SerialTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "kernel/Clock.h"
#include "serial/Serial.h"

extern char** environ;

namespace serialtest {
namespace {

void WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

std::vector<uint8_t> ReadUpTo(int fd, size_t count, std::chrono::milliseconds limit) {
  std::vector<uint8_t> out;
  auto end = std::chrono::steady_clock::now() + limit;
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    uint8_t buffer[4096];
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - out.size()));
    if (n > 0) {
      out.insert(out.end(), buffer, buffer + n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  return out;
}

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
}

class VirtualPeer : public Peer {
 public:
  explicit VirtualPeer(const serial::PortOptions& options) : options_(options) {}
  ~VirtualPeer() override { serial::RemovePort(kPort); }
  std::string Name() const override { return "virtual line"; }
  bool Setup(std::string*) override {
    serial::VirtualPortOptions options;
    static_cast<serial::PortOptions&>(options) = options_;
    options.paced = false;
    line_ = serial::ConfigureVirtualPort(kPort, options);
    return true;
  }
  void Send(const std::vector<uint8_t>& bytes) override { line_->Write(bytes.data(), bytes.size()); }
  std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds limit) override {
    std::vector<uint8_t> out(count);
    size_t got = 0;
    auto deadline = kernel::Clock::now() + limit;
    while (got < count) {
      size_t n = line_->Read(out.data() + got, count - got, deadline);
      if (n == 0) break;
      got += n;
    }
    out.resize(got);
    return out;
  }
  void Vanish() override { serial::RemovePort(kPort); }
  bool WritesCanBlock() const override { return false; }
  bool OverflowDrops() const override { return true; }
  void PaceWrites() override { line_->SetPaced(true); }

 private:
  serial::PortOptions options_;
  std::shared_ptr<serial::VirtualPort> line_;
};

// The port opens the slave of a pty pair; the test holds the master.
class OpenPtyPeer : public Peer {
 public:
  explicit OpenPtyPeer(const serial::PortOptions& options) : options_(options) {}
  ~OpenPtyPeer() override {
    serial::RemovePort(kPort);
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  std::string Name() const override { return "pty slave"; }
  bool Setup(std::string* why) override {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      *why = "openpty failed";
      return false;
    }
    return serial::ConfigureHostPort(kPort, name, options_, why) != nullptr;
  }
  void Send(const std::vector<uint8_t>& bytes) override { WriteAll(master_, bytes); }
  std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds limit) override {
    return ReadUpTo(master_, count, limit);
  }
  void Vanish() override {
    // Every descriptor of the master side closes: the slave hangs up.
    close(master_);
    master_ = -1;
  }
  bool WritesCanBlock() const override { return true; }
  bool OverflowDrops() const override { return false; }

 private:
  serial::PortOptions options_;
  int master_ = -1;
  int slave_ = -1;
};

// The platform makes the pty; the test attaches at its slave.
class PlatformPtyPeer : public Peer {
 public:
  explicit PlatformPtyPeer(const serial::PortOptions& options) : options_(options) {}
  ~PlatformPtyPeer() override {
    if (fd_ >= 0) close(fd_);
    serial::RemovePort(kPort);
  }
  std::string Name() const override { return "platform pty"; }
  bool Setup(std::string* why) override {
    std::string path = serial::ConfigurePtyPort(kPort, options_, why);
    if (path.empty()) return false;
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      *why = "cannot open " + path;
      return false;
    }
    MakeRaw(fd_);
    return true;
  }
  void Send(const std::vector<uint8_t>& bytes) override { WriteAll(fd_, bytes); }
  std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds limit) override {
    return ReadUpTo(fd_, count, limit);
  }
  void Vanish() override { serial::RemovePort(kPort); }
  bool WritesCanBlock() const override { return true; }
  bool OverflowDrops() const override { return false; }

 private:
  serial::PortOptions options_;
  int fd_ = -1;
};

std::string FindProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return {};
}

// A pty pair made by socat, an independent process: the port opens one
// end, the test the other.
class SocatPeer : public Peer {
 public:
  explicit SocatPeer(const serial::PortOptions& options) : options_(options) {}
  ~SocatPeer() override {
    serial::RemovePort(kPort);
    if (fd_ >= 0) close(fd_);
    Stop();
    if (!dir_.empty()) {
      unlink((dir_ + "/port").c_str());
      unlink((dir_ + "/peer").c_str());
      rmdir(dir_.c_str());
    }
  }
  std::string Name() const override { return "socat pty pair"; }
  bool Setup(std::string* why) override {
    std::string socat = FindProgram("socat");
    if (socat.empty()) {
      *why = "socat is not installed";
      return false;
    }
    char pattern[] = "/tmp/serialtest.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      *why = "mkdtemp failed";
      return false;
    }
    dir_ = pattern;
    std::string a = "pty,raw,echo=0,link=" + dir_ + "/port";
    std::string b = "pty,raw,echo=0,link=" + dir_ + "/peer";
    const char* argv[] = {socat.c_str(), "-d", "-d", a.c_str(), b.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawn(&pid_, socat.c_str(), &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      *why = "cannot start socat";
      return false;
    }
    struct stat info {};
    if (!Eventually(
            [&] { return stat((dir_ + "/port").c_str(), &info) == 0 && stat((dir_ + "/peer").c_str(), &info) == 0; })) {
      *why = "socat made no pty pair";
      return false;
    }
    fd_ = open((dir_ + "/peer").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      *why = "cannot open the peer end";
      return false;
    }
    MakeRaw(fd_);
    return serial::ConfigureHostPort(kPort, dir_ + "/port", options_, why) != nullptr;
  }
  void Send(const std::vector<uint8_t>& bytes) override { WriteAll(fd_, bytes); }
  std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds limit) override {
    return ReadUpTo(fd_, count, limit);
  }
  void Vanish() override { Stop(); }
  bool WritesCanBlock() const override { return true; }
  bool OverflowDrops() const override { return false; }

 private:
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  serial::PortOptions options_;
  std::string dir_;
  pid_t pid_ = -1;
  int fd_ = -1;
};

}  // namespace

std::string BackendName(Backend backend) {
  switch (backend) {
    case Backend::VirtualLine:
      return "VirtualLine";
    case Backend::OpenPty:
      return "PtySlave";
    case Backend::PlatformPty:
      return "PlatformPty";
    case Backend::SocatPty:
      return "SocatPty";
  }
  return "?";
}

void InitializePorts() { serial::InitializeDriver(); }

std::vector<Backend> Backends() {
  return {Backend::VirtualLine, Backend::OpenPty, Backend::PlatformPty, Backend::SocatPty};
}

std::unique_ptr<Peer> MakePeer(Backend backend) {
  const serial::PortOptions options;
  InitializePorts();
  switch (backend) {
    case Backend::VirtualLine:
      return std::make_unique<VirtualPeer>(options);
    case Backend::OpenPty:
      return std::make_unique<OpenPtyPeer>(options);
    case Backend::PlatformPty:
      return std::make_unique<PlatformPtyPeer>(options);
    case Backend::SocatPty:
      return std::make_unique<SocatPeer>(options);
  }
  return nullptr;
}

std::chrono::nanoseconds ThreadCpuTime() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

}  // namespace serialtest
