// An open COM port, the device file a handle to "COMn:" refers to: the
// state Win32's comm functions work on (DCB, time-outs, the input queue, the
// event mask and the error state) over a port's back end (its PortInterface,
// serial/Serial.h). Defined in ComFile.cpp; CommApi.cpp reaches it from the
// API functions. Internal to the serial area: nothing outside it includes
// this header (the rest of the platform speaks Serial.h, the system only the
// SDK).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "kernel/Thread.h"
#include "serial/Serial.h"

namespace serial::detail {

// The input queue: a ring of bytes that grows only when SetupComm asks for
// more room than it has, so a pass through a read allocates nothing.
class ByteQueue {
 public:
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  void clear() { head_ = count_ = 0; }
  // Makes room for `capacity` bytes, keeping what is queued.
  void Reserve(size_t capacity) {
    if (capacity <= ring_.size()) return;
    std::vector<uint8_t> bigger(capacity);
    Take(bigger.data(), count_, true);
    head_ = 0;
    ring_.swap(bigger);
  }
  // Appends; the caller has made sure the bytes fit.
  void Append(const uint8_t* data, size_t size) {
    size_t tail = (head_ + count_) % ring_.size();
    size_t first = std::min(size, ring_.size() - tail);
    std::memcpy(ring_.data() + tail, data, first);
    std::memcpy(ring_.data(), data + first, size - first);
    count_ += size;
  }
  // Copies up to `size` bytes out; `peek`: leaves them queued.
  size_t Take(uint8_t* out, size_t size, bool peek = false) {
    size = std::min(size, count_);
    if (size == 0) return 0;
    size_t first = std::min(size, ring_.size() - head_);
    std::memcpy(out, ring_.data() + head_, first);
    std::memcpy(out + first, ring_.data(), size - first);
    if (!peek) {
      head_ = (head_ + size) % ring_.size();
      count_ -= size;
    }
    return size;
  }

 private:
  std::vector<uint8_t> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
};

class ComFile final : public kernel::DeviceFile, private InputSink {
 public:
  explicit ComFile(std::shared_ptr<PortConfig> config) : config_(std::move(config)) {}

  ~ComFile() override;

  // Claims the port and opens its back end with the driver's defaults.
  bool Start(DWORD* error);

  void OnHandleClosed() override;

  // ------------------------------------------------------------ ReadFile

  BOOL Read(void* buffer, DWORD size, DWORD* read) override;
  BOOL Write(const void* data, DWORD size, DWORD* written) override;
  BOOL Purge(DWORD flags);

  // The calls themselves; the ones above add what the port's observer sees.
  BOOL ReadBytes(void* buffer, DWORD size, DWORD* read);

  // ----------------------------------------------------------- WriteFile

  BOOL WriteBytes(const void* data, DWORD size, DWORD* written);

  // ------------------------------------------------------ comm functions

  BOOL GetState(DCB* dcb);
  BOOL SetState(const DCB& requested);
  BOOL GetTimeouts(COMMTIMEOUTS* timeouts);
  BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
  BOOL PurgeQueues(DWORD flags);
  BOOL Escape(DWORD function);
  BOOL Setup(DWORD inQueue, DWORD outQueue);
  BOOL SetMask(DWORD mask);
  BOOL GetMask(DWORD* mask);
  BOOL WaitEvent(DWORD* events);
  BOOL ClearError(DWORD* errors, COMSTAT* stat);
  BOOL ModemStatus(DWORD* status);

 private:
  static BOOL Fail(DWORD error);

  // --- InputSink, called by the back end inside Pump ---
  void Byte(uint8_t value, bool damaged, kernel::TimePoint arrival) override;
  void Bytes(const uint8_t* data, size_t size, kernel::TimePoint arrival) override;
  void Condition(LineCondition condition) override;
  size_t Room() const override;

  // ------------------------------------------------------------ helpers

  void RecordEvents(DWORD events);

  // Events that hold while the port is in a state, not only when it began.
  DWORD StateEvents() const;

  // Waits for input; the revents it returns are kNotPolled when the wait did
  // not look at the descriptor.
  short WaitForInput(std::unique_lock<std::mutex>& lock, kernel::TimePoint until, const WaitSpec& wait);

  // Takes in what has arrived by `now`. Wakes the other waiters when that
  // changed anything, since this thread may consume it before they look.
  bool Pump(short revents, kernel::TimePoint now = kernel::Clock::now());

  void MarkGone();

  // A call on a gone device that would block: waits out the rest of a
  // short hold counted from the call's start. True to look again.
  bool HoldBeforeFailing(std::unique_lock<std::mutex>& lock, kernel::TimePoint start, kernel::TimePoint deadline);

  void ApplyControlLines();

  std::shared_ptr<PortConfig> config_;
  const PortInterface& ops_ = config_->Interface();
  bool claimed_ = false;
  kernel::WaitQueue waiters_;
  void* line_ = nullptr;        // the back end's, from open until close
  std::mutex* lock_ = nullptr;  // the back end's lock for line_

  // Guarded by *lock_.
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  ByteQueue in_;
  size_t inSize_ = 4096;
  kernel::TimePoint lastArrival_{};
  bool lineIdle_ = false;  // the last wait on the line's descriptor saw nothing arrive
  DWORD errors_ = 0;
  DWORD mask_ = 0;
  DWORD history_ = 0;
  uint64_t maskGeneration_ = 0;
  bool waiting_ = false;
  uint64_t rxAbortGeneration_ = 0;
  uint64_t txAbortGeneration_ = 0;
  bool closed_ = false;
  bool gone_ = false;
};

}  // namespace serial::detail
