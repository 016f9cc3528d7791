// What the launcher learns of the program's updates from the program's own
// output: its trace lines (each phase, each image section written, the line
// closed) and its log view (the words of a failure). It tells each phase as
// a progress line and keeps what the exit status and the report need.
//
// Nothing here looks at the module: the lines are the same for the emulated
// module and for a module behind a host tty.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

// The phases of an update, in the order an update goes through them.
enum class Phase { kNone, kOpen, kWakeUp, kBootStage1, kBootStage2, kMemoryCheck, kImage, kImageCheck, kDone };

// The report's name of a phase: "open", "wake-up", ..., "done"; "" for kNone.
const char* PhaseName(Phase phase);

enum class Outcome {
  kNone,        // no update has begun
  kRunning,     // the latest update has not ended yet
  kSucceeded,   // the module gave its final answer: it took the image
  kFailed,      // the update ended without a new image
  kNotStarted,  // the update could not begin (the line did not open, another one ran)
};

// One phase of the latest update as the trace told it: each wake-up attempt,
// each boot stage, the memory check (with the size record), the image, its
// final check.
struct UpdateSpan {
  Phase phase = Phase::kNone;
  unsigned attempt = 0;  // the wake-up attempt it belongs to
  std::chrono::steady_clock::time_point began;
  std::optional<std::chrono::steady_clock::time_point> ended;  // nullopt: under way
};

struct UpdateState {
  Outcome outcome = Outcome::kNone;
  Phase phase = Phase::kNone;  // the furthest the latest update reached
  unsigned updates = 0;        // updates begun (the line opened or was tried)
  unsigned ignoredStarts = 0;  // starts the program ignored: an update ran already
  unsigned attempts = 0;       // wake-up attempts of the latest update
  uint64_t imageBytes = 0;     // the program's firmware image; 0: unknown
  uint64_t acknowledged = 0;   // image bytes the module acknowledged
  bool lineClosed = false;     // the latest update has closed its line
  // Updates that ended without a new image (failed or not started): each
  // counts in `endings` as soon as it has given up its line (or found that
  // it cannot open it), in `failures` once its last words are in the log
  // view (or were given up on).
  uint64_t endings = 0;
  uint64_t failures = 0;
  std::string failure;  // the words of the latest failure
  std::optional<std::chrono::steady_clock::time_point> began, ended;
  std::vector<UpdateSpan> spans;  // of the latest update, in order
};

class UpdateWatch {
 public:
  using Clock = std::chrono::steady_clock;
  using Print = std::function<void(const std::string& line)>;

  // `progress` gets a line at each phase and each tenth of the image, led
  // by the time since `started` (null: none); `outcome` gets the lines that
  // tell how an update ended. `changed` is called, without the watch's lock
  // held, whenever the outcome or the failure count changes.
  UpdateWatch(uint64_t imageBytes, Print progress, Print outcome, std::function<void()> changed = {},
              Clock::time_point started = Clock::now());

  // One text of the program's debug output, as it was written.
  void OnTrace(std::u16string_view text, Clock::time_point now);
  // The log view's whole text as it stands now.
  void OnLogView(std::u16string_view text, Clock::time_point now);
  // Ends a wait for last words that did not come (see NextTick).
  void OnTick(Clock::time_point now);
  // When OnTick must next be called; nullopt: only after new text.
  std::optional<Clock::time_point> NextTick() const;
  // The program has returned: an update that had given up its line has
  // ended, whether or not its words reached the watch through the view.
  void OnProgramEnded(Clock::time_point now);

  UpdateState State() const;

  // Whether the outcome printer gets the lines of failures as they become
  // known (the default); off, whoever ends the run says them.
  void TellFailures(bool tell);

  // How long the program waits, after its line is closed, for the words that
  // say why an update failed (or for the line after them) before it goes
  // with what it has.
  static constexpr std::chrono::milliseconds kLastWordsGrace{2000};

 private:
  // What the latest update has come to, between its end on the line and its
  // last words in the log view.
  struct Ending {
    Outcome outcome = Outcome::kNone;
    std::string words;        // from the log view
    std::string fallback;     // from the trace, for a log view that says nothing
    bool wordsEnded = false;  // a line has followed the words
    Clock::time_point deadline{};
  };

  void BeginUpdate(Clock::time_point now);
  void Reach(Phase phase);
  void Enter(Phase phase, Clock::time_point now);  // a new span begins
  void CloseSpan(Clock::time_point now);
  void ImageWritten(uint64_t total, Clock::time_point now);
  void EndLine(Outcome outcome, Clock::time_point now);
  void OnLogLine(std::u16string_view line);
  bool Finish(Clock::time_point now);  // true when the outcome changed
  void Progress(const std::string& line, Clock::time_point now) const;

  mutable std::mutex lock_;
  Clock::time_point started_;
  Print progress_;
  Print outcome_;
  bool tellFailures_ = true;
  std::function<void()> changed_;
  UpdateState state_;
  std::optional<Ending> ending_;
  std::string openError_;   // "Error (N) opening COM1:" of the latest update
  std::string traceWords_;  // the trace's words of the latest failure
  uint64_t written_ = 0;    // image bytes written so far
  unsigned nextTenth_ = 1;  // the next tenth of the image to tell
  Clock::time_point imageBegan_{};
  size_t scanned_ = 0;  // of the log view's text: the complete lines read
};

// "1:32", "1:02:03": a duration in whole seconds, rounded up.
std::string ClockText(std::chrono::duration<double> duration);

}  // namespace launcher
