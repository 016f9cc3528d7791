// Unit test of the kernel's handle table: its count of open handles, which
// other tests use to find leaks.
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

}  // namespace
