// Run-time linking against the core library and the reboot request that
// reaches the board.
#include <windows.h>
#include <pkfuncs.h>

#include <gtest/gtest.h>

#include "board/Board.h"
#include "kernel/Modules.h"

namespace {

typedef BOOL (*KernelIoControlProc)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);

class RecordingBoard : public board::Board {
 public:
  BOOL OemIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) override {
    lastCode = code;
    return accept;
  }
  std::u16string ProgramPath() override { return path; }
  DWORD lastCode = 0;
  BOOL accept = TRUE;
  std::u16string path = u"\\Windows\\fwutil.exe";
};

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { board::Install(&board_); }
  void TearDown() override {
    board::Install(nullptr);
    board::PlatformFaults().Clear();
  }
  RecordingBoard board_;
};

TEST_F(ModuleTest, CoreLibraryExportsKernelIoControlWhichReachesTheBoard) {
  HINSTANCE core = LoadLibraryW(TEXT("COREDLL.DLL"));
  ASSERT_NE(core, nullptr);
  auto proc = reinterpret_cast<KernelIoControlProc>(GetProcAddressW(core, TEXT("KernelIoControl")));
  ASSERT_NE(proc, nullptr);
  EXPECT_TRUE(FreeLibrary(core));
  // Still callable after the release: the program's imports keep the library.
  EXPECT_TRUE(proc(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(board_.lastCode, 0x0101003Cu);
  EXPECT_EQ(IOCTL_HAL_REBOOT, 0x0101003Cu);
  board_.accept = FALSE;
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

TEST_F(ModuleTest, ModuleFileNameIsTheHandsetPath) {
  WCHAR path[100];
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, 100), 19u);
  EXPECT_EQ(std::u16string(path), u"\\Windows\\fwutil.exe");
  board_.path = u"fwutil.exe";
  GetModuleFileNameW(nullptr, path, 100);
  EXPECT_EQ(std::u16string(path), u"fwutil.exe");
  WCHAR small[4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 3u);
  EXPECT_EQ(std::u16string(small), u"fwu");
}

}  // namespace
