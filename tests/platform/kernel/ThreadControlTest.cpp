// Unit tests of the kernel's thread control and clock: a termination that
// returns while its target still unwinds inside a platform call, and the
// scaled platform clock that tests run on.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../Polling.h"
#include "kernel/Clock.h"
#include "kernel/Thread.h"

namespace {

using namespace std::chrono_literals;

using polling::Eventually;

// A thread that has seen its termination runs none of its own code any
// more, but the platform's clean-up on its way out may wait for others (a
// sender waits for the handler of its message). TerminateThread must not
// wait for that clean-up: the one it waits for may be waiting for it.
TEST(ThreadTest, TerminateReturnsWhileTheTargetIsStillUnwindingInsideACall) {
  std::atomic<bool> inCall{false}, terminateReturned{false}, sawReturn{false};
  auto control = kernel::StartThread(
      [&]() -> uint32_t {
        kernel::PlatformCall call;
        struct CleanUp {
          std::atomic<bool>& returned;
          std::atomic<bool>& saw;
          ~CleanUp() {
            auto end = std::chrono::steady_clock::now() + 20s;
            while (!returned && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
            saw = returned.load();
          }
        } cleanUp{terminateReturned, sawReturn};
        inCall = true;
        // Busy inside the call, never blocked: termination takes effect at
        // the next check, and the clean-up above then runs inside the call.
        for (;;) kernel::ThreadControl::Self().CheckPoint();
      },
      false);
  ASSERT_TRUE(Eventually([&] { return inCall.load(); }));
  EXPECT_TRUE(control->Terminate(6));
  terminateReturned = true;
  ASSERT_TRUE(control->WaitFinished(kernel::kNever));
  EXPECT_TRUE(sawReturn.load()) << "TerminateThread waited for the clean-up of its target";
  EXPECT_EQ(control->ExitCode(), 6u);
}

TEST(ThreadTest, ScaledClockShortensSleep) {
  kernel::SetClockSpeed(100);
  auto start = std::chrono::steady_clock::now();
  auto platformStart = GetTickCount();
  Sleep(1000);
  auto real = std::chrono::steady_clock::now() - start;
  kernel::SetClockSpeed(1);
  EXPECT_LT(real, 500ms);
  EXPECT_GE(GetTickCount() - platformStart, 1000u);
}

}  // namespace
