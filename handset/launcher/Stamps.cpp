#include "handset/launcher/Stamps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "handset/launcher/Report.h"

namespace launcher {
namespace {

struct Stamper {
  int realStderr = -1;
  int readEnd = -1;
  std::atomic<bool> busy{false};  // a chunk read is being passed on
};

Stamper* g_stamper = nullptr;

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void Pass(Stamper& s) {
  std::string pending;
  bool atLineStart = true;
  char buffer[4096];
  for (;;) {
    // Busy from before the read: FlushStderr sees either bytes in the pipe
    // or a chunk on its way, never neither while one is pending.
    pollfd ready{s.readEnd, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    s.busy = true;
    ssize_t n = read(s.readEnd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      s.busy = false;
      continue;
    }
    if (n <= 0) break;
    std::string out;
    for (ssize_t i = 0; i < n; ++i) {
      if (atLineStart) out += StampNow();
      out += buffer[i];
      atLineStart = buffer[i] == '\n';
    }
    WriteAll(s.realStderr, out);
    s.busy = false;
  }
}

}  // namespace

std::string StampNow() { return IsoTime(std::chrono::system_clock::now()) + " "; }

void StampStderr() {
  if (g_stamper) return;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  auto* s = new Stamper;
  s->realStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  s->readEnd = ends[0];
  std::fflush(stderr);
  dup2(ends[1], STDERR_FILENO);
  close(ends[1]);
  g_stamper = s;
  std::thread([s] { Pass(*s); }).detach();
}

void FlushStderr() {
  Stamper* s = g_stamper;
  if (!s) return;
  std::fflush(stderr);
  // Done when the pipe is empty and nothing read is still on its way (other
  // copies of the write end, such as the terminal's, keep the pipe open).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline) {
    int queued = 0;
    if (ioctl(s->readEnd, FIONREAD, &queued) != 0) return;
    if (queued == 0 && !s->busy) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace launcher
