// The update against every fault the module, the line or the host can
// throw at it, one phase of the exchange at a time. Each run must end the
// way the utility's design prescribes for that fault, and whatever the
// fault:
//  - the log view says "Firmware Updated....Done" only when the module's
//    flash holds the image, and then the success box is shown and the
//    handset rebooted;
//  - a failed transfer ends with the failure trace, no box, no reboot and
//    the line closed, and leaves no valid image behind unless the module
//    really wrote it (only its answer was lost);
//  - the one exception to the first: a module whose checks could not see
//    its own damage to the image (its flip-image switch) said done, and the
//    utility with it; its flash differs in the damaged bytes alone, and the
//    verify line says so;
//  - every run ends: done, or failed with its words in the log view, the
//    line closed and the wake-up thread ended.
// Every run writes one row to fault-matrix/<case>.row in the build tree; the
// fault_matrix_table test gathers them into fault-matrix/TABLE.txt.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/ril/RilDriver.h"
#include "kernel/Clock.h"
#include "radio/Module.h"
#include "serial/Serial.h"
#include "serial/VirtualPort.h"
#include "support/FaultRun.h"
#include "support/ProcessProbe.h"
#include "support/PtyModule.h"
#include "support/TraceHooks.h"
#include "support/UtilityFixture.h"
#include "update/Update.h"
#include "update/UpdateLimits.h"
#include "windowing/Screen.h"

#ifndef FAULT_MATRIX_DIR
#define FAULT_MATRIX_DIR "fault-matrix"
#endif

namespace faulttest {
namespace {

using namespace std::chrono_literals;
using radio::Phase;

enum class Fault {
  None,
  Noise,
  Delay,
  Break,
  Framing,
  Parity,
  Overrun,
  Refuse,
  Silent,
  FailedWrite,
  ShortWrite,
  PortRemoved,   // COM1: on the platform's pty, the port removed
  FarEndClosed,  // COM1: on a host tty whose other end is closed
  RefuseImage,   // the final check refused every time
  RefuseAlways,  // the phase refused every time
  Garbled,            // a byte with a framing error in a line event of its own before a (slow) answer
  GarbledWithAnswer,  // a byte with a framing error in the same line event as the answer
  FlipImage,          // one bit flipped in two bytes of one lane of an image section: the checks pass
};

const char* FaultName(Fault f) {
  switch (f) {
    case Fault::None:
      return "none";
    case Fault::Noise:
      return "noise";
    case Fault::Delay:
      return "slow-answer";
    case Fault::Break:
      return "break";
    case Fault::Framing:
      return "framing-error";
    case Fault::Parity:
      return "parity-error";
    case Fault::Overrun:
      return "overrun";
    case Fault::Refuse:
      return "refusal";
    case Fault::Silent:
      return "silence";
    case Fault::FailedWrite:
      return "failed-write";
    case Fault::ShortWrite:
      return "short-write";
    case Fault::PortRemoved:
      return "pty-port-removed";
    case Fault::FarEndClosed:
      return "tty-far-end-closed";
    case Fault::RefuseImage:
      return "refuse-image";
    case Fault::RefuseAlways:
      return "refusal-always";
    case Fault::Garbled:
      return "garbled";
    case Fault::GarbledWithAnswer:
      return "garbled-with-answer";
    case Fault::FlipImage:
      return "flip-image";
  }
  return "?";
}

// Where each phase begins on the host's side: the trace line the update
// writes just before the phase's first write, and what a cut-short first
// write keeps of it.
struct PhaseSpot {
  Phase phase;
  const char16_t* trigger;
  DWORD shortened;
};

const PhaseSpot kSpots[] = {
    {Phase::WakeUp, u"!Cast 55h!", 0},  // the wake-up bytes of the casting thread
    {Phase::Stage1, u"Bootload1_v2.bin open succeed!!!!", 185},
    {Phase::Stage2Sections, u" 1 char : F6 h sent ", 999},  // the first section
    {Phase::Stage2Check, u" The last section sent : 414 chars!!", 0},
    {Phase::MemoryCheck, u"Prepare to send update program", 0},  // 0x50
    {Phase::SizeRecord, u"Write fixed file size", 2},
    {Phase::ImageSections, u"Totally write 1200000 bytes", 3999},  // section 301 of 624
    {Phase::FinalCheck, u" Sending Checksum", 0},                  // the even check byte
};

const PhaseSpot& SpotOf(Phase phase) {
  for (const PhaseSpot& spot : kSpots) {
    if (spot.phase == phase) return spot;
  }
  return kSpots[0];
}

// How an update ends with a fault in a phase. Every wait on the module has
// a time limit, and the wake-up a limit on its attempts, so every case ends:
// done, or failed with the failure in words in the log view.
Outcome Prescribed(Fault fault, Phase phase) {
  const bool stageCheck = phase == Phase::Stage1 || phase == Phase::Stage2Check;
  const bool bootStage = stageCheck || phase == Phase::Stage2Sections;
  switch (fault) {
    case Fault::None:
    case Fault::Noise:
    case Fault::Delay:
    // A garbled byte is a stray byte that came with a line error: read and
    // dropped, and the wait goes on for the answer.
    case Fault::Garbled:
    case Fault::GarbledWithAnswer:
      return Outcome::Done;
    case Fault::Break:
    case Fault::Framing:
    case Fault::Parity:
    case Fault::Overrun:
      // In a boot stage a line event in place of an answer (0xA5, or a
      // section's 0xAA) is a refusal: the wake-up is repeated. The size
      // record's three answers are one: one event takes the place of all
      // three, and the second answer never comes. The final answer lost
      // after the module wrote its flash: reported failed. Elsewhere the
      // answer is not examined (the wake-up's is repeated by the module).
      if (bootStage) return Outcome::DoneAfterRetry;
      if (phase == Phase::SizeRecord) return Outcome::Failed;
      if (phase == Phase::FinalCheck) return Outcome::FailedFlashWritten;
      return Outcome::Done;
    case Fault::Refuse:
    case Fault::Silent:
      // Refused or not answered in the wake-up or a boot stage: a new
      // attempt with a module reset. In the image transfer the module
      // ignores everything until a reset: the next answer does not come.
      if (phase == Phase::WakeUp || bootStage) return Outcome::DoneAfterRetry;
      return Outcome::Failed;
    case Fault::FailedWrite:
    case Fault::ShortWrite:
      // Lost wake-up bytes are made up by the next ones; in a boot stage the
      // module waits for bytes that never come and its answer does not
      // come in time: a new attempt. The image transfer ends at the write.
      if (phase == Phase::WakeUp) return Outcome::Done;
      if (bootStage) return Outcome::DoneAfterRetry;
      return Outcome::Failed;
    case Fault::PortRemoved:
    case Fault::FarEndClosed:
      // The line is gone: the wait on it fails and the update ends there.
      return phase == Phase::WakeUp || bootStage ? Outcome::GaveUp : Outcome::Failed;
    case Fault::RefuseImage:
      return Outcome::Failed;
    case Fault::RefuseAlways:
      // Refused at every attempt: the attempts run out.
      return Outcome::GaveUp;
    case Fault::FlipImage:
      // The module's checks cannot see the damage and it answers 0xA5: the
      // update is done as far as the utility can tell; the flash is not.
      return Outcome::FlashDiffers;
  }
  return Outcome::Done;
}

struct Case {
  Phase phase;
  Fault fault;
};

std::string CaseName(const Case& c) {
  std::string name = std::string(radio::PhaseName(c.phase)) + "_" + FaultName(c.fault);
  for (char& ch : name) {
    if (ch == '-') ch = '_';
  }
  return name;
}

void PrintTo(const Case& c, std::ostream* out) { *out << CaseName(c); }

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  cases.push_back({Phase::WakeUp, Fault::None});
  for (const PhaseSpot& spot : kSpots) {
    for (Fault fault :
         {Fault::Noise, Fault::Delay, Fault::Break, Fault::Framing, Fault::Parity, Fault::Overrun, Fault::Refuse,
          Fault::Silent, Fault::FailedWrite, Fault::ShortWrite, Fault::PortRemoved, Fault::FarEndClosed,
          Fault::Garbled, Fault::GarbledWithAnswer}) {
      cases.push_back({spot.phase, fault});
    }
  }
  cases.push_back({Phase::FinalCheck, Fault::RefuseImage});
  cases.push_back({Phase::Stage1, Fault::RefuseAlways});
  cases.push_back({Phase::ImageSections, Fault::FlipImage});
  return cases;
}

class UpdateFaultMatrix : public FaultRunFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(UpdateFaultMatrix, EndsAsPrescribedAndNeverClaimsAFailedImage) {
  const Case c = GetParam();
  const PhaseSpot& spot = SpotOf(c.phase);
  const std::string phase(radio::PhaseName(c.phase));
  RunPlan plan;
  plan.expected = Prescribed(c.fault, c.phase);
  plan.faultPhase = c.phase;

  switch (c.fault) {
    case Fault::None:
      break;
    case Fault::Noise:
      plan.moduleSwitches.push_back("noise@" + phase + "=7");
      break;
    case Fault::Delay:
      plan.moduleSwitches.push_back("delay@" + phase + "=250");
      break;
    case Fault::Break:
      plan.moduleSwitches.push_back("break@" + phase);
      break;
    case Fault::Framing:
      plan.moduleSwitches.push_back("framing@" + phase);
      break;
    case Fault::Parity:
      plan.moduleSwitches.push_back("parity@" + phase);
      break;
    case Fault::Overrun:
      plan.moduleSwitches.push_back("overrun@" + phase);
      break;
    case Fault::Refuse:
      plan.moduleSwitches.push_back("refuse@" + phase);
      break;
    case Fault::Silent:
      plan.moduleSwitches.push_back("silent@" + phase);
      break;
    case Fault::RefuseImage:
      plan.moduleSwitches.push_back("refuse-image");
      break;
    case Fault::RefuseAlways:
      plan.moduleSwitches.push_back("refuse@" + phase + "=always");
      break;
    case Fault::Garbled:
      // Garbled bytes before each answer, which comes a while later; and
      // once the first wait of the phase has begun, a garbled byte alone.
      plan.moduleSwitches.push_back("garble@" + phase + "=3");
      plan.moduleSwitches.push_back("delay@" + phase + "=250");
      plan.trigger = spot.trigger;
      plan.onTrigger = [this] {
        hooks_->At(u"Waiting for char", 1, [this] {
          const uint8_t garbled = 0x3C;
          const bool damaged = true;
          Handset().ModuleLine()->WriteGarbled(&garbled, &damaged, 1, serial::LineCondition::FramingError);
        });
      };
      break;
    case Fault::GarbledWithAnswer:
      // On the unpaced line the garbled byte and the answer arrive at once.
      plan.moduleSwitches.push_back("garble@" + phase + "=1");
      break;
    case Fault::FlipImage:
      // Section 301, the one the trigger's trace line comes just before:
      // the trigger only marks when the damage strikes.
      plan.moduleSwitches.push_back("flip-image=301");
      plan.trigger = spot.trigger;
      break;
    case Fault::FailedWrite:
      plan.trigger = spot.trigger;
      // The wake-up bytes go every 10 ms: a few of them lost.
      plan.onTrigger = [this, phase = c.phase] { ModulePortFaults().FailNext(phase == Phase::WakeUp ? 3 : 1); };
      break;
    case Fault::ShortWrite:
      plan.trigger = spot.trigger;
      plan.onTrigger = [this, phase = c.phase, keep = spot.shortened] {
        ModulePortFaults().ShortenNext(phase == Phase::WakeUp ? 3 : 1, keep);
      };
      break;
    case Fault::PortRemoved:
      plan.line = RunPlan::Line::PtyPort;
      plan.trigger = spot.trigger;
      plan.onTrigger = [] { serial::RemovePort(1); };
      break;
    case Fault::FarEndClosed:
      plan.line = RunPlan::Line::HostTty;
      plan.trigger = spot.trigger;
      plan.onTrigger = [this] { Pty().CloseLine(); };
      break;
  }

  RunResult result = RunUpdate(plan);
  WriteRow(FAULT_MATRIX_DIR, CaseName(c), phase, FaultName(c.fault), plan, result);
  EXPECT_TRUE(result.ok) << result.detail;
  // A module that refuses for ever gets every attempt, and no more.
  if (c.fault == Fault::RefuseAlways) {
    EXPECT_EQ(result.wakeUpAttempts, static_cast<uint32_t>(WAKE_UP_ATTEMPTS));
  }
}

// The words of a failed write carry what really went out: a lost one-byte
// command is "0 of 1", the check bytes "1 of 2" when only the first went.
class FailedWriteWords : public FaultRunFixture {
 protected:
  // Fails the update's write after the trace `trigger`, or the one after
  // that when `skipOne`, and expects `words` in the log view.
  void Expect(const char16_t* trigger, bool skipOne, std::u16string_view words) {
    RunPlan plan;
    plan.expected = Outcome::Failed;
    plan.faultPhase = Phase::MemoryCheck;
    plan.trigger = trigger;
    plan.onTrigger = [this, skipOne] {
      if (!skipOne) {
        ModulePortFaults().FailNext(1);
        return;
      }
      hooks_->At(u" char : ", 1, [this] { ModulePortFaults().FailNext(1); });
    };
    RunResult result = RunUpdate(plan);
    EXPECT_TRUE(result.ok) << result.detail;
    std::u16string log = Log();
    EXPECT_NE(log.find(words), std::u16string::npos) << std::string(log.begin(), log.end());
  }
};

TEST_F(FailedWriteWords, ALostMemoryCheckCommandIsNoneOfOne) {
  Expect(u"Prepare to send update program", false,
         u"Could not write the memory check command 50h to the radio module (COM1: took 0 of 1 bytes)");
}

TEST_F(FailedWriteWords, ALostSizeCommandIsNoneOfOne) {
  Expect(u"Memory Check, We should get 3 char above", false,
         u"Could not write the size command 54h to the radio module (COM1: took 0 of 1 bytes)");
}

TEST_F(FailedWriteWords, ALostOddCheckByteIsOneOfTwo) {
  Expect(u" Sending Checksum", true,
         u"Could not write the image check bytes to the radio module (COM1: took 1 of 2 bytes)");
}

INSTANTIATE_TEST_SUITE_P(Faults, UpdateFaultMatrix, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) { return CaseName(info.param); });

}  // namespace
}  // namespace faulttest
