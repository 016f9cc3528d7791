#include "support/PtyModule.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "kernel/Clock.h"

namespace faulttest {
namespace {

class PtyRadio final : public ril::RadioHardware {
 public:
  PtyRadio(std::shared_ptr<radio::Module> module, std::function<void()> reset)
      : module_(std::move(module)), reset_(std::move(reset)) {}
  DWORD Suspend() override {
    module_->SetRadioSuspended(true);
    return 0;
  }
  DWORD Resume() override {
    module_->SetRadioSuspended(false);
    return 0;
  }
  DWORD Reset() override {
    reset_();
    return 0;
  }
  std::string Describe() const override { return "the emulated module on a pty"; }

 private:
  std::shared_ptr<radio::Module> module_;
  std::function<void()> reset_;
};

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(fd, TCSANOW, &t);
}

// Real milliseconds until platform time `due`, for poll.
int MillisecondsUntil(kernel::TimePoint due) {
  if (due == kernel::kNever) return -1;
  auto real = kernel::ToRealTime(due) - std::chrono::steady_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(real).count();
  return static_cast<int>(std::clamp<long long>(ms + 1, 0, 1000));
}

}  // namespace

PtyModule::PtyModule(radio::ModuleConfig config) : module_(std::make_shared<radio::Module>(std::move(config))) {}

PtyModule::~PtyModule() { Stop(); }

bool PtyModule::StartOnNewPty(std::string* error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    *error = std::string("no pseudo-terminal: ") + std::strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  // Held open so that the master never reads as hung up while the port is
  // closed; the line's settings are the port's.
  slaveKeeper_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveKeeper_ < 0) {
    *error = std::string(name) + ": " + std::strerror(errno);
    close(master);
    return false;
  }
  MakeRaw(slaveKeeper_);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  hostPath_ = name;
  fd_ = master;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_ = std::thread([this] { Run(); });
  return true;
}

bool PtyModule::StartOnTty(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  MakeRaw(fd);
  fd_ = fd;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void PtyModule::Wake() {
  uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The counter cannot overflow with the few wakes a test makes.
  }
}

void PtyModule::CloseLine() {
  std::unique_lock<std::mutex> guard(lock_);
  if (!thread_.joinable()) return;
  closeRequested_ = true;
  Wake();
  changed_.wait(guard, [&] { return closed_; });
}

void PtyModule::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!thread_.joinable()) return;
    stop_ = true;
    Wake();
  }
  thread_.join();
  if (fd_ >= 0) close(fd_);
  if (slaveKeeper_ >= 0) close(slaveKeeper_);
  close(wakeFd_);
  fd_ = slaveKeeper_ = wakeFd_ = -1;
}

void PtyModule::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return;
  // Like a real reset: what the UART held is lost.
  queue_.Clear();
  tcflush(fd_, TCIFLUSH);
  kernel::TimePoint now = kernel::Clock::now();
  queue_.Add(module_->Reset(now).emissions, now);
  Wake();
}

std::shared_ptr<ril::RadioHardware> PtyModule::Radio() {
  return std::make_shared<PtyRadio>(module_, [this] { Reset(); });
}

void PtyModule::Run() {
  std::vector<uint8_t> buffer(4096);
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop_) {
    if (closeRequested_ && !closed_) {
      close(fd_);
      fd_ = -1;
      if (slaveKeeper_ >= 0) close(slaveKeeper_);
      slaveKeeper_ = -1;
      queue_.Clear();
      closed_ = true;
      changed_.notify_all();
    }
    if (!closed_) {
      // Bytes in, answers out.
      for (;;) {
        ssize_t n = read(fd_, buffer.data(), buffer.size());
        if (n <= 0) break;
        kernel::TimePoint now = kernel::Clock::now();
        queue_.Add(module_->Receive(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), now).emissions,
                   now);
      }
      kernel::TimePoint now = kernel::Clock::now();
      if (module_->NextTimer() <= now) queue_.Add(module_->Tick(now).emissions, now);
      for (radio::Emission& e : queue_.TakeDue(now)) {
        size_t sent = 0;
        while (sent < e.bytes.size()) {
          ssize_t n = write(fd_, e.bytes.data() + sent, e.bytes.size() - sent);
          if (n > 0) {
            sent += static_cast<size_t>(n);
          } else if (n < 0 && errno == EAGAIN) {
            pollfd out{fd_, POLLOUT, 0};
            guard.unlock();
            poll(&out, 1, 10);
            guard.lock();
            if (closeRequested_ || stop_) break;
          } else {
            break;
          }
        }
      }
    }
    kernel::TimePoint next = closed_ ? kernel::kNever : std::min(queue_.NextDue(), module_->NextTimer());
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {closed_ ? -1 : fd_, POLLIN, 0}};
    guard.unlock();
    poll(fds, 2, MillisecondsUntil(next));
    uint64_t count = 0;
    if (read(wakeFd_, &count, sizeof count) < 0) {
      // Nothing was pending.
    }
    guard.lock();
  }
}

}  // namespace faulttest
