// The host tty back end: the termios it sets from a DCB, the PARMRK
// decoding of breaks and line errors, what it refuses, and the pty the
// platform makes for a person to attach to.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "SerialTestSupport.h"
#include "serial/HostTty.h"
#include "serial/Serial.h"

namespace serialtest {
namespace {

using Event = serial::ParmrkDecoder::Event;

std::vector<Event> Decode(serial::ParmrkDecoder& decoder, std::vector<uint8_t> bytes) {
  std::vector<Event> out;
  decoder.Feed(bytes.data(), bytes.size(), out);
  return out;
}

TEST(ParmrkDecoderTest, PlainBytesPassAndEscapesBecomeBytesBreaksAndDamage) {
  serial::ParmrkDecoder d;
  EXPECT_EQ(Decode(d, {1, 0, 2}), (std::vector<Event>{{Event::Data, 1}, {Event::Data, 0}, {Event::Data, 2}}));
  EXPECT_EQ(Decode(d, {0xFF, 0xFF}), (std::vector<Event>{{Event::Data, 0xFF}}));
  EXPECT_EQ(Decode(d, {0xFF, 0x00, 0x00}), (std::vector<Event>{{Event::Break, 0}}));
  EXPECT_EQ(Decode(d, {0xFF, 0x00, 0x41}), (std::vector<Event>{{Event::Damaged, 0x41}}));
  // A damaged 0xFF is marked, not doubled.
  EXPECT_EQ(Decode(d, {0xFF, 0x00, 0xFF, 7}), (std::vector<Event>{{Event::Damaged, 0xFF}, {Event::Data, 7}}));
}

TEST(ParmrkDecoderTest, AnEscapeSplitAcrossReadsIsDecodedWhole) {
  serial::ParmrkDecoder d;
  EXPECT_TRUE(Decode(d, {0xFF}).empty());
  EXPECT_TRUE(Decode(d, {0x00}).empty());
  EXPECT_EQ(Decode(d, {0x00, 5}), (std::vector<Event>{{Event::Break, 0}, {Event::Data, 5}}));
  EXPECT_TRUE(Decode(d, {9, 0xFF}).size() == 1);
  EXPECT_EQ(Decode(d, {0xFF}), (std::vector<Event>{{Event::Data, 0xFF}}));
  // An escape the line discipline never makes keeps its bytes.
  EXPECT_EQ(Decode(d, {0xFF, 0x30}), (std::vector<Event>{{Event::Data, 0xFF}, {Event::Data, 0x30}}));
  // Reset forgets half an escape (after a purge).
  EXPECT_TRUE(Decode(d, {0xFF, 0x00}).empty());
  d.Reset();
  EXPECT_EQ(Decode(d, {0x00}), (std::vector<Event>{{Event::Data, 0}}));
}

TEST(HostSpeedTest, StandardRatesOnly) {
  for (uint32_t baud : {300u, 1200u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 921600u}) {
    EXPECT_TRUE(serial::HostSpeed(baud).has_value()) << baud;
  }
  EXPECT_EQ(serial::HostSpeed(115200), std::optional<speed_t>(B115200));
  for (uint32_t baud : {0u, 12345u, 115201u, 100000u}) EXPECT_FALSE(serial::HostSpeed(baud).has_value()) << baud;
}

class HostTtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::InitializeDriver();
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    std::string why;
    ASSERT_TRUE(serial::ConfigureHostPort(kPort, name, {}, &why)) << why;
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    serial::RemovePort(kPort);
    close(master_);
    close(slave_);
  }

  termios SlaveSettings() {
    termios t{};
    EXPECT_EQ(tcgetattr(slave_, &t), 0);
    return t;
  }

  bool Apply(DWORD baud, BYTE bits, BYTE parity, BYTE stop, bool ctsFlow = false) {
    DCB dcb{};
    EXPECT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = baud;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fOutxCtsFlow = ctsFlow;
    return SetCommState(port_, &dcb);
  }

  int master_ = -1;
  int slave_ = -1;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST(TermiosTest, TheDcbsLineSettingsBecomeRawTermios) {
  DCB dcb{};
  dcb.BaudRate = 115200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  termios t{};
  t.c_iflag = ICRNL | IXON | ISTRIP | BRKINT | IGNPAR;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  t.c_cflag = CS8 | CRTSCTS;
  serial::ApplyDcbToTermios(dcb, true, t);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), static_cast<tcflag_t>(PARENB | CSTOPB));
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(PARMRK | INPCK));
  EXPECT_EQ(t.c_cc[VMIN], 1);

  struct Case {
    BYTE bits, parity, stop;
    bool cts;
    tcflag_t size, flags;
  } cases[] = {
      {8, NOPARITY, ONESTOPBIT, false, CS8, 0},
      {8, ODDPARITY, ONE5STOPBITS, true, CS8, PARENB | PARODD | CSTOPB | CRTSCTS},  // no 1.5 on the host: 2
      {5, MARKPARITY, ONESTOPBIT, false, CS5, PARENB | PARODD | CMSPAR},
      {6, SPACEPARITY, ONESTOPBIT, false, CS6, PARENB | CMSPAR},
  };
  for (const Case& c : cases) {
    dcb.ByteSize = c.bits;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    dcb.fOutxCtsFlow = c.cts;
    termios u{};
    serial::ApplyDcbToTermios(dcb, false, u);
    EXPECT_EQ(u.c_cflag & CSIZE, c.size) << int(c.bits);
    EXPECT_EQ(u.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), c.flags) << int(c.parity);
    EXPECT_EQ(u.c_iflag & (PARMRK | INPCK), 0u) << "nothing marks at a pty master";
  }

  dcb.fOutxCtsFlow = false;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  termios x{};
  serial::ApplyDcbToTermios(dcb, true, x);
  EXPECT_EQ(x.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(x.c_cc[VSTART], 0x11);
  EXPECT_EQ(x.c_cc[VSTOP], 0x13);
}

TEST_F(HostTtyTest, ThePortSetsTheTtyAtOpenAndOnEverySetCommState) {
  termios t = SlaveSettings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600)) << "a fresh UART's 9600";
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | IGNBRK | BRKINT | IGNPAR), 0u);
  EXPECT_EQ(t.c_iflag & (PARMRK | INPCK), static_cast<tcflag_t>(PARMRK | INPCK));

  // A pty keeps only 8 data bits without parity; what it keeps shows.
  ASSERT_TRUE(Apply(115200, 8, NOPARITY, ONE5STOPBITS, true));
  t = SlaveSettings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
  ASSERT_TRUE(Apply(57600, 8, NOPARITY, ONESTOPBIT));
  t = SlaveSettings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
}

TEST_F(HostTtyTest, RatesTheHostCannotDoAreRefused) {
  EXPECT_FALSE(Apply(12345, 8, NOPARITY, ONESTOPBIT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port_, &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  termios t = SlaveSettings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(HostTtyTest, OtherOpenersAreKeptOutWhileThePortIsOpen) {
  // TIOCEXCL does not stop root, so look at the flag itself.
  int exclusive = 0;
#ifdef TIOCGEXCL
  if (ioctl(slave_, TIOCGEXCL, &exclusive) != 0 && errno == ENOSYS) {
    GTEST_SKIP() << "the exclusive flag cannot be read here (qemu-user does not pass TIOCGEXCL on)";
  }
  ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
  ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "closing releases the tty";
#else
  (void)exclusive;
  GTEST_SKIP() << "no TIOCGEXCL on this host";
#endif
}

TEST(HostPortConfigTest, PathsThatAreNoTtyAreRefusedWithAReason) {
  std::string why;
  EXPECT_EQ(serial::ConfigureHostPort(kPort, "/nonexistent/ttyUSB9", {}, &why), nullptr);
  EXPECT_NE(why.find("/nonexistent/ttyUSB9"), std::string::npos) << why;
  why.clear();
  EXPECT_EQ(serial::ConfigureHostPort(kPort, "/etc/hostname", {}, &why), nullptr);
  EXPECT_NE(why.find("not a character device"), std::string::npos) << why;
  EXPECT_EQ(serial::FindPort(kPort), nullptr);
}

TEST(HostPortConfigTest, ATtyThatIsGoneAtOpenTimeGivesFileNotFound) {
  serial::InitializeDriver();
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  ASSERT_TRUE(serial::ConfigureHostPort(kPort, name));
  close(slave);
  close(master);  // the pty is freed, and its slave path with it
  EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  serial::RemovePort(kPort);
}

TEST(PlatformPtyTest, APersonCanAttachDetachAndAttachAgain) {
  serial::InitializeDriver();
  std::string why;
  std::string path = serial::ConfigurePtyPort(kPort, {}, &why);
  ASSERT_FALSE(path.empty()) << why;
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_EQ(serial::FindPort(kPort)->Describe(), "pty " + path);

  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 2000, 0, 2000));
  for (int round = 0; round < 2; ++round) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    const char hello[] = "AT\r";
    ASSERT_EQ(write(fd, hello, 3), 3);
    char got[8] = {};
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port, got, 3, &count, nullptr));
    EXPECT_EQ(std::string(got, count), "AT\r");
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "OK\r\n", 4, &written, nullptr));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char answer[8] = {};
    EXPECT_EQ(read(fd, answer, sizeof answer), 4);
    EXPECT_EQ(std::string(answer, 4), "OK\r\n");
    close(fd);  // the person detaches: the port carries on
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(port, &status));
  }
  CloseHandle(port);
  serial::RemovePort(kPort);
}

}  // namespace
}  // namespace serialtest
