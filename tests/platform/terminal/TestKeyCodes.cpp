#include "TestKeyCodes.h"

#define NCURSES_NOMACROS 1
#include <curses.h>

namespace terminal::test {

const int kKeyEnter = KEY_ENTER, kKeyBackspace = KEY_BACKSPACE, kKeyUp = KEY_UP, kKeyDown = KEY_DOWN,
          kKeyLeft = KEY_LEFT, kKeyRight = KEY_RIGHT, kKeyHome = KEY_HOME, kKeyEnd = KEY_END, kKeyPPage = KEY_PPAGE,
          kKeyNPage = KEY_NPAGE, kKeyDc = KEY_DC, kKeyIc = KEY_IC, kKeyBTab = KEY_BTAB, kKeySLeft = KEY_SLEFT,
          kKeySR = KEY_SR, kKeySNext = KEY_SNEXT, kKeyResize = KEY_RESIZE, kKeyMouse = KEY_MOUSE;

int KeyF(int n) { return KEY_F(n); }

}  // namespace terminal::test
