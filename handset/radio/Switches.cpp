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

// A switch as written: KIND[@PHASE][=VALUE].
struct Spec {
  std::string_view kind, phase, value;
  bool hasPhase = false;
  bool hasValue = false;
};

Spec Split(std::string_view text) {
  Spec spec;
  std::string_view name = text;
  if (auto eq = text.find('='); eq != std::string_view::npos) {
    name = text.substr(0, eq);
    spec.value = text.substr(eq + 1);
    spec.hasValue = true;
  }
  spec.kind = name;
  if (auto at = name.find('@'); at != std::string_view::npos) {
    spec.kind = name.substr(0, at);
    spec.phase = name.substr(at + 1);
    spec.hasPhase = true;
  }
  return spec;
}

constexpr std::string_view kUnknown = "unknown switch (see the list of switches)";

// ------------------------------------------------- switches of the module

// Each applies its value, or says why it cannot (nullptr: applied).
struct ModuleSwitch {
  std::string_view name;
  bool bare;  // takes no value: with one it is no such switch
  const char* (*apply)(Module& module, std::string_view value);
};

const char* Clear(Module& module, std::string_view) {
  module.ClearFaults();
  return nullptr;
}

const char* RefuseImage(Module& module, std::string_view) {
  PhaseFaults f = module.Faults(Phase::FinalCheck);
  f.refuse = kAlways;
  module.SetFaults(Phase::FinalCheck, f);
  return nullptr;
}

const char* Refusal(Module& module, std::string_view value) {
  auto condition = ConditionFromName(value);
  if (!condition) return "the refusal is one of break, framing, parity, overrun";
  module.SetRefusal(*condition);
  return nullptr;
}

const char* FlipImage(Module& module, std::string_view value) {
  uint32_t section = 0;
  if (!ParseNumber(value, section) || section == 0) return "the image section is a number from 1";
  module.SetImageFlip(section);
  return nullptr;
}

const char* WakeAnswer(Module& module, std::string_view value) {
  if (value != "once" && value != "repeat") return "the wake-up answer is 'once' or 'repeat'";
  module.SetRepeatWakeAnswer(value == "repeat");
  return nullptr;
}

const char* BootWindow(Module& module, std::string_view value) {
  uint32_t ms = 0;
  if (!ParseNumber(value, ms) || ms == 0) return "the boot window is a number of milliseconds above 0";
  module.SetBootWindow(std::chrono::milliseconds(ms));
  return nullptr;
}

constexpr ModuleSwitch kModuleSwitches[] = {
    {"clear", true, Clear},
    {"refuse-image", true, RefuseImage},
    {"flip-image", false, FlipImage},
    {"refusal", false, Refusal},
    {"wake-answer", false, WakeAnswer},
    {"boot-window", false, BootWindow},
};

bool ApplyModuleSwitch(Module& module, const Spec& spec, std::string& why) {
  for (const ModuleSwitch& s : kModuleSwitches) {
    if (s.name != spec.kind || (s.bare && spec.hasValue)) continue;
    if (const char* failed = s.apply(module, spec.value)) {
      why = failed;
      return false;
    }
    return true;
  }
  why = kUnknown;
  return false;
}

// -------------------------------------------------- switches of a phase

// What the value of a phase switch counts.
enum class Value : uint8_t {
  Number,   // required: noise@PHASE=N, delay@PHASE=MS
  Answers,  // required, never 'always': stop@PHASE=N
  Times,    // optional (1), or 'always': refuse@PHASE[=N]
};

struct PhaseSwitch {
  std::string_view kind;
  Value value;
  void (*set)(PhaseFaults& faults, uint32_t number);
};

template <LineCondition kCondition>
void SetLineEvent(PhaseFaults& f, uint32_t n) {
  f.lineEvent = kCondition;
  f.lineEvents = n;
}

constexpr PhaseSwitch kPhaseSwitches[] = {
    {"noise", Value::Number, [](PhaseFaults& f, uint32_t n) { f.noiseBytes = n; }},
    {"garble", Value::Number, [](PhaseFaults& f, uint32_t n) { f.garbledBytes = n; }},
    {"delay", Value::Number, [](PhaseFaults& f, uint32_t n) { f.delay = std::chrono::milliseconds(n); }},
    {"refuse", Value::Times, [](PhaseFaults& f, uint32_t n) { f.refuse = n; }},
    {"silent", Value::Times, [](PhaseFaults& f, uint32_t n) { f.silent = n; }},
    {"stop", Value::Answers, [](PhaseFaults& f, uint32_t n) { f.silentAt = n + 1; }},
    {"break", Value::Times, SetLineEvent<LineCondition::Break>},
    {"framing", Value::Times, SetLineEvent<LineCondition::FramingError>},
    {"parity", Value::Times, SetLineEvent<LineCondition::ParityError>},
    {"overrun", Value::Times, SetLineEvent<LineCondition::Overrun>},
};

bool ParsePhases(std::string_view name, std::vector<Phase>& phases, std::string& why) {
  if (name == "all") {
    phases.assign(kAllPhases.begin(), kAllPhases.end());
    return true;
  }
  auto phase = PhaseFromName(name);
  if (!phase) {
    why = "unknown phase '" + std::string(name) +
          "' (wake-up, stage1, stage2-sections, stage2, memory-check, size-record, image-length, "
          "image-sections, final-check, all)";
    return false;
  }
  if (*phase == Phase::ImageLength) {
    why = "the image length gets no answer, so no answer can be changed";
    return false;
  }
  phases.push_back(*phase);
  return true;
}

bool ParseValue(const PhaseSwitch& s, const Spec& spec, uint32_t& number, std::string& why) {
  switch (s.value) {
    case Value::Number:
    case Value::Answers:
      if (spec.hasValue && ParseNumber(spec.value, number) && (s.value == Value::Number || number != kAlways)) {
        return true;
      }
      why = "needs a number: " + std::string(s.kind) + "@PHASE=N";
      return false;
    case Value::Times:
      if (!spec.hasValue) {
        number = 1;
        return true;
      }
      if (spec.value == "always") {
        number = kAlways;
        return true;
      }
      if (ParseNumber(spec.value, number) && number != kAlways) return true;
      why = "the count is a number or 'always'";
      return false;
  }
  return false;
}

bool ApplyPhaseSwitch(Module& module, const Spec& spec, std::string& why) {
  std::vector<Phase> phases;
  if (!ParsePhases(spec.phase, phases, why)) return false;
  for (const PhaseSwitch& s : kPhaseSwitches) {
    if (s.kind != spec.kind) continue;
    uint32_t number = 0;
    if (!ParseValue(s, spec, number, why)) return false;
    for (Phase p : phases) {
      PhaseFaults f = module.Faults(p);
      s.set(f, number);
      module.SetFaults(p, f);
    }
    return true;
  }
  why = kUnknown;
  return false;
}

}  // namespace

bool ApplySwitch(Module& module, std::string_view text, std::string* error) {
  Spec spec = Split(text);
  std::string why;
  bool applied = spec.hasPhase ? ApplyPhaseSwitch(module, spec, why) : ApplyModuleSwitch(module, spec, why);
  if (!applied && error) *error = "module switch '" + std::string(text) + "': " + why;
  return applied;
}

std::string SwitchHelp() {
  return "  noise@PHASE=N      N noise bytes before each answer of PHASE (never the awaited byte)\n"
         "  garble@PHASE=N     N bytes with a framing error before each answer of PHASE (never the awaited byte)\n"
         "  delay@PHASE=MS     wait MS ms before each answer of PHASE\n"
         "  refuse@PHASE[=N]   refuse the next N times, then accept (default 1; 'always')\n"
         "  silent@PHASE[=N]   go silent the next N times until a reset (default 1; 'always')\n"
         "  stop@PHASE=N       answer N more times in PHASE, then go silent until a reset (once)\n"
         "  break@PHASE[=N]    a break replaces the next N answers (default 1);\n"
         "                     framing@, parity@, overrun@ likewise with a line error\n"
         "  refusal=KIND       refusals show as break, framing, parity or overrun (default break)\n"
         "  refuse-image       the final check is always refused\n"
         "  flip-image=N       image section N (from 1) arrives with one bit flipped in its 1st and 3rd byte:\n"
         "                     one lane of the XOR checks, where the flips cancel; the module answers A5h\n"
         "                     and its flash differs from the image in those two bytes\n"
         "  boot-window=MS     the loader's boot window after a reset (default 2000)\n"
         "  wake-answer=once   answer 0x55 once per reset, never again (default: repeat a lost answer)\n"
         "  clear              every switch off\n"
         "PHASE: wake-up, stage1, stage2-sections, stage2, memory-check, size-record, image-length,\n"
         "       image-sections, final-check, or all\n";
}

}  // namespace radio
