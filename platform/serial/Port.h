// A configured serial port number: the driver's defaults for it and its
// fault switches. Back ends derive from PortConfig.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace kernel {
class WaitQueue;
}

namespace serial {

// The driver's defaults for a port, applied at every open.
struct PortOptions {
  COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};  // all zero: reads and writes wait without limit
  DWORD inputQueue = 4096;                  // bytes the input queue holds until SetupComm changes it
};

// Time-outs for ports whose readers copy bursts (the infrared and IrDA
// ports): a read waits for its first byte, then returns at the first gap.
COMMTIMEOUTS BurstReadTimeouts();

// Switches that make writes on a port misbehave, for fault tests. Each
// armed count is used up by the writes that follow, in order: failing
// writes first, then short ones.
class WriteFaults {
 public:
  // The next `count` writes fail: FALSE with `error`, nothing sent.
  void FailNext(unsigned count, DWORD error = ERROR_GEN_FAILURE);
  // The next `count` writes send only their first `bytes` bytes and report
  // that many as written.
  void ShortenNext(unsigned count, DWORD bytes);
  void Clear();
  // Whether any switch may still be armed (a cheap look before TakeNext).
  bool Armed() const { return armed_.load(std::memory_order_acquire); }

  // Used by the port: what the next write must do.
  struct Verdict {
    bool fail = false;
    DWORD error = ERROR_SUCCESS;
    bool shorten = false;
    DWORD bytes = 0;
  };
  Verdict TakeNext();

 private:
  std::mutex lock_;
  unsigned failCount_ = 0;
  DWORD failError_ = ERROR_GEN_FAILURE;
  unsigned shortCount_ = 0;
  DWORD shortBytes_ = 0;
  std::atomic<bool> armed_{false};
};

// Sees the host's calls on a port, for tests that check what went over the
// line and in which pieces. Called on the caller's thread once the call's
// work is done, inside the API call but outside the port's lock: keep it
// short and thread-safe.
class PortObserver {
 public:
  virtual ~PortObserver() = default;
  // WriteFile: the bytes asked for, how many of them went, the result.
  virtual void OnWrite(std::span<const uint8_t> requested, DWORD written, bool succeeded) = 0;
  // ReadFile that returned bytes: those bytes.
  virtual void OnRead(std::span<const uint8_t> bytes) { (void)bytes; }
  // PurgeComm that succeeded, with its flags.
  virtual void OnPurge(DWORD flags) { (void)flags; }
};

namespace detail {
class Transport;
}  // namespace detail

// A configured port number. Stays valid after RemovePort, but opens of the
// number then fail and an open handle fails as if its device had vanished.
class PortConfig {
 public:
  explicit PortConfig(const PortOptions& options) : options_(options) {}
  virtual ~PortConfig() = default;
  PortConfig(const PortConfig&) = delete;
  PortConfig& operator=(const PortConfig&) = delete;

  const PortOptions& Options() const { return options_; }
  WriteFaults& Faults() { return faults_; }
  // Whether a handle to the port is open now.
  bool IsOpen() const { return open_.load(); }
  // A line for people: "virtual line", "tty /dev/ttyUSB0", "pty /dev/pts/3".
  virtual std::string Describe() const = 0;
  // The observer of this port's calls (null: none); it sees the calls that
  // end after it was set.
  void SetObserver(std::shared_ptr<PortObserver> observer) {
    std::lock_guard<std::mutex> guard(observerLock_);
    observed_.store(observer != nullptr, std::memory_order_release);
    observer_ = std::move(observer);
  }
  // Whether an observer may be set (a cheap look before Observer()).
  bool Observed() const { return observed_.load(std::memory_order_acquire); }
  std::shared_ptr<PortObserver> Observer() const {
    std::lock_guard<std::mutex> guard(observerLock_);
    return observer_;
  }

  // --- for the COM driver ---
  // The exclusive claim of an open handle: false if one is open already.
  bool Claim() { return !open_.exchange(true); }
  void Release() { open_.store(false); }
  // A transport for a new open, which wakes `waiters` (the open port's) on
  // changes it cannot announce through a descriptor. Null with `*error` set
  // when the device cannot be opened.
  virtual std::unique_ptr<detail::Transport> OpenTransport(kernel::WaitQueue* waiters, DWORD* error) = 0;
  // The port number was removed or reconfigured.
  virtual void Retire() = 0;

 private:
  const PortOptions options_;
  WriteFaults faults_;
  std::atomic<bool> open_{false};  // claimed by the driver at open, released at close
  mutable std::mutex observerLock_;
  std::shared_ptr<PortObserver> observer_;
  std::atomic<bool> observed_{false};
};

}  // namespace serial
