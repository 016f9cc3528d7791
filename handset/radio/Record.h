// What the module has done, for tests, status lines and the launcher's
// watch: its state, and counts per phase and in all.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "radio/Phase.h"

namespace radio {

// What the module is doing, coarsely.
enum class State : uint8_t {
  Firmware,  // AT commands
  Loader,    // listening for 0x55 (boot window, or no valid image)
  Transfer,  // inside the exchange (see Record::phase)
  Done,      // image written; waits for a reset
  Refused,   // refused; ignores everything until a reset
  Silent,    // went silent (switch); ignores everything until a reset
};
std::string_view StateName(State state);

struct PhaseRecord {
  uint32_t reached = 0;        // times the phase began
  uint64_t bytesReceived = 0;  // bytes taken while in the phase
  uint32_t answers = 0;        // answers sent (0xAA sections counted one by one)
  uint32_t refusals = 0;
  uint32_t lineEvents = 0;
  uint32_t silences = 0;
  uint64_t noiseBytes = 0;
  uint64_t garbledBytes = 0;
};

struct Record {
  State state = State::Firmware;
  std::optional<Phase> phase;  // while in Transfer, Refused or Silent: where
  uint32_t resets = 0;
  uint32_t firmwareStarts = 0;
  uint32_t imagesWritten = 0;
  uint32_t refusals = 0;
  uint32_t wakeRepeats = 0;       // 0xA0 sent again
  uint64_t skippedWakeBytes = 0;  // 0x55 skipped after 0xA0
  uint64_t bytesReceived = 0;
  uint64_t bytesSent = 0;       // data bytes handed out (noise included)
  uint32_t conditionsSent = 0;  // breaks and line errors
  uint64_t ignoredBytes = 0;    // while refused, silent, done or junk in the loader
  uint32_t atCommands = 0;
  std::string lastRefusal;  // why, for people
  // The image transfer in progress, or the last one begun (its length 0:
  // none this run; each one erased the flash). Acknowledged: bytes of it in
  // sections the module answered with 0xAA, all of them once it is written.
  uint32_t imageLength = 0;
  uint32_t imageAcknowledged = 0;
  // Offsets in that image of the two bytes the flip-image switch damaged
  // (one bit each, one lane); none: it damaged none.
  std::optional<std::array<uint32_t, 2>> flipped;
  std::array<PhaseRecord, kPhaseCount> phases{};
  const PhaseRecord& operator[](Phase p) const { return phases[static_cast<size_t>(p)]; }
};

}  // namespace radio
