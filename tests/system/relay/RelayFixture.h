// Helpers for the relay's behaviour tests: the utility on the emulated
// handset, with the test playing the devices at the far ends of virtual
// lines (the module UART's partner, or the module itself).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "relay/Relay.h"
#include "serial/Serial.h"
#include "serial/VirtualPort.h"
#include "shell/Shell.h"
#include "support/UtilityFixture.h"

namespace systemtest {

using Bytes = std::vector<uint8_t>;

// Texts of the relay as the log view shows them.
inline constexpr char16_t kSettingsText[] = u"Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";
inline constexpr char16_t kHandlesText[] = u"one of the handles is INVALID_HANDLE_VALUE\r\n";
inline constexpr char16_t kReleasedText[] = u"COMs released, R/W threads stopped\r\n";
inline constexpr char16_t kToPartnerFailure[] = u"Fail to write to BT/Irda\r\n";
inline constexpr char16_t kToModuleFailure[] = u"Fail to write FF(GSM)";

// A spare port number for a module UART the test plays itself.
inline constexpr unsigned kTestModulePort = 4;

class RelayFixture : public UtilityFixture {
 protected:
  void SetUp() override {
    UtilityFixture::SetUp();
    // The copy threads poll with 1 ms read time-outs: at real speed that is
    // what the handset does, and a faster clock would make them spin.
    options_.clockSpeed = 1;
  }

  // Routes the module UART (registry Serial\Index) to a virtual line the
  // test plays, and makes the partner `partnerPort` a virtual line too.
  void PlayBothEnds(unsigned partnerPort, bool paced = false) {
    options_.pacedLines = paced;
    options_.ports[kTestModulePort] = {handset::PortChoice::Kind::Virtual, ""};
    options_.ports[partnerPort] = {handset::PortChoice::Kind::Virtual, ""};
    options_.registrySpecs.push_back("HKLM\\Drivers\\BuiltIn\\Serial\\Index=dword:" + std::to_string(kTestModulePort));
  }

  // The device end of virtual port `number`.
  static std::shared_ptr<serial::VirtualPort> Line(unsigned number) {
    return std::dynamic_pointer_cast<serial::VirtualPort>(serial::FindPort(number));
  }

  // Reads from a device end until `count` bytes came or `timeout` (real
  // time) passed; returns what came.
  static Bytes ReadAtDevice(serial::VirtualPort& line, size_t count, std::chrono::milliseconds timeout = 10s) {
    Bytes got(count);
    size_t have = 0;
    kernel::TimePoint deadline = headless::DeadlineAfter(timeout);
    while (have < count && kernel::Clock::now() < deadline) {
      have += line.Read(got.data() + have, count - have, deadline);
    }
    got.resize(have);
    return got;
  }

  // The same, taking bytes as they arrive rather than once their burst has
  // ended: for looking at a write still on the wire.
  static Bytes ReadArrivedAtDevice(serial::VirtualPort& line, size_t count, std::chrono::milliseconds timeout = 10s) {
    Bytes got(count);
    size_t have = 0;
    kernel::TimePoint deadline = headless::DeadlineAfter(timeout);
    while (have < count && kernel::Clock::now() < deadline) {
      have += line.Read(got.data() + have, count - have, kernel::Clock::now() + std::chrono::milliseconds(1));
    }
    got.resize(have);
    return got;
  }

  // Whatever reaches a device end within `quiet` (real time).
  static Bytes DrainAtDevice(serial::VirtualPort& line, std::chrono::milliseconds quiet) {
    Bytes got;
    uint8_t buffer[4096];
    kernel::TimePoint deadline = headless::DeadlineAfter(quiet);
    while (kernel::Clock::now() < deadline) {
      size_t n = line.Read(buffer, sizeof buffer, deadline);
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  static Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
      state = state * 1103515245u + 12345u;
      b = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
  }

  static Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

  // Starts the utility and the relay and waits for both copy threads.
  void StartRelayOrFail() {
    StartUtility();
    ASSERT_EQ(Send(153), 0);
    ASSERT_TRUE(WaitLog(kSettingsText));
    ASSERT_NE(ModulePort.load(), INVALID_HANDLE_VALUE);
    ASSERT_NE(PartnerPort.load(), INVALID_HANDLE_VALUE);
  }

  // The log view's text after the banner.
  std::u16string LogAfterBanner() {
    std::u16string log = Log();
    std::u16string banner = kBanner;
    return log.compare(0, banner.size(), banner) == 0 ? log.substr(banner.size()) : log;
  }

  // The log view's lines (without line ends) that contain `needle`, in order.
  std::vector<std::u16string> LogLinesWith(std::u16string_view needle) {
    std::vector<std::u16string> lines;
    std::u16string log = Log();
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find(u"\r\n", start);
      if (end == std::u16string::npos) end = log.size();
      std::u16string line = log.substr(start, end - start);
      if (line.find(needle) != std::u16string::npos) lines.push_back(line);
      start = end + 2;
    }
    return lines;
  }

  static std::u16string ToModuleLine(unsigned count) {
    return u">>> " + ToU16(std::to_string(count)) + u" bytes ->BT->FF->";
  }
  static std::u16string ToPartnerLine(unsigned count) {
    return ToU16(std::to_string(count)) + u" bytes <-BT<-FF<- <<<";
  }
  static std::u16string ToU16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

  // Waits until GetExitCodeThread reports something other than STILL_ACTIVE.
  static DWORD WaitThreadEnd(HANDLE thread, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    DWORD code = STILL_ACTIVE;
    while (GetExitCodeThread(thread, &code) && code == STILL_ACTIVE && std::chrono::steady_clock::now() < deadline) {
      Sleep(5);
    }
    return code;
  }

  static DWORD ExitCode(HANDLE thread) {
    DWORD code = 0xDEADBEEF;
    if (!GetExitCodeThread(thread, &code)) return 0xDEADBEEF;
    return code;
  }

  // The trace line of a copy thread that the release had to end by force.
  static std::u16string TerminationTrace(bool moduleToPartner) {
    return std::u16string(moduleToPartner ? u"ModuleToPartnerThread" : u"PartnerToModuleThread") +
           u" did not stop within 1000 ms, terminated!!\r\n";
  }
  // Every such line so far.
  std::vector<std::u16string> TerminationTraces() {
    std::vector<std::u16string> lines;
    for (const std::u16string& line : Trace()) {
      if (line.find(u"terminated!!") != std::u16string::npos) lines.push_back(line);
    }
    return lines;
  }

  static HANDLE OpenPort(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
};

}  // namespace systemtest
