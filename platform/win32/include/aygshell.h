// Desktop Win32 build: the handset shell's services (AYGSHELL), which the
// desktop lacks, as their nearest desktop equivalents.
#ifndef FWUTIL_WIN32_AYGSHELL_H
#define FWUTIL_WIN32_AYGSHELL_H

#include <windows.h>

#define SHMENUBAR RCDATA

#define SHIDIM_FLAGS 0x0001
#define SHIDIF_DONEBUTTON 0x0001
#define SHIDIF_SIZEDLG 0x0002
#define SHIDIF_SIZEDLGFULLSCREEN 0x0004

#ifndef RC_INVOKED

typedef struct tagSHMENUBARINFO {
  DWORD cbSize;
  HWND hwndParent;
  DWORD dwFlags;
  UINT nToolBarId;
  HINSTANCE hInstRes;
  int nBmpId;
  int cBmpImages;
  HWND hwndMB;
  COLORREF clrBk;
} SHMENUBARINFO, *PSHMENUBARINFO;

typedef struct tagSHINITDLGINFO {
  DWORD dwMask;
  HWND hDlg;
  DWORD dwFlags;
} SHINITDLGINFO, *PSHINITDLGINFO;

typedef struct tagSHACTIVATEINFO {
  DWORD cbSize;
  HWND hwndLastFocus;
  UINT fSipUp : 1;
  UINT fSipOnDeactivation : 1;
  UINT fActive : 1;
  UINT fReserved : 29;
} SHACTIVATEINFO, *PSHACTIVATEINFO;

// The handset's menu bar shows the popups of the menu that its menu-bar
// data names (the utility gives both the same identifier). Here that menu
// becomes the window's ordinary menu, and the window stands for the bar.
inline BOOL SHCreateMenuBar(SHMENUBARINFO* info) {
  HMENU menu = LoadMenuW(info->hInstRes, MAKEINTRESOURCEW(info->nToolBarId));
  if (menu == NULL || !SetMenu(info->hwndParent, menu)) return FALSE;
  info->hwndMB = info->hwndParent;
  return TRUE;
}

// A full-screen window fills the work area; the title bar's done button is
// the caption's close box on the desktop.
inline BOOL SHInitDialog(PSHINITDLGINFO info) {
  RECT work;
  if ((info->dwMask & SHIDIM_FLAGS) && (info->dwFlags & SHIDIF_SIZEDLGFULLSCREEN) &&
      SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
    MoveWindow(info->hDlg, work.left, work.top, work.right - work.left, work.bottom - work.top, TRUE);
  }
  return TRUE;
}

// The shell keeps the input panel's state across activation and setting
// changes; the desktop has no input panel, so there is nothing to handle.
inline BOOL SHHandleWMSettingChange(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info) {
  (void)window, (void)wParam, (void)lParam, (void)info;
  return FALSE;
}
inline BOOL SHHandleWMActivate(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info, DWORD flags) {
  (void)window, (void)wParam, (void)lParam, (void)info, (void)flags;
  return FALSE;
}

#endif  // RC_INVOKED

#endif  // FWUTIL_WIN32_AYGSHELL_H
