// The terminal front end in a real terminal: the probe program runs on a
// pseudo-terminal; the test types keys at it and reads what it draws. It
// checks what ncurses cannot: the terminal is taken and given back on
// every way out, keys reach the program, standard error survives, and an
// idle front end uses no CPU.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kEnterAlternateScreen = "\x1b[?1049h";
constexpr const char* kLeaveAlternateScreen = "\x1b[?1049l";

class Probe {
 public:
  // Starts the probe on a new pseudo-terminal of `rows` x `cols`.
  explicit Probe(int rows = 26, int cols = 80, bool onTerminal = true, const char* term = "xterm") {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master_, 0);
    grantpt(master_);
    unlockpt(master_);
    std::string slave = ptsname(master_);
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    ioctl(master_, TIOCSWINSZ, &size);
    tcgetattr(master_, &cooked_);
    char desktop[] = "/tmp/fwutil-terminal-test-XXXXXX";
    desktop_ = mkdtemp(desktop);

    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      int fd = open(slave.c_str(), O_RDWR);
      if (fd < 0) _exit(90);
      ioctl(fd, TIOCSCTTY, 0);
      if (onTerminal) {
        dup2(fd, 0);
      } else {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
      }
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("TERM", term, 1);
      setenv("FWUTIL_DESKTOP", desktop_.c_str(), 1);
      execl(FWUTIL_TERMINAL_PROBE, FWUTIL_TERMINAL_PROBE, "app", static_cast<char*>(nullptr));
      _exit(91);
    }
  }

  ~Probe() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    std::string cmd = "rm -rf '" + desktop_ + "'";
    [[maybe_unused]] int rc = system(cmd.c_str());
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads what comes within `time`; once the probe's end of the terminal
  // is closed, just waits.
  void Drain(std::chrono::milliseconds time) {
    auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      int n = poll(&p, 1, std::max<int>(1, static_cast<int>(left.count())));
      if (n <= 0) continue;
      char buffer[4096];
      ssize_t got = read(master_, buffer, sizeof buffer);
      if (got > 0) {
        output_.append(buffer, static_cast<size_t>(got));
      } else {
        std::this_thread::sleep_for(end - std::chrono::steady_clock::now());
      }
    }
  }

  // Reads until everything since `from` holds `text`; true if it came.
  bool WaitFor(const std::string& text, size_t from = 0, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (output_.find(text, std::min(from, output_.size())) != std::string::npos) return true;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return output_.find(text, std::min(from, output_.size())) != std::string::npos;
      output_.append(buffer, static_cast<size_t>(n));
    }
  }

  // Waits for the probe to end; its wait status, -1 on time-out.
  int Wait(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        Drain(50ms);  // what it wrote last
        return status;
      }
      // Keep draining the terminal so the probe never blocks writing.
      Drain(20ms);
    }
    return -1;
  }

  void Resize(int rows, int cols) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    ioctl(master_, TIOCSWINSZ, &size);
  }

  termios Modes() {
    termios t{};
    tcgetattr(master_, &t);
    return t;
  }
  const termios& Cooked() const { return cooked_; }
  const std::string& Output() const { return output_; }
  pid_t Pid() const { return pid_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  termios cooked_{};
  std::string output_;
  std::string desktop_;
};

bool Raw(const termios& t) { return !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_iflag & IXON); }

bool SameModes(const termios& a, const termios& b) {
  return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag;
}

// The probe's drawn first screen.
void WaitForScreen(Probe& probe) {
  ASSERT_TRUE(probe.WaitFor(kEnterAlternateScreen));
  ASSERT_TRUE(probe.WaitFor("hello from the probe"));
  ASSERT_TRUE(probe.WaitFor("probe status line"));
  ASSERT_TRUE(probe.WaitFor("[ok]"));
}

// What the probe wrote after giving the terminal back.
std::string AfterRestore(const Probe& probe) {
  size_t at = probe.Output().rfind(kLeaveAlternateScreen);
  return at == std::string::npos ? std::string() : probe.Output().substr(at);
}

TEST(TerminalFrontend, DoneButtonKeyClosesTheProgramAndTheTerminalComesBack) {
  Probe probe;
  WaitForScreen(probe);
  EXPECT_THAT(probe.Output(), HasSubstr("Probe"));
  EXPECT_TRUE(Raw(probe.Modes()));

  probe.Type("\x1bOQ");  // F2
  int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 42);
  EXPECT_TRUE(SameModes(probe.Modes(), probe.Cooked()));
  // Standard error held during the session comes out after the screen is
  // restored, followed by what the program printed itself.
  std::string after = AfterRestore(probe);
  size_t held = after.find("probe: written while the screen was drawn");
  size_t printed = after.find("probe ended 42");
  ASSERT_NE(held, std::string::npos);
  ASSERT_NE(printed, std::string::npos);
  EXPECT_LT(held, printed);  // given back by Stop, not only at exit
}

TEST(TerminalFrontend, CtrlQReachesTheProgram) {
  Probe probe;
  WaitForScreen(probe);
  probe.Type("\x11");
  int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_TRUE(SameModes(probe.Modes(), probe.Cooked()));
}

TEST(TerminalFrontend, SigtermRestoresTheTerminalAndEndsAsSigtermDoes) {
  Probe probe;
  WaitForScreen(probe);
  kill(probe.Pid(), SIGTERM);
  int status = probe.Wait();
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_TRUE(SameModes(probe.Modes(), probe.Cooked()));
  EXPECT_THAT(AfterRestore(probe), HasSubstr("probe: written while the screen was drawn"));
}

TEST(TerminalFrontend, CtrlCQuitsWithTheTerminalRestored) {
  Probe probe;
  WaitForScreen(probe);
  probe.Type("\x03");
  int status = probe.Wait();
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_TRUE(SameModes(probe.Modes(), probe.Cooked()));
  EXPECT_FALSE(AfterRestore(probe).empty());
}

TEST(TerminalFrontend, FatalSignalLeavesTheMessageReadable) {
  Probe probe;
  WaitForScreen(probe);
  kill(probe.Pid(), SIGABRT);
  int status = probe.Wait();
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  EXPECT_TRUE(SameModes(probe.Modes(), probe.Cooked()));
  EXPECT_THAT(AfterRestore(probe), HasSubstr("probe: written while the screen was drawn"));
}

TEST(TerminalFrontend, CommandPromptAndRebooting) {
  Probe probe;
  WaitForScreen(probe);
  size_t before = probe.Output().size();
  probe.Type(":");
  ASSERT_TRUE(probe.WaitFor("Command:", before));
  probe.Type("150\r");
  ASSERT_TRUE(probe.WaitFor("Rebooting...", before));
  int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_TRUE(SameModes(probe.Modes(), probe.Cooked()));
}

TEST(TerminalFrontend, MovingTheCaretAlongALongLineShowsItsEnd) {
  Probe probe;
  WaitForScreen(probe);
  ASSERT_TRUE(probe.WaitFor("Update failed: No answer from the radio"));
  EXPECT_THAT(probe.Output(), Not(HasSubstr("module reset)")));  // cut at the view's edge
  // Up twice to the failure line, End to its end; Ctrl+L redraws every
  // cell, so the line's text comes out whole once the control has moved.
  const size_t keysAt = probe.Output().size();
  probe.Type("\x1bOA\x1bOA\x1bOF");
  bool shown = false;
  for (int tries = 0; tries < 20 && !shown; ++tries) {
    size_t before = probe.Output().size();
    probe.Type("\x0c");
    shown = probe.WaitFor("h after the module reset)", before, 500ms);
  }
  EXPECT_TRUE(shown);
  // Shown from the control's first column, the caret a third of the width
  // inside the edge: not merely slid until the caret reaches the frame's edge.
  EXPECT_THAT(probe.Output().substr(keysAt), Not(HasSubstr("for A0h")));
  probe.Type("\x1bOQ");
  int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST(TerminalFrontend, FollowsTheTerminalSize) {
  Probe probe;
  WaitForScreen(probe);
  size_t before = probe.Output().size();
  probe.Resize(5, 20);  // the kernel signals SIGWINCH to the probe
  ASSERT_TRUE(probe.WaitFor("Terminal too small", before));
  before = probe.Output().size();
  probe.Resize(30, 100);
  EXPECT_TRUE(probe.WaitFor("hello from the probe", before));
  probe.Type("\x1bOQ");
  int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST(TerminalFrontend, IdleUsesNoCpu) {
  Probe probe;
  WaitForScreen(probe);
  auto cpu = [&] {
    std::ifstream stat("/proc/" + std::to_string(probe.Pid()) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  };
  std::this_thread::sleep_for(300ms);  // let start-up settle
  long before = cpu();
  std::this_thread::sleep_for(1500ms);
  long used = cpu() - before;
  // Clock ticks (1/100 s): a busy loop would take about 150.
  EXPECT_LE(used, 3);
  probe.Type("\x1bOQ");
  probe.Wait();
}

TEST(TerminalFrontend, StartRefusesWhenStandardInputIsNoTerminal) {
  Probe probe(26, 80, false);
  ASSERT_TRUE(probe.WaitFor("start failed: the terminal front end needs a terminal"));
  int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST(TerminalFrontend, StartRefusesAnUnknownTerminalTypeAndLeavesItAlone) {
  Probe probe(26, 80, true, "no-such-terminal");
  ASSERT_TRUE(probe.WaitFor("start failed: ncurses cannot drive this terminal (TERM=no-such-terminal)"));
  int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  EXPECT_TRUE(SameModes(probe.Modes(), probe.Cooked()));
  EXPECT_EQ(probe.Output().find(kEnterAlternateScreen), std::string::npos);
}

}  // namespace
