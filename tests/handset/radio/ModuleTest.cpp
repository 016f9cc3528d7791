// The module's state machine, driven directly: bytes in, answers out.
#include "radio/Module.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "TestImages.h"
#include "radio/Switches.h"

namespace {

using namespace std::chrono_literals;
using radio::LineCondition;
using radio::Module;
using radio::Output;
using radio::Phase;
using radio::PhaseFaults;
using radiotest::TheImages;
using Bytes = std::vector<uint8_t>;

struct Harness {
  explicit Harness(radio::ModuleConfig config = {}) : module(std::move(config)) {}

  Module module;
  kernel::TimePoint now{std::chrono::seconds(1000)};
  std::vector<std::string> log;

  Output Feed(const Bytes& bytes) {
    Output out = module.Receive(bytes, now);
    log.insert(log.end(), out.log.begin(), out.log.end());
    return out;
  }
  Output Feed(std::string_view text) { return Feed(Bytes(text.begin(), text.end())); }
  Output Reset() {
    Output out = module.Reset(now);
    log.insert(log.end(), out.log.begin(), out.log.end());
    return out;
  }
  // Reset and wake the loader; true when it answered 0xA0.
  bool Wake() {
    Reset();
    return Data(Feed(Bytes{0x55})) == Bytes{0xA0};
  }
  static Bytes Data(const Output& out) {
    Bytes data;
    for (const auto& e : out.emissions) data.insert(data.end(), e.bytes.begin(), e.bytes.end());
    return data;
  }
  static std::vector<LineCondition> Conditions(const Output& out) {
    std::vector<LineCondition> c;
    for (const auto& e : out.emissions) {
      if (e.condition) c.push_back(*e.condition);
    }
    return c;
  }
  static std::string Text(const Output& out) {
    Bytes d = Data(out);
    return std::string(d.begin(), d.end());
  }
  // Runs the whole update; returns the index of the first step whose answer
  // differed (steps.size() when all matched).
  size_t RunUpdate(const std::vector<radiotest::WireStep>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      if (Data(Feed(steps[i].bytes)) != steps[i].answer) return i;
    }
    return steps.size();
  }
};

const std::vector<radiotest::WireStep>& Wire() {
  static const auto* steps = new std::vector<radiotest::WireStep>(radiotest::UpdateWire(TheImages()));
  return *steps;
}

// Steps of the wire: 0 stage 1; 1-8 stage 2; 9 memory check; 10 size record;
// 11-634 image sections (the last carrying the check bytes).
constexpr size_t kStage2Last = 8;
constexpr size_t kMemoryCheck = 9;
constexpr size_t kSizeRecord = 10;
constexpr size_t kFirstImage = 11;

// ---------------------------------------------------------------- firmware

TEST(ModuleFirmware, AnswersAtCommandsWithoutEcho) {
  Harness h;
  EXPECT_EQ(Harness::Text(h.Feed("AT\r")), "\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("at\r")), "\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT+NOSUCH\r")), "\r\nERROR\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("ATI\r")), "\r\nEmulated GSM/GPRS radio module\r\n\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT+CSQ\r")), "\r\n+CSQ: 20,0\r\n\r\nOK\r\n");
  // Bytes of a line are collected up to "\r", across reads; nothing before.
  EXPECT_TRUE(Harness::Data(h.Feed("A")).empty());
  EXPECT_TRUE(Harness::Data(h.Feed("T+CG")).empty());
  EXPECT_EQ(Harness::Text(h.Feed("MR\r")).substr(0, 6), "\r\nREV ");
  // A "\n" after "\r" is not a command.
  EXPECT_EQ(Harness::Text(h.Feed("AT\r\n")), "\r\nOK\r\n");
  EXPECT_EQ(h.module.GetRecord().atCommands, 7u);
}

TEST(ModuleFirmware, IgnoresTextWithoutAttentionPrefixAndOverlongLines) {
  Harness h;
  // The wake-up stream before a reset is noise to the firmware.
  EXPECT_TRUE(Harness::Data(h.Feed(Bytes(3000, 0x55))).empty());
  EXPECT_TRUE(Harness::Data(h.Feed("hello\r")).empty());
  // The prefix is found behind noise.
  EXPECT_EQ(Harness::Text(h.Feed("UUUUAT\r")), "\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AAT\r")), "\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT" + std::string(600, 'X') + "\r")), "\r\nERROR\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT\r")), "\r\nOK\r\n");
}

TEST(ModuleFirmware, EchoOnlyWhenAsked) {
  Harness h;
  EXPECT_EQ(Harness::Text(h.Feed("ATE1\r")), "\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT\r")), "AT\r\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("ATE0\r")), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT\r")), "\r\nOK\r\n");
}

TEST(ModuleFirmware, SuspendTurnsTheRadioPartOffAndSurvivesReset) {
  Harness h;
  h.module.SetRadioSuspended(true);
  EXPECT_EQ(Harness::Text(h.Feed("AT+CSQ\r")), "\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT+CFUN?\r")), "\r\n+CFUN: 4\r\n\r\nOK\r\n");
  EXPECT_EQ(Harness::Text(h.Feed("AT\r")), "\r\nOK\r\n");
  // A reset restarts the module, not the driver's setting.
  h.Reset();
  h.now += 3s;
  EXPECT_EQ(Harness::Text(h.Feed("AT+CFUN?\r")), "\r\n+CFUN: 4\r\n\r\nOK\r\n");
  EXPECT_TRUE(h.module.GetRecord().firmwareStarts == 2);
  h.module.SetRadioSuspended(false);
  EXPECT_EQ(Harness::Text(h.Feed("AT+CSQ\r")), "\r\n+CSQ: 20,0\r\n\r\nOK\r\n");
}

// -------------------------------------------------------------- boot window

TEST(ModuleBootWindow, AnswersTheFirstWakeByteWithinTheWindow) {
  Harness h;
  h.Reset();
  EXPECT_EQ(h.module.NextTimer(), h.now + 2s);
  h.now += 1900ms;
  // Other bytes are not answered; the first 0x55 is, once.
  EXPECT_TRUE(Harness::Data(h.Feed(Bytes{0x00, 0x12, 'A', 'T', '\r'})).empty());
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{0x55, 0x55, 0x55})), Bytes{0xA0});
  EXPECT_EQ(h.module.NextTimer(), kernel::kNever);
  EXPECT_EQ(h.module.GetRecord().skippedWakeBytes, 2u);
  EXPECT_EQ(h.module.GetRecord()[Phase::WakeUp].reached, 1u);
}

TEST(ModuleBootWindow, WithoutWakeByteTheFirmwareStarts) {
  Harness h;
  h.Reset();
  EXPECT_TRUE(Harness::Data(h.Feed("AT\r")).empty());  // the loader does not speak AT
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Loader);
  h.now += 2s;
  EXPECT_TRUE(h.module.Tick(h.now).emissions.empty());
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Firmware);
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{0x55})), Bytes{});  // too late for the loader
  EXPECT_EQ(Harness::Text(h.Feed("AT\r")), "\r\nOK\r\n");
}

TEST(ModuleBootWindow, LateWakeByteTakenWithTheTimerStillPendingGoesToTheFirmware) {
  Harness h;
  h.Reset();
  h.now += 2001ms;  // no Tick in between: the byte arrives after the window
  EXPECT_TRUE(Harness::Data(h.Feed(Bytes{0x55})).empty());
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Firmware);
}

TEST(ModuleBootWindow, SkipsExtraWakeBytesThenTakesStageOne) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  // The host needs a moment to stop its wake-up stream.
  h.now += 30ms;
  EXPECT_TRUE(Harness::Data(h.Feed(Bytes(4, 0x55))).empty());
  EXPECT_EQ(Harness::Data(h.Feed(Wire()[0].bytes)), Bytes{0xA5});
  EXPECT_EQ(h.module.GetRecord().skippedWakeBytes, 4u);
}

TEST(ModuleBootWindow, RepeatsTheAnswerWhenWakeBytesKeepComing) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  h.now += 400ms;
  EXPECT_TRUE(Harness::Data(h.Feed(Bytes{0x55})).empty());
  h.now += 200ms;  // 600 ms after the answer: it was lost
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{0x55, 0x55})), Bytes{0xA0});
  EXPECT_EQ(h.module.GetRecord().wakeRepeats, 1u);
  EXPECT_EQ(Harness::Data(h.Feed(Wire()[0].bytes)), Bytes{0xA5});
}

TEST(ModuleBootWindow, WithoutValidImageTheLoaderKeepsListening) {
  radio::ModuleConfig config;
  config.initialFlashValid = false;
  Harness h(config);
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Loader);
  EXPECT_TRUE(Harness::Data(h.Feed("AT\r")).empty());
  h.now += 1h;
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{0x55})), Bytes{0xA0});
}

// ------------------------------------------------------------- the update

TEST(ModuleUpdate, GeneratedImagesEndInTheFlash) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  ASSERT_EQ(h.RunUpdate(Wire()), Wire().size());
  EXPECT_TRUE(h.module.FlashHolds(TheImages().firmware));
  radio::Record r = h.module.GetRecord();
  EXPECT_EQ(r.state, radio::State::Done);
  EXPECT_EQ(r.imagesWritten, 1u);
  EXPECT_EQ(r.refusals, 0u);
  // Answers: 7 and 623 full sections; every byte of each phase accounted for.
  EXPECT_EQ(r[Phase::Stage2Sections].answers, 7u);
  EXPECT_EQ(r[Phase::ImageSections].answers, 623u);
  EXPECT_EQ(r[Phase::Stage1].bytesReceived, 186u);
  EXPECT_EQ(r[Phase::Stage2Sections].bytesReceived, 2u + 7414u);
  EXPECT_EQ(r[Phase::Stage2Check].bytesReceived, 1u);
  EXPECT_EQ(r[Phase::MemoryCheck].bytesReceived, 1u);
  EXPECT_EQ(r[Phase::SizeRecord].bytesReceived, 4u);
  EXPECT_EQ(r[Phase::ImageLength].bytesReceived, 3u);
  EXPECT_EQ(r[Phase::ImageSections].bytesReceived, 2493720u);
  EXPECT_EQ(r[Phase::FinalCheck].bytesReceived, 2u);
  for (Phase p : radio::kAllPhases) EXPECT_EQ(r[p].reached, 1u) << radio::PhaseName(p);
  // After the image the loader waits for a reset; then the new firmware runs.
  EXPECT_TRUE(Harness::Data(h.Feed("AT\r")).empty());
  h.Reset();
  h.now += 2s;
  std::string rev = Harness::Text(h.Feed("AT+CGMR\r"));
  EXPECT_NE(rev.find("REV 2493720-"), std::string::npos) << rev;
}

TEST(ModuleUpdate, AnswersOnlyOnceTheStepsLastByteHasArrived) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i < kFirstImage + 1; ++i) {
    const Bytes& step = Wire()[i].bytes;
    Bytes head(step.begin(), step.end() - 1);
    EXPECT_TRUE(Harness::Data(h.Feed(head)).empty()) << "step " << i;
    EXPECT_EQ(Harness::Data(h.Feed(Bytes{step.back()})), Wire()[i].answer) << "step " << i;
  }
}

TEST(ModuleUpdate, ByteByByteGivesTheSameAnswers) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i <= kSizeRecord; ++i) {
    Bytes answers;
    for (uint8_t b : Wire()[i].bytes) {
      Bytes a = Harness::Data(h.Feed(Bytes{b}));
      answers.insert(answers.end(), a.begin(), a.end());
    }
    EXPECT_EQ(answers, Wire()[i].answer) << "step " << i;
  }
}

TEST(ModuleUpdate, AnImageFillingItsLastSectionGetsAnAnswerForIt) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i <= kSizeRecord; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer);
  Bytes image = radiotest::RandomBytes(8000, 9);
  EXPECT_TRUE(Harness::Data(h.Feed(Bytes{0x00, 0x1F, 0x40})).empty());
  EXPECT_EQ(Harness::Data(h.Feed(Bytes(image.begin(), image.begin() + 4000))), Bytes{0xAA});
  EXPECT_EQ(Harness::Data(h.Feed(Bytes(image.begin() + 4000, image.end()))), Bytes{0xAA});
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{radiotest::Xor(image, 0, 2), radiotest::Xor(image, 1, 2)})), Bytes{0xA5});
  EXPECT_TRUE(h.module.FlashHolds(image));
}

// ------------------------------------------------------------- refusals

struct BadInput {
  const char* name;
  size_t step;             // the wire step to spoil (earlier steps go through)
  size_t offset;           // the first byte to replace, from the step's start
  uint8_t value;           // what goes there
  size_t count;            // how many bytes get it
  Phase phase;             // where the refusal is recorded
  size_t refusedStep = 0;  // the step whose end brings the refusal (0: `step`)
  uint8_t flip = 0;        // when set: the bytes are XORed with it instead (`value` unused)
};

void PrintTo(const BadInput& bad, std::ostream* out) { *out << bad.name; }

class ModuleRefusal : public ::testing::TestWithParam<BadInput> {};

TEST_P(ModuleRefusal, RefusesThenStaysSilentUntilReset) {
  const BadInput& bad = GetParam();
  Harness h;
  h.module.LoadFlash(radiotest::RandomBytes(100, 5), true);
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i < bad.step; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer);
  Bytes step = Wire()[bad.step].bytes;
  for (size_t i = bad.offset; i < bad.offset + bad.count; ++i) step[i] = bad.flip ? step[i] ^ bad.flip : bad.value;
  Output out = h.Feed(step);
  // Bytes that the module cannot yet tell from good ones are answered as usual.
  size_t refusedStep = bad.refusedStep ? bad.refusedStep : bad.step;
  for (size_t i = bad.step + 1; i <= refusedStep; ++i) {
    EXPECT_EQ(Harness::Data(out), Wire()[i - 1].answer);
    out = h.Feed(Wire()[i].bytes);
  }
  EXPECT_EQ(Harness::Conditions(out), std::vector<LineCondition>{LineCondition::Break});
  EXPECT_TRUE(Harness::Data(out).empty());
  radio::Record r = h.module.GetRecord();
  EXPECT_EQ(r.state, radio::State::Refused);
  EXPECT_EQ(r[bad.phase].refusals, 1u);
  EXPECT_EQ(r.refusals, 1u);
  // Everything, wake-up bytes included, is ignored until the next reset.
  for (size_t i = refusedStep + 1; i < std::min(Wire().size(), refusedStep + 4); ++i) {
    EXPECT_TRUE(h.Feed(Wire()[i].bytes).emissions.empty());
  }
  h.now += 5s;
  EXPECT_TRUE(h.Feed(Bytes(50, 0x55)).emissions.empty());
  EXPECT_TRUE(h.Feed("AT\r").emissions.empty());
  // A refused or cut-off image leaves no valid image; earlier refusals
  // leave the flash alone.
  bool imageStarted = bad.step >= kFirstImage && !(bad.step == kFirstImage && bad.offset < 3);
  EXPECT_EQ(h.module.Flash().valid, !imageStarted);
  ASSERT_TRUE(h.Wake());
  EXPECT_EQ(Harness::Data(h.Feed(Wire()[0].bytes)), Bytes{0xA5});
}

const size_t kLastImage = 11 + 623;
INSTANTIATE_TEST_SUITE_P(
    BadChecksAndLengths, ModuleRefusal,
    ::testing::Values(BadInput{"Stage1Check", 0, 185, 0x00, 1, Phase::Stage1},
                      BadInput{"Stage1LengthZero", 0, 0, 0x00, 1, Phase::Stage1},
                      BadInput{"Stage2Check", kStage2Last, 414, 0x00, 1, Phase::Stage2Check},
                      BadInput{"Stage2LengthZero", 1, 0, 0x00, 2, Phase::Stage2Sections},
                      BadInput{"Stage2LengthTooLong", 1, 0, 0x41, 1, Phase::Stage2Sections},
                      BadInput{"MemoryCommandWrong", kMemoryCheck, 0, 0x51, 1, Phase::MemoryCheck},
                      BadInput{"SizeCommandWrong", kSizeRecord, 0, 0x55, 1, Phase::SizeRecord},
                      BadInput{"SizeRecordZero", kSizeRecord, 1, 0x00, 3, Phase::SizeRecord},
                      BadInput{"SizeRecordBeyondFlash", kSizeRecord, 1, 0x41, 1, Phase::SizeRecord},
                      BadInput{"ImageLengthZero", kFirstImage, 0, 0x00, 3, Phase::ImageLength},
                      BadInput{"ImageLengthBeyondRecord", kFirstImage, 0, 0x40, 1, Phase::ImageLength},
                      BadInput{"EvenCheck", kLastImage, 1720 + 0, 0x48, 1, Phase::FinalCheck},
                      BadInput{"OddCheck", kLastImage, 1720 + 1, 0x25, 1, Phase::FinalCheck},
                      BadInput{"ImageByteFlipped", kLastImage - 5, 17, 0x00, 1, Phase::FinalCheck, kLastImage, 0x01},
                      // Check bytes that are wrong only in their top bit: the
                      // loader compares all eight bits.
                      BadInput{"Stage1CheckTopBit", 0, 185, 0x00, 1, Phase::Stage1, 0, 0x80},
                      BadInput{"Stage2CheckTopBit", kStage2Last, 414, 0x00, 1, Phase::Stage2Check, 0, 0x80},
                      BadInput{"EvenCheckTopBit", kLastImage, 1720 + 0, 0x00, 1, Phase::FinalCheck, 0, 0x80},
                      BadInput{"OddCheckTopBit", kLastImage, 1720 + 1, 0x00, 1, Phase::FinalCheck, 0, 0x80},
                      BadInput{"ImageByteTopBit", kLastImage - 5, 17, 0x00, 1, Phase::FinalCheck, kLastImage, 0x80}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModuleRefusal, ImageLengthUpToTheRecordIsAccepted) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i <= kSizeRecord; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer);
  EXPECT_TRUE(h.Feed(Bytes{0x3F, 0xA0, 0x00}).emissions.empty());
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Transfer);
  EXPECT_EQ(h.module.GetRecord().phase, Phase::ImageSections);
}

TEST(ModuleRefusal, RefusalKindIsASwitch) {
  for (LineCondition kind : {LineCondition::FramingError, LineCondition::ParityError, LineCondition::Overrun}) {
    Harness h;
    h.module.SetRefusal(kind);
    ASSERT_TRUE(h.Wake());
    Bytes frame = Wire()[0].bytes;
    frame.back() ^= 1;
    EXPECT_EQ(Harness::Conditions(h.Feed(frame)), std::vector<LineCondition>{kind});
  }
}

// --------------------------------------------------------------- switches

TEST(ModuleSwitches, NoiseComesBeforeEveryAwaitedByteAndNeverIsIt) {
  Harness h;
  for (Phase p : radio::kAllPhases) h.module.SetFaults(p, PhaseFaults{.noiseBytes = 40});
  h.Reset();
  Bytes a = Harness::Data(h.Feed(Bytes{0x55}));
  ASSERT_EQ(a.size(), 41u);
  EXPECT_EQ(a.back(), 0xA0);
  EXPECT_EQ(std::count(a.begin(), a.end(), 0xA0), 1);
  for (size_t i = 0; i < Wire().size(); ++i) {
    Bytes got = Harness::Data(h.Feed(Wire()[i].bytes));
    const Bytes& want = Wire()[i].answer;
    uint8_t awaited = want.back();
    // Each awaited byte is preceded by its own 40 noise bytes.
    size_t units = static_cast<size_t>(std::count(want.begin(), want.end(), awaited));
    ASSERT_EQ(got.size(), want.size() + 40 * units) << "step " << i;
    EXPECT_EQ(static_cast<size_t>(std::count(got.begin(), got.end(), awaited)), units) << "step " << i;
    EXPECT_EQ(got.back(), awaited);
  }
  EXPECT_TRUE(h.module.FlashHolds(TheImages().firmware));
  EXPECT_EQ(h.module.GetRecord()[Phase::SizeRecord].noiseBytes, 120u);
}

// Garbled bytes come after the noise, just before every awaited byte, in
// the same emission as the answer, flagged as garbled; the answer itself is
// never garbled nor ever among them.
TEST(ModuleSwitches, GarbledBytesComeJustBeforeEveryAwaitedByteAndNeverAreIt) {
  Harness h;
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(h.module, "garble@all=2", &error)) << error;
  ASSERT_TRUE(radio::ApplySwitch(h.module, "noise@size-record=1", &error)) << error;
  for (Phase p : radio::kAllPhases) EXPECT_EQ(h.module.Faults(p).garbledBytes, 2u);
  h.Reset();
  Output wake = h.Feed(Bytes{0x55});
  ASSERT_EQ(wake.emissions.size(), 1u);
  EXPECT_EQ(wake.emissions[0].bytes.size(), 3u);
  EXPECT_EQ(wake.emissions[0].bytes.back(), 0xA0);
  EXPECT_EQ(wake.emissions[0].garbled, (std::vector<bool>{true, true, false}));
  for (size_t i = 0; i < Wire().size(); ++i) {
    Output out = h.Feed(Wire()[i].bytes);
    const Bytes& want = Wire()[i].answer;
    if (want.empty()) continue;
    ASSERT_EQ(out.emissions.size(), 1u) << "step " << i;
    const radio::Emission& e = out.emissions[0];
    ASSERT_EQ(e.garbled.size(), e.bytes.size()) << "step " << i;
    // What is left once the garbled bytes are dropped is the clean answer
    // (and the noise before each awaited byte).
    Bytes clean;
    size_t garbled = 0;
    for (size_t k = 0; k < e.bytes.size(); ++k) {
      if (!e.garbled[k]) {
        clean.push_back(e.bytes[k]);
        continue;
      }
      ++garbled;
      EXPECT_NE(e.bytes[k], want.back()) << "step " << i;
      ASSERT_LT(k + 1, e.bytes.size());
    }
    const size_t units = static_cast<size_t>(std::count(want.begin(), want.end(), want.back()));
    EXPECT_EQ(garbled, 2 * units) << "step " << i;
    if (i == kSizeRecord) {
      EXPECT_EQ(clean.size(), want.size() + units);
      EXPECT_EQ(e.garbled[0], false);  // the noise first, then the garbled bytes
      EXPECT_EQ(e.garbled[1], true);
    } else {
      EXPECT_EQ(clean, want) << "step " << i;
    }
  }
  EXPECT_TRUE(h.module.FlashHolds(TheImages().firmware));
  EXPECT_EQ(h.module.GetRecord()[Phase::SizeRecord].garbledBytes, 6u);
  EXPECT_EQ(h.module.GetRecord()[Phase::WakeUp].garbledBytes, 2u);
  EXPECT_EQ(h.module.GetRecord().refusals, 0u);
  // Like the noise, a value is required.
  EXPECT_FALSE(radio::ApplySwitch(h.module, "garble@stage1", &error));
  EXPECT_NE(error.find("garble@PHASE=N"), std::string::npos);
  EXPECT_NE(radio::SwitchHelp().find("garble@PHASE=N"), std::string::npos);
}

TEST(ModuleSwitches, RefuseAStageNTimesThenAccept) {
  Harness h;
  h.module.SetFaults(Phase::Stage1, PhaseFaults{.refuse = 2});
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_TRUE(h.Wake());
    EXPECT_EQ(Harness::Conditions(h.Feed(Wire()[0].bytes)).size(), 1u) << attempt;
    EXPECT_TRUE(h.Feed(Wire()[1].bytes).emissions.empty());
  }
  ASSERT_TRUE(h.Wake());
  EXPECT_EQ(Harness::Data(h.Feed(Wire()[0].bytes)), Bytes{0xA5});
  EXPECT_EQ(h.module.GetRecord()[Phase::Stage1].refusals, 2u);
  EXPECT_EQ(h.module.Faults(Phase::Stage1).refuse, 0u);
}

TEST(ModuleSwitches, RefuseTheImage) {
  Harness h;
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(h.module, "refuse-image", &error)) << error;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_TRUE(h.Wake());
    size_t failed = h.RunUpdate(Wire());
    EXPECT_EQ(failed, Wire().size() - 1);
    EXPECT_FALSE(h.module.Flash().valid);
  }
  EXPECT_EQ(h.module.GetRecord()[Phase::FinalCheck].refusals, 2u);
}

TEST(ModuleSwitches, EveryPhaseCanRefuse) {
  for (Phase p : radio::kAllPhases) {
    if (p == Phase::ImageLength) continue;  // has no answer
    Harness h;
    h.module.SetFaults(p, PhaseFaults{.refuse = 1});
    h.Reset();
    std::vector<Bytes> inputs{{0x55}};
    for (const auto& s : Wire()) inputs.push_back(s.bytes);
    size_t refusedAt = inputs.size();
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (!Harness::Conditions(h.Feed(inputs[i])).empty()) {
        refusedAt = i;
        break;
      }
    }
    EXPECT_LT(refusedAt, inputs.size()) << radio::PhaseName(p);
    EXPECT_EQ(h.module.GetRecord()[p].refusals, 1u) << radio::PhaseName(p);
    EXPECT_EQ(h.module.GetRecord().state, radio::State::Refused);
  }
}

TEST(ModuleSwitches, LineEventTakesTheAnswersPlaceAndTheLoaderGoesOn) {
  Harness h;
  h.module.SetFaults(Phase::ImageSections, PhaseFaults{.lineEvents = 3, .lineEvent = LineCondition::ParityError});
  ASSERT_TRUE(h.Wake());
  size_t events = 0;
  for (const auto& step : Wire()) {
    Output out = h.Feed(step.bytes);
    if (!Harness::Conditions(out).empty()) {
      ++events;
      EXPECT_EQ(Harness::Conditions(out)[0], LineCondition::ParityError);
      EXPECT_TRUE(Harness::Data(out).empty());
    } else {
      EXPECT_EQ(Harness::Data(out), step.answer);
    }
  }
  EXPECT_EQ(events, 3u);
  EXPECT_TRUE(h.module.FlashHolds(TheImages().firmware));
  EXPECT_EQ(h.module.GetRecord()[Phase::ImageSections].lineEvents, 3u);
}

TEST(ModuleSwitches, LostWakeAnswerIsRepeated) {
  Harness h;
  h.module.SetFaults(Phase::WakeUp, PhaseFaults{.lineEvents = 1});
  h.Reset();
  Output first = h.Feed(Bytes{0x55});
  EXPECT_EQ(Harness::Conditions(first), std::vector<LineCondition>{LineCondition::Break});
  h.now += 10ms;
  EXPECT_TRUE(h.Feed(Bytes{0x55}).emissions.empty());
  h.now += 600ms;
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{0x55})), Bytes{0xA0});
}

TEST(ModuleSwitches, SilentAtAPhaseUntilReset) {
  Harness h;
  h.module.SetFaults(Phase::MemoryCheck, PhaseFaults{.silent = 1});
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i < kMemoryCheck; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer);
  EXPECT_TRUE(h.Feed(Wire()[kMemoryCheck].bytes).emissions.empty());
  EXPECT_TRUE(h.Feed(Wire()[kSizeRecord].bytes).emissions.empty());
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Silent);
  EXPECT_EQ(h.module.GetRecord().phase, Phase::MemoryCheck);
  // The count ran out: the next attempt goes through.
  ASSERT_TRUE(h.Wake());
  EXPECT_EQ(h.RunUpdate(Wire()), Wire().size());
}

// A loader that stops answering part way: the given number of answers of
// the phase, then silence until the next reset, which ends the switch.
TEST(ModuleSwitches, StopAfterSomeAnswersThenSilentUntilReset) {
  Harness h;
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(h.module, "stop@image-sections=2", &error)) << error;
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i < kFirstImage + 2; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer) << i;
  EXPECT_TRUE(h.Feed(Wire()[kFirstImage + 2].bytes).emissions.empty());
  EXPECT_TRUE(h.Feed(Wire()[kFirstImage + 3].bytes).emissions.empty());
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Silent);
  EXPECT_EQ(h.module.GetRecord()[Phase::ImageSections].answers, 2u);
  ASSERT_TRUE(h.Wake());
  EXPECT_EQ(h.RunUpdate(Wire()), Wire().size());
  EXPECT_TRUE(h.module.FlashHolds(TheImages().firmware));
}

// A loader that answers the wake-up once per reset: a lost answer is not
// sent again however long 0x55 keeps coming; a reset brings a new one.
TEST(ModuleSwitches, WakeAnswerOnceIsNeverRepeated) {
  Harness h;
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(h.module, "wake-answer=once", &error)) << error;
  ASSERT_TRUE(h.Wake());
  for (int i = 0; i < 10; ++i) {
    h.now += 600ms;
    EXPECT_TRUE(h.Feed(Bytes{0x55}).emissions.empty());
  }
  EXPECT_EQ(h.module.GetRecord().wakeRepeats, 0u);
  ASSERT_TRUE(h.Wake());
  EXPECT_EQ(h.RunUpdate(Wire()), Wire().size());
  ASSERT_TRUE(radio::ApplySwitch(h.module, "wake-answer=repeat", &error)) << error;
  EXPECT_FALSE(radio::ApplySwitch(h.module, "wake-answer=twice", &error));
  EXPECT_NE(error.find("'once' or 'repeat'"), std::string::npos) << error;
}

// Powered up in its loader, as a module held there or power-cycled by hand:
// it listens for 0x55 without a reset and without a boot window.
TEST(ModuleSwitches, PowerOnInTheLoaderListensWithoutAReset) {
  radio::ModuleConfig config;
  config.powerOnInLoader = true;
  Harness h(config);
  EXPECT_EQ(h.module.GetRecord().state, radio::State::Loader);
  EXPECT_EQ(h.module.NextTimer(), kernel::kNever);
  h.now += 3600s;
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{0x55})), Bytes{0xA0});
  EXPECT_EQ(h.RunUpdate(Wire()), Wire().size());
  EXPECT_TRUE(h.module.FlashHolds(TheImages().firmware));
}

TEST(ModuleSwitches, SlowAnswersCarryTheirDelay) {
  Harness h;
  h.module.SetFaults(Phase::Stage1, PhaseFaults{.delay = 750ms});
  h.module.SetFaults(Phase::Stage2Sections, PhaseFaults{.lineEvents = 1, .delay = 20ms});
  ASSERT_TRUE(h.Wake());
  Output out = h.Feed(Wire()[0].bytes);
  ASSERT_EQ(out.emissions.size(), 1u);
  EXPECT_EQ(out.emissions[0].delay, 750ms);
  out = h.Feed(Wire()[1].bytes);
  ASSERT_EQ(out.emissions.size(), 1u);
  EXPECT_TRUE(out.emissions[0].condition.has_value());
  EXPECT_EQ(out.emissions[0].delay, 20ms);
  EXPECT_EQ(h.Feed(Wire()[2].bytes).emissions.at(0).delay, 20ms);
}

TEST(ModuleSwitches, ClearTurnsEverythingOff) {
  Harness h;
  std::string error;
  for (const char* spec :
       {"noise@all=3", "refuse@stage1=always", "refusal=overrun", "silent@wake-up", "flip-image=2"}) {
    ASSERT_TRUE(radio::ApplySwitch(h.module, spec, &error)) << error;
  }
  ASSERT_TRUE(radio::ApplySwitch(h.module, "clear", &error));
  for (Phase p : radio::kAllPhases) EXPECT_EQ(h.module.Faults(p), PhaseFaults{});
  EXPECT_EQ(h.module.Refusal(), LineCondition::Break);
  ASSERT_TRUE(h.Wake());
  EXPECT_EQ(h.RunUpdate(Wire()), Wire().size());
  EXPECT_TRUE(h.module.FlashHolds(TheImages().firmware));
}

// flip-image: two bytes of one lane of the chosen section arrive with one
// bit flipped. The image's two XOR checks cannot see it: every answer is
// the usual one, 0xA5 at the end, and the flash holds the damaged image.
TEST(ModuleSwitches, FlippedBitsInOneLanePassTheChecksAndEndInTheFlash) {
  const Bytes& image = TheImages().firmware;
  const size_t section = 4000;
  for (uint32_t chosen : {1u, 301u, 624u}) {  // the first, one in the middle, the last (1720 bytes)
    SCOPED_TRACE("flip-image=" + std::to_string(chosen));
    Harness h;
    std::string error;
    ASSERT_TRUE(radio::ApplySwitch(h.module, "flip-image=" + std::to_string(chosen), &error)) << error;
    ASSERT_TRUE(h.Wake());
    ASSERT_EQ(h.RunUpdate(Wire()), Wire().size());
    radio::Record r = h.module.GetRecord();
    EXPECT_EQ(r.refusals, 0u);
    EXPECT_EQ(r.imagesWritten, 1u);

    radio::FlashContents flash = h.module.Flash();
    ASSERT_TRUE(flash.valid);
    ASSERT_EQ(flash.bytes.size(), image.size());
    std::vector<uint32_t> differ;
    for (size_t i = 0; i < image.size(); ++i) {
      if (flash.bytes[i] != image[i]) differ.push_back(static_cast<uint32_t>(i));
    }
    ASSERT_EQ(differ.size(), 2u);
    for (uint32_t at : differ) {
      EXPECT_EQ(at / section, chosen - 1) << at;
      EXPECT_EQ(std::popcount(static_cast<unsigned>(flash.bytes[at] ^ image[at])), 1) << at;
    }
    EXPECT_EQ(differ[0] % 2, differ[1] % 2) << "not one lane";
    EXPECT_EQ(radiotest::Xor(flash.bytes, 0, 2), radiotest::Xor(image, 0, 2));
    EXPECT_EQ(radiotest::Xor(flash.bytes, 1, 2), radiotest::Xor(image, 1, 2));
    ASSERT_TRUE(r.flipped.has_value());
    EXPECT_EQ(*r.flipped, (std::array<uint32_t, 2>{differ[0], differ[1]}));
  }
}

// A section without a third byte damages nothing: one flip alone would be
// seen by the checks. The image here has 4002 bytes, section 2 two of them.
TEST(ModuleSwitches, AFlipNeedsTwoBytesOfALaneInItsSection) {
  Harness h;
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(h.module, "flip-image=2", &error)) << error;
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i <= kSizeRecord; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer);
  Bytes image = radiotest::RandomBytes(4002, 5);
  EXPECT_TRUE(Harness::Data(h.Feed(Bytes{0x00, 0x0F, 0xA2})).empty());
  EXPECT_EQ(Harness::Data(h.Feed(image)), Bytes{0xAA});
  EXPECT_EQ(Harness::Data(h.Feed(Bytes{radiotest::Xor(image, 0, 2), radiotest::Xor(image, 1, 2)})), Bytes{0xA5});
  EXPECT_TRUE(h.module.FlashHolds(image));
  EXPECT_FALSE(h.module.GetRecord().flipped.has_value());
}

TEST(ModuleSwitchText, SpecsSetTheirSwitches) {
  Module m;
  std::string error;
  for (const char* spec : {"noise@stage1=4", "delay@final-check=250", "refuse@stage2", "silent@memory-check=always",
                           "parity@image-sections=2", "refusal=overrun"}) {
    ASSERT_TRUE(radio::ApplySwitch(m, spec, &error)) << spec << ": " << error;
  }
  EXPECT_EQ(m.Faults(Phase::Stage1).noiseBytes, 4u);
  EXPECT_EQ(m.Faults(Phase::FinalCheck).delay, 250ms);
  EXPECT_EQ(m.Faults(Phase::Stage2Check).refuse, 1u);
  EXPECT_EQ(m.Faults(Phase::MemoryCheck).silent, radio::kAlways);
  EXPECT_EQ(m.Faults(Phase::ImageSections).lineEvents, 2u);
  EXPECT_EQ(m.Faults(Phase::ImageSections).lineEvent, LineCondition::ParityError);
  EXPECT_EQ(m.Refusal(), LineCondition::Overrun);
  ASSERT_TRUE(radio::ApplySwitch(m, "delay@all=30", &error));
  for (Phase p : radio::kAllPhases) EXPECT_EQ(m.Faults(p).delay, 30ms);
  // Switches of one phase leave its others alone.
  EXPECT_EQ(m.Faults(Phase::Stage1).noiseBytes, 4u);
}

TEST(ModuleSwitchText, BootWindowSwitch) {
  Harness h;
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(h.module, "boot-window=500", &error)) << error;
  h.Reset();
  EXPECT_EQ(h.module.NextTimer(), h.now + 500ms);
  h.now += 500ms;
  EXPECT_EQ(Harness::Text(h.Feed("AT\r")), "\r\nOK\r\n");
}

TEST(ModuleSwitchText, BadSpecsChangeNothingAndSayWhy) {
  Module m;
  struct Bad {
    const char* spec;
    const char* why;
  };
  for (Bad bad : {Bad{"", "unknown switch"}, Bad{"frobnicate", "unknown switch"}, Bad{"noise@stage1", "needs a number"},
                  Bad{"delay@stage1=abc", "needs a number"}, Bad{"noise@nowhere=1", "unknown phase 'nowhere'"},
                  Bad{"refuse@stage1=-1", "count"}, Bad{"refuse@stage1=4294967295", "count"},
                  Bad{"refuse@image-length", "no answer"}, Bad{"refusal=loud", "break, framing, parity, overrun"},
                  Bad{"boot-window=0", "above 0"}, Bad{"clear=1", "unknown switch"},
                  Bad{"stop@image-sections", "needs a number"}, Bad{"stop@image-sections=always", "needs a number"}}) {
    std::string error;
    EXPECT_FALSE(radio::ApplySwitch(m, bad.spec, &error)) << bad.spec;
    EXPECT_NE(error.find(bad.why), std::string::npos) << bad.spec << ": " << error;
  }
  for (Phase p : radio::kAllPhases) EXPECT_EQ(m.Faults(p), PhaseFaults{});
}

// Every kind of phase switch reaches its own field, with its own condition.
TEST(ModuleSwitchText, EachKindSetsItsOwnField) {
  struct Kind {
    const char* spec;
    PhaseFaults expected;
  };
  PhaseFaults breaks, framing, overrun;
  breaks.lineEvents = 3;
  framing.lineEvent = LineCondition::FramingError;
  framing.lineEvents = 1;
  overrun.lineEvent = LineCondition::Overrun;
  overrun.lineEvents = radio::kAlways;
  for (Kind kind :
       {Kind{"noise@stage2=7", {.noiseBytes = 7}}, Kind{"delay@stage2=9", {.delay = 9ms}},
        Kind{"refuse@stage2=3", {.refuse = 3}}, Kind{"silent@stage2", {.silent = 1}},
        Kind{"stop@stage2=0", {.silentAt = 1}}, Kind{"stop@stage2=4", {.silentAt = 5}}, Kind{"break@stage2=3", breaks},
        Kind{"framing@stage2", framing}, Kind{"overrun@stage2=always", overrun}}) {
    Module m;
    std::string error;
    ASSERT_TRUE(radio::ApplySwitch(m, kind.spec, &error)) << kind.spec << ": " << error;
    for (Phase p : radio::kAllPhases) {
      EXPECT_EQ(m.Faults(p), p == Phase::Stage2Check ? kind.expected : PhaseFaults{}) << kind.spec;
    }
  }
}

TEST(ModuleSwitchText, KindsAndValuesThatDoNotFitAreRefused) {
  Module m;
  struct Bad {
    const char* spec;
    const char* why;
  };
  for (Bad bad : {Bad{"refuse-image=1", "unknown switch"}, Bad{"frobnicate@stage1=1", "unknown switch"},
                  Bad{"frobnicate@nowhere=1", "unknown phase 'nowhere'"}, Bad{"frobnicate@image-length", "no answer"},
                  Bad{"wake-answer=twice", "'once' or 'repeat'"}, Bad{"wake-answer", "'once' or 'repeat'"},
                  Bad{"refusal", "break, framing, parity, overrun"}, Bad{"break@stage1=x", "count"},
                  Bad{"noise@all", "needs a number: noise@PHASE=N"}, Bad{"stage1@noise=1", "unknown phase 'noise'"},
                  Bad{"flip-image", "a number from 1"}, Bad{"flip-image=0", "a number from 1"},
                  Bad{"flip-image=x", "a number from 1"}}) {
    std::string error;
    EXPECT_FALSE(radio::ApplySwitch(m, bad.spec, &error)) << bad.spec;
    EXPECT_EQ(error.rfind(std::string("module switch '") + bad.spec + "': ", 0), 0u) << error;
    EXPECT_NE(error.find(bad.why), std::string::npos) << bad.spec << ": " << error;
  }
  for (Phase p : radio::kAllPhases) EXPECT_EQ(m.Faults(p), PhaseFaults{});
  EXPECT_EQ(m.Refusal(), LineCondition::Break);
  EXPECT_EQ(m.ImageFlip(), 0u);
}

// ------------------------------------------------------------------ flash

TEST(ModuleFlash, SavesTheImageOrNothing) {
  Harness h;
  char dir[] = "/tmp/flashXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/flash.bin";
  auto read = [&] {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  ASSERT_TRUE(h.Wake());
  ASSERT_EQ(h.RunUpdate(Wire()), Wire().size());
  std::string error;
  ASSERT_TRUE(h.module.SaveFlash(path, &error)) << error;
  EXPECT_EQ(read(), TheImages().firmware);
  // A transfer that is cut off erases the flash.
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i <= kFirstImage; ++i) h.Feed(Wire()[i].bytes);
  h.Reset();
  EXPECT_FALSE(h.module.Flash().valid);
  ASSERT_TRUE(h.module.SaveFlash(path, &error));
  EXPECT_TRUE(read().empty());
  EXPECT_FALSE(h.module.SaveFlash(std::string(dir) + "/missing/flash.bin", &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos);
  unlink(path.c_str());
  rmdir(dir);
}

TEST(ModuleRecord, StatusLineShowsPhaseAndBytes) {
  Harness h;
  ASSERT_TRUE(h.Wake());
  h.Feed(Wire()[0].bytes);
  std::string status = h.module.StatusLine();
  EXPECT_NE(status.find("transfer stage2-sections"), std::string::npos) << status;
  EXPECT_NE(status.find("rx 187 tx 2"), std::string::npos) << status;
  EXPECT_NE(status.find("resets 1"), std::string::npos) << status;
  // The log tells what arrived in each phase.
  bool stage1Logged = false;
  for (const auto& line : h.log) stage1Logged |= line.find("stage1: length 184, check 69 good -> A5") == 0;
  EXPECT_TRUE(stage1Logged);
}

}  // namespace

namespace {

// How far an image transfer has come, per transfer: nothing before the image
// length, the answered sections while it runs, all of it once written; a
// second transfer starts again from nothing, and a refused one stops short.
TEST(ModuleRecord, ImageProgressCountsTheAnsweredSectionsOfTheTransferAtHand) {
  Harness h;
  EXPECT_EQ(h.module.GetRecord().imageLength, 0u);
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i <= kFirstImage + 9; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer);
  radio::Record r = h.module.GetRecord();
  EXPECT_EQ(r.imageLength, 2493720u);
  EXPECT_EQ(r.imageAcknowledged, 10u * 4000u);
  ASSERT_EQ(h.RunUpdate(std::vector<radiotest::WireStep>(Wire().begin() + kFirstImage + 10, Wire().end())),
            Wire().size() - kFirstImage - 10);
  EXPECT_EQ(h.module.GetRecord().imageAcknowledged, 2493720u);

  ASSERT_TRUE(radio::ApplySwitch(h.module, "refuse-image", nullptr));
  ASSERT_TRUE(h.Wake());
  for (size_t i = 0; i <= kFirstImage; ++i) ASSERT_EQ(Harness::Data(h.Feed(Wire()[i].bytes)), Wire()[i].answer);
  EXPECT_EQ(h.module.GetRecord().imageAcknowledged, 4000u);  // this transfer's first section only
  EXPECT_EQ(h.RunUpdate(std::vector<radiotest::WireStep>(Wire().begin() + kFirstImage + 1, Wire().end())),
            Wire().size() - kFirstImage - 2);
  r = h.module.GetRecord();
  EXPECT_EQ(r.imageAcknowledged, 623u * 4000u);  // the last, short section is never acknowledged
  EXPECT_LT(r.imageAcknowledged, r.imageLength);
}

}  // namespace
