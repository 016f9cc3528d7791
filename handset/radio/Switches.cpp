#include "radio/Switches.h"

#include <charconv>
#include <vector>

namespace radio {
namespace {

bool ParseNumber(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseCount(std::string_view text, bool hasValue, uint32_t& count) {
  if (!hasValue) {
    count = 1;
    return true;
  }
  if (text == "always") {
    count = kAlways;
    return true;
  }
  return ParseNumber(text, count) && count != kAlways;
}

}  // namespace

bool ApplySwitch(Module& module, std::string_view spec, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "module switch '" + std::string(spec) + "': " + why;
    return false;
  };
  std::string_view name = spec, value;
  bool hasValue = false;
  if (auto eq = spec.find('='); eq != std::string_view::npos) {
    name = spec.substr(0, eq);
    value = spec.substr(eq + 1);
    hasValue = true;
  }
  std::string_view kind = name, phaseName;
  bool hasPhase = false;
  if (auto at = name.find('@'); at != std::string_view::npos) {
    kind = name.substr(0, at);
    phaseName = name.substr(at + 1);
    hasPhase = true;
  }

  if (!hasPhase) {
    if (kind == "clear" && !hasValue) {
      module.ClearFaults();
      return true;
    }
    if (kind == "refuse-image" && !hasValue) {
      PhaseFaults f = module.Faults(Phase::FinalCheck);
      f.refuse = kAlways;
      module.SetFaults(Phase::FinalCheck, f);
      return true;
    }
    if (kind == "refusal") {
      auto condition = ConditionFromName(value);
      if (!condition) return fail("the refusal is one of break, framing, parity, overrun");
      module.SetRefusal(*condition);
      return true;
    }
    if (kind == "wake-answer") {
      if (value != "once" && value != "repeat") return fail("the wake-up answer is 'once' or 'repeat'");
      module.SetRepeatWakeAnswer(value == "repeat");
      return true;
    }
    if (kind == "boot-window") {
      uint32_t ms = 0;
      if (!ParseNumber(value, ms) || ms == 0) return fail("the boot window is a number of milliseconds above 0");
      module.SetBootWindow(std::chrono::milliseconds(ms));
      return true;
    }
    return fail("unknown switch (see the list of switches)");
  }

  std::vector<Phase> phases;
  if (phaseName == "all") {
    phases.assign(kAllPhases.begin(), kAllPhases.end());
  } else if (auto phase = PhaseFromName(phaseName)) {
    if (*phase == Phase::ImageLength) return fail("the image length gets no answer, so no answer can be changed");
    phases.push_back(*phase);
  } else {
    return fail("unknown phase '" + std::string(phaseName) +
                "' (wake-up, stage1, stage2-sections, stage2, memory-check, size-record, image-length, "
                "image-sections, final-check, all)");
  }

  uint32_t number = 0;
  auto lineEvent = ConditionFromName(kind);
  if (kind == "noise" || kind == "delay") {
    if (!hasValue || !ParseNumber(value, number)) return fail("needs a number: " + std::string(kind) + "@PHASE=N");
  } else if (kind == "stop") {
    if (!hasValue || !ParseNumber(value, number) || number == kAlways) return fail("needs a number: stop@PHASE=N");
  } else if (kind == "refuse" || kind == "silent" || lineEvent) {
    if (!ParseCount(value, hasValue, number)) return fail("the count is a number or 'always'");
  } else {
    return fail("unknown switch (see the list of switches)");
  }
  for (Phase p : phases) {
    PhaseFaults f = module.Faults(p);
    if (kind == "noise") {
      f.noiseBytes = number;
    } else if (kind == "delay") {
      f.delay = std::chrono::milliseconds(number);
    } else if (kind == "refuse") {
      f.refuse = number;
    } else if (kind == "silent") {
      f.silent = number;
    } else if (kind == "stop") {
      f.silentAt = number + 1;
    } else {
      f.lineEvent = *lineEvent;
      f.lineEvents = number;
    }
    module.SetFaults(p, f);
  }
  return true;
}

std::string SwitchHelp() {
  return "  noise@PHASE=N      N noise bytes before each answer of PHASE (never the awaited byte)\n"
         "  delay@PHASE=MS     wait MS ms before each answer of PHASE\n"
         "  refuse@PHASE[=N]   refuse the next N times, then accept (default 1; 'always')\n"
         "  silent@PHASE[=N]   go silent the next N times until a reset (default 1; 'always')\n"
         "  stop@PHASE=N       answer N more times in PHASE, then go silent until a reset (once)\n"
         "  break@PHASE[=N]    a break replaces the next N answers (default 1);\n"
         "                     framing@, parity@, overrun@ likewise with a line error\n"
         "  refusal=KIND       refusals show as break, framing, parity or overrun (default break)\n"
         "  refuse-image       the final check is always refused\n"
         "  boot-window=MS     the loader's boot window after a reset (default 2000)\n"
         "  wake-answer=once   answer 0x55 once per reset, never again (default: repeat a lost answer)\n"
         "  clear              every switch off\n"
         "PHASE: wake-up, stage1, stage2-sections, stage2, memory-check, size-record, image-length,\n"
         "       image-sections, final-check, or all\n";
}

}  // namespace radio
