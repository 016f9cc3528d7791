// Desktop Win32 build: the desktop's commctrl.h plus the command-bar calls
// of Windows CE. The desktop has no command bar; the handset's menu bar
// becomes the window's ordinary menu (aygshell.h), so a "menu bar" handle
// here is the window that carries the menu.
#ifndef FWUTIL_WIN32_COMMCTRL_H
#define FWUTIL_WIN32_COMMCTRL_H

#include <windows.h>
#include_next <commctrl.h>

#ifndef RC_INVOKED

// No command bar takes room in the client area: a window's menu is
// non-client. A missing bar (no such child) has no height on CE either.
inline int CommandBar_Height(HWND commandBar) {
  (void)commandBar;
  return 0;
}

inline HMENU CommandBar_GetMenu(HWND commandBar, WORD button) {
  (void)button;
  return GetMenu(commandBar);
}

#endif  // RC_INVOKED

#endif  // FWUTIL_WIN32_COMMCTRL_H
