// A byte's time on a paced virtual line, told apart from the host's side:
// the device end sends a burst, the host reads what has arrived some time
// later, and the two moments bracket how long each byte took. The bracket
// holds however the threads are scheduled; a stall inside one of the two
// calls only widens it, so a measurement is repeated until it is narrow
// enough to tell the stop-bit settings apart.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "kernel/Clock.h"
#include "serial/VirtualPort.h"

namespace systemtest {

// Bits per byte at `baud`, between `low` and `high`.
struct BitsPerByte {
  double low = 0;
  double high = 1e9;
  double Width() const { return high - low; }
};

// One bracket of the bits a byte takes from `line`'s device end to `port`
// (an open handle on it), or a bracket of width > 1e8 when this attempt
// told nothing (every byte had arrived, or the read failed). `port` must
// return what has arrived within a short time (its time-outs) and hold at
// least `burst` bytes in its input queue.
inline BitsPerByte BracketBitsPerByte(serial::VirtualPort& line, HANDLE port, DWORD baud, size_t burst,
                                      DWORD waitMs) {
  using kernel::Clock;
  std::vector<uint8_t> bytes(burst, 0x5A);
  std::vector<uint8_t> buffer(burst + 16);
  PurgeComm(port, PURGE_RXCLEAR);
  Clock::time_point sendBegin = Clock::now();
  line.Write(bytes.data(), bytes.size());
  Clock::time_point sendEnd = Clock::now();
  Sleep(waitMs);
  Clock::time_point readBegin = Clock::now();
  DWORD got = 0;
  BOOL ok = ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
  Clock::time_point readEnd = Clock::now();
  // Let the rest of the burst arrive (at most 12 bits a byte) and drop it.
  Sleep(static_cast<DWORD>(burst * 12 * 1000 / baud) + 20);
  DWORD more = 0;
  while (ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &more, nullptr) && more > 0) {
  }
  PurgeComm(port, PURGE_RXCLEAR);

  BitsPerByte bits;
  if (!ok || got == 0 || got >= burst) return bits;
  // Byte k arrives k byte times after the write: `got` had arrived by the
  // end of the read, the next one not by its beginning.
  auto nanos = [](Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); };
  double lowNs = nanos(readBegin - sendEnd) / (got + 1);
  double highNs = nanos(readEnd - sendBegin) / got;
  bits.low = lowNs * baud / 1e9;
  bits.high = highNs * baud / 1e9;
  return bits;
}

// The narrowest of up to `attempts` brackets, stopping at the first that is
// narrower than `enough` bits.
inline BitsPerByte MeasureBitsPerByte(serial::VirtualPort& line, HANDLE port, DWORD baud, double enough,
                                      int attempts = 8) {
  const size_t burst = 3500;
  const DWORD waitMs = static_cast<DWORD>(2500 * 10 * 1000 / baud);  // about 2500 bytes' time
  BitsPerByte best;
  for (int i = 0; i < attempts && best.Width() >= enough; ++i) {
    BitsPerByte bits = BracketBitsPerByte(line, port, baud, burst, waitMs);
    if (bits.Width() < best.Width()) best = bits;
  }
  return best;
}

// Checks that the line takes `expected` bits a byte and, when the bracket
// is narrow enough, that it is none of the neighbouring settings half a
// bit away (another stop-bit setting).
inline void ExpectBitsPerByte(const BitsPerByte& bits, double expected) {
  ASSERT_LT(bits.Width(), 1e8) << "no measurement of the line";
  EXPECT_LE(bits.low, expected) << "bits per byte between " << bits.low << " and " << bits.high;
  EXPECT_GE(bits.high, expected) << "bits per byte between " << bits.low << " and " << bits.high;
  if (bits.Width() < 0.5) {
    EXPECT_GT(bits.low, expected - 0.5) << "bits per byte between " << bits.low << " and " << bits.high;
    EXPECT_LT(bits.high, expected + 0.5) << "bits per byte between " << bits.low << " and " << bits.high;
  } else {
    // Every attempt was stretched by a stall inside its calls (a very busy
    // machine): the bracket still holds, it just cannot tell more.
    ::testing::Test::RecordProperty("bits_per_byte_bracket_too_wide", "1");
  }
}

}  // namespace systemtest
