// The standalone module simulator as a separate process on one end of a
// socat pty pair; the test plays the utility on the other end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "TestImages.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

bool HaveSocat() { return system("command -v socat >/dev/null 2>&1") == 0; }

// A child process whose standard error the test reads.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipeFds[1], 2);
      int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(pipeFds[1]);
    err_ = pipeFds[0];
    fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }
  pid_t Pid() const { return pid_; }
  // Reads standard error until it holds `text` (true) or the time is up.
  bool WaitForText(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    auto end = Clock::now() + timeout;
    for (;;) {
      Drain();
      if (output_.find(text) != std::string::npos) return true;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{err_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      if (p.revents & POLLHUP) {
        Drain();
        return output_.find(text) != std::string::npos;
      }
    }
  }
  // Waits for the exit; its status, or -1 when it did not end in time.
  int WaitExit(std::chrono::milliseconds timeout = 10s) {
    auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      Drain();
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      pollfd p{err_, POLLIN, 0};
      poll(&p, 1, 20);
    }
    return -1;
  }
  // User and system time used so far, in seconds.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < text.size()) {
      size_t next = text.find(' ', pos);
      fields.push_back(text.substr(pos, next - pos));
      if (next == std::string::npos) break;
      pos = next + 1;
    }
    // utime and stime are fields 14 and 15 of the line (11 and 12 after the name).
    return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  const std::string& Output() {
    Drain();
    return output_;
  }

 private:
  void Drain() {
    char buffer[4096];
    ssize_t n;
    while ((n = read(err_, buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<size_t>(n));
  }
  pid_t pid_ = -1;
  int err_ = -1;
  bool exited_ = false;
  std::string output_;
};

class ModuleSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSocat()) GTEST_SKIP() << "socat is not installed";
    ASSERT_NE(mkdtemp(dir_), nullptr);
    dir = dir_;
    socat = std::make_unique<Child>(std::vector<std::string>{"socat", "-d", "-d", "pty,raw,echo=0,link=" + dir + "/sim",
                                                             "pty,raw,echo=0,link=" + dir + "/host"});
    ASSERT_TRUE(socat->WaitForText("starting data transfer loop")) << socat->Output();
  }
  void TearDown() override {
    if (host >= 0) close(host);
    sim.reset();
    socat.reset();
    if (!dir.empty()) {
      std::string cmd = "rm -rf '" + dir + "'";
      [[maybe_unused]] int rc = system(cmd.c_str());
    }
  }
  void StartSim(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{MODULESIM_PATH,     "--tty",          dir + "/sim",
                                  "--control",        dir + "/control", "--flash-out",
                                  dir + "/flash.bin", "--status",       "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<Child>(args);
    ASSERT_TRUE(sim->WaitForText("running on")) << sim->Output();
    host = open((dir + "/host").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host, 0);
    termios t{};
    tcgetattr(host, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(host, TCSANOW, &t);
  }
  void Write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(host, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{host, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }
  // Reads until `byte` arrives, dropping others; false when the time is up.
  bool WaitFor(uint8_t byte, std::chrono::milliseconds timeout = 5s) {
    auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      uint8_t b;
      ssize_t n = read(host, &b, 1);
      if (n == 1) {
        received.push_back(b);
        if (b == byte) return true;
        continue;
      }
      pollfd p{host, POLLIN, 0};
      poll(&p, 1, 20);
    }
    return false;
  }
  void Control(const std::string& line) {
    int fd = open((dir + "/control").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
  }
  // Casts 0x55 every 10 ms until 0xA0 comes back.
  bool WakeUp() {
    auto end = Clock::now() + 10s;
    while (Clock::now() < end) {
      Write({0x55});
      if (WaitFor(0xA0, 10ms)) return true;
    }
    return false;
  }

  char dir_[32] = "/tmp/modulesimXXXXXX";
  std::string dir;
  std::unique_ptr<Child> socat, sim;
  int host = -1;
  Bytes received;
};

TEST_F(ModuleSimTest, AnswersAtCommandsAfterPowerOn) {
  StartSim({"--status", "1"});
  Write({'A', 'T', '\r'});
  ASSERT_TRUE(WaitFor('\n'));
  ASSERT_TRUE(WaitFor('\n'));
  EXPECT_EQ(std::string(received.begin(), received.end()), "\r\nOK\r\n");
  EXPECT_TRUE(sim->WaitForText("AT: AT -> OK"));
  // Bytes moved: a status line follows within a second or so.
  EXPECT_TRUE(sim->WaitForText("status: firmware | rx 3 tx 6", 5s)) << sim->Output();
}

TEST_F(ModuleSimTest, ControlChannelResetWakesTheLoader) {
  StartSim();
  Control("reset\n");
  ASSERT_TRUE(sim->WaitForText("control: reset"));
  EXPECT_TRUE(WakeUp());
  EXPECT_TRUE(sim->WaitForText("wake-up: 0x55 after"));
}

TEST_F(ModuleSimTest, SignalResetThenWholeUpdate) {
  StartSim();
  kill(sim->Pid(), SIGUSR1);
  ASSERT_TRUE(sim->WaitForText("SIGUSR1: reset"));
  ASSERT_TRUE(WakeUp());
  const auto& images = radiotest::TheImages();
  for (const auto& step : radiotest::UpdateWire(images)) {
    Write(step.bytes);
    for (uint8_t awaited : step.answer) ASSERT_TRUE(WaitFor(awaited)) << sim->Output();
  }
  ASSERT_TRUE(sim->WaitForText("flash written to")) << sim->Output();
  std::ifstream in(dir + "/flash.bin", std::ios::binary);
  Bytes flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(flash == images.firmware);
  EXPECT_NE(sim->Output().find("final-check: check bytes 49 24 good"), std::string::npos);
  kill(sim->Pid(), SIGTERM);
  EXPECT_EQ(sim->WaitExit(), 0);
  // At exit: what each phase received.
  EXPECT_NE(sim->Output().find("image-sections   reached 1, received 2493720 bytes, answers 623"), std::string::npos)
      << sim->Output();
  EXPECT_NE(sim->Output().find("stage2-sections  reached 1, received 7416 bytes, answers 7"), std::string::npos);
}

TEST_F(ModuleSimTest, SwitchesFromOptionsAndControlChannel) {
  StartSim({"--switch", "noise@wake-up=5"});
  Control("switch refuse@stage1=always\n");
  ASSERT_TRUE(sim->WaitForText("control: switch refuse@stage1=always"));
  Control("reset\n");
  ASSERT_TRUE(WakeUp());
  EXPECT_GE(received.size(), 6u);  // five noise bytes came first
  auto wire = radiotest::UpdateWire(radiotest::TheImages());
  Write(wire[0].bytes);
  // A pty cannot carry the refusal's break; the log shows it was meant.
  EXPECT_TRUE(sim->WaitForText("stage1: length 184, check 69 good, refusal switch -> refused (break)"));
  EXPECT_TRUE(sim->WaitForText("could not travel"));
  Control("bogus\n");
  EXPECT_TRUE(sim->WaitForText("unknown command 'bogus'"));
}

// With --line-events, the conditions a pty cannot carry go to a file, one
// line each, in order and only after the bytes before them have left: a
// reader that counts them (the pty helper under Wine) sees a break where the
// refusal was, and a line error where a line-event switch replaced an answer.
TEST_F(ModuleSimTest, LineEventsGoToTheSideChannelOnAPty) {
  std::string events = dir + "/line-events";
  StartSim({"--line-events", events, "--switch", "refuse@stage1=1", "--switch", "framing@stage2-sections=1"});
  Control("reset\n");
  ASSERT_TRUE(WakeUp());
  auto wire = radiotest::UpdateWire(radiotest::TheImages());
  Write(wire[0].bytes);
  ASSERT_TRUE(sim->WaitForText("refusal switch -> refused (break)"));
  auto ReadEvents = [&] {
    std::ifstream in(events);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  auto until = Clock::now() + 5s;
  while (ReadEvents().empty() && Clock::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ReadEvents(), "break\n");
  EXPECT_EQ(sim->Output().find("could not travel"), std::string::npos) << sim->Output();

  // After a reset stage 1 goes through; the first stage-2 section's answer
  // is a framing error instead of 0xAA.
  Control("reset\n");
  received.clear();
  ASSERT_TRUE(WakeUp());
  Write(wire[0].bytes);
  ASSERT_TRUE(WaitFor(0xA5));
  Write(wire[1].bytes);
  until = Clock::now() + 5s;
  while (ReadEvents() == "break\n" && Clock::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ReadEvents(), "break\nframing\n");
}

TEST_F(ModuleSimTest, IdleAndOrphanedSimulatorDoesNotSpin) {
  StartSim();
  double before = sim->CpuSeconds();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(sim->CpuSeconds() - before, 0.1);
  // The tty goes away: socat ends and takes both ptys with it.
  close(host);
  host = -1;
  socat.reset();
  ASSERT_TRUE(sim->WaitForText("the tty went away"));
  before = sim->CpuSeconds();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(sim->CpuSeconds() - before, 0.1);
  kill(sim->Pid(), SIGINT);
  EXPECT_EQ(sim->WaitExit(), 0);
}

TEST(ModuleSimOptions, HelpAndBadOptions) {
  {
    Child help({MODULESIM_PATH, "--help"});
    EXPECT_EQ(help.WaitExit(), 0);
  }
  {
    Child missing({MODULESIM_PATH});
    EXPECT_EQ(missing.WaitExit(), 2);
    EXPECT_NE(missing.Output().find("--tty PATH is required"), std::string::npos);
  }
  {
    Child bad({MODULESIM_PATH, "--tty", "/dev/null", "--switch", "refuse@nowhere"});
    EXPECT_EQ(bad.WaitExit(), 2);
    EXPECT_NE(bad.Output().find("unknown phase 'nowhere'"), std::string::npos);
  }
  {
    Child noTty({MODULESIM_PATH, "--tty", "/nonexistent/tty"});
    EXPECT_EQ(noTty.WaitExit(), 1);
    EXPECT_NE(noTty.Output().find("cannot open /nonexistent/tty"), std::string::npos);
  }
}

}  // namespace
