// The update line's own operations called directly on a virtual "COM1:":
// opening and its failures, the line settings, the byte primitives at their
// edges, and the wake-up thread's cadence and suspension.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/Clock.h"
#include "kernel/DebugOutput.h"
#include "kernel/Handles.h"
#include "kernel/Waitable.h"
#include "serial/Serial.h"
#include "serial/VirtualPort.h"
#include "support/WireJournal.h"
#include "update/CeChat.h"
#include "UpdateSequence.h"

namespace systemtest {
namespace {

class CeChatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::InitializeDriver();
    trace_ = std::make_shared<debugout::MemorySink>();
    debugout::SetSink(trace_);
    UseLine(true);
  }
  void TearDown() override {
    CloseUpdatePort();
    serial::RemovePort(1);
    debugout::SetSink(nullptr);
    kernel::SetClockSpeed(1);
  }
  // A fresh "COM1:", paced at the host's line format or infinitely fast.
  void UseLine(bool paced) {
    serial::VirtualPortOptions options;
    options.paced = paced;
    line_ = serial::ConfigureVirtualPort(1, options);
  }
  std::vector<std::u16string> Traces() { return trace_->Texts(); }
  HANDLE Line() { return UpdatePortHandle(); }
  DWORD LineErrors() {
    DWORD errors = 0xFFFFFFFF;
    EXPECT_TRUE(ClearCommError(Line(), &errors, nullptr));
    return errors;
  }
  DWORD Queued() {
    COMSTAT stat{};
    DWORD errors = 0;
    EXPECT_TRUE(ClearCommError(Line(), &errors, &stat));
    return stat.cbInQue;
  }
  static double Milliseconds(kernel::Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
  static std::u16string Got(uint8_t b) {
    return u"A byte got from KRX6A : " + std::u16string(1, static_cast<char16_t>(b)) + u" , " + Expected::HexText(b) +
           u" h\r\n";
  }

  std::shared_ptr<debugout::MemorySink> trace_;
  std::shared_ptr<serial::VirtualPort> line_;
};

TEST_F(CeChatTest, OpenSetsUpTheLineAndCloseReleasesIt) {
  ASSERT_TRUE(OpenUpdatePort());
  EXPECT_EQ(Traces(), std::vector<std::u16string>{u"Open : COM1:\r\n"});
  UpdatePort* port = CurrentUpdatePort;
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(std::u16string(port->deviceName), u"COM1:");
  ASSERT_NE(port->handle.load(), nullptr);
  EXPECT_TRUE(line_->IsOpen());

  // Every field the line settings do not name is 0.
  DCB expected{};
  expected.DCBlength = sizeof(DCB);
  expected.BaudRate = 115200;
  expected.fBinary = 1;
  expected.fDtrControl = DTR_CONTROL_ENABLE;
  expected.fTXContinueOnXoff = 1;
  expected.fRtsControl = RTS_CONTROL_ENABLE;
  expected.ByteSize = 8;
  expected.Parity = NOPARITY;
  expected.StopBits = ONE5STOPBITS;
  DCB actual{};
  ASSERT_TRUE(GetCommState(Line(), &actual));
  EXPECT_EQ(std::memcmp(&actual, &expected, sizeof(DCB)), 0);
  EXPECT_EQ(std::memcmp(&port->settings, &expected, sizeof(DCB)), 0);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(Line(), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
  // What the module's end of the line sees.
  serial::LineFormat format = line_->HostFormat();
  EXPECT_EQ(format.baud, 115200u);
  EXPECT_EQ(format.dataBits, 8);
  EXPECT_EQ(format.parity, NOPARITY);
  EXPECT_EQ(format.stopBits, ONE5STOPBITS);
  EXPECT_DOUBLE_EQ(format.BitsPerByte(), 10.5);
  EXPECT_TRUE(line_->HostDtr());
  EXPECT_TRUE(line_->HostRts());

  CloseUpdatePort();
  EXPECT_EQ(port->handle.load(), nullptr);
  EXPECT_EQ(CurrentUpdatePort.load(), port);  // the record stays current
  EXPECT_FALSE(line_->IsOpen());
  size_t handles = kernel::OpenHandleCount();
  CloseUpdatePort();  // nothing left to close
  EXPECT_EQ(kernel::OpenHandleCount(), handles);
  EXPECT_EQ(Traces().size(), 1u);

  // Every open makes a fresh record current.
  ASSERT_TRUE(OpenUpdatePort());
  EXPECT_NE(CurrentUpdatePort.load(), port);
}

TEST_F(CeChatTest, OpenFailsWithHandleZeroWhenCom1IsHeldOrAbsent) {
  size_t handles = kernel::OpenHandleCount();
  HANDLE other = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(OpenUpdatePort());
  ASSERT_NE(CurrentUpdatePort.load(), nullptr);
  EXPECT_EQ(CurrentUpdatePort.load()->handle.load(), nullptr);
  EXPECT_EQ(Traces().front(), u"Open : COM1:\r\n");
  EXPECT_EQ(kernel::OpenHandleCount(), handles + 1);  // only the other handle
  CloseHandle(other);

  serial::RemovePort(1);
  EXPECT_FALSE(OpenUpdatePort());
  EXPECT_EQ(CurrentUpdatePort.load()->handle.load(), nullptr);
  EXPECT_EQ(kernel::OpenHandleCount(), handles);
  CloseUpdatePort();  // a record with handle 0: nothing happens
  EXPECT_EQ(CurrentUpdatePort.load()->handle.load(), nullptr);
  EXPECT_EQ(kernel::OpenHandleCount(), handles);
}

// Takes the port away while the update line is being opened, between its
// open and its configuration.
class RemoveOnPurge : public serial::PortObserver {
 public:
  void OnWrite(std::span<const uint8_t>, DWORD, bool) override {}
  void OnPurge(DWORD) override {
    if (!removed_) serial::RemovePort(1);
    removed_ = true;
  }

 private:
  bool removed_ = false;
};

TEST_F(CeChatTest, APortThatCannotBeConfiguredIsClosedAgain) {
  size_t handles = kernel::OpenHandleCount();
  line_->SetObserver(std::make_shared<RemoveOnPurge>());
  EXPECT_FALSE(OpenUpdatePort());
  EXPECT_EQ(CurrentUpdatePort.load()->handle.load(), nullptr);
  EXPECT_FALSE(line_->IsOpen());
  EXPECT_EQ(kernel::OpenHandleCount(), handles);
  auto traces = Traces();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[1].rfind(u"Error (", 0), 0u);
  EXPECT_NE(traces[1].find(u"configuring COM1:"), std::u16string::npos);

  UseLine(true);
  EXPECT_TRUE(OpenUpdatePort());
}

TEST_F(CeChatTest, WaitForByteReadsUpToTheAwaitedByteAndLeavesTheRest) {
  for (bool paced : {false, true}) {
    SCOPED_TRACE(paced ? "paced line" : "unpaced line");
    UseLine(paced);
    ASSERT_TRUE(OpenUpdatePort());
    trace_->Clear();
    const uint8_t bytes[] = {0x00, 0x55, 0xA0, 0x12};
    line_->Write(bytes, sizeof bytes);
    EXPECT_TRUE(WaitForByte(0xA0));
    EXPECT_EQ(Traces(),
              (std::vector<std::u16string>{u"Waiting for char -> A0 h\r\n", Got(0x00), Got(0x55), Got(0xA0)}));
    Sleep(5);  // 0x12 has arrived on the paced line too
    ASSERT_EQ(Queued(), 1u);
    uint8_t rest = 0;
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(Line(), &rest, 1, &read, nullptr));
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(rest, 0x12);
    CloseUpdatePort();
  }
}

TEST_F(CeChatTest, WaitForByteComparesTheLowEightBitsOnly) {
  UseLine(false);
  ASSERT_TRUE(OpenUpdatePort());
  const uint8_t bytes[] = {0xA5, 0xAA};
  line_->Write(bytes, sizeof bytes);
  EXPECT_TRUE(WaitForByte(0x3AA));
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(CeChatTest, WaitForByteOnALineConditionAloneClearsItAndGivesZero) {
  UseLine(false);
  ASSERT_TRUE(OpenUpdatePort());
  for (auto condition : {serial::LineCondition::Break, serial::LineCondition::FramingError,
                         serial::LineCondition::ParityError, serial::LineCondition::Overrun}) {
    SCOPED_TRACE(static_cast<int>(condition));
    trace_->Clear();
    line_->SendCondition(condition);
    EXPECT_FALSE(WaitForByte(0xA5));
    EXPECT_EQ(Traces(),
              (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", u"None byte got from KRX5 !!\r\n"}));
    EXPECT_EQ(LineErrors(), 0u);  // already cleared
  }
}

// A module that answered a wake-up byte twice and then refuses what it was
// sent: the stray answer is read, and the refusal still ends the wait.
TEST_F(CeChatTest, ALineConditionAfterStrayBytesEndsTheWaitWithZero) {
  UseLine(false);
  ASSERT_TRUE(OpenUpdatePort());
  trace_->Clear();
  const uint8_t stray = 0xA0;
  line_->Write(&stray, 1);
  std::thread module([this] {
    Sleep(50);  // the waiter has read the stray byte and waits again
    line_->SendCondition(serial::LineCondition::Break);
  });
  EXPECT_FALSE(WaitForByte(0xA5));
  module.join();
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", Got(0xA0),
                                                   u"None byte got from KRX5 !!\r\n"}));
  EXPECT_EQ(LineErrors(), 0u);
}

// A byte garbled on the line comes with a line error in the same event: the
// error is cleared, the byte read and dropped, and the wait goes on for the
// answer, whether it follows later or arrived in that same event.
TEST_F(CeChatTest, AGarbledByteIsDroppedAndTheWaitGoesOnForTheAnswer) {
  UseLine(false);
  ASSERT_TRUE(OpenUpdatePort());
  const uint8_t garbled[] = {0xA0, 0x3C};
  const bool damaged[] = {true, true};
  const uint8_t answer = 0xA5;

  trace_->Clear();
  line_->WriteGarbled(garbled, damaged, sizeof garbled, serial::LineCondition::FramingError);
  std::thread module([&] {
    Sleep(50);  // the waiter has read the garbled bytes and waits again
    line_->Write(&answer, 1);
  });
  EXPECT_EQ(AwaitByte(0xA5, 60000), static_cast<DWORD>(AWAIT_GOT_BYTE));
  module.join();
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", Got(0xA0), Got(0x3C), Got(0xA5)}));
  EXPECT_EQ(LineErrors(), 0u);

  for (auto condition : {serial::LineCondition::FramingError, serial::LineCondition::ParityError,
                         serial::LineCondition::Overrun}) {
    SCOPED_TRACE(static_cast<int>(condition));
    trace_->Clear();
    const uint8_t together[] = {0xA0, 0xA5};
    const bool first[] = {true, false};
    line_->WriteGarbled(together, first, sizeof together, condition);
    EXPECT_TRUE(WaitForByte(0xA5));
    EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", Got(0xA0), Got(0xA5)}));
    EXPECT_EQ(LineErrors(), 0u);
    EXPECT_EQ(Queued(), 0u);
  }
}

// Hands bytes to the line at the moment the waiter traces a byte it read:
// they arrive after the wait's event was taken and before its next read,
// as on a handset that is slow to read.
class ArriveOnRead : public debugout::Sink {
 public:
  ArriveOnRead(std::shared_ptr<debugout::Sink> next, std::shared_ptr<serial::VirtualPort> line, uint8_t after)
      : next_(std::move(next)), line_(std::move(line)), trigger_(u" , " + Expected::HexText(after) + u" h\r\n") {}
  void Write(std::u16string_view text) override {
    next_->Write(text);
    if (armed_ && text.starts_with(u"A byte got from KRX6A") && text.ends_with(trigger_)) {
      armed_ = false;
      line_->WriteGarbled(bytes_.data(), damaged_.get(), bytes_.size(), condition_);
    }
  }
  void Arm(std::vector<uint8_t> bytes, const std::vector<uint8_t>& damaged, serial::LineCondition condition) {
    bytes_ = std::move(bytes);
    condition_ = condition;
    damaged_ = std::make_unique<bool[]>(bytes_.size());
    for (size_t i = 0; i < bytes_.size(); ++i) damaged_[i] = damaged[i] != 0;
    armed_ = true;
  }

 private:
  std::shared_ptr<debugout::Sink> next_;
  std::shared_ptr<serial::VirtualPort> line_;
  std::u16string trigger_;
  std::vector<uint8_t> bytes_;
  std::unique_ptr<bool[]> damaged_;
  serial::LineCondition condition_ = serial::LineCondition::FramingError;
  bool armed_ = false;
};

// A garbled byte that arrives once the wait's event has been taken is read
// as a stray byte on the way to the answer, its line error still pending.
// Taking the answer takes that error too: the next wait gets its own answer
// instead of ending at once as a line event without a byte.
TEST_F(CeChatTest, TheErrorOfAGarbledByteReadBeforeTheAnswerDoesNotEndTheNextWait) {
  struct Case {
    const char* name;
    std::vector<uint8_t> arrive;  // after the first byte was read
    std::vector<uint8_t> damaged;
    serial::LineCondition condition;
  };
  const Case cases[] = {
      {"a byte with a framing error", {0x3C, 0xA5}, {1, 0}, serial::LineCondition::FramingError},
      {"two bytes with parity errors", {0x3C, 0x96, 0xA5}, {1, 1, 0}, serial::LineCondition::ParityError},
      {"a byte after an overrun", {0x3C, 0xA5}, {1, 0}, serial::LineCondition::Overrun},
  };
  UseLine(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(OpenUpdatePort());
    auto sink = std::make_shared<ArriveOnRead>(trace_, line_, 0x11);
    debugout::SetSink(sink);
    trace_->Clear();
    sink->Arm(c.arrive, c.damaged, c.condition);
    const uint8_t first = 0x11;  // a clean stray byte: its event carries no error
    line_->Write(&first, 1);
    EXPECT_EQ(AwaitByte(0xA5, 60000), static_cast<DWORD>(AWAIT_GOT_BYTE));
    std::vector<std::u16string> expected{u"Waiting for char -> A5 h\r\n", Got(0x11)};
    for (uint8_t b : c.arrive) expected.push_back(Got(b));
    EXPECT_EQ(Traces(), expected);

    // The next step's answer comes a moment after its wait has begun.
    trace_->Clear();
    std::thread module([this] {
      Sleep(50);
      const uint8_t answer = 0xAA;
      line_->Write(&answer, 1);
    });
    EXPECT_EQ(AwaitByte(0xAA, 60000), static_cast<DWORD>(AWAIT_GOT_BYTE));
    module.join();
    EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> AA h\r\n", Got(0xAA)}));
    debugout::SetSink(trace_);
    CloseUpdatePort();
  }
}

// Garbled bytes the update drops unread (its purge between the steps) take
// their line errors with them: the next wait gets its answer instead of
// ending at once as a line event without a byte.
TEST_F(CeChatTest, APurgeDropsTheErrorsOfTheGarbledBytesItDrops) {
  UseLine(false);
  ASSERT_TRUE(OpenUpdatePort());
  const uint8_t garbled[] = {0x96, 0x4E};
  const bool damaged[] = {true, true};
  line_->WriteGarbled(garbled, damaged, sizeof garbled, serial::LineCondition::FramingError);
  PurgeUpdateLine();  // the unpaced line has delivered them: the purge takes them in first

  trace_->Clear();
  const uint8_t answer = 0xA5;
  std::thread module([&] {
    Sleep(50);  // the answer comes once the wait has begun
    line_->Write(&answer, 1);
  });
  EXPECT_EQ(AwaitByte(0xA5, 60000), static_cast<DWORD>(AWAIT_GOT_BYTE));
  module.join();
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", Got(0xA5)}));
  EXPECT_EQ(Queued(), 0u);
}

// The time limit of a wait, on the platform clock: a silent line, and one
// that never stops sending other bytes, both end the wait once it is up,
// with a trace of what was awaited; an answer in time is taken as ever.
TEST_F(CeChatTest, AwaitByteEndsWhenItsTimeIsUp) {
  kernel::SetClockSpeed(20);
  UseLine(false);
  ASSERT_TRUE(OpenUpdatePort());
  trace_->Clear();
  auto started = kernel::Clock::now();
  EXPECT_EQ(AwaitByte(0xA5, 3000), static_cast<DWORD>(AWAIT_TIMED_OUT));
  EXPECT_GE(Milliseconds(kernel::Clock::now() - started), 3000.0);
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", u"No char -> A5 h within 3000 ms !!\r\n"}));

  // A module chattering without end.
  std::atomic<bool> chatter{true};
  std::thread module([&] {
    const uint8_t noise[] = {0x11, 0x22, 0x33};
    while (chatter) {
      line_->Write(noise, sizeof noise);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  trace_->Clear();
  started = kernel::Clock::now();
  EXPECT_EQ(AwaitByte(0xA5, 2000), static_cast<DWORD>(AWAIT_TIMED_OUT));
  chatter = false;
  module.join();
  EXPECT_GE(Milliseconds(kernel::Clock::now() - started), 2000.0);
  EXPECT_EQ(Traces().back(), u"No char -> A5 h within 2000 ms !!\r\n");

  // An answer well inside the limit, after a break that is reported as such.
  PurgeComm(Line(), PURGE_RXCLEAR);
  line_->SendCondition(serial::LineCondition::Break);
  EXPECT_EQ(AwaitByte(0xA5, 60000), static_cast<DWORD>(AWAIT_LINE_EVENT));
  std::thread answer([this] {
    Sleep(500);
    const uint8_t a5 = 0xA5;
    line_->Write(&a5, 1);
  });
  trace_->Clear();
  EXPECT_EQ(AwaitByte(0xA5, 60000), static_cast<DWORD>(AWAIT_GOT_BYTE));
  answer.join();
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", Got(0xA5)}));

  // What had arrived when the time ran out is still read, up to the
  // answer: a waiter that comes late to an answer that came in time takes it.
  PurgeComm(Line(), PURGE_RXCLEAR);
  const uint8_t late[] = {0x11, 0x22, 0xA5, 0x33};
  line_->Write(late, sizeof late);
  trace_->Clear();
  EXPECT_EQ(AwaitByte(0xA5, 0), static_cast<DWORD>(AWAIT_GOT_BYTE));
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", Got(0x11), Got(0x22), Got(0xA5)}));
  EXPECT_EQ(Queued(), 1u);
  // Without the answer among it, the wait ends after what was queued.
  trace_->Clear();
  EXPECT_EQ(AwaitByte(0xA5, 0), static_cast<DWORD>(AWAIT_TIMED_OUT));
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u"Waiting for char -> A5 h\r\n", Got(0x33),
                                                   u"No char -> A5 h within 0 ms !!\r\n"}));
  BYTE stray = 0;
  EXPECT_TRUE(AwaitStrayByte(&stray));
  EXPECT_EQ(stray, 0x33);

  // The helper thread of the limits ends with the line.
  size_t handles = kernel::OpenHandleCount();
  CloseUpdatePort();
  EXPECT_LT(kernel::OpenHandleCount(), handles);
}

// A line that goes away while it is waited on ends the wait at once, with
// the line's error, whatever the limit.
TEST_F(CeChatTest, AwaitByteOnALineThatIsGoneEndsWithTheLinesError) {
  UseLine(false);
  ASSERT_TRUE(OpenUpdatePort());
  std::thread gone([] {
    Sleep(100);
    serial::RemovePort(1);
  });
  EXPECT_EQ(AwaitByte(0xAA, AWAIT_NO_LIMIT), static_cast<DWORD>(AWAIT_LINE_FAILED));
  gone.join();
  EXPECT_EQ(AwaitLineError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(Traces().back(), u"None byte got from KRX5 !!\r\n");
  EXPECT_FALSE(WaitForByte(0xAA));
}

TEST_F(CeChatTest, SendByteTracesTheCountTheWriteReported) {
  ASSERT_TRUE(OpenUpdatePort());
  trace_->Clear();
  line_->Faults().FailNext(1);
  SendByte(0x1C);
  SendByte(0xF6);
  EXPECT_EQ(Traces(), (std::vector<std::u16string>{u" 0 char : 1C h sent \r\n", u" 1 char : F6 h sent \r\n"}));
  uint8_t got[4] = {};
  size_t n = line_->Read(got, sizeof got, kernel::Clock::now() + std::chrono::milliseconds(100));
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(got[0], 0xF6);
}

TEST_F(CeChatTest, CastThreadWritesTheWakeUpByteEveryTenMillisecondsUntilSuspended) {
  // The platform clock at a tenth of real speed: a 10 ms pause is 100 ms of
  // real time, so the few milliseconds a loaded machine takes to run a woken
  // thread shrink tenfold against the pause, while a doubled pause would
  // still double every step.
  kernel::SetClockSpeed(0.1);
  ASSERT_TRUE(OpenUpdatePort());
  auto journal = WireJournal::AttachToPort(*line_, trace_);
  HANDLE cast = CreateThread(nullptr, 0, CastThread, nullptr, 0, nullptr);
  ASSERT_NE(cast, nullptr);
  auto casts = [&](const std::vector<WireEvent>& events) {
    size_t n = 0;
    for (const WireEvent& e : events) n += e.kind == Kind::kWrite;
    return n;
  };
  ASSERT_TRUE(journal->WaitFor([&](const auto& events) { return casts(events) >= 51; }, std::chrono::seconds(30)));
  SuspendThread(cast);
  auto suspendedAt = kernel::Clock::now();
  auto events = journal->Events();
  size_t written = casts(events);

  // One byte, 0x55, per write; a write every 10 ms (the sleep, the byte's
  // time on the line, and the scheduling of a busy machine: well under the
  // 20 ms that a doubled pause would give).
  std::vector<kernel::TimePoint> times;
  for (const WireEvent& e : events) {
    if (e.kind != Kind::kWrite) continue;
    EXPECT_EQ(e.bytes, Bytes{0x55});
    EXPECT_EQ(e.count, 1u);
    times.push_back(e.at);
  }
  ASSERT_GE(times.size(), 51u);
  double span = Milliseconds(times[50] - times[0]);
  EXPECT_GE(span, 50 * 10.0);
  EXPECT_LT(span, 50 * 18.0);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(Milliseconds(times[i] - times[i - 1]), 10.0) << i;

  // Nothing leaves after SuspendThread has returned.
  Sleep(300);
  EXPECT_EQ(casts(journal->Events()), written);
  EXPECT_GE(Milliseconds(kernel::Clock::now() - suspendedAt), 300.0);
  ResumeThread(cast);
  EXPECT_TRUE(journal->WaitFor([&](const auto& e) { return casts(e) > written; }, std::chrono::seconds(10)));

  EXPECT_TRUE(TerminateThread(cast, 0));
  EXPECT_EQ(WaitForSingleObject(cast, 10000), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(cast, &code));
  EXPECT_EQ(code, 0u);
  CloseHandle(cast);
  EXPECT_EQ(WireJournal::CountTraces(journal->Events(), u""), 0u);  // it traces nothing
}

}  // namespace
}  // namespace systemtest
