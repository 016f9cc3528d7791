// What one thread of the update did, as lines that a whole expected sequence
// can be compared with: "T <trace>", "W <count> [bytes]", "P <flags>",
// "reset", "reboot", ... and a builder for the expected side.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/WireJournal.h"

namespace systemtest {

using Kind = WireEvent::Kind;
using Bytes = std::vector<uint8_t>;

inline constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Control characters and everything beyond ASCII shown by code, so that a
// difference is visible in the failure message.
inline std::string Printable(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c == u'\r') {
      out += "\\r";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char code[16];
      std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned>(c));
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

inline std::string Hex(std::span<const uint8_t> bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    char text[4];
    std::snprintf(text, sizeof text, "%s%02X", out.empty() ? "" : " ", b);
    out += text;
  }
  return out;
}

// Writes of up to three bytes show their bytes; longer ones only their length.
inline std::string WriteLine(std::span<const uint8_t> bytes, DWORD written, bool ok) {
  std::string line = "W " + std::to_string(bytes.size());
  if (bytes.size() <= 3) line += " [" + Hex(bytes) + "]";
  if (!ok || written != bytes.size()) line += " wrote " + std::to_string(written) + (ok ? "" : " failed");
  return line;
}

inline std::string Describe(const WireEvent& e) {
  switch (e.kind) {
    case Kind::kTrace:
      return "T " + Printable(e.text);
    case Kind::kWrite:
      return WriteLine(e.bytes, e.count, e.ok);
    case Kind::kRead:
      return "R " + Hex(e.bytes);
    case Kind::kPurge: {
      char text[16];
      std::snprintf(text, sizeof text, "P %lX", static_cast<unsigned long>(e.count));
      return text;
    }
    case Kind::kSuspend:
      return "suspend";
    case Kind::kResume:
      return "resume";
    case Kind::kReset:
      return "reset";
    case Kind::kReboot:
      return "reboot";
    case Kind::kNote:
      return "N " + Printable(e.text);
  }
  return "?";
}

// The thread that wrote the first trace line containing `needle`; 0: none.
inline uint32_t ThreadOfTrace(const std::vector<WireEvent>& events, std::u16string_view needle) {
  for (const WireEvent& e : events) {
    if (e.kind == Kind::kTrace && e.text.find(needle) != e.text.npos) return e.thread;
  }
  return 0;
}

// Everything `thread` did except its reads (the traces show what was read),
// plus the test's notes.
inline std::vector<std::string> ThreadSequence(const std::vector<WireEvent>& events, uint32_t thread) {
  std::vector<std::string> lines;
  for (const WireEvent& e : events) {
    if (e.kind == Kind::kNote || (e.thread == thread && e.kind != Kind::kRead)) lines.push_back(Describe(e));
  }
  return lines;
}

// The expected side, built the way the update is described.
class Expected {
 public:
  Expected& Trace(std::u16string_view text) {
    lines_.push_back("T " + Printable(text));
    return *this;
  }
  Expected& Write(std::span<const uint8_t> bytes) {
    lines_.push_back(WriteLine(bytes, static_cast<DWORD>(bytes.size()), true));
    return *this;
  }
  Expected& Write(std::initializer_list<uint8_t> bytes) { return Write(Bytes(bytes)); }
  Expected& WriteOf(size_t length) { return Write(Bytes(length, 0)); }
  Expected& Purge() {
    lines_.push_back("P F");
    return *this;
  }
  Expected& Line(std::string line) {
    lines_.push_back(std::move(line));
    return *this;
  }
  Expected& SendByte(uint8_t b) {
    Write({b});
    return Trace(u" 1 char : " + HexText(b) + u" h sent \r\n");
  }
  // A wait for `awaited` that reads `received` (ending with it).
  Expected& Wait(uint8_t awaited, std::span<const uint8_t> received) {
    Trace(u"Waiting for char -> " + HexText(awaited) + u" h\r\n");
    for (uint8_t b : received) Got(b);
    return *this;
  }
  Expected& Wait(uint8_t awaited) { return Wait(awaited, Bytes{awaited}); }
  Expected& Got(uint8_t b) {
    return Trace(u"A byte got from KRX6A : " + std::u16string(1, static_cast<char16_t>(b)) + u" , " + HexText(b) +
                 u" h\r\n");
  }
  const std::vector<std::string>& Lines() const { return lines_; }

  static std::u16string HexText(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return std::u16string(text, text + std::strlen(text));
  }

 private:
  std::vector<std::string> lines_;
};

// Equal sequences; otherwise the first difference with a few lines around it.
inline ::testing::AssertionResult SameSequence(const std::vector<std::string>& actual,
                                               const std::vector<std::string>& expected) {
  size_t n = std::min(actual.size(), expected.size());
  size_t at = 0;
  while (at < n && actual[at] == expected[at]) ++at;
  if (at == n && actual.size() == expected.size()) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  failure << "sequences differ at line " << at << " (actual " << actual.size() << " lines, expected " << expected.size()
          << ")\n";
  size_t from = at >= 4 ? at - 4 : 0;
  failure << "--- actual\n";
  for (size_t i = from; i < std::min(actual.size(), at + 5); ++i)
    failure << (i == at ? "> " : "  ") << actual[i] << "\n";
  failure << "--- expected\n";
  for (size_t i = from; i < std::min(expected.size(), at + 5); ++i) {
    failure << (i == at ? "> " : "  ") << expected[i] << "\n";
  }
  return failure;
}

// A "HEX" resource of the program, as the utility's images are stored.
inline std::span<const uint8_t> StoredImage(HINSTANCE instance, WORD id) {
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCE(id), TEXT("HEX"));
  if (found == nullptr) return {};
  HGLOBAL loaded = LoadResource(instance, found);
  if (loaded == nullptr) return {};
  return {static_cast<const uint8_t*>(static_cast<const void*>(loaded)), SizeofResource(instance, found)};
}

inline uint8_t Xor(std::span<const uint8_t> bytes, size_t from = 0, size_t step = 1) {
  uint8_t x = 0;
  for (size_t i = from; i < bytes.size(); i += step) x ^= bytes[i];
  return x;
}

}  // namespace systemtest
