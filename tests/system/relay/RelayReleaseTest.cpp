// The relay's release as any Win32 needs it: the ports out of the globals
// and their transfers ended before anything closes, the copy threads
// awaited (their log-view texts still taken meanwhile) and closed ports
// only behind them, a thread stuck past the wait ended by force and named
// in the trace, no write-failure box for a write the release itself ended,
// fresh threads at the next start, many rounds in one run, and no copy
// thread late past the release reaching a closed port's handle value once
// the kernel has handed it to something else.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "RelayFixture.h"
#include "kernel/Devices.h"
#include "kernel/Handles.h"
#include "kernel/Wait.h"
#include "windowing/Screen.h"

namespace systemtest {
namespace {

class RelayReleaseTest : public RelayFixture {};

struct Direction {
  const char* name;
  bool toPartner;  // module UART -> partner
};

void PrintTo(const Direction& d, std::ostream* out) { *out << d.name; }

const Direction kBothWays[] = {{"ModuleToPartner", true}, {"PartnerToModule", false}};

bool Ended(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

// Polls `done` for up to ten seconds (real time), from a thread that is not
// the platform's: a copy thread's port observer.
template <typename Done>
bool HoldUntil(Done done) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// ------------------------------------------------------- order

// Sees a relay port's purges and its close, with what the copy threads
// would find in the relay's globals at that moment and whether they have
// ended. Both run on the window's thread, inside the release, so this is
// the release's own order.
class ReleaseWitness : public serial::PortObserver {
 public:
  struct Seen {
    bool close;
    DWORD purgeFlags;
    DWORD running;
    HANDLE module;
    HANDLE partner;
    bool threadsEnded;
  };
  explicit ReleaseWitness(std::vector<HANDLE> threads) : threads_(std::move(threads)) {}
  void OnWrite(std::span<const uint8_t>, DWORD, bool) override {}
  void OnPurge(DWORD flags) override { Note(false, flags); }
  void OnClose() override { Note(true, 0); }
  std::vector<Seen> Events() {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }

 private:
  void Note(bool close, DWORD flags) {
    bool ended = true;
    for (HANDLE thread : threads_) ended = ended && Ended(thread);
    std::lock_guard<std::mutex> guard(lock_);
    seen_.push_back({close, flags, RelayRunning.load(), ModulePort.load(), PartnerPort.load(), ended});
  }
  const std::vector<HANDLE> threads_;
  std::mutex lock_;
  std::vector<Seen> seen_;
};

// Seen from each port: first the flag is cleared and both globals are -1;
// then the port's pending transfers are ended (PurgeComm with the abort
// flags), which sends the copy threads back to their loop test, where they
// leave; and only once both threads have ended is the port closed, once.
// No thread needed ending by force. The stop command and the destroy
// handler release alike.
class ReleaseOrderTest : public RelayReleaseTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReleaseOrderTest, GlobalsLetGoAndTransfersEndThenThreadsAreAwaitedBeforeThePortsClose) {
  bool byDestroy = GetParam();
  PlayBothEnds(handset::kIrdaPort);
  StartRelayOrFail();
  std::vector<HANDLE> threads = {ModuleToPartnerHandle.load(), PartnerToModuleHandle.load()};
  auto moduleWitness = std::make_shared<ReleaseWitness>(threads);
  auto partnerWitness = std::make_shared<ReleaseWitness>(threads);
  serial::FindPort(kTestModulePort)->SetObserver(moduleWitness);
  serial::FindPort(handset::kIrdaPort)->SetObserver(partnerWitness);
  Sleep(100);  // both copy threads in their reads by now (the IrDA one without a time limit)

  if (byDestroy) {
    // Run on this thread; the quit message it posts comes here and is dropped.
    EXPECT_EQ(MainWindowProc(Window(), WM_DESTROY, 0, 0), 0);
    MSG quit{};
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, 0, 0, PM_REMOVE));
  } else {
    EXPECT_EQ(Send(155), 0);
  }

  for (auto& witness : {moduleWitness, partnerWitness}) {
    std::vector<ReleaseWitness::Seen> events = witness->Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_FALSE(events.front().close) << "the port closed before its transfers were ended";
    EXPECT_EQ(events.front().purgeFlags, static_cast<DWORD>(PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_TRUE(events.back().close);
    for (const ReleaseWitness::Seen& seen : events) {
      EXPECT_EQ(seen.running, 0u) << "RelayRunning still set";
      EXPECT_EQ(seen.module, INVALID_HANDLE_VALUE) << "ModulePort still held the port";
      EXPECT_EQ(seen.partner, INVALID_HANDLE_VALUE) << "PartnerPort still held the port";
      if (seen.close) {
        EXPECT_TRUE(seen.threadsEnded) << "a port closed under a copy thread";
      }
    }
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.close; }), 1);
  }
  for (HANDLE thread : threads) EXPECT_EQ(ExitCode(thread), 0u);
  EXPECT_EQ(TerminationTraces(), std::vector<std::u16string>{});
  serial::FindPort(kTestModulePort)->SetObserver(nullptr);
  serial::FindPort(handset::kIrdaPort)->SetObserver(nullptr);
}

INSTANTIATE_TEST_SUITE_P(StopAndDestroy, ReleaseOrderTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "OnDestroy" : "StopRelay");
                         });

// ------------------------------------------------------- a write the release ends

// Holds a copy thread between its read and its write until the release has
// begun: the thread then writes to a port the release has taken away.
class HoldAfterRead : public serial::PortObserver {
 public:
  void OnWrite(std::span<const uint8_t>, DWORD, bool) override {}
  void OnRead(std::span<const uint8_t>) override {
    holding = true;
    HoldUntil([] { return RelayRunning.load() == 0; });
  }
  std::atomic<bool> holding{false};
};

class StoppingWriteTest : public RelayReleaseTest, public ::testing::WithParamInterface<Direction> {};

// The write fails, as the release meant it to: no write-failure box (the
// thread would wait in it until ended by force), no progress line, and the
// thread leaves by itself.
TEST_P(StoppingWriteTest, AWriteTheReleaseEndedShowsNoBox) {
  bool toPartner = GetParam().toPartner;
  PlayBothEnds(handset::kIrdaPort);
  StartRelayOrFail();
  auto source = Line(toPartner ? kTestModulePort : handset::kIrdaPort);
  auto destination = Line(toPartner ? handset::kIrdaPort : kTestModulePort);
  auto hold = std::make_shared<HoldAfterRead>();
  serial::FindPort(toPartner ? kTestModulePort : handset::kIrdaPort)->SetObserver(hold);
  HANDLE threads[] = {ModuleToPartnerHandle.load(), PartnerToModuleHandle.load()};
  Bytes bytes = Pattern(20, 5);
  source->Write(bytes.data(), bytes.size());
  ASSERT_TRUE(HoldUntil([&] { return hold->holding.load(); }));

  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(TerminationTraces(), std::vector<std::u16string>{});
  for (HANDLE thread : threads) EXPECT_EQ(ExitCode(thread), 0u);
  EXPECT_TRUE(screen::Capture().modals.empty());
  EXPECT_TRUE(LogLinesWith(toPartner ? u"<-BT" : u">>> ").empty());
  EXPECT_TRUE(DrainAtDevice(*destination, 100ms).empty());
  serial::FindPort(toPartner ? kTestModulePort : handset::kIrdaPort)->SetObserver(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Directions, StoppingWriteTest, ::testing::ValuesIn(kBothWays),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------- a thread stuck in a write

// Keeps a copy thread inside its write, past every abort and close, until
// the release has been under way for `holdFor` (a platform wait, so the
// thread can be ended there); kNever: for good.
class StuckWrite : public serial::PortObserver {
 public:
  explicit StuckWrite(kernel::Duration holdFor) : holdFor_(holdFor) {}
  void OnWrite(std::span<const uint8_t>, DWORD, bool) override {
    stuck = true;
    HoldUntil([] { return RelayRunning.load() == 0; });
    kernel::SleepUntil(holdFor_ == kernel::Duration::max() ? kernel::kNever : kernel::Clock::now() + holdFor_);
    left = true;
  }
  std::atomic<bool> stuck{false};
  std::atomic<bool> left{false};

 private:
  const kernel::Duration holdFor_;
};

struct Stuck {
  const char* name;
  bool toPartner;
  bool forGood;  // else it gets out a while after the release has begun, well within its wait
};

void PrintTo(const Stuck& s, std::ostream* out) { *out << s.name; }

class StuckWriteTest : public RelayReleaseTest, public ::testing::WithParamInterface<Stuck> {};

// The release waits for a thread that is late to leave (it leaves by itself
// and is not ended by force), and only for a while for one that never
// would: that one is ended once the wait is over, the trace names it, and
// the release returns. Either way both threads end with code 0, the release
// shows its text, and the next start runs both directions again.
TEST_P(StuckWriteTest, TheReleaseWaitsForItThenEndsItOnlyIfItIsStuckForGood) {
  const Stuck& stuck = GetParam();
  PlayBothEnds(handset::kIrdaPort);
  StartRelayOrFail();
  unsigned destinationPort = stuck.toPartner ? handset::kIrdaPort : kTestModulePort;
  auto source = Line(stuck.toPartner ? kTestModulePort : handset::kIrdaPort);
  auto write = std::make_shared<StuckWrite>(stuck.forGood ? kernel::Duration::max()
                                                          : std::chrono::duration_cast<kernel::Duration>(300ms));
  serial::FindPort(destinationPort)->SetObserver(write);
  HANDLE threads[] = {ModuleToPartnerHandle.load(), PartnerToModuleHandle.load()};
  source->Write(AsBytes("AT\r").data(), 3);
  ASSERT_TRUE(HoldUntil([&] { return write->stuck.load(); }));

  auto stop = std::async(std::launch::async, [&] { return Send(155); });
  ASSERT_EQ(stop.wait_for(20s), std::future_status::ready) << "the release did not return";
  EXPECT_EQ(stop.get(), 0);
  EXPECT_EQ(write->left.load(), !stuck.forGood);
  std::vector<std::u16string> ended;
  if (stuck.forGood) ended.push_back(TerminationTrace(stuck.toPartner));
  EXPECT_EQ(TerminationTraces(), ended);
  for (HANDLE thread : threads) {
    EXPECT_TRUE(Ended(thread));
    EXPECT_EQ(ExitCode(thread), 0u);
  }
  EXPECT_EQ(Occurrences(Log(), kReleasedText), 1u);
  serial::FindPort(destinationPort)->SetObserver(nullptr);
  EXPECT_EQ(DrainAtDevice(*Line(destinationPort), 100ms), AsBytes("AT\r"));  // the write that got stuck

  ASSERT_EQ(Send(153), 0);
  for (unsigned from : {kTestModulePort, static_cast<unsigned>(handset::kIrdaPort)}) {
    auto to = Line(from == kTestModulePort ? handset::kIrdaPort : kTestModulePort);
    Bytes bytes = Pattern(8, static_cast<uint8_t>(from));
    Line(from)->Write(bytes.data(), bytes.size());
    EXPECT_EQ(ReadAtDevice(*to, bytes.size()), bytes) << "from port " << from;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StuckWriteTest,
                         ::testing::Values(Stuck{"ToPartnerLate", true, false}, Stuck{"ToModuleLate", false, false},
                                           Stuck{"ToPartnerForGood", true, true},
                                           Stuck{"ToModuleForGood", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------- the next start

DWORD WINAPI FinishWhenSet(LPVOID event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 0;
}

// A desktop kernel ends a terminated thread some time after TerminateThread
// has returned, so right after a release a copy thread's handle may still
// report STILL_ACTIVE. Planted here as a thread that is still finishing:
// the next start waits for it (it finishes meanwhile) or, if it does not
// finish, goes on without it; either way it starts both copy threads, and
// bytes flow both ways.
class FinishingThreadTest : public RelayReleaseTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FinishingThreadTest, StartRightAfterAReleaseStartsBothCopyThreads) {
  bool finishes = GetParam();
  PlayBothEnds(handset::kIrdaPort);
  StartRelayOrFail();
  ASSERT_EQ(Send(155), 0);
  HANDLE released = ModuleToPartnerHandle.load();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE finishing = CreateThread(nullptr, 0, FinishWhenSet, event, 0, nullptr);
  ASSERT_NE(finishing, nullptr);
  ModuleToPartnerHandle = finishing;  // the relay now owns (and closes) it
  CloseHandle(released);
  std::thread finisher([&] {
    if (!finishes) return;
    Sleep(200);
    SetEvent(event);
  });

  EXPECT_EQ(Send(153), 0);
  finisher.join();
  EXPECT_NE(ModuleToPartnerHandle.load(), finishing);
  EXPECT_EQ(ExitCode(ModuleToPartnerHandle), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(ExitCode(PartnerToModuleHandle), static_cast<DWORD>(STILL_ACTIVE));
  auto partner = Line(handset::kIrdaPort);
  auto module = Line(kTestModulePort);
  Bytes up = Pattern(16, 1), down = Pattern(16, 2);
  partner->Write(up.data(), up.size());
  EXPECT_EQ(ReadAtDevice(*module, up.size()), up);
  module->Write(down.data(), down.size());
  EXPECT_EQ(ReadAtDevice(*partner, down.size()), down);
  SetEvent(event);
  CloseHandle(event);
}

INSTANTIATE_TEST_SUITE_P(FinishingOrNot, FinishingThreadTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "FinishesMeanwhile" : "NeverFinishes");
                         });

// ------------------------------------------------------- a copy thread late past the release

// Where a copy thread is held: entering its read of its source port or its
// write to its destination, with the port's handle value already fetched
// from its global, as a thread the kernel descheduled there. Each port has
// one reader and one writer, so the port and the kind of transfer name the
// thread.
struct Late {
  const char* name;
  bool toPartner;  // ModuleToPartnerThread, else PartnerToModuleThread
  bool atWrite;    // held entering its write, else entering its read
};

const Late kLateThreads[] = {{"ModuleToPartner reading", true, false},
                             {"ModuleToPartner writing", true, true},
                             {"PartnerToModule reading", false, false},
                             {"PartnerToModule writing", false, true}};

// A spare port that takes the held port's handle value the moment that port
// is closed (the kernel hands closed values out again): what a late copy
// thread would reach with its stale handle, with a whole read's worth of
// bytes waiting for it.
constexpr unsigned kReusePort = 6;
constexpr char16_t kReusePortName[] = u"COM6:";
constexpr size_t kRelayChunk = 1024;

// Counts the transfers that reach the spare port.
class TransferCount : public serial::PortObserver {
 public:
  void OnWrite(std::span<const uint8_t>, DWORD, bool) override { ++transfers; }
  void OnRead(std::span<const uint8_t>) override { ++transfers; }
  std::atomic<int> transfers{0};
};

// On the held port's close: opens the spare port, which gets the closed
// value, lets the held thread go, and gives it a moment to reach the spare
// port, as a thread that the kernel schedules again would.
class ReuseOnClose : public serial::PortObserver {
 public:
  ReuseOnClose(HANDLE lateThread, HANDLE letGo) : lateThread_(lateThread), letGo_(letGo) {}
  void OnWrite(std::span<const uint8_t>, DWORD, bool) override {}
  void OnClose() override {
    reused = CreateFileW(kReusePortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<uint8_t> waiting(kRelayChunk, 0x5A);
    std::dynamic_pointer_cast<serial::VirtualPort>(serial::FindPort(kReusePort))->Write(waiting.data(), waiting.size());
    SetEvent(letGo_);
    WaitForSingleObject(lateThread_, 2000);
  }
  std::atomic<HANDLE> reused{INVALID_HANDLE_VALUE};

 private:
  const HANDLE lateThread_;
  const HANDLE letGo_;
};

// Two hundred rounds of start and release, each with one copy thread held
// with a port's handle in hand until well past the release's wait, the
// four kinds of hold in turn, and the kernel handing closed handle values
// out again. The release ends the held thread and awaits it before it
// closes the ports: the held port's value, given to the spare port at its
// close, never sees a transfer, and every round's held thread is named in
// the trace as ended by force.
TEST_F(RelayReleaseTest, ACopyThreadLatePastTheReleaseNeverReachesAReusedHandle) {
  options_.clockSpeed = 50;  // the release waits 1000 ms for the held thread every round
  PlayBothEnds(handset::kIrdaPort);
  options_.ports[kReusePort] = {handset::PortChoice::Kind::Virtual, ""};
  StartUtility();
  kernel::ReuseClosedHandles(true);
  auto count = std::make_shared<TransferCount>();
  serial::FindPort(kReusePort)->SetObserver(count);

  for (int round = 1; round <= 200; ++round) {
    const Late& late = kLateThreads[round % 4];
    SCOPED_TRACE(std::string(late.name) + ", round " + std::to_string(round));
    ASSERT_EQ(Send(153), 0);
    HANDLE thread = late.toPartner ? ModuleToPartnerHandle.load() : PartnerToModuleHandle.load();
    bool heldAtModule = late.toPartner != late.atWrite;
    HANDLE port = heldAtModule ? ModulePort.load() : PartnerPort.load();
    unsigned portNumber = heldAtModule ? kTestModulePort : static_cast<unsigned>(handset::kIrdaPort);
    HANDLE letGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto held = std::make_shared<std::atomic<bool>>(false);
    kernel::SetTransferHold([held, port, atWrite = late.atWrite, letGo](HANDLE handle, bool write) {
      if (handle != port || write != atWrite || held->exchange(true)) return;
      WaitForSingleObject(letGo, 600000);
    });
    auto reuse = std::make_shared<ReuseOnClose>(thread, letGo);
    serial::FindPort(portNumber)->SetObserver(reuse);
    // Bytes at the source make the thread read and write (the module UART's
    // reader polls and reaches its next read without them).
    Line(late.toPartner ? kTestModulePort : handset::kIrdaPort)->Write(AsBytes("AT\r").data(), 3);
    ASSERT_TRUE(HoldUntil([&] { return held->load(); }));

    ASSERT_EQ(Send(155), 0);
    kernel::SetTransferHold({});
    serial::FindPort(portNumber)->SetObserver(nullptr);
    EXPECT_EQ(reuse->reused.load(), port) << "the closed value was not handed out again";
    EXPECT_EQ(count->transfers.load(), 0) << "a late copy thread transferred on the reused handle";
    EXPECT_EQ(ExitCode(thread), 0u);
    ASSERT_EQ(TerminationTraces().size(), static_cast<size_t>(round));
    EXPECT_EQ(TerminationTraces().back(), TerminationTrace(late.toPartner));
    CloseHandle(reuse->reused.load());
    CloseHandle(letGo);
  }
  serial::FindPort(kReusePort)->SetObserver(nullptr);
  kernel::ReuseClosedHandles(false);
}

// ------------------------------------------------------- many rounds

// Fifty rounds of start, "AT" and its answer through both copy threads, and
// release, in one run; then Exit. Every round starts two fresh threads and
// ends them without force; the handles of the last round's threads are all
// the relay keeps; the program ends with 0.
TEST_F(RelayReleaseTest, FiftyStartReleaseRoundsThenExitEndWithZero) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  StartUtility();
  auto partner = Line(handset::kIrdaPort);
  size_t handles = 0;
  for (int round = 1; round <= 50; ++round) {
    ASSERT_EQ(Send(153), 0) << round;
    partner->Write(AsBytes("AT\r").data(), 3);
    ASSERT_EQ(ReadAtDevice(*partner, 6), AsBytes("\r\nOK\r\n")) << round;
    ASSERT_EQ(Send(155), 0) << round;
    ASSERT_FALSE(partner->HostOpen()) << round;
    if (round == 1) handles = kernel::OpenHandleCount();
  }
  EXPECT_EQ(kernel::OpenHandleCount(), handles);
  EXPECT_EQ(Occurrences(Log(), kSettingsText), 50u);
  EXPECT_EQ(Occurrences(Log(), kReleasedText), 50u);
  EXPECT_EQ(TerminationTraces(), std::vector<std::u16string>{});
  EXPECT_EQ(CloseUtility(), std::optional<int>(0));
}

}  // namespace
}  // namespace systemtest
