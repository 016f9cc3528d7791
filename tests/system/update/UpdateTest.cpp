// The whole update on the emulated handset, from the menu command to the
// reboot: every step of the update thread in order, the bytes and their
// write boundaries, the log view, the success box, the module's flash; and
// the runs that fail or are started twice.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "devices/ril/RilDriver.h"
#include "kernel/Handles.h"
#include "kernel/Thread.h"
#include "kernel/Waitable.h"
#include "radio/Switches.h"
#include "UpdateFixture.h"
#include "update/UpdateImages.h"
#include "update/UpdateLimits.h"

namespace systemtest {
namespace {

using namespace std::chrono_literals;

class UpdateTest : public UpdateFixture {
 protected:
  // The update thread's writes, in order.
  std::vector<WireEvent> UpdateWrites() {
    auto events = journal_->Events();
    uint32_t thread = ThreadOfTrace(events, u"Open : COM1:");
    std::vector<WireEvent> writes;
    for (const WireEvent& e : events) {
      if (e.kind == Kind::kWrite && e.thread == thread) writes.push_back(e);
    }
    return writes;
  }
};

TEST_F(UpdateTest, ASuccessfulUpdateStepByStep) {
  StartWithJournal();
  ril::ClearRequests();
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  EXPECT_EQ(UseFixedSize.load(), 1u);
  auto box = NoteAndAnswerBox(120s);
  ASSERT_TRUE(box);
  ASSERT_TRUE(WaitUpdateEnd());
  auto events = journal_->Events();
  uint32_t updateThread = ThreadOfTrace(events, u"Open : COM1:");

  // Every step of the update thread, in order.
  Expected expected;
  OpenPart(expected);
  WakePart(expected);
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, true);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));

  // The bytes of each write.
  auto writes = UpdateWrites();
  ASSERT_EQ(writes.size(), 1u + 2 + 8 + 1 + 2 + 2 + 624 + 2);
  Bytes frame{0xB8};
  frame.insert(frame.end(), boot1_.begin(), boot1_.end());
  frame.push_back(Xor(boot1_));
  EXPECT_EQ(writes[0].bytes, frame);
  EXPECT_EQ(frame.back(), 0x69);
  Bytes stage2;
  for (size_t i = 3; i < 11; ++i) stage2.insert(stage2.end(), writes[i].bytes.begin(), writes[i].bytes.end());
  EXPECT_TRUE(stage2 == Bytes(boot2_.begin(), boot2_.end()));
  EXPECT_EQ(writes[11].bytes, Bytes{0x58});  // the check covers the image only
  Bytes image;
  for (size_t i = 16; i < 16 + 624; ++i) image.insert(image.end(), writes[i].bytes.begin(), writes[i].bytes.end());
  EXPECT_TRUE(image == Bytes(firmware_.begin(), firmware_.end()));
  EXPECT_EQ(writes[640].bytes, Bytes{0x49});
  EXPECT_EQ(writes[641].bytes, Bytes{0x24});

  // The radio was suspended from the window's thread, 500 ms before the
  // update thread began.
  const WireEvent* suspend = nullptr;
  const WireEvent* open = nullptr;
  for (const WireEvent& e : events) {
    if (e.kind == Kind::kSuspend && !suspend) suspend = &e;
    if (e.kind == Kind::kTrace && e.text == u"Open : COM1:\r\n" && !open) open = &e;
  }
  ASSERT_TRUE(suspend && open);
  EXPECT_NE(suspend->thread, updateThread);
  EXPECT_GE(Milliseconds(open->at - suspend->at), 500.0);
  EXPECT_EQ(ril::Requests().suspend, 1u);
  EXPECT_EQ(ril::Requests().reset, 2u);
  EXPECT_EQ(ril::Requests().resume, 0u);

  // The wake-up bytes stopped for good once 0xA0 had been read.
  size_t stopAt = 0;
  for (size_t i = 0; i < events.size() && !stopAt; ++i) {
    if (events[i].kind == Kind::kTrace && events[i].text.find(u"Get A0h") != std::u16string::npos) stopAt = i;
  }
  size_t casts = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const WireEvent& e = events[i];
    if (e.kind != Kind::kWrite || e.thread == updateThread) continue;
    ++casts;
    EXPECT_EQ(e.bytes, Bytes{0x55});
    EXPECT_LT(i, stopAt) << "a wake-up byte after the cast was stopped";
  }
  EXPECT_GT(casts, 0u);

  // The module saw each stage byte for byte, nothing in between.
  radio::Record record = Handset().Module()->GetRecord();
  EXPECT_EQ(record[radio::Phase::Stage1].bytesReceived, 186u);
  EXPECT_EQ(record[radio::Phase::Stage2Sections].bytesReceived, 2u + 7414u);
  EXPECT_EQ(record[radio::Phase::Stage2Check].bytesReceived, 1u);
  EXPECT_EQ(record[radio::Phase::MemoryCheck].bytesReceived, 1u);
  EXPECT_EQ(record[radio::Phase::SizeRecord].bytesReceived, 4u);
  EXPECT_EQ(record[radio::Phase::ImageLength].bytesReceived, 3u);
  EXPECT_EQ(record[radio::Phase::ImageSections].bytesReceived, kFirmwareLength);
  EXPECT_EQ(record[radio::Phase::FinalCheck].bytesReceived, 2u);
  EXPECT_EQ(record.refusals, 0u);
  EXPECT_EQ(record.imagesWritten, 1u);
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));

  // The box, from the update thread, after the transfer and before the
  // radio reset and the reboot (the sequence above shows the order).
  EXPECT_EQ(box->caption, u"Successful");
  EXPECT_EQ(box->text, u"Reboot device/Reset module !");
  EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
  EXPECT_EQ(box->owner, nullptr);
  EXPECT_EQ(box->threadId, updateThread);
  EXPECT_EQ(keepInFrontAtBox_, 0u);
  EXPECT_EQ(Handset().Board().Reboots(), 1);

  EXPECT_EQ(Log(), kBanner + UpdateLog(1));
  EXPECT_EQ(Occurrences(Log(), u"#"), 624u);
  EXPECT_EQ(Occurrences(Log(), u"\r\n"), 2u + 3 + 27 + 2);

  // The update thread ends with 0 and has given up the wake-up thread's handle.
  HANDLE update = UpdateThreadHandle;
  EXPECT_EQ(WaitForSingleObject(update, 30000), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(update, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(CastThreadHandle.load(), INVALID_HANDLE_VALUE);
}

TEST_F(UpdateTest, AtLogLevelZeroNothingIsShownButEveryLineIsTracedAndASecondStartIsIgnored) {
  options_.pacedLines = false;
  // The module takes its time with the memory check, so the second start
  // certainly comes while the update runs.
  options_.moduleSwitches = {"delay@memory-check=10000"};
  StartWithJournal();
  ril::ClearRequests();
  EXPECT_EQ(Send(IDM_LOGLEVEL_0), 0);
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  HANDLE update = UpdateThreadHandle;
  ASSERT_TRUE(journal_->WaitTrace(u"Memory Check, We would get 3 char here"));
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  EXPECT_EQ(TraceCount(u"Update is running already, start ignored !!\r\n"), 1u);
  EXPECT_EQ(UpdateThreadHandle.load(), update);
  EXPECT_EQ(ril::Requests().suspend, 1u);

  auto box = NoteAndAnswerBox(120s);
  ASSERT_TRUE(box);
  ASSERT_TRUE(WaitUpdateEnd());
  Expected expected;
  OpenPart(expected);
  WakePart(expected);
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, true);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  EXPECT_EQ(Log(), kBanner);
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
  EXPECT_EQ(Handset().Board().Reboots(), 1);
}

TEST_F(UpdateTest, ARefusedImageEndsWithoutBoxResetOrReboot) {
  options_.pacedLines = false;
  options_.moduleSwitches = {"refuse-image"};
  StartWithJournal();
  ril::ClearRequests();
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  ASSERT_TRUE(journal_->WaitTrace(u"!Cast 55h!"));
  // Hold on to the wake-up thread to see it end after its handle is closed.
  auto cast = std::dynamic_pointer_cast<kernel::WaitableObject>(kernel::ReferenceHandle(CastThreadHandle));
  ASSERT_TRUE(cast);
  ASSERT_TRUE(WaitUpdateEnd());
  // The failure's words come after the port's close traces: the thread's end is their end.
  HANDLE update = UpdateThreadHandle;
  ASSERT_EQ(WaitForSingleObject(update, 120000 * 50), WAIT_OBJECT_0);

  Expected expected;
  OpenPart(expected);
  WakePart(expected);
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, false);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));

  EXPECT_TRUE(screen::Capture().modals.empty());
  EXPECT_EQ(Handset().Board().Reboots(), 0);
  EXPECT_EQ(ril::Requests().reset, 1u);  // the wake-up's only
  EXPECT_EQ(ril::Requests().resume, 0u);
  EXPECT_TRUE(Handset().Module()->RadioSuspended());
  EXPECT_EQ(KeepInFront.load(), 1u);
  // The row of marks is closed before the words of the failure.
  EXPECT_EQ(Log(), std::u16string(kBanner) + UpdateLog(1, false) + u"\r\n" + FailureLog(kImageRefused));
  EXPECT_FALSE(Handset().Module()->Flash().valid);

  // The line is free again and the wake-up thread has ended.
  EXPECT_TRUE(cast->WaitSignaled(kernel::Clock::now() + std::chrono::seconds(30)));
  EXPECT_EQ(CastThreadHandle.load(), INVALID_HANDLE_VALUE);
  HANDLE com1 = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(com1, INVALID_HANDLE_VALUE);
  CloseHandle(com1);
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(update, &code));
  EXPECT_EQ(code, 0u);
}

// A break in place of a boot stage 2 section's 0xAA: the loader has stopped
// taking the stage, so the rest of it is not sent; the stage counts as
// refused and the wake-up is repeated.
TEST_F(UpdateTest, ABreakInPlaceOfAStageTwoSectionAnswerIsARefusal) {
  options_.pacedLines = false;
  options_.moduleSwitches = {"break@stage2-sections"};
  StartWithJournal();
  ril::ClearRequests();
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  ASSERT_TRUE(NoteAndAnswerBox(120s));
  ASSERT_TRUE(WaitUpdateEnd());

  Expected expected;
  OpenPart(expected);
  WakePart(expected);
  Stage1Part(expected, true);
  expected.Trace(u"get resource IDR_BOOT2 succeed!!!!\r\n")
      .Trace(u"Yes, we lock resources!!!!\r\n")
      .Trace(u"Bootload2_v3.bin open succeed!!!! \r\n")
      .SendByte(0x1C)
      .SendByte(0xF6)
      .WriteOf(1000);
  Refused(expected, kSectionAnswer);
  expected.Trace(u"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n").Purge();
  WakePart(expected);
  Stage1Part(expected, true);
  Stage2Part(expected, true);
  ImagePart(expected, true);
  ClosePart(expected);
  EXPECT_TRUE(SameSequence(UpdateThreadSequence(), expected.Lines()));
  EXPECT_EQ(Log(), kBanner + UpdateLog(2));
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
}

// Bytes garbled on the line before every answer of every step come with a
// line error in the same event: each is read and dropped like any stray
// byte, and the update runs as on a clean line, every answer in its place.
TEST_F(UpdateTest, GarbledBytesBeforeEveryAnswerCostNoAnswer) {
  options_.pacedLines = false;
  options_.moduleSwitches = {"garble@all=2"};
  StartWithJournal();
  ril::ClearRequests();
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  ASSERT_TRUE(NoteAndAnswerBox(120s));
  ASSERT_TRUE(WaitUpdateEnd());

  EXPECT_EQ(TraceCount(u"None byte got from KRX5 !!\r\n"), 0u);
  EXPECT_EQ(TraceCount(u"!Cast 55h!\r\n"), 1u);
  EXPECT_EQ(ril::Requests().reset, 2u);  // the wake-up's and the one after success
  EXPECT_EQ(Log(), std::u16string(kBanner) + UpdateLog(1));
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
  radio::Record record = Handset().Module()->GetRecord();
  for (radio::Phase phase : radio::kAllPhases) {
    if (phase == radio::Phase::ImageLength) continue;
    SCOPED_TRACE(std::string(radio::PhaseName(phase)));
    EXPECT_GE(record[phase].garbledBytes, 2u);
    EXPECT_EQ(record[phase].garbledBytes % 2, 0u);
  }
  EXPECT_EQ(record[radio::Phase::ImageSections].garbledBytes, 2u * 623);
  EXPECT_EQ(record[radio::Phase::SizeRecord].garbledBytes, 2u * 3);
  EXPECT_EQ(record.refusals, 0u);
}

// A program without its images fails before anything reaches the module:
// no module reset, no wake-up byte, the words in the log view.
TEST_F(UpdateTest, AMissingImageFailsAtOnceWithoutModuleResets) {
  options_.pacedLines = false;
  StartWithJournal();
  ril::ClearRequests();
  HINSTANCE instance = AppInstance;
  AppInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x7654320));
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  ASSERT_EQ(WaitForSingleObject(UpdateThreadHandle.load(), 120000), WAIT_OBJECT_0);
  AppInstance = instance;
  const std::u16string reason = u"The program holds no boot stage 1 image";
  EXPECT_EQ(Log(), std::u16string(kBanner) + FailureLog(reason));
  EXPECT_EQ(ril::Requests().reset, 0u);
  EXPECT_EQ(TraceCount(u"!Cast 55h!\r\n"), 0u);
  EXPECT_TRUE(CastWrites(journal_->Events(), ThreadOfTrace(journal_->Events(), u"Open : COM1:")).empty());
  EXPECT_EQ(CastThreadHandle.load(), INVALID_HANDLE_VALUE);
  HANDLE com1 = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(com1, INVALID_HANDLE_VALUE);
  CloseHandle(com1);
}

// A thread or event that cannot be made (a handset out of memory or
// handles) ends the update with words, never an update that runs on without
// its wake-up or its time limits. When the update thread itself cannot
// start, nothing has reached the module and the radio is back on.
TEST_F(UpdateTest, AThreadOrEventThatCannotBeMadeEndsTheUpdateWithWords) {
  struct Case {
    unsigned skip;  // creations that succeed first: update thread, wake-up thread, limit event, limit thread
    const char16_t* reason;
    unsigned resets;
  };
  const Case cases[] = {
      {1, u"Could not start the wake-up (error 8)", 0},
      {2, u"Could not time the wait for A0h after the module reset (error 8)", 1},
      {3, u"Could not time the wait for A0h after the module reset (error 8)", 1},
      {0, u"Could not start the update (error 8)", 0},
  };
  options_.pacedLines = false;
  StartWithJournal();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.skip);
    ril::ClearRequests();
    std::u16string before = Log();
    kernel::FailCreations(c.skip, 1);
    EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
    if (c.skip > 0) {
      ASSERT_EQ(WaitForSingleObject(UpdateThreadHandle.load(), 120000), WAIT_OBJECT_0);
    }
    kernel::FailCreations(0, 0);
    std::u16string added = Log().substr(before.size());
    const std::u16string words = FailureLog(c.reason);
    ASSERT_GE(added.size(), words.size()) << std::string(added.begin(), added.end());
    EXPECT_EQ(added.substr(added.size() - words.size()), words);
    EXPECT_EQ(ril::Requests().reset, c.resets);
    EXPECT_EQ(CastThreadHandle.load(), INVALID_HANDLE_VALUE);
    // Back on when the failure came before the wake-up (the rule's own test
    // follows).
    EXPECT_EQ(Handset().Module()->RadioSuspended(), c.resets > 0);
    HANDLE com1 = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(com1, INVALID_HANDLE_VALUE);
    CloseHandle(com1);
  }
  // Nothing is left in a state that stops the next update.
  ASSERT_EQ(Send(IDM_UPDATE_GO), 1);
  ASSERT_TRUE(NoteAndAnswerBox(120s));
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
}

// One rule for every failed update: the radio goes back on exactly when
// nothing reached the module (no wake-up byte, no reset), silently; once
// the module has been woken it may sit in its loader, and the radio stays
// suspended. Each case plants its failure and takes it away again.
TEST_F(UpdateTest, AFailedUpdateResumesTheRadioExactlyWhenNothingReachedTheModule) {
  HANDLE held = INVALID_HANDLE_VALUE;
  HINSTANCE instance = nullptr;
  auto failCreation = [](unsigned skip) { return [skip] { kernel::FailCreations(skip, 1); }; };
  auto switchModule = [this](const char* spec) {
    return [this, spec] { ASSERT_TRUE(radio::ApplySwitch(*Handset().Module(), spec, nullptr)); };
  };
  struct Case {
    const char* name;
    std::function<void()> plant;
    std::function<void()> undo;
    bool reaches;
  };
  const Case cases[] = {
      {"COM1: held by another program",
       [&] { held = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); },
       [&] { CloseHandle(held); }, false},
      {"an image missing from the program",
       [&] {
         instance = AppInstance;
         AppInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x7654320));
       },
       [&] { AppInstance = instance; }, false},
      {"no update thread", failCreation(0), [] { kernel::FailCreations(0, 0); }, false},
      {"no wake-up thread", failCreation(1), [] { kernel::FailCreations(0, 0); }, false},
      {"no event for the time limits", failCreation(2), [] { kernel::FailCreations(0, 0); }, true},
      {"no thread for the time limits", failCreation(3), [] { kernel::FailCreations(0, 0); }, true},
      {"a module that never answers", switchModule("silent@wake-up=always"), switchModule("clear"), true},
      {"boot stage 1 refused at every attempt", switchModule("refuse@stage1=always"), switchModule("clear"), true},
  };
  options_.pacedLines = false;
  StartWithJournal();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t bytesBefore = Handset().ModuleLine()->BytesToDevice();
    const uint32_t resetsBefore = Handset().Module()->GetRecord().resets;
    const std::u16string logBefore = Log();
    ril::ClearRequests();
    c.plant();
    EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
    HANDLE update = UpdateThreadHandle;
    if (update != INVALID_HANDLE_VALUE) {
      EXPECT_EQ(WaitForSingleObject(update, 120000 * 50), WAIT_OBJECT_0);
    }
    c.undo();
    const bool reached = Handset().ModuleLine()->BytesToDevice() > bytesBefore ||
                         Handset().Module()->GetRecord().resets > resetsBefore;
    EXPECT_EQ(reached, c.reaches);
    EXPECT_EQ(ril::Requests().suspend, 1u);
    EXPECT_EQ(ril::Requests().resume, reached ? 0u : 1u);
    EXPECT_EQ(Handset().Module()->RadioSuspended(), reached);
    EXPECT_EQ(Occurrences(Log().substr(logBefore.size()), u"RIL has been resumed"), 0u);
  }
}

// An update that fails leaves the utility ready for the next one: a start
// while it runs is refused in the log view too, and once it has failed the
// user's next start runs a fresh update that succeeds.
TEST_F(UpdateTest, AfterAFailedUpdateTheNextStartSucceeds) {
  options_.pacedLines = false;
  // The module goes silent once at the memory check (until its next reset).
  options_.moduleSwitches = {"silent@memory-check"};
  StartWithJournal();
  ril::ClearRequests();
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  HANDLE first = UpdateThreadHandle;
  ASSERT_TRUE(journal_->WaitTrace(u"Memory Check, We would get 3 char here"));
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  EXPECT_EQ(UpdateThreadHandle.load(), first);
  EXPECT_EQ(Occurrences(Log(), u"An update is running already; this start is ignored.\r\n"), 1u);

  ASSERT_EQ(WaitForSingleObject(first, 120000 * 50), WAIT_OBJECT_0);
  const std::u16string reason =
      u"No answer from the radio module (waiting for A5h after the memory check command 50h)";
  EXPECT_EQ(Log(), kBanner + std::u16string(u"Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n") +
                       u"An update is running already; this start is ignored.\r\n" + FailureLog(reason));
  EXPECT_EQ(TraceCount(u"No char -> A5 h within " + Decimal(MEMORY_CHECK_LIMIT) + u" ms !!\r\n"), 1u);
  EXPECT_EQ(TraceCount(u"Update firmware FAIL!!!"), 1u);
  EXPECT_EQ(TraceCount(u" Write to flash  fail!!  !!\r\n"), 1u);
  EXPECT_EQ(CastThreadHandle.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Handset().Board().Reboots(), 0);

  const size_t logBefore = Log().size();
  EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
  EXPECT_NE(UpdateThreadHandle.load(), first);
  ASSERT_TRUE(NoteAndAnswerBox(120s));
  HANDLE second = UpdateThreadHandle;
  ASSERT_EQ(WaitForSingleObject(second, 120000 * 50), WAIT_OBJECT_0);
  EXPECT_EQ(Log().substr(logBefore), UpdateLog(1));
  EXPECT_TRUE(Handset().Module()->FlashHolds(firmware_));
  EXPECT_EQ(Handset().Board().Reboots(), 1);
  EXPECT_EQ(ril::Requests().suspend, 2u);
}

// The images by kind: kinds outside 1 to 4 give nothing and trace nothing;
// a found image traces two lines, a missing one only the first.
TEST_F(UpdateTest, ImagesAreLookedUpByKind) {
  StartWithJournal();
  auto traces = [&] {
    std::vector<std::u16string> texts;
    for (const WireEvent& e : journal_->Events()) {
      if (e.kind == Kind::kTrace) texts.push_back(e.text);
    }
    return texts;
  };
  EXPECT_EQ(LoadUpdateImage(0), nullptr);
  EXPECT_EQ(LoadUpdateImage(5), nullptr);
  EXPECT_TRUE(traces().empty());

  const BYTE* fileSize = LoadUpdateImage(IMAGE_FILE_SIZE);
  ASSERT_NE(fileSize, nullptr);
  EXPECT_EQ(Bytes(fileSize, fileSize + 3), (Bytes{0x3F, 0xEC, 0xE6}));
  EXPECT_EQ(traces(), (std::vector<std::u16string>{u"get resource IDR_FILE_SIZE succeed!!!!\r\n",
                                                   u"Yes, we lock resources!!!!\r\n"}));
  // The senders read the stored images in place.
  EXPECT_EQ(LoadUpdateImage(IMAGE_BOOT1), boot1_.data());
  EXPECT_EQ(LoadUpdateImage(IMAGE_BOOT2), boot2_.data());
  EXPECT_EQ(LoadUpdateImage(IMAGE_FIRMWARE), firmware_.data());

  // A program without the images: the kind's line, which says "succeed"
  // regardless, and nothing else.
  HINSTANCE instance = AppInstance;
  AppInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x7654320));
  size_t before = traces().size();
  EXPECT_EQ(LoadUpdateImage(IMAGE_FIRMWARE), nullptr);
  AppInstance = instance;
  auto after = traces();
  ASSERT_EQ(after.size(), before + 1);
  EXPECT_EQ(after.back(), u"get resource IDR_FW succeed!!!!\r\n");
}

// "COM1:" cannot be opened: one trace, one log text, nothing on the line,
// no module reset, exit code 1; each start releases the previous thread's
// handle.
class UpdatePortFailureTest : public UpdateFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(UpdatePortFailureTest, NothingHappensBeyondTheReport) {
  const bool held = GetParam();
  if (!held) {
    options_.ports[handset::kModulePort] = {handset::PortChoice::Kind::Absent, ""};
    options_.ril.kind = handset::RilChoice::Kind::None;
  }
  StartWithJournal();
  HANDLE other = INVALID_HANDLE_VALUE;
  if (held) {
    other = CreateFileW(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
  }
  ril::ClearRequests();
  size_t handles = kernel::OpenHandleCount();
  HANDLE previous = INVALID_HANDLE_VALUE;
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EQ(Send(IDM_UPDATE_GO), 1);
    HANDLE update = UpdateThreadHandle;
    ASSERT_EQ(WaitForSingleObject(update, 120000 * 50), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeThread(update, &code));
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(Occurrences(Log(), u"Open Comport fail!!\r\n"), static_cast<size_t>(run));
    // Only the last update thread's handle is held.
    EXPECT_EQ(kernel::OpenHandleCount(), handles + 1);
    if (previous != INVALID_HANDLE_VALUE) {
      EXPECT_FALSE(GetExitCodeThread(previous, &code));
    }
    previous = update;
  }
  auto events = journal_->Events();
  std::vector<std::string> sequence = ThreadSequence(events, ThreadOfTrace(events, u"Open : COM1:"));
  // Nothing reached the module: the radio is back on.
  ASSERT_EQ(sequence.size(), 4u);
  EXPECT_EQ(sequence[0], "T Open : COM1:\\r\\n");
  EXPECT_EQ(sequence[1].rfind("T Error (", 0), 0u);
  EXPECT_EQ(sequence[2], "T Open com port failed!!\\r\\n");
  EXPECT_EQ(sequence[3], "resume");
  EXPECT_EQ(TraceCount(u"Open com port failed!!\r\n"), 2u);
  EXPECT_EQ(Log(), std::u16string(kBanner) + u"Open Comport fail!!\r\nOpen Comport fail!!\r\n");
  EXPECT_EQ(ril::Requests().reset, 0u);
  EXPECT_EQ(ril::Requests().suspend, 2u);
  EXPECT_EQ(ril::Requests().resume, 2u);
  EXPECT_EQ(CastThreadHandle.load(), INVALID_HANDLE_VALUE);
  for (const WireEvent& e : events) EXPECT_NE(e.kind, Kind::kWrite);
  if (held) {
    EXPECT_EQ(Handset().ModuleLine()->BytesToDevice(), 0u);
    EXPECT_EQ(Handset().Module()->GetRecord().resets, 0u);
    CloseHandle(other);
  }
}

INSTANTIATE_TEST_SUITE_P(Com1, UpdatePortFailureTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Held" : "Absent"); });

}  // namespace
}  // namespace systemtest
