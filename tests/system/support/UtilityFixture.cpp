#include "support/UtilityFixture.h"

#include "device/Device.h"
#include "relay/Relay.h"
#include "shell/Shell.h"
#include "update/CeChat.h"
#include "update/Update.h"
#include "windowing/Desktop.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);

namespace systemtest {

void ResetSystemGlobals() {
  LogLevel = 3;
  KeepInFront = 1;
  MenuBar = nullptr;
  RelayPartner = PARTNER_IRDA;
  RelayRunning = 1;
  ModulePort = INVALID_HANDLE_VALUE;
  PartnerPort = INVALID_HANDLE_VALUE;
  ModuleToPartnerHandle = INVALID_HANDLE_VALUE;
  PartnerToModuleHandle = INVALID_HANDLE_VALUE;
  UseFixedSize = 0;
  UpdateThreadHandle = INVALID_HANDLE_VALUE;
  CastThreadHandle = INVALID_HANDLE_VALUE;
}

void UtilityFixture::SetUp() {
  static const std::string desktop = windowing::UsePrivateDesktop();
  (void)desktop;
  trace_ = std::make_shared<debugout::MemorySink>();
  debugout::SetSink(trace_);
  options_.clockSpeed = 50;
  handset_ = std::make_unique<handset::Handset>();
}

void UtilityFixture::TearDown() {
  if (running_) CloseUtility();
  // On the handset a program's window class goes with its process; here the
  // next test starts the program again in the same process.
  if (handset_->Instance()) UnregisterClassW(TEXT("Firmware Utility"), handset_->Instance());
  handset_->Shutdown();
  debugout::SetSink(nullptr);
  ResetSystemGlobals();
}

void UtilityFixture::StartUtility(bool expectWindow) {
  std::string error;
  ASSERT_TRUE(handset_->Boot(options_, &error)) << error;
  user_ = std::make_unique<headless::ScriptedUser>(u"Firmware Utility");
  program_ = std::make_unique<headless::ProgramThread>(&WinMain, handset_->Instance(), SW_SHOW);
  running_ = true;
  if (expectWindow) {
    ASSERT_TRUE(user_->WaitForLogText(u"Firmware Version", 30s)) << "no banner";
  }
}

std::optional<int> UtilityFixture::CloseUtility() {
  running_ = false;
  if (program_->Running()) user_->Command(101);
  return program_->WaitForExit(30s);
}

LRESULT UtilityFixture::Send(UINT command) { return SendMessageW(Window(), WM_COMMAND, command, 0); }

bool UtilityFixture::WaitTrace(std::u16string_view needle, std::chrono::milliseconds timeout) {
  return trace_->WaitFor(needle, headless::DeadlineAfter(timeout));
}

size_t UtilityFixture::Occurrences(std::u16string_view haystack, std::u16string_view needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::u16string_view::npos; at = haystack.find(needle, at + 1)) ++count;
  return count;
}

}  // namespace systemtest
