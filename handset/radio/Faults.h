// The module's fault switches of a phase: what the next answers of the
// phase turn into. Set through Module::SetFaults, or as text (Switches.h).
#pragma once

#include <cstdint>

#include "kernel/Clock.h"
#include "radio/Phase.h"

namespace radio {

// Repeat counts of the fault switches: the next N answers of the phase are
// affected, then the module behaves again. kAlways never runs out.
inline constexpr uint32_t kAlways = 0xFFFFFFFFu;

struct PhaseFaults {
  uint32_t noiseBytes = 0;  // random bytes before each answer, never the awaited byte
  // Random bytes that arrive with a framing error before each answer (after
  // the noise), never the awaited byte: a byte garbled on the line.
  uint32_t garbledBytes = 0;
  uint32_t refuse = 0;      // refuse instead of answering
  uint32_t silent = 0;      // send nothing and ignore everything until reset
  uint32_t lineEvents = 0;  // a line event replaces the answer; the loader goes on
  LineCondition lineEvent = LineCondition::Break;
  kernel::Duration delay{};  // before each answer (and refusal, line event)
  // Goes silent (as `silent`) at this answer of the phase, counted down from
  // here: 1 the next one, N+1 after N more answers; 0 off.
  uint32_t silentAt = 0;
  bool operator==(const PhaseFaults&) const = default;
};

}  // namespace radio
