#include "kernel/Clock.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace kernel {
namespace {

using Real = std::chrono::steady_clock;

// The mapping between real and platform time: platform = base + (real - realBase) * speed.
struct Mapping {
  Real::time_point realBase;
  TimePoint platformBase;
  double speed;
};

// The mapping as every clock read sees it. Reads take no lock (a serial
// pass reads the clock several times, from several threads at once): a
// sequence count, odd while a change is being written, tells a reader to
// read again. Changes are rare and serialized by `writers`.
class SharedMapping {
 public:
  SharedMapping() : realBase_(Real::now().time_since_epoch().count()) {}

  Mapping Load() const {
    for (;;) {
      uint64_t before = sequence_.load();
      if ((before & 1) == 0) {
        Mapping m{Real::time_point(Real::duration(realBase_.load())), TimePoint(Duration(platformBase_.load())),
                  speed_.load()};
        if (sequence_.load() == before) return m;
      }
      std::this_thread::yield();
    }
  }

  // `change` turns the current mapping into the new one.
  template <class Change>
  void Update(Change change) {
    std::lock_guard<std::mutex> guard(writers_);
    Mapping m = Load();
    change(m);
    sequence_.fetch_add(1);
    realBase_.store(m.realBase.time_since_epoch().count());
    platformBase_.store(m.platformBase.time_since_epoch().count());
    speed_.store(m.speed);
    sequence_.fetch_add(1);
  }

 private:
  std::mutex writers_;
  std::atomic<uint64_t> sequence_{0};
  std::atomic<Real::rep> realBase_;
  std::atomic<Duration::rep> platformBase_{0};
  std::atomic<double> speed_{1.0};
};

SharedMapping& CurrentMapping() {
  static auto* mapping = new SharedMapping;
  return *mapping;
}

TimePoint PlatformAt(const Mapping& m, Real::time_point real) {
  auto elapsed = std::chrono::duration<double, std::nano>(real - m.realBase) * m.speed;
  return m.platformBase + std::chrono::duration_cast<Duration>(elapsed);
}

}  // namespace

TimePoint Clock::now() { return PlatformAt(CurrentMapping().Load(), Real::now()); }

TimePoint AfterMilliseconds(uint32_t ms) {
  if (ms == 0xFFFFFFFFu) return kNever;
  return Clock::now() + std::chrono::milliseconds(ms);
}

void SetClockSpeed(double factor) {
  if (!(factor > 0)) factor = 1.0;
  CurrentMapping().Update([factor](Mapping& m) {
    auto realNow = Real::now();
    m.platformBase = PlatformAt(m, realNow);
    m.realBase = realNow;
    m.speed = factor;
  });
}

double ClockSpeed() { return CurrentMapping().Load().speed; }

std::chrono::steady_clock::time_point ToRealTime(TimePoint t) {
  if (t == kNever) return Real::time_point::max();
  Mapping m = CurrentMapping().Load();
  auto ahead = std::chrono::duration<double, std::nano>(t - m.platformBase) / m.speed;
  // Far-away deadlines saturate rather than overflow.
  if (ahead.count() > 1e17) return Real::time_point::max();
  return m.realBase + std::chrono::duration_cast<Real::duration>(ahead);
}

}  // namespace kernel
