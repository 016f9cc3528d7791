#include "radio/Module.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace radio {
namespace {

constexpr uint8_t kWakeByte = 0x55;
constexpr uint8_t kWakeAnswer = 0xA0;
constexpr uint8_t kAccept = 0xA5;
constexpr uint8_t kSectionAnswer = 0xAA;
constexpr uint8_t kMemoryCommand = 0x50;
constexpr uint8_t kSizeCommand = 0x54;
constexpr size_t kAtLineLimit = 512;

__attribute__((format(printf, 1, 2))) std::string Fmt(const char* format, ...) {
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

long long Millis(kernel::Duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

bool IsLetter(uint8_t b, char upper) {
  return b == static_cast<uint8_t>(upper) || b == static_cast<uint8_t>(upper + 32);
}

// A table indexed by step holds its entries in the order of the steps.
template <typename Table>
constexpr bool InStepOrder(const Table& table) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (static_cast<size_t>(table[i].step) != i) return false;
  }
  return true;
}

constexpr std::array<std::string_view, kPhaseCount> kPhaseNames = {"wake-up",      "stage1",         "stage2-sections",
                                                                   "stage2",       "memory-check",   "size-record",
                                                                   "image-length", "image-sections", "final-check"};

}  // namespace

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

std::vector<uint8_t> FactoryImage() {
  std::string_view text = "factory firmware of the emulated radio module";
  return std::vector<uint8_t>(text.begin(), text.end());
}

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

// ------------------------------------------------------------------ input

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

void Module::Enter(Step step, Phase phase) {
  step_ = step;
  phase_ = phase;
  ++Rec(phase).reached;
}

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
  Enter(Step::ImageBody, Phase::ImageSections);
}

void Module::TakeImageBody(uint8_t b, kernel::TimePoint now, Output& out) {
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

void Module::SendCondition(LineCondition condition, kernel::Duration delay, Output& out) {
  Emission e;
  e.delay = delay;
  e.condition = condition;
  ++record_.conditionsSent;
  out.emissions.push_back(std::move(e));
}

// ------------------------------------------------------------ AT commands

void Module::TakeAtByte(uint8_t b, kernel::TimePoint, Output& out) {
  if (echo_) {
    Emission e;
    e.bytes.push_back(b);
    ++record_.bytesSent;
    out.emissions.push_back(std::move(e));
  }
  // Hunt for the attention prefix; whatever comes before it is noise.
  if (atLine_.empty()) {
    if (IsLetter(b, 'A')) atLine_ = "A";
    return;
  }
  if (atLine_.size() == 1) {
    if (IsLetter(b, 'T')) {
      atLine_ += 'T';
    } else if (!IsLetter(b, 'A')) {
      atLine_.clear();
    }
    return;
  }
  if (b == '\r') {
    std::string line = std::move(atLine_);
    atLine_.clear();
    bool overflow = atOverflow_;
    atOverflow_ = false;
    if (overflow) {
      ++record_.atCommands;
      Emission e;
      std::string_view error = "\r\nERROR\r\n";
      e.bytes.assign(error.begin(), error.end());
      record_.bytesSent += e.bytes.size();
      out.emissions.push_back(std::move(e));
      out.log.push_back(Fmt("AT: a line of more than %zu characters -> ERROR", kAtLineLimit));
      return;
    }
    AtLine(std::move(line), out);
    return;
  }
  if (b == '\n') return;
  if (atLine_.size() < kAtLineLimit) {
    atLine_ += static_cast<char>(b);
  } else {
    atOverflow_ = true;
  }
}

void Module::AtLine(std::string line, Output& out) {
  ++record_.atCommands;
  std::string command;
  for (size_t i = 2; i < line.size(); ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    command += c;
  }
  while (!command.empty() && command.back() == ' ') command.pop_back();

  std::string info;
  bool ok = true;
  if (command.empty()) {
  } else if (command == "I" || command == "I0") {
    info = "Emulated GSM/GPRS radio module";
  } else if (command == "+CGMI") {
    info = "Emulated";
  } else if (command == "+CGMM") {
    info = "GSM/GPRS module";
  } else if (command == "+CGMR") {
    info = FirmwareRevision();
  } else if (command == "+CGSN") {
    info = "001010123456789";
  } else if (command == "+CSQ") {
    info = suspended_ ? "+CSQ: 99,99" : "+CSQ: 20,0";
  } else if (command == "+CFUN?") {
    info = suspended_ ? "+CFUN: 4" : "+CFUN: 1";
  } else if (command == "+COPS?") {
    info = suspended_ ? "+COPS: 0" : "+COPS: 0,0,\"EMULATED\"";
  } else if (command == "+CPIN?") {
    info = "+CPIN: READY";
  } else if (command == "E0" || command == "E" || command == "Z") {
    echo_ = false;
  } else if (command == "E1") {
    echo_ = true;
  } else {
    ok = false;
  }
  std::string reply;
  if (!info.empty()) reply = "\r\n" + info + "\r\n";
  reply += ok ? "\r\nOK\r\n" : "\r\nERROR\r\n";
  Emission e;
  e.bytes.assign(reply.begin(), reply.end());
  record_.bytesSent += e.bytes.size();
  out.emissions.push_back(std::move(e));
  std::string shown = line.size() > 60 ? line.substr(0, 60) + "..." : line;
  out.log.push_back("AT: " + shown + " -> " + (info.empty() ? "" : info + " ") + (ok ? "OK" : "ERROR"));
}

std::string Module::FirmwareRevision() const {
  // FNV-1a over the image: a different image shows a different revision.
  uint32_t hash = 2166136261u;
  for (uint8_t b : flash_.bytes) hash = (hash ^ b) * 16777619u;
  return Fmt("REV %zu-%08X", flash_.bytes.size(), hash);
}

// --------------------------------------------------------------- switches

void Module::SetRadioSuspended(bool suspended) {
  std::lock_guard<std::mutex> guard(m_);
  suspended_ = suspended;
}

bool Module::RadioSuspended() const {
  std::lock_guard<std::mutex> guard(m_);
  return suspended_;
}

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

void Module::ClearFaults() {
  std::lock_guard<std::mutex> guard(m_);
  faults_ = {};
  refusal_ = LineCondition::Break;
}

// ------------------------------------------------------------------ flash

FlashContents Module::Flash() const {
  std::lock_guard<std::mutex> guard(m_);
  return flash_;
}

bool Module::FlashHolds(std::span<const uint8_t> image) const {
  std::lock_guard<std::mutex> guard(m_);
  return flash_.valid && flash_.bytes.size() == image.size() &&
         std::equal(image.begin(), image.end(), flash_.bytes.begin());
}

void Module::LoadFlash(std::vector<uint8_t> bytes, bool valid) {
  std::lock_guard<std::mutex> guard(m_);
  flash_.bytes = std::move(bytes);
  flash_.valid = valid;
}

bool Module::SaveFlash(const std::string& path, std::string* error) const {
  FlashContents flash = Flash();
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) {
    if (error) *error = "cannot create " + path;
    return false;
  }
  bool ok = true;
  if (flash.valid && !flash.bytes.empty()) {
    ok = fwrite(flash.bytes.data(), 1, flash.bytes.size(), file) == flash.bytes.size();
  }
  ok = (fclose(file) == 0) && ok;
  if (!ok && error) *error = "cannot write " + path;
  return ok;
}

// ----------------------------------------------------------------- record

namespace {

// Acknowledged bytes of the image transfer the record describes.
uint32_t Acknowledged(const Record& r, uint32_t answersBefore, uint32_t section, bool written) {
  if (written) return r.imageLength;
  uint64_t sections = r[Phase::ImageSections].answers - answersBefore;
  return static_cast<uint32_t>(std::min<uint64_t>(r.imageLength, sections * section));
}

}  // namespace

Record Module::GetRecord() const {
  std::lock_guard<std::mutex> guard(m_);
  Record r = record_;
  // Written: the last image begun is the one in the flash (the flash is
  // erased when an image begins, so a valid flash after one is that image).
  bool written = r.imageLength != 0 && flash_.valid;
  r.imageAcknowledged = Acknowledged(r, imageAnswersBefore_, config_.imageSection, written);
  r.state = kSteps[static_cast<size_t>(step_)].state;
  if (r.state == State::Firmware || r.state == State::Done) {
    r.phase.reset();
  } else {
    r.phase = r.state == State::Loader ? Phase::WakeUp : phase_;
  }
  return r;
}

std::string Module::StatusLine() const {
  Record r = GetRecord();
  bool valid, suspended;
  size_t flashSize;
  {
    std::lock_guard<std::mutex> guard(m_);
    valid = flash_.valid;
    flashSize = flash_.bytes.size();
    suspended = suspended_;
  }
  std::string line = std::string(StateName(r.state));
  if (r.phase) line += " " + std::string(PhaseName(*r.phase));
  line += Fmt(" | rx %llu tx %llu | resets %u refusals %u | ", static_cast<unsigned long long>(r.bytesReceived),
              static_cast<unsigned long long>(r.bytesSent), r.resets, r.refusals);
  line += valid ? Fmt("flash %zu bytes", flashSize) : std::string("flash empty");
  line += suspended ? " | radio off" : " | radio on";
  return line;
}

}  // namespace radio
