// The run's report (--report FILE): one JSON object, written when the
// program ends, for scripts that flash many modules and collect the
// outcomes. Its field names are stable (the README lists them); a field that
// is not known is null.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace launcher {

struct Report {
  // "succeeded", "failed", "not-started", "flash-differs", "unfinished" (the
  // program ended while an update ran) or "none" (no update began).
  std::string outcome;
  int exitStatus = 0;
  std::optional<std::string> failure;  // the words, as the log view said them
  std::optional<std::string> phase;    // the furthest phase the update reached
  unsigned attempts = 0;               // wake-up attempts
  unsigned updates = 0;                // updates begun during the run
  std::optional<uint64_t> imageBytes;  // the program's firmware image
  uint64_t imageBytesAcknowledged = 0;
  std::optional<double> updateSeconds;  // from the line's opening to the update's end
  double runSeconds = 0;                // the whole run
  std::optional<std::string> com1;      // what backs COM1:: "virtual", a tty's path
  std::optional<std::string> verify;    // the verify line, where the flash can be read
  std::optional<bool> flashHoldsImage;
  bool rebooted = false;
};

// The report as one JSON object on one line, with its line end.
std::string ReportJson(const Report& report);
// `text` as a JSON string: quoted; quotes, backslashes and control characters
// escaped; bytes that are no UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);
// Writes ReportJson to `path`; false when it cannot.
bool WriteReport(const std::string& path, const Report& report);

}  // namespace launcher
