// Soak of the relay: 100 MB each way at once between two pseudo-terminals,
// byte for byte, at log level 3 (one log line per transfer), on the real
// platform clock. COM1: is a host tty (the slave of a pty pair whose master
// plays the module), the partner is the Bluetooth UART on the platform's own
// pty port; the radio driver has no back end.
//
// Reports the bytes and the time each way, the log view's size, the
// process's resident memory along the way and its peak. Checks that every
// byte arrived in order, that the log's counts add up to the bytes moved,
// and that memory grows with the log view's text and nothing else.
//
//   cmake --build <build> --target soak        (FWUTIL_SOAK_MB=N for another size)
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "relay/Relay.h"
#include "serial/Serial.h"
#include "shell/Shell.h"
#include "support/ProcessProbe.h"
#include "support/UtilityFixture.h"
#include "windowing/Screen.h"

namespace soak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

uint64_t SoakBytes() {
  const char* mb = std::getenv("FWUTIL_SOAK_MB");
  uint64_t count = mb ? std::strtoull(mb, nullptr, 10) : 100;
  return (count == 0 ? 100 : count) * 1000 * 1000;
}

// A reproducible byte stream (xorshift), the same for writer and checker.
class Stream {
 public:
  explicit Stream(uint32_t seed) : state_(seed) {}
  uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<uint8_t>(state_ >> 11);
  }

 private:
  uint32_t state_;
};

void MakeRaw(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

// One end of the soak: writes its stream and checks the other's, both at
// once, on one descriptor.
struct End {
  int fd = -1;
  uint32_t sendSeed = 0, receiveSeed = 0;
  std::atomic<uint64_t> sent{0}, received{0};
  std::atomic<bool> mismatch{false};
  uint64_t mismatchAt = 0;

  void Run(uint64_t total, const std::atomic<bool>& stop) {
    Stream out(sendSeed), in(receiveSeed);
    std::vector<uint8_t> chunk(4096);
    size_t chunkFill = 0, chunkSent = 0;
    uint8_t buffer[8192];
    while (!stop && (sent < total || received < total)) {
      pollfd p{fd, static_cast<short>(POLLIN | (sent < total ? POLLOUT : 0)), 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if ((p.revents & POLLOUT) && sent < total) {
        if (chunkSent == chunkFill) {
          chunkFill = static_cast<size_t>(std::min<uint64_t>(chunk.size(), total - sent));
          for (size_t i = 0; i < chunkFill; ++i) chunk[i] = out.Next();
          chunkSent = 0;
        }
        ssize_t n = write(fd, chunk.data() + chunkSent, chunkFill - chunkSent);
        if (n > 0) {
          chunkSent += static_cast<size_t>(n);
          sent += static_cast<uint64_t>(n);
        }
      }
      if (p.revents & POLLIN) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
          if (buffer[i] != in.Next() && !mismatch) {
            mismatch = true;
            mismatchAt = received + static_cast<uint64_t>(i);
          }
        }
        if (n > 0) received += static_cast<uint64_t>(n);
      }
    }
  }
};

// Sum of the counts in the log lines that hold `marker` after the number.
uint64_t SumOfCounts(const std::u16string& log, std::u16string_view before, std::u16string_view after, size_t* lines) {
  uint64_t sum = 0;
  *lines = 0;
  size_t at = 0;
  while ((at = log.find(after, at)) != std::u16string::npos) {
    size_t end = at;
    size_t start = log.rfind(u'\n', at);
    start = start == std::u16string::npos ? 0 : start + 1;
    std::u16string_view line(log.data() + start, end - start);
    if (line.substr(0, before.size()) == before) {
      line.remove_prefix(before.size());
      uint64_t value = 0;
      for (char16_t c : line) {
        if (c < u'0' || c > u'9') break;
        value = value * 10 + (c - u'0');
      }
      sum += value;
      ++*lines;
    }
    at += after.size();
  }
  return sum;
}

class RelaySoak : public systemtest::UtilityFixture {
 protected:
  void TearDown() override {
    UtilityFixture::TearDown();
    if (moduleMaster_ >= 0) close(moduleMaster_);
    if (moduleKeeper_ >= 0) close(moduleKeeper_);
    if (partner_ >= 0) close(partner_);
  }

  int moduleMaster_ = -1, moduleKeeper_ = -1, partner_ = -1;
};

TEST_F(RelaySoak, HundredMegabytesEachWayAtOnceByteForByte) {
  const uint64_t total = SoakBytes();
  // COM1: a host tty whose other end plays the module.
  moduleMaster_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(moduleMaster_, 0);
  ASSERT_EQ(grantpt(moduleMaster_), 0);
  ASSERT_EQ(unlockpt(moduleMaster_), 0);
  char slave[128];
  ASSERT_EQ(ptsname_r(moduleMaster_, slave, sizeof slave), 0);
  moduleKeeper_ = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);  // no hang-up while the port is closed
  ASSERT_GE(moduleKeeper_, 0);
  MakeRaw(moduleKeeper_);
  fcntl(moduleMaster_, F_SETFL, fcntl(moduleMaster_, F_GETFL) | O_NONBLOCK);

  options_.clockSpeed = 1;
  options_.ports[handset::kModulePort] = {handset::PortChoice::Kind::Host, slave};
  options_.ports[handset::kBluetoothPort] = {handset::PortChoice::Kind::Pty, ""};
  options_.ril.kind = handset::RilChoice::Kind::None;
  StartUtility();
  ASSERT_FALSE(HasFatalFailure());

  std::string partnerPort = serial::FindPort(handset::kBluetoothPort)->Describe();  // "pty /dev/pts/N"
  std::string partnerPath = partnerPort.substr(partnerPort.find(' ') + 1);
  partner_ = open(partnerPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(partner_, 0) << partnerPath;
  MakeRaw(partner_);

  ASSERT_EQ(Send(110), 0);  // the Bluetooth UART as partner
  ASSERT_EQ(LogLevel.load(), 3u);
  ASSERT_EQ(Send(153), 0);
  ASSERT_TRUE(WaitLog(u"Baudrate:115200"));

  const size_t startRss = faulttest::ResidentKiB();
  End module, partner;
  module.fd = moduleMaster_;
  module.sendSeed = 1;
  module.receiveSeed = 2;
  partner.fd = partner_;
  partner.sendSeed = 2;
  partner.receiveSeed = 1;
  std::atomic<bool> stop{false};
  auto start = Clock::now();
  std::thread moduleThread([&] { module.Run(total, stop); });
  std::thread partnerThread([&] { partner.Run(total, stop); });

  // Progress, memory and the log view's size every tenth of the way; a
  // stall of a minute ends the soak.
  std::printf("soak: %llu bytes each way\n", static_cast<unsigned long long>(total));
  uint64_t lastMoved = 0;
  auto lastMove = Clock::now();
  int tenth = 1;
  size_t peakSeen = startRss;
  while (module.received < total || partner.received < total) {
    std::this_thread::sleep_for(100ms);
    uint64_t moved = module.received + partner.received;
    if (moved != lastMoved) {
      lastMoved = moved;
      lastMove = Clock::now();
    } else if (Clock::now() - lastMove > 60s) {
      break;
    }
    peakSeen = std::max(peakSeen, faulttest::ResidentKiB());
    if (moved >= total * 2 / 10 * tenth) {
      auto edit = screen::Edit(User().LogView());
      double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      std::printf("soak: %3d%%  %6.1f s  %6.2f MB/s each way  resident %zu KiB  log view %zu characters\n", tenth * 10,
                  seconds, static_cast<double>(moved) / 2 / seconds / 1e6, faulttest::ResidentKiB(),
                  edit ? edit->length : 0);
      ++tenth;
    }
  }
  stop = true;
  moduleThread.join();
  partnerThread.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  EXPECT_EQ(Send(155), 0);
  std::u16string log = Log();
  size_t upLines = 0, downLines = 0;
  // Partner to module: the bytes read; module to partner: the bytes written.
  uint64_t up = SumOfCounts(log, u">>> ", u" bytes ->BT->FF->", &upLines);
  uint64_t down = SumOfCounts(log, u"", u" bytes <-BT<-FF<- <<<", &downLines);
  const size_t peak = faulttest::PeakResidentKiB();
  std::printf(
      "soak: module->partner %llu of %llu bytes, partner->module %llu of %llu bytes in %.1f s (%.2f MB/s each way)\n"
      "soak: log view %zu characters, %zu + %zu transfer lines counting %llu and %llu bytes\n"
      "soak: resident %zu KiB at the start, peak %zu KiB (VmHWM), %zu KiB at the end\n",
      static_cast<unsigned long long>(partner.received.load()), static_cast<unsigned long long>(total),
      static_cast<unsigned long long>(module.received.load()), static_cast<unsigned long long>(total), seconds,
      static_cast<double>(total) / seconds / 1e6, log.size(), downLines, upLines, static_cast<unsigned long long>(down),
      static_cast<unsigned long long>(up), startRss, peak, faulttest::ResidentKiB());
  RecordProperty("seconds", std::to_string(seconds));
  RecordProperty("peak_rss_kib", std::to_string(peak));

  EXPECT_EQ(partner.received.load(), total) << "module to partner stalled";
  EXPECT_EQ(module.received.load(), total) << "partner to module stalled";
  EXPECT_FALSE(partner.mismatch) << "module to partner: wrong byte at " << partner.mismatchAt;
  EXPECT_FALSE(module.mismatch) << "partner to module: wrong byte at " << module.mismatchAt;
  EXPECT_EQ(up, total);
  EXPECT_EQ(down, total);
  // Memory follows the log view's text (two bytes a character, kept once
  // by the control and once more at most while the screen copies it), and
  // nothing grows with the bytes moved.
  const size_t logKiB = log.size() * 2 / 1024;
  EXPECT_LE(peak, startRss + 3 * logKiB + 64 * 1024) << "log view " << logKiB << " KiB";
}

}  // namespace
}  // namespace soak
