// The real fwutil relaying between pseudo-terminals, with programs written
// elsewhere at the other ends: socat talks to the emulated module through
// the relay, and socat pty pairs carry megabytes both ways at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Process.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

class RelayPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socat_ = FindProgram("socat");
    if (socat_.empty())
      GTEST_SKIP() << "socat is not installed: the relay's peer tests need it (apt-get install socat)";
    char pattern[] = "/tmp/relay-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // fwutil with the relay started and both copy threads running. Its own
  // desktop keeps other copies (other tests) from counting as this one.
  bool StartRelay(Process& fwutil, std::vector<std::string> options) {
    std::vector<std::string> argv = {FWUTIL_PATH, "--headless", "--trace", "none", "--desktop", dir_};
    argv.insert(argv.end(), options.begin(), options.end());
    for (const char* step : {"command 153", "wait \"Baudrate:115200\" 20s"}) {
      argv.push_back("--do");
      argv.push_back(step);
    }
    if (!fwutil.Start(argv)) return false;
    auto line = fwutil.WaitStderrLine("Baudrate:115200", 30s);
    if (!line || line->find("failed") != std::string::npos) {
      ADD_FAILURE() << "the relay did not start:\n" << fwutil.StderrText();
      return false;
    }
    return true;
  }

  // The slave path of a pty port as the launcher announced it at start-up.
  static std::string AnnouncedPty(const Process& fwutil, const std::string& port) {
    const std::string& said = fwutil.StderrText();
    const std::string announcement = port + ": pty ";
    size_t at = said.find(announcement);
    if (at == std::string::npos) return {};
    at += announcement.size();
    return said.substr(at, said.find_first_of(" ,\n", at) - at);
  }

  std::string socat_;
  std::string dir_;
};

// The partner's pty as the launcher announces it; socat at its other end
// sends "AT\r" and gets the emulated module's "OK" back.
TEST_F(RelayPeerTest, AtFromSocatReachesTheModuleAndOkComesBack) {
  Process fwutil;
  ASSERT_TRUE(StartRelay(fwutil, {}));
  std::string pty = AnnouncedPty(fwutil, "COM3: (IrDA)");
  ASSERT_FALSE(pty.empty()) << fwutil.StderrText();

  Process peer;
  ASSERT_TRUE(peer.Start({socat_, "-", pty + ",raw,echo=0"}, /*pipeStdio=*/true));
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  auto nextSend = std::chrono::steady_clock::now();
  // socat may not have the pty open when the first command goes: what the
  // relay sends to a pty nobody reads is dropped, so ask again until heard.
  while (got.find("OK\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (std::chrono::steady_clock::now() >= nextSend) {
      ASSERT_EQ(write(peer.StdinFd(), "AT\r", 3), 3);
      nextSend += 2s;
    }
    pollfd p{peer.StdoutFd(), POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buffer[256];
      ssize_t n = read(peer.StdoutFd(), buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
  }
  EXPECT_NE(got.find("\r\nOK\r\n"), std::string::npos) << "socat received: " << got;

  // And a command with a longer answer.
  got.clear();
  ASSERT_EQ(write(peer.StdinFd(), "AT+CGMI\r", 8), 8);
  deadline = std::chrono::steady_clock::now() + 10s;
  while (got.find("OK\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{peer.StdoutFd(), POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buffer[256];
      ssize_t n = read(peer.StdoutFd(), buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
  }
  EXPECT_NE(got.find("OK\r\n"), std::string::npos) << "socat received: " << got;
  EXPECT_GT(got.size(), 8u) << got;
}

// COM1: on a socat pty pair and the IrDA partner on the launcher's own pty,
// both fed and read here: megabytes each way at once arrive byte for byte,
// 0xFF and 0x00 included. (Not socat pairs at both ends: each pair is one
// process that blocks in a write, so two of them and the relay's two copy
// threads, each blocked writing into the next, can wait on one another for
// ever under full load; a UART always drains, a pty only when read.)
TEST_F(RelayPeerTest, MegabytesEachWayAtOnceArriveByteForByte) {
  const std::string moduleHost = dir_ + "/module-host", moduleFar = dir_ + "/module-far";
  SocatPair modulePair;
  ASSERT_TRUE(modulePair.Start(socat_, moduleHost, moduleFar));

  Process fwutil;
  ASSERT_TRUE(StartRelay(fwutil, {"--com", "1=" + moduleHost, "--com", "3=pty", "--ril", "none"}));
  const std::string partnerFar = AnnouncedPty(fwutil, "COM3: (IrDA)");
  ASSERT_FALSE(partnerFar.empty()) << fwutil.StderrText();
  int module = OpenRaw(moduleFar), partner = OpenRaw(partnerFar);
  ASSERT_GE(module, 0);
  ASSERT_GE(partner, 0);

  constexpr size_t kSize = 4u << 20;
  const std::vector<uint8_t> up = RandomBytes(kSize, 1), down = RandomBytes(kSize, 2);
  Stream toModule{partner, &up, 0, module, {}, kSize};
  Stream toPartner{module, &down, 0, partner, {}, kSize};
  auto start = std::chrono::steady_clock::now();
  bool arrived = Pump({&toModule, &toPartner}, start + 180s);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("relayed %zu bytes each way at once in %.2f s\n", kSize, seconds);

  EXPECT_TRUE(arrived) << "to the module " << toModule.in.size() << " of " << kSize << ", to the partner "
                       << toPartner.in.size() << " of " << kSize;
  EXPECT_EQ(toModule.in.size(), kSize);
  EXPECT_EQ(toPartner.in.size(), kSize);
  EXPECT_EQ(Checksum(toModule.in), Checksum(up));
  EXPECT_EQ(Checksum(toPartner.in), Checksum(down));
  close(module);
  close(partner);
}

}  // namespace
}  // namespace e2e
