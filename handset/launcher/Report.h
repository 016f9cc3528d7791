// The run's report (--report FILE): one JSON object, written when the run
// ends however it ends, for a production line that keeps a record of every
// module. Its fields are written down once, in report.schema.json beside
// this file; the README's table of them is made from it. A field that is not
// known is null.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace launcher {

using SystemTime = std::chrono::system_clock::time_point;

inline constexpr int kReportSchemaVersion = 2;

// One phase of the update as the program went through it: each wake-up
// attempt, each boot stage, the memory check, the image, its final check.
struct PhaseSpan {
  std::string phase;     // "wake-up", "boot-stage-1", ..., "image-check"
  unsigned attempt = 0;  // the wake-up attempt it belongs to (from 1)
  SystemTime startedAt;
  std::optional<double> seconds;  // null: the run ended inside it
};

// What built this fwutil.
struct ToolInfo {
  std::string version;
  std::optional<std::string> commit;
  std::string target;  // "x86-64", "armhf"
};

struct Report {
  // "succeeded", "failed", "not-started", "flash-differs", "interrupted" (a
  // signal ended the run), "unfinished" (the program ended while an update
  // ran) or "none" (no update began).
  std::string outcome;
  int exitStatus = 0;
  std::optional<std::string> failure;   // the words, as the log view said them
  std::optional<std::string> nextStep;  // what the operator should do now
  std::optional<std::string> signal;    // "SIGTERM", ... when one ended the run
  std::optional<std::string> moduleState;  // what the module is left holding, in words
  std::optional<std::string> phase;     // the furthest phase the update reached
  unsigned attempts = 0;                // wake-up attempts
  unsigned updates = 0;                 // updates begun during the run
  std::optional<uint64_t> imageBytes;   // the program's firmware image
  std::optional<std::string> imageSha256;
  uint64_t imageBytesAcknowledged = 0;
  std::optional<double> updateSeconds;  // from the line's opening to the update's end
  double runSeconds = 0;                // the whole run
  SystemTime startedAt, endedAt;
  ToolInfo tool;
  std::optional<std::string> port;         // the module's port: a tty's path, or "emulated"
  std::optional<std::string> resetMethod;  // how RIL1: resets it: "emulated", "dtr", "rts", "control", "none"
  std::optional<std::string> com1;         // what backs COM1:: "virtual", a tty's path
  std::vector<PhaseSpan> phases;
  bool flashReadBack = false;              // the module's flash could be read at the end
  std::optional<std::string> flashHolds;   // "image", "no-firmware", "earlier-firmware", "other-image"
  std::optional<std::string> verify;       // the verify line
  std::optional<bool> flashHoldsImage;
  bool rebooted = false;
};

// "2026-12-09T16:40:12.345Z".
std::string IsoTime(SystemTime time);

nlohmann::ordered_json ReportObject(const Report& report);
// The report as one JSON object on one line, with its line end.
std::string ReportJson(const Report& report);

// Writes `json` to `path` whole or not at all: into a new file beside it,
// renamed over `path` once complete. False with `reason` when it cannot.
bool WriteJsonFile(const std::string& path, const std::string& json, std::string* reason);
// Removes a report an earlier run left at `path` (a run that ends before it
// can write its own must not leave another run's words behind).
void RemoveEarlierReport(const std::string& path);

}  // namespace launcher
