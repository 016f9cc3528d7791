// The serial contract: everything the COM driver, its back ends and the
// emulated hardware share.
//
//  - The line: its format and conditions, and the device end of a virtual
//    line (LineDevice), where emulated hardware attaches.
//  - A port's back end: one table of operations (PortInterface), filled in
//    at the end of each back end's file (VirtualPort.cpp: a virtual line to
//    emulated hardware; HostTty.cpp: a host tty or a pseudo-terminal).
//  - The driver: the configured ports (PortConfig, with its write-fault
//    switches and observer) and the functions that configure them.
//
// A port number exists only once it is configured. Ports are exclusive:
// while one handle is open a second CreateFileW fails with
// ERROR_ACCESS_DENIED. Every open starts from the same state: the line
// settings of a fresh UART driver (9600 bits per second, 8 data bits, no
// parity, one stop bit, DTR and RTS raised) and the time-outs and queue
// sizes of the port's options.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "kernel/Clock.h"
#include "kernel/Devices.h"

namespace kernel {
class WaitQueue;
}

namespace serial {

// ------------------------------------------------------------------ line

// How long one byte takes on the wire: start bit, data bits, parity bit and
// stop bits (1.5 counts as 1.5) at the baud rate.
struct LineFormat {
  uint32_t baud = 115200;
  uint8_t dataBits = 8;
  uint8_t parity = NOPARITY;
  uint8_t stopBits = ONESTOPBIT;  // the DCB's code: 0 one, 1 one and a half, 2 two
  double BitsPerByte() const;
  kernel::Duration ByteTime() const;
};

// Conditions on the line besides data. At the host they show as EV_BREAK
// (Break) or EV_ERR (the others), with the matching CE_ error bits.
enum class LineCondition : uint8_t { Break, FramingError, ParityError, Overrun };

class LineDevice {
 public:
  virtual ~LineDevice() = default;

  // Takes up to `size` bytes that have arrived from the host. Blocks until
  // bytes have arrived and none more are in flight (or `size` are there),
  // the deadline passes, or Interrupt(); returns the count (0 when nothing
  // arrived in time).
  virtual size_t Read(uint8_t* buffer, size_t size, kernel::TimePoint deadline) = 0;
  // Sends bytes towards the host, after anything sent before, one byte time
  // apart. Returns at once.
  virtual void Write(const uint8_t* data, size_t size) = 0;
  // Sends a condition towards the host, after the data sent before it.
  virtual void SendCondition(LineCondition condition) = 0;
  // As Write, but the bytes whose `garbled` flag is set arrive damaged: each
  // reported together with the line error `condition`, as a UART reports a
  // byte it received with a framing or parity error. A line that cannot
  // carry both at once sends the error just before the byte.
  virtual void WriteGarbled(const uint8_t* data, const bool* garbled, size_t size, LineCondition condition) {
    for (size_t i = 0; i < size; ++i) {
      if (garbled[i]) SendCondition(condition);
      Write(data + i, 1);
    }
  }
  // Drops whatever has arrived from the host and was not read yet.
  virtual void DiscardInput() = 0;
  // Drops what was sent towards the host but has not arrived there yet.
  virtual void DiscardOutput() = 0;
  // Makes a Read that is blocked now, or the next one, return 0 at once.
  virtual void Interrupt() = 0;

  // The line format the host port uses now (from its DCB); both directions
  // are paced with it.
  virtual LineFormat HostFormat() const = 0;
  // Modem-control lines as the host drives them.
  virtual bool HostDtr() const = 0;
  virtual bool HostRts() const = 0;
  // Whether a program has the host port open.
  virtual bool HostOpen() const = 0;
};

// ------------------------------------------------------- port back ends

// Receive's `revents` when no wait has looked at the descriptor: whatever
// the descriptor holds must be read.
inline constexpr short kNotPolled = -1;
// Receive's `revents` when the caller is about to wait on the descriptor
// (its read_wait) anyway: the back end need not read it now, only tell
// whether the device is still there.
inline constexpr short kLooksNext = 0;

// What to wait on for progress: a time, a descriptor, or both.
struct WaitSpec {
  kernel::TimePoint until = kernel::kNever;
  int fd = -1;
  short events = 0;
};

// Where a back end hands over what arrived from the line, in line order.
class InputSink {
 public:
  // A received byte; `damaged` when it came with a framing or parity error.
  virtual void Byte(uint8_t value, bool damaged, kernel::TimePoint arrival) = 0;
  // Received bytes, all undamaged, that arrived by `arrival`: the same as
  // Byte for each, in one call.
  virtual void Bytes(const uint8_t* data, size_t size, kernel::TimePoint arrival) = 0;
  virtual void Condition(LineCondition condition) = 0;
  // How many more bytes the input queue holds. A back end that can leave
  // bytes with the device takes no more than this; the virtual line hands
  // over everything and the queue overflows as a UART's would.
  virtual size_t Room() const = 0;

 protected:
  ~InputSink() = default;
};

// One WriteFile in progress.
struct WriteOp {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t offered = 0;  // bytes handed to the back end so far
  uint64_t id = 0;     // the back end's own tag (0 until its first write)
};

class PortConfig;

// What a back end does for the driver, one table per back end. `line` is
// the back end's state for one open handle, from `open`. Locking: every
// operation but open, retire and describe is called with lock(line) held,
// and none of them blocks: the driver waits on its own WaitQueue with the
// WaitSpec an operation gives, and the back end wakes that queue (given at
// open) when something happens that no descriptor announces.
enum class LineControl : uint8_t { Dtr, Rts, Break };
enum class Queue : uint8_t { Input, Output };

struct PortInterface {
  // A line for a new handle on `port`; null with `*error` set when the
  // device cannot be opened.
  void* (*open)(PortConfig& port, kernel::WaitQueue* waiters, DWORD* error);
  // The handle was closed: stop using the device and free `line`.
  void (*close)(void* line);
  // The port number was removed or reconfigured.
  void (*retire)(PortConfig& port);
  // For people: "virtual line", "tty /dev/ttyUSB0", "pty /dev/pts/3".
  std::string (*describe)(const PortConfig& port);
  // The lock that guards the line and the open port using it.
  std::mutex& (*lock)(void* line);

  // Line settings, already checked for the ranges Win32 allows:
  // ERROR_SUCCESS, or why the device cannot take them.
  DWORD (*configure)(void* line, const DCB& dcb);
  // Raises or drops DTR or RTS, or holds the line in a break.
  void (*control)(void* line, LineControl what, bool on);
  DWORD (*modem_status)(void* line);

  // Takes what has arrived by `now` into `sink`; `revents`: what the last
  // wait saw on the line's descriptor, kNotPolled, or kLooksNext. False
  // once the device has gone.
  bool (*read)(void* line, InputSink& sink, kernel::TimePoint now, short revents);
  // How to wait until `count` more items (bytes or conditions) may have
  // arrived. `canTake`: the input queue has room.
  WaitSpec (*read_wait)(void* line, size_t count, bool canTake);

  // Offers the rest of a write to the device (op.offered grows); false once
  // the device has gone. Called until write_wait says the write is done.
  bool (*write)(void* line, WriteOp& op, kernel::TimePoint now, short revents);
  // How to wait for the write to make progress; `done` set when all of it
  // has gone.
  WaitSpec (*write_wait)(void* line, const WriteOp& op, kernel::TimePoint now, bool* done);
  // Ends a write however the call ends: takes back what has not gone and
  // returns how many of its bytes went.
  size_t (*end_write)(void* line, WriteOp& op, kernel::TimePoint now);
  // Bytes written but not yet gone.
  size_t (*output_pending)(void* line, kernel::TimePoint now);

  // Drops what arrived but was not read (Input), or what was written but
  // has not gone (Output).
  void (*flush)(void* line, Queue queue, kernel::TimePoint now);
};

// ------------------------------------------------------------ the driver

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
  // CloseHandle of the port's handle, once the line is let go.
  virtual void OnClose() {}
};

// A configured port number. Stays valid after RemovePort, but opens of the
// number then fail and an open handle fails as if its device had vanished.
class PortConfig {
 public:
  PortConfig(const PortInterface& ops, const PortOptions& options) : ops_(ops), options_(options) {}
  virtual ~PortConfig() = default;
  PortConfig(const PortConfig&) = delete;
  PortConfig& operator=(const PortConfig&) = delete;

  const PortOptions& Options() const { return options_; }
  WriteFaults& Faults() { return faults_; }
  // Whether a handle to the port is open now.
  bool IsOpen() const { return open_.load(); }
  // A line for people: "virtual line", "tty /dev/ttyUSB0", "pty /dev/pts/3".
  std::string Describe() const { return ops_.describe(*this); }
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
  // The back end's operations.
  const PortInterface& Interface() const { return ops_; }
  // The port number was removed or reconfigured.
  void Retire() { ops_.retire(*this); }

 private:
  const PortInterface& ops_;
  const PortOptions options_;
  WriteFaults faults_;
  std::atomic<bool> open_{false};  // claimed by the driver at open, released at close
  mutable std::mutex observerLock_;
  std::shared_ptr<PortObserver> observer_;
  std::atomic<bool> observed_{false};
};

struct VirtualPortOptions : PortOptions {
  // Off: an infinitely fast line (unit tests). On: each byte takes its time
  // on the wire.
  bool paced = true;
  // What GetCommModemStatus reports: the device's CTS, DSR, RING, RLSD.
  DWORD modemStatus = MS_CTS_ON | MS_DSR_ON;
};

class VirtualPort;

// Registers the "COM" driver with the device manager. Idempotent; the
// launcher and the tests call it before opening ports.
void InitializeDriver();

// Configures port `number` as a virtual line and returns its device end,
// which emulated hardware attaches to. Replaces an earlier configuration.
std::shared_ptr<VirtualPort> ConfigureVirtualPort(unsigned number, const VirtualPortOptions& options = {});

// Configures port `number` to open the tty at `path` (a USB-serial adapter,
// a pty slave) at each CreateFileW. Fails, with a reason, when the path is
// not a character device.
std::shared_ptr<PortConfig> ConfigureHostPort(unsigned number, const std::string& path, const PortOptions& options = {},
                                              std::string* error = nullptr);

// Configures port `number` on a pseudo-terminal the platform creates and
// returns the path of its slave end, for a person or a program to attach
// to (picocom, socat). The pty lives until the port is removed; attaching
// and detaching at the slave end may happen any number of times. Empty on
// failure, with a reason.
std::string ConfigurePtyPort(unsigned number, const PortOptions& options = {}, std::string* error = nullptr);

// The configuration of port `number`, or null.
std::shared_ptr<PortConfig> FindPort(unsigned number);
// Removes port `number`; false if it was not configured. An open handle to
// it fails from then on as if its device had vanished.
bool RemovePort(unsigned number);
// Port numbers configured now, ascending.
std::vector<unsigned> ConfiguredPorts();

namespace detail {
// The port table's side, for the back ends' configure functions: makes
// `config` port `number`, retiring the one it replaces.
void InstallPort(unsigned number, std::shared_ptr<PortConfig> config);
// The open port's side, for the table: a handle's device file on `config`;
// null with the last error set.
std::shared_ptr<kernel::DeviceFile> OpenComPort(std::shared_ptr<PortConfig> config);
}  // namespace detail

}  // namespace serial

// The virtual line's port, which ConfigureVirtualPort returns.
#include "serial/VirtualPort.h"
