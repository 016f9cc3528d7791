#include "devices/ril/HostRadio.h"

#include <errno.h>
#include <pthread.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "kernel/Wait.h"

namespace ril {
namespace {

class NoRadio : public RadioHardware {
 public:
  DWORD Suspend() override { return 0; }
  DWORD Resume() override { return 0; }
  DWORD Reset() override { return 0; }
  std::string Describe() const override { return "no radio module: RIL1: requests succeed and do nothing"; }
};

class TtyModemLines : public ModemLines {
 public:
  explicit TtyModemLines(int fd) : fd_(fd) {}
  ~TtyModemLines() override { close(fd_); }
  int Raise(ModemLine line) override { return Control(TIOCMBIS, line); }
  int Drop(ModemLine line) override { return Control(TIOCMBIC, line); }

 private:
  int Control(unsigned long request, ModemLine line) {
    int bit = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
    return ioctl(fd_, request, &bit) == 0 ? 0 : errno;
  }
  const int fd_;
};

class LineResetRadio : public RadioHardware {
 public:
  LineResetRadio(std::shared_ptr<ModemLines> lines, TtyResetOptions options)
      : lines_(std::move(lines)), options_(std::move(options)) {}

  DWORD Suspend() override { return 0; }
  DWORD Resume() override { return 0; }

  DWORD Reset() override {
    // One pulse at a time; a second request waits (interruptibly) for the
    // first to finish rather than cutting it short.
    std::unique_lock<std::mutex> lock(m_);
    kernel::WaitUntil(lock, idle_, kernel::kNever, [this] { return !busy_; });
    busy_ = true;
    lock.unlock();
    struct Done {
      LineResetRadio* self;
      ~Done() {
        std::lock_guard<std::mutex> guard(self->m_);
        self->busy_ = false;
        self->idle_.WakeAll();
      }
    } done{this};

    if (int error = Activate()) return ErrorFromErrno(error);
    // Whatever happens during the pulse (the thread may be terminated in
    // the wait), the line goes back to its idle level.
    struct Release {
      LineResetRadio* self;
      bool armed = true;
      ~Release() {
        if (armed) self->Deactivate();
      }
    } release{this};
    kernel::SleepUntil(kernel::AfterMilliseconds(options_.pulseMs));
    release.armed = false;
    if (int error = Deactivate()) return ErrorFromErrno(error);
    return 0;
  }

  std::string Describe() const override {
    return "real radio module on " + options_.path + ", reset by pulsing " +
           (options_.line == ModemLine::Dtr ? "DTR" : "RTS") + (options_.activeHigh ? " high" : " low") + " for " +
           std::to_string(options_.pulseMs) + " ms";
  }

 private:
  int Activate() { return options_.activeHigh ? lines_->Raise(options_.line) : lines_->Drop(options_.line); }
  int Deactivate() { return options_.activeHigh ? lines_->Drop(options_.line) : lines_->Raise(options_.line); }

  const std::shared_ptr<ModemLines> lines_;
  const TtyResetOptions options_;
  std::mutex m_;
  kernel::WaitQueue idle_;
  bool busy_ = false;
};

class ControlChannelRadio : public RadioHardware {
 public:
  explicit ControlChannelRadio(std::string path) : path_(std::move(path)) {}
  DWORD Suspend() override { return Send("suspend\n"); }
  DWORD Resume() override { return Send("resume\n"); }
  DWORD Reset() override { return Send("reset\n"); }
  std::string Describe() const override { return "module simulator through the control FIFO " + path_; }

 private:
  DWORD Send(std::string_view line) {
    // Non-blocking: with no reader the open fails at once (ENXIO) instead of
    // waiting for one.
    int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ERROR_DEVICE_NOT_CONNECTED : ErrorFromErrno(errno);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
      close(fd);
      return ERROR_NOT_SUPPORTED;
    }
    // A reader that goes away between open and write must not kill the
    // process with SIGPIPE: block it here and take any pending one back.
    sigset_t pipeSet, previous;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
    ssize_t n = write(fd, line.data(), line.size());
    int writeError = errno;
    if (n < 0 && writeError == EPIPE) {
      timespec zero{};
      sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(fd);
    if (n == static_cast<ssize_t>(line.size())) return 0;
    if (n < 0 && writeError == EAGAIN) return ERROR_BUSY;  // the simulator is not reading
    return n < 0 ? ErrorFromErrno(writeError) : ERROR_WRITE_FAULT;
  }

  const std::string path_;
};

}  // namespace

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOTTY:
    case EINVAL:
      return ERROR_NOT_SUPPORTED;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
      return ERROR_DEVICE_NOT_CONNECTED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
      return ERROR_BUSY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::shared_ptr<RadioHardware> MakeNoRadio() { return std::make_shared<NoRadio>(); }

std::shared_ptr<RadioHardware> MakeTtyResetRadio(const TtyResetOptions& options, std::string* error) {
  int fd = open(options.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "cannot open " + options.path + ": " + strerror(errno);
    return nullptr;
  }
  if (!isatty(fd)) {
    close(fd);
    if (error) *error = options.path + " is not a tty";
    return nullptr;
  }
  return MakeModemLineResetRadio(std::make_shared<TtyModemLines>(fd), options);
}

std::shared_ptr<RadioHardware> MakeModemLineResetRadio(std::shared_ptr<ModemLines> lines,
                                                       const TtyResetOptions& options) {
  return std::make_shared<LineResetRadio>(std::move(lines), options);
}

std::shared_ptr<RadioHardware> MakeControlChannelRadio(const std::string& fifoPath) {
  return std::make_shared<ControlChannelRadio>(fifoPath);
}

}  // namespace ril
