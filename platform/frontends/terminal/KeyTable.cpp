// The key table and the texts made from it.
#include "frontends/terminal/KeyTable.h"

#include <algorithm>

#include "frontends/terminal/Grid.h"
#include "frontends/terminal/KeyCodes.h"

namespace terminal {
namespace {

KeySpec Key(uint8_t vk, unsigned modifiers = 0) { return KeySpec{vk, modifiers, 0}; }
KeySpec Typing(char32_t ch) { return KeySpec{0, 0, ch}; }
const KeySpec kAnyCharacter{};

const KeySpec kEnter = Key(VK_RETURN), kEsc = Key(VK_ESCAPE), kUp = Key(VK_UP), kDown = Key(VK_DOWN),
              kLeft = Key(VK_LEFT), kRight = Key(VK_RIGHT), kHome = Key(VK_HOME), kEnd = Key(VK_END), kF1 = Key(VK_F1),
              kF10 = Key(kVkF10), kSpace = Key(VK_SPACE), kTab = Key(VK_TAB);

// The where-words of a context.
constexpr std::pair<unsigned, const char*> kPlaces[] = {
    {kOnMainScreen, "on the main screen"}, {kInDialog, "in a dialog"},
    {kInMenu, "in an open menu"},          {kInBox, "in a message box"},
    {kInPrompt, "at the command prompt"},  {kWhileRebooting, "while the handset reboots"},
};

std::vector<std::string> PlacesIn(unsigned where) {
  std::vector<std::string> places;
  for (const auto& [bit, words] : kPlaces) {
    if (where & bit) places.emplace_back(words);
  }
  return places;
}

// "a", "a or b", "a, b or c".
std::string JoinOr(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += i + 1 == parts.size() ? " or " : ", ";
    out += parts[i];
  }
  return out;
}

// "on the main screen", "anywhere except at the command prompt", ...
std::string WhereText(unsigned where) {
  const unsigned missing = kAnywhere & ~where;
  std::string text;
  if (missing == 0) {
    text = "anywhere";
  } else if (PlacesIn(missing).size() < PlacesIn(where & kAnywhere).size()) {
    text = "anywhere except " + JoinOr(PlacesIn(missing));
  } else {
    return JoinOr(PlacesIn(where));
  }
  return (where & kWhileRebooting) ? text + ", also " + PlacesIn(kWhileRebooting)[0] : text;
}

std::string KeysText(const std::vector<KeySpec>& keys) {
  std::vector<std::string> names;
  for (const KeySpec& key : keys) names.push_back(KeyText(key));
  return JoinOr(names);
}

// What a binding does; the prompt's binding names the commands it takes.
std::string DoesText(const KeyBinding& b) {
  std::string does = b.does;
  if (b.action == KeyAction::kOpenPrompt) {
    std::vector<std::string> names;
    for (const auto& [name, id] : CommandNames()) names.push_back(name);
    does += " " + JoinOr(names);
  }
  return does;
}

// `text` broken at spaces into lines of at most `width` characters.
std::vector<std::string> Wrap(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  std::string line;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(at, end - at);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    at = end + 1;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string Capitalized(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 32);
  return text;
}

std::string BuildHelpText() {
  constexpr size_t kKeyIndent = 4, kDoesColumn = 23, kWidth = 79;
  std::string out = "The handset's screen is drawn in the middle of the terminal.\n";
  std::vector<unsigned> groups;
  for (const KeyBinding& b : KeyBindings()) {
    if (std::find(groups.begin(), groups.end(), b.where) == groups.end()) groups.push_back(b.where);
  }
  for (unsigned where : groups) {
    out += "  " + Capitalized(WhereText(where)) + ":\n";
    for (const KeyBinding& b : KeyBindings()) {
      if (b.where != where) continue;
      std::string line = std::string(kKeyIndent, ' ') + KeysText(b.keys);
      if (line.size() + 2 > kDoesColumn) {
        out += line + "\n";
        line.clear();
      }
      for (const std::string& part : Wrap(DoesText(b), kWidth - kDoesColumn)) {
        line.resize(kDoesColumn, ' ');
        out += line + part + "\n";
        line.clear();
      }
    }
  }
  const std::string rest = Capitalized(WhereText(kRestToProgram)) +
                           ", other keys go to the program as the virtual keys of a US keyboard, with Shift, Ctrl "
                           "and Alt as the terminal reports them.";
  for (const std::string& line : Wrap(rest, kWidth)) out += line + "\n";
  return out;
}

}  // namespace

const std::vector<KeyBinding>& KeyBindings() {
  using A = KeyAction;
  static const auto* bindings = new std::vector<KeyBinding>{
      // The main screen and dialogs; the help line shows them in this order.
      {kOnMainScreen,
       {kF1, kF10},
       A::kOpenMenu,
       "open the menu of the menu-bar button (\"System\", the handset's left soft key)",
       "F1 menu",
       kOnMainScreen},
      {kInDialog, {kEnter}, A::kToProgram, "to the dialog (the About box): OK", "Enter OK", kInDialog},
      {kInDialog, {kEsc}, A::kToProgram, "to the dialog (the About box): Cancel", "Esc cancel", kInDialog},
      {kOnMainScreen | kInDialog | kInMenu,
       {Key(kVkF2), Key('O', kModControl)},
       A::kPressDone,
       "the title bar's done button (\"ok\"); an open menu closes first",
       "F2 ok",
       kOnMainScreen | kInDialog},
      {kOnMainScreen,
       {Key(VK_PRIOR), Key(VK_NEXT), kUp, kDown, kLeft, kRight, kHome, kEnd},
       A::kToProgram,
       "to the focused control, with Ctrl or Shift too: the log view scrolls and moves its caret; a line wider "
       "than the view slides sideways with the caret (Up, then End shows the end of the line above)",
       "PgUp/PgDn/arrows log",
       kOnMainScreen},
      {kOnMainScreen,
       {Key('Q', kModControl)},
       A::kToProgram,
       "to the program: its shortcut for Exit",
       "^Q exit",
       kOnMainScreen},
      {kOnMainScreen | kInDialog | kInMenu | kInBox,
       {Typing(U':'), Key(kVkF5)},
       A::kOpenPrompt,
       "prompt for a command to send as WM_COMMAND (Enter sends it): a number, decimal or 0x hex, or a name:",
       ": command",
       kOnMainScreen | kInDialog},
      // An open menu.
      {kInMenu,
       {kUp},
       A::kMenuPrevious,
       "the previous item (separators and disabled items are skipped)",
       "Up/Down item",
       kInMenu},
      {kInMenu, {kDown}, A::kMenuNext, "the next item", nullptr, 0},
      {kInMenu, {kHome}, A::kMenuFirst, "the first item", nullptr, 0},
      {kInMenu, {kEnd}, A::kMenuLast, "the last item", nullptr, 0},
      {kInMenu,
       {kEnter, kSpace},
       A::kMenuChoose,
       "choose the highlighted item; on an item with a sub-menu, open it",
       "Enter choose",
       kInMenu},
      {kInMenu,
       {kRight},
       A::kMenuRight,
       "open the sub-menu; on a plain item, the next menu-bar button",
       "Left/Right",
       kInMenu},
      {kInMenu, {kLeft}, A::kMenuLeft, "leave the sub-menu; at the top, the previous menu-bar button", nullptr, 0},
      {kInMenu, {kEsc}, A::kMenuBack, "close the sub-menu, then the menu", "Esc close", kInMenu},
      {kInMenu, {kF1, kF10}, A::kMenuClose, "close the menu", nullptr, 0},
      {kInMenu, {kAnyCharacter}, A::kMenuMnemonic, "choose the item whose & mnemonic it is", nullptr, 0},
      // A message box on top.
      {kInBox,
       {kEnter, kSpace},
       A::kBoxAnswer,
       "answer with the chosen button (at first the default one)",
       "Enter answer",
       kInBox},
      {kInBox, {kEsc}, A::kBoxCancel, "answer with Cancel, or with the only button of an OK box", "Esc cancel", kInBox},
      {kInBox, {kRight, kTab, kDown}, A::kBoxNext, "choose the next button", "Left/Right button", kInBox},
      {kInBox, {kLeft, Key(VK_TAB, kModShift), kUp}, A::kBoxPrevious, "choose the previous button", nullptr, 0},
      {kInBox,
       {kAnyCharacter},
       A::kBoxLetter,
       "answer with the button whose name starts with it (y, n, o, c...)",
       nullptr,
       0},
      // The command prompt.
      {kInPrompt,
       {kEnter},
       A::kPromptSend,
       "send the command; the status line names one that is not",
       "Enter send",
       kInPrompt},
      {kInPrompt, {kEsc}, A::kPromptCancel, "leave the prompt, sending nothing", "Esc cancel", kInPrompt},
      {kInPrompt, {Key(VK_BACK)}, A::kPromptErase, "erase the last character", nullptr, 0},
      {kInPrompt,
       {kAnyCharacter},
       A::kPromptType,
       "add it to the command (up to 32 characters)",
       "(decimal, 0x hex or a name)",
       kInPrompt},
      // Everywhere.
      {kAnywhere, {Key('L', kModControl)}, A::kRedraw, "redraw the terminal", nullptr, 0},
      {kAnywhere | kWhileRebooting,
       {Key('C', kModControl)},
       A::kInterrupt,
       "quit at once; the terminal is restored and the process ends as by SIGINT",
       "Ctrl+C quit",
       kWhileRebooting},
  };
  return *bindings;
}

const std::vector<std::pair<uint8_t, std::string>>& KeyNames() {
  static const auto* names = [] {
    auto* list = new std::vector<std::pair<uint8_t, std::string>>{
        {VK_RETURN, "Enter"}, {VK_ESCAPE, "Esc"}, {VK_TAB, "Tab"},    {VK_SPACE, "Space"}, {VK_BACK, "Backspace"},
        {VK_DELETE, "Del"},   {VK_UP, "Up"},      {VK_DOWN, "Down"},  {VK_LEFT, "Left"},   {VK_RIGHT, "Right"},
        {VK_HOME, "Home"},    {VK_END, "End"},    {VK_PRIOR, "PgUp"}, {VK_NEXT, "PgDn"},
    };
    for (int n = 1; n <= 12; ++n) list->emplace_back(static_cast<uint8_t>(VK_F1 + n - 1), "F" + std::to_string(n));
    return list;
  }();
  return *names;
}

std::string KeyText(const KeySpec& key) {
  if (key.AnyCharacter()) return "a character";
  if (key.ch) return ToUtf8(std::u32string(1, key.ch));
  std::string text;
  if (key.modifiers & kModControl) text += "Ctrl+";
  if (key.modifiers & kModAlt) text += "Alt+";
  if (key.modifiers & kModShift) text += "Shift+";
  const auto& names = KeyNames();
  auto named = std::find_if(names.begin(), names.end(), [&](const auto& n) { return n.first == key.vk; });
  if (named != names.end()) return text + named->second;
  if ((key.vk >= 'A' && key.vk <= 'Z') || (key.vk >= '0' && key.vk <= '9')) return text + static_cast<char>(key.vk);
  static const char kHex[] = "0123456789ABCDEF";
  return text + "0x" + kHex[key.vk >> 4] + kHex[key.vk & 0xF];
}

const std::vector<std::pair<std::string, UINT>>& CommandNames() {
  static const auto* names = new std::vector<std::pair<std::string, UINT>>{
      {"exit", 101},      {"update", 118},    {"about", 120},     {"reboot", 150},    {"resume", 151}, {"suspend", 152},
      {"reset", 154},     {"relay", 153},     {"release", 155},   {"bt", 110},        {"ir", 111},     {"irda", 116},
      {"loglevel0", 112}, {"loglevel1", 113}, {"loglevel2", 114}, {"loglevel3", 115},
  };
  return *names;
}

std::u32string HelpLine(KeyContext context) {
  std::string line;
  for (const KeyBinding& b : KeyBindings()) {
    if (!b.hint || !(b.hintWhere & context)) continue;
    line += (line.empty() ? "" : "  ") + std::string(b.hint);
  }
  return ToU32(line);
}

const char* KeyHelpText() {
  static const auto* text = new std::string(BuildHelpText());
  return text->c_str();
}

std::string KeyTableMarkdown() {
  std::string out = "| Key | Where | Does |\n|---|---|---|\n";
  for (const KeyBinding& b : KeyBindings()) {
    out += "| " + KeysText(b.keys) + " | " + WhereText(b.where) + " | " + DoesText(b) + " |\n";
  }
  return out;
}

}  // namespace terminal
