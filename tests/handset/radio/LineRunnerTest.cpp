// The module on a virtual line: its own thread, its timers and delays, the
// reset line, and the radio interface driver's emulated back end.
#include "radio/LineRunner.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "FakeLine.h"
#include "TestImages.h"
#include "devices/ril/RilDriver.h"
#include "kernel/Wait.h"
#include "radio/EmulatedRadio.h"
#include "radio/Switches.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using radiotest::FakeLine;

constexpr double kSpeed = 20;  // platform time runs 20 times faster

class LogCollector {
 public:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_);
    lines_.push_back(line);
    cv_.notify_all();
  }
  // Waits (real time) for a line containing `text`.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, timeout, [&] {
      for (const auto& l : lines_) {
        if (l.find(text) != std::string::npos) return true;
      }
      return false;
    });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

class LineRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel::SetClockSpeed(kSpeed);
    runner = std::make_shared<radio::LineRunner>(module, line, [this](const std::string& l) { log.Add(l); });
    runner->Start();
  }
  void TearDown() override { runner->Stop(); }

  static kernel::TimePoint In(kernel::Duration d) { return kernel::Clock::now() + d; }

  // The utility's wake-up: 0x55 every 10 ms until 0xA0 arrives.
  bool WakeUp() {
    std::atomic<bool> stop{false};
    std::thread caster([&] {
      while (!stop) {
        line->HostWrite({0x55});
        kernel::SleepUntil(In(10ms));
      }
    });
    runner->Reset();
    bool woke = line->HostWaitFor(0xA0, In(5s));
    stop = true;
    caster.join();
    return woke;
  }

  std::shared_ptr<radio::Module> module = std::make_shared<radio::Module>();
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  LogCollector log;
  std::shared_ptr<radio::LineRunner> runner;
};

TEST_F(LineRunnerTest, FirmwareStartsWhenTheBootWindowEndsWithNoInput) {
  kernel::TimePoint reset = kernel::Clock::now();
  runner->Reset();
  ASSERT_TRUE(log.WaitFor("firmware started"));
  EXPECT_GE(kernel::Clock::now() - reset, 2s);
  line->HostWrite({'A', 'T', '\r'});
  Bytes reply;
  while (reply.size() < 6) {
    auto item = line->HostTake(In(2s));
    ASSERT_TRUE(item && item->byte);
    reply.push_back(*item->byte);
  }
  EXPECT_EQ(std::string(reply.begin(), reply.end()), "\r\nOK\r\n");
}

TEST_F(LineRunnerTest, WholeUpdateOverTheLine) {
  ASSERT_TRUE(WakeUp());
  const auto& images = radiotest::TheImages();
  for (const auto& step : radiotest::UpdateWire(images)) {
    line->HostWrite(step.bytes);
    for (uint8_t awaited : step.answer) ASSERT_TRUE(line->HostWaitFor(awaited, In(10s)));
  }
  EXPECT_TRUE(module->FlashHolds(images.firmware));
  EXPECT_EQ(module->GetRecord().resets, 1u);
}

TEST_F(LineRunnerTest, SlowAnswerArrivesAfterItsDelay) {
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(*module, "delay@stage1=1500", &error)) << error;
  ASSERT_TRUE(WakeUp());
  auto wire = radiotest::UpdateWire(radiotest::TheImages());
  kernel::TimePoint sent = kernel::Clock::now();
  line->HostWrite(wire[0].bytes);
  std::optional<FakeLine::Item> item;
  do {
    item = line->HostTake(In(5s));
    ASSERT_TRUE(item && item->byte);
  } while (*item->byte != 0xA5);
  EXPECT_GE(item->at - sent, 1500ms);
}

TEST_F(LineRunnerTest, ResetDropsAnswersNotYetSentAndInputNotYetTaken) {
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(*module, "delay@stage1=20000", &error)) << error;
  ASSERT_TRUE(WakeUp());
  auto wire = radiotest::UpdateWire(radiotest::TheImages());
  line->HostWrite(wire[0].bytes);
  ASSERT_TRUE(log.WaitFor("stage1: length 184"));
  runner->Reset();
  line->HostWrite({0x55});
  EXPECT_TRUE(line->HostWaitFor(0xA0, In(1s)));
  // The delayed 0xA5 of the earlier attempt never comes.
  EXPECT_FALSE(line->HostWaitFor(0xA5, In(25s)));
  EXPECT_EQ(module->GetRecord().resets, 2u);
}

TEST_F(LineRunnerTest, RefusalReachesTheLineAsACondition) {
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(*module, "refusal=framing", &error)) << error;
  ASSERT_TRUE(WakeUp());
  auto wire = radiotest::UpdateWire(radiotest::TheImages());
  wire[0].bytes.back() ^= 0xFF;
  line->HostWrite(wire[0].bytes);
  auto item = line->HostTake(In(2s));
  ASSERT_TRUE(item);
  EXPECT_FALSE(item->byte.has_value());
  EXPECT_EQ(item->condition, serial::LineCondition::FramingError);
  // Nothing more until the next reset, whatever arrives.
  line->HostWrite(Bytes(20, 0x55));
  EXPECT_FALSE(line->HostTake(In(3s)));
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(LineRunnerTest, IdleModuleDoesNotSpin) {
  runner->Reset();  // a boot window pending, then firmware
  double before = CpuSeconds();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(CpuSeconds() - before, 0.1);
  EXPECT_EQ(module->GetRecord().state, radio::State::Firmware);
}

TEST_F(LineRunnerTest, StopEndsABlockedRunnerAtOnce) {
  auto start = std::chrono::steady_clock::now();
  runner->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  runner->Stop();  // again: nothing to do
}

TEST_F(LineRunnerTest, RadioInterfaceDriverDrivesTheModule) {
  ril::InitRilDriver();
  ril::SetRadioHardware(std::make_shared<radio::EmulatedRadio>(runner));
  HANDLE ril = CreateFileW(u"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(ril, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeviceIoControl(ril, ril::kSuspendCode, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(module->RadioSuspended());
  EXPECT_TRUE(DeviceIoControl(ril, ril::kResetCode, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(module->GetRecord().resets, 1u);
  line->HostWrite({0x55});
  EXPECT_TRUE(line->HostWaitFor(0xA0, In(2s)));
  EXPECT_TRUE(DeviceIoControl(ril, ril::kResumeCode, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(module->RadioSuspended());
  EXPECT_TRUE(CloseHandle(ril));
  ril::SetRadioHardware(nullptr);
}

}  // namespace
