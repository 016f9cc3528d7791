// The launcher's watch on the program's updates, fed the program's own trace
// texts and log view as the update writes them: the progress lines, the
// bytes acknowledged, and how an update ended, with its words.
#include "handset/launcher/UpdateWatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using launcher::Outcome;
using launcher::Phase;
using launcher::UpdateWatch;
using namespace std::chrono_literals;

constexpr uint64_t kImage = 2493720;  // 623 sections of 4000 bytes and one of 1720
constexpr char16_t kLogHead[] = u"Orvane Q88 Firmware Utility\r\n<< Firmware Version: V.4.3.0 >>\r\n";

// A watch whose lines are kept, at a clock the test moves.
struct Watched {
  std::vector<std::string> progress;
  std::vector<std::string> outcomes;
  int changes = 0;
  UpdateWatch::Clock::time_point now{};
  UpdateWatch watch{kImage, [this](const std::string& line) { progress.push_back(line); },
                    [this](const std::string& line) { outcomes.push_back(line); }, [this] { ++changes; }, now};

  void Trace(const std::u16string& text) { watch.OnTrace(text, now); }
  void Log(const std::u16string& text) { watch.OnLogView(text, now); }

  // The trace of an update up to the image, one wake-up attempt.
  void UpToTheImage() {
    for (const char16_t* text :
         {u"Open : COM1:\r\n", u"Open com port succeed!!\r\n", u"!Cast 55h!\r\n",
          u"A byte got from KRX6A : \u00a0 , A0 h\r\n", u" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n",
          u"Bootload1_v2.bin open succeed!!!!\r\n", u"BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n",
          u"Bootload2_v3.bin open succeed!!!! \r\n",
          u"BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n",
          u"Send 0x50 to configure baudrate as 115.2k !!!\r\n", u"Memory Check, We would get 3 char here !!!!\r\n",
          u"Write fixed file size\r\n", u"Download.bin open succeed!!!! \r\n", u"Write the compressed file size\r\n"}) {
      Trace(text);
    }
  }
  // Sections `first` to `last` written, the first at once, each next one
  // `perSection` later (when the one before is acknowledged).
  void Sections(int first, int last, std::chrono::milliseconds perSection) {
    for (int n = first; n <= last; ++n) {
      if (n > first) now += perSection;
      uint64_t total = std::min<uint64_t>(uint64_t(n) * 4000, kImage);
      std::string line = "Write " + std::to_string(total - (uint64_t(n) - 1) * 4000) + " bytes!, Totally write " +
                         std::to_string(total) + " bytes\r\n";
      Trace(std::u16string(line.begin(), line.end()));
      Trace(u"Waiting for char -> AA h\r\n");
    }
  }
};

// A whole update: a line when each phase begins, one at each tenth of the
// image with the time left at the rate so far, and the module's final
// answer as the outcome. 4000 bytes every 400 ms are 10 kB/s.
TEST(UpdateWatch, TellsEachPhaseAndEachTenthOfTheImage) {
  Watched w;
  w.UpToTheImage();
  w.Sections(1, 624, 400ms);
  w.now += 400ms;
  w.Trace(u" Sending Checksum 49  24 !!\r\n");
  w.Trace(u"File upload complete!! file size 2493720 , 260D18 h , Size char 26  D  18\r\n");
  EXPECT_EQ(w.watch.State().outcome, Outcome::kRunning);
  EXPECT_EQ(w.watch.State().acknowledged, 623u * 4000);  // the last section is acknowledged by the final answer
  w.now += 1s;
  w.Trace(u"Firmware Updated....Done");

  // Each line led by the time since the run began, in whole seconds.
  std::vector<std::string> expected{"fwutil: 0:00 wake-up, attempt 1", "fwutil: 0:00 boot stage 1",
                                    "fwutil: 0:00 boot stage 2", "fwutil: 0:00 memory check",
                                    "fwutil: 0:00 image, 2493720 bytes"};
  // The tenths: at the write after the section that took the acknowledged
  // share past each; the rate is that share over the time since the image
  // began.
  for (int tenth = 1; tenth <= 9; ++tenth) {
    uint64_t sections = (kImage * tenth + 39999) / 40000;  // acknowledged when section sections+1 is written
    uint64_t acknowledged = sections * 4000;
    uint64_t left = (kImage - acknowledged + 9999) / 10000;  // seconds at 10 kB/s, rounded up
    uint64_t gone = sections * 400 / 1000;                   // section sections+1 goes at sections x 400 ms
    char line[96];
    std::snprintf(line, sizeof line, "fwutil: %llu:%02llu image %llu%%, %llu:%02llu left (10.0 kB/s)",
                  static_cast<unsigned long long>(gone / 60), static_cast<unsigned long long>(gone % 60),
                  static_cast<unsigned long long>(acknowledged * 100 / kImage),
                  static_cast<unsigned long long>(left / 60), static_cast<unsigned long long>(left % 60));
    expected.push_back(line);
  }
  expected.push_back("fwutil: 4:09 image sent, waiting for the module's answer");
  EXPECT_EQ(w.progress, expected);
  EXPECT_EQ(w.outcomes,
            std::vector<std::string>{"fwutil: image 100%, the module took the image (2493720 bytes in 4:11)"});
  for (const std::string& line : w.progress) EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;

  launcher::UpdateState s = w.watch.State();
  EXPECT_EQ(s.outcome, Outcome::kSucceeded);
  EXPECT_EQ(s.phase, Phase::kDone);
  EXPECT_EQ(s.attempts, 1u);
  EXPECT_EQ(s.acknowledged, kImage);
  EXPECT_EQ(s.failures, 0u);
  EXPECT_FALSE(s.lineClosed);
  // The reboot was refused: the update closes its line after all.
  w.Trace(u" Upgrade succeed!! \r\n");
  w.Trace(u" Communication Port Closed!!\r\n");
  EXPECT_TRUE(w.watch.State().lineClosed);
  EXPECT_EQ(w.watch.State().outcome, Outcome::kSucceeded);
}

// The module goes silent after section 300: the words are the log view's,
// and the update counts as ended once the line after them has come (a
// script that waits for that line must still see it first).
TEST(UpdateWatch, AFailureEndsWithTheLogViewsWordsOnceItsLastLineIsIn) {
  Watched w;
  w.UpToTheImage();
  w.Sections(1, 301, 10ms);
  w.Trace(u"No char -> AA h within 60035 ms !!\r\n");
  w.Trace(u"Update firmware FAIL!!!");
  w.Trace(u" Write to flash  fail!!  !!\r\n");
  w.Trace(u" Update failed!!  No answer from the radio module (waiting for AAh after image section 301 of 624)\r\n");
  w.Trace(u" Communication Port Closed!!\r\n");
  w.Trace(u" Communication Port Closed!!\r\n");
  std::u16string log = std::u16string(kLogHead) + u"Bootload1 updated!!\r\nBootload2 updated!!\r\n" +
                       u"Wait a moment please...\r\n" + std::u16string(13, u'#') + u"\r\n";
  w.Log(log);
  EXPECT_EQ(w.watch.State().outcome, Outcome::kRunning);
  const std::u16string words =
      u"Update failed: No answer from the radio module (waiting for AAh after image section 301 of 624)";
  w.Log(log + words + u"\r\n");
  EXPECT_EQ(w.watch.State().outcome, Outcome::kRunning) << "ended before its last line";
  EXPECT_EQ(w.watch.State().failures, 0u);
  EXPECT_EQ(w.watch.State().endings, 1u);  // counted from the line's end, before the words
  w.Log(log + words + u"\r\nChoose Update firmware - Go to try again.\r\n");

  launcher::UpdateState s = w.watch.State();
  EXPECT_EQ(s.outcome, Outcome::kFailed);
  EXPECT_EQ(s.failures, 1u);
  EXPECT_EQ(s.failure, std::string(words.begin(), words.end()));
  EXPECT_EQ(s.phase, Phase::kImage);
  EXPECT_EQ(s.acknowledged, 300u * 4000);
  EXPECT_EQ(w.outcomes, std::vector<std::string>{"fwutil: " + s.failure});
  EXPECT_GT(w.changes, 0);
}

// The program returned (Exit) right after its update gave up its line,
// before the view's last words were read: that update has ended, with the
// trace's words; one still on its line has not.
TEST(UpdateWatch, AProgramThatEndsAfterItsUpdateClosedTheLineLeavesNoUpdateRunning) {
  for (bool closed : {true, false}) {
    Watched w;
    w.UpToTheImage();
    w.Trace(u" Update failed!!  No answer from the radio module (waiting for AAh after image section 1 of 624)\r\n");
    if (closed) w.Trace(u" Communication Port Closed!!\r\n");
    w.watch.OnProgramEnded(w.now);
    launcher::UpdateState s = w.watch.State();
    if (closed) {
      EXPECT_EQ(s.outcome, Outcome::kFailed);
      EXPECT_EQ(s.failure, "No answer from the radio module (waiting for AAh after image section 1 of 624)");
    } else {
      EXPECT_EQ(s.outcome, Outcome::kRunning);
    }
  }
}

// What an earlier update left in the log view says nothing of the next one;
// the next one's own words end it.
TEST(UpdateWatch, AnEarlierFailureInTheLogViewDoesNotEndTheNextUpdate) {
  Watched w;
  w.Trace(u"Open : COM1:\r\n");
  w.Trace(u"!Cast 55h!\r\n");
  w.Trace(u" Communication Port Closed!!\r\n");
  std::u16string log = std::u16string(kLogHead) +
                       u"Update failed after 5 attempts: No answer from the radio module (waiting for A0h after the "
                       u"module reset)\r\nChoose Update firmware - Go to try again.\r\n";
  // The second update began before the view was looked at again.
  w.Trace(u"Open : COM1:\r\n");
  w.Log(log);
  EXPECT_EQ(w.watch.State().outcome, Outcome::kRunning);
  EXPECT_EQ(w.watch.State().updates, 2u);
  w.Trace(u"!Cast 55h!\r\n");
  w.Trace(u" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
  w.Trace(u" Communication Port Closed!!\r\n");
  w.Log(log + u"Update failed: The radio module refused boot stage 1 (a break or line error instead of A5h)\r\n" +
        u"Choose Update firmware - Go to try again.\r\n");
  EXPECT_EQ(w.watch.State().outcome, Outcome::kFailed);
  EXPECT_EQ(w.watch.State().failure,
            "Update failed: The radio module refused boot stage 1 (a break or line error instead of A5h)");
  EXPECT_EQ(w.watch.State().phase, Phase::kBootStage1);
  EXPECT_EQ(w.watch.State().failures, 2u);  // the first one's ending counted when the second began
}

// A log view that says nothing (log level 0): once the grace has passed,
// the trace's words stand for the log view's.
TEST(UpdateWatch, WithoutWordsInTheLogViewTheTracesStand) {
  Watched w;
  w.Trace(u"Open : COM1:\r\n");
  w.Trace(u"!Cast 55h!\r\n");
  w.Trace(u" Update failed!!  No answer from the radio module (waiting for A0h after the module reset)\r\n");
  w.Trace(u" Communication Port Closed!!\r\n");
  ASSERT_TRUE(w.watch.NextTick());
  EXPECT_EQ(*w.watch.NextTick(), w.now + UpdateWatch::kLastWordsGrace);
  w.watch.OnTick(w.now + UpdateWatch::kLastWordsGrace - 1ms);
  EXPECT_EQ(w.watch.State().outcome, Outcome::kRunning);
  w.watch.OnTick(w.now + UpdateWatch::kLastWordsGrace);
  EXPECT_EQ(w.watch.State().outcome, Outcome::kFailed);
  EXPECT_EQ(w.watch.State().failure, "No answer from the radio module (waiting for A0h after the module reset)");
  EXPECT_EQ(w.outcomes.back(),
            "fwutil: update failed: No answer from the radio module (waiting for A0h after the module reset)");
  EXPECT_FALSE(w.watch.NextTick());
}

// "COM1:" does not open: the update could not start, in the log view's
// words with the error the trace gave.
TEST(UpdateWatch, ALineThatDoesNotOpenIsAStartThatFailed) {
  Watched w;
  w.Trace(u"Open : COM1:\r\n");
  w.Trace(u"Error (2) opening COM1:");
  w.Trace(u"Open com port failed!!\r\n");
  EXPECT_EQ(w.watch.State().outcome, Outcome::kRunning);
  w.Log(std::u16string(kLogHead) + u"Open Comport fail!!\r\n");
  launcher::UpdateState s = w.watch.State();
  EXPECT_EQ(s.outcome, Outcome::kNotStarted);
  EXPECT_EQ(s.failure, "Open Comport fail!! (Error (2) opening COM1:)");
  EXPECT_EQ(s.phase, Phase::kOpen);
  EXPECT_EQ(s.failures, 1u);
  EXPECT_EQ(w.outcomes, std::vector<std::string>{"fwutil: update could not start: " + s.failure});

  // A start while an update runs is ignored, and counted.
  w.Trace(u"Update is running already, start ignored !!\r\n");
  EXPECT_EQ(w.watch.State().ignoredStarts, 1u);
  EXPECT_EQ(w.watch.State().updates, 1u);
}

// Wake-up attempts and boot stages that are refused: each attempt is a line
// of its own, the phase reached is the furthest.
TEST(UpdateWatch, CountsAttemptsAndKeepsTheFurthestPhase) {
  Watched w;
  w.Trace(u"Open : COM1:\r\n");
  for (int attempt = 1; attempt <= 3; ++attempt) {
    w.Trace(u"!Cast 55h!\r\n");
    if (attempt == 2) {
      w.Trace(u" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
      w.Trace(u"BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n");
      w.Trace(u"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n");
    }
  }
  EXPECT_EQ(w.progress, (std::vector<std::string>{"fwutil: 0:00 wake-up, attempt 1", "fwutil: 0:00 wake-up, attempt 2",
                                                   "fwutil: 0:00 boot stage 1", "fwutil: 0:00 boot stage 2",
                                                   "fwutil: 0:00 wake-up, attempt 3"}));
  EXPECT_EQ(w.watch.State().attempts, 3u);
  EXPECT_EQ(w.watch.State().phase, Phase::kBootStage2);
  // The report's phases: each with its attempt, all ended but the one under way.
  std::vector<std::pair<Phase, unsigned>> spans;
  const launcher::UpdateState s = w.watch.State();
  for (const launcher::UpdateSpan& span : s.spans) {
    spans.emplace_back(span.phase, span.attempt);
    EXPECT_EQ(span.ended.has_value(), &span != &s.spans.back()) << launcher::PhaseName(span.phase);
  }
  EXPECT_EQ(spans, (std::vector<std::pair<Phase, unsigned>>{{Phase::kWakeUp, 1},
                                                             {Phase::kWakeUp, 2},
                                                             {Phase::kBootStage1, 2},
                                                             {Phase::kBootStage2, 2},
                                                             {Phase::kWakeUp, 3}}));
}

// An update that begins before the last one's words reached the log view
// (its thread lets a new start in before its last line): the last one's
// ending is counted, with the words the trace gave, so that a step waiting
// on the program still gives up on it; the new one runs on.
TEST(UpdateWatch, AnUpdateBegunRightAfterAFailedOneLosesNoEnding) {
  Watched w;
  w.Trace(u"Open : COM1:\r\n");
  w.Trace(u"!Cast 55h!\r\n");
  w.Trace(u" Update failed!!  No answer from the radio module (waiting for A0h after the module reset)\r\n");
  w.Trace(u" Communication Port Closed!!\r\n");
  int changes = w.changes;
  w.Trace(u"Open : COM1:\r\n");
  launcher::UpdateState s = w.watch.State();
  EXPECT_EQ(s.failures, 1u);
  EXPECT_EQ(s.endings, 1u);
  EXPECT_EQ(s.failure, "No answer from the radio module (waiting for A0h after the module reset)");
  EXPECT_EQ(s.outcome, Outcome::kRunning);
  EXPECT_EQ(s.updates, 2u);
  EXPECT_GT(w.changes, changes) << "the waiting steps were not woken";
  // The first one's words, late, end nothing of the second.
  w.Log(std::u16string(kLogHead) + u"Update failed after 5 attempts: No answer from the radio module (waiting for "
                                   u"A0h after the module reset)\r\nChoose Update firmware - Go to try again.\r\n");
  EXPECT_EQ(w.watch.State().outcome, Outcome::kRunning);
  EXPECT_EQ(w.watch.State().failures, 1u);
}

TEST(UpdateWatch, ClockTextRoundsUpToWholeSeconds) {
  EXPECT_EQ(launcher::ClockText(0s), "0:00");
  EXPECT_EQ(launcher::ClockText(std::chrono::duration<double>(91.2)), "1:32");
  EXPECT_EQ(launcher::ClockText(3723s), "1:02:03");
}

}  // namespace
