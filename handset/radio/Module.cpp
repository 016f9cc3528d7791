// The module's frame: its names, power-on, input and the reset line with its
// boot window. The exchange's steps are in LoaderSteps.cpp, the answers and
// their switches in Faults.cpp, the AT responder in AtModem.cpp, the flash
// and the record in Flash.cpp.
#include "radio/Module.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "radio/ModuleText.h"

namespace radio {

namespace detail {

std::string Fmt(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return {};
  return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += Fmt("%02X", b);
  }
  return out;
}

}  // namespace detail

namespace {

using detail::Fmt;

long long Millis(kernel::Duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

constexpr std::array<std::string_view, kPhaseCount> kPhaseNames = {"wake-up",      "stage1",         "stage2-sections",
                                                                   "stage2",       "memory-check",   "size-record",
                                                                   "image-length", "image-sections", "final-check"};

}  // namespace

// ------------------------------------------------------------------ names

std::string_view PhaseName(Phase phase) { return kPhaseNames[static_cast<size_t>(phase)]; }

std::optional<Phase> PhaseFromName(std::string_view name) {
  for (Phase p : kAllPhases) {
    if (PhaseName(p) == name) return p;
  }
  if (name == "stage2-check") return Phase::Stage2Check;
  return std::nullopt;
}

std::string_view ConditionName(LineCondition condition) {
  switch (condition) {
    case LineCondition::Break:
      return "break";
    case LineCondition::FramingError:
      return "framing";
    case LineCondition::ParityError:
      return "parity";
    case LineCondition::Overrun:
      return "overrun";
  }
  return "?";
}

std::optional<LineCondition> ConditionFromName(std::string_view name) {
  for (LineCondition c :
       {LineCondition::Break, LineCondition::FramingError, LineCondition::ParityError, LineCondition::Overrun}) {
    if (ConditionName(c) == name) return c;
  }
  return std::nullopt;
}

std::string_view StateName(State state) {
  switch (state) {
    case State::Firmware:
      return "firmware";
    case State::Loader:
      return "loader";
    case State::Transfer:
      return "transfer";
    case State::Done:
      return "done";
    case State::Refused:
      return "refused";
    case State::Silent:
      return "silent";
  }
  return "?";
}

// ------------------------------------------------------------------ input

Module::Module(ModuleConfig config) : config_(std::move(config)) {
  flash_.bytes = config_.initialFlash ? *config_.initialFlash : FactoryImage();
  flash_.valid = config_.initialFlashValid;
  if (flash_.valid && !config_.powerOnInLoader) {
    step_ = Step::Firmware;
    record_.firmwareStarts = 1;
  } else {
    step_ = Step::LoaderWaiting;
  }
}

Output Module::Receive(std::span<const uint8_t> bytes, kernel::TimePoint now) {
  std::lock_guard<std::mutex> guard(m_);
  Output out;
  RunTimers(now, out);
  for (uint8_t b : bytes) Take(b, now, out);
  return out;
}

kernel::TimePoint Module::NextTimer() const {
  std::lock_guard<std::mutex> guard(m_);
  return step_ == Step::BootWindow ? windowEnd_ : kernel::kNever;
}

Output Module::Reset(kernel::TimePoint now) {
  std::lock_guard<std::mutex> guard(m_);
  Output out;
  ++record_.resets;
  step_ = Step::BootWindow;
  phase_ = Phase::WakeUp;
  windowEnd_ = now + config_.bootWindow;
  count_ = 0;
  image_.clear();
  image_.shrink_to_fit();
  atLine_.clear();
  atOverflow_ = false;
  echo_ = false;
  out.log.push_back(Fmt("reset: loader listens for 0x55 for %lld ms", Millis(config_.bootWindow)));
  return out;
}

void Module::RunTimers(kernel::TimePoint now, Output& out) {
  if (step_ != Step::BootWindow || now < windowEnd_) return;
  if (flash_.valid) {
    step_ = Step::Firmware;
    ++record_.firmwareStarts;
    out.log.push_back(Fmt("boot window over after %u other bytes: firmware started", count_));
  } else {
    step_ = Step::LoaderWaiting;
    out.log.push_back("boot window over: no valid image in the flash, the loader keeps listening for 0x55");
  }
}

}  // namespace radio
