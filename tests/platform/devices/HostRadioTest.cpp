// Back ends of the radio interface driver that reach outside the process:
// the reset pulse on a modem-control line, a real tty, and the control FIFO
// of the module simulator.
#include "devices/ril/HostRadio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "kernel/Thread.h"
#include "kernel/Wait.h"

namespace {

using namespace std::chrono_literals;
using ril::ModemLine;

class FakeLines : public ril::ModemLines {
 public:
  struct Event {
    bool raise;
    ModemLine line;
    kernel::TimePoint at;
  };
  int Raise(ModemLine line) override { return Note(true, line); }
  int Drop(ModemLine line) override { return Note(false, line); }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(m_);
    return events_;
  }
  bool WaitEvents(size_t n, kernel::TimePoint deadline) {
    std::unique_lock<std::mutex> lock(m_);
    return kernel::WaitUntil(lock, waiters_, deadline, [&] { return events_.size() >= n; });
  }
  int error = 0;

 private:
  int Note(bool raise, ModemLine line) {
    std::lock_guard<std::mutex> guard(m_);
    events_.push_back({raise, line, kernel::Clock::now()});
    waiters_.WakeAll();
    return error;
  }
  std::mutex m_;
  kernel::WaitQueue waiters_;
  std::vector<Event> events_;
};

TEST(ModemLineReset, PulsesTheChosenLineForItsLength) {
  kernel::SetClockSpeed(10);
  for (ModemLine line : {ModemLine::Dtr, ModemLine::Rts}) {
    for (bool activeHigh : {false, true}) {
      auto lines = std::make_shared<FakeLines>();
      auto radio =
          ril::MakeModemLineResetRadio(lines, {.path = "x", .line = line, .pulseMs = 300, .activeHigh = activeHigh});
      EXPECT_EQ(radio->Reset(), 0u);
      auto events = lines->Events();
      ASSERT_EQ(events.size(), 2u);
      EXPECT_EQ(events[0].raise, activeHigh);
      EXPECT_EQ(events[1].raise, !activeHigh);
      EXPECT_EQ(events[0].line, line);
      EXPECT_EQ(events[1].line, line);
      EXPECT_GE(events[1].at - events[0].at, 300ms);
      // Suspend and resume have no line: they succeed and touch nothing.
      EXPECT_EQ(radio->Suspend(), 0u);
      EXPECT_EQ(radio->Resume(), 0u);
      EXPECT_EQ(lines->Events().size(), 2u);
    }
  }
}

TEST(ModemLineReset, MissingLineFailsWithNotSupported) {
  auto lines = std::make_shared<FakeLines>();
  lines->error = ENOTTY;
  auto radio = ril::MakeModemLineResetRadio(lines, {.path = "x"});
  EXPECT_EQ(radio->Reset(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(lines->Events().size(), 1u);  // no pulse to end
  lines->error = EIO;
  EXPECT_EQ(radio->Reset(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST(ModemLineReset, LineIsRestoredWhenTheThreadIsTerminatedMidPulse) {
  auto lines = std::make_shared<FakeLines>();
  auto radio = ril::MakeModemLineResetRadio(lines, {.path = "x", .pulseMs = 600000});
  auto thread = kernel::StartThread([](void* p) -> uint32_t { return static_cast<ril::RadioHardware*>(p)->Reset(); },
                                    radio.get(), false);
  ASSERT_TRUE(lines->WaitEvents(1, kernel::Clock::now() + 5s));
  thread->Terminate(7);
  ASSERT_TRUE(thread->WaitFinished(kernel::Clock::now() + 5s));
  auto events = lines->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].raise);
  EXPECT_TRUE(events[1].raise);
  // The next reset is not held up by the one that was cut short.
  auto quick = ril::MakeModemLineResetRadio(lines, {.path = "x", .pulseMs = 1});
  EXPECT_EQ(quick->Reset(), 0u);
}

TEST(TtyReset, OpensOnlyTtys) {
  std::string error;
  EXPECT_EQ(ril::MakeTtyResetRadio({.path = "/nonexistent/ttyUSB9"}, &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/ttyUSB9"), std::string::npos);
  EXPECT_EQ(ril::MakeTtyResetRadio({.path = "/dev/null"}, &error), nullptr);
  EXPECT_NE(error.find("not a tty"), std::string::npos);
}

TEST(TtyReset, PseudoTerminalHasNoModemLines) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  std::string error;
  auto radio = ril::MakeTtyResetRadio({.path = name, .line = ModemLine::Rts, .pulseMs = 10}, &error);
  ASSERT_NE(radio, nullptr) << error;
  EXPECT_EQ(radio->Reset(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_NE(radio->Describe().find("RTS"), std::string::npos);
  radio.reset();
  close(slave);
  close(master);
}

class ControlChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(dir), nullptr);
    fifo = std::string(dir) + "/control";
  }
  void TearDown() override {
    unlink(fifo.c_str());
    rmdir(dir);
  }
  std::string ReadAll(int fd) {
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
  }
  char dir[32] = "/tmp/rilctlXXXXXX";
  std::string fifo;
};

TEST_F(ControlChannel, WritesOneLinePerRequest) {
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto radio = ril::MakeControlChannelRadio(fifo);
  EXPECT_EQ(radio->Reset(), 0u);
  EXPECT_EQ(radio->Suspend(), 0u);
  EXPECT_EQ(radio->Resume(), 0u);
  EXPECT_EQ(ReadAll(reader), "reset\nsuspend\nresume\n");
  close(reader);
}

TEST_F(ControlChannel, NoSimulatorMeansNotConnected) {
  auto radio = ril::MakeControlChannelRadio(fifo);
  EXPECT_EQ(radio->Reset(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));  // no FIFO
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(radio->Reset(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));  // nobody reading
}

TEST_F(ControlChannel, SimulatorThatDoesNotReadMakesRequestsBusy) {
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto radio = ril::MakeControlChannelRadio(fifo);
  DWORD result = 0;
  for (int i = 0; i < 100000 && result == 0; ++i) result = radio->Reset();
  EXPECT_EQ(result, static_cast<DWORD>(ERROR_BUSY));
  close(reader);
}

TEST_F(ControlChannel, RefusesAPathThatIsNoFifo) {
  int fd = open(fifo.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(ril::MakeControlChannelRadio(fifo)->Reset(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  struct stat st {};
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

TEST(NoRadio, AcceptsEverything) {
  auto radio = ril::MakeNoRadio();
  EXPECT_EQ(radio->Suspend(), 0u);
  EXPECT_EQ(radio->Resume(), 0u);
  EXPECT_EQ(radio->Reset(), 0u);
  EXPECT_FALSE(radio->Describe().empty());
}

}  // namespace
