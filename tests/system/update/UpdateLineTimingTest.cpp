// The update line's settings as the module's end of the line lives them:
// each byte takes 10.5 bit times (start bit, 8 data bits, 1.5 stop bits)
// at 115200 bits per second.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "kernel/Clock.h"
#include "kernel/DebugOutput.h"
#include "serial/Serial.h"
#include "serial/VirtualPort.h"
#include "support/LineTiming.h"
#include "update/CeChat.h"

namespace systemtest {
namespace {

class UpdateLineTimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A slow platform clock: a stall of the test's threads counts for less
    // against the line's time.
    kernel::SetClockSpeed(0.25);
    serial::InitializeDriver();
    trace_ = std::make_shared<debugout::MemorySink>();
    debugout::SetSink(trace_);
    line_ = serial::ConfigureVirtualPort(1, serial::VirtualPortOptions{});
  }
  void TearDown() override {
    CloseUpdatePort();
    serial::RemovePort(1);
    debugout::SetSink(nullptr);
    kernel::SetClockSpeed(1);
  }

  std::shared_ptr<debugout::MemorySink> trace_;
  std::shared_ptr<serial::VirtualPort> line_;
};

TEST_F(UpdateLineTimingTest, AByteTakesTenAndAHalfBitTimes) {
  ASSERT_TRUE(OpenUpdatePort());
  ASSERT_TRUE(line_->Paced());
  ExpectBitsPerByte(MeasureBitsPerByte(*line_, UpdatePortHandle(), 115200, 0.3), 10.5);
}

}  // namespace
}  // namespace systemtest
