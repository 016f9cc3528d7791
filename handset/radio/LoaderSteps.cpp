// The boot-strap loader's side of the exchange: the table of steps, one
// handler per kind of byte awaited, and what the handlers share. Every
// answer and refusal leaves through Answer and Refuse (Faults.cpp).
#include <utility>

#include "radio/Module.h"
#include "radio/ModuleText.h"

namespace radio {
namespace {

using detail::Fmt;

constexpr uint8_t kWakeByte = 0x55;
constexpr uint8_t kWakeAnswer = 0xA0;
constexpr uint8_t kAccept = 0xA5;
constexpr uint8_t kSectionAnswer = 0xAA;
constexpr uint8_t kMemoryCommand = 0x50;
constexpr uint8_t kSizeCommand = 0x54;

// A table indexed by step holds its entries in the order of the steps.
template <typename Table>
constexpr bool InStepOrder(const Table& table) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (static_cast<size_t>(table[i].step) != i) return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------------ steps

// Every step: how the record shows it, the phase its bytes count to, and
// its handler.
constexpr std::array<Module::StepEntry, Module::kStepCount> Module::kSteps = {{
    {Step::Firmware, State::Firmware, std::nullopt, &Module::TakeAtByte},
    {Step::BootWindow, State::Loader, Phase::WakeUp, &Module::TakeWakeByte},
    {Step::LoaderWaiting, State::Loader, Phase::WakeUp, &Module::TakeWakeByte},
    {Step::AwaitStage1, State::Transfer, std::nullopt, &Module::TakeStage1Length},
    {Step::Stage1Body, State::Transfer, Phase::Stage1, &Module::TakeStage1Body},
    {Step::Stage1Check, State::Transfer, Phase::Stage1, &Module::TakeStage1Check},
    {Step::Stage2LengthHigh, State::Transfer, Phase::Stage2Sections, &Module::TakeStage2LengthHigh},
    {Step::Stage2LengthLow, State::Transfer, Phase::Stage2Sections, &Module::TakeStage2LengthLow},
    {Step::Stage2Body, State::Transfer, Phase::Stage2Sections, &Module::TakeStage2Body},
    {Step::Stage2Check, State::Transfer, Phase::Stage2Check, &Module::TakeStage2Check},
    {Step::AwaitMemoryCommand, State::Transfer, Phase::MemoryCheck, &Module::TakeMemoryCommand},
    {Step::AwaitSizeCommand, State::Transfer, Phase::SizeRecord, &Module::TakeSizeCommand},
    {Step::SizeRecord, State::Transfer, Phase::SizeRecord, &Module::TakeSizeRecord},
    {Step::ImageLength, State::Transfer, Phase::ImageLength, &Module::TakeImageLength},
    {Step::ImageBody, State::Transfer, Phase::ImageSections, &Module::TakeImageBody},
    {Step::ImageEvenCheck, State::Transfer, Phase::FinalCheck, &Module::TakeImageEvenCheck},
    {Step::ImageOddCheck, State::Transfer, Phase::FinalCheck, &Module::TakeImageOddCheck},
    {Step::Done, State::Done, std::nullopt, &Module::TakeIgnored},
    {Step::Refused, State::Refused, std::nullopt, &Module::TakeIgnored},
    {Step::Silent, State::Silent, std::nullopt, &Module::TakeIgnored},
}};

void Module::Take(uint8_t b, kernel::TimePoint now, Output& out) {
  static_assert(InStepOrder(kSteps));
  ++record_.bytesReceived;
  const StepEntry& entry = kSteps[static_cast<size_t>(step_)];
  if (entry.countsTo) ++Rec(*entry.countsTo).bytesReceived;
  (this->*entry.take)(b, now, out);
}

// A new phase begins at `step`.
void Module::Enter(Step step, Phase phase) {
  step_ = step;
  phase_ = phase;
  ++Rec(phase).reached;
}

// 0x55 in the boot window, or while the loader waits for a valid image.
void Module::TakeWakeByte(uint8_t b, kernel::TimePoint now, Output& out) {
  if (b != kWakeByte) {
    ++count_;
    ++record_.ignoredBytes;
    return;
  }
  Enter(step_, Phase::WakeUp);
  if (Answer(Phase::WakeUp, {kWakeAnswer}, now, out, Fmt("0x55 after %u other bytes", count_))) {
    step_ = Step::AwaitStage1;
    wakeAnsweredAt_ = now + faults_[static_cast<size_t>(Phase::WakeUp)].delay;
  }
}

// After 0xA0: more 0x55 (skipped, or the answer was lost), or the length.
void Module::TakeStage1Length(uint8_t b, kernel::TimePoint now, Output& out) {
  if (b == kWakeByte) {
    ++Rec(Phase::WakeUp).bytesReceived;
    ++record_.skippedWakeBytes;
    if (config_.repeatWakeAnswer && now >= wakeAnsweredAt_ + config_.wakeRepeat) RepeatWakeAnswer(now, out);
    return;
  }
  Enter(Step::Stage1Body, Phase::Stage1);
  ++Rec(Phase::Stage1).bytesReceived;
  length_ = b;
  count_ = 0;
  check_ = 0;
  if (length_ == 0) Refuse(Phase::Stage1, "length 0", out);
}

void Module::RepeatWakeAnswer(kernel::TimePoint now, Output& out) {
  ++record_.wakeRepeats;
  if (Answer(Phase::WakeUp, {kWakeAnswer}, now, out, "0x55 still arriving, the answer was lost")) {
    wakeAnsweredAt_ = now + faults_[static_cast<size_t>(Phase::WakeUp)].delay;
  }
}

void Module::TakeStage1Body(uint8_t b, kernel::TimePoint, Output&) {
  check_ ^= b;
  if (++count_ == length_) step_ = Step::Stage1Check;
}

void Module::TakeStage1Check(uint8_t b, kernel::TimePoint now, Output& out) {
  if (CheckMatches(Phase::Stage1, b, check_, out) &&
      Answer(Phase::Stage1, {kAccept}, now, out, Fmt("length %u, check %02X good", length_, check_))) {
    Enter(Step::Stage2LengthHigh, Phase::Stage2Sections);
  }
}

void Module::TakeStage2LengthHigh(uint8_t b, kernel::TimePoint, Output&) {
  length_ = static_cast<uint32_t>(b) << 8;
  step_ = Step::Stage2LengthLow;
}

void Module::TakeStage2LengthLow(uint8_t b, kernel::TimePoint, Output& out) {
  length_ |= b;
  if (length_ == 0 || length_ > config_.stage2Limit) {
    Refuse(Phase::Stage2Sections, Fmt("length %u outside 1..%u", length_, config_.stage2Limit), out);
    return;
  }
  step_ = Step::Stage2Body;
  count_ = 0;
  sectionFill_ = 0;
  check_ = 0;
}

void Module::TakeStage2Body(uint8_t b, kernel::TimePoint now, Output& out) {
  check_ ^= b;
  ++count_;
  if (!SectionByte(Phase::Stage2Sections, config_.stage2Section, now, out)) return;
  if (count_ == length_) {
    out.log.push_back(Fmt("stage2-sections: length %u received, %u full sections answered 0xAA", length_,
                          length_ / config_.stage2Section));
    Enter(Step::Stage2Check, Phase::Stage2Check);
  }
}

void Module::TakeStage2Check(uint8_t b, kernel::TimePoint now, Output& out) {
  if (CheckMatches(Phase::Stage2Check, b, check_, out) &&
      Answer(Phase::Stage2Check, {kAccept}, now, out, Fmt("check %02X good", check_))) {
    Enter(Step::AwaitMemoryCommand, Phase::MemoryCheck);
  }
}

void Module::TakeMemoryCommand(uint8_t b, kernel::TimePoint now, Output& out) {
  if (b != kMemoryCommand) {
    Refuse(Phase::MemoryCheck, Fmt("command %02X, expected 50", b), out);
    return;
  }
  std::vector<uint8_t> answer(config_.memoryCheckAnswer.begin(), config_.memoryCheckAnswer.end());
  if (Answer(Phase::MemoryCheck, std::move(answer), now, out, "command 50")) {
    Enter(Step::AwaitSizeCommand, Phase::SizeRecord);
  }
}

void Module::TakeSizeCommand(uint8_t b, kernel::TimePoint, Output& out) {
  if (b != kSizeCommand) {
    Refuse(Phase::SizeRecord, Fmt("command %02X, expected 54", b), out);
    return;
  }
  step_ = Step::SizeRecord;
  count_ = 0;
}

void Module::TakeSizeRecord(uint8_t b, kernel::TimePoint now, Output& out) {
  if (!RecordByte(b)) return;
  uint32_t capacity = RecordValue();
  if (capacity == 0 || capacity > config_.flashCapacity) {
    Refuse(Phase::SizeRecord, Fmt("capacity %u outside 1..%u", capacity, config_.flashCapacity), out);
    return;
  }
  sizeCapacity_ = capacity;
  if (Answer(Phase::SizeRecord, {kAccept, kAccept, kAccept}, now, out,
             Fmt("54 %02X %02X %02X: capacity %u", record3_[0], record3_[1], record3_[2], capacity))) {
    Enter(Step::ImageLength, Phase::ImageLength);
    count_ = 0;
  }
}

void Module::TakeImageLength(uint8_t b, kernel::TimePoint, Output& out) {
  if (!RecordByte(b)) return;
  uint32_t length = RecordValue();
  if (length == 0 || length > sizeCapacity_) {
    Refuse(Phase::ImageLength, Fmt("length %u outside 1..%u", length, sizeCapacity_), out);
    return;
  }
  // The old image goes before the new one arrives: from here on the
  // flash holds no valid image until the checks have matched.
  flash_.bytes.clear();
  flash_.bytes.shrink_to_fit();
  flash_.valid = false;
  image_.clear();
  image_.reserve(length);
  length_ = length;
  record_.imageLength = length;
  imageAnswersBefore_ = Rec(Phase::ImageSections).answers;
  count_ = 0;
  sectionFill_ = 0;
  check_ = 0;
  oddCheck_ = 0;
  out.log.push_back(
      Fmt("image-length: %02X %02X %02X = %u bytes, flash erased", record3_[0], record3_[1], record3_[2], length));
  PlanImageFlip(out);
  Enter(Step::ImageBody, Phase::ImageSections);
}

void Module::TakeImageBody(uint8_t b, kernel::TimePoint now, Output& out) {
  b = ImageByte(b, out);
  image_.push_back(b);
  if (count_ & 1) {
    oddCheck_ ^= b;
  } else {
    check_ ^= b;
  }
  ++count_;
  if (!SectionByte(Phase::ImageSections, config_.imageSection, now, out)) return;
  if (count_ == length_) {
    uint32_t full = length_ / config_.imageSection;
    out.log.push_back(Fmt("image-sections: %u bytes in %u sections, %u full sections answered 0xAA", length_,
                          full + (length_ % config_.imageSection ? 1 : 0), full));
    Enter(Step::ImageEvenCheck, Phase::FinalCheck);
  }
}

void Module::TakeImageEvenCheck(uint8_t b, kernel::TimePoint, Output&) {
  expectedEven_ = b;
  step_ = Step::ImageOddCheck;
}

void Module::TakeImageOddCheck(uint8_t b, kernel::TimePoint now, Output& out) {
  if (expectedEven_ != check_ || b != oddCheck_) {
    Refuse(Phase::FinalCheck, Fmt("check bytes %02X %02X, computed %02X %02X", expectedEven_, b, check_, oddCheck_),
           out);
  } else if (Answer(Phase::FinalCheck, {kAccept}, now, out,
                    Fmt("check bytes %02X %02X good, %u bytes written to the flash", check_, oddCheck_, length_))) {
    flash_.bytes = std::move(image_);
    flash_.valid = true;
    image_ = {};
    ++record_.imagesWritten;
    step_ = Step::Done;
  }
}

// Done, refused or silent: everything waits for the next reset.
void Module::TakeIgnored(uint8_t, kernel::TimePoint, Output&) { ++record_.ignoredBytes; }

// A check byte of stage 1 or 2; a wrong one is refused.
bool Module::CheckMatches(Phase phase, uint8_t received, uint8_t computed, Output& out) {
  if (received == computed) return true;
  Refuse(phase, Fmt("check byte %02X, computed %02X", received, computed), out);
  return false;
}

// A byte of a body sent in sections: a full section is answered 0xAA. True
// when the exchange goes on.
bool Module::SectionByte(Phase phase, uint32_t section, kernel::TimePoint now, Output& out) {
  if (++sectionFill_ != section) return true;
  sectionFill_ = 0;
  return Answer(phase, {kSectionAnswer}, now, out, {});
}

// A byte of a three-byte record (the size record, the image length); true
// once the third has come.
bool Module::RecordByte(uint8_t b) {
  record3_[count_++] = b;
  return count_ >= 3;
}

uint32_t Module::RecordValue() const {
  return (uint32_t{record3_[0]} << 16) | (uint32_t{record3_[1]} << 8) | record3_[2];
}

}  // namespace radio
