#include "handset/launcher/Report.h"

#include <cmath>
#include <cstdio>
#include <fstream>

namespace launcher {
namespace {

// The length of the UTF-8 sequence at `text[at]`, or 0 when the bytes there
// are no character (a stray continuation byte, a cut or overlong sequence,
// a surrogate, beyond U+10FFFF).
size_t SequenceLength(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string Optional(const std::optional<std::string>& text) { return text ? JsonString(*text) : "null"; }

std::string Seconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    size_t length = SequenceLength(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(at, length));
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
    at += length;
  }
  return out + "\"";
}

std::string ReportJson(const Report& r) {
  std::string json = "{";
  json += "\"outcome\":" + JsonString(r.outcome);
  json += ",\"exit_status\":" + std::to_string(r.exitStatus);
  json += ",\"failure\":" + Optional(r.failure);
  json += ",\"phase\":" + Optional(r.phase);
  json += ",\"attempts\":" + std::to_string(r.attempts);
  json += ",\"updates\":" + std::to_string(r.updates);
  json += ",\"image_bytes\":" + (r.imageBytes ? std::to_string(*r.imageBytes) : std::string("null"));
  json += ",\"image_bytes_acknowledged\":" + std::to_string(r.imageBytesAcknowledged);
  json += ",\"update_seconds\":" + (r.updateSeconds ? Seconds(*r.updateSeconds) : std::string("null"));
  json += ",\"run_seconds\":" + Seconds(r.runSeconds);
  json += ",\"com1\":" + Optional(r.com1);
  json += ",\"verify\":" + Optional(r.verify);
  json += ",\"flash_holds_image\":" +
          (r.flashHoldsImage ? std::string(*r.flashHoldsImage ? "true" : "false") : std::string("null"));
  json += ",\"rebooted\":" + std::string(r.rebooted ? "true" : "false");
  return json + "}\n";
}

bool WriteReport(const std::string& path, const Report& report) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << ReportJson(report);
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace launcher
