// The radio interface driver "RIL1:": opening, its three control codes and
// nothing else, failures with a last-error value, and its switches.
#include "devices/ril/RilDriver.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <mutex>
#include <vector>

namespace {

class FakeHardware : public ril::RadioHardware {
 public:
  DWORD Suspend() override { return Note("suspend"); }
  DWORD Resume() override { return Note("resume"); }
  DWORD Reset() override { return Note("reset"); }
  std::string Describe() const override { return "fake"; }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(m_);
    return calls_;
  }
  DWORD result = 0;

 private:
  DWORD Note(const char* what) {
    std::lock_guard<std::mutex> guard(m_);
    calls_.push_back(what);
    return result;
  }
  std::mutex m_;
  std::vector<std::string> calls_;
};

class RilDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ril::InitRilDriver();
    ril::Switches().Clear();
    ril::ClearRequests();
    ril::SetRadioHardware(hardware);
  }
  void TearDown() override {
    ril::SetRadioHardware(nullptr);
    ril::Switches().Clear();
  }
  static HANDLE Open() {
    return CreateFileW(u"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  static BOOL Request(HANDLE h, DWORD code) {
    return DeviceIoControl(h, code, nullptr, 0, nullptr, 0, nullptr, nullptr);
  }

  std::shared_ptr<FakeHardware> hardware = std::make_shared<FakeHardware>();
};

TEST_F(RilDriverTest, CodesFollowTheDeviceControlLayout) {
  EXPECT_EQ(ril::kSuspendCode, static_cast<DWORD>(CTL_CODE(0x0300, 0x7E0, METHOD_BUFFERED, FILE_ANY_ACCESS)));
  EXPECT_EQ(ril::kResumeCode, static_cast<DWORD>(CTL_CODE(0x0300, 0x7E1, METHOD_BUFFERED, FILE_ANY_ACCESS)));
  EXPECT_EQ(ril::kResetCode, static_cast<DWORD>(CTL_CODE(0x0300, 0x7E2, METHOD_BUFFERED, FILE_ANY_ACCESS)));
}

TEST_F(RilDriverTest, OpensSeveralTimesAndOnlyAsRil1) {
  HANDLE a = Open();
  HANDLE b = Open();
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_NE(a, b);
  EXPECT_TRUE(Request(b, ril::kResetCode));
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(Request(b, ril::kResetCode));
  EXPECT_TRUE(CloseHandle(b));
  HANDLE lower = CreateFileW(u"ril1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(lower, INVALID_HANDLE_VALUE);
  CloseHandle(lower);
  SetLastError(0);
  EXPECT_EQ(CreateFileW(u"RIL2:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RilDriverTest, EachCodeReachesItsRequest) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Request(h, ril::kSuspendCode));
  EXPECT_TRUE(Request(h, ril::kResumeCode));
  DWORD returned = 77;
  EXPECT_TRUE(DeviceIoControl(h, ril::kResetCode, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(hardware->Calls(), (std::vector<std::string>{"suspend", "resume", "reset"}));
  ril::RequestCounts counts = ril::Requests();
  EXPECT_EQ(counts.suspend, 1u);
  EXPECT_EQ(counts.resume, 1u);
  EXPECT_EQ(counts.reset, 1u);
  EXPECT_EQ(counts.failed, 0u);
  CloseHandle(h);
}

TEST_F(RilDriverTest, OtherCodesAndBuffersAreRejected) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  for (DWORD code : {0u, 0x03001F8Cu, 0x03001F81u, 0x03011F80u, 0x00001F80u}) {
    SetLastError(0);
    EXPECT_FALSE(Request(h, code)) << std::hex << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << std::hex << code;
  }
  BYTE buffer[4] = {};
  struct Case {
    void* in;
    DWORD inSize;
    void* out;
    DWORD outSize;
  };
  for (Case c : {Case{buffer, 4, nullptr, 0}, Case{nullptr, 0, buffer, 4}, Case{buffer, 0, nullptr, 0},
                 Case{nullptr, 4, nullptr, 0}, Case{nullptr, 0, nullptr, 4}}) {
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, ril::kResetCode, c.in, c.inSize, c.out, c.outSize, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_TRUE(hardware->Calls().empty());
  CloseHandle(h);
}

TEST_F(RilDriverTest, BackEndErrorBecomesTheLastError) {
  hardware->result = ERROR_NOT_READY;
  HANDLE h = Open();
  SetLastError(0);
  EXPECT_FALSE(Request(h, ril::kResetCode));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_EQ(ril::Requests().failed, 1u);
  CloseHandle(h);
}

TEST_F(RilDriverTest, AbsentDriverFailsTheOpen) {
  ril::Switches().absent = true;
  SetLastError(0);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Handles opened before stay usable.
  ril::Switches().absent = false;
  HANDLE h = Open();
  ril::Switches().absent = true;
  EXPECT_TRUE(Request(h, ril::kSuspendCode));
  CloseHandle(h);
}

TEST_F(RilDriverTest, RefusalSwitchesFailOneOrAllRequests) {
  HANDLE h = Open();
  ril::Switches().refuseReset = ERROR_GEN_FAILURE;
  EXPECT_TRUE(Request(h, ril::kSuspendCode));
  EXPECT_TRUE(Request(h, ril::kResumeCode));
  SetLastError(0);
  EXPECT_FALSE(Request(h, ril::kResetCode));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(hardware->Calls(), (std::vector<std::string>{"suspend", "resume"}));

  ril::Switches().RefuseAll(2);
  for (DWORD code : {ril::kSuspendCode, ril::kResumeCode, ril::kResetCode}) {
    SetLastError(0);
    EXPECT_FALSE(Request(h, code));
    EXPECT_EQ(GetLastError(), 2u);
  }
  EXPECT_EQ(hardware->Calls().size(), 2u);
  ril::Switches().Clear();
  EXPECT_TRUE(Request(h, ril::kResetCode));
  CloseHandle(h);
}

TEST_F(RilDriverTest, SwitchesAsText) {
  std::string error;
  ASSERT_TRUE(ril::ApplyDriverSwitch("refuse-reset=0x1F", &error)) << error;
  HANDLE h = Open();
  EXPECT_FALSE(Request(h, ril::kResetCode));
  EXPECT_EQ(GetLastError(), 0x1Fu);
  EXPECT_TRUE(Request(h, ril::kSuspendCode));
  ASSERT_TRUE(ril::ApplyDriverSwitch("refuse=5", &error));
  EXPECT_FALSE(Request(h, ril::kSuspendCode));
  EXPECT_EQ(GetLastError(), 5u);
  ASSERT_TRUE(ril::ApplyDriverSwitch("refuse-suspend=0", &error));
  EXPECT_TRUE(Request(h, ril::kSuspendCode));
  EXPECT_FALSE(Request(h, ril::kResumeCode));
  ASSERT_TRUE(ril::ApplyDriverSwitch("absent", &error));
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ril::ApplyDriverSwitch("clear", &error));
  EXPECT_TRUE(Request(h, ril::kResumeCode));
  CloseHandle(h);
  for (const char* bad :
       {"", "refuse", "refuse=", "refuse=-1", "refuse=0x1G", "refuse=99999999999", "reboot=1", "absent=1"}) {
    EXPECT_FALSE(ril::ApplyDriverSwitch(bad, &error)) << bad;
    EXPECT_NE(error.find("RIL1: switch"), std::string::npos);
  }
  EXPECT_EQ(ril::Switches().refuseReset.load(), 0u);
  EXPECT_FALSE(ril::Switches().absent.load());
}

TEST_F(RilDriverTest, WithoutBackEndRequestsSucceed) {
  ril::SetRadioHardware(nullptr);
  HANDLE h = Open();
  EXPECT_TRUE(Request(h, ril::kResetCode));
  EXPECT_TRUE(Request(h, ril::kSuspendCode));
  CloseHandle(h);
}

TEST_F(RilDriverTest, ReadAndWriteAreNotFunctionsOfTheDriver) {
  HANDLE h = Open();
  BYTE b = 0;
  DWORD n = 5;
  EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(WriteFile(h, &b, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  CloseHandle(h);
}

}  // namespace
