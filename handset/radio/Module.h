// The emulated GSM/GPRS radio module: its boot-strap loader, its flash and
// its AT responder, as a state machine that knows nothing of transports.
// Bytes and resets go in (with the time they happen); bytes, breaks and line
// errors come out, each with the delay after which it is due. Adaptors run it
// on a virtual line (LineRunner) or on a host tty (tools/modulesim).
//
// What the module does:
//  - Power-on with a valid image in the flash: the firmware runs and answers
//    AT commands (no echo; a line ends at "\r"; "AT\r" gives "\r\nOK\r\n",
//    unknown commands "\r\nERROR\r\n"). Text without "AT" is ignored, as a
//    modem hunting for the attention prefix does.
//  - Reset: the boot-strap loader listens for the boot window. The first 0x55
//    is answered with 0xA0; without one the firmware starts from the flash.
//    With no valid image in the flash there is nothing to start: the loader
//    keeps listening for 0x55.
//  - After 0xA0 further 0x55 bytes are skipped (the host stops sending them
//    only once it has read 0xA0). If they still arrive well after the
//    answer, the answer was lost on the line and 0xA0 is sent again. A
//    stage 1 length of 0x55 is therefore impossible.
//  - Stage 1, stage 2, the 0x50 memory check, the 0x54 size record, the image
//    length, the image in sections and its two check bytes, each checked;
//    0xA5/0xAA answers go out once the step's last byte has arrived.
//  - A refusal is a break or a line error; after it (and after a completed
//    image) the loader ignores everything until the next reset.
//  - The flash is erased when an image transfer starts and written (and
//    marked valid) only when both check bytes match.
//
// Suspend/resume (from the radio interface driver) switch the radio part off
// and on. The module keeps running: the loader is unaffected and AT commands
// are still answered, but the radio-dependent ones say so (+CSQ: 99,99,
// +CFUN: 4, +COPS: 0 without an operator). The setting belongs to the
// driver, so a module reset does not change it.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kernel/Clock.h"
#include "radio/Faults.h"
#include "radio/Phase.h"
#include "radio/Record.h"
#include "serial/Serial.h"

namespace radio {

struct ModuleConfig {
  kernel::Duration bootWindow = std::chrono::seconds(2);
  // 0x55 still arriving this long after 0xA0 went out: the answer was lost.
  kernel::Duration wakeRepeat = std::chrono::milliseconds(500);
  uint32_t flashCapacity = 0x400000;  // 4 MiB
  uint32_t stage2Limit = 0x4000;      // the loader's RAM for stage 2
  uint32_t stage2Section = 1000;
  uint32_t imageSection = 4000;
  // The memory check's answer: status 0 (good), the flash size in 64 KiB
  // blocks, then 0xA5.
  std::array<uint8_t, 3> memoryCheckAnswer = {0x00, 0x40, 0xA5};
  // The flash at power-on; nullopt: a small factory image.
  std::optional<std::vector<uint8_t>> initialFlash;
  bool initialFlashValid = true;
  // The loader at power-on, listening for 0x55 until it comes (a module
  // powered up by hand just before the update, or held in its loader).
  bool powerOnInLoader = false;
  // A lost wake-up answer is sent again when 0x55 keep coming; off: the
  // loader answers once per reset and then only waits for stage 1.
  bool repeatWakeAnswer = true;
};

// One thing for the line to carry, due `delay` after the input that caused
// it (never before anything due earlier).
struct Emission {
  kernel::Duration delay{};
  std::vector<uint8_t> bytes;
  std::optional<LineCondition> condition;  // set: a condition, no bytes
  // Empty, or one flag per byte: the flagged bytes arrive garbled, each
  // reported with a framing error.
  std::vector<bool> garbled;
};

struct Output {
  std::vector<Emission> emissions;
  std::vector<std::string> log;  // one line each, no line end
};

struct FlashContents {
  std::vector<uint8_t> bytes;
  bool valid = false;
};

class Module {
 public:
  explicit Module(ModuleConfig config = {});

  // Bytes from the host, all received at `now`. Timers due by `now` run
  // first. An empty span only runs the timers.
  Output Receive(std::span<const uint8_t> bytes, kernel::TimePoint now);
  Output Tick(kernel::TimePoint now) { return Receive({}, now); }
  // The next time Tick has something to do (kNever: nothing).
  kernel::TimePoint NextTimer() const;
  // The reset line: the loader starts listening for the boot window.
  Output Reset(kernel::TimePoint now);

  void SetRadioSuspended(bool suspended);
  bool RadioSuspended() const;

  // Fault switches; take effect at the next answer.
  void SetFaults(Phase phase, const PhaseFaults& faults);
  PhaseFaults Faults(Phase phase) const;
  void SetRefusal(LineCondition condition);  // how a refusal shows on the line
  LineCondition Refusal() const;
  void SetBootWindow(kernel::Duration window);
  void SetRepeatWakeAnswer(bool repeat);
  // flip-image: image section `section` (from 1; 0 off) of every image
  // transfer arrives with one bit flipped in its first and third byte, one
  // lane of the image's XOR checks, where the two flips cancel: the checks
  // match, 0xA5 goes out and the flash holds the damaged image.
  void SetImageFlip(uint32_t section);
  uint32_t ImageFlip() const;
  void ClearFaults();

  FlashContents Flash() const;
  bool FlashHolds(std::span<const uint8_t> image) const;  // valid and equal
  void LoadFlash(std::vector<uint8_t> bytes, bool valid);
  // Writes the flash's bytes to `path` (an empty file when it holds no valid
  // image). False with `error` set when the file cannot be written.
  bool SaveFlash(const std::string& path, std::string* error) const;

  Record GetRecord() const;
  // One line for a person: state, phase, bytes on the line, resets, flash.
  std::string StatusLine() const;

 private:
  // Where the exchange is, one step per kind of byte awaited. Each step has
  // one handler for its bytes (the table kSteps in LoaderSteps.cpp).
  enum class Step : uint8_t {
    Firmware,
    BootWindow,
    LoaderWaiting,
    AwaitStage1,
    Stage1Body,
    Stage1Check,
    Stage2LengthHigh,
    Stage2LengthLow,
    Stage2Body,
    Stage2Check,
    AwaitMemoryCommand,
    AwaitSizeCommand,
    SizeRecord,
    ImageLength,
    ImageBody,
    ImageEvenCheck,
    ImageOddCheck,
    Done,
    Refused,
    Silent,
  };
  static constexpr size_t kStepCount = static_cast<size_t>(Step::Silent) + 1;

  using StepHandler = void (Module::*)(uint8_t byte, kernel::TimePoint now, Output& out);
  struct StepEntry {
    Step step;                      // the entry's own step (the table is in this order)
    State state;                    // how the record shows it
    std::optional<Phase> countsTo;  // the phase its bytes are counted to (none: the handler counts)
    StepHandler take;
  };
  static const std::array<StepEntry, kStepCount> kSteps;

  // Module.cpp: the boot window.
  void RunTimers(kernel::TimePoint now, Output& out);

  // LoaderSteps.cpp: a byte to its step's handler.
  void Take(uint8_t byte, kernel::TimePoint now, Output& out);
  void Enter(Step step, Phase phase);

  // The step handlers, in the order of the exchange (TakeAtByte, the
  // firmware's, in AtModem.cpp; the others in LoaderSteps.cpp).
  void TakeAtByte(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeWakeByte(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeStage1Length(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeStage1Body(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeStage1Check(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeStage2LengthHigh(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeStage2LengthLow(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeStage2Body(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeStage2Check(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeMemoryCommand(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeSizeCommand(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeSizeRecord(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeImageLength(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeImageBody(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeImageEvenCheck(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeImageOddCheck(uint8_t byte, kernel::TimePoint now, Output& out);
  void TakeIgnored(uint8_t byte, kernel::TimePoint now, Output& out);

  // LoaderSteps.cpp: what several steps share.
  void RepeatWakeAnswer(kernel::TimePoint now, Output& out);
  bool CheckMatches(Phase phase, uint8_t received, uint8_t computed, Output& out);
  bool SectionByte(Phase phase, uint32_t section, kernel::TimePoint now, Output& out);
  bool RecordByte(uint8_t byte);
  uint32_t RecordValue() const;

  // Faults.cpp: every answer and refusal, through the phase's switches.
  // Sends `answer` for the phase, subject to its switches; true when the
  // exchange goes on (answered, or a line event took the answer's place).
  // `summary` (what was received) is logged with the answer; empty: only
  // faults are logged (the section answers would flood the log).
  bool Answer(Phase phase, std::vector<uint8_t> answer, kernel::TimePoint now, Output& out, const std::string& summary);
  void Refuse(Phase phase, const std::string& reason, Output& out);
  void SendCondition(LineCondition condition, kernel::Duration delay, Output& out);
  uint8_t NoiseByte(uint8_t avoid);
  bool Consume(uint32_t& count);
  // flip-image: where the image that begins now is damaged, and the byte at
  // offset count_ as the loader's memory takes it.
  void PlanImageFlip(Output& out);
  uint8_t ImageByte(uint8_t byte, Output& out);
  PhaseRecord& Rec(Phase phase) { return record_.phases[static_cast<size_t>(phase)]; }

  // AtModem.cpp: a command line and its reply.
  void AtLine(std::string line, Output& out);
  std::string FirmwareRevision() const;

  mutable std::mutex m_;
  ModuleConfig config_;
  Step step_ = Step::Firmware;
  Phase phase_ = Phase::WakeUp;
  std::array<PhaseFaults, kPhaseCount> faults_{};
  LineCondition refusal_ = LineCondition::Break;
  uint32_t flipSection_ = 0;
  std::optional<uint32_t> flipAt_;  // the first damaged byte of the image in progress
  bool suspended_ = false;
  FlashContents flash_;
  Record record_;
  uint32_t noiseState_ = 0x2545F491u;

  kernel::TimePoint windowEnd_{};
  kernel::TimePoint wakeAnsweredAt_{};
  // The exchange in progress.
  uint32_t length_ = 0;
  uint32_t count_ = 0;
  uint32_t sectionFill_ = 0;
  uint32_t sizeCapacity_ = 0;
  uint8_t check_ = 0;
  uint8_t oddCheck_ = 0;
  uint8_t expectedEven_ = 0;
  std::array<uint8_t, 3> record3_{};
  std::vector<uint8_t> image_;
  uint32_t imageAnswersBefore_ = 0;  // section answers before this image began
  // The AT responder.
  std::string atLine_;
  bool atOverflow_ = false;
  bool echo_ = false;
};

// A stand-in for the factory firmware in a fresh module's flash.
std::vector<uint8_t> FactoryImage();

}  // namespace radio
