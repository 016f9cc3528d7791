// ncurses key codes as the handset's virtual keys.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace terminal {

// The modifier bits of screen::Modifiers.
inline constexpr unsigned kModShift = 1;
inline constexpr unsigned kModControl = 2;
inline constexpr unsigned kModAlt = 4;

// Virtual keys that winuser.h does not name yet (Win32 values).
inline constexpr uint8_t kVkClear = 0x0C;
inline constexpr uint8_t kVkInsert = 0x2D;
inline constexpr uint8_t kVkF2 = 0x71;
inline constexpr uint8_t kVkF5 = 0x74;
inline constexpr uint8_t kVkF10 = 0x79;
inline constexpr uint8_t kVkOem1 = 0xBA;       // ;:
inline constexpr uint8_t kVkOemPlus = 0xBB;    // =+
inline constexpr uint8_t kVkOemComma = 0xBC;   // ,<
inline constexpr uint8_t kVkOemMinus = 0xBD;   // -_
inline constexpr uint8_t kVkOemPeriod = 0xBE;  // .>
inline constexpr uint8_t kVkOem2 = 0xBF;       // /?
inline constexpr uint8_t kVkOem3 = 0xC0;       // `~
inline constexpr uint8_t kVkOem4 = 0xDB;       // [{
inline constexpr uint8_t kVkOem5 = 0xDC;       // \|
inline constexpr uint8_t kVkOem6 = 0xDD;       // ]}
inline constexpr uint8_t kVkOem7 = 0xDE;       // '"

struct KeyPress {
  uint8_t vk = 0;
  unsigned modifiers = 0;  // kModShift | kModControl | kModAlt
  char32_t ch = 0;         // the character typed, for printable keys (the prompt, mnemonics)
  bool operator==(const KeyPress&) const = default;
};

// An ncurses key code (from wgetch with keypad on) as a key press on a US
// keyboard. `alt`: the code came after a lone Esc, as terminals send Alt.
// `name`: keyname() of codes beyond KEY_MAX, the terminal's extended keys
// such as "kLFT5" (Ctrl+Left). Nothing for codes that are no key press.
std::optional<KeyPress> DecodeKey(int code, bool alt = false, std::string_view name = {});

}  // namespace terminal
