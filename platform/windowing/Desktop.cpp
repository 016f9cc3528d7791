// The desktop shared with the user's other processes (see Desktop.h): its
// directory, this process's request socket, and the calls that look beyond
// this process: FindWindowW and SetForegroundWindow. The entry files are
// read and written in DesktopEntries.cpp.
#include "windowing/Desktop.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "kernel/Thread.h"
#include "kernel/DebugOutput.h"
#include "text/WideText.h"
#include "windowing/DesktopEntries.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

struct DesktopState {
  std::mutex lock;
  std::string directory;   // empty until chosen
  std::string socketName;  // ours, once the server runs ("@..." for an abstract one)
  bool serverFailed = false;
  bool warned = false;
};

DesktopState& Desktop() {
  static auto* state = new DesktopState;
  return *state;
}

// A window of another process that FindWindowW handed out. Guarded by the
// window manager's lock.
struct RemoteWindow {
  pid_t pid = 0;
  uintptr_t hwnd = 0;
  std::string socket;
  std::string file;
};

std::map<uintptr_t, RemoteWindow>& Remotes() {
  static auto* remotes = new std::map<uintptr_t, RemoteWindow>;
  return *remotes;
}

std::string DefaultDirectory() {
  if (const char* chosen = std::getenv("FWUTIL_DESKTOP"); chosen && *chosen) return chosen;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/fwutil";
  return "/tmp/fwutil-" + std::to_string(getuid());
}

bool MakeDirectories(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string DirectoryLocked(DesktopState& d) {
  if (d.directory.empty()) {
    d.directory = DefaultDirectory();
    MakeDirectories(d.directory);
  }
  return d.directory;
}

// Fills `addr` for a socket name: a path, or "@name" for an abstract socket.
socklen_t AddressOf(const std::string& name, sockaddr_un& addr) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  if (!name.empty() && name[0] == '@') {
    size_t n = std::min(name.size() - 1, sizeof(addr.sun_path) - 1);
    std::copy_n(name.data() + 1, n, addr.sun_path + 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  }
  std::copy_n(name.data(), std::min(name.size(), sizeof(addr.sun_path) - 1), addr.sun_path);
  return static_cast<socklen_t>(sizeof(addr));
}

// Platform time `ms` real milliseconds from now.
kernel::TimePoint RealMillisecondsFromNow(double ms) {
  return kernel::Clock::now() + std::chrono::duration_cast<kernel::Duration>(
                                    std::chrono::duration<double, std::milli>(ms * kernel::ClockSpeed()));
}

void ServeRequest(int connection) {
  timeval timeout{2, 0};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string request;
  char buffer[128];
  while (request.find('\n') == std::string::npos && request.size() < 256) {
    ssize_t n = read(connection, buffer, sizeof buffer);
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
  }
  std::istringstream in(request.substr(0, request.find('\n')));
  std::string verb, handle;
  in >> verb >> handle;
  bool ok = false;
  if (verb == "foreground" && !handle.empty()) {
    auto hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(handle.c_str(), nullptr, 16)));
    ok = ActivateInternal(hwnd);
  } else if (verb == "ping") {
    ok = true;
  }
  const char* reply = ok ? "ok\n" : "no\n";
  [[maybe_unused]] ssize_t written = write(connection, reply, 3);
}

// Starts listening for requests of other processes; once per process.
void StartServerLocked(DesktopState& d) {
  if (!d.socketName.empty() || d.serverFailed) return;
  std::string path = DirectoryLocked(d) + "/" + std::to_string(getpid()) + ".sock";
  std::string name = path;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    name = "@fwutil-desktop-" + Hex(std::hash<std::string>{}(d.directory)) + "-" + std::to_string(getpid());
  } else {
    unlink(path.c_str());
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr;
  socklen_t length = AddressOf(name, addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 || listen(fd, 16) != 0) {
    if (fd >= 0) close(fd);
    d.serverFailed = true;
    debugout::Write(u"desktop: cannot listen for other processes' requests\r\n");
    return;
  }
  d.socketName = name;
  if (name[0] != '@') {
    // The socket file goes with the process (a crash leaves it to the next lookup).
    static std::string* socketFile = new std::string(name);
    std::atexit([] { unlink(socketFile->c_str()); });
  }
  // A helper of the platform, not a platform thread: it lives as long as the process.
  std::thread([fd] {
    for (;;) {
      int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 100);  // out of descriptors: let the process recover
        continue;
      }
      ServeRequest(connection);
      close(connection);
    }
  }).detach();
}

// Connects to a process's request socket; -1 if nobody listens there.
int Connect(const std::string& name) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr;
  socklen_t length = AddressOf(name, addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool NameMatches(LPCWSTR wanted, const std::u16string& actual) {
  return wanted == nullptr || text::EqualsIgnoreCase(text::View(wanted), actual);
}

bool RequestForeground(const RemoteWindow& remote) {
  int fd = Connect(remote.socket);
  if (fd < 0) return false;
  std::string request = "foreground " + Hex(remote.hwnd) + "\n";
  bool ok = false;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    kernel::TimePoint deadline = RealMillisecondsFromNow(5000);
    std::string reply;
    try {
      while (reply.find('\n') == std::string::npos && kernel::Clock::now() < deadline) {
        if (!(kernel::ThreadControl::Self().Block(deadline, fd, POLLIN) & (POLLIN | POLLHUP))) continue;
        char buffer[16];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
      }
    } catch (...) {
      close(fd);
      throw;
    }
    ok = reply.rfind("ok", 0) == 0;
  }
  close(fd);
  return ok;
}

}  // namespace

std::string DesktopDirectory() {
  DesktopState& d = Desktop();
  std::lock_guard<std::mutex> guard(d.lock);
  return DirectoryLocked(d);
}

void SetDesktopDirectory(std::string path) {
  MakeDirectories(path);
  DesktopState& d = Desktop();
  std::lock_guard<std::mutex> guard(d.lock);
  d.directory = std::move(path);
}

std::string UsePrivateDesktop() {
  char pattern[] = "/tmp/fwutil-desktop-XXXXXX";
  const char* made = mkdtemp(pattern);
  std::string path = made ? made : "/tmp/fwutil-desktop-" + std::to_string(getpid());
  SetDesktopDirectory(path);
  static std::string* removeAtExit = nullptr;
  if (!removeAtExit) {
    removeAtExit = new std::string(path);
    std::atexit([] {
      if (DIR* dir = opendir(removeAtExit->c_str())) {
        while (dirent* d = readdir(dir)) {
          std::string name = d->d_name;
          if (name != "." && name != "..") unlink((*removeAtExit + "/" + name).c_str());
        }
        closedir(dir);
      }
      rmdir(removeAtExit->c_str());
    });
  } else {
    *removeAtExit = path;
  }
  return path;
}

void PublishWindowLocked(const Window& window) {
  DesktopState& d = Desktop();
  std::lock_guard<std::mutex> guard(d.lock);
  StartServerLocked(d);
  if (d.socketName.empty()) return;
  if (!WriteEntry(DirectoryLocked(d), window, d.socketName)) {
    if (!d.warned) debugout::Write(u"desktop: cannot publish a window for other processes\r\n");
    d.warned = true;
  }
}

void WithdrawWindowLocked(HWND hwnd) {
  DesktopState& d = Desktop();
  std::lock_guard<std::mutex> guard(d.lock);
  if (d.socketName.empty()) return;
  unlink(EntryPath(DirectoryLocked(d), hwnd).c_str());
}

// IsWindow for a window of another process: its entry is still there and
// its process alive.
std::optional<bool> RemoteWindowAlive(HWND hwnd) {
  RemoteWindow remote;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto it = Remotes().find(reinterpret_cast<uintptr_t>(hwnd));
    if (it == Remotes().end()) return std::nullopt;
    remote = it->second;
  }
  return access(remote.file.c_str(), F_OK) == 0 && !ProcessGone(remote.pid);
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::Wm;

HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  PlatformCall call;
  if (lpClassName && IS_INTRESOURCE(lpClassName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    for (HWND h : Wm().zOrder) {
      auto w = windowing::FindLocked(h);
      if (w && !w->destroying && windowing::NameMatches(lpClassName, w->cls->name) &&
          windowing::NameMatches(lpWindowName, w->title)) {
        return h;
      }
    }
  }
  for (const windowing::DesktopEntry& entry : windowing::OtherEntries(windowing::DesktopDirectory())) {
    if (!windowing::NameMatches(lpClassName, entry.cls) || !windowing::NameMatches(lpWindowName, entry.title)) continue;
    int fd = windowing::Connect(entry.socket);
    if (fd < 0) {
      windowing::RemoveStale(entry);  // its process no longer listens: it is gone
      continue;
    }
    close(fd);
    std::lock_guard<std::mutex> guard(Wm().lock);
    for (auto& [handle, remote] : windowing::Remotes()) {
      if (remote.pid == entry.pid && remote.hwnd == entry.hwnd) return reinterpret_cast<HWND>(handle);
    }
    HWND proxy = windowing::AllocateHandleLocked();
    windowing::Remotes()[reinterpret_cast<uintptr_t>(proxy)] =
        windowing::RemoteWindow{entry.pid, entry.hwnd, entry.socket, entry.file};
    return proxy;
  }
  return nullptr;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd) {
  PlatformCall call;
  // The lowest bit asks for the window's owned windows as well; they always
  // come along, staying above their owner.
  auto hwnd = reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(hWnd) & ~static_cast<uintptr_t>(1));
  std::optional<windowing::RemoteWindow> remote;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (!windowing::FindLocked(hwnd)) {
      auto it = windowing::Remotes().find(reinterpret_cast<uintptr_t>(hwnd));
      if (it == windowing::Remotes().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
      }
      remote = it->second;
    }
  }
  if (remote) return windowing::RequestForeground(*remote) ? TRUE : FALSE;
  return windowing::ActivateInternal(hwnd) ? TRUE : FALSE;
}
