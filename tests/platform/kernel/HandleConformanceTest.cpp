#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Win32 and CE may give a closed handle's value to the next object; the
// stand-in does not hand the value just closed out again, so that a handle
// kept after its close fails (ERROR_INVALID_HANDLE) rather than reaching
// another object.
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

}  // namespace
