// Reads on a host tty whose line has gone quiet. Once a wait has seen
// nothing arrive, the port's next read looks at the line with its wait
// instead of reading first (one call to the host per pass while nothing
// flows), so what follows checks that nothing is missed that way: bytes
// that came between two reads, a read that must return at once, a hang-up
// and a removed port. And bytes already queued answer a read at once.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "serial/Serial.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr unsigned kIdlePort = 9;
const WCHAR* const kIdlePortName = u"COM9:";

class HostTtyIdleLine : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::InitializeDriver();
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    std::string why;
    ASSERT_NE(serial::ConfigureHostPort(kIdlePort, name, {}, &why), nullptr) << why;
    port_ = CreateFileW(kIdlePortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    // The relay's settings: a read waits at most 1 ms for what it asks.
    ASSERT_TRUE(SetTimeouts(0, 0, 1));
  }

  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    serial::RemovePort(kIdlePort);
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  bool SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    return SetCommTimeouts(port_, &t);
  }

  // A read that finds the line quiet and times out, leaving it marked idle.
  void GoIdle() {
    uint8_t buffer[1024];
    DWORD read = 99;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    ASSERT_EQ(read, 0u);
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    ASSERT_EQ(read, 0u);
  }

  void Send(std::vector<uint8_t> bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Whether bytes wait at the port's end of the pty (looked at through the
  // test's own descriptor of it, which takes nothing).
  bool Arrived() {
    pollfd p{slave_, POLLIN, 0};
    return poll(&p, 1, 5000) > 0;
  }

  int master_ = -1;
  int slave_ = -1;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(HostTtyIdleLine, BytesThatCameBetweenReadsAreReadWithoutWaitingTheTimeOut) {
  GoIdle();
  Send({1, 2, 3});
  ASSERT_TRUE(Arrived());
  // A long time-out that only a missed arrival would wait out.
  ASSERT_TRUE(SetTimeouts(0, 0, 60000));
  uint8_t buffer[3] = {};
  DWORD read = 0;
  auto start = Steady::now();
  ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
  EXPECT_LT(Steady::now() - start, 30s);
  ASSERT_EQ(read, 3u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(HostTtyIdleLine, ARelayPassAfterQuietTakesWhatCameAndAtMostItsSize) {
  GoIdle();
  std::vector<uint8_t> sent(1500);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
  Send(sent);
  ASSERT_TRUE(Arrived());
  std::vector<uint8_t> got;
  auto until = Steady::now() + 10s;
  while (got.size() < sent.size() && Steady::now() < until) {
    uint8_t buffer[1024];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    ASSERT_LE(read, sizeof buffer);
    got.insert(got.end(), buffer, buffer + read);
  }
  EXPECT_EQ(got, sent);
}

TEST_F(HostTtyIdleLine, AReadThatReturnsAtOnceStillReadsTheLine) {
  GoIdle();
  Send({9, 8});
  ASSERT_TRUE(Arrived());
  ASSERT_TRUE(SetTimeouts(MAXDWORD, 0, 0));
  std::vector<uint8_t> got;
  auto until = Steady::now() + 5s;
  while (got.size() < 2 && Steady::now() < until) {
    uint8_t buffer[16];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    got.insert(got.end(), buffer, buffer + read);
  }
  EXPECT_EQ(got, (std::vector<uint8_t>{9, 8}));
}

TEST_F(HostTtyIdleLine, BytesAlreadyQueuedAnswerAReadAtOnce) {
  Send({1, 2, 3, 4, 5, 6, 7, 8});
  // ClearCommError takes what has arrived into the port's input queue.
  auto until = Steady::now() + 5s;
  COMSTAT stat{};
  DWORD errors = 0;
  while (Steady::now() < until) {
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    if (stat.cbInQue == 8) break;
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(stat.cbInQue, 8u);
  ASSERT_TRUE(SetTimeouts(0, 0, 60000));
  uint8_t buffer[4] = {};
  DWORD read = 0;
  auto start = Steady::now();
  ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
  EXPECT_LT(Steady::now() - start, 30s);
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 4u);
}

TEST_F(HostTtyIdleLine, AHangUpOnAQuietLineFailsAReadWithoutTimeOut) {
  GoIdle();
  ASSERT_TRUE(SetTimeouts(0, 0, 0));
  auto reader = std::async(std::launch::async, [&] {
    uint8_t buffer[16];
    DWORD read = 0;
    BOOL ok = ReadFile(port_, buffer, sizeof buffer, &read, nullptr);
    return std::make_pair(ok, GetLastError());
  });
  std::this_thread::sleep_for(50ms);
  close(master_);
  master_ = -1;
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  auto [ok, error] = reader.get();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(HostTtyIdleLine, AReadAfterThePortWasRemovedFailsRatherThanWaits) {
  GoIdle();
  ASSERT_TRUE(SetTimeouts(0, 0, 0));
  ASSERT_TRUE(serial::RemovePort(kIdlePort));
  auto reader = std::async(std::launch::async, [&] {
    uint8_t buffer[16];
    DWORD read = 0;
    BOOL ok = ReadFile(port_, buffer, sizeof buffer, &read, nullptr);
    return std::make_pair(ok, GetLastError());
  });
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  auto [ok, error] = reader.get();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

}  // namespace
