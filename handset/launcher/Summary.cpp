#include "handset/launcher/Summary.h"

#include <algorithm>
#include <cstdio>

#include "handset/launcher/UpdateWatch.h"
#include "handset/launcher/Version.h"

namespace launcher {
namespace {

using Json = nlohmann::ordered_json;

int Rank(int status) {
  constexpr int kOrder[] = {12, 10, -1 /* 128 + N */, 13, 14, 11};
  for (int i = 0; i < static_cast<int>(std::size(kOrder)); ++i) {
    if (status == kOrder[i] || (kOrder[i] == -1 && status > 128 && status < 128 + 65)) return i;
  }
  return static_cast<int>(std::size(kOrder));
}

std::string Text(const Json& report, const char* field) {
  if (!report.contains(field) || !report[field].is_string()) return "";
  return report[field].get<std::string>();
}

// What a module's copy that left no report came to, from its status alone.
std::string OutcomeOf(const MemberResult& member) {
  if (member.report) return Text(*member.report, "outcome");
  if (member.status > 128) return "interrupted";
  return "no-report";
}

}  // namespace

int WorstStatus(const std::vector<int>& statuses) {
  int worst = 0;
  for (int status : statuses) {
    if (status == 0) continue;
    if (worst == 0 || Rank(status) < Rank(worst)) worst = status;
  }
  return worst;
}

std::vector<std::string> SummaryLines(const std::vector<MemberResult>& members, double seconds) {
  size_t took = std::count_if(members.begin(), members.end(), [](const MemberResult& m) { return m.status == 0; });
  std::vector<std::string> lines;
  lines.push_back("fwutil: bench of " + std::to_string(members.size()) + " modules in " + ClockText(std::chrono::duration<double>(seconds)) + ": " +
                  std::to_string(took) + " took the image, " + std::to_string(members.size() - took) + " did not");
  size_t width = 4;
  for (const MemberResult& m : members) width = std::max(width, m.name.size());
  char line[256];
  std::snprintf(line, sizeof line, "fwutil:   %-*s  %-13s %6s %7s  %s", static_cast<int>(width), "port", "outcome",
                "status", "time", "words");
  lines.push_back(line);
  for (const MemberResult& m : members) {
    std::string words = m.report ? Text(*m.report, "failure") : "its copy left no report";
    if (m.status == 0) words.clear();
    std::snprintf(line, sizeof line, "fwutil:   %-*s  %-13s %6d %7s  ", static_cast<int>(width), m.name.c_str(),
                  OutcomeOf(m).c_str(), m.status, ClockText(std::chrono::duration<double>(m.seconds)).c_str());
    std::string row = line + words;
    row.erase(row.find_last_not_of(' ') + 1);
    lines.push_back(row);
  }
  return lines;
}

Json BenchDocument(const std::vector<MemberResult>& members, int status, SystemTime startedAt, SystemTime endedAt,
                   const std::optional<std::string>& signal) {
  ToolInfo tool = BuildTool();
  Json modules = Json::array();
  for (const MemberResult& m : members) {
    Json entry = {{"name", m.name}, {"port", m.port}, {"exit_status", m.status}};
    entry["report"] = m.report ? *m.report : Json(nullptr);
    modules.push_back(entry);
  }
  return Json{
      {"schema_version", kReportSchemaVersion},
      {"bench", true},
      {"exit_status", status},
      {"signal", signal ? Json(*signal) : Json(nullptr)},
      {"started_at", IsoTime(startedAt)},
      {"ended_at", IsoTime(endedAt)},
      {"tool", {{"version", tool.version}, {"commit", tool.commit ? Json(*tool.commit) : Json(nullptr)},
                {"target", tool.target}}},
      {"modules", modules},
  };
}

}  // namespace launcher
