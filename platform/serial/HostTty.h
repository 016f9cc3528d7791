// COM ports backed by host ttys through termios: a device path (a
// USB-serial adapter, one end of a socat pty pair) opened at each
// CreateFileW, or a pseudo-terminal the platform creates and keeps.
#pragma once

#include <termios.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
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
  // The same without a list: runs of plain data bytes go to data(pointer,
  // count) in one call each, the rest to event(Event).
  template <typename OnData, typename OnEvent>
  void Feed(const uint8_t* data, size_t size, OnData&& onData, OnEvent&& onEvent);
  void Reset() { state_ = State::Plain; }

 private:
  enum class State : uint8_t { Plain, Escape, Mark };
  State state_ = State::Plain;
};

template <typename OnData, typename OnEvent>
void ParmrkDecoder::Feed(const uint8_t* data, size_t size, OnData&& onData, OnEvent&& onEvent) {
  size_t i = 0;
  while (i < size) {
    if (state_ == State::Plain) {
      // Everything up to the next escape is plain data.
      const void* mark = std::memchr(data + i, 0xFF, size - i);
      size_t end = mark == nullptr ? size : static_cast<size_t>(static_cast<const uint8_t*>(mark) - data);
      if (end > i) onData(data + i, end - i);
      if (end == size) return;
      state_ = State::Escape;
      i = end + 1;
      continue;
    }
    uint8_t c = data[i++];
    if (state_ == State::Escape) {
      if (c == 0xFF) {
        onEvent(Event{Event::Data, 0xFF});
        state_ = State::Plain;
      } else if (c == 0x00) {
        state_ = State::Mark;
      } else {
        // Not an escape the line discipline makes: keep both bytes.
        onEvent(Event{Event::Data, 0xFF});
        onEvent(Event{Event::Data, c});
        state_ = State::Plain;
      }
    } else {  // State::Mark
      onEvent(c == 0x00 ? Event{Event::Break, 0} : Event{Event::Damaged, c});
      state_ = State::Plain;
    }
  }
}

// The termios speed constant for a baud rate, if the host supports it.
std::optional<speed_t> HostSpeed(uint32_t baud);

// Raw termios for a DCB's line settings, on top of `t` (from tcgetattr):
// no echo, no line editing, no output processing, no flow control unless
// the DCB asks. `marking`: PARMRK and INPCK, so that breaks and bad bytes
// come marked in the data. The host has no 1.5 stop bits: it sends 2.
void ApplyDcbToTermios(const DCB& dcb, bool marking, termios& t);

}  // namespace serial
