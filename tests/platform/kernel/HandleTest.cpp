#include <windows.h>

#include <gtest/gtest.h>

#include "kernel/Handles.h"

namespace {

TEST(HandleTest, ClosedHandleNamesNothingAndIsNotReused) {
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(first));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(first));
  HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(first, second);
  CloseHandle(second);
}

TEST(HandleTest, OpenHandleCountFollowsCreateAndClose) {
  size_t before = kernel::OpenHandleCount();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(kernel::OpenHandleCount(), before + 1);
  CloseHandle(event);
  EXPECT_EQ(kernel::OpenHandleCount(), before);
}

}  // namespace
