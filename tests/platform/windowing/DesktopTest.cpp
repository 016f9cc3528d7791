// FindWindowW and SetForegroundWindow across processes of the same desktop,
// with a helper program in a process of its own; stale entries of dead
// processes; desktops that do not see each other.
#include <windows.h>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "windowing/Desktop.h"
#include "WindowTestSupport.h"

namespace {

using namespace wintest;

class Helper {
 public:
  Helper(const std::string& desktop, const std::string& cls, const std::string& title) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      execl(FWUTIL_DESKTOP_HELPER, FWUTIL_DESKTOP_HELPER, desktop.c_str(), cls.c_str(), title.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Helper() {
    Close();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }
  // The next line the helper prints, or "" after the limit.
  std::string Line(int limitMs = 10000) {
    std::string line;
    while (true) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, limitMs) <= 0) return "";
      char c;
      if (read(stdout_, &c, 1) != 1) return "";
      if (c == '\n') return line;
      line += c;
    }
  }
  void Close() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

size_t EntriesIn(const std::string& directory, const std::string& suffix = ".window") {
  size_t n = 0;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* d = readdir(dir)) {
      std::string name = d->d_name;
      name = "/" + name;
      n += name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    }
    closedir(dir);
  }
  return n;
}

std::string Listing(const std::string& directory) {
  std::string out;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* d = readdir(dir)) out += std::string(d->d_name) + " ";
    closedir(dir);
  }
  return out + "(this process: " + std::to_string(getpid()) + ")";
}

TEST(DesktopTest, FindsAndRaisesAWindowOfAnotherProcess) {
  Helper helper(kPrivateDesktop, "Firmware Utility", "Firmware Utility");
  ASSERT_EQ(helper.Line(), "ready");
  HWND found = FindWindowW(u"Firmware Utility", nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(FindWindowW(u"firmware utility", u"Firmware Utility"), found);  // the same handle again
  EXPECT_EQ(FindWindowW(nullptr, u"Firmware Utility"), found);
  EXPECT_EQ(FindWindowW(u"Firmware Utility", u"Another Title"), nullptr);
  EXPECT_TRUE(IsWindow(found));

  EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(found) | 1)));
  EXPECT_EQ(helper.Line(), "activated");

  helper.Close();
  EXPECT_EQ(helper.Wait(), 0);
  EXPECT_EQ(FindWindowW(u"Firmware Utility", nullptr), nullptr);
  EXPECT_FALSE(IsWindow(found));
  EXPECT_EQ(EntriesIn(kPrivateDesktop), 0u);  // it withdrew its windows as they ended
}

TEST(DesktopTest, EntriesOfDeadProcessesAreIgnoredAndRemoved) {
  Helper helper(kPrivateDesktop, "Firmware Utility", "Firmware Utility");
  ASSERT_EQ(helper.Line(), "ready");
  EXPECT_EQ(EntriesIn(kPrivateDesktop), 2u);
  helper.Kill();  // no chance to clean up
  EXPECT_EQ(EntriesIn(kPrivateDesktop), 2u);
  EXPECT_EQ(FindWindowW(u"Firmware Utility", nullptr), nullptr);
  EXPECT_EQ(EntriesIn(kPrivateDesktop), 0u);
  // The dead process's request socket is gone too; only this process's may remain.
  EXPECT_EQ(EntriesIn(kPrivateDesktop, ".sock") - EntriesIn(kPrivateDesktop, "/" + std::to_string(getpid()) + ".sock"),
            0u)
      << Listing(kPrivateDesktop);
}

TEST(DesktopTest, LocalWindowsComeFirstAndOtherDesktopsAreInvisible) {
  std::string elsewhere = kPrivateDesktop + "-other";
  Helper helper(elsewhere, "Firmware Utility", "Firmware Utility");
  ASSERT_EQ(helper.Line(), "ready");
  EXPECT_EQ(FindWindowW(u"Firmware Utility", nullptr), nullptr);
  HWND local = Create(nullptr, WS_VISIBLE, nullptr, 0, u"Mine");
  EXPECT_EQ(FindWindowW(u"TestWindow", u"mine"), local);
  DestroyWindow(local);
  helper.Close();
  EXPECT_EQ(helper.Wait(), 0);
  EXPECT_EQ(EntriesIn(elsewhere), 0u);
  EXPECT_EQ(rmdir(elsewhere.c_str()), 0);  // its socket went with it: nothing is left
}

}  // namespace
