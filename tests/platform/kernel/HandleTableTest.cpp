// Unit test of the kernel's handle table: its count of open handles, which
// other tests use to find leaks, and the tests' switch that hands closed
// values out again.
#include <windows.h>

#include <gtest/gtest.h>

#include "kernel/Handles.h"

namespace {

TEST(HandleTest, OpenHandleCountFollowsCreateAndClose) {
  size_t before = kernel::OpenHandleCount();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(kernel::OpenHandleCount(), before + 1);
  CloseHandle(event);
  EXPECT_EQ(kernel::OpenHandleCount(), before);
}

// Off, a closed value never comes back; on, the one closed last is the
// next one handed out, then the one closed before it.
TEST(HandleTest, ClosedValuesComeBackOnlyWhileReuseIsOn) {
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(first);
  HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(fresh, first);

  kernel::ReuseClosedHandles(true);
  HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(fresh);
  CloseHandle(second);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), second);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), fresh);
  HANDLE next = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(next, first);
  kernel::ReuseClosedHandles(false);
  for (HANDLE handle : {second, fresh, next}) CloseHandle(handle);
  EXPECT_NE(CreateEventW(nullptr, TRUE, FALSE, nullptr), next);
}

}  // namespace
