// The whole firmware update on the emulated handset, with the module's line
// paced at 115200 bits per second (the platform clock sped up by the
// argument), measured against what the wire and the prescribed pauses
// allow, and against a plain transfer of the same bytes over a virtual line
// measured in the same run.
//
// Counters (all ratios; no absolute pass or fail):
//   wall_over_ideal   the update's time from the start command to the final
//                     0xA5, divided by the bits on the wire (host writes and
//                     module answers at 10.5 bits a byte) plus the pauses
//                     (500, 1000, 20, 100, 20 ms and half a wake-up period)
//   raw_over_ideal    the reference: the same number of bytes written in
//                     4000-byte pieces over a fresh virtual line, divided by
//                     their wire time
//   wall_over_raw     wall_over_ideal / raw_over_ideal: what the protocol and
//                     the utility add beyond the line's own pacing
//   utility_cpu       CPU time of the utility's threads (window, update,
//                     wake-up) as a share of the update's real time
//   process_cpu       the same for the whole process (emulated module, line,
//                     this harness included)
//
// Run: update_bench [--benchmark_filter=...]; the argument is the clock speed.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontends/headless/ScriptedUser.h"
#include "handset/Handset.h"
#include "kernel/Clock.h"
#include "kernel/Thread.h"
#include "relay/Relay.h"
#include "serial/Serial.h"
#include "serial/VirtualPort.h"
#include "shell/Shell.h"
#include "kernel/DebugOutput.h"
#include "update/Update.h"
#include "windowing/Desktop.h"
#include "windowing/Screen.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

namespace {

using namespace std::chrono_literals;

constexpr double kBitsPerByte = 10.5;  // 8 data bits, 1.5 stop bits, the start bit
constexpr double kBaud = 115200;
// StartUpdate's 500, the wake-up's 1000, stage 2's 20, the 100 after 0x50
// and the 20 after the length record; the module answers the first wake-up
// byte after its reset, on average half a 10 ms period later.
constexpr double kPausesMs = 500 + 1000 + 20 + 100 + 20 + 5;

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double PlatformSeconds(kernel::Duration d) { return std::chrono::duration<double>(d).count(); }

// The program's thread, for its CPU clock.
std::atomic<clockid_t> programClock{CLOCK_THREAD_CPUTIME_ID};

int WINAPI ProgramEntry(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
  clockid_t clock;
  if (pthread_getcpuclockid(pthread_self(), &clock) == 0) programClock = clock;
  return WinMain(instance, previous, commandLine, showCommand);
}

// What the update does, seen from the trace and COM1:.
class Probe : public debugout::Sink, public serial::PortObserver {
 public:
  void Write(std::u16string_view text) override {
    std::lock_guard<std::mutex> guard(lock_);
    uint32_t self = kernel::ThreadControl::Self().Id();
    if (text == u"Open : COM1:\r\n" && updateThread_ == 0) {
      updateThread_ = self;
      updateCpuStart_ = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    } else if (text == u"Firmware Updated....Done") {
      doneAt_ = kernel::Clock::now();
      doneReal_ = std::chrono::steady_clock::now();
      updateCpuEnd_ = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    } else if (text == u" Communication Port Closed!!\r\n") {
      ++closed_;
    }
  }
  void OnWrite(std::span<const uint8_t> requested, DWORD written, bool) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (kernel::ThreadControl::Self().Id() == updateThread_) {
      hostBytes_ += written;
    } else if (requested.size() == 1) {
      castCpu_ = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);  // the wake-up thread's, so far
    }
  }
  void OnRead(std::span<const uint8_t> bytes) override {
    std::lock_guard<std::mutex> guard(lock_);
    moduleBytes_ += bytes.size();
  }

  bool Done() {
    std::lock_guard<std::mutex> guard(lock_);
    return doneReal_ != std::chrono::steady_clock::time_point{};
  }
  bool Closed() {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_ >= 2;
  }

  std::mutex lock_;
  uint32_t updateThread_ = 0;
  double updateCpuStart_ = 0, updateCpuEnd_ = 0, castCpu_ = 0;
  kernel::TimePoint doneAt_{};
  std::chrono::steady_clock::time_point doneReal_{};
  uint64_t hostBytes_ = 0, moduleBytes_ = 0;
  int closed_ = 0;
};

void ResetGlobals() {
  LogLevel = 3;
  KeepInFront = 1;
  MenuBar = nullptr;
  RelayPartner = PARTNER_IRDA;
  RelayRunning = 1;
  ModulePort = INVALID_HANDLE_VALUE;
  PartnerPort = INVALID_HANDLE_VALUE;
  ModuleToPartnerHandle = INVALID_HANDLE_VALUE;
  PartnerToModuleHandle = INVALID_HANDLE_VALUE;
  UseFixedSize = 0;
  UpdateThreadHandle = INVALID_HANDLE_VALUE;
  CastThreadHandle = INVALID_HANDLE_VALUE;
}

// `bytes` written in 4000-byte pieces to a fresh paced virtual line at the
// update line's format, until the far end has read them all. Platform seconds.
double RawTransfer(uint64_t bytes) {
  const unsigned port = 7;
  auto line = serial::ConfigureVirtualPort(port);
  std::thread reader([&] {
    std::vector<uint8_t> buffer(8192);
    uint64_t got = 0;
    while (got < bytes) got += line->Read(buffer.data(), buffer.size(), kernel::Clock::now() + 10s);
  });
  HANDLE com = CreateFileW(TEXT("COM7:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DCB dcb{};
  GetCommState(com, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONE5STOPBITS;
  SetCommState(com, &dcb);
  std::vector<uint8_t> piece(4000, 0x5A);
  kernel::TimePoint start = kernel::Clock::now();
  for (uint64_t sent = 0; sent < bytes;) {
    DWORD size = static_cast<DWORD>(std::min<uint64_t>(piece.size(), bytes - sent));
    DWORD written = 0;
    WriteFile(com, piece.data(), size, &written, nullptr);
    sent += size;
  }
  reader.join();
  double seconds = PlatformSeconds(kernel::Clock::now() - start);
  CloseHandle(com);
  serial::RemovePort(port);
  return seconds;
}

void BM_WholeUpdate(benchmark::State& state) {
  static const std::string desktop = windowing::UsePrivateDesktop();
  const double speed = static_cast<double>(state.range(0));
  for (auto _ : state) {
    auto probe = std::make_shared<Probe>();
    debugout::SetSink(probe);
    handset::Handset handset;
    handset::HandsetOptions options;
    options.clockSpeed = speed;
    std::string error;
    if (!handset.Boot(options, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    handset.ModuleLine()->SetObserver(probe);
    headless::ProgramThread program(&ProgramEntry, handset.Instance(), SW_SHOW);
    headless::ScriptedUser user(u"Firmware Utility");
    if (!user.WaitForLogText(u"Firmware Version", 30s)) {
      state.SkipWithError("the utility did not start");
      return;
    }
    HWND window = user.MainWindow();

    const double processCpu0 = ProcessCpuSeconds();
    const double programCpu0 = CpuSeconds(programClock);
    const kernel::TimePoint start = kernel::Clock::now();
    const auto startReal = std::chrono::steady_clock::now();
    SendMessageW(window, WM_COMMAND, 118, 0);
    // The success box closes the transfer; answer it and let the update end.
    if (!user.AnswerNextBox(IDOK, std::chrono::minutes(30)) || !probe->Done()) {
      state.SkipWithError("the update did not succeed");
      return;
    }
    const double processCpu = ProcessCpuSeconds() - processCpu0;
    const double programCpu = CpuSeconds(programClock) - programCpu0;
    for (int i = 0; i < 3000 && !probe->Closed(); ++i) std::this_thread::sleep_for(10ms);

    double wall, real, wireBytes, utilityCpu;
    uint64_t hostBytes;
    {
      std::lock_guard<std::mutex> guard(probe->lock_);
      wall = PlatformSeconds(probe->doneAt_ - start);
      real = std::chrono::duration<double>(probe->doneReal_ - startReal).count();
      hostBytes = probe->hostBytes_;
      // The wake-up byte the module answered travels too.
      wireBytes = static_cast<double>(probe->hostBytes_ + 1 + probe->moduleBytes_);
      utilityCpu = programCpu + (probe->updateCpuEnd_ - probe->updateCpuStart_) + probe->castCpu_;
    }
    const double ideal = wireBytes * kBitsPerByte / kBaud + kPausesMs / 1000;
    const double raw = RawTransfer(hostBytes);
    const double rawIdeal = static_cast<double>(hostBytes) * kBitsPerByte / kBaud;

    state.SetIterationTime(real);
    state.counters["wall_over_ideal"] = wall / ideal;
    state.counters["raw_over_ideal"] = raw / rawIdeal;
    state.counters["wall_over_raw"] = (wall / ideal) / (raw / rawIdeal);
    state.counters["utility_cpu"] = utilityCpu / real;
    state.counters["process_cpu"] = processCpu / real;
    state.counters["wire_bytes"] = wireBytes;
    state.counters["ideal_s"] = ideal;

    user.Command(101);
    program.WaitForExit(30s);
    UnregisterClassW(TEXT("Firmware Utility"), handset.Instance());
    handset.Shutdown();
    debugout::SetSink(nullptr);
    ResetGlobals();
  }
}

// Real seconds per update: about 230 / speed.
BENCHMARK(BM_WholeUpdate)->Arg(50)->Arg(20)->Arg(10)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
