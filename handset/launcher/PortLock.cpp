#include "handset/launcher/PortLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace launcher {
namespace {

struct Held {
  std::string file;
  int fd;
};

std::mutex g_lock;
std::vector<Held> g_held;

// The process id a lock file names (HDB format: ten characters, right
// aligned, and a line end; anything with a leading number is read).
std::optional<pid_t> Owner(const std::string& file) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[32] = {};
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return std::nullopt;
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  if (end == text || pid <= 0 || pid > INT_MAX) return std::nullopt;
  return static_cast<pid_t>(pid);
}

bool Alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

std::string LockFolder() {
  const char* folder = std::getenv("FWUTIL_LOCK_DIR");
  return folder && *folder ? folder : "/var/lock";
}

std::string LockFileFor(const std::string& path) {
  char resolved[PATH_MAX];
  std::string device = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  size_t slash = device.find_last_of('/');
  return LockFolder() + "/LCK.." + (slash == std::string::npos ? device : device.substr(slash + 1));
}

// The file holds the owner's process id, as every UUCP lock does, for the
// terminal programs; between copies of fwutil an flock() on it decides, which
// the kernel drops with its process: two copies that both find a stale lock
// cannot both take it over.
LockResult LockPort(const std::string& path) {
  LockResult result;
  result.file = LockFileFor(path);
  for (int tries = 0; tries < 5; ++tries) {
    int fd = open(result.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      result.reason = result.file + ": " + std::strerror(errno);
      return result;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      result.kind = LockResult::Kind::kHeld;
      result.holder = Owner(result.file).value_or(0);
      if (result.holder != 0) return result;
      usleep(20000);  // its holder is writing its id
      continue;
    }
    // The name may have been removed (and made again) since it was opened.
    struct stat opened {}, named {};
    if (fstat(fd, &opened) != 0 || stat(result.file.c_str(), &named) != 0 || opened.st_ino != named.st_ino ||
        opened.st_dev != named.st_dev) {
      close(fd);
      continue;
    }
    std::optional<pid_t> owner = Owner(result.file);
    if (owner && *owner != getpid() && Alive(*owner)) {  // a program that takes no flock
      close(fd);
      result.kind = LockResult::Kind::kHeld;
      result.holder = *owner;
      return result;
    }
    // New, stale (its process is gone) or ours: it names this process now.
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
      result.reason = result.file + ": " + std::strerror(errno);
      close(fd);
      return result;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_held.push_back({result.file, fd});
    result.kind = LockResult::Kind::kTaken;
    return result;
  }
  if (result.kind != LockResult::Kind::kHeld) result.reason = result.file + ": could not be taken";
  return result;
}

void ReleasePortLocks() {
  std::lock_guard<std::mutex> guard(g_lock);
  for (const Held& held : g_held) {
    // Removed while still flocked, so that no other copy can take it in
    // between; one that opened it before waits for the close and then
    // finds the name gone.
    unlink(held.file.c_str());
    close(held.fd);
  }
  g_held.clear();
}

}  // namespace launcher
