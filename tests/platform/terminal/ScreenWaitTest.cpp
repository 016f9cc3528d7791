// screen::WaitForChangeOrFd, the one wait the terminal front end sleeps in:
// it must end on a screen change, on its file descriptor and at its
// deadline, and on nothing else.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kernel/Clock.h"
#include "windowing/Desktop.h"
#include "windowing/Screen.h"

namespace {

using namespace std::chrono_literals;

const std::string kDesktop = windowing::UsePrivateDesktop();

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe(fds_), 0); }
  ~Pipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  int Read() const { return fds_[0]; }
  void Put() { ASSERT_EQ(write(fds_[1], "k", 1), 1); }

 private:
  int fds_[2] = {-1, -1};
};

TEST(ScreenWaitForChangeOrFd, ReadyDescriptorEndsTheWaitWithoutAChange) {
  Pipe p;
  p.Put();
  const uint64_t seen = screen::Version();
  short revents = 0;
  auto start = std::chrono::steady_clock::now();
  uint64_t now = screen::WaitForChangeOrFd(seen, kernel::AfterMilliseconds(10'000), p.Read(), POLLIN, &revents);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(now, seen);
  EXPECT_TRUE(revents & POLLIN);
}

TEST(ScreenWaitForChangeOrFd, DeadlinePassesWhenNothingHappens) {
  Pipe p;
  const uint64_t seen = screen::Version();
  short revents = 7;
  auto start = std::chrono::steady_clock::now();
  uint64_t now = screen::WaitForChangeOrFd(seen, kernel::AfterMilliseconds(150), p.Read(), POLLIN, &revents);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 140ms);
  EXPECT_EQ(now, seen);
  EXPECT_EQ(revents, 0);
}

TEST(ScreenWaitForChangeOrFd, ScreenChangeEndsTheWaitAndAnOldVersionReturnsAtOnce) {
  Pipe p;
  const uint64_t seen = screen::Version();
  std::thread changer([] {
    std::this_thread::sleep_for(50ms);
    // A new visible window is a change of the screen.
    CreateWindowExW(0, u"static", u"changed", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  });
  short revents = 7;
  uint64_t now = screen::WaitForChangeOrFd(seen, kernel::AfterMilliseconds(10'000), p.Read(), POLLIN, &revents);
  changer.join();
  EXPECT_NE(now, seen);
  EXPECT_EQ(revents, 0);

  // A version already behind: no wait at all, even with no deadline.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(screen::WaitForChangeOrFd(seen, kernel::kNever, p.Read(), POLLIN, nullptr), screen::Version());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
