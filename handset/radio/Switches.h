// The module's fault switches as text, for the launcher's options, the
// simulator's options and its control channel. One switch per string:
//
//   noise@PHASE=N      N noise bytes before each answer of PHASE
//   garble@PHASE=N     N bytes with a framing error before each answer
//   delay@PHASE=MS     wait MS ms of platform time before each answer
//   refuse@PHASE[=N]   refuse the next N times (default 1; "always")
//   silent@PHASE[=N]   go silent the next N times (default 1; "always")
//   stop@PHASE=N       answer N more times, then go silent until a reset
//   break@PHASE[=N]    a break replaces the next N answers (default 1);
//                      framing@, parity@, overrun@ likewise with a line error
//   refusal=KIND       refusals show as break, framing, parity or overrun
//   refuse-image       the final check is always refused
//   flip-image=N       one bit flipped in two bytes of one lane of image
//                      section N: the checks pass, the flash differs
//   boot-window=MS     the loader's boot window after a reset
//   wake-answer=once   a lost wake-up answer is never sent again ("repeat")
//   clear              every switch off
//
// PHASE: wake-up, stage1, stage2-sections, stage2, memory-check,
// size-record, image-length, image-sections, final-check, or all.
#pragma once

#include <string>
#include <string_view>

#include "radio/Module.h"

namespace radio {

// Applies one switch. False with `error` set (and nothing changed) when the
// spec is not understood.
bool ApplySwitch(Module& module, std::string_view spec, std::string* error);

// The syntax above, for --help texts.
std::string SwitchHelp();

}  // namespace radio
