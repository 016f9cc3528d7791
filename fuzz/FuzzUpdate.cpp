// The whole update (UpdateThread and everything it calls) against a module
// whose every answer comes from the fuzzer's bytes: the awaited byte, noise
// before it, noise without it, a break or a line error, a failed or short
// write of the host. When the bytes run out the module answers as it
// should, so every run ends.
//
// Deterministic: the module answers only on the update thread itself, from
// inside the trace lines the update writes when it starts waiting for a byte
// ("Waiting for char -> X h") and when it has read one ("A byte got ...").
// Whatever the module sends is on the line before the update looks again,
// and a fresh answer is given exactly when the update would otherwise wait
// with nothing to come. The casting thread's wake-up bytes are dropped.
//
// Once the bytes have run out the module answers right up to the image;
// during the image the line goes away instead (every wait then fails at
// once and the transfer ends as failed), which is quicker than moving the
// rest of the image.
#include <windows.h>

#include <sys/prctl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "board/Board.h"
#include "devices/ril/HostRadio.h"
#include "devices/ril/RilDriver.h"
#include "frontends/headless/ScriptedUser.h"
#include "handset/board/HandsetBoard.h"
#include "kernel/Clock.h"
#include "kernel/Modules.h"
#include "resources/ProgramImage.h"
#include "serial/Serial.h"
#include "shell/Shell.h"
#include "kernel/DebugOutput.h"
#include "update/CeChat.h"
#include "update/Update.h"
#include "windowing/Desktop.h"

namespace {

constexpr uint8_t kSectionAnswer = 0xAA;

// The module, scripted by the fuzzer's bytes. Lives on the update thread's
// trace calls.
class ScriptedModule : public debugout::Sink {
 public:
  void Start(const uint8_t* data, size_t size, std::shared_ptr<serial::VirtualPort> line) {
    data_ = data;
    size_ = size;
    next_ = 0;
    line_ = std::move(line);
    awaited_ = 0;
    imagePhase_ = false;
    answers_ = 0;
  }

  void Write(std::u16string_view text) override {
    if (!line_) return;
    // What the host sent is of no interest; the line must not fill up.
    line_->DiscardInput();
    if (text.find(u"Send 0x50 to configure baudrate") != std::u16string_view::npos) imagePhase_ = true;
    if (StartsWith(text, u"Waiting for char -> ")) {
      awaited_ = static_cast<uint8_t>(std::stoul(Narrow(text.substr(20)), nullptr, 16));
      if (QueuedAtHost() == 0) Answer(true);
    } else if (StartsWith(text, u"A byte got from KRX6A : ")) {
      size_t comma = text.rfind(u" , ");
      if (comma == std::u16string_view::npos) return;
      auto value = static_cast<uint8_t>(std::stoul(Narrow(text.substr(comma + 3)), nullptr, 16));
      // Read to the last byte without the awaited one: the update would
      // wait now with nothing to come.
      if (value != awaited_ && QueuedAtHost() == 0) Answer(false);
    }
  }

 private:
  static bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
  }
  static std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
      if (c > 0x7F) break;
      out.push_back(static_cast<char>(c));
    }
    return out;
  }

  // What the update has received and not read yet. Only asked while no
  // line condition is pending at the host (the update clears each before it
  // reads on), so clearing the error state changes nothing.
  static DWORD QueuedAtHost() {
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(UpdatePortHandle(), &errors, &stat)) return 0;
    return stat.cbInQue;
  }

  bool More() const { return next_ < size_; }
  uint8_t Next() { return More() ? data_[next_++] : 0; }

  void Send(std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) line_->Write(&b, 1);
  }
  void SendNoise(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      uint8_t b = Next();
      if (b == awaited_) b ^= 0x01;
      line_->Write(&b, 1);
    }
  }

  // `fresh`: the update has just begun to wait (a condition alone makes
  // that wait give up); otherwise it is in the middle of reading, where a
  // condition is cleared and the wait goes on.
  void Answer(bool fresh) {
    // Bounded however the script goes: answers beyond this are the last.
    if (!More() || ++answers_ > 4096) {
      if (imagePhase_) {
        serial::RemovePort(1);
      } else {
        Send({awaited_});
      }
      return;
    }
    uint8_t op = Next();
    switch (op % 8) {
      case 0:
      case 1:
      case 2:
        Send({awaited_});
        break;
      case 3:
        SendNoise(Next() % 8 + 1);
        Send({awaited_});
        break;
      case 4: {
        static constexpr serial::LineCondition kConditions[] = {
            serial::LineCondition::Break, serial::LineCondition::FramingError, serial::LineCondition::ParityError,
            serial::LineCondition::Overrun};
        line_->SendCondition(kConditions[Next() % 4]);
        if (!fresh) Answer(false);
        break;
      }
      case 5:
        SendNoise(Next() % 8 + 1);  // the update reads them and asks again
        break;
      case 6: {
        // A write of the host that fails or is cut short: only where the
        // casting thread is held, so that the write it hits is the update's.
        uint8_t how = Next();
        if (awaited_ == kSectionAnswer || imagePhase_) {
          if (how & 1) {
            line_->Faults().FailNext(1);
          } else {
            line_->Faults().ShortenNext(1, how >> 1);
          }
        }
        Answer(fresh);
        break;
      }
      case 7:
        // The awaited byte twice: the second stays queued for a later wait.
        Send({awaited_, awaited_});
        break;
    }
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t next_ = 0;
  std::shared_ptr<serial::VirtualPort> line_;
  uint8_t awaited_ = 0;
  bool imagePhase_ = false;
  unsigned answers_ = 0;
};

struct Harness {
  std::shared_ptr<ScriptedModule> module = std::make_shared<ScriptedModule>();
  handset::HandsetBoard* board = new handset::HandsetBoard;

  Harness() {
    windowing::UsePrivateDesktop();
    // Sleeps, pauses and the port's short holds cost next to nothing: a
    // second of the platform is a microsecond, and the threads made from
    // here on sleep no longer than asked.
    kernel::SetClockSpeed(1e6);
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    board::Install(board);
    AppInstance = kernel::RegisterProgramModule(u"fwutil.exe", resources::ProgramImage());
    serial::InitializeDriver();
    ril::InitRilDriver();
    ril::SetRadioHardware(ril::MakeNoRadio());
    debugout::SetSink(module);
    // The success box is answered like a person would.
    std::thread([] {
      headless::ScriptedUser user;
      for (;;) user.AnswerNextBox(IDOK, std::chrono::hours(24));
    }).detach();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness;
  serial::VirtualPortOptions options;
  options.paced = false;
  auto line = serial::ConfigureVirtualPort(1, options);
  harness->module->Start(data, size, line);
  UseFixedSize = 1;

  HANDLE thread = CreateThread(nullptr, 0, UpdateThread, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  DWORD code = STILL_ACTIVE;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  // The line could be opened and the update reached its end.
  if (code != 0) __builtin_trap();
  harness->module->Start(nullptr, 0, nullptr);
  return 0;
}
