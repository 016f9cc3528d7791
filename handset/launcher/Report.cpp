#include "handset/launcher/Report.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace launcher {
namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

// Seconds to the millisecond; null for what cannot be a duration.
Json Seconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return nullptr;
  return std::round(seconds * 1000) / 1000;
}

Json Seconds(const std::optional<double>& seconds) { return seconds ? Seconds(*seconds) : Json(nullptr); }

}  // namespace

std::string IsoTime(SystemTime time) {
  auto since = time.time_since_epoch();
  auto whole = std::chrono::floor<std::chrono::seconds>(since);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since - whole).count();
  std::time_t seconds = static_cast<std::time_t>(whole.count());
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

Json ReportObject(const Report& r) {
  Json phases = Json::array();
  for (const PhaseSpan& span : r.phases) {
    phases.push_back({{"phase", span.phase},
                      {"attempt", span.attempt},
                      {"started_at", IsoTime(span.startedAt)},
                      {"seconds", Seconds(span.seconds)}});
  }
  return Json{
      {"schema_version", kReportSchemaVersion},
      {"outcome", r.outcome},
      {"exit_status", r.exitStatus},
      {"failure", OrNull(r.failure)},
      {"next_step", OrNull(r.nextStep)},
      {"signal", OrNull(r.signal)},
      {"module_state", OrNull(r.moduleState)},
      {"phase", OrNull(r.phase)},
      {"attempts", r.attempts},
      {"updates", r.updates},
      {"image_bytes", OrNull(r.imageBytes)},
      {"image_sha256", OrNull(r.imageSha256)},
      {"image_bytes_acknowledged", r.imageBytesAcknowledged},
      {"started_at", IsoTime(r.startedAt)},
      {"ended_at", IsoTime(r.endedAt)},
      {"update_seconds", Seconds(r.updateSeconds)},
      {"run_seconds", Seconds(r.runSeconds)},
      {"tool", {{"version", r.tool.version}, {"commit", OrNull(r.tool.commit)}, {"target", r.tool.target}}},
      {"port", OrNull(r.port)},
      {"reset_method", OrNull(r.resetMethod)},
      {"com1", OrNull(r.com1)},
      {"phases", phases},
      {"flash_read_back", r.flashReadBack},
      {"flash_holds", OrNull(r.flashHolds)},
      {"verify", OrNull(r.verify)},
      {"flash_holds_image", OrNull(r.flashHoldsImage)},
      {"rebooted", r.rebooted},
  };
}

std::string ReportJson(const Report& report) {
  // Words and paths may hold bytes that are no UTF-8: each becomes U+FFFD.
  return ReportObject(report).dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Something that is not a file (/dev/null, a FIFO a script reads, standard
// output's /dev/stdout) is written as it is: renaming over it would replace it.
bool IsSpecial(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

}  // namespace

bool WriteJsonFile(const std::string& path, const std::string& json, std::string* reason) {
  if (IsSpecial(path)) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool written = fd >= 0 && WriteAll(fd, json);
    if (!written) *reason = std::strerror(errno);
    if (fd >= 0) close(fd);
    return written;
  }
  // A link to the report is followed: the file it names is replaced.
  char resolved[PATH_MAX];
  std::string target = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  std::string temporary = target + ".part-" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  bool whole = WriteAll(fd, json) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && whole) {
    whole = false;
    error = errno;
  }
  if (whole && rename(temporary.c_str(), target.c_str()) == 0) return true;
  if (whole) error = errno;
  unlink(temporary.c_str());
  *reason = std::strerror(error);
  return false;
}

void RemoveEarlierReport(const std::string& path) {
  struct stat st {};
  if (!path.empty() && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
}

}  // namespace launcher
