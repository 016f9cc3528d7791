// COM ports backed by host ttys through termios: a device path (a
// USB-serial adapter, one end of a socat pty pair) opened at each
// CreateFileW, or a pseudo-terminal the platform creates and keeps.
#pragma once

#include <termios.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace serial {

// Decodes what a tty delivers with PARMRK set (and ISTRIP, IGNPAR, IGNBRK,
// BRKINT clear): 0xFF 0xFF is a 0xFF data byte, 0xFF 0x00 0x00 a break,
// 0xFF 0x00 X the byte X received with a framing or parity error. An
// escape may be split across reads.
class ParmrkDecoder {
 public:
  struct Event {
    enum Kind : uint8_t { Data, Break, Damaged } kind;
    uint8_t value;  // Data and Damaged
    bool operator==(const Event&) const = default;
  };
  void Feed(const uint8_t* data, size_t size, std::vector<Event>& out);
  void Reset() { state_ = State::Plain; }

 private:
  enum class State : uint8_t { Plain, Escape, Mark };
  State state_ = State::Plain;
};

// The termios speed constant for a baud rate, if the host supports it.
std::optional<speed_t> HostSpeed(uint32_t baud);

// Raw termios for a DCB's line settings, on top of `t` (from tcgetattr):
// no echo, no line editing, no output processing, no flow control unless
// the DCB asks. `marking`: PARMRK and INPCK, so that breaks and bad bytes
// come marked in the data. The host has no 1.5 stop bits: it sends 2.
void ApplyDcbToTermios(const DCB& dcb, bool marking, termios& t);

}  // namespace serial
