// The wake-up of the module's boot-strap loader and its repetition: noise
// and line conditions before 0xA0, refused boot stages, the pauses and the
// wake-up bytes around each module reset, and the silence of the wake-up
// thread while the stages are written.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/ril/RilDriver.h"
#include "kernel/Clock.h"
#include "radio/Switches.h"
#include "serial/VirtualPort.h"
#include "UpdateFixture.h"
#include "update/UpdateLimits.h"

namespace systemtest {
namespace {

using namespace std::chrono_literals;

// The clock for the tests that time the pauses and the cadence of the
// wake-up bytes: half real speed, so that a 10 ms pause is 20 ms of real
// time and a loaded machine's late wake-ups (some milliseconds each, on
// every one of the cast thread's pauses) stay small against what is timed.
constexpr double kTimingClock = 0.5;

// The words of an attempt whose reset got nothing but breaks and line
// errors, around their count.
constexpr char16_t kOnlyErrors[] = u"The line to the radio module reported only errors (";
constexpr char16_t kOnlyErrorsEnd[] =
    u" breaks or line errors and no byte while waiting for A0h after the module reset)";

class WakeUpTest : public UpdateFixture {
 protected:
  // Boots the handset on an infinitely fast line with the module's
  // `switches`, lets `before` act on it, and chooses the update.
  void BeginUpdate(std::vector<std::string> switches, double clockSpeed, const std::function<void()>& before) {
    options_.pacedLines = false;
    options_.clockSpeed = clockSpeed;
    options_.moduleSwitches = std::move(switches);
    StartWithJournal();
    ASSERT_FALSE(HasFatalFailure());
    before();
    ASSERT_EQ(Send(IDM_UPDATE_GO), 1);
  }
  void TakeEvents() {
    events_ = journal_->Events();
    updateThread_ = ThreadOfTrace(events_, u"Open : COM1:");
  }

  // Runs an update to its end, answering the success box.
  void RunUpdate(std::vector<std::string> switches, double clockSpeed = 50) {
    BeginUpdate(std::move(switches), clockSpeed, [] { ril::ClearRequests(); });
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(NoteAndAnswerBox(120s));
    ASSERT_TRUE(WaitUpdateEnd());
    TakeEvents();
  }

  // Runs an update that does not succeed, to the end of the update thread.
  void RunFailingUpdate(std::vector<std::string> switches, double clockSpeed = 50) {
    BeginUpdate(std::move(switches), clockSpeed, [] { ril::ClearRequests(); });
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(WaitForSingleObject(UpdateThreadHandle.load(), static_cast<DWORD>(120000 * clockSpeed)), WAIT_OBJECT_0);
    TakeEvents();
  }

  // As RunUpdate, with `before` run on the booted handset first.
  void RunPlainUpdate(std::vector<std::string> switches, const std::function<void()>& before) {
    BeginUpdate(std::move(switches), options_.clockSpeed, before);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(NoteAndAnswerBox(120s));
    ASSERT_TRUE(WaitUpdateEnd());
    TakeEvents();
  }

  bool IsTrace(size_t i, std::u16string_view needle) const {
    return events_[i].kind == Kind::kTrace && events_[i].text.find(needle) != std::u16string::npos;
  }
  bool IsCast(size_t i) const { return events_[i].kind == Kind::kWrite && events_[i].thread != updateThread_; }
  // Indices of the events that satisfy `match`.
  std::vector<size_t> Find(const std::function<bool(size_t)>& match) const {
    std::vector<size_t> found;
    for (size_t i = 0; i < events_.size(); ++i) {
      if (match(i)) found.push_back(i);
    }
    return found;
  }
  // The first event at or after `from` that satisfies `match`, or the end.
  size_t Next(size_t from, const std::function<bool(size_t)>& match) const {
    while (from < events_.size() && !match(from)) ++from;
    return from;
  }
  double Between(size_t a, size_t b) const { return Milliseconds(events_[b].at - events_[a].at); }
  // A wait's limit counts whole ticks from a tick read just after its trace,
  // and each trace's time is taken a moment off its own call: on a loaded
  // machine (a sanitizer build, the slower clocks) that is a few ticks.
  static constexpr double kTickSlack = 5;
  size_t CastsBetween(size_t a, size_t b) const {
    size_t n = 0;
    for (size_t i = a; i < b; ++i) n += IsCast(i);
    return n;
  }

  // After each refusal traced by `refusal`: how long until the wake-up bytes
  // resume and until the next module reset, both from the refusal.
  struct Retry {
    double castResumes;
    double nextReset;
    double castBeforeReset;
    size_t castBytes;
  };
  std::vector<Retry> Retries(std::u16string_view refusal) const {
    std::vector<Retry> retries;
    for (size_t r : Find([&](size_t i) { return IsTrace(i, refusal); })) {
      size_t cast = Next(r, [&](size_t i) { return IsCast(i); });
      size_t reset = Next(r, [&](size_t i) { return events_[i].kind == Kind::kReset; });
      if (cast >= events_.size() || reset >= events_.size()) {
        ADD_FAILURE() << "no wake-up bytes or no reset after a refusal";
        continue;
      }
      retries.push_back({Between(r, cast), Between(r, reset), Between(cast, reset), CastsBetween(cast, reset)});
    }
    return retries;
  }

  // No wake-up byte from the stop of the cast (0xA0 read, the thread
  // suspended) until the stage's outcome is traced.
  void ExpectSilentStages() const {
    for (size_t stop : Find([&](size_t i) { return IsTrace(i, u"Get A0h, Stop Casting 55h"); })) {
      size_t end = Next(stop, [&](size_t i) {
        return IsTrace(i, u"upload fail!!") || IsTrace(i, u"BootLoad2_v2_bin upload succeed");
      });
      EXPECT_LT(end, events_.size());
      EXPECT_EQ(CastsBetween(stop, end), 0u) << "wake-up bytes while the stages were written";
    }
  }

  // One byte every 10 ms at most (the thread sleeps that long between
  // them), and not much slower.
  static void ExpectCastRate(const Retry& r) {
    EXPECT_LE(static_cast<double>(r.castBytes), r.castBeforeReset / 10 + 1);
    EXPECT_GE(static_cast<double>(r.castBytes), r.castBeforeReset / 20);
  }

  // The first attempt: the second's pause of the attempt before the reset,
  // with the wake-up bytes going out for about that long. The pause counts
  // from its trace: the wake-up thread's first byte may come a little after
  // the pause began on a busy machine.
  void ExpectFirstAttemptTiming() const {
    size_t pause = Next(0, [&](size_t i) { return IsTrace(i, u"!Cast 55h!"); });
    size_t cast = Next(0, [&](size_t i) { return IsCast(i); });
    size_t reset = Next(0, [&](size_t i) { return events_[i].kind == Kind::kReset; });
    ASSERT_LT(reset, events_.size());
    EXPECT_GE(Between(pause, reset), 1000.0);
    EXPECT_LT(cast, reset) << "no wake-up byte before the reset";
    EXPECT_LE(Between(pause, reset), 1250.0);
  }

  std::vector<WireEvent> events_;
  uint32_t updateThread_ = 0;
};

TEST_F(WakeUpTest, BytesBeforeTheAnswerAreReadTracedAndDropped) {
  RunUpdate({"noise@wake-up=5"});
  // What the update thread read while it waited for 0xA0.
  size_t wait = Next(0, [&](size_t i) { return IsTrace(i, u"Waiting for char -> A0 h"); });
  size_t stop = Next(wait, [&](size_t i) { return IsTrace(i, u"Get A0h"); });
  Bytes received;
  for (size_t i = wait; i < stop; ++i) {
    if (events_[i].kind == Kind::kRead && events_[i].thread == updateThread_) {
      received.insert(received.end(), events_[i].bytes.begin(), events_[i].bytes.end());
    }
  }
  ASSERT_EQ(received.size(), 6u);
  EXPECT_EQ(received.back(), kWakeAnswer);
  for (size_t i = 0; i < 5; ++i) EXPECT_NE(received[i], kWakeAnswer);

  Expected expected;
  OpenPart(expected);
  WakePart(expected, received);
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, true);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  // The module sends its noise before every 0xA0; a repeated answer (0x55
  // still arriving long after the first, as on a slow handset) adds its own.
  radio::Record record = Handset().Module()->GetRecord();
  EXPECT_EQ(record[radio::Phase::WakeUp].noiseBytes, 5u * (1 + record.wakeRepeats));
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
}

TEST_F(WakeUpTest, ABreakWhileWaitingForTheAnswerIsWaitedOutWithoutAnotherReset) {
  RunUpdate({"break@wake-up=1"});
  Expected expected;
  OpenPart(expected);
  expected.Trace(u"!Cast 55h!\r\n").Line("reset");
  Refused(expected, kWakeAnswer);
  expected.Wait(kWakeAnswer).Purge().Trace(u" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, true);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  // The module answered once more because the wake-up bytes kept coming.
  EXPECT_EQ(Handset().Module()->GetRecord().wakeRepeats, 1u);
  EXPECT_EQ(ril::Requests().reset, 2u);
}

TEST_F(WakeUpTest, StageOneRefusedTwiceThenAccepted) {
  RunUpdate({"refuse@stage1=2"}, kTimingClock);
  Expected expected;
  OpenPart(expected);
  for (int refused = 0; refused < 2; ++refused) {
    WakePart(expected);
    Stage1Part(expected, false);
  }
  WakePart(expected);
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, true);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  EXPECT_EQ(Log(), kBanner + UpdateLog(1));
  EXPECT_EQ(ril::Requests().reset, 3u + 1u);

  // After a refused stage 1 the pause comes first: about a second of
  // wake-up bytes precedes the next reset.
  auto retries = Retries(u" BootLoad1 upload fail!!  Restart sending 55h again!!");
  ASSERT_EQ(retries.size(), 2u);
  for (const Retry& r : retries) {
    EXPECT_GE(r.castResumes, 1000.0);
    EXPECT_LE(r.castResumes, 1250.0);
    EXPECT_GE(r.nextReset, 2000.0);
    EXPECT_LE(r.nextReset, 2300.0);
    EXPECT_GE(r.castBeforeReset, 850.0);
    EXPECT_LE(r.castBeforeReset, 1100.0);
    ExpectCastRate(r);
  }
  ExpectFirstAttemptTiming();
  ExpectSilentStages();
  radio::Record record = Handset().Module()->GetRecord();
  EXPECT_EQ(record[radio::Phase::Stage1].bytesReceived, 3u * 186);
  EXPECT_EQ(record[radio::Phase::Stage1].refusals, 2u);
}

TEST_F(WakeUpTest, StageTwoRefusedOnceSendsStageOneAgain) {
  RunUpdate({"refuse@stage2=1"}, kTimingClock);
  Expected expected;
  OpenPart(expected);
  WakePart(expected);
  Stage1Part(expected, true);
  Stage2Part(expected, false);
  WakePart(expected);
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, true);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  EXPECT_EQ(Log(), kBanner + UpdateLog(2));
  EXPECT_EQ(ril::Requests().reset, 2u + 1u);

  // After a refused stage 2 the wake-up bytes resume at once: about two
  // seconds of them precede the next reset.
  auto retries = Retries(u"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!");
  ASSERT_EQ(retries.size(), 1u);
  const Retry& r = retries[0];
  EXPECT_LE(r.castResumes, 100.0);
  EXPECT_GE(r.nextReset, 2000.0);
  EXPECT_LE(r.nextReset, 2300.0);
  EXPECT_GE(r.castBeforeReset, 1850.0);
  EXPECT_LE(r.castBeforeReset, 2200.0);
  ExpectCastRate(r);
  ExpectFirstAttemptTiming();
  ExpectSilentStages();
  radio::Record record = Handset().Module()->GetRecord();
  EXPECT_EQ(record[radio::Phase::Stage1].bytesReceived, 2u * 186);
  EXPECT_EQ(record[radio::Phase::Stage2Sections].bytesReceived, 2u * (2 + 7414));
  EXPECT_EQ(record[radio::Phase::Stage2Check].refusals, 1u);
}

// A loader that no reset reaches (no reset line, or a module power-cycled by
// hand just before the update) answers the first wake-up byte once and then
// waits for boot stage 1. That answer came before the update's reset, so it
// is dropped; when nothing answers the reset in time, it is taken after all.
TEST_F(WakeUpTest, AnAnswerBeforeAResetThatReachesNoModuleIsTakenWhenNoneFollows) {
  options_.ril.kind = handset::RilChoice::Kind::None;
  RunPlainUpdate({"wake-answer=once", "boot-window=600000"}, [this] {
    // Powered up by hand: the loader listens.
    Handset().Module()->Reset(kernel::Clock::now());
  });
  ASSERT_FALSE(HasFatalFailure());
  size_t wait = Next(0, [&](size_t i) { return IsTrace(i, u"Waiting for char -> A0 h"); });
  size_t timedOut = Next(wait, [&](size_t i) { return IsTrace(i, u"No char -> A0 h within"); });
  size_t taken = Next(timedOut, [&](size_t i) {
    return IsTrace(i, u" A0h came before the reset, none since: the loader waits, go on!!\r\n");
  });
  size_t stop = Next(taken, [&](size_t i) { return IsTrace(i, u" Get A0h, Stop Casting 55h!!!"); });
  ASSERT_LT(stop, events_.size());
  EXPECT_GE(Between(wait, timedOut), static_cast<double>(WAKE_UP_LIMIT) - kTickSlack);
  EXPECT_EQ(Log(), kBanner + UpdateLog(1));
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
  // One wake-up answer, never repeated, and one attempt.
  radio::Record record = Handset().Module()->GetRecord();
  EXPECT_EQ(record[radio::Phase::WakeUp].answers, 1u);
  EXPECT_EQ(record.wakeRepeats, 0u);
  EXPECT_EQ(TraceCount(u"!Cast 55h!\r\n"), 1u);
}

// A module reset that takes a while (a modem-control line pulse, a busy
// handset): the module is out of its reset and answers the wake-up bytes
// before the request returns.
class SlowReset : public ril::RadioHardware {
 public:
  explicit SlowReset(std::shared_ptr<ril::RadioHardware> inner) : inner_(std::move(inner)) {}
  DWORD Suspend() override { return inner_->Suspend(); }
  DWORD Resume() override { return inner_->Resume(); }
  DWORD Reset() override {
    DWORD result = inner_->Reset();
    Sleep(300);
    return result;
  }
  std::string Describe() const override { return inner_->Describe(); }

 private:
  std::shared_ptr<ril::RadioHardware> inner_;
};

// The answer to the reset that came while the reset was under way is this
// reset's answer: taken at once, not waited past for the whole limit.
TEST_F(WakeUpTest, AnAnswerThatComesWhileTheResetIsUnderWayIsTaken) {
  options_.clockSpeed = 50;
  RunPlainUpdate({"wake-answer=once"}, [] {
    ril::SetRadioHardware(std::make_shared<SlowReset>(ril::CurrentRadioHardware()));
    ril::ClearRequests();
  });
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(TraceCount(u" A0h came before the reset, none since: the loader waits, go on!!\r\n"), 0u);
  EXPECT_EQ(TraceCount(u"No char -> A0 h within " + Decimal(WAKE_UP_LIMIT) + u" ms !!\r\n"), 0u);
  size_t wait = Next(0, [&](size_t i) { return IsTrace(i, u"Waiting for char -> A0 h"); });
  size_t stop = Next(wait, [&](size_t i) { return IsTrace(i, u" Get A0h, Stop Casting 55h!!!"); });
  ASSERT_LT(stop, events_.size());
  EXPECT_LT(Between(wait, stop), static_cast<double>(WAKE_UP_LIMIT) / 2);
  radio::Record record = Handset().Module()->GetRecord();
  EXPECT_EQ(record[radio::Phase::WakeUp].answers, 1u);
  EXPECT_EQ(TraceCount(u"!Cast 55h!\r\n"), 1u);
  EXPECT_EQ(Log(), kBanner + UpdateLog(1));
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
}

// Line errors without end while the module does not answer (a module that
// talks at another rate): each attempt still ends at its limit, and the
// wake-up waits on after each error only after a pause, not in a spin.
TEST_F(WakeUpTest, AStreamOfLineErrorsCannotKeepTheWakeUpBeyondItsLimit) {
  std::atomic<bool> streaming{true};
  std::thread stream;
  // A slower clock than the other runs: the stream's real-time pace is then
  // a fraction of a millisecond of platform time, far denser than the pause.
  BeginUpdate({"silent@wake-up=always"}, 10, [&] {
    ril::ClearRequests();
    stream = std::thread([&streaming, line = Handset().ModuleLine()] {
      while (streaming) {
        line->SendCondition(serial::LineCondition::FramingError);
        std::this_thread::sleep_for(20us);
      }
    });
  });
  // Five attempts of a second's pause and a limit each, and room to spare.
  const DWORD bound = WAKE_UP_ATTEMPTS * (1000 + WAKE_UP_LIMIT) * 3;
  DWORD ended = WaitForSingleObject(UpdateThreadHandle.load(), bound);
  streaming = false;
  stream.join();
  ASSERT_EQ(ended, WAIT_OBJECT_0) << "the wake-up went on past its limits";
  ASSERT_EQ(WaitForSingleObject(UpdateThreadHandle.load(), 120000), WAIT_OBJECT_0);
  TakeEvents();

  // The words name the errors, not a silent module.
  std::u16string words = Log();
  EXPECT_EQ(words.rfind(std::u16string(kBanner) + u"Update failed after 5 attempts: " + kOnlyErrors, 0), 0u)
      << Printable(words);
  EXPECT_TRUE(words.ends_with(kOnlyErrorsEnd + std::u16string(u"\r\nChoose Update firmware - Go to try again.\r\n")))
      << Printable(words);
  EXPECT_EQ(ril::Requests().reset, static_cast<unsigned>(WAKE_UP_ATTEMPTS));
  // Each attempt: from its first wait to its end within the limit and a
  // turn, and no more waits than one per pause of 10 ms.
  std::vector<size_t> resets = Find([&](size_t i) { return events_[i].kind == Kind::kReset; });
  ASSERT_EQ(resets.size(), static_cast<size_t>(WAKE_UP_ATTEMPTS));
  for (size_t reset : resets) {
    size_t wait = Next(reset, [&](size_t i) { return IsTrace(i, u"Waiting for char -> A0 h"); });
    size_t end = Next(wait, [&](size_t i) { return IsTrace(i, u"No char -> A0 h within"); });
    ASSERT_LT(end, events_.size());
    EXPECT_GE(Between(wait, end), static_cast<double>(WAKE_UP_LIMIT) - kTickSlack);
    EXPECT_LT(Between(wait, end), static_cast<double>(WAKE_UP_LIMIT) + 2000);
    size_t waits = 0;
    for (size_t i = wait; i < end; ++i) waits += IsTrace(i, u"Waiting for char -> A0 h");
    EXPECT_LE(waits, static_cast<size_t>(WAKE_UP_LIMIT / 10 + 1));
  }
}

// A module that never answers: every attempt resets it and waits its limit;
// after the last the update ends and says why.
TEST_F(WakeUpTest, AModuleThatNeverAnswersIsGivenUpAfterEveryAttemptWithWords) {
  RunFailingUpdate({"silent@wake-up=always"});
  ASSERT_FALSE(HasFatalFailure());
  const std::u16string reason = u"No answer from the radio module (waiting for A0h after the module reset)";
  Expected expected;
  OpenPart(expected);
  for (int attempt = 1; attempt <= WAKE_UP_ATTEMPTS; ++attempt) {
    expected.Trace(u"!Cast 55h!\r\n").Line("reset");
      expected.Trace(u"Waiting for char -> A0 h\r\n")
        .Trace(u"No char -> A0 h within " + Decimal(WAKE_UP_LIMIT) + u" ms !!\r\n");
    if (attempt < WAKE_UP_ATTEMPTS) expected.Trace(u" No A0h after the reset!!  Reset the module again!!\r\n");
  }
  FailurePart(expected, reason);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  EXPECT_EQ(Log(), kBanner + FailureLog(reason, WAKE_UP_ATTEMPTS));
  EXPECT_EQ(ril::Requests().reset, static_cast<unsigned>(WAKE_UP_ATTEMPTS));

  // Each attempt waited its whole limit; the wake-up bytes stopped with the
  // update, and the line is free again.
  for (size_t wait : Find([&](size_t i) { return IsTrace(i, u"Waiting for char -> A0 h"); })) {
    size_t timedOut = Next(wait, [&](size_t i) { return IsTrace(i, u"No char -> A0 h within"); });
    ASSERT_LT(timedOut, events_.size());
    EXPECT_GE(Between(wait, timedOut), static_cast<double>(WAKE_UP_LIMIT));
  }
  size_t closed = Next(0, [&](size_t i) { return IsTrace(i, u" Communication Port Closed!!"); });
  EXPECT_EQ(CastsBetween(closed, events_.size()), 0u);
  EXPECT_EQ(CastThreadHandle.load(), INVALID_HANDLE_VALUE);
  HANDLE com1 = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(com1, INVALID_HANDLE_VALUE);
  CloseHandle(com1);
  EXPECT_TRUE(screen::Capture().modals.empty());
  EXPECT_EQ(Handset().Board().Reboots(), 0);
}

// What answered every reset decides the words: nothing at all sends the
// operator to the cable and the module's power; breaks or line errors and
// no byte, to the line (noise, or another rate). Bytes among the errors are
// an answer of sorts: those words never say "only errors".
TEST_F(WakeUpTest, TheWordsSayWhatAnsweredEveryReset) {
  struct Case {
    std::vector<std::string> switches;
    bool strayBytes;  // a stream of line errors and other bytes on top
    std::vector<std::u16string> begins;  // one of them
    std::u16string ends;
  };
  const std::u16string tail = u"waiting for A0h after the module reset";
  const std::u16string noAnswer = u"No answer from the radio module (" + tail + u")";
  const Case cases[] = {
      {{"silent@wake-up=always"}, false, {noAnswer}, u""},
      {{"break@wake-up=always"}, false, {kOnlyErrors}, kOnlyErrorsEnd},
      {{"framing@wake-up=always"}, false, {kOnlyErrors}, kOnlyErrorsEnd},
      {{"overrun@wake-up=always"}, false, {kOnlyErrors}, kOnlyErrorsEnd},
      {{"silent@wake-up=always"}, true, {u"Wrong answer from the radio module (" + tail + u", got 3Ch)", noAnswer}, u""},
  };
  options_.pacedLines = false;
  options_.clockSpeed = 50;
  StartWithJournal();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches.back() + (c.strayBytes ? " with stray bytes" : ""));
    for (const std::string& spec : c.switches) ASSERT_TRUE(radio::ApplySwitch(*Handset().Module(), spec, nullptr));
    std::atomic<bool> streaming{c.strayBytes};
    std::thread stream([&streaming, line = Handset().ModuleLine()] {
      const uint8_t stray = 0x3C;
      while (streaming) {
        line->SendCondition(serial::LineCondition::FramingError);
        line->Write(&stray, 1);
        std::this_thread::sleep_for(200us);
      }
    });
    ril::ClearRequests();
    const size_t before = Log().size();
    EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
    DWORD ended = WaitForSingleObject(UpdateThreadHandle.load(), 120000 * 50);
    streaming = false;
    stream.join();
    ASSERT_EQ(ended, WAIT_OBJECT_0);
    const std::u16string words = Log().substr(before);
    bool begins = false;
    for (const std::u16string& b : c.begins) begins |= words.rfind(u"Update failed after 5 attempts: " + b, 0) == 0;
    EXPECT_TRUE(begins) << Printable(words);
    EXPECT_TRUE(words.ends_with(c.ends + u"\r\nChoose Update firmware - Go to try again.\r\n")) << Printable(words);
    EXPECT_EQ(ril::Requests().reset, static_cast<unsigned>(WAKE_UP_ATTEMPTS));
    ASSERT_TRUE(radio::ApplySwitch(*Handset().Module(), "clear", nullptr));
  }
}

// A stage refused at every attempt: the prescribed retries up to the last
// attempt, which ends the update instead of starting another.
TEST_F(WakeUpTest, AStageRefusedAtEveryAttemptEndsAfterTheLastWithWords) {
  RunFailingUpdate({"refuse@stage1=always"});
  ASSERT_FALSE(HasFatalFailure());
  const std::u16string reason = u"The radio module refused boot stage 1 (a break or line error instead of A5h)";
  Expected expected;
  OpenPart(expected);
  for (int attempt = 1; attempt <= WAKE_UP_ATTEMPTS; ++attempt) {
    WakePart(expected);
    if (attempt < WAKE_UP_ATTEMPTS) {
      Stage1Part(expected, false);
    } else {
      expected.Trace(u"Bootload1_v2.bin open succeed!!!!\r\n")
          .Trace(u"get resource IDR_BOOT1 succeed!!!!\r\n")
          .Trace(u"Yes, we lock resources!!!!\r\n")
          .WriteOf(kBoot1Length + 2);
      Refused(expected, kAccept);
      expected.Trace(u" BootLoad1 upload fail!!  No more attempts!!\r\n");
    }
  }
  FailurePart(expected, reason);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  EXPECT_EQ(Log(), kBanner + FailureLog(reason, WAKE_UP_ATTEMPTS));
  EXPECT_EQ(Handset().Module()->GetRecord()[radio::Phase::Stage1].refusals, static_cast<unsigned>(WAKE_UP_ATTEMPTS));
  // Nothing went out after the last refusal.
  size_t last = Find([&](size_t i) { return IsTrace(i, u"No more attempts"); }).back();
  EXPECT_EQ(CastsBetween(last, events_.size()), 0u);
}

}  // namespace
}  // namespace systemtest
