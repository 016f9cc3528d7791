// Calls on one COM port from two threads at once, as the utility makes them:
// the update's limit helper ends the update thread's WaitCommEvent with
// SetCommMask, the casting thread writes while the update thread waits, the
// relay's release ends a copy thread's ReadFile with PurgeComm. The second
// call runs at once beside the pending one, the pending one ends as the
// handset ends it, and a caller's time-outs hold while another thread
// waits. SDK calls only: the same cases run natively on every back end and,
// built for Win32, under Wine through the desktop build's serial layer,
// where a port opened the CE way would make each call wait for the one in
// progress.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SerialTestSupport.h"

namespace serialtest {
namespace {

using Bytes = std::vector<uint8_t>;

// Long enough for a pending call to be under way, and far below what a call
// that waits for it would take (for ever).
constexpr auto kSettle = 100ms;
constexpr auto kBound = 10s;

// What a call returned: its result, its last error, and the bytes a read
// took or the events a wait reported.
struct Outcome {
  BOOL ok;
  DWORD error;
  Bytes bytes;
  DWORD events;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
  *out << "{ok " << o.ok << ", error " << o.error << ", " << o.bytes.size() << " bytes, events " << o.events << "}";
}

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

  Outcome Read(DWORD size) {
    Outcome o{FALSE, 0, Bytes(size), 0};
    DWORD read = 0;
    o.ok = ReadFile(port_, o.bytes.data(), size, &read, nullptr);
    o.error = o.ok ? 0 : GetLastError();
    o.bytes.resize(read);
    return o;
  }

  Outcome Wait() {
    Outcome o{FALSE, 0, {}, 0};
    o.ok = WaitCommEvent(port_, &o.events, nullptr);
    o.error = o.ok ? 0 : GetLastError();
    return o;
  }

  // Starts a read without time-outs (or a wait for EV_RXCHAR) on a thread
  // of its own and gives it time to be pending.
  std::future<Outcome> Pending(bool read) {
    EXPECT_TRUE(SetTimeouts(port_, 0, 0, 0));
    EXPECT_TRUE(SetCommMask(port_, EV_RXCHAR));
    auto pending = std::async(std::launch::async, [this, read] { return read ? Read(1) : Wait(); });
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout) << "nothing came, the call must go on";
    return pending;
  }

  // Runs `call` on another thread; it must return at once, whatever is pending.
  template <typename Call>
  auto AtOnce(Call call, const std::string& name) {
    auto done = std::async(std::launch::async, call);
    EXPECT_EQ(done.wait_for(kBound), std::future_status::ready) << name << " waited for the pending call";
    return done.get();
  }

  std::unique_ptr<Peer> peer_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

// The call another thread makes ends the pending one as on the handset: a
// new event mask ends a wait with no events; PURGE_RXABORT ends a read with
// what it moved, the rest staying queued; closing the port fails both.
TEST_P(SideBySide, AnotherThreadsCallEndsThePendingOneAsTheHandsetEndsIt) {
  struct Case {
    const char* name;
    bool read;
    std::function<BOOL(HANDLE)> end;
    Outcome expected;
  };
  const Case cases[] = {
      {"SetCommMask", false, [](HANDLE p) { return SetCommMask(p, EV_RXCHAR | EV_BREAK); }, {TRUE, 0, {}, 0}},
      {"PurgeComm(PURGE_RXABORT)", true, [](HANDLE p) { return PurgeComm(p, PURGE_RXABORT); }, {TRUE, 0, {}, 0}},
      {"CloseHandle, read", true, [](HANDLE p) { return CloseHandle(p); }, {FALSE, ERROR_INVALID_HANDLE, {}, 0}},
      {"CloseHandle, wait", false, [](HANDLE p) { return CloseHandle(p); }, {FALSE, ERROR_INVALID_HANDLE, {}, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (port_ == INVALID_HANDLE_VALUE) port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    auto pending = Pending(c.read);
    EXPECT_TRUE(AtOnce([&] { return c.end(port_); }, c.name));
    if (c.expected.error == ERROR_INVALID_HANDLE) port_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(pending.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(pending.get(), c.expected);
  }

  // A purge that ends a read keeps what came: the read took it or it waits.
  port_ = OpenPort();
  ASSERT_NE(port_, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 0));
  auto reader = std::async(std::launch::async, [this] { return Read(10); });
  std::this_thread::sleep_for(kSettle);
  peer_->Send({1, 2, 3});
  std::this_thread::sleep_for(kSettle);
  EXPECT_TRUE(AtOnce([this] { return PurgeComm(port_, PURGE_RXABORT); }, "PurgeComm"));
  ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
  Bytes got = reader.get().bytes;
  ASSERT_TRUE(SetTimeouts(port_, 0, 0, 500));
  Bytes rest = Read(static_cast<DWORD>(3 - got.size())).bytes;
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, (Bytes{1, 2, 3}));
}

// Beside a pending read or wait, every call the update and the relay make
// returns at once (a write goes out), and the pending call goes on to end
// with the next byte.
TEST_P(SideBySide, AnotherThreadsCallRunsAtOnceAndThePendingOneGoesOn) {
  const std::pair<const char*, std::function<BOOL(HANDLE)>> calls[] = {
      {"ClearCommError",
       [](HANDLE p) {
         DWORD errors = 0;
         COMSTAT stat;
         return ClearCommError(p, &errors, &stat);
       }},
      {"SetCommState",
       [](HANDLE p) {
         DCB dcb;
         dcb.DCBlength = sizeof(dcb);
         if (!GetCommState(p, &dcb)) return FALSE;
         dcb.BaudRate = CBR_115200;
         return SetCommState(p, &dcb);
       }},
      {"EscapeCommFunction", [](HANDLE p) { return EscapeCommFunction(p, SETDTR); }},
      {"GetCommModemStatus",
       [](HANDLE p) {
         DWORD status = 0;
         return GetCommModemStatus(p, &status);
       }},
      {"SetupComm", [](HANDLE p) { return SetupComm(p, 4096, 4096); }},
      {"PurgeComm(PURGE_TXCLEAR)", [](HANDLE p) { return PurgeComm(p, PURGE_TXCLEAR); }},
      // Last: the purge above would drop what it has not sent yet.
      {"WriteFile",
       [](HANDLE p) {
         DWORD written = 0;
         return WriteFile(p, "\x55\xAA", 2, &written, nullptr) && written == 2;
       }},
  };
  for (bool read : {true, false}) {
    SCOPED_TRACE(read ? "beside a read" : "beside a wait");
    auto pending = Pending(read);
    for (const auto& [name, call] : calls) EXPECT_TRUE(AtOnce([&] { return call(port_); }, name)) << name;
    EXPECT_EQ(peer_->Receive(2, kBound), (Bytes{0x55, 0xAA}));
    ASSERT_EQ(pending.wait_for(0s), std::future_status::timeout) << "the pending call ended without a byte";
    peer_->Send({0x7E});
    ASSERT_EQ(pending.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(pending.get(), (Outcome{TRUE, 0, read ? Bytes{0x7E} : Bytes{}, read ? DWORD{0} : DWORD{EV_RXCHAR}}));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
  }
}

// A read's own time-outs end it while another thread waits: at once with
// nothing queued (the update's reads), a total time-out with nothing or
// with some bytes come (the relay's UARTs), an interval time-out at a
// burst's end (the infrared and IrDA drivers' way).
TEST_P(SideBySide, AReadsTimeOutsHoldWhileAnotherThreadWaits) {
  ASSERT_TRUE(SetCommMask(port_, EV_BREAK));
  auto waiter = std::async(std::launch::async, [this] { return Wait(); });
  struct Case {
    const char* name;
    COMMTIMEOUTS timeouts;
    Bytes sent;  // during the read
  };
  const Case cases[] = {{"at once", {MAXDWORD, 0, 0, 0, 0}, {}},
                        {"total, nothing", {0, 0, 100, 0, 0}, {}},
                        {"total, some", {0, 0, 400, 0, 0}, {'O', 'K'}},
                        {"interval", {50, 0, 0, 0, 0}, {'A', 'T', '\r'}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    COMMTIMEOUTS timeouts = c.timeouts;
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    auto reader = std::async(std::launch::async, [this] { return Read(1024); });
    if (!c.sent.empty()) {
      std::this_thread::sleep_for(kSettle);
      peer_->Send(c.sent);
    }
    ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready) << "its time-outs did not end the read";
    EXPECT_EQ(reader.get(), (Outcome{TRUE, 0, c.sent, 0}));
  }
  ASSERT_EQ(waiter.wait_for(0s), std::future_status::timeout) << "the other thread's wait ended without an event";
  ASSERT_TRUE(SetCommMask(port_, EV_BREAK));
  ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
}

INSTANTIATE_TEST_SUITE_P(Backends, SideBySide, ::testing::ValuesIn(Backends()),
                         [](const ::testing::TestParamInfo<Backend>& info) { return BackendName(info.param); });

}  // namespace
}  // namespace serialtest
