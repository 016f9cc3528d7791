// The module behind "COM1:" on a paced virtual line, with "RIL1:" resetting
// it: the exchange as the utility sees it through the comm functions.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "TestImages.h"
#include "devices/ril/RilDriver.h"
#include "radio/EmulatedRadio.h"
#include "radio/LineRunner.h"
#include "radio/Switches.h"
#include "serial/Serial.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ModuleOnCom1 : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel::SetClockSpeed(100);
    serial::InitializeDriver();
    port = serial::ConfigureVirtualPort(1);
    runner = std::make_shared<radio::LineRunner>(module, port);
    runner->Start();
    ril::InitRilDriver();
    ril::SetRadioHardware(std::make_shared<radio::EmulatedRadio>(runner));
  }
  void TearDown() override {
    if (caster) {
      TerminateThread(caster, 0);
      CloseHandle(caster);
    }
    if (com != INVALID_HANDLE_VALUE) CloseHandle(com);
    ril::SetRadioHardware(nullptr);
    runner->Stop();
    serial::RemovePort(1);
  }

  // Opens the line as the update does, except that reads block (up to 20 s
  // of platform time) instead of returning at once.
  void Open(bool configure = true) {
    com = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(com, INVALID_HANDLE_VALUE);
    PurgeComm(com, 15);
    if (!configure) return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONE5STOPBITS;
    ASSERT_TRUE(SetCommState(com, &dcb));
    COMMTIMEOUTS timeouts{0, 0, 20000, 10, 1000};
    ASSERT_TRUE(SetCommTimeouts(com, &timeouts));
  }

  // The update's wait: events first; a break or line error ends it unless
  // the awaited byte is queued, else bytes are read until the awaited one.
  // `events` gets the line conditions seen (stray bytes are no news: a wake-up
  // byte still on its way when the caster stopped is answered late).
  bool WaitForByte(uint8_t awaited, DWORD* events = nullptr) {
    if (events) *events = 0;
    for (;;) {
      SetCommMask(com, EV_RXCHAR | EV_BREAK | EV_ERR);
      DWORD mask = 0;
      if (!WaitCommEvent(com, &mask, nullptr)) return false;
      const DWORD condition = mask & ~static_cast<DWORD>(EV_RXCHAR);
      if (condition) {
        if (events) *events = condition;
        DWORD errors = 0;
        ClearCommError(com, &errors, nullptr);
        lastErrors = errors;
      }
      if (!(mask & EV_RXCHAR)) return false;
      for (;;) {
        BYTE b = 0;
        DWORD n = 0;
        if (!ReadFile(com, &b, 1, &n, nullptr) || n == 0) break;
        if (b == awaited) return true;
      }
      if (condition) return false;
    }
  }

  void Send(const Bytes& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(com, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }

  static DWORD WINAPI Cast(LPVOID param) {
    auto* self = static_cast<ModuleOnCom1*>(param);
    BYTE wake = 0x55;
    for (;;) {
      DWORD n = 0;
      WriteFile(self->com, &wake, 1, &n, nullptr);
      Sleep(10);
    }
  }

  static BOOL ResetRadio() {
    HANDLE ril = CreateFileW(u"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (ril == INVALID_HANDLE_VALUE) return FALSE;
    BOOL ok = DeviceIoControl(ril, ril::kResetCode, nullptr, 0, nullptr, 0, nullptr, nullptr);
    CloseHandle(ril);
    return ok;
  }

  // The wake-up attempt: cast, pause, reset, wait for 0xA0, stop casting.
  bool WakeUp() {
    if (!caster) {
      caster = CreateThread(nullptr, 0, &Cast, this, 0, nullptr);
    } else {
      ResumeThread(caster);
    }
    Sleep(1000);
    if (!ResetRadio()) return false;
    bool woke = false;
    for (int i = 0; i < 5 && !woke; ++i) woke = WaitForByte(0xA0);
    SuspendThread(caster);
    PurgeComm(com, 15);
    return woke;
  }

  std::shared_ptr<radio::Module> module = std::make_shared<radio::Module>();
  std::shared_ptr<serial::VirtualPort> port;
  std::shared_ptr<radio::LineRunner> runner;
  HANDLE com = INVALID_HANDLE_VALUE;
  HANDLE caster = nullptr;
  DWORD lastErrors = 0;
};

TEST_F(ModuleOnCom1, WholeUpdateOnThePacedLine) {
  Open();
  ASSERT_TRUE(WakeUp());
  const auto& images = radiotest::TheImages();
  for (const auto& step : radiotest::UpdateWire(images)) {
    Send(step.bytes);
    for (uint8_t awaited : step.answer) ASSERT_TRUE(WaitForByte(awaited));
  }
  EXPECT_TRUE(module->FlashHolds(images.firmware));
  radio::Record r = module->GetRecord();
  EXPECT_EQ(r.resets, 1u);
  EXPECT_EQ(r[radio::Phase::ImageSections].answers, 623u);
  EXPECT_EQ(runner->GarbledBytes(), 0u);
}

TEST_F(ModuleOnCom1, RefusalShowsAsBreakOrLineErrorAndARetryGoesThrough) {
  Open();
  std::string error;
  ASSERT_TRUE(radio::ApplySwitch(*module, "refuse@stage1=1", &error)) << error;
  ASSERT_TRUE(WakeUp());
  auto wire = radiotest::UpdateWire(radiotest::TheImages());
  Send(wire[0].bytes);
  DWORD events = 0;
  EXPECT_FALSE(WaitForByte(0xA5, &events));
  EXPECT_EQ(events, static_cast<DWORD>(EV_BREAK));
  EXPECT_EQ(lastErrors & CE_BREAK, static_cast<DWORD>(CE_BREAK));

  ASSERT_TRUE(radio::ApplySwitch(*module, "refusal=framing", &error)) << error;
  Bytes bad = wire[0].bytes;
  bad.back() ^= 0x01;
  ASSERT_TRUE(WakeUp());
  Send(bad);
  EXPECT_FALSE(WaitForByte(0xA5, &events));
  EXPECT_EQ(events, static_cast<DWORD>(EV_ERR));
  EXPECT_EQ(lastErrors & CE_FRAME, static_cast<DWORD>(CE_FRAME));

  ASSERT_TRUE(WakeUp());
  Send(wire[0].bytes);
  EXPECT_TRUE(WaitForByte(0xA5));
  EXPECT_EQ(module->GetRecord().resets, 3u);
}

TEST_F(ModuleOnCom1, HostAtTheWrongRateIsNotUnderstood) {
  Open(/*configure=*/false);  // left at the driver's 9600 default
  ASSERT_TRUE(ResetRadio());
  Send(Bytes(5, 0x55));
  COMMTIMEOUTS quick{0, 0, 500, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(com, &quick));
  BYTE b = 0;
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(com, &b, 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(runner->GarbledBytes(), 5u);
  EXPECT_EQ(module->GetRecord()[radio::Phase::WakeUp].reached, 0u);
}

}  // namespace
