// The firmware's AT responder, the modem the relay talks to, and the radio
// part it reports on.
#include <string>
#include <string_view>
#include <utility>

#include "radio/Module.h"
#include "radio/ModuleText.h"

namespace radio {
namespace {

using detail::Fmt;

constexpr size_t kAtLineLimit = 512;

bool IsLetter(uint8_t b, char upper) {
  return b == static_cast<uint8_t>(upper) || b == static_cast<uint8_t>(upper + 32);
}

}  // namespace

// ------------------------------------------------------------ AT commands

void Module::TakeAtByte(uint8_t b, kernel::TimePoint, Output& out) {
  if (echo_) {
    Emission e;
    e.bytes.push_back(b);
    ++record_.bytesSent;
    out.emissions.push_back(std::move(e));
  }
  // Hunt for the attention prefix; whatever comes before it is noise.
  if (atLine_.empty()) {
    if (IsLetter(b, 'A')) atLine_ = "A";
    return;
  }
  if (atLine_.size() == 1) {
    if (IsLetter(b, 'T')) {
      atLine_ += 'T';
    } else if (!IsLetter(b, 'A')) {
      atLine_.clear();
    }
    return;
  }
  if (b == '\r') {
    std::string line = std::move(atLine_);
    atLine_.clear();
    bool overflow = atOverflow_;
    atOverflow_ = false;
    if (overflow) {
      ++record_.atCommands;
      Emission e;
      std::string_view error = "\r\nERROR\r\n";
      e.bytes.assign(error.begin(), error.end());
      record_.bytesSent += e.bytes.size();
      out.emissions.push_back(std::move(e));
      out.log.push_back(Fmt("AT: a line of more than %zu characters -> ERROR", kAtLineLimit));
      return;
    }
    AtLine(std::move(line), out);
    return;
  }
  if (b == '\n') return;
  if (atLine_.size() < kAtLineLimit) {
    atLine_ += static_cast<char>(b);
  } else {
    atOverflow_ = true;
  }
}

void Module::AtLine(std::string line, Output& out) {
  ++record_.atCommands;
  std::string command;
  for (size_t i = 2; i < line.size(); ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    command += c;
  }
  while (!command.empty() && command.back() == ' ') command.pop_back();

  std::string info;
  bool ok = true;
  if (command.empty()) {
  } else if (command == "I" || command == "I0") {
    info = "Emulated GSM/GPRS radio module";
  } else if (command == "+CGMI") {
    info = "Emulated";
  } else if (command == "+CGMM") {
    info = "GSM/GPRS module";
  } else if (command == "+CGMR") {
    info = FirmwareRevision();
  } else if (command == "+CGSN") {
    info = "001010123456789";
  } else if (command == "+CSQ") {
    info = suspended_ ? "+CSQ: 99,99" : "+CSQ: 20,0";
  } else if (command == "+CFUN?") {
    info = suspended_ ? "+CFUN: 4" : "+CFUN: 1";
  } else if (command == "+COPS?") {
    info = suspended_ ? "+COPS: 0" : "+COPS: 0,0,\"EMULATED\"";
  } else if (command == "+CPIN?") {
    info = "+CPIN: READY";
  } else if (command == "E0" || command == "E" || command == "Z") {
    echo_ = false;
  } else if (command == "E1") {
    echo_ = true;
  } else {
    ok = false;
  }
  std::string reply;
  if (!info.empty()) reply = "\r\n" + info + "\r\n";
  reply += ok ? "\r\nOK\r\n" : "\r\nERROR\r\n";
  Emission e;
  e.bytes.assign(reply.begin(), reply.end());
  record_.bytesSent += e.bytes.size();
  out.emissions.push_back(std::move(e));
  std::string shown = line.size() > 60 ? line.substr(0, 60) + "..." : line;
  out.log.push_back("AT: " + shown + " -> " + (info.empty() ? "" : info + " ") + (ok ? "OK" : "ERROR"));
}

std::string Module::FirmwareRevision() const {
  // FNV-1a over the image: a different image shows a different revision.
  uint32_t hash = 2166136261u;
  for (uint8_t b : flash_.bytes) hash = (hash ^ b) * 16777619u;
  return Fmt("REV %zu-%08X", flash_.bytes.size(), hash);
}

// ------------------------------------------------------------ radio part

void Module::SetRadioSuspended(bool suspended) {
  std::lock_guard<std::mutex> guard(m_);
  suspended_ = suspended;
}

bool Module::RadioSuspended() const {
  std::lock_guard<std::mutex> guard(m_);
  return suspended_;
}

}  // namespace radio
