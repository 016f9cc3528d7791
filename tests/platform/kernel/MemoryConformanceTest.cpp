// Conformance of the GPIO window: reserve address space, map the board's
// register block onto it (CE's VirtualCopy), release it. SDK calls only.
// The desktop has no VirtualCopy and a process reaches no physical memory
// there (platform/README.md, Differences).
#include <windows.h>
#include <pkfuncs.h>

#include <gtest/gtest.h>

#include "KernelTestSupport.h"

namespace {

using kerneltest::kGpioAddress;
using kerneltest::kGpioSize;

class MemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { registers_ = kerneltest::BoardRegisters(kGpioAddress, kGpioSize); }
  volatile uint8_t* registers_ = nullptr;
};

TEST_F(MemoryTest, MappedWindowAliasesTheRegisterBlock) {
  ASSERT_NE(registers_, nullptr);
  auto* window = static_cast<volatile DWORD*>(VirtualAlloc(nullptr, kGpioSize, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(VirtualCopy((LPVOID)window, (LPVOID)(uintptr_t)kGpioAddress, kGpioSize, PAGE_READWRITE | PAGE_NOCACHE));
  window[1] = 0xA5A5A5A5;
  EXPECT_EQ(registers_[4], 0xA5);
  registers_[0] = 0x3C;
  EXPECT_EQ(window[0] & 0xFF, 0x3Cu);
  EXPECT_TRUE(VirtualFree((LPVOID)window, 0, MEM_RELEASE));
}

TEST_F(MemoryTest, MappingOutsideAnyBlockFails) {
  LPVOID window = VirtualAlloc(nullptr, kGpioSize, MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_FALSE(VirtualCopy(window, (LPVOID)(uintptr_t)0xB5000000, kGpioSize, PAGE_READWRITE | PAGE_NOCACHE));
  EXPECT_FALSE(VirtualCopy(window, (LPVOID)(uintptr_t)kGpioAddress, 0x2000, PAGE_READWRITE));  // past the block
  EXPECT_TRUE(VirtualFree(window, 0, MEM_RELEASE));
}

TEST_F(MemoryTest, ReleaseNeedsTheBaseAndSizeZero) {
  size_t before = kerneltest::ReservationCount();
  LPVOID window = VirtualAlloc(nullptr, kGpioSize, MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_EQ(kerneltest::ReservationCount(), before + 1);
  EXPECT_FALSE(VirtualFree(window, kGpioSize, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(static_cast<char*>(window) + 8, 0, MEM_RELEASE));
  EXPECT_TRUE(VirtualFree(window, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(window, 0, MEM_RELEASE));
  EXPECT_EQ(kerneltest::ReservationCount(), before);
}

}  // namespace
