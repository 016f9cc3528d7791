// A seeded random soak of the update against the emulated module. Each run
// boots the handset afresh, draws a few faults from its seed (noise, garbled
// bytes, breaks and line errors, slow answers below and above the limits,
// silence, refusals, module resets, failed and short writes, a vanished
// line), runs one update on the fast platform clock and checks what the
// update promises whatever the faults:
//
//  1. it ends within the bound its time limits (update/UpdateLimits.h)
//     imply, in platform time: every wait on the module within its own limit,
//     and the whole update within the limits of the waits it entered, its
//     wake-up attempts and the bytes it sent on the line;
//  2. the log view says "Firmware Updated....Done" only after the module
//     sent its final answer and with the module's flash holding the image
//     (then with the success box and a reboot);
//  3. every update that does not say done says what failed in the log view,
//     without a box or a reboot, and leaves the line closed and the wake-up
//     thread ended.
//
// The outcome itself (done, done after a repeated wake-up, failed, failed
// with the flash written, gave up) is counted, not prescribed: the faults
// combine. A run that breaks a promise is printed with its seed:
//
//   FWUTIL_SOAK_SEED=N  update_soak          one run, seed N
//   FWUTIL_SOAK_RUNS=M  FWUTIL_SOAK_FIRST=N  M runs from seed N (defaults:
//                                             the build's share, seed 1)
//   FWUTIL_SOAK_TRACE=1                      each run's trace, with the
//                                             platform time of every line
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/ril/RilDriver.h"
#include "kernel/Clock.h"
#include "kernel/DebugOutput.h"
#include "radio/Module.h"
#include "radio/Switches.h"
#include "serial/Serial.h"
#include "support/FaultRun.h"
#include "support/TraceHooks.h"
#include "text/WideText.h"
#include "update/Update.h"
#include "update/UpdateImages.h"
#include "update/UpdateLimits.h"
#include "windowing/Screen.h"

#ifndef FWUTIL_SOAK_DEFAULT_RUNS
#define FWUTIL_SOAK_DEFAULT_RUNS 20
#endif

namespace soak {
namespace {

using namespace std::chrono_literals;
using faulttest::FaultRunFixture;
using faulttest::RunPlan;
using radio::Phase;
using RealClock = std::chrono::steady_clock;

// ---- the bound the time limits imply

// Platform milliseconds a wait may run past its limit: the limit's helper
// thread and the module's thread are scheduled in real time, and a busy
// machine at the fast clock can hold either for a while (7.5 s of the
// platform's time is 150 ms of real time at 50 times real speed). On top,
// what the run measured of the machine's lateness (see Lateness).
constexpr double kSlackMs = 7500;
// What the update does outside its waits per wake-up attempt (the pause
// before the module reset, the pause after a refused boot stage) and once
// (the start, the pauses of the transfer and before the box), in
// milliseconds, rounded up generously.
constexpr DWORD kPausesPerAttempt = 3000;
constexpr DWORD kPausesOnce = 2000;
// Bytes one attempt and the transfer hand to the line, at most.
constexpr DWORD kAttemptBytes = 2 + (BOOT1_LENGTH + 2) + 2 + BOOT2_LENGTH + 1;
constexpr DWORD kTransferBytes = 1 + 4 + 3 + FIRMWARE_LENGTH + 2;

// Which wait a "Waiting for char" trace line begins, from the step traced
// before it and the awaited byte.
enum class Step { None, WakeUp, Stage1, Stage2, MemoryCheck, SizeRecord, Image, Final };

struct WaitKind {
  const char* name;
  DWORD limit;
};

std::optional<WaitKind> KindOf(Step step, unsigned awaited) {
  switch (step) {
    case Step::WakeUp:
      if (awaited == 0xA0) return WaitKind{"wake-up answer", WAKE_UP_LIMIT};
      break;
    case Step::Stage1:
      if (awaited == 0xA5) return WaitKind{"boot stage 1 answer", BOOT1_ANSWER_LIMIT};
      break;
    case Step::Stage2:
      if (awaited == 0xAA) return WaitKind{"boot stage 2 section answer", BOOT2_SECTION_LIMIT};
      if (awaited == 0xA5) return WaitKind{"boot stage 2 answer", BOOT2_ANSWER_LIMIT};
      break;
    case Step::MemoryCheck:
      if (awaited == 0xA5) return WaitKind{"memory check answer", MEMORY_CHECK_LIMIT};
      break;
    case Step::SizeRecord:
      if (awaited == 0xA5) return WaitKind{"size record answer", SIZE_RECORD_LIMIT};
      break;
    case Step::Image:
      if (awaited == 0xAA) return WaitKind{"image section answer", IMAGE_SECTION_LIMIT};
      break;
    case Step::Final:
      if (awaited == 0xA5) return WaitKind{"final answer", FINAL_ANSWER_LIMIT};
      break;
    case Step::None:
      break;
  }
  return std::nullopt;
}

// Every trace text with the platform time it was written at; forwards to
// the fault hooks (which keep the texts for the fixture).
class StampedTrace : public debugout::Sink {
 public:
  struct Entry {
    kernel::TimePoint at;
    std::u16string text;
  };
  explicit StampedTrace(std::shared_ptr<debugout::Sink> next) : next_(std::move(next)) {}

  void Write(std::u16string_view text) override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      entries_.push_back({kernel::Clock::now(), std::u16string(text)});
    }
    next_->Write(text);  // outside the lock: a hook's action may trace
  }
  std::vector<Entry> Entries() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_;
  }

 private:
  std::shared_ptr<debugout::Sink> next_;
  mutable std::mutex lock_;
  std::vector<Entry> entries_;
};

double Ms(kernel::Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool Has(std::u16string_view text, std::u16string_view part) { return text.find(part) != std::u16string_view::npos; }

// The update's waits, read from its stamped trace: each must end within its
// limit; the whole update within the limits of the waits it entered, its
// attempts' pauses and the line time of what it sent. `end` is when the
// update was over (its last trace text). Adds a wait or an update that ran
// too long to `overruns`, anything else that did not hold to `problems`;
// returns the bound in platform milliseconds.
double CheckWaits(const std::vector<StampedTrace::Entry>& trace, kernel::TimePoint start, kernel::TimePoint end,
                  double slackMs, std::vector<std::string>& overruns, std::vector<std::string>& problems) {
  Step step = Step::None;
  uint32_t attempts = 0;
  bool transfer = false;
  double limits = 0;
  size_t waits = 0;
  struct Open {
    WaitKind kind;
    kernel::TimePoint began;
  };
  std::optional<Open> open;
  auto close = [&](kernel::TimePoint at) {
    if (!open) return;
    double took = Ms(at - open->began);
    if (took > open->kind.limit + slackMs) {
      char text[160];
      std::snprintf(text, sizeof text, "a %s wait took %.0f ms of its %lu ms", open->kind.name, took,
                    static_cast<unsigned long>(open->kind.limit));
      overruns.push_back(text);
    }
    open.reset();
  };
  for (const StampedTrace::Entry& e : trace) {
    const std::u16string& t = e.text;
    // Texts a wait writes while it runs.
    if (open && (Has(t, u"KRX") || Has(t, u" waiting on ") || Has(t, u"No char -> "))) continue;
    unsigned awaited = 0;
    const bool waitBegins = t.rfind(u"Waiting for char -> ", 0) == 0;
    if (waitBegins) {
      std::string hex = text::ToUtf8(t.substr(20, 2));
      awaited = static_cast<unsigned>(std::strtoul(hex.c_str(), nullptr, 16));
      // The wake-up wait taken up again after a line event goes on with
      // what is left of the attempt's one limit.
      if (open && step == Step::WakeUp && awaited == 0xA0) continue;
    }
    close(e.at);
    if (Has(t, u"!Cast 55h!")) {
      step = Step::WakeUp;
      ++attempts;
    } else if (Has(t, u"Bootload1_v2.bin open succeed")) {
      step = Step::Stage1;
    } else if (Has(t, u"Bootload2_v3.bin open succeed")) {
      step = Step::Stage2;
    } else if (Has(t, u"Send 0x50")) {
      step = Step::MemoryCheck;
      transfer = true;
    } else if (Has(t, u"Memory Check, We should get 3 char above")) {
      step = Step::SizeRecord;
    } else if (Has(t, u"Download.bin open succeed")) {
      step = Step::Image;
    } else if (Has(t, u" Sending Checksum")) {
      step = Step::Final;
    }
    if (waitBegins) {
      std::optional<WaitKind> kind = KindOf(step, awaited);
      if (!kind) {
        problems.push_back("a wait not known to the soak: " + text::ToUtf8(t));
        kind = WaitKind{"unknown", FINAL_ANSWER_LIMIT};
      }
      open = Open{*kind, e.at};
      limits += kind->limit;
      ++waits;
    }
  }
  close(end);
  if (attempts > WAKE_UP_ATTEMPTS) problems.push_back("wake-up attempts: " + std::to_string(attempts));
  double bound = limits + attempts * (kPausesPerAttempt + LINE_TIME(kAttemptBytes)) + kPausesOnce +
                 (transfer ? LINE_TIME(kTransferBytes) : 0) + slackMs * static_cast<double>(waits + 1);
  double took = Ms(end - start);
  if (took > bound) {
    char text[160];
    std::snprintf(text, sizeof text, "the update took %.0f ms, beyond the %.0f ms its limits imply", took, bound);
    overruns.push_back(text);
  }
  return bound;
}

// How late the machine wakes a sleeping thread, the most over a run: a
// thread that sleeps 2 ms at a time and notes how much longer it took. A
// wait may run past its limit by that much of real time (the limit's helper
// and the module's thread are scheduled like it).
class Lateness {
 public:
  Lateness()
      : thread_([this] {
          while (!stop_) {
            const auto before = RealClock::now();
            std::this_thread::sleep_for(2ms);
            const double late = std::chrono::duration<double, std::milli>(RealClock::now() - before).count() - 2;
            double most = most_.load();
            while (late > most && !most_.compare_exchange_weak(most, late)) {
            }
          }
        }) {}
  ~Lateness() {
    stop_ = true;
    thread_.join();
  }
  double MostMs() const { return most_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<double> most_{0};
  std::thread thread_;
};

// ---- the faults a seed draws

// A small reproducible generator (splitmix64): the same plan for a seed on
// every machine and library.
class Draw {
 public:
  explicit Draw(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // In [low, high].
  uint64_t Between(uint64_t low, uint64_t high) { return low + Next() % (high - low + 1); }
  bool Chance(unsigned percent) { return Next() % 100 < percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& from) {
    return from[Next() % from.size()];
  }

 private:
  uint64_t state_;
};

// The phases where the module answers, with the limit on the wait for
// each answer and how many answers of it one update awaits.
struct PhaseInfo {
  Phase phase;
  DWORD limit;
  uint32_t answers;
  const char16_t* trigger;  // the trace line just before the phase's first write
  DWORD firstWrite;         // the length of that write
};

const std::vector<PhaseInfo>& Phases() {
  static const std::vector<PhaseInfo> phases = {
      {Phase::WakeUp, WAKE_UP_LIMIT, 1, u"!Cast 55h!", 1},
      {Phase::Stage1, BOOT1_ANSWER_LIMIT, 1, u"Bootload1_v2.bin open succeed!!!!", BOOT1_LENGTH + 2},
      {Phase::Stage2Sections, BOOT2_SECTION_LIMIT, BOOT2_LENGTH / 1000, u" 1 char : F6 h sent ", 1000},
      {Phase::Stage2Check, BOOT2_ANSWER_LIMIT, 1, u" The last section sent : 414 chars!!", 1},
      {Phase::MemoryCheck, MEMORY_CHECK_LIMIT, 1, u"Prepare to send update program", 1},
      {Phase::SizeRecord, SIZE_RECORD_LIMIT, 3, u"Write fixed file size", 3},
      {Phase::ImageSections, IMAGE_SECTION_LIMIT, FIRMWARE_LENGTH / 4000, u"Totally write 1200000 bytes", 4000},
      {Phase::FinalCheck, FINAL_ANSWER_LIMIT, 1, u" Sending Checksum", 1},
  };
  return phases;
}

// Module switches known to the emulated module of this build (a switch the
// module does not know is left out of the draw).
bool ModuleKnows(const std::string& spec) {
  radio::Module probe;
  std::string error;
  return radio::ApplySwitch(probe, spec, &error);
}

struct HostFault {
  std::u16string trigger;
  int occurrence = 1;
  enum class Kind { FailWrites, ShortWrite, ModuleReset, PortRemoved, FarEndClosed, SlowSection } kind;
  unsigned count = 1;
  DWORD value = 0;
};

struct Plan {
  uint64_t seed = 0;
  RunPlan::Line line = RunPlan::Line::Virtual;
  bool paced = false;
  std::vector<std::string> switches;
  std::vector<HostFault> host;
  std::vector<std::string> words;  // the faults, for people
};

std::string PhaseText(Phase p) { return std::string(radio::PhaseName(p)); }

// One fault of the module, drawn for a phase.
void DrawModuleFault(Draw& d, Plan& plan, bool garbleKnown) {
  const PhaseInfo& p = d.Pick(Phases());
  const std::string phase = PhaseText(p.phase);
  // Near the limit the machine's scheduling decides; keep a margin.
  const DWORD margin = 3000;
  std::vector<std::function<std::string()>> kinds = {
      [&] { return "noise@" + phase + "=" + std::to_string(d.Between(1, 24)); },
      [&] {
        // Below the limit; many answers of a phase each carry the delay.
        DWORD most = p.answers > 10 ? 150 : p.limit - margin;
        return "delay@" + phase + "=" + std::to_string(d.Between(1, most));
      },
      [&] { return "delay@" + phase + "=" + std::to_string(p.limit + d.Between(margin, 4 * margin)); },
      [&] {
        static const std::vector<std::string> events = {"break", "framing", "parity", "overrun"};
        return d.Pick(events) + "@" + phase + "=" + std::to_string(d.Between(1, 2));
      },
      [&] { return "refuse@" + phase + "=" + std::to_string(d.Between(1, 2)); },
      [&] { return "silent@" + phase; },
      [&] { return "stop@" + phase + "=" + std::to_string(d.Between(1, std::max<uint32_t>(1, p.answers))); },
  };
  if (garbleKnown) kinds.push_back([&] { return "garble@" + phase + "=" + std::to_string(d.Between(1, 3)); });
  std::string spec = kinds[d.Next() % kinds.size()]();
  if (d.Chance(3)) spec = "refuse-image";
  plan.switches.push_back(spec);
  plan.words.push_back(spec);
}

// One fault of the host, armed from a trace line.
void DrawHostFault(Draw& d, Plan& plan) {
  const PhaseInfo& p = d.Pick(Phases());
  HostFault f;
  f.trigger = p.trigger;
  // The boot phases come again with every wake-up attempt.
  f.occurrence = p.phase <= Phase::Stage2Check ? static_cast<int>(d.Between(1, 2)) : 1;
  if (p.phase == Phase::ImageSections) {
    uint64_t section = d.Between(1, FIRMWARE_LENGTH / 4000 - 1);
    f.trigger = u"Totally write " + text::FromUtf8(std::to_string(section * 4000)) + u" bytes";
  }
  std::string where = PhaseText(p.phase) + "#" + std::to_string(f.occurrence);
  switch (d.Between(0, 3)) {
    case 0:
      f.kind = HostFault::Kind::FailWrites;
      f.count = p.phase == Phase::WakeUp ? static_cast<unsigned>(d.Between(1, 5)) : 1;
      plan.words.push_back("failed-write@" + where + "=" + std::to_string(f.count));
      break;
    case 1:
      f.kind = HostFault::Kind::ShortWrite;
      f.value = p.firstWrite > 1 ? static_cast<DWORD>(d.Between(0, p.firstWrite - 1)) : 0;
      plan.words.push_back("short-write@" + where + "=" + std::to_string(f.value));
      break;
    case 2:
      f.kind = HostFault::Kind::ModuleReset;
      plan.words.push_back("module-reset@" + where);
      break;
    default:
      if (p.phase != Phase::ImageSections) {
        f.kind = HostFault::Kind::ModuleReset;
        plan.words.push_back("module-reset@" + where);
        break;
      }
      // One slow section answer, below or above the limit.
      f.kind = HostFault::Kind::SlowSection;
      f.value = d.Chance(50) ? static_cast<DWORD>(d.Between(1000, IMAGE_SECTION_LIMIT - 3000))
                             : static_cast<DWORD>(IMAGE_SECTION_LIMIT + d.Between(3000, 12000));
      plan.words.push_back("slow-section@" + text::ToUtf8(f.trigger) + "=" + std::to_string(f.value));
      break;
  }
  plan.host.push_back(f);
}

Plan DrawPlan(uint64_t seed, bool garbleKnown) {
  Draw d(seed);
  Plan plan;
  plan.seed = seed;
  // Most runs on the virtual line, which carries breaks and line errors;
  // some on a pty, where the line can vanish.
  const uint64_t line = d.Between(0, 99);
  if (line < 8) {
    plan.line = RunPlan::Line::PtyPort;
    plan.words.push_back("pty-port");
  } else if (line < 16) {
    plan.line = RunPlan::Line::HostTty;
    plan.words.push_back("host-tty");
  }
  // Some on a paced line: bytes a byte time apart, as on a wire (a garbled
  // byte then comes on its own, before the answer).
  if (plan.line == RunPlan::Line::Virtual && d.Chance(10)) {
    plan.paced = true;
    plan.words.push_back("paced");
  }
  const uint64_t moduleFaults = d.Between(0, 3);
  for (uint64_t i = 0; i < moduleFaults; ++i) DrawModuleFault(d, plan, garbleKnown);
  if (d.Chance(40)) DrawHostFault(d, plan);
  if (plan.line != RunPlan::Line::Virtual && d.Chance(70)) {
    HostFault f;
    const PhaseInfo& p = d.Pick(Phases());
    f.trigger = p.trigger;
    f.kind = plan.line == RunPlan::Line::PtyPort ? HostFault::Kind::PortRemoved : HostFault::Kind::FarEndClosed;
    plan.host.push_back(f);
    plan.words.push_back(std::string(plan.line == RunPlan::Line::PtyPort ? "port-removed@" : "far-end-closed@") +
                         PhaseText(p.phase));
  }
  if (plan.words.empty()) plan.words.push_back("no fault");
  return plan;
}

std::string Join(const std::vector<std::string>& parts, const char* between) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : between) + part;
  return out;
}

// ---- one run

struct Report {
  std::string outcome;  // done, done-after-retry, failed, failed-flash-written, gave-up, BROKEN
  std::vector<std::string> problems;
  double platformSeconds = 0;
  double realSeconds = 0;
  double boundSeconds = 0;
  double lateMs = 0;  // the most the machine held a sleeping thread up, real ms
  bool ended = true;
  bool onlyOverruns = false;  // the only problems: waits (or the update) past their bound
  std::vector<std::string> overruns;  // those, in words
};

constexpr char16_t kDone[] = u"Firmware Updated....Done";
constexpr char16_t kFailureWords[] = u"Update failed";

class SoakRun : public FaultRunFixture {
 public:
  explicit SoakRun(double clockSpeed) : speed_(clockSpeed) {}
  void TestBody() override {}

  Report Run(const Plan& plan) {
    Report report;
    SetUp();
    options_.clockSpeed = speed_;
    stamped_ = std::make_shared<StampedTrace>(hooks_);
    debugout::SetSink(stamped_);
    RunPlan base;
    base.line = plan.line;
    base.pacedLine = plan.paced;
    base.moduleSwitches = plan.switches;
    Prepare(base);
    // Prepare stops at a failed step; the port is its last.
    if (port_ == nullptr) {
      report.outcome = "BROKEN";
      report.problems.push_back("the handset did not come up");
    } else {
      Arm(plan);
      Observe(report);
    }
    if (!report.problems.empty()) report.outcome = "BROKEN";
    TearDown();
    return report;
  }

 private:
  void Arm(const Plan& plan) {
    for (const HostFault& f : plan.host) {
      std::function<void()> action;
      switch (f.kind) {
        case HostFault::Kind::FailWrites:
          action = [this, n = f.count] { ModulePortFaults().FailNext(n); };
          break;
        case HostFault::Kind::ShortWrite:
          action = [this, keep = f.value] { ModulePortFaults().ShortenNext(1, keep); };
          break;
        case HostFault::Kind::ModuleReset:
          action = [] {
            if (auto radio = ril::CurrentRadioHardware()) radio->Reset();
          };
          break;
        case HostFault::Kind::PortRemoved:
          action = [] { serial::RemovePort(1); };
          break;
        case HostFault::Kind::FarEndClosed:
          action = [this] { Pty().CloseLine(); };
          break;
        case HostFault::Kind::SlowSection:
          action = [this, delay = f.value] {
            radio::PhaseFaults faults = TheModule().Faults(Phase::ImageSections);
            faults.delay = std::chrono::milliseconds(delay);
            TheModule().SetFaults(Phase::ImageSections, faults);
            // Back to no delay once the section after the next has gone out.
            hooks_->At(u"Totally write ", 2, [this] {
              radio::PhaseFaults now = TheModule().Faults(Phase::ImageSections);
              now.delay = {};
              TheModule().SetFaults(Phase::ImageSections, now);
            });
          };
          break;
      }
      hooks_->At(f.trigger, f.occurrence, action);
    }
  }

  bool BoxShown() { return !screen::Capture().modals.empty(); }

  void Observe(Report& report) {
    auto& problems = report.problems;
    const std::vector<uint8_t> image = FirmwareImage();
    const radio::Record before = TheModule().GetRecord();
    const int rebootsBefore = Handset().Board().Reboots();
    const auto realStart = RealClock::now();
    const kernel::TimePoint start = kernel::Clock::now();
    std::optional<Lateness> lateness(std::in_place);

    if (Send(118) != 1) problems.push_back("the update command did not yield 1");
    HANDLE thread = UpdateThreadHandle;
    // Far beyond the bound of any plan the soak draws (at most some 900 s
    // of platform time): an update still running then waits for ever.
    const auto guard = realStart + 120s;
    int boxes = 0;
    std::optional<kernel::TimePoint> boxAt;
    bool ended = false;
    while (!(ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) && RealClock::now() < guard) {
      if (auto box = User().AnswerNextBox(IDOK, 20ms)) {
        ++boxes;
        if (!boxAt) boxAt = kernel::Clock::now();
        if (box->text != u"Reboot device/Reset module !" || box->caption != u"Successful") {
          problems.push_back("a box '" + text::ToUtf8(box->text) + "'");
        }
      }
    }
    report.realSeconds = std::chrono::duration<double>(RealClock::now() - realStart).count();
    if (!ended) {
      report.ended = false;
      problems.push_back("the update did not end within 120 s of real time");
      EndLeftoverUpdate();
    }

    // The update is over at its last trace text; the success box waits for
    // the user, so a done update is over at the box.
    const std::vector<StampedTrace::Entry> trace = stamped_->Entries();
    kernel::TimePoint end = start;
    for (const auto& e : trace) {
      if (boxAt && e.at > *boxAt) break;
      end = e.at;
    }
    report.platformSeconds = Ms(end - start) / 1000;
    const double lateMs = lateness->MostMs();
    lateness.reset();
    report.lateMs = lateMs;
    std::vector<std::string> overruns;
    report.boundSeconds = CheckWaits(trace, start, end, kSlackMs + lateMs * speed_, overruns, problems) / 1000;

    const radio::Record after = TheModule().GetRecord();
    const std::u16string log = Log();
    const bool saysDone = Occurrences(log, kDone) > 0;
    const bool holdsImage = TheModule().FlashHolds(image);
    const int reboots = Handset().Board().Reboots() - rebootsBefore;
    uint32_t attempts = 0;
    bool booted = false;
    for (const auto& e : trace) {
      if (Has(e.text, u"!Cast 55h!")) ++attempts;
      if (Has(e.text, u"BootLoad2_v2_bin upload succeed")) booted = true;
    }

    if (saysDone) {
      // Done only with the module's final answer and its flash written.
      if (after[Phase::FinalCheck].answers == before[Phase::FinalCheck].answers) {
        problems.push_back("done without the module's final answer");
      }
      // The module answers the check bytes after its delay: a done traced
      // sooner did not have the answer (the module counts an answer, and
      // writes its flash, when it decides on it, not when it arrives).
      const kernel::Duration delay = TheModule().Faults(Phase::FinalCheck).delay;
      std::optional<kernel::TimePoint> checkSent, doneTraced;
      for (const auto& e : trace) {
        if (Has(e.text, u" Sending Checksum")) checkSent = e.at;
        if (Has(e.text, kDone) && !doneTraced) doneTraced = e.at;
      }
      if (!checkSent || !doneTraced) {
        problems.push_back("done without the check bytes or the done trace");
      } else if (*doneTraced < *checkSent + delay) {
        char text[160];
        std::snprintf(text, sizeof text, "done %.0f ms after the check bytes, before the module's answer (%.0f ms)",
                      Ms(*doneTraced - *checkSent), Ms(delay));
        problems.push_back(text);
      }
      if (!holdsImage) problems.push_back("done while the flash does not hold the image");
      if (Occurrences(log, kDone) != 1) problems.push_back("done said more than once");
      if (boxes != 1) problems.push_back("success boxes: " + std::to_string(boxes));
      if (reboots != 1) problems.push_back("reboots after done: " + std::to_string(reboots));
      if (Occurrences(log, kFailureWords) != 0) problems.push_back("failure words on a done update");
      report.outcome = attempts > 1 ? "done-after-retry" : "done";
    } else {
      // A failure in words: the words and what failed.
      const size_t at = log.find(kFailureWords);
      if (at == std::u16string::npos) {
        problems.push_back("a failure without words in the log view");
      } else {
        const size_t lineEnd = log.find(u"\r\n", at);
        const std::u16string line = log.substr(at, lineEnd == std::u16string::npos ? lineEnd : lineEnd - at);
        const size_t colon = line.find(u": ");
        if (colon == std::u16string::npos || line.size() < colon + 12) {
          problems.push_back("failure words that say nothing: '" + text::ToUtf8(line) + "'");
        }
        if (Occurrences(log, kFailureWords) != 1) problems.push_back("failure words more than once");
      }
      if (boxes != 0) problems.push_back("a box on a failed update");
      if (reboots != 0) problems.push_back("the handset rebooted after a failed update");
      if (CastThreadHandle.load() != INVALID_HANDLE_VALUE) problems.push_back("the wake-up thread was not ended");
      if (holdsImage) {
        report.outcome = "failed-flash-written";
      } else {
        report.outcome = booted ? "failed" : "gave-up";
      }
    }
    if (ended) {
      // The line is closed: the port opens again (unless it is gone).
      HANDLE com1 = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      DWORD error = com1 == INVALID_HANDLE_VALUE ? GetLastError() : 0;
      if (com1 != INVALID_HANDLE_VALUE) CloseHandle(com1);
      if (error == ERROR_ACCESS_DENIED) problems.push_back("COM1: is still open");
    }
    if (std::getenv("FWUTIL_SOAK_TRACE") != nullptr) {
      for (const auto& e : trace) {
        std::printf("  %10.1f ms  %s\n", Ms(e.at - start), text::ToUtf8(e.text).c_str());
      }
    }
    report.onlyOverruns = problems.empty() && !overruns.empty();
    report.overruns = overruns;
    problems.insert(problems.begin(), overruns.begin(), overruns.end());
    if (!problems.empty()) {
      std::string last;
      for (auto it = trace.rbegin(); it != trace.rend() && last.size() < 400; ++it) {
        last = text::ToUtf8(it->text) + (last.empty() ? "" : " | ") + last;
      }
      problems.push_back("log view: " + text::ToUtf8(log.substr(log.size() > 300 ? log.size() - 300 : 0)));
      problems.push_back("last traces: " + last);
    }
  }

  double speed_;
  std::shared_ptr<StampedTrace> stamped_;
};

uint64_t EnvNumber(const char* name, uint64_t otherwise) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == 0) return otherwise;
  return std::strtoull(value, nullptr, 10);
}

TEST(UpdateSoak, EveryRunEndsInTimeClaimsOnlyAWrittenImageAndNamesEveryFailure) {
  uint64_t first = EnvNumber("FWUTIL_SOAK_FIRST", 1);
  uint64_t runs = EnvNumber("FWUTIL_SOAK_RUNS", FWUTIL_SOAK_DEFAULT_RUNS);
  if (const char* seed = std::getenv("FWUTIL_SOAK_SEED"); seed != nullptr && *seed != 0) {
    first = std::strtoull(seed, nullptr, 10);
    runs = 1;
  }
#ifdef FWUTIL_UNDER_EMULATOR
  // Threads under an emulator are scheduled late more often and run slower:
  // a slower clock gives them more real time within the same slack, and
  // fewer runs.
  const double speed = 10;
  if (std::getenv("FWUTIL_SOAK_RUNS") == nullptr) runs = (runs + 4) / 5;
#else
  const double speed = 50;
#endif
  const bool garbleKnown = ModuleKnows("garble@stage1=1");
  std::printf("update soak: %llu runs from seed %llu at %g times real speed%s\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(first), speed,
              garbleKnown ? "" : " (the module has no garble switch: garbled bytes left out)");

  std::map<std::string, unsigned> counts;
  std::vector<uint64_t> broken;
  // Runs past a bound once and within it when run again, each with what
  // overshot. A machine that holds a thread up for a moment does not do so
  // again at the same wait, but a wait that overshoots now and then is a
  // fault too: more than one such run in a hundred fails the soak.
  std::vector<std::pair<uint64_t, std::string>> forgiven;
  uint64_t made = 0;
  double longestPlatform = 0, longestReal = 0, realTotal = 0;
  uint64_t longestSeed = 0;
  const auto soakStart = RealClock::now();
  for (uint64_t seed = first; seed < first + runs; ++seed) {
    const Plan plan = DrawPlan(seed, garbleKnown);
    Report r = SoakRun(speed).Run(plan);
    ++made;
    // A wait past its bound and nothing else: once more. A wait that
    // overruns again is broken.
    if (!r.problems.empty() && r.onlyOverruns && r.ended) {
      Report again = SoakRun(speed).Run(plan);
      const std::string overshot = Join(r.overruns, "; ");
      std::printf("seed %llu: %s (late %.0f ms); once more: %s\n", static_cast<unsigned long long>(seed),
                  overshot.c_str(), r.lateMs, again.problems.empty() ? "held" : "again");
      if (again.problems.empty()) {
        forgiven.emplace_back(seed, overshot);
        again.realSeconds += r.realSeconds;
        r = again;
      }
    }
    ++counts[r.outcome];
    realTotal += r.realSeconds;
    if (r.platformSeconds > longestPlatform) {
      longestPlatform = r.platformSeconds;
      longestReal = r.realSeconds;
      longestSeed = seed;
    }
    std::printf("seed %llu: %s in %.1f s platform (bound %.1f s), %.2f s real (late %.0f ms): %s\n",
                static_cast<unsigned long long>(seed), r.outcome.c_str(), r.platformSeconds, r.boundSeconds,
                r.realSeconds, r.lateMs, Join(plan.words, " ").c_str());
    if (!r.problems.empty()) {
      broken.push_back(seed);
      ADD_FAILURE() << "seed " << seed << " (" << Join(plan.words, " ") << "): " << Join(r.problems, "; ")
                    << "\n  again alone: FWUTIL_SOAK_SEED=" << seed << " <build>/tests/soak/update_soak";
    }
    std::fflush(stdout);
    // An update that never ended leaves its threads behind: the process
    // cannot carry on soundly.
    if (!r.ended) break;
  }
  const double wall = std::chrono::duration<double>(RealClock::now() - soakStart).count();
  std::printf("update soak: %llu runs, %.0f s real in all (%.0f s in the updates)\n",
              static_cast<unsigned long long>(runs), wall, realTotal);
  for (const auto& [outcome, count] : counts) std::printf("  %-22s %u\n", outcome.c_str(), count);
  std::printf("  longest run: seed %llu, %.1f s platform, %.2f s real\n", static_cast<unsigned long long>(longestSeed),
              longestPlatform, longestReal);
  std::string seeds;
  for (uint64_t s : broken) seeds += " " + std::to_string(s);
  std::printf("  broken promises: %zu%s%s\n", broken.size(), broken.empty() ? "" : ", seeds", seeds.c_str());
  // One run in a hundred, for every hundred begun: the test's share of 20
  // may forgive one machine's moment, not two.
  const uint64_t allowed = (made + 99) / 100;
  std::printf("  past a bound once, held when run again: %zu of %llu runs (at most %llu allowed)\n", forgiven.size(),
              static_cast<unsigned long long>(made), static_cast<unsigned long long>(allowed));
  for (const auto& [seed, overshot] : forgiven) {
    std::printf("    seed %llu: %s\n", static_cast<unsigned long long>(seed), overshot.c_str());
  }
  EXPECT_LE(forgiven.size(), allowed) << forgiven.size() << " of " << made
                                         << " runs went past a bound and held only when run again (seeds above)";
}

}  // namespace
}  // namespace soak
