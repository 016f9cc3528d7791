// A test fixture that runs the utility on an emulated handset inside the
// test process: the handset is booted, the program's main runs on a thread
// of its own, a scripted user drives it, and its trace lines are kept in
// memory.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontends/headless/ScriptedUser.h"
#include "handset/Handset.h"
#include "kernel/DebugOutput.h"

namespace systemtest {

using namespace std::chrono_literals;

inline constexpr char16_t kBanner[] = u"Orvane Q88 Firmware Utility\r\n<< Firmware Version: V.4.3.0 >>\r\n";

class UtilityFixture : public ::testing::Test {
 protected:
  // Adjust before StartUtility(): the handset's options.
  handset::HandsetOptions options_;

  void SetUp() override;
  void TearDown() override;

  // Boots the handset, starts the program and waits for its banner (unless
  // the start is expected to fail: then the banner is not awaited).
  void StartUtility(bool expectWindow = true);
  // Closes the main window (command 101) and returns the program's exit code.
  std::optional<int> CloseUtility();

  HWND Window() { return user_->MainWindow(); }
  headless::ScriptedUser& User() { return *user_; }
  handset::Handset& Handset() { return *handset_; }
  headless::ProgramThread& Program() { return *program_; }

  // WM_COMMAND(id) sent to the main window, returning the handler's result.
  LRESULT Send(UINT command);
  std::u16string Log() { return user_->LogText(); }
  // Every trace line so far, in order.
  std::vector<std::u16string> Trace() { return trace_->Texts(); }
  size_t TraceCount(std::u16string_view line) { return trace_->Count(line); }
  bool WaitTrace(std::u16string_view needle, std::chrono::milliseconds timeout = 30s);
  bool WaitLog(std::u16string_view needle, std::chrono::milliseconds timeout = 30s) {
    return user_->WaitForLogText(needle, timeout);
  }
  // Occurrences of `needle` in `haystack`.
  static size_t Occurrences(std::u16string_view haystack, std::u16string_view needle);

  std::shared_ptr<debugout::MemorySink> trace_;
  std::unique_ptr<handset::Handset> handset_;
  std::unique_ptr<headless::ProgramThread> program_;
  std::unique_ptr<headless::ScriptedUser> user_;
  bool running_ = false;
};

// The system's shared globals back at their initial values, so tests in one
// process do not inherit each other's settings.
void ResetSystemGlobals();

}  // namespace systemtest
