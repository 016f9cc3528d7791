#include "support/FaultRun.h"

#include <sys/stat.h>

#include <bit>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <atomic>
#include <thread>

#include "devices/ril/RilDriver.h"
#include "handset/Handset.h"
#include "kernel/Clock.h"
#include "radio/Switches.h"
#include "serial/Serial.h"
#include "shell/Shell.h"
#include "text/WideText.h"
#include "update/Update.h"
#include "windowing/Screen.h"

namespace faulttest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char16_t kDone[] = u"Firmware Updated....Done";
constexpr char16_t kWriteFailed[] = u" Write to flash  fail!!  !!\r\n";
constexpr char16_t kUpdateFailed[] = u"Update firmware FAIL!!!";
constexpr char16_t kUpgraded[] = u" Upgrade succeed!! \r\n";
constexpr char16_t kFailureWords[] = u"Update failed";  // the log view's words for any failure
constexpr auto kOutcomeLimit = 60s;  // real time for an update to reach its outcome
constexpr auto kQuietFor = 1s;       // no progress for this long: the update waits
constexpr auto kCpuWindow = 1000ms;  // real time over which a wait's CPU use is measured
constexpr double kCpuBound = 0.10;   // of one core, per thread
constexpr double kRunnableBound = 0.90;

// Platform milliseconds for a real duration at the current clock speed.
DWORD PlatformMs(std::chrono::milliseconds real) {
  double ms = static_cast<double>(real.count()) * kernel::ClockSpeed();
  return ms >= 0xFFFFFFFE ? 0xFFFFFFFE : static_cast<DWORD>(ms);
}

// What the module has done so far, without the wake-up bytes that keep
// coming while the host casts.
struct Progress {
  radio::State state;
  std::optional<radio::Phase> phase;
  uint32_t resets;
  uint32_t imagesWritten;
  uint64_t answers, refusals, lineEvents, silences, bytesPastWakeUp;
  bool operator==(const Progress&) const = default;
};

Progress ProgressOf(const radio::Record& r) {
  Progress p{r.state, r.phase, r.resets, r.imagesWritten, 0, 0, 0, 0, 0};
  for (radio::Phase phase : radio::kAllPhases) {
    const radio::PhaseRecord& pr = r[phase];
    p.answers += pr.answers;
    p.refusals += pr.refusals;
    p.lineEvents += pr.lineEvents;
    p.silences += pr.silences;
    if (phase != radio::Phase::WakeUp) p.bytesPastWakeUp += pr.bytesReceived;
  }
  return p;
}

bool BoxShown() { return !screen::Capture().modals.empty(); }

// What is wrong with a flash that should hold `image` but for the bytes the
// module's record says its flip-image switch damaged (one bit each, one
// lane); empty: nothing else differs, and the verify line sees the damage.
std::string FlipDamageProblem(const radio::FlashContents& flash, const std::vector<uint8_t>& image,
                              const radio::Record& record) {
  if (!record.flipped) return "the module damaged no bytes of the image";
  const auto [first, second] = *record.flipped;
  if (!flash.valid || flash.bytes.size() != image.size()) return "the flash does not hold an image of the image's size";
  if (first % 2 != second % 2) return "the damaged bytes are not of one lane";
  for (size_t i = 0; i < image.size(); ++i) {
    const bool damaged = i == first || i == second;
    const unsigned bits = std::popcount(static_cast<unsigned>(flash.bytes[i] ^ image[i]));
    if (bits != (damaged ? 1u : 0u)) {
      return "the flash differs from the image at " + std::to_string(i) + " in " + std::to_string(bits) + " bits";
    }
  }
  std::string verify = handset::FlashVerifyText(flash, image);
  if (handset::FlashVerifyHolds(verify)) return "the verify line does not see the damage: " + verify;
  return {};
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done:
      return "done";
    case Outcome::DoneAfterRetry:
      return "done-after-retry";
    case Outcome::Failed:
      return "failed";
    case Outcome::FailedFlashWritten:
      return "failed-flash-written";
    case Outcome::FlashDiffers:
      return "flash-differs";
    case Outcome::GaveUp:
      return "gave-up";
    case Outcome::Waits:
      return "waits";
    case Outcome::RetriesForever:
      return "retries-forever";
  }
  return "?";
}

void FaultRunFixture::SetUp() {
  UtilityFixture::SetUp();
  options_.clockSpeed = kFastClock;
  options_.pacedLines = false;
  hooks_ = std::make_shared<TraceHooks>(trace_);
  debugout::SetSink(hooks_);
}

void FaultRunFixture::TearDown() {
  EndLeftoverUpdate();
  UtilityFixture::TearDown();
  if (pty_) pty_->Stop();
  if (ownPtyPort_) serial::RemovePort(1);
  ril::SetRadioHardware(nullptr);
}

void FaultRunFixture::EndLeftoverUpdate() {
  for (HANDLE thread : {UpdateThreadHandle.load(), CastThreadHandle.load()}) {
    DWORD code = 0;
    if (thread == INVALID_HANDLE_VALUE || thread == nullptr) continue;
    if (!GetExitCodeThread(thread, &code) || code != STILL_ACTIVE) continue;
    TerminateThread(thread, 0);
    // A suspended casting thread ends once resumed.
    ResumeThread(thread);
    WaitForSingleObject(thread, PlatformMs(10s));
  }
}

radio::Module& FaultRunFixture::TheModule() { return pty_ ? pty_->Module() : *Handset().Module(); }

std::vector<uint8_t> FaultRunFixture::FirmwareImage() {
  HRSRC found = FindResourceW(Handset().Instance(), MAKEINTRESOURCE(110), TEXT("HEX"));
  if (found == nullptr) return {};
  auto* bytes = static_cast<const uint8_t*>(LoadResource(Handset().Instance(), found));
  return std::vector<uint8_t>(bytes, bytes + SizeofResource(Handset().Instance(), found));
}

void FaultRunFixture::Prepare(const RunPlan& plan) {
  // A long boot window: the test is not about the module giving up on a
  // host that casts late (a loaded machine can be late at a fast clock).
  radio::ModuleConfig config;
  config.bootWindow = std::chrono::seconds(20);
  options_.moduleSwitches = {"boot-window=20000"};
  options_.pacedLines = plan.pacedLine;
  if (plan.line == RunPlan::Line::Virtual) {
    for (const std::string& spec : plan.moduleSwitches) options_.moduleSwitches.push_back(spec);
  } else {
    options_.moduleSwitches.clear();
    options_.ril.kind = handset::RilChoice::Kind::None;
    pty_ = std::make_unique<PtyModule>(config);
    for (const std::string& spec : plan.moduleSwitches) {
      std::string error;
      ASSERT_TRUE(radio::ApplySwitch(pty_->Module(), spec, &error)) << error;
    }
    if (plan.line == RunPlan::Line::HostTty) {
      std::string error;
      ASSERT_TRUE(pty_->StartOnNewPty(&error)) << error;
      options_.ports[handset::kModulePort] = {handset::PortChoice::Kind::Host, pty_->HostPath()};
    } else {
      options_.ports[handset::kModulePort] = {handset::PortChoice::Kind::Absent, ""};
    }
  }
  ASSERT_NO_FATAL_FAILURE(StartUtility());
  if (plan.line == RunPlan::Line::PtyPort) {
    std::string error;
    std::string path = serial::ConfigurePtyPort(handset::kModulePort, {}, &error);
    ASSERT_FALSE(path.empty()) << error;
    ownPtyPort_ = true;
    ASSERT_TRUE(pty_->StartOnTty(path, &error)) << error;
  }
  if (pty_) ril::SetRadioHardware(pty_->Radio());
  port_ = serial::FindPort(handset::kModulePort);
  ASSERT_TRUE(port_);
}

RunResult FaultRunFixture::RunUpdate(const RunPlan& plan) {
  Prepare(plan);
  if (::testing::Test::HasFatalFailure()) {
    RunResult result;
    result.ok = false;
    result.detail = "the handset did not come up";
    return result;
  }
  return UpdateOnce(plan);
}

RunResult FaultRunFixture::UpdateOnce(const RunPlan& plan) {
  RunResult result;
  result.observed = plan.expected;
  std::ostringstream problems;
  auto fail = [&](const std::string& what) {
    result.ok = false;
    problems << what << "; ";
  };
  const auto start = Clock::now();
  const std::vector<uint8_t> image = FirmwareImage();
  const radio::Record before = TheModule().GetRecord();
  const int rebootsBefore = Handset().Board().Reboots();
  const size_t doneBefore = Occurrences(Log(), kDone);
  const size_t doneTracesBefore = TraceCount(u"Firmware Updated....Done");
  const size_t failTracesBefore = TraceCount(kWriteFailed);
  const size_t failWordsBefore = Occurrences(Log(), kFailureWords);

  // When the fault strikes, on the platform clock: the trigger's action, or
  // the module using its switch (watched from a thread of the test).
  std::atomic<bool> watching{true};
  // Shared with the trace hook, which may outlive this run if it never fires.
  auto faultAt = std::make_shared<std::atomic<int64_t>>(-1);
  auto platformNow = [] { return kernel::Clock::now().time_since_epoch().count(); };
  auto moduleStruck = [&] {
    const radio::Record record = TheModule().GetRecord();
    const radio::PhaseRecord& now = record[plan.faultPhase];
    const radio::PhaseRecord& then = before[plan.faultPhase];
    return now.refusals + now.silences + now.lineEvents + now.noiseBytes >
               then.refusals + then.silences + then.lineEvents + then.noiseBytes ||
           now.answers > then.answers;
  };
  std::thread faultWatch;
  if (!plan.trigger.empty()) {
    hooks_->At(plan.trigger, 1, [faultAt, platformNow, action = plan.onTrigger] {
      *faultAt = platformNow();
      if (action) action();
    });
  } else if (!plan.moduleSwitches.empty()) {
    faultWatch = std::thread([&] {
      while (watching && !moduleStruck()) std::this_thread::sleep_for(200us);
      if (watching) *faultAt = platformNow();
    });
  }
  std::optional<int64_t> outcomeAt;
  auto endWatch = [&] {
    watching = false;
    if (faultWatch.joinable()) faultWatch.join();
  };

  if (Send(118) != 1) fail("the update command did not yield 1");
  HANDLE updateThread = UpdateThreadHandle;
  auto threadEnded = [&](std::chrono::milliseconds within) {
    return WaitForSingleObject(updateThread, PlatformMs(within)) == WAIT_OBJECT_0;
  };
  auto describeState = [&] {
    radio::Record r = TheModule().GetRecord();
    std::ostringstream out;
    out << "module " << radio::StateName(r.state);
    if (r.phase) out << " in " << radio::PhaseName(*r.phase);
    out << ", " << r.resets - before.resets << " resets, " << r.wakeRepeats - before.wakeRepeats
        << " wake-up answers repeated, " << r.ignoredBytes - before.ignoredBytes << " bytes ignored";
    for (radio::Phase phase : radio::kAllPhases) {
      uint64_t bytes = r[phase].bytesReceived - before[phase].bytesReceived;
      if (bytes > 0) out << ", " << radio::PhaseName(phase) << " took " << bytes << " bytes";
    }
    out << "; last trace: ";
    auto texts = Trace();
    out << (texts.empty() ? "" : text::ToUtf8(texts.back()));
    return out.str();
  };

  // Flash differs: the module said done, so the utility does; only the
  // verify line can tell.
  const bool flashDiffers = plan.expected == Outcome::FlashDiffers;
  const bool expectDone = plan.expected == Outcome::Done || plan.expected == Outcome::DoneAfterRetry || flashDiffers;
  const bool expectFailed = plan.expected == Outcome::Failed || plan.expected == Outcome::FailedFlashWritten ||
                            plan.expected == Outcome::GaveUp;
  if (expectDone) {
    auto box = User().AnswerNextBox(IDOK, kOutcomeLimit);
    outcomeAt = platformNow();
    if (!box) {
      fail("no success box: " + describeState());
    } else {
      if (box->text != u"Reboot device/Reset module !" || box->caption != u"Successful") {
        fail("unexpected box '" + text::ToUtf8(box->text) + "'");
      }
      if (!threadEnded(kOutcomeLimit)) fail("the update thread did not end after the box");
    }
  } else if (expectFailed) {
    // Whatever happens, no box: one would hold the update thread.
    auto deadline = Clock::now() + kOutcomeLimit;
    bool ended = false;
    while (!(ended = threadEnded(100ms)) && Clock::now() < deadline) {
      if (BoxShown()) {
        fail("a box appeared on a failing update");
        User().AnswerNextBox(IDOK, 1s);
      }
    }
    outcomeAt = platformNow();
    if (!ended) fail("the update did not end: " + describeState());
  } else {
    // The fault has struck once the trigger fired or the module used its
    // switch; from then on nothing may move.
    auto deadline = Clock::now() + kOutcomeLimit;
    auto struck = [&] {
      if (!plan.trigger.empty()) return hooks_->AllFired();
      const radio::Record record = TheModule().GetRecord();
      const radio::PhaseRecord& now = record[plan.faultPhase];
      const radio::PhaseRecord& then = before[plan.faultPhase];
      return now.refusals + now.silences + now.lineEvents > then.refusals + then.silences + then.lineEvents;
    };
    while (!struck() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    endWatch();
    if (!struck()) fail("the fault never struck: " + describeState());
    if (plan.expected == Outcome::RetriesForever) {
      while (TheModule().GetRecord().resets < before.resets + 4 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
      }
      if (TheModule().GetRecord().resets < before.resets + 4) fail("no repeated wake-up: " + describeState());
    } else {
      Progress last = ProgressOf(TheModule().GetRecord());
      auto quietSince = Clock::now();
      while (Clock::now() - quietSince < kQuietFor && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        Progress now = ProgressOf(TheModule().GetRecord());
        if (!(now == last)) {
          last = now;
          quietSince = Clock::now();
        }
      }
      if (Clock::now() - quietSince < kQuietFor) fail("the module never came to rest: " + describeState());
    }
    DWORD code = 0;
    if (!GetExitCodeThread(updateThread, &code) || code != STILL_ACTIVE) fail("the update thread ended");
    if (BoxShown()) fail("a box is open");
    if (Occurrences(Log(), kDone) != doneBefore) fail("the log says done");

    // Idle while it waits: measured at real speed, where a paced thread
    // sleeps as it would on the handset.
    kernel::SetClockSpeed(1.0);
    std::this_thread::sleep_for(300ms);
    result.cpu = MeasureCpuShare(kCpuWindow);
    if (result.cpu->busiestRatio > kCpuBound || result.cpu->runnableRatio > kRunnableBound) {
      fail("a thread spins while the update waits: " + result.cpu->Describe());
    }
    if (!GetExitCodeThread(updateThread, &code) || code != STILL_ACTIVE) fail("the update thread ended");

    // The user can always quit.
    if (!User().Key('Q', screen::kControl)) fail("Ctrl+Q found no window to take it");
    std::optional<int> exit = Program().WaitForExit(30s);
    running_ = false;
    if (exit != 0) fail("Ctrl+Q did not end the program with 0");
  }

  // Every run: done in the log if and only if the image is in the flash and
  // the handset was rebooted; never a box, a reboot or a done otherwise.
  const radio::Record after = TheModule().GetRecord();
  const bool holdsImage = TheModule().FlashHolds(image);
  const bool saysDone = Occurrences(Log(), kDone) > doneBefore;
  const int reboots = Handset().Board().Reboots() - rebootsBefore;
  const uint32_t resets = after.resets - before.resets;
  // The module erases its flash once it has taken the image length.
  const bool imageStarted = after[radio::Phase::ImageSections].reached > before[radio::Phase::ImageSections].reached;
  result.wakeUpAttempts = expectDone ? resets - 1 : resets;  // a successful update resets the module once more
  // Done while the flash does not hold the image only where the module
  // damaged it unseen by its own switch, in those bytes alone.
  if (saysDone != holdsImage && plan.expected != Outcome::FailedFlashWritten && !flashDiffers) {
    fail(std::string("log ") + (saysDone ? "says" : "does not say") + " done while the flash " +
         (holdsImage ? "holds" : "does not hold") + " the image");
  }
  if (expectDone) {
    if (!saysDone) fail("no done in the log");
    if (TraceCount(u"Firmware Updated....Done") != doneTracesBefore + 1) fail("no done trace");
    if (TraceCount(kUpgraded) == 0) fail("no success trace");
    if (flashDiffers) {
      if (std::string problem = FlipDamageProblem(TheModule().Flash(), image, after); !problem.empty()) fail(problem);
    } else if (!holdsImage) {
      fail("the flash does not hold the image");
    }
    if (reboots != 1) fail("reboots: " + std::to_string(reboots));
    bool retried = result.wakeUpAttempts > 1;
    if (retried != (plan.expected == Outcome::DoneAfterRetry)) {
      fail("wake-up attempts: " + std::to_string(result.wakeUpAttempts));
    }
  } else {
    if (saysDone || TraceCount(u"Firmware Updated....Done") != doneTracesBefore) fail("done reported");
    if (reboots != 0) fail("the handset rebooted");
    if (BoxShown()) fail("a box is open");
    if (plan.expected == Outcome::FailedFlashWritten) {
      if (!holdsImage) fail("the module did not write its flash");
    } else {
      if (holdsImage) fail("the flash holds the image");
      if (imageStarted && TheModule().Flash().valid) fail("an interrupted image left the flash valid");
    }
  }
  if (expectFailed) {
    if (plan.expected == Outcome::GaveUp) {
      if (TraceCount(kWriteFailed) != failTracesBefore) fail("a transfer failure trace without a transfer");
      if (imageStarted) fail("the image transfer began");
    } else {
      if (TraceCount(kWriteFailed) != failTracesBefore + 1) fail("no failure trace");
      if (TraceCount(kUpdateFailed) == 0) fail("no failed-update trace");
    }
    // Every failure says so in the log view, once, and what it waited for.
    if (Occurrences(Log(), kFailureWords) != failWordsBefore + 1) fail("no words for the failure in the log");
    DWORD code = STILL_ACTIVE;
    GetExitCodeThread(updateThread, &code);
    if (code != 0) fail("update thread exit code " + std::to_string(code));
    if (CastThreadHandle.load() != INVALID_HANDLE_VALUE) fail("the wake-up thread was not ended");
  }
  if (expectDone && Occurrences(Log(), kFailureWords) != failWordsBefore) fail("failure words on a success");
  if (expectDone || expectFailed) {
    // The line is closed: the port opens again (unless it is gone).
    HANDLE com1 = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = com1 == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (com1 != INVALID_HANDLE_VALUE) CloseHandle(com1);
    if (error == ERROR_ACCESS_DENIED) fail("COM1: is still open");
  }

  endWatch();
  if (*faultAt >= 0 && outcomeAt) {
    result.faultToOutcome = std::chrono::duration<double>(kernel::Duration(*outcomeAt - faultAt->load())).count();
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ostringstream notes;
  const bool damaged = !holdsImage && after.flipped && TheModule().Flash().valid;
  notes << "attempts " << result.wakeUpAttempts << ", "
        << (holdsImage ? "image in flash" : damaged ? "damaged image in flash" : "no image in flash")
        << (TheModule().Flash().valid ? " (valid)" : " (not valid)");
  if (result.cpu) notes << ", " << result.cpu->Describe();
  result.detail = result.ok ? notes.str() : problems.str() + notes.str();
  return result;
}

void WriteRow(const std::string& dir, const std::string& name, const std::string& phase, const std::string& fault,
              const RunPlan& plan, const RunResult& result) {
  mkdir(dir.c_str(), 0755);
  std::ofstream row(dir + "/" + name + ".row", std::ios::trunc);
  char cpu[64] = "-";
  if (result.cpu) {
    std::snprintf(cpu, sizeof cpu, "%.2f%%/%.2f%%", result.cpu->busiestRatio * 100, result.cpu->runnableRatio * 100);
  }
  char after[32] = "-";
  if (result.faultToOutcome >= 0) std::snprintf(after, sizeof after, "%.1f", result.faultToOutcome);
  row << phase << '\t' << fault << '\t' << OutcomeName(plan.expected) << '\t'
      << (result.ok ? OutcomeName(plan.expected) : "MISMATCH") << '\t' << result.wakeUpAttempts << '\t' << cpu << '\t'
      << result.seconds << '\t' << after << '\t' << result.detail << '\n';
  std::printf("fault matrix: %s %s -> %s after %s s (%s)\n", phase.c_str(), fault.c_str(),
              result.ok ? OutcomeName(plan.expected) : "MISMATCH", after, result.detail.c_str());
}

}  // namespace faulttest
