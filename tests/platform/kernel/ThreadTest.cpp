// Conformance of threads: suspension and termination take effect only at
// platform-call boundaries and inside blocking waits, with Win32's counts
// and exit codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kernel/Clock.h"
#include "kernel/Thread.h"

namespace {

using namespace std::chrono_literals;

// Real-time polling for a condition another thread brings about.
template <class F>
bool Eventually(F condition, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

std::atomic<int> sleeperPasses{0};

DWORD WINAPI Sleeper(LPVOID) {
  for (;;) {
    Sleep(1);
    ++sleeperPasses;
  }
}

TEST(ThreadTest, ThreadSuspendedInSleepMakesNoFurtherCallUntilResumed) {
  HANDLE thread = CreateThread(nullptr, 0, Sleeper, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(Eventually([] { return sleeperPasses > 3; }));

  ASSERT_EQ(SuspendThread(thread), 0u);
  int atSuspend = sleeperPasses;
  std::this_thread::sleep_for(100ms);
  // At most the pass already between Sleep's return and its next call.
  EXPECT_LE(sleeperPasses.load(), atSuspend + 1);
  int parked = sleeperPasses;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sleeperPasses.load(), parked);

  ASSERT_EQ(ResumeThread(thread), 1u);
  EXPECT_TRUE(Eventually([&] { return sleeperPasses > parked + 3; }));
  TerminateThread(thread, 0);
  CloseHandle(thread);
}

DWORD WINAPI SleepForever(LPVOID) {
  Sleep(INFINITE);
  return 7;
}

TEST(ThreadTest, SuspendAndResumeReturnThePreviousCount) {
  HANDLE thread = CreateThread(nullptr, 0, SleepForever, nullptr, 0, nullptr);
  EXPECT_EQ(SuspendThread(thread), 0u);
  EXPECT_EQ(SuspendThread(thread), 1u);
  EXPECT_EQ(ResumeThread(thread), 2u);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(ResumeThread(thread), 0u);  // not suspended: nothing to undo
  TerminateThread(thread, 0);
  CloseHandle(thread);
}

TEST(ThreadTest, TerminatedThreadReportsTheExitCodeItWasGiven) {
  HANDLE thread = CreateThread(nullptr, 0, SleepForever, nullptr, 0, nullptr);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

  ASSERT_TRUE(TerminateThread(thread, 42));
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);  // at once, not only after the thread has unwound
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(ThreadTest, SuspendedThreadCanBeTerminated) {
  HANDLE thread = CreateThread(nullptr, 0, SleepForever, nullptr, 0, nullptr);
  SuspendThread(thread);
  ASSERT_TRUE(TerminateThread(thread, 3));
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 3u);
  CloseHandle(thread);
}

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

DWORD WINAPI ReturnFive(LPVOID started) {
  static_cast<std::atomic<bool>*>(started)->store(true);
  return 5;
}

TEST(ThreadTest, ThreadCreatedSuspendedRunsOnlyWhenResumed) {
  std::atomic<bool> started{false};
  HANDLE thread = CreateThread(nullptr, 0, ReturnFive, &started, CREATE_SUSPENDED, nullptr);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(started);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(started);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 5u);
  CloseHandle(thread);
}

TEST(ThreadTest, ExitCodeQueryFailsOnInvalidHandles) {
  DWORD code = 99;
  SetLastError(0);
  EXPECT_FALSE(GetExitCodeThread(INVALID_HANDLE_VALUE, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
  EXPECT_EQ(code, 99u);
  EXPECT_FALSE(TerminateThread(nullptr, 0));
  EXPECT_EQ(SuspendThread(INVALID_HANDLE_VALUE), 0xFFFFFFFFu);
}

TEST(ThreadTest, CurrentThreadPseudoHandleTakesPriorities) {
  EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(0x41));
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 99));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
}

TEST(ThreadTest, LastErrorIsPerThread) {
  SetLastError(1234);
  std::thread([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(5);
  }).join();
  EXPECT_EQ(GetLastError(), 1234u);
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

TEST(ThreadTest, EventWaitTimesOutThenSucceeds) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  std::thread setter([event] {
    std::this_thread::sleep_for(20ms);
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  setter.join();
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // auto-reset
  CloseHandle(event);
}

}  // namespace
