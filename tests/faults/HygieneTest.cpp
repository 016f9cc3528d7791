// Resource hygiene: many updates and many relay start/stop cycles in one
// process leave no open descriptors, threads, kernel handles or memory
// behind. The footprint is taken after a few warm-up runs (which set up what
// lives for the whole process: window classes, the resource image, the
// ports' drivers, the allocator's arenas for the threads the runs start)
// and again after the repeats.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "relay/Relay.h"
#include "serial/Serial.h"
#include "support/FaultRun.h"
#include "support/ProcessProbe.h"
#include "text/WideText.h"

namespace faulttest {
namespace {

using namespace std::chrono_literals;

constexpr int kRepeats = 100;
// Memory settles after the first few updates (measured: flat from the
// tenth on).
constexpr int kWarmUpUpdates = 10;
// Memory moves a little with the allocator's moods (measured: some 20 KiB
// over a hundred runs); a leak of 10 KiB per run would show.
constexpr size_t kRssToleranceKiB = 1024;

// Under a sanitizer the resident size measures the sanitizer: AddressSanitizer
// keeps freed blocks in quarantine (up to 256 MB) and ThreadSanitizer keeps
// its shadow and history. There the memory is left to LeakSanitizer, which
// fails the run on any block the process leaks.
// Under an emulator (the armhf build's tests run in qemu-user) it is the
// emulator's as well, which keeps some 170 KiB for every thread that has
// ended (measured), and the runs start threads by the hundred.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(FWUTIL_UNDER_EMULATOR)
constexpr bool kResidentSizeMeansSomething = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentSizeMeansSomething = false;
#else
constexpr bool kResidentSizeMeansSomething = true;
#endif
#else
constexpr bool kResidentSizeMeansSomething = true;
#endif

class Hygiene : public FaultRunFixture {
 protected:
  void SetUp() override {
    FaultRunFixture::SetUp();
    // A fifth of the fault runs' clock: each limit the update puts on a
    // module answer (ten seconds for the wake-up answer, say) is still a
    // second of real time, so a loaded machine that holds a thread for a
    // while cannot turn one of the hundred updates into a retried one.
    options_.clockSpeed = kFastClock / 5;
    // The relay's partner: the IrDA port's pty, with a person's terminal
    // program at the far end.
    options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Pty, ""};
  }

  void TearDown() override {
    if (partner_ >= 0) close(partner_);
    FaultRunFixture::TearDown();
  }

  // Keeps the log view and the kept trace small, so that memory measures
  // what the runs leave behind and not what they were told to show.
  void ForgetTexts() {
    trace_->Clear();
    SetWindowTextW(User().LogView(), TEXT(""));
  }

  bool OpenPartner() {
    std::string description = serial::FindPort(handset::kIrdaPort)->Describe();  // "pty /dev/pts/N"
    std::string path = description.substr(description.find(' ') + 1);
    partner_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (partner_ < 0) return false;
    termios t{};
    tcgetattr(partner_, &t);
    cfmakeraw(&t);
    tcsetattr(partner_, TCSANOW, &t);
    return true;
  }

  // One relay cycle: start, a command to the module through it and its
  // answer back, release.
  ::testing::AssertionResult RelayCycle() {
    // After an update the module listens for the boot window before its
    // firmware answers again.
    auto running = std::chrono::steady_clock::now() + 10s;
    while (Handset().Module()->GetRecord().state != radio::State::Firmware &&
           std::chrono::steady_clock::now() < running) {
      std::this_thread::sleep_for(5ms);
    }
    if (Send(153) != 0) return ::testing::AssertionFailure() << "the relay did not start";
    const char command[] = "AT\r";
    if (write(partner_, command, 3) != 3) return ::testing::AssertionFailure() << "cannot write to the partner pty";
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (answer.find("OK") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd in{partner_, POLLIN, 0};
      poll(&in, 1, 50);
      char buffer[256];
      ssize_t n = read(partner_, buffer, sizeof buffer);
      if (n > 0) answer.append(buffer, static_cast<size_t>(n));
    }
    if (Send(155) != 0) return ::testing::AssertionFailure() << "the release did not yield 0";
    if (answer.find("OK") == std::string::npos) {
      radio::Record r = Handset().Module()->GetRecord();
      return ::testing::AssertionFailure()
             << "no answer through the relay, got '" << answer << "'; module " << radio::StateName(r.state) << ", "
             << r.atCommands << " AT commands; log: " << text::ToUtf8(Log());
    }
    return ::testing::AssertionSuccess();
  }

  // Threads end a moment after their exit code is set; the count settles.
  Footprint SettledFootprint(const Footprint& baseline) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    Footprint now = TakeFootprint();
    while (
        (now.threads > baseline.threads || now.handles > baseline.handles || now.descriptors > baseline.descriptors) &&
        std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
      now = TakeFootprint();
    }
    return now;
  }

  void Report(const char* what, const Footprint& before, const Footprint& after) {
    std::printf("hygiene: %d %s: before %s; after %s\n", kRepeats, what, Describe(before).c_str(),
                Describe(after).c_str());
    RecordProperty(std::string(what) + "_before", Describe(before));
    RecordProperty(std::string(what) + "_after", Describe(after));
    // No growth. Fewer is fine: a thread of the last warm-up run may still
    // have been on its way out (with its wake-up descriptor) at "before".
    EXPECT_LE(after.handles, before.handles) << what;
    EXPECT_LE(after.descriptors, before.descriptors) << what;
    EXPECT_LE(after.threads, before.threads) << what;
    if (kResidentSizeMeansSomething) {
      EXPECT_LE(after.rssKiB, before.rssKiB + kRssToleranceKiB) << what;
    }
  }

  int partner_ = -1;
};

// The mismatches of an update run, from its detail: each mismatch ends in
// "; ", the run's notes come last. On a loaded machine (a sanitizer build on
// a platform clock 50 times real speed) a wake-up wait can run out once and
// the second attempt succeed: for what is counted here that is the same
// clean update, so "wake-up attempts: N" alone is not a mismatch. Any other
// one is, also next to a retried wake-up.
struct RunMismatches {
  bool retried = false;
  std::vector<std::string> others;
};

RunMismatches MismatchesOf(const RunResult& run) {
  RunMismatches found;
  if (run.ok) return found;
  const std::string& detail = run.detail;
  size_t from = 0;
  for (size_t end; (end = detail.find("; ", from)) != std::string::npos; from = end + 2) {
    std::string part = detail.substr(from, end - from);
    const std::string retry = "wake-up attempts: ";
    if (part.rfind(retry, 0) == 0 && part.size() > retry.size() &&
        part.find_first_not_of("0123456789", retry.size()) == std::string::npos) {
      found.retried = true;
    } else {
      found.others.push_back(part);
    }
  }
  // A failed run whose detail names nothing is a mismatch too.
  if (!found.retried && found.others.empty()) found.others.push_back(detail);
  return found;
}

// Runs `count` updates; every run that does not update the module cleanly
// fails the test with all its mismatches. After a few such runs in a row
// (the handset no longer updates at all) the rest are left out: each would
// wait out its limits to say the same.
class UpdateRuns {
 public:
  explicit UpdateRuns(const char* what) : what_(what) {}
  template <typename Run>
  void Make(int count, Run run) {
    for (int i = 1; i <= count; ++i) {
      RunResult result = run();
      RunMismatches m = MismatchesOf(result);
      if (!m.others.empty()) {
        std::string all;
        for (const std::string& o : m.others) all += "\n    " + o;
        ADD_FAILURE() << what_ << " " << i << (m.retried ? " (its wake-up retried)" : "") << ":" << all
                      << "\n    detail: " << result.detail;
        if (++failedInARow_ == kGiveUpAfter) {
          ADD_FAILURE() << kGiveUpAfter << " " << what_ << "s in a row failed; the other " << count - i
                        << " are not made";
          gaveUp_ = true;
          return;
        }
        continue;
      }
      failedInARow_ = 0;
      if (m.retried) {
        ++retried_;
        std::printf("hygiene: %s %d retried its wake-up (%u attempts)\n", what_, i, result.wakeUpAttempts);
      }
    }
  }
  int Retried() const { return retried_; }
  bool GaveUp() const { return gaveUp_; }

 private:
  static constexpr int kGiveUpAfter = 3;
  const char* what_;
  int failedInARow_ = 0;
  int retried_ = 0;
  bool gaveUp_ = false;
};

TEST_F(Hygiene, HundredUpdatesAndHundredRelayCyclesLeaveNothingBehind) {
  RunPlan plan;
  Prepare(plan);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(OpenPartner());

  const Footprint cold = TakeFootprint();
  UpdateRuns warmUp("warm-up update");
  warmUp.Make(kWarmUpUpdates, [&] {
    RunResult run = UpdateOnce(plan);
    ForgetTexts();
    return run;
  });
  if (warmUp.GaveUp()) return;
  ASSERT_TRUE(RelayCycle());
  ForgetTexts();
  const Footprint start = SettledFootprint(TakeFootprint());
  std::printf("hygiene: before any run %s; after %d warm-up updates and a relay cycle %s\n", Describe(cold).c_str(),
              kWarmUpUpdates, Describe(start).c_str());

  UpdateRuns updates("update");
  updates.Make(kRepeats, [&] {
    RunResult run = UpdateOnce(plan);
    ForgetTexts();
    return run;
  });
  if (updates.GaveUp()) return;
  std::printf("hygiene: wake-up retried in %d of %d warm-up updates and %d of %d updates\n", warmUp.Retried(),
              kWarmUpUpdates, updates.Retried(), kRepeats);
  EXPECT_EQ(Handset().Board().Reboots(), kWarmUpUpdates + kRepeats);
  EXPECT_EQ(Handset().Module()->GetRecord().imagesWritten, static_cast<uint32_t>(kWarmUpUpdates + kRepeats));
  const Footprint afterUpdates = SettledFootprint(start);
  Report("updates", start, afterUpdates);

  for (int i = 0; i < kRepeats; ++i) {
    ASSERT_TRUE(RelayCycle()) << "relay cycle " << i + 1;
    ForgetTexts();
  }
  const Footprint afterRelay = SettledFootprint(afterUpdates);
  Report("relay_cycles", afterUpdates, afterRelay);
  EXPECT_EQ(ModulePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(PartnerPort.load(), INVALID_HANDLE_VALUE);
}

// The relay's copy threads poll their ports every millisecond while no
// byte moves (1 ms read time-outs): that must stay a small share of a core,
// measured on the real clock. Their time in the run queue is only printed:
// on a busy machine each of a thousand wake-ups a second waits there, which
// tells of the machine's load, not of a spin.
TEST_F(Hygiene, IdleRelayPollsWithoutSpinning) {
  options_.clockSpeed = 1;
  RunPlan plan;
  Prepare(plan);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(Send(153), 0);
  std::this_thread::sleep_for(300ms);
  CpuShare share = MeasureCpuShare(2000ms);
  std::printf("idle relay: %s\n", share.Describe().c_str());
  RecordProperty("idle_relay_cpu", share.Describe());
  EXPECT_LT(share.busiestRatio, 0.10) << share.Describe();
  EXPECT_EQ(Send(155), 0);
}

}  // namespace
}  // namespace faulttest
