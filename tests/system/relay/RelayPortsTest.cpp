// The relay's ports on the emulated handset: how the registry names the two
// UARTs, what a missing port leaves behind, which ports get the relay's line
// settings and which keep their drivers' own, and the texts of the start.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "kernel/Clock.h"
#include "kernel/Handles.h"
#include "RelayFixture.h"
#include "support/LineTiming.h"

namespace systemtest {
namespace {

class RelayPortsTest : public RelayFixture {};

// ---------------------------------------------------------------- registry

struct IndexCase {
  const char* name;
  const char* key;   // Serial (module UART) or Serial2 (Bluetooth UART)
  const char* spec;  // applied after the handset's profile
  int port;          // the port the index names; -1: none
};

void PrintTo(const IndexCase& c, std::ostream* out) { *out << c.name; }

class RelayIndexTest : public RelayFixture, public ::testing::WithParamInterface<IndexCase> {};

// The index is read into a 4-byte number with a 4-byte buffer: shorter
// values fill its low bytes, longer ones do not fit, and the type is not
// looked at. Only 0 to 9 name a port.
TEST_P(RelayIndexTest, NamesThePortOrNone) {
  const IndexCase& c = GetParam();
  const bool module = std::string(c.key) == "Serial";
  if (c.port >= 0) options_.ports[c.port] = {handset::PortChoice::Kind::Virtual, ""};
  if (std::string(c.spec) == "-key") {
    options_.registrySpecs.push_back(std::string("-HKLM\\Drivers\\BuiltIn\\") + c.key);
  } else {
    options_.registrySpecs.push_back(std::string("HKLM\\Drivers\\BuiltIn\\") + c.key + "\\Index=" + c.spec);
  }
  StartUtility();
  if (!module) {
    ASSERT_EQ(Send(110), 0);  // partner 1: the Bluetooth UART
  }

  const std::u16string name = c.port >= 0 ? u"COM" + ToU16(std::to_string(c.port)) + u":" : u"";
  const std::u16string uartText =
      c.port >= 0 ? name + u" opened\r\n" : (module ? u"Open FF(" : u"Open BT(") + name + u") failed.\r\n";
  std::u16string expected;
  if (module) {
    expected = uartText + u"IRDA(COM3:) opened\r\n";
  } else {
    expected = u"COM1: opened\r\n" + uartText;
  }
  expected += c.port >= 0 ? kSettingsText : kHandlesText;

  EXPECT_EQ(Send(153), c.port >= 0 ? 0 : 1);
  EXPECT_EQ(LogAfterBanner(), expected);
  HANDLE uart = module ? ModulePort.load() : PartnerPort.load();
  EXPECT_EQ(uart != INVALID_HANDLE_VALUE, c.port >= 0);
  if (c.port >= 0) {
    // The port really is the one named: it is held now.
    HANDLE again = OpenPort(name.c_str());
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Index, RelayIndexTest,
    ::testing::Values(IndexCase{"Zero", "Serial", "dword:0", 0}, IndexCase{"Nine", "Serial", "dword:9", 9},
                      IndexCase{"Ten", "Serial", "dword:10", -1},
                      // Compared unsigned: not "COM-1:".
                      IndexCase{"AllOnes", "Serial", "dword:0xffffffff", -1},
                      IndexCase{"ValueMissing", "Serial", "-", -1}, IndexCase{"KeyMissing", "Serial", "-key", -1},
                      // Type not checked: four binary bytes are a number all the same.
                      IndexCase{"BinaryFourBytes", "Serial", "hex:04,00,00,00", 4},
                      // Shorter: the low bytes; the rest of the number stays zero.
                      IndexCase{"OneByte", "Serial", "hex:04", 4}, IndexCase{"TwoBytes", "Serial", "hex(4):06,00", 6},
                      // A string "4" is the bytes 34 00 00 00: 52, no port.
                      IndexCase{"StringFour", "Serial", "sz:4", -1},
                      // Longer than the buffer: the read fails.
                      IndexCase{"FiveBytes", "Serial", "hex:04,00,00,00,00", -1},
                      IndexCase{"QwordFour", "Serial", "hex(b):04,00,00,00,00,00,00,00", -1},
                      IndexCase{"BluetoothFour", "Serial2", "dword:4", 4},
                      IndexCase{"BluetoothTen", "Serial2", "dword:10", -1},
                      IndexCase{"BluetoothKeyMissing", "Serial2", "-key", -1}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ missing port

struct MissingPartner {
  const char* name;
  UINT command;  // the partner choice
  unsigned port;
  const char16_t* failure;
};

void PrintTo(const MissingPartner& c, std::ostream* out) { *out << c.name; }

class RelayMissingPartnerTest : public RelayFixture, public ::testing::WithParamInterface<MissingPartner> {};

// The module UART opens, the partner does not: the start gives up with the
// module UART still held, no thread started, and the flag untouched.
TEST_P(RelayMissingPartnerTest, LeavesTheModuleUartHeld) {
  const MissingPartner& c = GetParam();
  options_.ports[c.port] = {handset::PortChoice::Kind::Absent, ""};
  StartUtility();
  ASSERT_EQ(Send(c.command), 0);
  ASSERT_EQ(Send(112), 0);  // every text shows at log level 0 too
  RelayRunning = 0;         // to see that the start does not touch it
  size_t handles = kernel::OpenHandleCount();

  EXPECT_EQ(Send(153), 1);
  EXPECT_EQ(LogAfterBanner(), std::u16string(u"COM1: opened\r\n") + c.failure + kHandlesText);
  EXPECT_NE(ModulePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(PartnerPort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(RelayRunning.load(), 0u);
  EXPECT_EQ(ModuleToPartnerHandle.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(PartnerToModuleHandle.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernel::OpenHandleCount(), handles + 1);  // the module UART, nothing else
  EXPECT_EQ(OpenPort(u"COM1:"), INVALID_HANDLE_VALUE);

  // A second attempt finds the module UART held by the first.
  EXPECT_EQ(Send(153), 1);
  EXPECT_EQ(LogAfterBanner(), std::u16string(u"COM1: opened\r\n") + c.failure + kHandlesText +
                                  u"Open FF(COM1:) failed.\r\n" + c.failure + kHandlesText);

  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(ModulePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernel::OpenHandleCount(), handles);
  HANDLE com1 = OpenPort(u"COM1:");
  EXPECT_NE(com1, INVALID_HANDLE_VALUE);
  CloseHandle(com1);
}

INSTANTIATE_TEST_SUITE_P(
    Partners, RelayMissingPartnerTest,
    ::testing::Values(MissingPartner{"Irda", 116, handset::kIrdaPort, u"Open IRDA(COM3:) failed.\r\n"},
                      MissingPartner{"Infrared", 111, handset::kInfraredPort, u"Open IR(COM5:) failed.\r\n"},
                      MissingPartner{"Bluetooth", 110, handset::kBluetoothPort, u"Open BT(COM2:) failed.\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RelayPortsTest, MissingModuleUartLeavesThePartnerHeld) {
  options_.ports[handset::kModulePort] = {handset::PortChoice::Kind::Absent, ""};
  options_.ril.kind = handset::RilChoice::Kind::None;
  StartUtility();
  EXPECT_EQ(Send(153), 1);
  EXPECT_EQ(LogAfterBanner(), std::u16string(u"Open FF(COM1:) failed.\r\nIRDA(COM3:) opened\r\n") + kHandlesText);
  EXPECT_EQ(ModulePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_NE(PartnerPort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ModuleToPartnerHandle.load(), INVALID_HANDLE_VALUE);
}

// ------------------------------------------------------------ line settings

struct FixedPartner {
  const char* name;
  UINT command;
  unsigned port;
  const char16_t* opened;
};

void PrintTo(const FixedPartner& c, std::ostream* out) { *out << c.name; }

class RelayFixedPartnerTest : public RelayFixture, public ::testing::WithParamInterface<FixedPartner> {};

// The infrared and IrDA ports run with their drivers' line settings and
// time-outs; the settings text shows all the same. That these drivers start
// with a burst-ending interval time-out is a deliberate choice of this
// platform: a desktop driver (and Wine) starts with none, and a relay read
// there waits for a full buffer (platform/README.md, Differences).
TEST_P(RelayFixedPartnerTest, KeepsItsDriversSettings) {
  const FixedPartner& c = GetParam();
  options_.ports[c.port] = {handset::PortChoice::Kind::Virtual, ""};
  StartUtility();
  ASSERT_EQ(Send(c.command), 0);
  EXPECT_EQ(Send(153), 0);
  ASSERT_TRUE(WaitLog(kSettingsText));
  EXPECT_EQ(LogAfterBanner(), std::u16string(u"COM1: opened\r\n") + c.opened + kSettingsText);

  HANDLE partner = PartnerPort;
  DCB dcb{};
  ASSERT_TRUE(GetCommState(partner, &dcb));
  EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_9600));  // a fresh UART driver's
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(partner, &timeouts));
  COMMTIMEOUTS defaults = serial::BurstReadTimeouts();
  EXPECT_EQ(timeouts.ReadIntervalTimeout, defaults.ReadIntervalTimeout);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, defaults.ReadTotalTimeoutMultiplier);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, defaults.ReadTotalTimeoutConstant);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, defaults.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, defaults.WriteTotalTimeoutConstant);
  EXPECT_EQ(Line(c.port)->HostFormat().baud, 9600u);
}

INSTANTIATE_TEST_SUITE_P(Partners, RelayFixedPartnerTest,
                         ::testing::Values(FixedPartner{"Irda", 116, handset::kIrdaPort, u"IRDA(COM3:) opened\r\n"},
                                           FixedPartner{"Infrared", 111, handset::kInfraredPort,
                                                        u"COM5: (IR)opened\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

void ExpectRelaySettings(HANDLE port, const char* which) {
  SCOPED_TRACE(which);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fParity, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  // The rest is what the port reported before.
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
  EXPECT_EQ(dcb.XonLim, 512);
  EXPECT_EQ(dcb.XoffLim, 128);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);

  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(port, &t));
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

// Partner 1 is found through Serial2 (here pointing at COM4:), and both UARTs
// get 115200 8N1 and 1 ms reads on top of what their ports reported.
TEST_F(RelayPortsTest, BluetoothUartIsFoundThroughSerial2AndGetsTheLineSettings) {
  options_.ports[kTestModulePort] = {handset::PortChoice::Kind::Virtual, ""};
  options_.registrySpecs.push_back("HKLM\\Drivers\\BuiltIn\\Serial2\\Index=dword:4");
  StartUtility();
  ASSERT_EQ(Send(110), 0);
  EXPECT_EQ(Send(153), 0);
  ASSERT_TRUE(WaitLog(kSettingsText));
  EXPECT_EQ(LogAfterBanner(), std::u16string(u"COM1: opened\r\nCOM4: opened\r\n") + kSettingsText);

  ExpectRelaySettings(ModulePort, "module UART");
  ExpectRelaySettings(PartnerPort, "Bluetooth UART");
  // What the far ends see on their lines.
  for (unsigned port : {handset::kModulePort, kTestModulePort}) {
    auto line = Line(port);
    serial::LineFormat format = line->HostFormat();
    EXPECT_EQ(format.baud, 115200u) << port;
    EXPECT_EQ(format.dataBits, 8) << port;
    EXPECT_EQ(format.parity, NOPARITY) << port;
    EXPECT_EQ(format.stopBits, ONESTOPBIT) << port;
    EXPECT_TRUE(line->HostDtr()) << port;
    EXPECT_TRUE(line->HostRts()) << port;
  }
}

// -------------------------------------------------------- the line in use

// What the relay's settings do on the module UART's line, taken from the
// far end rather than read back: each byte takes 10 bit times (start bit,
// 8 data bits, one stop bit) at 115200 bits per second, and a read with
// nothing to take returns after its 1 ms, neither at once nor never.
class RelayLineTimingTest : public RelayFixture {
 protected:
  void SetUp() override {
    RelayFixture::SetUp();
    // A slow platform clock: a stall of the test's threads counts for less
    // against the line's time.
    options_.clockSpeed = 0.25;
    PlayBothEnds(handset::kIrdaPort, /*paced=*/true);
  }
  // The module UART opened and set up by the relay, without copy threads.
  HANDLE OpenModuleUart() {
    StartUtility();
    EXPECT_TRUE(OpenRelayPort(Window(), TEXT("FFUART")));
    return ModulePort;
  }
  void TearDown() override {
    Send(155);
    RelayFixture::TearDown();
  }
};

TEST_F(RelayLineTimingTest, AByteTakesTenBitTimes) {
  HANDLE port = OpenModuleUart();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  auto line = Line(kTestModulePort);
  ASSERT_TRUE(line->Paced());
  ExpectBitsPerByte(MeasureBitsPerByte(*line, port, 115200, 0.3), 10.0);
}

TEST_F(RelayLineTimingTest, AReadWithNothingToTakeReturnsAfterItsMillisecond) {
  HANDLE port = OpenModuleUart();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  using kernel::Clock;
  std::atomic<bool> stop{false};
  auto reads = std::async(std::launch::async, [port, &stop] {
    std::vector<double> elapsed;
    for (int i = 0; i < 10 && !stop; ++i) {
      uint8_t buffer[64];
      DWORD got = 0xFFFF;
      Clock::time_point begin = Clock::now();
      BOOL ok = ReadFile(port, buffer, sizeof buffer, &got, nullptr);
      Clock::time_point end = Clock::now();
      if (!ok || got != 0) return std::vector<double>{};
      elapsed.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
    }
    return elapsed;
  });
  if (reads.wait_for(30s) != std::future_status::ready) {
    ADD_FAILURE() << "a read with nothing to take did not return";
    stop = true;
    while (reads.wait_for(10ms) != std::future_status::ready) PurgeComm(port, PURGE_RXABORT);  // lets it go
  }
  std::vector<double> elapsed = reads.get();
  ASSERT_EQ(elapsed.size(), 10u) << "a read failed or returned bytes";
  // Platform milliseconds: the time-out has passed when a read returns; the
  // quickest of ten shows it is about 1 ms, not a second or more.
  for (double ms : elapsed) EXPECT_GE(ms, 1.0);
  EXPECT_LT(*std::min_element(elapsed.begin(), elapsed.end()), 100.0);
}

// --------------------------------------------------------------- log level

// No text of the start depends on the log level.
TEST_F(RelayPortsTest, EveryTextShowsAtLogLevelZero) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  options_.ports[handset::kInfraredPort] = {handset::PortChoice::Kind::Absent, ""};
  StartUtility();
  ASSERT_EQ(Send(112), 0);
  std::u16string expected;

  EXPECT_EQ(Send(153), 0);  // IrDA
  expected += std::u16string(u"COM1: opened\r\nIRDA(COM3:) opened\r\n") + kSettingsText;
  ASSERT_TRUE(WaitLog(kSettingsText));
  EXPECT_EQ(Send(153), 0);  // again while it runs
  expected += std::u16string(u"Open FF(COM1:) failed.\r\nOpen IRDA(COM3:) failed.\r\n") + kSettingsText;
  EXPECT_EQ(Send(155), 0);
  expected += kReleasedText;

  ASSERT_EQ(Send(111), 0);  // infrared, which is missing
  EXPECT_EQ(Send(153), 1);
  expected += std::u16string(u"COM1: opened\r\nOpen IR(COM5:) failed.\r\n") + kHandlesText;
  EXPECT_EQ(Send(155), 0);
  expected += kReleasedText;

  ASSERT_EQ(Send(110), 0);  // Bluetooth UART on its pty
  EXPECT_EQ(Send(153), 0);
  expected += std::u16string(u"COM1: opened\r\nCOM2: opened\r\n") + kSettingsText;
  EXPECT_EQ(Send(155), 0);
  expected += kReleasedText;

  EXPECT_EQ(LogAfterBanner(), expected);
}

}  // namespace
}  // namespace systemtest
