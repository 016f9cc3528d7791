// The device end of an emulated serial line: where emulated hardware (the
// radio module, a partner device) attaches to a COM port whose back end is
// a virtual line. Everything the host program writes to the port arrives
// here paced at the line's rate, and everything written here arrives at the
// port the same way.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "kernel/Clock.h"

namespace serial {

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

}  // namespace serial
