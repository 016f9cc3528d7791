// Parses the script language: a line into words, the words into a step.
#include "frontends/headless/Script.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "text/WideText.h"

namespace headless {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// Splits a line into words; a word in double quotes keeps its spaces and
// its escapes are resolved. Quoted words are marked.
struct Word {
  std::string text;
  bool quoted = false;
};

std::optional<std::string> Split(std::string_view line, std::vector<Word>& words) {
  size_t i = 0;
  while (i < line.size()) {
    if (std::isspace(static_cast<unsigned char>(line[i]))) {
      ++i;
      continue;
    }
    Word word;
    if (line[i] == '"') {
      word.quoted = true;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c != '\\') {
          word.text += c;
          continue;
        }
        if (i >= line.size()) return "a backslash ends the text";
        char e = line[i++];
        switch (e) {
          case 'r':
            word.text += '\r';
            break;
          case 'n':
            word.text += '\n';
            break;
          case 't':
            word.text += '\t';
            break;
          case '\\':
          case '"':
            word.text += e;
            break;
          default:
            return std::string("unknown escape \\") + e + " (use \\r \\n \\t \\\\ \\\")";
        }
      }
      if (!closed) return "the quoted text is not closed";
      if (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
        return "a space must follow the quoted text";
      }
    } else {
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) word.text += line[i++];
    }
    words.push_back(std::move(word));
  }
  return std::nullopt;
}

std::optional<long long> Number(const std::string& s) {
  if (s.empty()) return std::nullopt;
  size_t start = (s[0] == '-') ? 1 : 0;
  int base = 10;
  if (s.size() > start + 2 && s[start] == '0' && (s[start + 1] == 'x' || s[start + 1] == 'X')) {
    base = 16;
    start += 2;
  }
  if (start >= s.size()) return std::nullopt;
  long long value = 0;
  for (size_t i = start; i < s.size(); ++i) {
    int digit;
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFLL) return std::nullopt;
  }
  return s[0] == '-' ? -value : value;
}

bool IsDuration(const std::string& s) {
  return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0])) &&
         std::isalpha(static_cast<unsigned char>(s.back()));
}

std::optional<std::chrono::milliseconds> Duration(const std::string& s) {
  size_t digits = 0;
  while (digits < s.size() && std::isdigit(static_cast<unsigned char>(s[digits]))) ++digits;
  if (digits == 0 || digits > 9) return std::nullopt;
  long long value = std::stoll(s.substr(0, digits));
  std::string unit = Lower(s.substr(digits));
  if (unit == "ms") return std::chrono::milliseconds(value);
  if (unit == "s") return std::chrono::milliseconds(value * 1000);
  if (unit == "m" || unit == "min") return std::chrono::milliseconds(value * 60000);
  return std::nullopt;
}

const std::map<std::string, BYTE>& KeyNames() {
  static const auto* names = new std::map<std::string, BYTE>{
      {"enter", VK_RETURN}, {"return", VK_RETURN},  {"esc", VK_ESCAPE},    {"escape", VK_ESCAPE}, {"tab", VK_TAB},
      {"space", VK_SPACE},  {"backspace", VK_BACK}, {"delete", VK_DELETE}, {"del", VK_DELETE},    {"up", VK_UP},
      {"down", VK_DOWN},    {"left", VK_LEFT},      {"right", VK_RIGHT},   {"home", VK_HOME},     {"end", VK_END},
      {"pgup", VK_PRIOR},   {"pageup", VK_PRIOR},   {"pgdn", VK_NEXT},     {"pagedown", VK_NEXT},
  };
  return *names;
}

std::optional<std::string> ParseKeys(const std::string& spec, Step& step) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : spec) {
    if (c == '+') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    std::string m = Lower(parts[i]);
    if (m == "ctrl" || m == "control") {
      step.modifiers |= screen::kControl;
    } else if (m == "shift") {
      step.modifiers |= screen::kShift;
    } else if (m == "alt") {
      step.modifiers |= screen::kAlt;
    } else {
      return "unknown modifier '" + parts[i] + "' (ctrl, shift or alt)";
    }
  }
  std::string key = Lower(parts.back());
  if (key.size() == 1 && (std::isalnum(static_cast<unsigned char>(key[0])))) {
    step.vk = static_cast<BYTE>(std::toupper(static_cast<unsigned char>(key[0])));
    return std::nullopt;
  }
  if (auto it = KeyNames().find(key); it != KeyNames().end()) {
    step.vk = it->second;
    return std::nullopt;
  }
  if (key.size() >= 2 && key[0] == 'f') {
    auto n = Number(key.substr(1));
    if (n && *n >= 1 && *n <= 12) {
      step.vk = static_cast<BYTE>(VK_F1 + *n - 1);
      return std::nullopt;
    }
  }
  if (auto n = Number(key); n && *n > 0 && *n <= 0xFF) {
    step.vk = static_cast<BYTE>(*n);
    return std::nullopt;
  }
  return "unknown key '" + parts.back() + "' (a letter, a digit, enter, esc, tab, space, backspace, delete, the " +
         "arrows, home, end, pgup, pgdn, f1-f12 or a virtual-key number)";
}

std::optional<int> ButtonId(const std::string& name) {
  static const std::map<std::string, int> buttons{{"ok", IDOK},       {"cancel", IDCANCEL}, {"abort", IDABORT},
                                                  {"retry", IDRETRY}, {"ignore", IDIGNORE}, {"yes", IDYES},
                                                  {"no", IDNO}};
  auto it = buttons.find(Lower(name));
  if (it == buttons.end()) return std::nullopt;
  return it->second;
}

// ------------------------------------------------------------- steps
//
// One parser per step kind. Each gets the step's words (the verb first) and
// fills the step; it returns an error message, or nothing when the step is
// sound. The table below maps each verb to its kind and parser.

using Words = std::vector<Word>;
using Error = std::optional<std::string>;

bool CountIn(const Words& words, size_t least, size_t most) { return words.size() >= least && words.size() <= most; }

std::string Usage(std::string_view form) { return "expected '" + std::string(form) + "'"; }

// A command or menu item identifier: 0 to 65535.
Error IdAt(const Words& words, size_t at, const char* what, UINT& out) {
  auto n = Number(words[at].text);
  if (!n || *n < 0 || *n > 0xFFFF)
    return std::string(what) + " must be a number from 0 to 65535, not '" + words[at].text + "'";
  out = static_cast<UINT>(*n);
  return std::nullopt;
}

Error TimeoutAt(const Words& words, size_t at, Step& step) {
  auto d = Duration(words[at].text);
  if (!d) return "'" + words[at].text + "' is no duration (write it with a unit: 500ms, 10s, 2m)";
  step.timeout = *d;
  return std::nullopt;
}

// The optional time limit that closes `answer`, `wait`, `wait-window` and `dialog`.
Error OptionalTimeoutAt(const Words& words, size_t at, Step& step) {
  return words.size() == at + 1 ? TimeoutAt(words, at, step) : std::nullopt;
}

Error ParseCommand(const Words& words, Step& step) {
  if (!CountIn(words, 2, 2)) return Usage("command <id>");
  return IdAt(words, 1, "the command", step.id);
}

Error ParseKey(const Words& words, Step& step) {
  if (!CountIn(words, 2, 2)) return Usage("key <keys>, e.g. key ctrl+q");
  return ParseKeys(words[1].text, step);
}

Error ParseMenu(const Words& words, Step& step) {
  if (!CountIn(words, 3, 3)) return Usage("menu <button> <id>");
  auto button = Number(words[1].text);
  if (!button || *button < 0 || *button > 63)
    return "the menu button must be a number from 0, not '" + words[1].text + "'";
  step.button = static_cast<int>(*button);
  return IdAt(words, 2, "the menu item", step.id);
}

Error ParseDone(const Words& words, Step&) {
  if (!CountIn(words, 1, 1)) return Usage("done");
  return std::nullopt;
}

Error ParseAnswer(const Words& words, Step& step) {
  if (!CountIn(words, 2, 3)) return Usage("answer <ok|cancel|yes|no|abort|retry|ignore> [<timeout>]");
  auto button = ButtonId(words[1].text);
  if (!button) return "unknown answer '" + words[1].text + "' (ok, cancel, yes, no, abort, retry or ignore)";
  step.result = *button;
  return OptionalTimeoutAt(words, 2, step);
}

Error ParseWait(const Words& words, Step& step) {
  if (!CountIn(words, 2, 3) || !words[1].quoted) return Usage("wait \"<text>\" [<timeout>]");
  step.text = text::FromUtf8(words[1].text);
  if (step.text.empty()) return "the text to wait for is empty";
  return OptionalTimeoutAt(words, 2, step);
}

// Code and time limit may come in either order: a duration carries a unit.
Error ParseWaitExit(const Words& words, Step& step) {
  if (!CountIn(words, 1, 3)) return Usage("wait-exit [<code>] [<timeout>]");
  for (size_t i = 1; i < words.size(); ++i) {
    if (IsDuration(words[i].text)) {
      if (step.timeout) return "two timeouts given";
      if (auto error = TimeoutAt(words, i, step)) return error;
      continue;
    }
    auto code = Number(words[i].text);
    if (!code || step.exitCode || *code < INT32_MIN || *code > INT32_MAX) {
      return "'" + words[i].text + "' is neither an exit code nor a duration";
    }
    step.exitCode = static_cast<int>(*code);
  }
  return std::nullopt;
}

Error ParseWaitWindow(const Words& words, Step& step) {
  if (!CountIn(words, 2, 3) || !words[1].quoted) return Usage("wait-window \"<caption>\" [<timeout>]");
  step.text = text::FromUtf8(words[1].text);
  if (step.text.empty()) return "the caption to wait for is empty";
  return OptionalTimeoutAt(words, 2, step);
}

// A button by its answer's name, by its identifier, or (quoted, or neither
// of those) by its text.
Error ParseDialog(const Words& words, Step& step) {
  if (!CountIn(words, 2, 3)) return Usage("dialog <ok|cancel|yes|no|abort|retry|ignore|id|\"text\"> [<timeout>]");
  const Word& button = words[1];
  if (button.text.empty()) return "the button's text is empty";
  if (auto named = ButtonId(button.text); named && !button.quoted) {
    step.result = *named;
  } else if (auto n = Number(button.text); n && !button.quoted) {
    if (*n < 0 || *n > 0xFFFF) return "the button must be a number from 0 to 65535, not '" + button.text + "'";
    step.result = static_cast<int>(*n);
  } else {
    step.text = text::FromUtf8(button.text);
  }
  return OptionalTimeoutAt(words, 2, step);
}

Error ParseTimeout(const Words& words, Step& step) {
  if (!CountIn(words, 2, 2)) return Usage("timeout <duration>");
  return TimeoutAt(words, 1, step);
}

Error ParseSaveLog(const Words& words, Step& step) {
  if (!CountIn(words, 2, 2)) return Usage("save-log <path>");
  step.path = words[1].text;
  return std::nullopt;
}

Error ParseSaveScreen(const Words& words, Step& step) {
  if (!CountIn(words, 2, 2)) return Usage("save-screen <path>");
  step.path = words[1].text;
  return std::nullopt;
}

struct StepSyntax {
  std::string_view verb;
  Step::Kind kind;
  Error (*parse)(const Words&, Step&);
};

constexpr StepSyntax kSteps[] = {
    {"command", Step::Kind::kCommand, ParseCommand},
    {"key", Step::Kind::kKey, ParseKey},
    {"menu", Step::Kind::kMenu, ParseMenu},
    {"done", Step::Kind::kDone, ParseDone},
    {"answer", Step::Kind::kAnswer, ParseAnswer},
    {"wait", Step::Kind::kWait, ParseWait},
    {"wait-exit", Step::Kind::kWaitExit, ParseWaitExit},
    {"wait-window", Step::Kind::kWaitWindow, ParseWaitWindow},
    {"dialog", Step::Kind::kDialog, ParseDialog},
    {"timeout", Step::Kind::kTimeout, ParseTimeout},
    {"save-log", Step::Kind::kSaveLog, ParseSaveLog},
    {"save-screen", Step::Kind::kSaveScreen, ParseSaveScreen},
};

// Parses one step from its words; returns an error message or nullopt.
Error ParseWords(const Words& words, Step& step) {
  const std::string verb = Lower(words[0].text);
  for (const StepSyntax& syntax : kSteps) {
    if (syntax.verb != verb) continue;
    step.kind = syntax.kind;
    return syntax.parse(words, step);
  }
  return "unknown step '" + words[0].text +
         "' (command, key, menu, done, answer, dialog, wait, wait-window, wait-exit, timeout, save-log or "
         "save-screen)";
}

}  // namespace

void ParseStep(std::string_view line, int lineNumber, Script& script) {
  if (script.error) return;
  std::string_view trimmed = line;
  while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front()))) trimmed.remove_prefix(1);
  while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) trimmed.remove_suffix(1);
  if (trimmed.empty() || trimmed[0] == '#') return;
  std::vector<Word> words;
  Step step;
  step.line = lineNumber;
  step.source = std::string(trimmed);
  std::optional<std::string> error = Split(trimmed, words);
  if (!error) error = ParseWords(words, step);
  if (error) {
    script.error = ParseError{lineNumber, *error};
    return;
  }
  script.steps.push_back(std::move(step));
}

Script ParseScript(std::string_view text, int firstLine) {
  Script script;
  int number = firstLine;
  while (!script.error) {
    size_t end = text.find('\n');
    ParseStep(text.substr(0, end), number++, script);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return script;
}

}  // namespace headless
