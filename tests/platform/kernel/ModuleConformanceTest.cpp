// Conformance of run-time linking against the core library (CE's
// COREDLL.DLL, GetProcAddressW) and the reboot request that reaches the
// board; the program's module file name. SDK calls only; the board that
// records the request is KernelTestSupport's.
//
// CE's: COREDLL.DLL, GetProcAddressW and KernelIoControl do not exist on the
// desktop, where the utility's reboot reports "LoadLibrary() call fails !"
// (platform/README.md, Differences).
#include <windows.h>
#include <pkfuncs.h>

#include <gtest/gtest.h>

#include "KernelTestSupport.h"

namespace {

typedef BOOL (*KernelIoControlProc)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);

class ModuleTest : public ::testing::Test {
 protected:
  kerneltest::TestBoard board_;
};

TEST_F(ModuleTest, CoreLibraryExportsKernelIoControlWhichReachesTheBoard) {
  HINSTANCE core = LoadLibraryW(TEXT("COREDLL.DLL"));
  ASSERT_NE(core, nullptr);
  auto proc = reinterpret_cast<KernelIoControlProc>(GetProcAddressW(core, TEXT("KernelIoControl")));
  ASSERT_NE(proc, nullptr);
  EXPECT_TRUE(FreeLibrary(core));
  // Still callable after the release: the program's imports keep the library.
  EXPECT_TRUE(proc(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(board_.LastIoControl(), 0x0101003Cu);
  EXPECT_EQ(IOCTL_HAL_REBOOT, 0x0101003Cu);
  board_.Accept(FALSE);
  EXPECT_FALSE(proc(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
}

TEST_F(ModuleTest, LibraryNamesMatchWithoutRegardToCase) {
  HINSTANCE a = LoadLibraryW(TEXT("coredll.dll"));
  HINSTANCE b = LoadLibraryW(TEXT("\\Windows\\CoreDll"));
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(LoadLibraryW(TEXT("nosuch.dll")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  FreeLibrary(a);
  FreeLibrary(b);
  EXPECT_EQ(GetProcAddressW(a, TEXT("NoSuchFunction")), nullptr);
}

TEST_F(ModuleTest, ModuleFileNameIsTheHandsetPath) {
  WCHAR path[100];
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, 100), 19u);
  EXPECT_EQ(std::u16string(path), u"\\Windows\\fwutil.exe");
  board_.SetProgramPath(u"fwutil.exe");
  GetModuleFileNameW(nullptr, path, 100);
  EXPECT_EQ(std::u16string(path), u"fwutil.exe");
  WCHAR small[4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 3u);
  EXPECT_EQ(std::u16string(small), u"fwu");
}

}  // namespace
