// Calls on one COM port from two threads at once, as the utility makes them:
// the update's limit helper ends the update thread's WaitCommEvent with
// SetCommMask, the casting thread writes while the update thread waits, the
// relay's release ends a copy thread's ReadFile with PurgeComm. The second
// call runs at once beside the pending one, the pending one ends as the
// handset ends it, and a time-out still holds for a caller while another
// thread waits. SDK calls only: the same cases run natively on every back
// end and, built for Win32, under Wine through the desktop build's serial
// layer, where a port opened the CE way would make each call wait for the
// one in progress.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SerialTestSupport.h"

namespace serialtest {
namespace {

// Long enough for a pending call to be under way, and far below what a call
// that waits for it would take (for ever).
constexpr auto kSettle = 100ms;
constexpr auto kBound = 10s;

class SideBySide : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    peer_ = MakePeer(GetParam());
    std::string why;
    if (!peer_->Setup(&why)) {
      if (GetParam() == Backend::SocatPty) GTEST_SKIP() << why;
      FAIL() << why;
    }
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  }

  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    peer_.reset();
  }

  // Starts `call` on a thread of its own and gives it time to be pending.
  template <typename Call>
  auto Pending(Call call) {
    auto started = std::make_shared<std::promise<void>>();
    auto pending = std::async(std::launch::async, [started, call] {
      started->set_value();
      return call();
    });
    started->get_future().wait();
    std::this_thread::sleep_for(kSettle);
    return pending;
  }

  struct Transfer {
    BOOL ok;
    std::vector<uint8_t> bytes;
    DWORD error;
  };

  Transfer Read(DWORD size) {
    Transfer result{FALSE, std::vector<uint8_t>(size), 0};
    DWORD read = 0;
    result.ok = ReadFile(port_, result.bytes.data(), size, &read, nullptr);
    result.error = result.ok ? 0 : GetLastError();
    result.bytes.resize(read);
    return result;
  }

  std::pair<BOOL, DWORD> Wait() {
    DWORD events = 0xDEAD;
    BOOL ok = WaitCommEvent(port_, &events, nullptr);
    return {ok, events};
  }

  std::unique_ptr<Peer> peer_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_P(SideBySide, SetCommMaskFromAnotherThreadEndsAPendingWaitWithNoEvents) {
  ASSERT_TRUE(SetCommMask(port_, EV_BREAK));
  auto waiter = Pending([this] { return Wait(); });
  ASSERT_EQ(waiter.wait_for(0s), std::future_status::timeout) << "no event is due, the wait must go on";

  auto setMask = std::async(std::launch::async, [this] { return SetCommMask(port_, EV_RXCHAR | EV_BREAK); });
  ASSERT_EQ(setMask.wait_for(kBound), std::future_status::ready) << "SetCommMask waited for the pending wait";
  EXPECT_TRUE(setMask.get());
  ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(waiter.get(), std::make_pair(BOOL{TRUE}, DWORD{0}));

  // The next wait has the new mask.
  auto next = Pending([this] { return Wait(); });
  peer_->Send({0x55});
  ASSERT_EQ(next.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(next.get(), std::make_pair(BOOL{TRUE}, DWORD{EV_RXCHAR}));
}

// The read returns with what it has moved, and whatever it had not taken
// stays queued for the next read.
TEST_P(SideBySide, PurgeWithRxAbortFromAnotherThreadEndsAPendingReadLosingNothing) {
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));
  auto reader = Pending([this] { return Read(10); });
  peer_->Send({1, 2, 3});
  std::this_thread::sleep_for(kSettle);
  ASSERT_EQ(reader.wait_for(0s), std::future_status::timeout) << "a read without time-outs waits for 10 bytes";

  auto purge = std::async(std::launch::async, [this] { return PurgeComm(port_, PURGE_RXABORT); });
  ASSERT_EQ(purge.wait_for(kBound), std::future_status::ready) << "PurgeComm waited for the pending read";
  EXPECT_TRUE(purge.get());
  ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
  Transfer got = reader.get();
  EXPECT_TRUE(got.ok) << got.error;
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 500));
  Transfer rest = Read(static_cast<DWORD>(3 - got.bytes.size()));
  got.bytes.insert(got.bytes.end(), rest.bytes.begin(), rest.bytes.end());
  EXPECT_EQ(got.bytes, (std::vector<uint8_t>{1, 2, 3}));
}

// What another thread is waiting in.
struct Waiting {
  const char* name;
  bool inRead;  // ReadFile without time-outs, else WaitCommEvent for EV_RXCHAR
};

// The write goes out at once; the pending call goes on waiting, and ends
// with the peer's answer.
TEST_P(SideBySide, AWriteGoesOutWhileAnotherThreadWaits) {
  for (const Waiting& waiting : {Waiting{"read", true}, Waiting{"WaitCommEvent", false}}) {
    SCOPED_TRACE(waiting.name);
    ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    std::future<Transfer> reader;
    std::future<std::pair<BOOL, DWORD>> waiter;
    if (waiting.inRead) {
      reader = Pending([this] { return Read(1); });
    } else {
      waiter = Pending([this] { return Wait(); });
    }

    auto write = std::async(std::launch::async, [this] {
      const uint8_t bytes[] = {0x55, 0xAA};
      DWORD written = 0;
      BOOL ok = WriteFile(port_, bytes, sizeof(bytes), &written, nullptr);
      return std::make_pair(ok, written);
    });
    ASSERT_EQ(write.wait_for(kBound), std::future_status::ready) << "the write waited for the other thread's call";
    EXPECT_EQ(write.get(), std::make_pair(BOOL{TRUE}, DWORD{2}));
    EXPECT_EQ(peer_->Receive(2, kBound), (std::vector<uint8_t>{0x55, 0xAA}));

    peer_->Send({0x42});
    if (waiting.inRead) {
      ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
      Transfer got = reader.get();
      EXPECT_TRUE(got.ok) << got.error;
      EXPECT_EQ(got.bytes, std::vector<uint8_t>{0x42});
    } else {
      ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
      EXPECT_EQ(waiter.get(), std::make_pair(BOOL{TRUE}, DWORD{EV_RXCHAR}));
      ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    }
  }
}

// Each call the update and the relay make on a port returns at once while
// another thread's read without time-outs is pending; the read goes on and
// gets the next byte.
TEST_P(SideBySide, CommCallsRunAtOnceBesideAPendingRead) {
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));
  auto reader = Pending([this] { return Read(1); });

  const std::pair<const char*, std::function<BOOL()>> calls[] = {
      {"ClearCommError",
       [this] {
         DWORD errors = 0;
         COMSTAT stat;
         return ClearCommError(port_, &errors, &stat);
       }},
      {"GetCommState",
       [this] {
         DCB dcb;
         dcb.DCBlength = sizeof(dcb);
         return GetCommState(port_, &dcb);
       }},
      {"SetCommState",
       [this] {
         DCB dcb;
         dcb.DCBlength = sizeof(dcb);
         if (!GetCommState(port_, &dcb)) return FALSE;
         dcb.BaudRate = CBR_115200;
         return SetCommState(port_, &dcb);
       }},
      {"EscapeCommFunction", [this] { return EscapeCommFunction(port_, SETDTR); }},
      {"GetCommModemStatus",
       [this] {
         DWORD status = 0;
         return GetCommModemStatus(port_, &status);
       }},
      {"SetCommMask", [this] { return SetCommMask(port_, EV_RXCHAR | EV_ERR | EV_BREAK); }},
      {"SetupComm", [this] { return SetupComm(port_, 4096, 4096); }},
      {"PurgeComm(PURGE_TXCLEAR)", [this] { return PurgeComm(port_, PURGE_TXCLEAR); }},
  };
  for (const auto& [name, call] : calls) {
    auto done = std::async(std::launch::async, call);
    ASSERT_EQ(done.wait_for(kBound), std::future_status::ready) << name << " waited for the pending read";
    EXPECT_TRUE(done.get()) << name;
  }
  ASSERT_EQ(reader.wait_for(0s), std::future_status::timeout) << "the read ended without a byte";
  peer_->Send({0x7E});
  ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(reader.get().bytes, std::vector<uint8_t>{0x7E});
}

// A caller's own time-outs end its read, whatever another thread is
// waiting for: at once with nothing queued (the update's reads), a total
// time-out with nothing come and with some bytes come (the relay's UARTs),
// an interval time-out at the end of a burst (the infrared and IrDA
// drivers' way).
TEST_P(SideBySide, AReadsTimeOutsHoldWhileAnotherThreadWaits) {
  ASSERT_TRUE(SetCommMask(port_, EV_BREAK));
  auto waiter = Pending([this] { return Wait(); });

  ASSERT_TRUE(SetTimeouts(port_, MAXDWORD, 0, 0));
  auto immediate = std::async(std::launch::async, [this] { return Read(64); });
  ASSERT_EQ(immediate.wait_for(kBound), std::future_status::ready) << "a read that returns at once waited";
  Transfer none = immediate.get();
  EXPECT_TRUE(none.ok) << none.error;
  EXPECT_TRUE(none.bytes.empty());

  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 100));
  auto quiet = std::async(std::launch::async, [this] { return Read(16); });
  ASSERT_EQ(quiet.wait_for(kBound), std::future_status::ready) << "a total time-out of 100 ms did not end the read";
  Transfer nothing = quiet.get();
  EXPECT_TRUE(nothing.ok) << nothing.error;
  EXPECT_TRUE(nothing.bytes.empty());

  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 400));
  auto some = std::async(std::launch::async, [this] { return Read(1024); });
  std::this_thread::sleep_for(kSettle);
  peer_->Send({'O', 'K'});
  ASSERT_EQ(some.wait_for(kBound), std::future_status::ready) << "bytes that came during the read kept it waiting";
  Transfer part = some.get();
  EXPECT_TRUE(part.ok) << part.error;
  EXPECT_EQ(part.bytes, (std::vector<uint8_t>{'O', 'K'}));

  ASSERT_TRUE(SetTimeouts(port_, 50, 0, 0));
  auto burst = std::async(std::launch::async, [this] { return Read(1024); });
  std::this_thread::sleep_for(kSettle);
  peer_->Send({'A', 'T', '\r'});
  ASSERT_EQ(burst.wait_for(kBound), std::future_status::ready) << "the burst's end did not end the read";
  Transfer got = burst.get();
  EXPECT_TRUE(got.ok) << got.error;
  EXPECT_EQ(got.bytes, (std::vector<uint8_t>{'A', 'T', '\r'}));

  ASSERT_EQ(waiter.wait_for(0s), std::future_status::timeout) << "the other thread's wait ended without an event";
  ASSERT_TRUE(SetCommMask(port_, EV_BREAK));
  ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
}

// Calls blocked on a port fail once another thread closes it, and the
// port is free for the next open.
TEST_P(SideBySide, ClosingThePortFromAnotherThreadFailsTheCallsPendingOnIt) {
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));
  ASSERT_TRUE(SetCommMask(port_, EV_BREAK));
  auto reader = Pending([this] {
    Transfer got = Read(10);
    return std::make_pair(got.ok, got.error);
  });
  auto waiter = Pending([this] {
    auto [ok, events] = Wait();
    (void)events;
    return std::make_pair(ok, ok ? DWORD{0} : GetLastError());
  });
  ASSERT_TRUE(CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  for (auto* pending : {&reader, &waiter}) {
    ASSERT_EQ(pending->wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(pending->get(), std::make_pair(BOOL{FALSE}, DWORD{ERROR_INVALID_HANDLE}));
  }
  port_ = OpenPort();
  EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

// The relay's way with a UART: one thread reads in 1 ms passes while
// another writes the answers; every burst that comes is read within its
// pass, none keeps a read waiting for a full buffer.
TEST_P(SideBySide, ReadsOfOneMillisecondGetEveryBurstWhileAnotherThreadWrites) {
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 1));
  std::atomic<bool> stop{false};
  auto poller = std::async(std::launch::async, [&] {
    std::vector<uint8_t> got;
    uint8_t buffer[1024];
    while (!stop) {
      DWORD read = 0;
      if (ReadFile(port_, buffer, sizeof(buffer), &read, nullptr)) got.insert(got.end(), buffer, buffer + read);
    }
    return got;
  });
  std::vector<uint8_t> sent;
  for (int burst = 0; burst < 20; ++burst) {
    peer_->Send({'A', 'T', static_cast<uint8_t>('0' + burst % 10), '\r'});
    sent.insert(sent.end(), {'A', 'T', static_cast<uint8_t>('0' + burst % 10), '\r'});
    const uint8_t answer[] = {'O', 'K'};
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port_, answer, sizeof(answer), &written, nullptr));
    EXPECT_EQ(peer_->Receive(2, kBound), (std::vector<uint8_t>{'O', 'K'})) << "burst " << burst;
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + (burst * 7) % 20));
  }
  std::this_thread::sleep_for(kSettle);
  stop = true;
  ASSERT_EQ(poller.wait_for(kBound), std::future_status::ready) << "a 1 ms read kept waiting";
  EXPECT_EQ(poller.get(), sent);
}

INSTANTIATE_TEST_SUITE_P(Backends, SideBySide, ::testing::ValuesIn(Backends()),
                         [](const ::testing::TestParamInfo<Backend>& info) { return BackendName(info.param); });

}  // namespace
}  // namespace serialtest
