// ncurses key codes to virtual keys. Kept apart from the screen model:
// curses.h declares a `struct screen` that clashes with its namespace.
#include "frontends/terminal/KeyCodes.h"

#include <windows.h>

#define NCURSES_NOMACROS 1
#include <curses.h>

#include <algorithm>
#include <iterator>

namespace terminal {
namespace {

constexpr unsigned kNoModifiers = 0;
constexpr unsigned kShift = kModShift;
constexpr unsigned kControl = kModControl;
constexpr unsigned kAlt = kModAlt;

// US layout: the key and whether Shift makes the character.
struct Punct {
  char ch;
  uint8_t vk;
  bool shift;
};
constexpr Punct kPunctuation[] = {
    {' ', VK_SPACE, false},    {'!', '1', true},          {'@', '2', true},         {'#', '3', true},
    {'$', '4', true},          {'%', '5', true},          {'^', '6', true},         {'&', '7', true},
    {'*', '8', true},          {'(', '9', true},          {')', '0', true},         {';', kVkOem1, false},
    {':', kVkOem1, true},      {'=', kVkOemPlus, false},  {'+', kVkOemPlus, true},  {',', kVkOemComma, false},
    {'<', kVkOemComma, true},  {'-', kVkOemMinus, false}, {'_', kVkOemMinus, true}, {'.', kVkOemPeriod, false},
    {'>', kVkOemPeriod, true}, {'/', kVkOem2, false},     {'?', kVkOem2, true},     {'`', kVkOem3, false},
    {'~', kVkOem3, true},      {'[', kVkOem4, false},     {'{', kVkOem4, true},     {'\\', kVkOem5, false},
    {'|', kVkOem5, true},      {']', kVkOem6, false},     {'}', kVkOem6, true},     {'\'', kVkOem7, false},
    {'"', kVkOem7, true},
};

std::optional<KeyPress> Printable(int code) {
  KeyPress k;
  k.ch = static_cast<char32_t>(code);
  if (code >= 'a' && code <= 'z') {
    k.vk = static_cast<uint8_t>(code - 'a' + 'A');
  } else if (code >= 'A' && code <= 'Z') {
    k.vk = static_cast<uint8_t>(code);
    k.modifiers = kShift;
  } else if (code >= '0' && code <= '9') {
    k.vk = static_cast<uint8_t>(code);
  } else {
    auto it =
        std::find_if(std::begin(kPunctuation), std::end(kPunctuation), [&](const Punct& p) { return p.ch == code; });
    if (it == std::end(kPunctuation)) return std::nullopt;
    k.vk = it->vk;
    k.modifiers = it->shift ? kShift : kNoModifiers;
  }
  return k;
}

KeyPress Make(uint8_t vk, unsigned modifiers = kNoModifiers) { return KeyPress{vk, modifiers, 0}; }

// xterm numbers shifted and controlled function keys on from F13.
std::optional<KeyPress> FunctionKey(int n) {
  static constexpr unsigned kBanks[] = {kNoModifiers, kShift, kControl, kControl | kShift, kAlt, kAlt | kShift};
  if (n < 1 || n > 63) return std::nullopt;
  int bank = (n - 1) / 12;
  int key = (n - 1) % 12;
  if (bank >= static_cast<int>(std::size(kBanks))) return std::nullopt;
  return Make(static_cast<uint8_t>(VK_F1 + key), kBanks[bank]);
}

// Extended key names: "kLFT5" is Left with xterm modifier code 5.
std::optional<KeyPress> Extended(std::string_view name) {
  static constexpr std::pair<const char*, uint8_t> kBases[] = {
      {"kUP", VK_UP},   {"kDN", VK_DOWN},   {"kLFT", VK_LEFT}, {"kRIT", VK_RIGHT}, {"kHOM", VK_HOME},
      {"kEND", VK_END}, {"kPRV", VK_PRIOR}, {"kNXT", VK_NEXT}, {"kDC", VK_DELETE}, {"kIC", kVkInsert},
  };
  if (name.size() < 2) return std::nullopt;
  char digit = name.back();
  if (digit < '2' || digit > '8') return std::nullopt;
  std::string_view base = name.substr(0, name.size() - 1);
  for (auto [prefix, vk] : kBases) {
    if (base != prefix) continue;
    // xterm: 1 + (Shift 1 | Alt 2 | Control 4).
    unsigned bits = static_cast<unsigned>(digit - '1');
    unsigned mods = ((bits & 1) ? kShift : 0u) | ((bits & 2) ? kAlt : 0u) | ((bits & 4) ? kControl : 0u);
    return Make(vk, mods);
  }
  return std::nullopt;
}

// Control characters and curses' key codes that stand for one key each.
struct NamedKey {
  int code;
  uint8_t vk;
  unsigned modifiers;
};
constexpr NamedKey kNamedKeys[] = {
    {'\t', VK_TAB, kNoModifiers},
    {'\r', VK_RETURN, kNoModifiers},
    {'\n', VK_RETURN, kNoModifiers},
    {KEY_ENTER, VK_RETURN, kNoModifiers},
    {0x1B, VK_ESCAPE, kNoModifiers},
    {0x7F, VK_BACK, kNoModifiers},
    {0x08, VK_BACK, kNoModifiers},
    {KEY_BACKSPACE, VK_BACK, kNoModifiers},
    // The control characters that are not Ctrl with a letter.
    {0x00, VK_SPACE, kControl},
    {0x1C, kVkOem5, kControl},
    {0x1D, kVkOem6, kControl},
    {0x1E, '6', kControl | kShift},
    {0x1F, kVkOemMinus, kControl | kShift},
    {KEY_UP, VK_UP, kNoModifiers},
    {KEY_DOWN, VK_DOWN, kNoModifiers},
    {KEY_LEFT, VK_LEFT, kNoModifiers},
    {KEY_RIGHT, VK_RIGHT, kNoModifiers},
    // The keypad's corners and centre.
    {KEY_HOME, VK_HOME, kNoModifiers},
    {KEY_A1, VK_HOME, kNoModifiers},
    {KEY_BEG, VK_HOME, kNoModifiers},
    {KEY_END, VK_END, kNoModifiers},
    {KEY_C1, VK_END, kNoModifiers},
    {KEY_LL, VK_END, kNoModifiers},
    {KEY_PPAGE, VK_PRIOR, kNoModifiers},
    {KEY_A3, VK_PRIOR, kNoModifiers},
    {KEY_NPAGE, VK_NEXT, kNoModifiers},
    {KEY_C3, VK_NEXT, kNoModifiers},
    {KEY_DC, VK_DELETE, kNoModifiers},
    {KEY_IC, kVkInsert, kNoModifiers},
    {KEY_B2, kVkClear, kNoModifiers},
    {KEY_BTAB, VK_TAB, kShift},
    // Scroll backward and forward: Shift+Up and Shift+Down in xterm's terminfo.
    {KEY_SR, VK_UP, kShift},
    {KEY_SF, VK_DOWN, kShift},
    {KEY_SLEFT, VK_LEFT, kShift},
    {KEY_SRIGHT, VK_RIGHT, kShift},
    {KEY_SHOME, VK_HOME, kShift},
    {KEY_SEND, VK_END, kShift},
    {KEY_SPREVIOUS, VK_PRIOR, kShift},
    {KEY_SNEXT, VK_NEXT, kShift},
    {KEY_SDC, VK_DELETE, kShift},
    {KEY_SIC, kVkInsert, kShift},
};

std::optional<KeyPress> Plain(int code, std::string_view name) {
  if (code >= 0x20 && code < 0x7F) return Printable(code);
  auto named =
      std::find_if(std::begin(kNamedKeys), std::end(kNamedKeys), [code](const NamedKey& k) { return k.code == code; });
  if (named != std::end(kNamedKeys)) return Make(named->vk, named->modifiers);
  if (code >= 0x01 && code <= 0x1A) return Make(static_cast<uint8_t>('A' + code - 1), kControl);
  if (code >= KEY_F(1) && code <= KEY_F(63)) return FunctionKey(code - KEY_F0);
  if (code > KEY_MAX || !name.empty()) return Extended(name);
  return std::nullopt;
}

}  // namespace

std::optional<KeyPress> DecodeKey(int code, bool alt, std::string_view name) {
  if (code < 0 || code == KEY_RESIZE || code == KEY_MOUSE) return std::nullopt;
  std::optional<KeyPress> k = Plain(code, name);
  if (k && alt) k->modifiers |= kAlt;
  return k;
}

}  // namespace terminal
