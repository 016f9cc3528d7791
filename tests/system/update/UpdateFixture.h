// The utility on the emulated handset with a journal of the update, and the
// expected sequence of the update thread, built part by part.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>

#include "radio/Module.h"
#include "shell/Shell.h"
#include "shell/resources/resource.h"
#include "support/UtilityFixture.h"
#include "support/WireJournal.h"
#include "update/CeChat.h"
#include "update/Update.h"
#include "UpdateSequence.h"
#include "windowing/Screen.h"

namespace systemtest {

inline constexpr size_t kBoot1Length = 184;
inline constexpr size_t kBoot2Length = 7414;
inline constexpr size_t kFirmwareLength = 2493720;
inline constexpr uint8_t kWakeAnswer = 0xA0;
inline constexpr uint8_t kAccept = 0xA5;
inline constexpr uint8_t kSectionAnswer = 0xAA;

class UpdateFixture : public UtilityFixture {
 protected:
  void StartWithJournal() {
    StartUtility();
    ASSERT_FALSE(HasFatalFailure());
    journal_ = WireJournal::Attach(Handset(), trace_);
    boot1_ = StoredImage(Handset().Instance(), IDR_BOOT1);
    boot2_ = StoredImage(Handset().Instance(), IDR_BOOT2);
    firmware_ = StoredImage(Handset().Instance(), IDR_FW);
    ASSERT_EQ(boot1_.size(), kBoot1Length);
    ASSERT_EQ(boot2_.size(), kBoot2Length);
    ASSERT_EQ(firmware_.size(), kFirmwareLength);
  }

  // Waits for the next message box, notes it in the journal (so its place
  // among the update's steps shows) and answers it with OK.
  std::optional<screen::BoxView> NoteAndAnswerBox(std::chrono::milliseconds timeout) {
    std::optional<screen::BoxView> box;
    User().WaitForScreen(
        [&](const screen::Snapshot& s) {
          for (const auto& m : s.modals) {
            if (m.kind == screen::ModalView::Kind::kMessageBox && !m.box.answered) box = m.box;
          }
          return box.has_value();
        },
        timeout);
    if (!box) return box;
    journal_->Note(u"box \"" + box->caption + u"\": " + box->text);
    keepInFrontAtBox_ = KeepInFront.load();
    screen::AnswerBox(box->id, IDOK);
    return box;
  }

  // The update thread has closed the line and ended the wake-up thread.
  bool WaitUpdateEnd(std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    return journal_->WaitTrace(u" Communication Port Closed!!\r\n", 2, timeout);
  }

  // ---- the update thread's expected steps

  void OpenPart(Expected& e) { e.Trace(u"Open : COM1:\r\n").Purge().Trace(u"Open com port succeed!!\r\n"); }

  // One wake-up attempt up to the stop of the cast; `received`: what the
  // module sends up to and including 0xA0.
  void WakePart(Expected& e, std::span<const uint8_t> received = std::span<const uint8_t>(&kWakeAnswer, 1)) {
    e.Trace(u"!Cast 55h!\r\n").Line("reset");
    e.Wait(kWakeAnswer, received).Purge();
    e.Trace(u" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
  }

  void Stage1Part(Expected& e, bool accepted) {
    e.Trace(u"Bootload1_v2.bin open succeed!!!!\r\n")
        .Trace(u"get resource IDR_BOOT1 succeed!!!!\r\n")
        .Trace(u"Yes, we lock resources!!!!\r\n")
        .WriteOf(kBoot1Length + 2);
    if (accepted) {
      e.Wait(kAccept).Trace(u"BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n").Purge();
    } else {
      Refused(e, kAccept);
      e.Trace(u" BootLoad1 upload fail!!  Restart sending 55h again!!\r\n").Purge();
    }
  }

  void Stage2Part(Expected& e, bool accepted) {
    e.Trace(u"get resource IDR_BOOT2 succeed!!!!\r\n")
        .Trace(u"Yes, we lock resources!!!!\r\n")
        .Trace(u"Bootload2_v3.bin open succeed!!!! \r\n")
        .SendByte(0x1C)
        .SendByte(0xF6);
    for (int i = 0; i < 7; ++i) e.WriteOf(1000).Wait(kSectionAnswer);
    e.WriteOf(414).Trace(u" The last section sent : 414 chars!!\r\n");
    e.SendByte(Xor(boot2_)).Trace(u"Bootload2 : 1C  F6  0 checkByte : " + Expected::HexText(Xor(boot2_)) + u"\r\n");
    if (accepted) {
      e.Wait(kAccept).Trace(u"BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n").Purge();
    } else {
      Refused(e, kAccept);
      e.Trace(u"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n").Purge();
    }
  }

  void ImagePart(Expected& e, bool accepted) {
    const auto memoryCheck = radio::ModuleConfig{}.memoryCheckAnswer;
    e.SendByte(0x50)
        .Trace(u"Send 0x50 to configure baudrate as 115.2k !!!\r\n")
        .Trace(u"Memory Check, We would get 3 char here !!!!\r\n")
        .Wait(kAccept, memoryCheck)
        .Trace(u"Memory Check, We should get 3 char above !!!!\r\n")
        .SendByte(0x54)
        .Trace(u"Write fixed file size\r\n")
        .Write({0x3F, 0xA0, 0x00})
        .Wait(kAccept)
        .Wait(kAccept)
        .Wait(kAccept)
        .Trace(u"get resource IDR_FW succeed!!!!\r\n")
        .Trace(u"Yes, we lock resources!!!!\r\n")
        .Trace(u"Download.bin open succeed!!!! \r\n")
        .Write({0x26, 0x0D, 0x18})
        .Trace(u"Write the compressed file size\r\n");
    size_t sent = 0;
    for (int i = 0; i < 623; ++i) {
      sent += 4000;
      e.WriteOf(4000).Trace(u"Write 4000 bytes!, Totally write " + Decimal(sent) + u" bytes\r\n").Wait(kSectionAnswer);
    }
    e.WriteOf(1720)
        .Trace(u"Write 1720 bytes!, Totally write 2493720 bytes\r\n")
        .Trace(u" The last section sent; 1720 chars!!\r\n");
    uint8_t even = Xor(firmware_, 0, 2);
    uint8_t odd = Xor(firmware_, 1, 2);
    e.Trace(u" Sending Checksum " + Expected::HexText(even) + u"  " + Expected::HexText(odd) + u" !!\r\n")
        .SendByte(even)
        .SendByte(odd)
        .Trace(u"File upload complete!! file size 2493720 , 260D18 h , Size char 26  D  18\r\n");
    if (accepted) {
      e.Wait(kAccept)
          .Trace(u"Firmware Updated....Done")
          .Line("N box \"Successful\": Reboot device/Reset module !")
          .Line("reset")
          .Line("reboot")
          .Trace(u" Upgrade succeed!! \r\n");
    } else {
      Refused(e, kAccept);
      e.Trace(u"Update firmware FAIL!!!").Trace(u" Write to flash  fail!!  !!\r\n");
      FailurePart(e, kImageRefused);
    }
  }

  // The words of a failed update, in the trace (the log view shows them
  // after "Update failed: ").
  static void FailurePart(Expected& e, std::u16string_view reason) {
    e.Trace(u" Update failed!!  " + std::u16string(reason) + u"\r\n");
  }
  static constexpr char16_t kImageRefused[] =
      u"The radio module refused the firmware image (a break or line error instead of A5h)";

  void ClosePart(Expected& e) {
    e.Purge().Trace(u" Communication Port Closed!!\r\n").Trace(u" Communication Port Closed!!\r\n");
  }

  static void Refused(Expected& e, uint8_t awaited) {
    e.Trace(u"Waiting for char -> " + Expected::HexText(awaited) + u" h\r\n").Trace(u"None byte got from KRX5 !!\r\n");
  }
  static std::u16string Decimal(size_t n) {
    std::string text = std::to_string(n);
    return std::u16string(text.begin(), text.end());
  }

  // The update thread's own steps so far (and the test's notes).
  std::vector<std::string> UpdateThreadSequence() {
    auto events = journal_->Events();
    return ThreadSequence(events, ThreadOfTrace(events, u"Open : COM1:"));
  }

  // Writes of the wake-up thread: single 0x55 bytes from any thread but the
  // update thread.
  static std::vector<WireEvent> CastWrites(const std::vector<WireEvent>& events, uint32_t updateThread) {
    std::vector<WireEvent> writes;
    for (const WireEvent& e : events) {
      if (e.kind == Kind::kWrite && e.thread != updateThread) writes.push_back(e);
    }
    return writes;
  }

  std::shared_ptr<WireJournal> journal_;
  std::span<const uint8_t> boot1_, boot2_, firmware_;
  std::optional<DWORD> keepInFrontAtBox_;
};

// The log view's texts of an update after the banner, with or without its
// closing line.
inline std::u16string UpdateLog(int stage1Accepted, bool done = true) {
  std::u16string log;
  for (int i = 0; i < stage1Accepted; ++i) log += u"Bootload1 updated!!\r\n";
  log += u"Bootload2 updated!!\r\nWait a moment please...\r\n";
  for (int mark = 1; mark <= 624; ++mark) {
    log += u"#";
    if (mark % 23 == 0) log += u"\r\n";
  }
  return done ? log + u"\r\nFirmware Updated....Done\r\n" : log;
}

// What the log view adds when an update has failed.
inline std::u16string FailureLog(std::u16string_view reason, int attempts = 1) {
  std::u16string head = u"Update failed: ";
  if (attempts > 1) {
    std::string n = std::to_string(attempts);
    head = u"Update failed after " + std::u16string(n.begin(), n.end()) + u" attempts: ";
  }
  return head + std::u16string(reason) + u"\r\nChoose Update firmware - Go to try again.\r\n";
}

inline double Milliseconds(kernel::Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace systemtest
