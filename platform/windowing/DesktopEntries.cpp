// The desktop directory's entry files (their format is in Desktop.h): written
// for this process's top-level windows, read for those of other processes,
// and removed when their process is gone.
#include "windowing/DesktopEntries.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>

#include "text/WideText.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

std::string Escape(std::u16string_view value) {
  std::string utf8 = text::ToUtf8(value), out;
  for (char c : utf8) {
    if (c == '%') {
      out += "%25";
    } else if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else {
      out += c;
    }
  }
  return out;
}

std::u16string Unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size()) {
      std::string hex = value.substr(i + 1, 2);
      if (hex.size() == 2 && std::isxdigit(static_cast<unsigned char>(hex[0])) &&
          std::isxdigit(static_cast<unsigned char>(hex[1]))) {
        out += static_cast<char>(std::stoi(hex, nullptr, 16));
        i += 2;
        continue;
      }
    }
    out += value[i];
  }
  return text::FromUtf8(out);
}

std::optional<DesktopEntry> ReadEntry(const std::string& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  DesktopEntry entry;
  entry.file = file;
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    std::string key = line.substr(0, space);
    std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "pid") {
      entry.pid = static_cast<pid_t>(std::atoi(value.c_str()));
    } else if (key == "hwnd") {
      entry.hwnd = static_cast<uintptr_t>(std::strtoull(value.c_str(), nullptr, 16));
    } else if (key == "class") {
      entry.cls = Unescape(value);
    } else if (key == "title") {
      entry.title = Unescape(value);
    } else if (key == "socket") {
      entry.socket = value;
    }
  }
  if (entry.pid <= 0 || entry.hwnd == 0 || entry.socket.empty()) return std::nullopt;
  return entry;
}

}  // namespace

std::string Hex(uintptr_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lx", static_cast<unsigned long>(value));
  return buffer;
}

std::string EntryPath(const std::string& directory, HWND hwnd) {
  return directory + "/" + std::to_string(getpid()) + "-" + Hex(reinterpret_cast<uintptr_t>(hwnd)) + ".window";
}

bool ProcessGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

bool WriteEntry(const std::string& directory, const Window& window, const std::string& socketName) {
  std::string file = EntryPath(directory, window.handle);
  std::string temporary =
      directory + "/." + std::to_string(getpid()) + "-" + Hex(reinterpret_cast<uintptr_t>(window.handle)) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "pid " << getpid() << "\n"
        << "hwnd " << Hex(reinterpret_cast<uintptr_t>(window.handle)) << "\n"
        << "class " << Escape(window.cls->name) << "\n"
        << "title " << Escape(window.title) << "\n"
        << "socket " << socketName << "\n";
    if (!out) {
      unlink(temporary.c_str());
      return false;
    }
  }
  rename(temporary.c_str(), file.c_str());
  return true;
}

void RemoveStale(const DesktopEntry& entry) {
  unlink(entry.file.c_str());
  if (!entry.socket.empty() && entry.socket[0] != '@' && ProcessGone(entry.pid)) unlink(entry.socket.c_str());
}

// The entries of other processes, oldest file name first; stale ones are
// removed on the way.
std::vector<DesktopEntry> OtherEntries(const std::string& directory) {
  std::vector<std::string> files;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* d = readdir(dir)) {
      std::string name = d->d_name;
      if (name.size() > 7 && name.compare(name.size() - 7, 7, ".window") == 0) files.push_back(directory + "/" + name);
      // The request socket of a process that is gone.
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0 &&
          name.find_first_not_of("0123456789") == name.size() - 5) {
        auto pid = static_cast<pid_t>(std::atol(name.c_str()));
        if (pid != getpid() && ProcessGone(pid)) unlink((directory + "/" + name).c_str());
      }
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  std::vector<DesktopEntry> entries;
  for (const std::string& file : files) {
    std::optional<DesktopEntry> entry = ReadEntry(file);
    if (!entry) continue;
    if (entry->pid == getpid()) {
      // Ours are found locally; one we do not know is a leftover of a process
      // that had our pid before.
      std::lock_guard<std::mutex> guard(Wm().lock);
      if (!FindLocked(reinterpret_cast<HWND>(entry->hwnd))) RemoveStale(*entry);
      continue;
    }
    if (ProcessGone(entry->pid)) {
      RemoveStale(*entry);
      continue;
    }
    entries.push_back(std::move(*entry));
  }
  return entries;
}

}  // namespace windowing
