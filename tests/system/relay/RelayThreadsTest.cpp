// The relay's copy threads on the emulated handset: bytes both ways, the
// progress lines and the log level's two bits, failed and partial writes,
// a start while running, the release and what it leaves behind.
#include <windows.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/Handles.h"
#include "RelayFixture.h"
#include "windowing/Screen.h"

namespace systemtest {
namespace {

class RelayThreadsTest : public RelayFixture {};

// Direction of a copy, for tests that run the same steps both ways.
struct Direction {
  const char* name;
  bool toPartner;  // module UART -> partner
};

void PrintTo(const Direction& d, std::ostream* out) { *out << d.name; }

const Direction kBothWays[] = {{"ModuleToPartner", true}, {"PartnerToModule", false}};

// ------------------------------------------------------- bytes both ways

// "AT\r" written at the IrDA partner reaches the emulated module through the
// relay (a burst on a port with its driver's time-outs, which hand a read
// back once the burst has ended), and the module's answer comes back.
TEST_F(RelayThreadsTest, AtCommandReachesTheModuleFromABurstOnIrdaAndTheAnswerComesBack) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  StartRelayOrFail();
  auto partner = Line(handset::kIrdaPort);
  partner->Write(AsBytes("AT\r").data(), 3);
  EXPECT_EQ(ReadAtDevice(*partner, 6), AsBytes("\r\nOK\r\n"));
  partner->Write(AsBytes("AT+CGMI\r").data(), 8);
  Bytes answer = ReadAtDevice(*partner, 64, 2s);
  std::string text(answer.begin(), answer.end());
  EXPECT_NE(text.find("OK\r\n"), std::string::npos) << text;
  EXPECT_GT(Handset().ModuleLine()->BytesToDevice(), 10u);
}

// The same over the infrared port, and with a burst longer than one read.
TEST_F(RelayThreadsTest, BurstsOnTheInfraredPortReachTheModuleWhole) {
  PlayBothEnds(handset::kInfraredPort, /*paced=*/true);
  StartUtility();
  ASSERT_EQ(Send(111), 0);
  ASSERT_EQ(Send(153), 0);
  ASSERT_TRUE(WaitLog(kSettingsText));
  auto partner = Line(handset::kInfraredPort);
  auto module = Line(kTestModulePort);
  Bytes burst = Pattern(3000, 7);
  partner->Write(burst.data(), burst.size());  // about 3 s at the infrared port's 9600
  EXPECT_EQ(ReadAtDevice(*module, burst.size(), 20s), burst);
  Bytes back = Pattern(5, 8);
  module->Write(back.data(), back.size());
  EXPECT_EQ(ReadAtDevice(*partner, back.size()), back);
}

// Through the pty the handset makes for the IrDA port, as a person with a
// terminal program would use it.
TEST_F(RelayThreadsTest, AtCommandThroughTheIrdaPseudoTerminal) {
  StartRelayOrFail();
  std::string description = serial::FindPort(handset::kIrdaPort)->Describe();
  ASSERT_EQ(description.rfind("pty ", 0), 0u) << description;
  int fd = open(description.substr(4).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 1;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  ASSERT_EQ(write(fd, "AT\r", 3), 3);
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got.find("\r\nOK\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_EQ(got, "\r\nOK\r\n");
  // The counts of the progress lines add up to the bytes in each direction,
  // however the reads split them.
  ASSERT_TRUE(WaitLog(u" bytes <-BT<-FF<- <<<\r\n"));
  unsigned toModule = 0, toPartner = 0;
  auto deadlineLines = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    toModule = toPartner = 0;
    for (const auto& line : LogLinesWith(u">>> ")) toModule += std::stoul(std::string(line.begin() + 4, line.end()));
    for (const auto& line : LogLinesWith(u"<-BT")) toPartner += std::stoul(std::string(line.begin(), line.end()));
    if ((toModule >= 3 && toPartner >= 6) || std::chrono::steady_clock::now() > deadlineLines) break;
    Sleep(10);
  }
  EXPECT_EQ(toModule, 3u);
  EXPECT_EQ(toPartner, 6u);
}

// ------------------------------------------------------- progress lines

// LogLevel's bit 0 shows the partner-to-module counts (bytes read), bit 1 the
// module-to-partner counts (bytes written). Each level sends its own counts,
// so every line tells which level let it through. A thread looks at the level
// after its write; the probe that follows each counted chunk arrives only
// once that look is done, so the level changes only after it (the probes'
// own lines may fall either side and are left out).
TEST_F(RelayThreadsTest, ProgressLinesFollowTheLogLevelBits) {
  PlayBothEnds(handset::kIrdaPort);
  StartRelayOrFail();
  auto partner = Line(handset::kIrdaPort);
  auto module = Line(kTestModulePort);
  auto pass = [](serial::VirtualPort& from, serial::VirtualPort& to, size_t size, uint8_t seed) {
    Bytes bytes = Pattern(size, seed);
    from.Write(bytes.data(), bytes.size());
    EXPECT_EQ(ReadAtDevice(to, bytes.size()), bytes) << size;
  };
  for (unsigned level = 0; level <= 4; ++level) {
    ASSERT_EQ(Send(112 + std::min(level, 3u)), 0);
    pass(*partner, *module, 10 * level + 1, 1);
    pass(*partner, *module, 100 + level, 2);  // probe
    pass(*module, *partner, 10 * level + 2, 3);
    pass(*module, *partner, 200 + level, 4);  // probe
  }
  ASSERT_TRUE(WaitLog(ToModuleLine(41) + u"\r\n"));
  ASSERT_TRUE(WaitLog(ToPartnerLine(42) + u"\r\n"));
  auto counted = [](std::vector<std::u16string> lines) {
    std::erase_if(lines, [](const std::u16string& line) {
      for (unsigned probe = 100; probe < 205; ++probe) {
        if (line == ToModuleLine(probe) || line == ToPartnerLine(probe)) return true;
      }
      return false;
    });
    return lines;
  };
  EXPECT_EQ(counted(LogLinesWith(u">>> ")),
            (std::vector<std::u16string>{ToModuleLine(11), ToModuleLine(31), ToModuleLine(41)}));
  EXPECT_EQ(counted(LogLinesWith(u"<-BT")),
            (std::vector<std::u16string>{ToPartnerLine(22), ToPartnerLine(32), ToPartnerLine(42)}));
}

// A read takes at most 1024 bytes and writes them whole: 1024 gives one line
// of 1024, 1500 a line of 1024 and one of 476.
TEST_F(RelayThreadsTest, ReadsTakeAtMost1024BytesAndEachGivesOneLine) {
  PlayBothEnds(handset::kIrdaPort);
  StartRelayOrFail();
  auto partner = Line(handset::kIrdaPort);
  auto module = Line(kTestModulePort);
  for (size_t size : {size_t{1024}, size_t{1500}}) {
    Bytes up = Pattern(size, 1), down = Pattern(size, 2);
    partner->Write(up.data(), up.size());
    ASSERT_EQ(ReadAtDevice(*module, size), up);
    module->Write(down.data(), down.size());
    ASSERT_EQ(ReadAtDevice(*partner, size), down);
  }
  ASSERT_TRUE(WaitLog(ToModuleLine(476) + u"\r\n"));
  ASSERT_TRUE(WaitLog(ToPartnerLine(476) + u"\r\n"));
  EXPECT_EQ(LogLinesWith(u">>> "),
            (std::vector<std::u16string>{ToModuleLine(1024), ToModuleLine(1024), ToModuleLine(476)}));
  EXPECT_EQ(LogLinesWith(u"<-BT"),
            (std::vector<std::u16string>{ToPartnerLine(1024), ToPartnerLine(1024), ToPartnerLine(476)}));
}

// ------------------------------------------------------- failed writes

class RelayWriteFailureTest : public RelayFixture, public ::testing::WithParamInterface<Direction> {
 protected:
  void SetUp() override {
    RelayFixture::SetUp();
    PlayBothEnds(handset::kIrdaPort);
    StartRelayOrFail();
    toPartner_ = GetParam().toPartner;
    source_ = Line(toPartner_ ? kTestModulePort : handset::kIrdaPort);
    destination_ = Line(toPartner_ ? handset::kIrdaPort : kTestModulePort);
  }
  const char16_t* FailureText() const { return toPartner_ ? kToPartnerFailure : kToModuleFailure; }
  std::u16string ProgressLine(unsigned count) const { return toPartner_ ? ToPartnerLine(count) : ToModuleLine(count); }
  std::u16string ProgressMarker() const { return toPartner_ ? u"<-BT" : u">>> "; }

  bool toPartner_ = true;
  std::shared_ptr<serial::VirtualPort> source_, destination_;
};

// A write that sends nothing: the box (text and caption the same, one OK
// button, no owner), no progress line, the bytes lost, and copying goes on.
TEST_P(RelayWriteFailureTest, WriteThatSendsNothingShowsTheBoxAndNoProgress) {
  destination_->Faults().FailNext(1);
  Bytes lost = Pattern(7, 1);
  source_->Write(lost.data(), lost.size());
  auto box = User().AnswerNextBox(IDOK, 10s);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, FailureText());
  EXPECT_EQ(box->caption, FailureText());
  EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
  EXPECT_TRUE(LogLinesWith(ProgressMarker()).empty());

  Bytes next = Pattern(9, 2);
  source_->Write(next.data(), next.size());
  EXPECT_EQ(ReadAtDevice(*destination_, 16, 2s), next);  // the 7 are not sent again
  ASSERT_TRUE(WaitLog(ProgressLine(9)));
  EXPECT_EQ(LogLinesWith(ProgressMarker()), std::vector<std::u16string>{ProgressLine(9)});
}

// The destination gives out in the middle of a write (its device removed):
// the box first, then a progress line. Module to partner counts the bytes
// that went, partner to module the bytes read.
TEST_P(RelayWriteFailureTest, WriteThatFailsPartwayShowsTheBoxThenAProgressLine) {
  destination_->SetPaced(true);  // long enough on the wire to fail in the middle
  Bytes bytes = Pattern(toPartner_ ? 500 : 1024, 3);
  source_->Write(bytes.data(), bytes.size());
  Bytes went = ReadArrivedAtDevice(*destination_, 5);
  ASSERT_EQ(went.size(), 5u);
  ASSERT_TRUE(serial::RemovePort(toPartner_ ? handset::kIrdaPort : kTestModulePort));

  // The thread waits in the box before it writes its line.
  ASSERT_TRUE(User().WaitForScreen([](const screen::Snapshot& s) { return !s.modals.empty(); }, 10s));
  EXPECT_TRUE(LogLinesWith(ProgressMarker()).empty());
  auto box = User().AnswerNextBox(IDOK, 10s);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, FailureText());
  EXPECT_EQ(box->caption, FailureText());
  Bytes rest = DrainAtDevice(*destination_, 200ms);
  went.insert(went.end(), rest.begin(), rest.end());
  ASSERT_LT(went.size(), bytes.size());
  EXPECT_EQ(went, Bytes(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(went.size())));
  const std::u16string line = ProgressLine(static_cast<unsigned>(toPartner_ ? went.size() : bytes.size()));
  ASSERT_TRUE(WaitLog(line));
  EXPECT_EQ(LogLinesWith(ProgressMarker()), std::vector<std::u16string>{line});
}

// A short write that succeeds: no box, and the counts as above.
TEST_P(RelayWriteFailureTest, ShortWriteShowsNoBoxAndItsCount) {
  destination_->Faults().ShortenNext(1, 4);
  Bytes bytes = Pattern(12, 4);
  source_->Write(bytes.data(), bytes.size());
  EXPECT_EQ(ReadAtDevice(*destination_, 4), Bytes(bytes.begin(), bytes.begin() + 4));
  const std::u16string line = ProgressLine(toPartner_ ? 4 : 12);
  ASSERT_TRUE(WaitLog(line));
  EXPECT_TRUE(screen::Capture().modals.empty());
  EXPECT_EQ(LogLinesWith(ProgressMarker()), std::vector<std::u16string>{line});
}

// A thread waiting in its box when the relay stops does not leave by
// itself: once the release's wait is over it is ended there, the trace
// names it, the box goes with it, and the release does not wait for the
// user. The other thread leaves by itself.
TEST_P(RelayWriteFailureTest, StopEndsAThreadWaitingInItsBox) {
  destination_->Faults().FailNext(1);
  source_->Write(AsBytes("x").data(), 1);
  ASSERT_TRUE(User().WaitForScreen([](const screen::Snapshot& s) { return !s.modals.empty(); }, 10s));
  HANDLE threads[] = {ModuleToPartnerHandle.load(), PartnerToModuleHandle.load()};

  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(LogAfterBanner(),
            std::u16string(u"COM4: opened\r\nIRDA(COM3:) opened\r\n") + kSettingsText + kReleasedText);
  for (HANDLE thread : threads) EXPECT_EQ(ExitCode(thread), 0u);
  EXPECT_EQ(TerminationTraces(), std::vector<std::u16string>{TerminationTrace(toPartner_)});
  EXPECT_TRUE(User().WaitForScreen([](const screen::Snapshot& s) { return s.modals.empty(); }, 10s));
}

INSTANTIATE_TEST_SUITE_P(Directions, RelayWriteFailureTest, ::testing::ValuesIn(kBothWays),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------- start and stop

// A second start while both threads run: the ports are held, so both opens
// fail with their texts; no new thread; the settings text again; and the
// relay goes on as before.
TEST_F(RelayThreadsTest, StartWhileRunningStartsNoThreadAndShowsTheTextsAgain) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  StartRelayOrFail();
  HANDLE module = ModulePort, partner = PartnerPort;
  HANDLE toPartner = ModuleToPartnerHandle, toModule = PartnerToModuleHandle;
  size_t handles = kernel::OpenHandleCount();

  EXPECT_EQ(Send(153), 0);
  EXPECT_EQ(LogAfterBanner(), std::u16string(u"COM1: opened\r\nIRDA(COM3:) opened\r\n") + kSettingsText +
                                  u"Open FF(COM1:) failed.\r\nOpen IRDA(COM3:) failed.\r\n" + kSettingsText);
  EXPECT_EQ(ModulePort.load(), module);
  EXPECT_EQ(PartnerPort.load(), partner);
  EXPECT_EQ(ModuleToPartnerHandle.load(), toPartner);
  EXPECT_EQ(PartnerToModuleHandle.load(), toModule);
  EXPECT_EQ(ExitCode(toPartner), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(ExitCode(toModule), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(kernel::OpenHandleCount(), handles);

  auto line = Line(handset::kIrdaPort);
  line->Write(AsBytes("AT\r").data(), 3);
  EXPECT_EQ(ReadAtDevice(*line, 6), AsBytes("\r\nOK\r\n"));
}

// StopRelay with nothing started closes no handle and ends no thread, and
// still says so.
TEST_F(RelayThreadsTest, StopWithoutARelayClosesNothingAndShowsItsText) {
  StartUtility();
  ASSERT_EQ(Send(112), 0);
  HANDLE own = OpenPort(u"COM3:");  // a handle of someone else's
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  size_t handles = kernel::OpenHandleCount();

  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(LogAfterBanner(), std::u16string(kReleasedText) + kReleasedText);
  EXPECT_EQ(kernel::OpenHandleCount(), handles);
  DCB dcb{};
  EXPECT_TRUE(GetCommState(own, &dcb));
  EXPECT_EQ(ModuleToPartnerHandle.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(PartnerToModuleHandle.load(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(IsWindow(Window()));
  CloseHandle(own);
}

// Stop ends both threads with exit code 0 and frees both ports; bytes then go
// nowhere. A new start makes fresh threads and bytes flow again.
TEST_F(RelayThreadsTest, StopThenStartGivesFreshThreadsAndBytesFlowAgain) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  StartRelayOrFail();
  auto line = Line(handset::kIrdaPort);
  line->Write(AsBytes("AT\r").data(), 3);
  ASSERT_EQ(ReadAtDevice(*line, 6), AsBytes("\r\nOK\r\n"));
  HANDLE first[] = {ModuleToPartnerHandle.load(), PartnerToModuleHandle.load()};

  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(ModulePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(PartnerPort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(RelayRunning.load(), 0u);
  for (HANDLE thread : first) EXPECT_EQ(ExitCode(thread), 0u);
  EXPECT_FALSE(line->HostOpen());
  EXPECT_FALSE(Handset().ModuleLine()->HostOpen());
  line->Write(AsBytes("AT\r").data(), 3);
  EXPECT_TRUE(DrainAtDevice(*line, 300ms).empty());

  EXPECT_EQ(Send(153), 0);
  EXPECT_EQ(RelayRunning.load(), 1u);
  EXPECT_EQ(ExitCode(ModuleToPartnerHandle), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(ExitCode(PartnerToModuleHandle), static_cast<DWORD>(STILL_ACTIVE));
  line->Write(AsBytes("AT\r").data(), 3);
  EXPECT_EQ(ReadAtDevice(*line, 6), AsBytes("\r\nOK\r\n"));
  EXPECT_EQ(Occurrences(Log(), kSettingsText), 2u);
}

// Stopping while bytes stream both ways at level 3: the copy threads are
// then mostly waiting for the window's thread to take their progress lines,
// the thread that runs StopRelay. The release takes those lines while it
// waits for the threads, so they leave by themselves, none is ended by
// force, and the release ends promptly.
TEST_F(RelayThreadsTest, StopWhileBytesStreamBothWaysEndsPromptly) {
  PlayBothEnds(handset::kIrdaPort);
  StartUtility();
  auto partner = Line(handset::kIrdaPort);
  auto module = Line(kTestModulePort);
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    Bytes chunk = Pattern(700, 9);
    uint8_t sink[4096];
    while (feeding) {
      partner->Write(chunk.data(), chunk.size());
      module->Write(chunk.data(), chunk.size());
      kernel::TimePoint soon = kernel::Clock::now() + std::chrono::milliseconds(1);
      partner->Read(sink, sizeof sink, soon);
      module->Read(sink, sizeof sink, soon);
    }
  });
  for (int cycle = 0; cycle < 10; ++cycle) {
    ASSERT_EQ(Send(153), 0) << cycle;
    HANDLE threads[] = {ModuleToPartnerHandle.load(), PartnerToModuleHandle.load()};
    Sleep(50);
    auto stop = std::async(std::launch::async, [&] { return Send(155); });
    ASSERT_EQ(stop.wait_for(10s), std::future_status::ready) << "StopRelay did not return, cycle " << cycle;
    EXPECT_EQ(stop.get(), 0);
    for (HANDLE thread : threads) EXPECT_EQ(ExitCode(thread), 0u) << cycle;
  }
  feeding = false;
  feeder.join();
  EXPECT_EQ(TerminationTraces(), std::vector<std::u16string>{});
  EXPECT_EQ(Occurrences(Log(), kReleasedText), 10u);
  EXPECT_GT(LogLinesWith(u">>> ").size(), 10u);
  EXPECT_GT(LogLinesWith(u"<-BT").size(), 10u);
}

// The partner cannot change while the relay holds its ports; after the
// release the new choice is the one the next start opens.
TEST_F(RelayThreadsTest, PartnerChangeIsRefusedWhileRunningAndTakesEffectAfterStop) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  options_.ports[handset::kInfraredPort] = {handset::PortChoice::Kind::Virtual, ""};
  StartRelayOrFail();

  LRESULT result = -1;
  std::thread press([&] { result = Send(111); });
  auto box = User().AnswerNextBox(IDOK, 10s);
  press.join();
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, u"COMs should be released first");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(RelayPartner.load(), 3u);

  EXPECT_EQ(Send(155), 0);
  EXPECT_EQ(Send(111), 0);
  EXPECT_EQ(Send(153), 0);
  ASSERT_TRUE(WaitLog(u"COM5: (IR)opened\r\n"));
  auto infrared = Line(handset::kInfraredPort);
  infrared->Write(AsBytes("AT\r").data(), 3);
  EXPECT_EQ(ReadAtDevice(*infrared, 6), AsBytes("\r\nOK\r\n"));
  EXPECT_FALSE(Line(handset::kIrdaPort)->HostOpen());
}

// The destroy handler releases the relay as StopRelay does, but shows no
// text. Run on this thread, it leaves the window in place to look at (its
// quit message comes here and is dropped).
TEST_F(RelayThreadsTest, DestroyHandlerReleasesTheRelayWithoutALogLine) {
  options_.ports[handset::kIrdaPort] = {handset::PortChoice::Kind::Virtual, ""};
  StartRelayOrFail();
  HANDLE threads[] = {ModuleToPartnerHandle.load(), PartnerToModuleHandle.load()};
  std::u16string before = Log();

  EXPECT_EQ(MainWindowProc(Window(), WM_DESTROY, 0, 0), 0);
  MSG quit{};
  EXPECT_TRUE(PeekMessageW(&quit, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(quit.message, static_cast<UINT>(WM_QUIT));

  EXPECT_EQ(Log(), before);
  EXPECT_EQ(ModulePort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(PartnerPort.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(RelayRunning.load(), 0u);
  for (HANDLE thread : threads) EXPECT_EQ(ExitCode(thread), 0u);
  EXPECT_FALSE(Line(handset::kIrdaPort)->HostOpen());
  EXPECT_FALSE(Handset().ModuleLine()->HostOpen());
}

}  // namespace
}  // namespace systemtest
