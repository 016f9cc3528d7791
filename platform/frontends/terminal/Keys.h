// What the front end does with a key: the key table's actions against the
// screen, the menu navigation, the chosen button of a box, the prompt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frontends/terminal/KeyCodes.h"
#include "frontends/terminal/KeyTable.h"
#include "frontends/terminal/Layout.h"
#include "windowing/Screen.h"

namespace terminal {

// What the front end does with a key; the live screen in the front end,
// a recorder in tests.
class ScreenActions {
 public:
  virtual ~ScreenActions() = default;
  virtual bool OpenMenu(int button) = 0;
  virtual void CloseMenu() = 0;
  virtual bool ChooseMenuItem(UINT id) = 0;
  virtual bool AnswerBox(uint64_t id, int result) = 0;
  virtual bool PressDone() = 0;
  virtual bool SendCommand(UINT id) = 0;
  virtual void Key(uint8_t vk, unsigned modifiers) = 0;
};

enum class KeyOutcome {
  kHandled,    // acted on or passed to the program
  kIgnored,    // nothing to do in this context
  kRedraw,     // repaint the whole terminal
  kInterrupt,  // Ctrl+C: the person wants out
};

// Reads a command for the prompt: a decimal or 0x-hexadecimal identifier up
// to 0xFFFF, or one of `names` (without regard to case). Nothing if invalid.
std::optional<UINT> ParseCommand(std::u32string_view text, const std::vector<std::pair<std::string, UINT>>& names);

// Where the person is on the screen the snapshot shows (KeyTable.h).
KeyContext ContextOf(const screen::Snapshot& s, const UiState& ui);

// Handles one key against the screen as the snapshot shows it, as the key
// table says. `ui` must have been brought in line with the snapshot (SyncUi).
KeyOutcome HandleKey(const screen::Snapshot& s, UiState& ui, const KeyPress& key, ScreenActions& actions,
                     const std::vector<std::pair<std::string, UINT>>& commandNames = CommandNames());

// The key help under the frame for where the person is.
std::u32string KeyHelpLine(const screen::Snapshot& s, const UiState& ui);

}  // namespace terminal
