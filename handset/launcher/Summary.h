// The records of a bench: its exit status (the worst outcome's), the
// summary table on standard error, and the one JSON document that holds
// every module's report.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "handset/launcher/Report.h"

namespace launcher {

// How one module of the bench ended.
struct MemberResult {
  std::string name;
  std::string port;
  int status = 0;  // its copy's exit status; 128 + N when signal N ended it
  double seconds = 0;
  std::optional<nlohmann::ordered_json> report;  // its report, when it wrote one
};

// 0 when every status is 0; else the worst, in this order: 12 (the flash does
// not hold what the module took), 10 (failed), an interrupted copy's 128 + N,
// 13 (ended during the update), 14 (report lost), 11 (could not start), then
// any other.
int WorstStatus(const std::vector<int>& statuses);

// The table: one line per module with its port, outcome, status, time and
// the failure's words, after a line that counts them.
std::vector<std::string> SummaryLines(const std::vector<MemberResult>& members, double seconds);

// The bench's --report document.
nlohmann::ordered_json BenchDocument(const std::vector<MemberResult>& members, int status, SystemTime startedAt,
                                     SystemTime endedAt, const std::optional<std::string>& signal);

}  // namespace launcher
