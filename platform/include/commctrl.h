// Common controls: initialisation and the command bar.
#ifndef COMMCTRL_H
#define COMMCTRL_H

#include <windows.h>

#define ICC_LISTVIEW_CLASSES 0x00000001
#define ICC_TREEVIEW_CLASSES 0x00000002
#define ICC_BAR_CLASSES 0x00000004
#define ICC_TAB_CLASSES 0x00000008
#define ICC_UPDOWN_CLASS 0x00000010
#define ICC_PROGRESS_CLASS 0x00000020

#define TBSTATE_CHECKED 0x01
#define TBSTATE_PRESSED 0x02
#define TBSTATE_ENABLED 0x04
#define TBSTATE_HIDDEN 0x08

#define TBSTYLE_BUTTON 0x0000
#define TBSTYLE_SEP 0x0001
#define TBSTYLE_CHECK 0x0002
#define TBSTYLE_GROUP 0x0004
#define TBSTYLE_DROPDOWN 0x0008
#define TBSTYLE_AUTOSIZE 0x0010

// In resource data the value is written as the 16-bit word it becomes.
#ifdef RC_INVOKED
#define I_IMAGENONE 0xFFFE
#else
#define I_IMAGENONE (-2)
#endif

#ifndef RC_INVOKED

typedef struct tagINITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;

BOOL WINAPI InitCommonControlsEx(LPINITCOMMONCONTROLSEX lpInitCtrls);
int WINAPI CommandBar_Height(HWND hwndCB);
HMENU WINAPI CommandBar_GetMenu(HWND hwndCB, WORD iButton);

#endif  // RC_INVOKED

#endif  // COMMCTRL_H
