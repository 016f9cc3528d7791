// The relay against socat on the same pseudo-terminals, in one run.
//
// Two pseudo-terminals are the two lines: the middle opens their slave ends,
// this program feeds and reads their masters. The middle is, in turn, socat
// itself (`socat SLAVE_A SLAVE_B`, the reference; and `socat -b 1024`, which
// copies in the relay's own pass size) and the real fwutil
// relaying between COM1: (line A) and its partner port (line B), in a few
// set-ups. (No socat pty pairs in the path: a pair is one process that
// blocks in its writes, and two of them around the relay's two blocked
// writers can wait on one another for ever under full load.)
// This program feeds and reads the far ends and measures, for each middle:
// throughput each way and both ways at once, the round trip of one byte
// (A -> B, echoed back B -> A), the middle's CPU time while copying, and
// its CPU time while idle. It prints each figure and its ratio to socat's,
// measured in the same run; it asserts nothing about absolute speed.
//
// With --baseline PATH, another fwutil build (an earlier one, say) is measured
// in the same run, set-up by set-up after this build's.
//
// Usage: relay_bench [--megabytes N] [--rounds N] [--idle-seconds N] [--fwutil PATH] [--baseline PATH]
//                    [--socat PATH]
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Settings {
  size_t bytes = 4u << 20;
  int rounds = 200;
  int idleSeconds = 3;
  std::string fwutil = FWUTIL_PATH;
  std::string baseline;  // another fwutil to measure in the same run; empty: none
  std::string socat;
};

struct Figures {
  std::string name;
  bool ok = false;
  double up = 0, down = 0;           // bytes per second, one way at a time
  double bothUp = 0, bothDown = 0;   // bytes per second, both ways at once
  double cpuPerMegabyte = 0;         // CPU seconds of the middle per MB moved (both ways at once)
  double rttMedian = 0, rttP90 = 0;  // microseconds
  double idleCpu = 0;                // share of one core while nothing flows
};

// CPU time (user + system) of a process so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void Drain(int fd) {
  uint8_t buffer[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) return;
    if (read(fd, buffer, sizeof buffer) <= 0) return;
  }
}

// A token from `from` until it shows at `to`, repeated while nothing comes
// (the middle may not have its ports open yet). Whatever arrives before the
// last token is dropped, so no stray probe can land in a measurement.
bool Sync(int from, int to) {
  static unsigned counter = 0;
  auto deadline = Clock::now() + 20s;
  std::string seen;
  std::string token;
  auto nextSend = Clock::now();
  while (Clock::now() < deadline) {
    if (Clock::now() >= nextSend) {
      token = "<sync " + std::to_string(++counter) + ">";
      if (write(from, token.data(), token.size()) != static_cast<ssize_t>(token.size())) {
        token.clear();  // no slave end open yet
      }
      nextSend = Clock::now() + 500ms;
    }
    pollfd p{to, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(to, buffer, sizeof buffer);
    if (n <= 0) {
      usleep(50000);  // no slave end open yet
      continue;
    }
    seen.append(buffer, static_cast<size_t>(n));
    if (!token.empty() && seen.size() >= token.size() &&
        seen.compare(seen.size() - token.size(), token.size(), token) == 0) {
      return true;
    }
  }
  return false;
}

double Transfer(const char* what, std::vector<e2e::Stream*> streams, bool* ok) {
  auto start = Clock::now();
  bool arrived = e2e::Pump(streams, start + 60s);
  if (!arrived) {
    std::fprintf(stderr, "  %s: not all arrived:", what);
    for (const e2e::Stream* s : streams)
      std::fprintf(stderr, " %zu of %zu (sent %zu)", s->in.size(), s->expected, s->sent);
    std::fprintf(stderr, "\n");
  }
  *ok = arrived && *ok;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Whether a stream received exactly `sent`; says where it went wrong if not.
bool Same(const char* what, const e2e::Stream& stream, const std::vector<uint8_t>& sent) {
  if (stream.in == sent) return true;
  size_t at = 0;
  while (at < stream.in.size() && at < sent.size() && stream.in[at] == sent[at]) ++at;
  std::fprintf(stderr, "  %s: %zu bytes received for %zu sent, first difference at %zu\n", what, stream.in.size(),
               sent.size(), at);
  return false;
}

// Round trips of one byte: A -> B through the middle, echoed B -> A.
bool RoundTrips(int a, int b, int rounds, std::vector<double>& micros) {
  for (int i = 0; i < rounds; ++i) {
    uint8_t byte = static_cast<uint8_t>('a' + i % 26), got = 0;
    auto start = Clock::now();
    if (write(a, &byte, 1) != 1) return false;
    pollfd pb{b, POLLIN, 0};
    if (poll(&pb, 1, 5000) <= 0 || read(b, &got, 1) != 1 || got != byte) return false;
    if (write(b, &got, 1) != 1) return false;
    pollfd pa{a, POLLIN, 0};
    if (poll(&pa, 1, 5000) <= 0 || read(a, &got, 1) != 1 || got != byte) return false;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return true;
}

Figures Measure(const std::string& name, pid_t middle, int a, int b, const Settings& settings) {
  Figures f;
  f.name = name;
  f.ok = Sync(a, b) && Sync(b, a);
  if (!f.ok) {
    std::fprintf(stderr, "%s: the middle does not pass bytes\n", name.c_str());
    return f;
  }
  const std::vector<uint8_t> up = e2e::RandomBytes(settings.bytes, 11), down = e2e::RandomBytes(settings.bytes, 12);
  bool ok = true;

  e2e::Stream oneUp{a, &up, 0, b, {}, up.size()};
  f.up = static_cast<double>(up.size()) / Transfer("A->B", {&oneUp}, &ok);
  ok = Same("A->B", oneUp, up) && ok;
  ok = Sync(b, a) && ok;
  e2e::Stream oneDown{b, &down, 0, a, {}, down.size()};
  f.down = static_cast<double>(down.size()) / Transfer("B->A", {&oneDown}, &ok);
  ok = Same("B->A", oneDown, down) && ok;

  ok = Sync(a, b) && Sync(b, a) && ok;
  e2e::Stream bothUp{a, &up, 0, b, {}, up.size()}, bothDown{b, &down, 0, a, {}, down.size()};
  double cpuBefore = CpuSeconds(middle);
  double seconds = Transfer("both ways", {&bothUp, &bothDown}, &ok);
  double cpu = CpuSeconds(middle) - cpuBefore;
  ok = Same("both ways, A->B", bothUp, up) && ok;
  ok = Same("both ways, B->A", bothDown, down) && ok;
  f.bothUp = static_cast<double>(up.size()) / seconds;
  f.bothDown = static_cast<double>(down.size()) / seconds;
  f.cpuPerMegabyte = cpu / (static_cast<double>(up.size() + down.size()) / (1 << 20));

  ok = Sync(a, b) && Sync(b, a) && ok;
  std::vector<double> micros;
  if (!RoundTrips(a, b, settings.rounds, micros)) {
    std::fprintf(stderr, "  round trips: a byte did not come back within 5 s (after %zu rounds)\n", micros.size());
    ok = false;
  }
  if (!micros.empty()) {
    std::sort(micros.begin(), micros.end());
    f.rttMedian = micros[micros.size() / 2];
    f.rttP90 = micros[micros.size() * 9 / 10];
  }

  Drain(a);
  Drain(b);
  double idleBefore = CpuSeconds(middle);
  auto idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(settings.idleSeconds));
  f.idleCpu = (CpuSeconds(middle) - idleBefore) / std::chrono::duration<double>(Clock::now() - idleStart).count();
  f.ok = ok;
  if (!ok) std::fprintf(stderr, "%s: bytes lost, changed or late\n", name.c_str());
  return f;
}

// The least an idle relay can cost with its design: two threads, each a
// loop of a non-blocking read and a 1 ms poll on a pty of its own, as the
// relay's two copy threads with their 1 ms read time-outs. Measured as the
// middles' idle CPU is, in a child process.
double IdleFloor(int seconds) {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    auto loop = [] {
      int master = posix_openpt(O_RDWR | O_NOCTTY);
      if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(1);
      int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
      uint8_t buffer[1024];
      const timespec millisecond{0, 1000000};
      for (;;) {
        [[maybe_unused]] ssize_t n = read(slave, buffer, sizeof buffer);
        pollfd p{slave, POLLIN, 0};
        ppoll(&p, 1, &millisecond, nullptr);
      }
    };
    std::thread first(loop), second(loop);
    first.join();
    _exit(0);
  }
  std::this_thread::sleep_for(500ms);
  double before = CpuSeconds(child);
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double share = (CpuSeconds(child) - before) / std::chrono::duration<double>(Clock::now() - start).count();
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return share;
}

std::string Rate(double bytesPerSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f MB/s", bytesPerSecond / (1 << 20));
  return text;
}

std::string Ratio(double value, double reference) {
  if (reference <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value / reference);
  return text;
}

void PrintRatios(const std::vector<Figures>& all, size_t reference) {
  const Figures& ref = all[reference];
  std::printf("\nratios to %s (throughput: above 1 is faster; CPU and round trip: above 1 is more)\n",
              ref.name.c_str());
  std::printf("%-46s %13s %13s %13s %13s %11s %12s %12s %10s\n", "middle", "A->B", "B->A", "both: A->B", "both: B->A",
              "CPU/MB", "RTT median", "RTT p90", "idle CPU");
  for (size_t i = 2; i < all.size(); ++i) {
    const Figures& f = all[i];
    if (!f.ok || !ref.ok) continue;
    std::printf("%-46s %13s %13s %13s %13s %11s %12s %12s %10s\n", f.name.c_str(), Ratio(f.up, ref.up).c_str(),
                Ratio(f.down, ref.down).c_str(), Ratio(f.bothUp, ref.bothUp).c_str(),
                Ratio(f.bothDown, ref.bothDown).c_str(), Ratio(f.cpuPerMegabyte, ref.cpuPerMegabyte).c_str(),
                Ratio(f.rttMedian, ref.rttMedian).c_str(), Ratio(f.rttP90, ref.rttP90).c_str(),
                Ratio(f.idleCpu, ref.idleCpu).c_str());
  }
}

// The figures, then the relay's ratios to socat and to socat -b 1024 (the
// first two entries).
void Print(const std::vector<Figures>& all, double idleFloor) {
  std::printf("\n%-46s %13s %13s %13s %13s %11s %12s %12s %10s\n", "middle", "A->B", "B->A", "both: A->B", "both: B->A",
              "CPU s/MB", "RTT median", "RTT p90", "idle CPU");
  for (const Figures& f : all) {
    if (!f.ok) {
      std::printf("%-46s failed\n", f.name.c_str());
      continue;
    }
    std::printf("%-46s %13s %13s %13s %13s %11.4f %9.0f us %9.0f us %9.2f%%\n", f.name.c_str(), Rate(f.up).c_str(),
                Rate(f.down).c_str(), Rate(f.bothUp).c_str(), Rate(f.bothDown).c_str(), f.cpuPerMegabyte, f.rttMedian,
                f.rttP90, f.idleCpu * 100);
  }
  std::printf("%-46s %101s %9.2f%%\n", "idle floor: two threads polling every 1 ms", "", idleFloor * 100);
  PrintRatios(all, 0);
  PrintRatios(all, 1);
}

// A pseudo-terminal: returns its master (non-blocking) and the slave's path,
// set raw so nothing echoes before the middle sets its own modes.
int OpenLine(std::string* slavePath) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) return -1;
  *slavePath = name;
  int slave = e2e::OpenRaw(name);
  if (slave < 0) return -1;
  close(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return master;
}

struct RelaySetup {
  std::string name;
  std::string partnerPort;         // the COMn: line B backs
  std::vector<std::string> steps;  // before the start
};

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  settings.socat = e2e::FindProgram("socat");
  static const char kUsage[] =
      "usage: relay_bench [--megabytes N] [--rounds N] [--idle-seconds N] [--fwutil PATH] [--baseline PATH]\n"
      "                   [--socat PATH]\n"
      "Measures the relay of a fwutil build (and of --baseline, an earlier build, in the same run) between two\n"
      "ptys against socat: throughput each way and both ways, CPU per MB, one-byte round trip, idle CPU.\n";
  for (int i = 1; i < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "relay_bench: %s needs a value\n%s", option.c_str(), kUsage);
      return 2;
    }
    std::string value = argv[i + 1];
    if (option == "--megabytes") {
      settings.bytes = static_cast<size_t>(std::stod(value) * (1 << 20));
    } else if (option == "--rounds") {
      settings.rounds = std::stoi(value);
    } else if (option == "--idle-seconds") {
      settings.idleSeconds = std::stoi(value);
    } else if (option == "--fwutil") {
      settings.fwutil = value;
    } else if (option == "--baseline") {
      settings.baseline = value;
    } else if (option == "--socat") {
      settings.socat = value;
    } else {
      std::fprintf(stderr, "relay_bench: unknown option %s\n%s", option.c_str(), kUsage);
      return 2;
    }
  }
  if (settings.socat.empty()) {
    std::fprintf(stderr, "relay_bench: socat is not installed; it makes the ptys and is the reference\n");
    return 77;
  }
  char pattern[] = "/tmp/relay-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  std::string hostA, hostB;
  int a = OpenLine(&hostA), b = OpenLine(&hostB);
  if (a < 0 || b < 0) {
    std::fprintf(stderr, "relay_bench: cannot make the pseudo-terminals\n");
    return 1;
  }
  std::printf("relay_bench: %zu bytes per transfer, %d round trips, %d s idle; line A %s, line B %s\n", settings.bytes,
              settings.rounds, settings.idleSeconds, hostA.c_str(), hostB.c_str());

  std::vector<Figures> all;
  {
    e2e::Process middle;
    middle.Start({settings.socat, hostA + ",raw,echo=0", hostB + ",raw,echo=0"});
    std::printf("measuring: socat %s,raw,echo=0 %s,raw,echo=0\n", hostA.c_str(), hostB.c_str());
    all.push_back(Measure("socat", middle.Pid(), a, b, settings));
  }
  {
    Drain(a);
    Drain(b);
    e2e::Process middle;
    middle.Start({settings.socat, "-b", "1024", hostA + ",raw,echo=0", hostB + ",raw,echo=0"});
    std::printf("measuring: socat -b 1024 %s,raw,echo=0 %s,raw,echo=0\n", hostA.c_str(), hostB.c_str());
    all.push_back(Measure("socat -b 1024", middle.Pid(), a, b, settings));
  }

  const std::vector<RelaySetup> setups = {
      {"relay, IrDA partner (COM3:), level 3", "3", {}},
      {"relay, Bluetooth UART (COM2:), level 3", "2", {"command 110"}},
      {"relay, Bluetooth UART (COM2:), level 0", "2", {"command 110", "command 112"}},
  };
  struct Build {
    std::string label, path;
  };
  std::vector<Build> builds = {{"", settings.fwutil}};
  if (!settings.baseline.empty()) builds.push_back({"baseline ", settings.baseline});
  std::vector<std::pair<RelaySetup, std::string>> runs;  // each set-up with the fwutil that runs it
  for (const RelaySetup& setup : setups) {
    for (const Build& build : builds)
      runs.push_back({RelaySetup{build.label + setup.name, setup.partnerPort, setup.steps}, build.path});
  }
  for (const auto& [setup, fwutil] : runs) {
    Drain(a);
    Drain(b);
    std::vector<std::string> args = {fwutil,  "--headless", "--trace",    "none",  "--desktop",
                                     dir,     "--com",      "1=" + hostA, "--com", setup.partnerPort + "=" + hostB,
                                     "--ril", "none"};
    for (const std::string& step : setup.steps) args.insert(args.end(), {"--do", step});
    args.insert(args.end(), {"--do", "command 153", "--do", "wait \"Baudrate:115200\" 20s"});
    std::string command;
    for (const std::string& arg : args) command += (arg.find(' ') != std::string::npos ? "'" + arg + "'" : arg) + " ";
    std::printf("measuring: %s\n", command.c_str());
    e2e::Process middle;
    if (!middle.Start(args) || !middle.WaitStderrLine("Baudrate:115200", 30s)) {
      std::fprintf(stderr, "relay_bench: fwutil did not start the relay:\n%s\n", middle.StderrText().c_str());
      all.push_back(Figures{setup.name});
      continue;
    }
    all.push_back(Measure(setup.name, middle.Pid(), a, b, settings));
  }
  Print(all, IdleFloor(settings.idleSeconds));
  close(a);
  close(b);
  std::system(("rm -rf '" + dir + "'").c_str());
  bool ok = std::all_of(all.begin(), all.end(), [](const Figures& f) { return f.ok; });
  return ok ? 0 : 1;
}
