// The one narrow interface between the COM driver, which implements the
// Win32 semantics (queues, events, errors, time-outs, purges), and a back
// end that moves bytes: the virtual line or a host tty.
//
// Locking: every member except Lock() is called with Lock() held, and none
// of them blocks. The driver waits on its own WaitQueue with the WaitSpec a
// transport gives; a transport wakes that queue (given at construction)
// when something it cannot announce through a descriptor happens.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kernel/Clock.h"
#include "serial/LineDevice.h"

namespace serial::detail {

// Receive's `revents` when no wait has looked at the descriptor: whatever
// the descriptor holds must be read.
inline constexpr short kNotPolled = -1;

// What to wait on for progress: a time, a descriptor, or both.
struct WaitSpec {
  kernel::TimePoint until = kernel::kNever;
  int fd = -1;
  short events = 0;
};

// Where a transport hands over what arrived from the line, in line order.
class InputSink {
 public:
  // A received byte; `damaged` when it came with a framing or parity error.
  virtual void Byte(uint8_t value, bool damaged, kernel::TimePoint arrival) = 0;
  // Received bytes, all undamaged, that arrived by `arrival`: the same as
  // Byte for each, in one call.
  virtual void Bytes(const uint8_t* data, size_t size, kernel::TimePoint arrival) = 0;
  virtual void Condition(LineCondition condition) = 0;
  // How many more bytes the input queue holds. A transport that can leave
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
  size_t offered = 0;  // bytes handed to the transport so far
  uint64_t id = 0;     // the transport's own tag
};

class Transport {
 public:
  virtual ~Transport() = default;

  // The lock that guards this transport and the port using it.
  virtual std::mutex& Lock() = 0;

  // Line settings, already checked for the ranges Win32 allows. Returns
  // ERROR_SUCCESS, or why the device cannot take them.
  virtual DWORD Configure(const DCB& dcb) = 0;
  virtual void SetDtr(bool on) = 0;
  virtual void SetRts(bool on) = 0;
  virtual void SetBreak(bool on) = 0;
  virtual DWORD ModemStatus() = 0;

  // Takes what has arrived by `now` into `sink`. `revents`: what the last
  // wait saw on the transport's descriptor, or kNotPolled when no wait
  // looked at it. False once the device has gone.
  virtual bool Receive(InputSink& sink, kernel::TimePoint now, short revents) = 0;
  // How to wait until `count` more items (bytes or conditions) may have
  // arrived. `canTake`: the input queue has room.
  virtual WaitSpec InputWait(size_t count, bool canTake) = 0;
  // Drops input that arrived at the device but was not yet received.
  virtual void DiscardInput() = 0;

  // Output. StartWrite, then PushWrite until WriteDone (waiting with
  // WriteWait in between), and EndWrite in every case. PushWrite is false
  // once the device has gone; `revents` as for Receive.
  virtual void StartWrite(WriteOp& op) = 0;
  virtual bool PushWrite(WriteOp& op, kernel::TimePoint now, short revents) = 0;
  virtual bool WriteDone(const WriteOp& op, kernel::TimePoint now) = 0;
  virtual WaitSpec WriteWait(const WriteOp& op) = 0;
  // Takes back whatever of the write has not gone yet; returns how many of
  // its bytes went.
  virtual size_t EndWrite(WriteOp& op, kernel::TimePoint now) = 0;
  // Bytes written but not yet gone.
  virtual size_t OutputPending(kernel::TimePoint now) = 0;
  // Takes back everything written that has not gone yet.
  virtual void DiscardOutput(kernel::TimePoint now) = 0;

  // The handle was closed: stop using the device.
  virtual void Close() = 0;
};

}  // namespace serial::detail
