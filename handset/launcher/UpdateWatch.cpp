#include "handset/launcher/UpdateWatch.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "text/WideText.h"

namespace launcher {
namespace {

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A trace text without its line end.
std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) text.remove_suffix(1);
  return text;
}

// The number that follows `label` in `text`; nullopt when there is none.
std::optional<uint64_t> NumberAfter(std::u16string_view text, std::u16string_view label) {
  size_t at = text.find(label);
  if (at == std::u16string_view::npos) return std::nullopt;
  std::string digits;
  for (char16_t c : text.substr(at + label.size())) {
    if (c < u'0' || c > u'9') break;
    digits += static_cast<char>(c);
  }
  if (digits.empty() || digits.size() > 18) return std::nullopt;
  return std::strtoull(digits.c_str(), nullptr, 10);
}

std::string Utf8(std::u16string_view text) { return text::ToUtf8(text); }

}  // namespace

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kNone:
      return "";
    case Phase::kOpen:
      return "open";
    case Phase::kWakeUp:
      return "wake-up";
    case Phase::kBootStage1:
      return "boot-stage-1";
    case Phase::kBootStage2:
      return "boot-stage-2";
    case Phase::kMemoryCheck:
      return "memory-check";
    case Phase::kImage:
      return "image";
    case Phase::kImageCheck:
      return "image-check";
    case Phase::kDone:
      return "done";
  }
  return "";
}

std::string ClockText(std::chrono::duration<double> duration) {
  double seconds = std::ceil(duration.count());
  uint64_t whole = seconds <= 0 ? 0 : seconds < 1e9 ? static_cast<uint64_t>(seconds) : 999999999;
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(whole / 3600),
                  static_cast<unsigned long long>(whole / 60 % 60), static_cast<unsigned long long>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                  static_cast<unsigned long long>(whole % 60));
  }
  return text;
}

UpdateWatch::UpdateWatch(uint64_t imageBytes, Print progress, Print outcome, std::function<void()> changed,
                         Clock::time_point started)
    : started_(started), progress_(std::move(progress)), outcome_(std::move(outcome)), changed_(std::move(changed)) {
  state_.imageBytes = imageBytes;
}

void UpdateWatch::TellFailures(bool tell) {
  std::lock_guard<std::mutex> guard(lock_);
  tellFailures_ = tell;
}

UpdateState UpdateWatch::State() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_;
}

// "fwutil: 0:41 image 40%, ...": the time since the run began leads, so
// that the lines of a long run tell how long it has gone.
void UpdateWatch::Progress(const std::string& line, Clock::time_point now) const {
  if (!progress_) return;
  // Whole seconds gone, rounded down: "0:00" for the first second.
  auto gone = std::chrono::floor<std::chrono::seconds>(now - started_);
  progress_("fwutil: " + ClockText(gone) + " " + line);
}

// The texts are the program's own, as its update writes them, one per call.
void UpdateWatch::OnTrace(std::u16string_view text, Clock::time_point now) {
  std::u16string_view line = Trimmed(text);
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Outcome before = state_.outcome;
    uint64_t ignoredBefore = state_.ignoredStarts;
    bool closedBefore = state_.lineClosed;
    uint64_t failuresBefore = state_.failures;
    if (StartsWith(line, u"Open : ")) {
      BeginUpdate(now);
    } else if (line == u"Update is running already, start ignored !!") {
      ++state_.ignoredStarts;
    } else if (state_.outcome == Outcome::kRunning && !ending_) {
      if (StartsWith(line, u"Error (") && line.find(u" opening ") != std::u16string_view::npos) {
        openError_ = Utf8(line);
      } else if (line == u"Open com port failed!!") {
        EndLine(Outcome::kNotStarted, now);
      } else if (line == u"!Cast 55h!") {
        ++state_.attempts;
        Enter(Phase::kWakeUp, now);
        Progress("wake-up, attempt " + std::to_string(state_.attempts), now);
      } else if (StartsWith(line, u" Get A0h")) {
        Enter(Phase::kBootStage1, now);
        Progress("boot stage 1", now);
      } else if (StartsWith(line, u"BootLoad1 upload succeed!!")) {
        Enter(Phase::kBootStage2, now);
        Progress("boot stage 2", now);
      } else if (StartsWith(line, u"BootLoad2_v2_bin upload succeed!!")) {
        Enter(Phase::kMemoryCheck, now);
        Progress("memory check", now);
      } else if (StartsWith(line, u"Download.bin open succeed!!")) {
        Enter(Phase::kImage, now);
        imageBegan_ = now;
        written_ = 0;
        nextTenth_ = 1;
        Progress(state_.imageBytes ? "image, " + std::to_string(state_.imageBytes) + " bytes" : "image", now);
      } else if (StartsWith(line, u"Write ")) {
        if (std::optional<uint64_t> total = NumberAfter(line, u"Totally write ")) ImageWritten(*total, now);
      } else if (StartsWith(line, u"File upload complete!!")) {
        Enter(Phase::kImageCheck, now);
        Progress("image sent, waiting for the module's answer", now);
      } else if (StartsWith(line, u"Firmware Updated....Done")) {
        CloseSpan(now);
        Reach(Phase::kDone);
        state_.acknowledged = state_.imageBytes ? state_.imageBytes : written_;
        state_.outcome = Outcome::kSucceeded;
        state_.ended = now;
        if (outcome_) {
          std::string took =
              "fwutil: image 100%, the module took the image (" + std::to_string(state_.acknowledged) + " bytes";
          if (state_.phase >= Phase::kImage) took += " in " + ClockText(now - imageBegan_);
          outcome_(took + ")");
        }
      } else if (StartsWith(line, u" Update failed!!")) {
        std::u16string_view words = line.substr(16);
        while (!words.empty() && words.front() == u' ') words.remove_prefix(1);
        traceWords_ = Utf8(words);
      } else if (line == u" Communication Port Closed!!") {
        state_.lineClosed = true;
        CloseSpan(now);
        EndLine(Outcome::kFailed, now);
      }
    } else if (line == u" Communication Port Closed!!" && state_.outcome == Outcome::kSucceeded) {
      state_.lineClosed = true;
    }
    changed = state_.outcome != before || state_.ignoredStarts != ignoredBefore ||
              state_.lineClosed != closedBefore || state_.failures != failuresBefore;
  }
  if (changed && changed_) changed_();
}

void UpdateWatch::BeginUpdate(Clock::time_point now) {
  // The last update's words may not have reached the log view yet (its
  // thread lets a new start in before its last line): it is counted as it
  // stands, never dropped, so that a step waiting on it still gives up.
  if (ending_) {
    ending_->deadline = now;
    Finish(now);
  }
  ++state_.updates;
  state_.outcome = Outcome::kRunning;
  state_.phase = Phase::kOpen;
  state_.attempts = 0;
  state_.acknowledged = 0;
  state_.lineClosed = false;
  state_.began = now;  // `failure` stays the latest failure's words until the next one
  state_.ended.reset();
  state_.spans.clear();
  ending_.reset();
  openError_.clear();
  traceWords_.clear();
  written_ = 0;
  nextTenth_ = 1;
}

void UpdateWatch::Reach(Phase phase) {
  if (phase > state_.phase) state_.phase = phase;
}

void UpdateWatch::Enter(Phase phase, Clock::time_point now) {
  Reach(phase);
  CloseSpan(now);
  state_.spans.push_back({phase, state_.attempts, now, std::nullopt});
}

void UpdateWatch::CloseSpan(Clock::time_point now) {
  if (!state_.spans.empty() && !state_.spans.back().ended) state_.spans.back().ended = now;
}

// Each section is written once the one before it was acknowledged: what was
// written before this write has been acknowledged.
void UpdateWatch::ImageWritten(uint64_t total, Clock::time_point now) {
  if (total < written_) return;
  state_.acknowledged = written_;
  written_ = total;
  uint64_t image = state_.imageBytes;
  if (image == 0 || state_.acknowledged >= image) return;
  unsigned tenth = static_cast<unsigned>(state_.acknowledged * 10 / image);
  if (tenth < nextTenth_) return;
  nextTenth_ = tenth + 1;
  std::string line = "image " + std::to_string(state_.acknowledged * 100 / image) + "%";
  double seconds = std::chrono::duration<double>(now - imageBegan_).count();
  if (seconds > 0) {
    double rate = static_cast<double>(state_.acknowledged) / seconds;
    std::chrono::duration<double> left(static_cast<double>(image - state_.acknowledged) / rate);
    char kilobytes[32];
    std::snprintf(kilobytes, sizeof kilobytes, "%.1f", rate / 1000);
    line += ", " + ClockText(left) + " left (" + kilobytes + " kB/s)";
  }
  Progress(line, now);
}

// The update's thread has given up the line (or never had it); its words
// in the log view follow.
void UpdateWatch::EndLine(Outcome outcome, Clock::time_point now) {
  Ending ending;
  ending.outcome = outcome;
  if (outcome == Outcome::kNotStarted) {
    ending.fallback = openError_.empty() ? "COM1: did not open" : openError_;
  } else {
    ending.fallback = traceWords_.empty() ? "the update ended without a new image" : traceWords_;
  }
  ending.deadline = now + kLastWordsGrace;
  ending_ = ending;
  ++state_.endings;
}

void UpdateWatch::OnLogView(std::u16string_view text, Clock::time_point now) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (text.size() < scanned_) scanned_ = 0;  // the view was cleared or cut
    for (;;) {
      size_t end = text.find(u'\n', scanned_);
      if (end == std::u16string_view::npos) break;
      std::u16string_view line = text.substr(scanned_, end - scanned_);
      if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
      scanned_ = end + 1;
      OnLogLine(line);
    }
    changed = Finish(now);
  }
  if (changed && changed_) changed_();
}

// Only lines that come once the update has given up its line count: what
// an earlier update left in the view says nothing of this one.
void UpdateWatch::OnLogLine(std::u16string_view line) {
  if (!ending_) return;
  if (!ending_->words.empty()) {
    ending_->wordsEnded = true;
    return;
  }
  if (ending_->outcome == Outcome::kFailed && StartsWith(line, u"Update failed")) {
    ending_->words = Utf8(line);
  } else if (ending_->outcome == Outcome::kNotStarted && StartsWith(line, u"Open Comport fail")) {
    ending_->words = Utf8(line);
    if (!openError_.empty()) ending_->words += " (" + openError_ + ")";
    ending_->wordsEnded = true;  // the last thing that update says
  }
}

void UpdateWatch::OnTick(Clock::time_point now) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    changed = Finish(now);
  }
  if (changed && changed_) changed_();
}

void UpdateWatch::OnProgramEnded(Clock::time_point now) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (ending_) {
      ending_->deadline = now;
      changed = Finish(now);
    }
  }
  if (changed && changed_) changed_();
}

std::optional<UpdateWatch::Clock::time_point> UpdateWatch::NextTick() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (!ending_) return std::nullopt;
  return ending_->deadline;
}

// The update has ended once its words and the line after them are in the
// view, or when they are given up on.
bool UpdateWatch::Finish(Clock::time_point now) {
  if (!ending_) return false;
  bool spoken = !ending_->words.empty() && ending_->wordsEnded;
  if (!spoken && now < ending_->deadline) return false;
  state_.outcome = ending_->outcome;
  state_.failure = ending_->words.empty() ? ending_->fallback : ending_->words;
  state_.ended = now;
  ++state_.failures;
  ending_.reset();
  if (outcome_ && tellFailures_) {
    if (state_.outcome == Outcome::kNotStarted) {
      outcome_("fwutil: update could not start: " + state_.failure);
    } else if (state_.failure.rfind("Update failed", 0) == 0) {
      outcome_("fwutil: " + state_.failure);
    } else {
      outcome_("fwutil: update failed: " + state_.failure);
    }
  }
  return true;
}

}  // namespace launcher
