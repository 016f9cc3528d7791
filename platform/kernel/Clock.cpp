#include "kernel/Clock.h"

#include <atomic>
#include <mutex>

namespace kernel {
namespace {

using Real = std::chrono::steady_clock;

// The mapping between real and platform time: platform = base + (real - realBase) * speed.
struct Mapping {
  Real::time_point realBase;
  TimePoint platformBase;
  double speed;
};

std::mutex& MappingLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

Mapping& CurrentMapping() {
  static auto* mapping = new Mapping{Real::now(), TimePoint{}, 1.0};
  return *mapping;
}

Mapping Snapshot() {
  std::lock_guard<std::mutex> guard(MappingLock());
  return CurrentMapping();
}

TimePoint PlatformAt(const Mapping& m, Real::time_point real) {
  auto elapsed = std::chrono::duration<double, std::nano>(real - m.realBase) * m.speed;
  return m.platformBase + std::chrono::duration_cast<Duration>(elapsed);
}

}  // namespace

TimePoint Clock::now() { return PlatformAt(Snapshot(), Real::now()); }

TimePoint AfterMilliseconds(uint32_t ms) {
  if (ms == 0xFFFFFFFFu) return kNever;
  return Clock::now() + std::chrono::milliseconds(ms);
}

void SetClockSpeed(double factor) {
  if (!(factor > 0)) factor = 1.0;
  std::lock_guard<std::mutex> guard(MappingLock());
  Mapping& m = CurrentMapping();
  auto realNow = Real::now();
  m.platformBase = PlatformAt(m, realNow);
  m.realBase = realNow;
  m.speed = factor;
}

double ClockSpeed() { return Snapshot().speed; }

std::chrono::steady_clock::time_point ToRealTime(TimePoint t) {
  if (t == kNever) return Real::time_point::max();
  Mapping m = Snapshot();
  auto ahead = std::chrono::duration<double, std::nano>(t - m.platformBase) / m.speed;
  // Far-away deadlines saturate rather than overflow.
  if (ahead.count() > 1e17) return Real::time_point::max();
  return m.realBase + std::chrono::duration_cast<Real::duration>(ahead);
}

}  // namespace kernel
