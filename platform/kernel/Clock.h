// The platform clock. Sleep, timers, serial time-outs and line pacing all
// read it. It runs at real speed unless a speed factor is set: at factor 50
// a Sleep(1000) takes 20 ms of real time and a serial line moves 50 times
// as many bytes per real second, so everything keeps its proportions.
#pragma once

#include <chrono>
#include <cstdint>

namespace kernel {

struct Clock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<Clock, duration>;
  static constexpr bool is_steady = true;
  static time_point now();
};

using TimePoint = Clock::time_point;
using Duration = Clock::duration;

inline constexpr TimePoint kNever = TimePoint::max();

// Platform time `ms` milliseconds from now; INFINITE (0xFFFFFFFF) gives kNever.
TimePoint AfterMilliseconds(uint32_t ms);

// Sets how many times faster than real time the platform clock runs
// (1 = real time). Meant to be set before the handset starts; waits already
// in progress keep the real deadline they computed.
void SetClockSpeed(double factor);
double ClockSpeed();

// The real (steady) time at which the platform clock reaches `t`.
std::chrono::steady_clock::time_point ToRealTime(TimePoint t);

}  // namespace kernel
