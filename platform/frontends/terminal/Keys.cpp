#include "frontends/terminal/Keys.h"

#include <algorithm>

namespace terminal {
namespace {

using screen::kAlt;
using screen::kControl;
using screen::kNoModifiers;
using screen::kShift;

static_assert(kModShift == screen::kShift && kModControl == screen::kControl && kModAlt == screen::kAlt);

bool IsKey(const KeyPress& k, uint8_t vk, unsigned modifiers = kNoModifiers) {
  return k.vk == vk && k.modifiers == modifiers;
}

int Step(const std::vector<screen::MenuItemView>& items, int from, int dir) {
  const int n = static_cast<int>(items.size());
  if (n == 0) return -1;
  int i = from;
  for (int tries = 0; tries < n; ++tries) {
    i = ((i + dir) % n + n) % n;
    if (Selectable(items[static_cast<size_t>(i)])) return i;
  }
  return from;
}

char32_t Lower(char32_t c) { return c >= U'A' && c <= U'Z' ? c + 32 : c; }

// Opens the next or previous enabled menu-bar button that has a popup.
void SwitchButton(const screen::Snapshot& s, const UiState& ui, ScreenActions& actions, int dir) {
  const auto& buttons = s.menuBar->buttons;
  const int n = static_cast<int>(buttons.size());
  for (int k = 1; k < n; ++k) {
    int i = ((ui.menuButton + dir * k) % n + n) % n;
    if (buttons[static_cast<size_t>(i)].enabled && buttons[static_cast<size_t>(i)].dropdown) {
      actions.OpenMenu(i);
      return;
    }
  }
}

KeyOutcome ChooseItem(UiState& ui, const std::vector<screen::MenuItemView>& items, int index, ScreenActions& actions) {
  if (index < 0 || index >= static_cast<int>(items.size())) return KeyOutcome::kIgnored;
  const screen::MenuItemView& item = items[static_cast<size_t>(index)];
  if (!Selectable(item)) return KeyOutcome::kIgnored;
  if (item.popup) {
    ui.menuPath.push_back(FirstSelectable(item.items));
    return KeyOutcome::kHandled;
  }
  actions.ChooseMenuItem(item.id);
  return KeyOutcome::kHandled;
}

KeyOutcome MenuKey(const screen::Snapshot& s, UiState& ui, const KeyPress& key, ScreenActions& actions) {
  auto levels = MenuLevels(s, ui);
  ui.menuPath.resize(levels.size(), -1);
  const size_t level = levels.size() - 1;
  const auto& items = *levels[level];
  int& at = ui.menuPath[level];
  if (IsKey(key, VK_UP)) {
    at = Step(items, at < 0 ? 0 : at, -1);
  } else if (IsKey(key, VK_DOWN)) {
    at = Step(items, at < 0 ? static_cast<int>(items.size()) - 1 : at, +1);
  } else if (IsKey(key, VK_HOME)) {
    at = FirstSelectable(items);
  } else if (IsKey(key, VK_END)) {
    at = Step(items, 0, -1);
  } else if (IsKey(key, VK_RETURN) || IsKey(key, VK_SPACE)) {
    return ChooseItem(ui, items, at, actions);
  } else if (IsKey(key, VK_RIGHT)) {
    if (at >= 0 && items[static_cast<size_t>(at)].popup && Selectable(items[static_cast<size_t>(at)])) {
      return ChooseItem(ui, items, at, actions);
    }
    SwitchButton(s, ui, actions, +1);
  } else if (IsKey(key, VK_LEFT)) {
    if (level > 0) {
      ui.menuPath.pop_back();
    } else {
      SwitchButton(s, ui, actions, -1);
    }
  } else if (IsKey(key, VK_ESCAPE)) {
    if (level > 0) {
      ui.menuPath.pop_back();
    } else {
      actions.CloseMenu();
    }
  } else if (IsKey(key, VK_F1) || IsKey(key, kVkF10)) {
    actions.CloseMenu();
  } else if (key.ch && !(key.modifiers & (kControl | kAlt))) {
    // The item whose mnemonic is this letter.
    for (size_t i = 0; i < items.size(); ++i) {
      Label label = ParseLabel(items[i].text);
      if (label.mnemonic >= 0 && Lower(label.text[static_cast<size_t>(label.mnemonic)]) == Lower(key.ch)) {
        at = static_cast<int>(i);
        return ChooseItem(ui, items, at, actions);
      }
    }
    return KeyOutcome::kIgnored;
  } else {
    return KeyOutcome::kIgnored;
  }
  return KeyOutcome::kHandled;
}

KeyOutcome BoxKey(const screen::BoxView& box, UiState& ui, const KeyPress& key, ScreenActions& actions) {
  const int n = static_cast<int>(box.buttons.size());
  if (n == 0) return KeyOutcome::kIgnored;
  if (IsKey(key, VK_RETURN) || IsKey(key, VK_SPACE)) {
    actions.AnswerBox(box.id, box.buttons[static_cast<size_t>(std::clamp(ui.boxButton, 0, n - 1))]);
  } else if (IsKey(key, VK_ESCAPE)) {
    // Cancel, or the only button of a box that has nothing else.
    if (std::find(box.buttons.begin(), box.buttons.end(), IDCANCEL) != box.buttons.end()) {
      actions.AnswerBox(box.id, IDCANCEL);
    } else if (n == 1) {
      actions.AnswerBox(box.id, box.buttons[0]);
    } else {
      return KeyOutcome::kIgnored;
    }
  } else if (IsKey(key, VK_RIGHT) || IsKey(key, VK_TAB) || IsKey(key, VK_DOWN)) {
    ui.boxButton = (ui.boxButton + 1) % n;
  } else if (IsKey(key, VK_LEFT) || IsKey(key, VK_TAB, kShift) || IsKey(key, VK_UP)) {
    ui.boxButton = (ui.boxButton + n - 1) % n;
  } else if (key.ch && !(key.modifiers & (kControl | kAlt))) {
    // The first letter of a button's name answers with it (y, n, o, c...).
    for (int id : box.buttons) {
      if (Lower(ButtonName(id)[0]) == Lower(key.ch)) {
        actions.AnswerBox(box.id, id);
        return KeyOutcome::kHandled;
      }
    }
    return KeyOutcome::kIgnored;
  } else {
    return KeyOutcome::kIgnored;
  }
  return KeyOutcome::kHandled;
}

KeyOutcome PromptKey(UiState& ui, const KeyPress& key, ScreenActions& actions,
                     const std::vector<std::pair<std::string, UINT>>& names) {
  if (IsKey(key, VK_ESCAPE)) {
    ui.prompting = false;
    ui.promptText.clear();
  } else if (IsKey(key, VK_RETURN)) {
    std::u32string text = ui.promptText;
    ui.prompting = false;
    ui.promptText.clear();
    if (text.empty()) return KeyOutcome::kHandled;
    if (auto id = ParseCommand(text, names)) {
      if (!actions.SendCommand(*id)) ui.notice = U"No window takes command " + ToU32(std::to_string(*id));
    } else {
      ui.notice = U"Not a command identifier: " + text;
    }
  } else if (IsKey(key, VK_BACK)) {
    if (!ui.promptText.empty()) ui.promptText.pop_back();
  } else if (key.ch && !(key.modifiers & (kControl | kAlt))) {
    if (ui.promptText.size() < 32) ui.promptText += key.ch;
  } else {
    return KeyOutcome::kIgnored;
  }
  return KeyOutcome::kHandled;
}

}  // namespace

std::optional<UINT> ParseCommand(std::u32string_view text, const std::vector<std::pair<std::string, UINT>>& names) {
  while (!text.empty() && text.front() == U' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == U' ') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  for (const auto& [name, id] : names) {
    if (name.size() != text.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      same = Lower(static_cast<char32_t>(static_cast<unsigned char>(name[i]))) == Lower(text[i]);
    }
    if (same) return id;
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == U'0' && (text[1] == U'x' || text[1] == U'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  unsigned long value = 0;
  for (char32_t c : text) {
    unsigned digit;
    if (c >= U'0' && c <= U'9') {
      digit = c - U'0';
    } else if (base == 16 && Lower(c) >= U'a' && Lower(c) <= U'f') {
      digit = Lower(c) - U'a' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > 0xFFFF) return std::nullopt;  // WM_COMMAND carries 16 bits
  }
  return static_cast<UINT>(value);
}

KeyOutcome HandleKey(const screen::Snapshot& s, UiState& ui, const KeyPress& key, ScreenActions& actions,
                     const std::vector<std::pair<std::string, UINT>>& commandNames) {
  ui.notice.clear();
  if (IsKey(key, 'C', kControl)) return KeyOutcome::kInterrupt;
  if (ui.rebooting) return KeyOutcome::kIgnored;
  if (IsKey(key, 'L', kControl)) return KeyOutcome::kRedraw;
  if (ui.prompting) return PromptKey(ui, key, actions, commandNames);
  if (IsKey(key, kVkF5) || (key.ch == U':' && key.modifiers == kShift)) {
    ui.prompting = true;
    ui.promptText.clear();
    return KeyOutcome::kHandled;
  }
  if (const screen::BoxView* box = TopBox(s)) return BoxKey(*box, ui, key, actions);
  if (!MenuLevels(s, ui).empty()) {
    if (IsKey(key, kVkF2) || IsKey(key, 'O', kControl)) {
      actions.CloseMenu();
      actions.PressDone();
      return KeyOutcome::kHandled;
    }
    return MenuKey(s, ui, key, actions);
  }
  if (IsKey(key, kVkF2) || IsKey(key, 'O', kControl)) {
    return actions.PressDone() ? KeyOutcome::kHandled : KeyOutcome::kIgnored;
  }
  if (!TopDialog(s) && (IsKey(key, VK_F1) || IsKey(key, kVkF10))) {
    if (!s.menuBar || s.menuBar->buttons.empty()) return KeyOutcome::kIgnored;
    return actions.OpenMenu(0) ? KeyOutcome::kHandled : KeyOutcome::kIgnored;
  }
  // Everything else is the program's: the focused control or the dialog.
  actions.Key(key.vk, key.modifiers);
  return KeyOutcome::kHandled;
}

const char* KeyHelpText() {
  return "Terminal keys (the handset's screen is drawn in the middle of the terminal):\n"
         "  F1 or F10         open/close the menu of the menu-bar button (the left soft key)\n"
         "  Up/Down, Enter    move in an open menu, choose the item; Left/Right: sub-menus, other buttons\n"
         "  Esc               close the menu (or its sub-menu)\n"
         "  Enter / Esc       answer a message box with its default button / with Cancel or its only button\n"
         "  Left/Right, Tab   pick another button of a message box; its first letter answers with it\n"
         "  Enter / Esc       in a dialog (the About box): OK / Cancel\n"
         "  F2 or Ctrl+O      the title bar's done button (ok)\n"
         "  Ctrl+Q            passed to the program (its accelerator for Exit)\n"
         "  PgUp/PgDn, arrows, Home/End\n"
         "                    passed to the focused control: the log view scrolls and moves its caret\n"
         "  : or F5           prompt for a command identifier (decimal or 0x hex) sent as WM_COMMAND\n"
         "  Ctrl+L            redraw the terminal\n"
         "  Ctrl+C            quit at once (the terminal is restored)\n"
         "Other keys go to the program as the virtual keys of a US keyboard.\n";
}

}  // namespace terminal
