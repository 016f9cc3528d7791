#include "frontends/headless/Script.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "text/WideText.h"

namespace headless {
namespace {

constexpr std::chrono::milliseconds kDefaultTimeout{30000};

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

// Parses one step from its words; returns an error message or nullopt.
std::optional<std::string> ParseWords(const std::vector<Word>& words, Step& step) {
  const std::string verb = Lower(words[0].text);
  auto count = [&](size_t least, size_t most) { return words.size() >= least && words.size() <= most; };
  auto usage = [](const char* form) { return std::string("expected '") + form + "'"; };
  auto id = [&](size_t at, const char* what, UINT& out) -> std::optional<std::string> {
    auto n = Number(words[at].text);
    if (!n || *n < 0 || *n > 0xFFFF)
      return std::string(what) + " must be a number from 0 to 65535, not '" + words[at].text + "'";
    out = static_cast<UINT>(*n);
    return std::nullopt;
  };
  auto timeoutAt = [&](size_t at) -> std::optional<std::string> {
    auto d = Duration(words[at].text);
    if (!d) return "'" + words[at].text + "' is no duration (write it with a unit: 500ms, 10s, 2m)";
    step.timeout = *d;
    return std::nullopt;
  };

  if (verb == "command") {
    step.kind = Step::Kind::kCommand;
    if (!count(2, 2)) return usage("command <id>");
    return id(1, "the command", step.id);
  }
  if (verb == "key") {
    step.kind = Step::Kind::kKey;
    if (!count(2, 2)) return usage("key <keys>, e.g. key ctrl+q");
    return ParseKeys(words[1].text, step);
  }
  if (verb == "menu") {
    step.kind = Step::Kind::kMenu;
    if (!count(3, 3)) return usage("menu <button> <id>");
    auto button = Number(words[1].text);
    if (!button || *button < 0 || *button > 63)
      return "the menu button must be a number from 0, not '" + words[1].text + "'";
    step.button = static_cast<int>(*button);
    return id(2, "the menu item", step.id);
  }
  if (verb == "done") {
    step.kind = Step::Kind::kDone;
    if (!count(1, 1)) return usage("done");
    return std::nullopt;
  }
  if (verb == "answer") {
    step.kind = Step::Kind::kAnswer;
    if (!count(2, 3)) return usage("answer <ok|cancel|yes|no|abort|retry|ignore> [<timeout>]");
    auto button = ButtonId(words[1].text);
    if (!button) return "unknown answer '" + words[1].text + "' (ok, cancel, yes, no, abort, retry or ignore)";
    step.result = *button;
    return words.size() == 3 ? timeoutAt(2) : std::nullopt;
  }
  if (verb == "wait") {
    step.kind = Step::Kind::kWait;
    if (!count(2, 3) || !words[1].quoted) return usage("wait \"<text>\" [<timeout>]");
    step.text = text::FromUtf8(words[1].text);
    if (step.text.empty()) return "the text to wait for is empty";
    return words.size() == 3 ? timeoutAt(2) : std::nullopt;
  }
  if (verb == "wait-exit") {
    step.kind = Step::Kind::kWaitExit;
    if (!count(1, 3)) return usage("wait-exit [<code>] [<timeout>]");
    for (size_t i = 1; i < words.size(); ++i) {
      if (IsDuration(words[i].text)) {
        if (step.timeout) return "two timeouts given";
        if (auto error = timeoutAt(i)) return error;
      } else {
        auto code = Number(words[i].text);
        if (!code || step.exitCode || *code < INT32_MIN || *code > INT32_MAX) {
          return "'" + words[i].text + "' is neither an exit code nor a duration";
        }
        step.exitCode = static_cast<int>(*code);
      }
    }
    return std::nullopt;
  }
  if (verb == "wait-window") {
    step.kind = Step::Kind::kWaitWindow;
    if (!count(2, 3) || !words[1].quoted) return usage("wait-window \"<caption>\" [<timeout>]");
    step.text = text::FromUtf8(words[1].text);
    if (step.text.empty()) return "the caption to wait for is empty";
    return words.size() == 3 ? timeoutAt(2) : std::nullopt;
  }
  if (verb == "dialog") {
    step.kind = Step::Kind::kDialog;
    if (!count(2, 3)) return usage("dialog <ok|cancel|yes|no|abort|retry|ignore|id|\"text\"> [<timeout>]");
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
    return words.size() == 3 ? timeoutAt(2) : std::nullopt;
  }
  if (verb == "timeout") {
    step.kind = Step::Kind::kTimeout;
    if (!count(2, 2)) return usage("timeout <duration>");
    return timeoutAt(1);
  }
  if (verb == "save-log" || verb == "save-screen") {
    step.kind = verb == "save-log" ? Step::Kind::kSaveLog : Step::Kind::kSaveScreen;
    if (!count(2, 2)) return usage(verb == "save-log" ? "save-log <path>" : "save-screen <path>");
    step.path = words[1].text;
    return std::nullopt;
  }
  return "unknown step '" + words[0].text +
         "' (command, key, menu, done, answer, dialog, wait, wait-window, wait-exit, timeout, save-log or "
         "save-screen)";
}

std::string Quoted(std::u16string_view text) {
  std::string out = "\"";
  for (char c : text::ToUtf8(text)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
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

RunResult RunScript(const std::vector<Step>& steps, ScriptedUser& user, ProgramThread* program, std::ostream* trace) {
  RunResult result;
  std::chrono::milliseconds limit = kDefaultTimeout;
  auto fail = [&](const Step& step, std::string message) {
    result.ok = false;
    result.failedLine = step.line;
    result.message = "line " + std::to_string(step.line) + " (" + step.source + "): " + message;
    if (trace) *trace << "failed: " << result.message << "\n";
    return result;
  };
  auto seconds = [](std::chrono::milliseconds t) { return std::to_string(t.count() / 1000.0).substr(0, 5) + " s"; };
  auto ended = [&] { return program && !program->Running(); };
  for (const Step& step : steps) {
    std::chrono::milliseconds timeout = step.timeout.value_or(limit);
    std::string note;
    // A step that acts on the program waits for its main window first: a
    // step given before the program has come up would race its start.
    bool needsWindow = step.kind != Step::Kind::kAnswer && step.kind != Step::Kind::kWaitWindow &&
                       step.kind != Step::Kind::kWaitExit && step.kind != Step::Kind::kTimeout;
    if (needsWindow && !user.WaitUntilUp(timeout, ended)) {
      bool saves = step.kind == Step::Kind::kSaveLog || step.kind == Step::Kind::kSaveScreen;
      if (!ended()) return fail(step, "the program's main window did not come up within " + seconds(timeout));
      // What there is to save is still saved once the program has ended.
      if (!saves) return fail(step, "the program ended before its main window came up");
    }
    switch (step.kind) {
      case Step::Kind::kCommand:
        if (!user.MainWindow(timeout)) return fail(step, "no main window appeared within " + seconds(timeout));
        if (!user.Command(step.id)) return fail(step, "the main window refused the command");
        break;
      case Step::Kind::kKey:
        if (!user.Key(step.vk, step.modifiers, timeout)) {
          return fail(step, "no window came to the front to take the key within " + seconds(timeout));
        }
        break;
      case Step::Kind::kMenu:
        if (!user.MainWindow(timeout)) return fail(step, "no main window appeared within " + seconds(timeout));
        if (!user.Menu(step.button, step.id)) {
          return fail(step, "menu-bar button " + std::to_string(step.button) + " has no enabled item " +
                                std::to_string(step.id) + " (or the window is busy with a box or dialog)");
        }
        break;
      case Step::Kind::kDone:
        if (!user.Done()) return fail(step, "the window in front has no done button");
        break;
      case Step::Kind::kWaitWindow:
        if (!user.WaitForWindow(step.text, timeout)) {
          return fail(step, "no window " + Quoted(step.text) + " came to the front within " + seconds(timeout) +
                                " (in front: " + Quoted(ScriptedUser::FrontCaption(screen::Capture())) + ")");
        }
        break;
      case Step::Kind::kDialog: {
        std::u16string caption;
        switch (user.PressDialogButton(step.result, step.text, timeout, &caption)) {
          case DialogPress::kClosed:
            note = " -> " + Quoted(caption);
            break;
          case DialogPress::kNoDialog:
            return fail(step, "no dialog came to the front within " + seconds(timeout));
          case DialogPress::kNoButton:
            return fail(step, "the dialog " + Quoted(caption) + " has no button " + Quoted(step.text));
          case DialogPress::kStillOpen:
            return fail(step, "the dialog " + Quoted(caption) + " is still open " + seconds(timeout) +
                                  " after the button was pressed");
        }
        break;
      }
      case Step::Kind::kAnswer: {
        // The step is reported before the box is answered: the answer may
        // let the program reboot the handset, which ends the process at once.
        auto report = [&](const BoxTexts& box) {
          bool hasButton = std::find(box.buttons.begin(), box.buttons.end(), step.result) != box.buttons.end();
          if (trace && hasButton) {
            *trace << "line " << step.line << ": " << step.source << " -> " << Quoted(box.caption) << ": "
                   << Quoted(box.text) << std::endl;
          }
        };
        std::optional<BoxTexts> box = user.AnswerNextBox(step.result, timeout, report);
        if (!box) return fail(step, "no message box appeared within " + seconds(timeout));
        if (!box->accepted) return fail(step, "the box " + Quoted(box->caption) + " has no such button");
        continue;
      }
      case Step::Kind::kWait:
        if (!user.WaitForLogText(step.text, timeout)) {
          return fail(step, "the log view did not show " + Quoted(step.text) + " within " + seconds(timeout));
        }
        break;
      case Step::Kind::kWaitExit: {
        if (!program) return fail(step, "no program runs here to wait for");
        std::optional<int> code = program->WaitForExit(timeout);
        if (!code) return fail(step, "the program did not end within " + seconds(timeout));
        result.exitCode = code;
        note = " -> exit code " + std::to_string(*code);
        if (step.exitCode && *step.exitCode != *code) {
          return fail(step,
                      "the program ended with " + std::to_string(*code) + ", not " + std::to_string(*step.exitCode));
        }
        break;
      }
      case Step::Kind::kTimeout:
        limit = *step.timeout;
        break;
      case Step::Kind::kSaveLog:
        if (!user.WriteLog(step.path)) return fail(step, "cannot write " + step.path);
        break;
      case Step::Kind::kSaveScreen:
        if (!user.WriteScreen(step.path)) return fail(step, "cannot write " + step.path);
        break;
    }
    if (trace) *trace << "line " << step.line << ": " << step.source << note << "\n";
  }
  return result;
}

}  // namespace headless
