// The phases of the exchange, the conditions a line can carry, and their
// names as switches, logs and records write them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "serial/Serial.h"

namespace radio {

using serial::LineCondition;

// The steps of the exchange at which the module answers (or, for the image
// length, only checks). Fault switches are set per phase.
enum class Phase : uint8_t {
  WakeUp,          // 0x55 -> 0xA0
  Stage1,          // length byte, body, check -> 0xA5
  Stage2Sections,  // two length bytes, body -> 0xAA after every full section
  Stage2Check,     // check byte -> 0xA5
  MemoryCheck,     // 0x50 -> three bytes ending in 0xA5
  SizeRecord,      // 0x54 and three bytes -> 0xA5 three times
  ImageLength,     // three bytes, no answer
  ImageSections,   // the image -> 0xAA after every full section
  FinalCheck,      // even and odd check bytes -> 0xA5, flash written
};
inline constexpr size_t kPhaseCount = 9;
inline constexpr std::array<Phase, kPhaseCount> kAllPhases = {
    Phase::WakeUp,     Phase::Stage1,      Phase::Stage2Sections, Phase::Stage2Check, Phase::MemoryCheck,
    Phase::SizeRecord, Phase::ImageLength, Phase::ImageSections,  Phase::FinalCheck};

// "wake-up", "stage1", "stage2-sections", "stage2", "memory-check",
// "size-record", "image-length", "image-sections", "final-check".
std::string_view PhaseName(Phase phase);
std::optional<Phase> PhaseFromName(std::string_view name);
std::string_view ConditionName(LineCondition condition);  // "break", "framing", "parity", "overrun"
std::optional<LineCondition> ConditionFromName(std::string_view name);

}  // namespace radio
