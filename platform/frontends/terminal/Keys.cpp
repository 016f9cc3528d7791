// The key table's actions: the menu navigation, the chosen button of a box,
// the command prompt.
#include "frontends/terminal/Keys.h"

#include <algorithm>

namespace terminal {
namespace {

using screen::kAlt;
using screen::kControl;

static_assert(kModShift == screen::kShift && kModControl == screen::kControl && kModAlt == screen::kAlt);

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

KeyOutcome MenuAction(KeyAction action, const screen::Snapshot& s, UiState& ui, const KeyPress& key,
                      ScreenActions& actions) {
  // The innermost open popup and its highlighted item (-1: none).
  auto levels = MenuLevels(s, ui);
  ui.menuPath.resize(levels.size(), -1);
  const size_t level = levels.size() - 1;
  const auto& items = *levels[level];
  int& at = ui.menuPath[level];
  switch (action) {
    case KeyAction::kMenuPrevious:
      at = Step(items, at < 0 ? 0 : at, -1);
      break;
    case KeyAction::kMenuNext:
      at = Step(items, at < 0 ? static_cast<int>(items.size()) - 1 : at, +1);
      break;
    case KeyAction::kMenuFirst:
      at = FirstSelectable(items);
      break;
    case KeyAction::kMenuLast:
      at = Step(items, 0, -1);
      break;
    case KeyAction::kMenuChoose:
      return ChooseItem(ui, items, at, actions);
    case KeyAction::kMenuRight:
      if (at >= 0 && items[static_cast<size_t>(at)].popup && Selectable(items[static_cast<size_t>(at)])) {
        return ChooseItem(ui, items, at, actions);
      }
      SwitchButton(s, ui, actions, +1);
      break;
    case KeyAction::kMenuLeft:
      if (level > 0) {
        ui.menuPath.pop_back();
      } else {
        SwitchButton(s, ui, actions, -1);
      }
      break;
    case KeyAction::kMenuBack:
      if (level > 0) {
        ui.menuPath.pop_back();
      } else {
        actions.CloseMenu();
      }
      break;
    case KeyAction::kMenuClose:
      actions.CloseMenu();
      break;
    case KeyAction::kMenuMnemonic:
      // The item whose mnemonic is this character.
      for (size_t i = 0; i < items.size(); ++i) {
        Label label = ParseLabel(items[i].text);
        if (label.mnemonic >= 0 && Lower(label.text[static_cast<size_t>(label.mnemonic)]) == Lower(key.ch)) {
          at = static_cast<int>(i);
          return ChooseItem(ui, items, at, actions);
        }
      }
      return KeyOutcome::kIgnored;
    default:
      return KeyOutcome::kIgnored;
  }
  return KeyOutcome::kHandled;
}

KeyOutcome BoxAction(KeyAction action, const screen::BoxView& box, UiState& ui, const KeyPress& key,
                     ScreenActions& actions) {
  const int n = static_cast<int>(box.buttons.size());
  if (n == 0) return KeyOutcome::kIgnored;
  switch (action) {
    case KeyAction::kBoxAnswer:
      actions.AnswerBox(box.id, box.buttons[static_cast<size_t>(std::clamp(ui.boxButton, 0, n - 1))]);
      break;
    case KeyAction::kBoxCancel:
      // Cancel, or the only button of a box that has nothing else.
      if (std::find(box.buttons.begin(), box.buttons.end(), IDCANCEL) != box.buttons.end()) {
        actions.AnswerBox(box.id, IDCANCEL);
      } else if (n == 1) {
        actions.AnswerBox(box.id, box.buttons[0]);
      } else {
        return KeyOutcome::kIgnored;
      }
      break;
    case KeyAction::kBoxNext:
      ui.boxButton = (ui.boxButton + 1) % n;
      break;
    case KeyAction::kBoxPrevious:
      ui.boxButton = (ui.boxButton + n - 1) % n;
      break;
    case KeyAction::kBoxLetter:
      for (int id : box.buttons) {
        if (Lower(ButtonName(id)[0]) == Lower(key.ch)) {
          actions.AnswerBox(box.id, id);
          return KeyOutcome::kHandled;
        }
      }
      return KeyOutcome::kIgnored;
    default:
      return KeyOutcome::kIgnored;
  }
  return KeyOutcome::kHandled;
}

KeyOutcome PromptAction(KeyAction action, UiState& ui, const KeyPress& key, ScreenActions& actions,
                        const std::vector<std::pair<std::string, UINT>>& names) {
  switch (action) {
    case KeyAction::kPromptCancel:
      ui.prompting = false;
      ui.promptText.clear();
      break;
    case KeyAction::kPromptSend: {
      std::u32string text = ui.promptText;
      ui.prompting = false;
      ui.promptText.clear();
      if (text.empty()) break;
      if (auto id = ParseCommand(text, names)) {
        if (!actions.SendCommand(*id)) ui.notice = U"No window takes command " + ToU32(std::to_string(*id));
      } else {
        ui.notice = U"Not a command identifier: " + text;
      }
      break;
    }
    case KeyAction::kPromptErase:
      if (!ui.promptText.empty()) ui.promptText.pop_back();
      break;
    case KeyAction::kPromptType:
      if (ui.promptText.size() < 32) ui.promptText += key.ch;
      break;
    default:
      return KeyOutcome::kIgnored;
  }
  return KeyOutcome::kHandled;
}

bool Matches(const KeySpec& spec, const KeyPress& key) {
  const bool typed = key.ch && !(key.modifiers & (kControl | kAlt));
  if (spec.AnyCharacter()) return typed;
  if (spec.ch) return typed && key.ch == spec.ch;
  return key.vk == spec.vk && key.modifiers == spec.modifiers;
}

// The binding for `key` in `context`: one that names the key, else one that
// takes any character.
const KeyBinding* FindBinding(KeyContext context, const KeyPress& key) {
  const KeyBinding* anyCharacter = nullptr;
  for (const KeyBinding& b : KeyBindings()) {
    if (!(b.where & context)) continue;
    for (const KeySpec& spec : b.keys) {
      if (!Matches(spec, key)) continue;
      if (!spec.AnyCharacter()) return &b;
      if (!anyCharacter) anyCharacter = &b;
    }
  }
  return anyCharacter;
}

KeyOutcome Act(const KeyBinding& b, KeyContext context, const screen::Snapshot& s, UiState& ui, const KeyPress& key,
               ScreenActions& actions, const std::vector<std::pair<std::string, UINT>>& names) {
  switch (b.action) {
    case KeyAction::kInterrupt:
      return KeyOutcome::kInterrupt;
    case KeyAction::kRedraw:
      return KeyOutcome::kRedraw;
    case KeyAction::kOpenPrompt:
      ui.prompting = true;
      ui.promptText.clear();
      return KeyOutcome::kHandled;
    case KeyAction::kOpenMenu:
      if (!s.menuBar || s.menuBar->buttons.empty()) return KeyOutcome::kIgnored;
      return actions.OpenMenu(0) ? KeyOutcome::kHandled : KeyOutcome::kIgnored;
    case KeyAction::kPressDone:
      if (context == kInMenu) actions.CloseMenu();
      return actions.PressDone() ? KeyOutcome::kHandled : KeyOutcome::kIgnored;
    case KeyAction::kToProgram:
      actions.Key(key.vk, key.modifiers);
      return KeyOutcome::kHandled;
    default:
      break;
  }
  switch (context) {
    case kInMenu:
      return MenuAction(b.action, s, ui, key, actions);
    case kInBox:
      return BoxAction(b.action, *TopBox(s), ui, key, actions);
    case kInPrompt:
      return PromptAction(b.action, ui, key, actions, names);
    default:
      return KeyOutcome::kIgnored;
  }
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

KeyContext ContextOf(const screen::Snapshot& s, const UiState& ui) {
  if (ui.rebooting) return kWhileRebooting;
  if (ui.prompting) return kInPrompt;
  if (TopBox(s)) return kInBox;
  if (!MenuLevels(s, ui).empty()) return kInMenu;
  if (TopDialog(s)) return kInDialog;
  return kOnMainScreen;
}

KeyOutcome HandleKey(const screen::Snapshot& s, UiState& ui, const KeyPress& key, ScreenActions& actions,
                     const std::vector<std::pair<std::string, UINT>>& commandNames) {
  ui.notice.clear();
  const KeyContext context = ContextOf(s, ui);
  if (const KeyBinding* binding = FindBinding(context, key)) {
    return Act(*binding, context, s, ui, key, actions, commandNames);
  }
  if (!(context & kRestToProgram)) return KeyOutcome::kIgnored;
  // The focused control's or the dialog's.
  actions.Key(key.vk, key.modifiers);
  return KeyOutcome::kHandled;
}

std::u32string KeyHelpLine(const screen::Snapshot& s, const UiState& ui) { return HelpLine(ContextOf(s, ui)); }

}  // namespace terminal
