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

std::optional<KeyPress> Plain(int code, std::string_view name) {
  if (code >= 0x20 && code < 0x7F) return Printable(code);
  switch (code) {
    case '\t':
      return Make(VK_TAB);
    case '\r':
    case '\n':
    case KEY_ENTER:
      return Make(VK_RETURN);
    case 0x1B:
      return Make(VK_ESCAPE);
    case 0x7F:
    case 0x08:
    case KEY_BACKSPACE:
      return Make(VK_BACK);
    case 0x00:
      return Make(VK_SPACE, kControl);
    case 0x1C:
      return Make(kVkOem5, kControl);
    case 0x1D:
      return Make(kVkOem6, kControl);
    case 0x1E:
      return Make('6', kControl | kShift);
    case 0x1F:
      return Make(kVkOemMinus, kControl | kShift);
    case KEY_UP:
      return Make(VK_UP);
    case KEY_DOWN:
      return Make(VK_DOWN);
    case KEY_LEFT:
      return Make(VK_LEFT);
    case KEY_RIGHT:
      return Make(VK_RIGHT);
    case KEY_HOME:
    case KEY_A1:
    case KEY_BEG:
      return Make(VK_HOME);
    case KEY_END:
    case KEY_C1:
    case KEY_LL:
      return Make(VK_END);
    case KEY_PPAGE:
    case KEY_A3:
      return Make(VK_PRIOR);
    case KEY_NPAGE:
    case KEY_C3:
      return Make(VK_NEXT);
    case KEY_DC:
      return Make(VK_DELETE);
    case KEY_IC:
      return Make(kVkInsert);
    case KEY_B2:
      return Make(kVkClear);
    case KEY_BTAB:
      return Make(VK_TAB, kShift);
    case KEY_SR:  // scroll backward: Shift+Up in xterm's terminfo
      return Make(VK_UP, kShift);
    case KEY_SF:
      return Make(VK_DOWN, kShift);
    case KEY_SLEFT:
      return Make(VK_LEFT, kShift);
    case KEY_SRIGHT:
      return Make(VK_RIGHT, kShift);
    case KEY_SHOME:
      return Make(VK_HOME, kShift);
    case KEY_SEND:
      return Make(VK_END, kShift);
    case KEY_SPREVIOUS:
      return Make(VK_PRIOR, kShift);
    case KEY_SNEXT:
      return Make(VK_NEXT, kShift);
    case KEY_SDC:
      return Make(VK_DELETE, kShift);
    case KEY_SIC:
      return Make(kVkInsert, kShift);
    default:
      break;
  }
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
