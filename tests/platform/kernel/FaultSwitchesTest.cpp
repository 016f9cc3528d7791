// Unit tests of the kernel's fault switches (for the system's failure
// paths): reserving and mapping address space, loading, looking up and
// releasing a library, each failing on its own.
#include <windows.h>
#include <pkfuncs.h>

#include <gtest/gtest.h>

#include "board/Board.h"
#include "kernel/Memory.h"

namespace {

using board::kGpioAddress;
using board::kGpioSize;

class MemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { kernel::RegisterPhysicalBlock(kGpioAddress, kGpioSize); }
  void TearDown() override { board::PlatformFaults().Clear(); }
};

TEST_F(MemoryTest, SwitchesMakeReserveAndMapFail) {
  board::PlatformFaults().reserveFails = true;
  EXPECT_EQ(VirtualAlloc(nullptr, kGpioSize, MEM_RESERVE, PAGE_NOACCESS), nullptr);
  board::PlatformFaults().reserveFails = false;
  board::PlatformFaults().virtualCopyFails = true;
  LPVOID window = VirtualAlloc(nullptr, kGpioSize, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(VirtualCopy(window, (LPVOID)(uintptr_t)kGpioAddress, kGpioSize, PAGE_READWRITE | PAGE_NOCACHE));
  EXPECT_TRUE(VirtualFree(window, 0, MEM_RELEASE));
}

class ModuleTest : public ::testing::Test {
 protected:
  void TearDown() override { board::PlatformFaults().Clear(); }
};

TEST_F(ModuleTest, SwitchesFailLoadLookupAndReleaseEachOnItsOwn) {
  board::PlatformFaults().loadLibraryFails = true;
  EXPECT_EQ(LoadLibraryW(TEXT("COREDLL.DLL")), nullptr);
  board::PlatformFaults().loadLibraryFails = false;

  HINSTANCE core = LoadLibraryW(TEXT("COREDLL.DLL"));
  ASSERT_NE(core, nullptr);
  board::PlatformFaults().procAddressFails = true;
  EXPECT_EQ(GetProcAddressW(core, TEXT("KernelIoControl")), nullptr);
  board::PlatformFaults().procAddressFails = false;
  board::PlatformFaults().freeLibraryFails = true;
  EXPECT_FALSE(FreeLibrary(core));
  board::PlatformFaults().freeLibraryFails = false;
  EXPECT_TRUE(FreeLibrary(core));
}

}  // namespace
