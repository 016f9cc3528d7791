// Conformance of threads: suspension and termination, Win32's counts and
// exit codes, pseudo-handles, last errors, event waits. SDK calls only.
//
// A departure: Win32 and CE suspend or end a thread at once, wherever it is
// (the documentation warns that locks it holds stay held). The stand-in
// takes the suspension or termination at the thread's next platform-call
// boundary or inside a blocking wait, so that no lock of the platform stays
// held (platform/README.md, Differences: TerminateThread). The tests below
// park their threads in platform calls, where both agree.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../Polling.h"

namespace {

using namespace std::chrono_literals;

using polling::Eventually;

std::atomic<int> sleeperPasses{0};

DWORD WINAPI Sleeper(LPVOID) {
  for (;;) {
    Sleep(1);
    ++sleeperPasses;
  }
}

// Suspended inside Sleep (a platform call): Win32 and the stand-in agree that
// it makes no further call; the stand-in would let a thread busy outside any
// platform call run on until its next one (see the top of this file).
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
  // CE's pseudo-handle (SH_CURTHREAD + SYS_HANDLE_BASE); desktop Win32's is
  // (HANDLE)-2. The stand-in keeps CE's value.
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
