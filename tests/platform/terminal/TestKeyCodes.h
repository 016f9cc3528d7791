// ncurses key codes for the tests, from a file of their own: curses.h and
// the screen model cannot share a translation unit.
#pragma once

namespace terminal::test {

extern const int kKeyEnter, kKeyBackspace, kKeyUp, kKeyDown, kKeyLeft, kKeyRight, kKeyHome, kKeyEnd, kKeyPPage,
    kKeyNPage, kKeyDc, kKeyIc, kKeyBTab, kKeySLeft, kKeySR, kKeySNext, kKeyResize, kKeyMouse;
int KeyF(int n);

}  // namespace terminal::test
