// One ordered record of what an update does at the handset's end: the trace
// lines, the WriteFile / ReadFile / PurgeComm calls on "COM1:", the radio
// driver's requests, the handset's reboot and notes of the test, each with
// its thread and its platform time. Tests compare whole sequences of it and
// measure pauses in platform time.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devices/ril/RilDriver.h"
#include "handset/Handset.h"
#include "kernel/Clock.h"
#include "kernel/Thread.h"
#include "serial/Serial.h"
#include "kernel/DebugOutput.h"

namespace systemtest {

struct WireEvent {
  enum class Kind { kTrace, kWrite, kRead, kPurge, kSuspend, kResume, kReset, kReboot, kNote };
  Kind kind = Kind::kNote;
  uint32_t thread = 0;  // platform thread id
  kernel::TimePoint at{};
  std::u16string text;         // kTrace, kNote
  std::vector<uint8_t> bytes;  // kWrite: the bytes asked for; kRead: the bytes read
  DWORD count = 0;             // kWrite: bytes written; kPurge: the flags
  bool ok = true;              // kWrite: the call's result
};

class WireJournal : public debugout::Sink, public serial::PortObserver {
 public:
  // Records from now on: the trace (passed on to `trace` as well), the calls
  // on "COM1:", the radio driver's requests and the board's reboots. Call
  // after the handset has booted.
  static std::shared_ptr<WireJournal> Attach(handset::Handset& handset, std::shared_ptr<debugout::Sink> trace) {
    auto journal = std::make_shared<WireJournal>();
    journal->trace_ = std::move(trace);
    debugout::SetSink(journal);
    if (auto port = serial::FindPort(handset::kModulePort)) port->SetObserver(journal);
    ril::SetRadioHardware(std::make_shared<Radio>(ril::CurrentRadioHardware(), journal));
    std::weak_ptr<WireJournal> weak = journal;
    handset.Board().SetRebootHandler([weak] {
      if (auto j = weak.lock()) j->Add(Event(WireEvent::Kind::kReboot));
    });
    return journal;
  }
  // Records the trace and the calls on one port only.
  static std::shared_ptr<WireJournal> AttachToPort(serial::PortConfig& port, std::shared_ptr<debugout::Sink> trace) {
    auto journal = std::make_shared<WireJournal>();
    journal->trace_ = std::move(trace);
    debugout::SetSink(journal);
    port.SetObserver(journal);
    return journal;
  }

  // debugout::Sink
  void Write(std::u16string_view text) override {
    if (trace_) trace_->Write(text);
    WireEvent e = Event(WireEvent::Kind::kTrace);
    e.text = text;
    Add(std::move(e));
  }
  // serial::PortObserver
  void OnWrite(std::span<const uint8_t> requested, DWORD written, bool succeeded) override {
    WireEvent e = Event(WireEvent::Kind::kWrite);
    e.bytes.assign(requested.begin(), requested.end());
    e.count = written;
    e.ok = succeeded;
    Add(std::move(e));
  }
  void OnRead(std::span<const uint8_t> bytes) override {
    WireEvent e = Event(WireEvent::Kind::kRead);
    e.bytes.assign(bytes.begin(), bytes.end());
    Add(std::move(e));
  }
  void OnPurge(DWORD flags) override {
    WireEvent e = Event(WireEvent::Kind::kPurge);
    e.count = flags;
    Add(std::move(e));
  }

  void Note(std::u16string text) {
    WireEvent e = Event(WireEvent::Kind::kNote);
    e.text = std::move(text);
    Add(std::move(e));
  }

  std::vector<WireEvent> Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }

  // Waits (real time) until `ready(events)` holds.
  bool WaitFor(const std::function<bool(const std::vector<WireEvent>&)>& ready, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return ready(events_); });
  }
  // Waits until `count` trace lines contain `needle`.
  bool WaitTrace(std::u16string_view needle, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return WaitFor([&](const std::vector<WireEvent>& events) { return CountTraces(events, needle) >= count; }, timeout);
  }
  static size_t CountTraces(const std::vector<WireEvent>& events, std::u16string_view needle) {
    size_t n = 0;
    for (const WireEvent& e : events) n += e.kind == WireEvent::Kind::kTrace && e.text.find(needle) != e.text.npos;
    return n;
  }

 private:
  // The radio interface driver's back end, with each request recorded before
  // it reaches the hardware.
  class Radio : public ril::RadioHardware {
   public:
    Radio(std::shared_ptr<ril::RadioHardware> inner, std::weak_ptr<WireJournal> journal)
        : inner_(std::move(inner)), journal_(std::move(journal)) {}
    DWORD Suspend() override { return Pass(WireEvent::Kind::kSuspend, &ril::RadioHardware::Suspend); }
    DWORD Resume() override { return Pass(WireEvent::Kind::kResume, &ril::RadioHardware::Resume); }
    DWORD Reset() override { return Pass(WireEvent::Kind::kReset, &ril::RadioHardware::Reset); }
    std::string Describe() const override { return inner_ ? inner_->Describe() : "none"; }

   private:
    DWORD Pass(WireEvent::Kind kind, DWORD (ril::RadioHardware::*request)()) {
      if (auto journal = journal_.lock()) journal->Add(Event(kind));
      return inner_ ? (inner_.get()->*request)() : 0;
    }
    std::shared_ptr<ril::RadioHardware> inner_;
    std::weak_ptr<WireJournal> journal_;
  };

  static WireEvent Event(WireEvent::Kind kind) {
    WireEvent e;
    e.kind = kind;
    return e;
  }
  void Add(WireEvent event) {
    event.thread = kernel::ThreadControl::Self().Id();
    {
      std::lock_guard<std::mutex> guard(lock_);
      event.at = kernel::Clock::now();
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }

  std::shared_ptr<debugout::Sink> trace_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<WireEvent> events_;
};

}  // namespace systemtest
