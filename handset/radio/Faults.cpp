// The answers and refusals of the loader, through the fault switches of
// their phase; the image flip; the switches' setters.
#include <string>
#include <utility>

#include "radio/Module.h"
#include "radio/ModuleText.h"

namespace radio {

using detail::Fmt;
using detail::Hex;

// ---------------------------------------------------------------- answers

bool Module::Consume(uint32_t& count) {
  if (count == 0) return false;
  if (count != kAlways) --count;
  return true;
}

uint8_t Module::NoiseByte(uint8_t avoid) {
  for (;;) {
    noiseState_ ^= noiseState_ << 13;
    noiseState_ ^= noiseState_ >> 17;
    noiseState_ ^= noiseState_ << 5;
    auto b = static_cast<uint8_t>(noiseState_ >> 11);
    if (b != avoid) return b;
  }
}

bool Module::Answer(Phase phase, std::vector<uint8_t> answer, kernel::TimePoint, Output& out,
                    const std::string& summary) {
  PhaseFaults& f = faults_[static_cast<size_t>(phase)];
  PhaseRecord& rec = Rec(phase);
  std::string name(PhaseName(phase));
  bool silentNow = f.silentAt != 0 && --f.silentAt == 0;
  if (silentNow || Consume(f.silent)) {
    ++rec.silences;
    step_ = Step::Silent;
    phase_ = phase;
    image_ = {};
    out.log.push_back(name + ": " + (summary.empty() ? "" : summary + ", ") + "went silent (switch)");
    return false;
  }
  if (Consume(f.refuse)) {
    Refuse(phase, summary.empty() ? "refusal switch" : summary + ", refusal switch", out);
    return false;
  }
  if (Consume(f.lineEvents)) {
    ++rec.lineEvents;
    SendCondition(f.lineEvent, f.delay, out);
    out.log.push_back(name + ": " + (summary.empty() ? "" : summary + ", ") + "a " +
                      std::string(ConditionName(f.lineEvent)) + " took the answer's place (switch)");
    return true;
  }
  // Noise, then garbled bytes, go before every awaited byte; each awaited
  // byte ends one answer that the host waits for on its own.
  const uint8_t awaited = answer.back();
  Emission e;
  e.delay = f.delay;
  bool unitStart = true;
  for (uint8_t b : answer) {
    if (unitStart) {
      for (uint32_t i = 0; i < f.noiseBytes; ++i) e.bytes.push_back(NoiseByte(awaited));
      rec.noiseBytes += f.noiseBytes;
      if (f.garbledBytes > 0) {
        e.garbled.resize(e.bytes.size(), false);
        for (uint32_t i = 0; i < f.garbledBytes; ++i) e.bytes.push_back(NoiseByte(awaited));
        e.garbled.resize(e.bytes.size(), true);
        rec.garbledBytes += f.garbledBytes;
      }
    }
    e.bytes.push_back(b);
    unitStart = b == awaited;
  }
  if (!e.garbled.empty()) e.garbled.resize(e.bytes.size(), false);
  record_.bytesSent += e.bytes.size();
  ++rec.answers;
  out.emissions.push_back(std::move(e));
  if (!summary.empty()) out.log.push_back(name + ": " + summary + " -> " + Hex(answer));
  return true;
}

void Module::Refuse(Phase phase, const std::string& reason, Output& out) {
  ++Rec(phase).refusals;
  ++record_.refusals;
  step_ = Step::Refused;
  phase_ = phase;
  image_ = {};
  record_.lastRefusal = std::string(PhaseName(phase)) + ": " + reason;
  SendCondition(refusal_, faults_[static_cast<size_t>(phase)].delay, out);
  out.log.push_back(std::string(PhaseName(phase)) + ": " + reason + " -> refused (" +
                    std::string(ConditionName(refusal_)) + "), ignoring everything until reset");
}

// ------------------------------------------------------------- image flip

// flip-image damages the first and third byte of its section: bytes of
// one lane, which one of the two check bytes covers with both flips.
constexpr uint8_t kFlipBit = 0x10;

void Module::PlanImageFlip(Output& out) {
  flipAt_.reset();
  record_.flipped.reset();
  if (flipSection_ == 0) return;
  uint64_t first = uint64_t{flipSection_ - 1} * config_.imageSection;
  if (first + 2 >= length_) {
    out.log.push_back(
        Fmt("image-sections: no section %u with three bytes to flip in (switch), nothing flipped", flipSection_));
    return;
  }
  flipAt_ = static_cast<uint32_t>(first);
}

uint8_t Module::ImageByte(uint8_t b, Output& out) {
  if (!flipAt_ || (count_ != *flipAt_ && count_ != *flipAt_ + 2)) return b;
  if (count_ != *flipAt_) {
    record_.flipped = std::array<uint32_t, 2>{*flipAt_, count_};
    out.log.push_back(
        Fmt("image-sections: section %u: bit 4 of the bytes at 0x%06X and 0x%06X flipped (switch), "
            "the check bytes cannot see it",
            flipSection_, *flipAt_, count_));
  }
  return static_cast<uint8_t>(b ^ kFlipBit);
}

void Module::SendCondition(LineCondition condition, kernel::Duration delay, Output& out) {
  Emission e;
  e.delay = delay;
  e.condition = condition;
  ++record_.conditionsSent;
  out.emissions.push_back(std::move(e));
}

// --------------------------------------------------------------- switches

void Module::SetFaults(Phase phase, const PhaseFaults& faults) {
  std::lock_guard<std::mutex> guard(m_);
  faults_[static_cast<size_t>(phase)] = faults;
}

PhaseFaults Module::Faults(Phase phase) const {
  std::lock_guard<std::mutex> guard(m_);
  return faults_[static_cast<size_t>(phase)];
}

void Module::SetRefusal(LineCondition condition) {
  std::lock_guard<std::mutex> guard(m_);
  refusal_ = condition;
}

LineCondition Module::Refusal() const {
  std::lock_guard<std::mutex> guard(m_);
  return refusal_;
}

void Module::SetBootWindow(kernel::Duration window) {
  std::lock_guard<std::mutex> guard(m_);
  config_.bootWindow = window;
}

void Module::SetRepeatWakeAnswer(bool repeat) {
  std::lock_guard<std::mutex> guard(m_);
  config_.repeatWakeAnswer = repeat;
}

void Module::SetImageFlip(uint32_t section) {
  std::lock_guard<std::mutex> guard(m_);
  flipSection_ = section;
}

uint32_t Module::ImageFlip() const {
  std::lock_guard<std::mutex> guard(m_);
  return flipSection_;
}

void Module::ClearFaults() {
  std::lock_guard<std::mutex> guard(m_);
  faults_ = {};
  refusal_ = LineCondition::Break;
  flipSection_ = 0;
}

}  // namespace radio
