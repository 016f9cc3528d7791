// One update of the utility on the emulated handset with one fault planted,
// observed to its end: the success box, or the failure in words with the
// line closed; (should it ever come back) a wait that does not end, with
// the CPU the process burns while it waits and the user's Ctrl+Q. Runs on a
// fast platform clock with unpaced lines.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "radio/Module.h"
#include "serial/Serial.h"
#include "support/ProcessProbe.h"
#include "support/PtyModule.h"
#include "support/TraceHooks.h"
#include "support/UtilityFixture.h"

namespace faulttest {

// How an update ends.
enum class Outcome {
  Done,                // flash holds the image, log says done, box, reboot
  DoneAfterRetry,      // the same after more than one wake-up attempt
  Failed,              // the image transfer failed: failure trace, words in the log, no box, no reboot,
                       // line closed, no valid image
  FailedFlashWritten,  // as Failed, but the module had written its flash (its answer was lost)
  FlashDiffers,        // as Done (the module answered 0xA5), but its flash differs from the image in the
                       // bytes its flip-image switch damaged, and nowhere else; the verify line says so
  GaveUp,              // no image transfer: the wake-up attempts ran out or the line failed; words in
                       // the log, line closed, wake-up thread ended, flash untouched
  Waits,               // waits for ever: idle, and the user can quit (no case should)
  RetriesForever,      // wakes the module again and again: idle between attempts, the user can quit
};
const char* OutcomeName(Outcome outcome);

struct RunPlan {
  enum class Line {
    Virtual,  // COM1: a virtual line to the handset's emulated module
    HostTty,  // COM1: a host tty (slave of a pty pair) with the module on the master
    PtyPort,  // COM1: the platform's pty port with the module on its slave
  };
  Line line = Line::Virtual;
  // The virtual line paced at its line format: bytes arrive one byte time
  // apart, as on a wire, instead of all at once.
  bool pacedLine = false;
  Outcome expected = Outcome::Done;
  radio::Phase faultPhase = radio::Phase::WakeUp;
  std::vector<std::string> moduleSwitches;  // radio::ApplySwitch specs
  // Run on the update's thread right after the first trace text that holds
  // `trigger`.
  std::u16string trigger;
  std::function<void()> onTrigger;
};

struct RunResult {
  bool ok = true;
  Outcome observed = Outcome::Done;
  std::string detail;  // what did not hold, or notes
  uint32_t wakeUpAttempts = 0;
  std::optional<CpuShare> cpu;  // for waits: measured at real clock speed
  double seconds = 0;           // real time of the run
  // Platform seconds from the fault striking to the outcome (the success
  // box, or the end of the update thread); negative when not measured.
  double faultToOutcome = -1;
};

class FaultRunFixture : public systemtest::UtilityFixture {
 protected:
  // The platform clock's speed during runs (a wait is measured at 1). The
  // update's time limits shrink with it in real time, while the emulated
  // module's thread and the wake-up thread are scheduled in real time: at 50
  // the shortest limit (10 s) is still 200 ms of a loaded machine.
  static constexpr double kFastClock = 50;

  void SetUp() override;
  void TearDown() override;

  // Boots the handset for `plan`'s line and switches and starts the utility.
  void Prepare(const RunPlan& plan);
  // One update (command 118), observed to the outcome `plan` expects. The
  // utility must be running; after a wait the user has quit it.
  RunResult UpdateOnce(const RunPlan& plan);
  // Prepare and UpdateOnce.
  RunResult RunUpdate(const RunPlan& plan);

  radio::Module& TheModule();
  PtyModule& Pty() { return *pty_; }
  // The write-fault switches of "COM1:" (as configured when the run began).
  serial::WriteFaults& ModulePortFaults() { return port_->Faults(); }
  // The firmware image as stored in the program.
  std::vector<uint8_t> FirmwareImage();

  // Ends update and casting threads that a run left waiting, as the end of
  // the process would.
  void EndLeftoverUpdate();

  std::shared_ptr<TraceHooks> hooks_;
  std::unique_ptr<PtyModule> pty_;
  std::shared_ptr<serial::PortConfig> port_;
  bool ownPtyPort_ = false;
};

// Appends the run as one line to <dir>/<name>.row (replacing an older one).
void WriteRow(const std::string& dir, const std::string& name, const std::string& phase, const std::string& fault,
              const RunPlan& plan, const RunResult& result);

}  // namespace faulttest
