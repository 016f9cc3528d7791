// The terminal's keys, in one table: what each key does where, and the
// words for it in the key help (--help), the help line under the frame and
// the README's table; with the names of the commands the prompt takes.
// HandleKey (Keys.h) acts on it; nothing else says what a key does.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace terminal {

// Where the person is; one at a time, the first that holds in this order:
// the handset rebooting, the command prompt, a message box on top, an open
// menu, a dialog on top, else the main screen.
enum KeyContext : unsigned {
  kOnMainScreen = 1,
  kInDialog = 2,
  kInMenu = 4,
  kInBox = 8,
  kInPrompt = 16,
  kWhileRebooting = 32,
};
inline constexpr unsigned kAnywhere = kOnMainScreen | kInDialog | kInMenu | kInBox | kInPrompt;
// Where a key that no binding takes goes to the program (else it is ignored).
inline constexpr unsigned kRestToProgram = kOnMainScreen | kInDialog;

enum class KeyAction {
  kInterrupt,   // Ctrl+C: the person wants out
  kRedraw,      // repaint the whole terminal
  kOpenPrompt,  // the command prompt
  kOpenMenu,    // the first menu-bar button's popup
  kPressDone,   // the title bar's done button, an open menu closed first
  kToProgram,   // the key goes to the program as it is
  kMenuPrevious,
  kMenuNext,
  kMenuFirst,
  kMenuLast,
  kMenuChoose,    // the item; a sub-menu opens
  kMenuRight,     // into the sub-menu, else the next button
  kMenuLeft,      // out of the sub-menu, else the previous button
  kMenuBack,      // closes the sub-menu, else the menu
  kMenuClose,     // closes the whole menu
  kMenuMnemonic,  // the item whose mnemonic the character is
  kBoxAnswer,     // with the chosen button
  kBoxCancel,     // with Cancel, or the only button
  kBoxNext,
  kBoxPrevious,
  kBoxLetter,  // with the button whose name starts with the character
  kPromptSend,
  kPromptCancel,
  kPromptErase,
  kPromptType,
};

// A key: a virtual key with the modifiers held (screen::Modifiers); or the
// key that types `ch` (e.g. ':'); or, with neither, any key that types a
// character without Ctrl or Alt.
struct KeySpec {
  uint8_t vk = 0;
  unsigned modifiers = 0;
  char32_t ch = 0;
  bool AnyCharacter() const { return vk == 0 && ch == 0; }
};

struct KeyBinding {
  unsigned where;  // KeyContext bits
  std::vector<KeySpec> keys;
  KeyAction action;
  const char* does;    // the key help's and the README's words
  const char* hint;    // the help line's words; nullptr: not on it
  unsigned hintWhere;  // the contexts whose help line shows `hint`
};

// In the order the help line and the key help show them. No two bindings
// that share a context share a key.
const std::vector<KeyBinding>& KeyBindings();

// The names keys are written with: "Enter", "Esc", "PgUp", "F10", ...
// (letters and digits stand for themselves).
const std::vector<std::pair<uint8_t, std::string>>& KeyNames();
// A key as the help writes it: "Ctrl+O", "Shift+Tab", ":", "a character".
std::string KeyText(const KeySpec& key);

// The names the command prompt takes besides numbers ("about" -> 120):
// the utility's commands, most of them not on its menu.
const std::vector<std::pair<std::string, UINT>>& CommandNames();

// The help line under the frame in `context`.
std::u32string HelpLine(KeyContext context);
// Every binding, grouped by where it applies: for --help.
const char* KeyHelpText();
// Every binding as the README's table (| Key | Where | Does |).
std::string KeyTableMarkdown();

}  // namespace terminal
