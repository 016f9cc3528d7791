// The shell's dialog services: full-screen sizing and the done button
// (SHInitDialog), and the input panel's state across activations and
// setting changes. The emulated handset has no input panel that can be
// raised, so the state it keeps is always "down".
#include <windows.h>
#include <aygshell.h>

#include "kernel/Thread.h"
#include "windowing/Screen.h"
#include "windowing/WindowManager.h"

using kernel::PlatformCall;
using windowing::Wm;

namespace {

bool InputPanelUp() { return false; }

bool IsActivateInfo(const SHACTIVATEINFO* info) { return info && info->cbSize == sizeof(SHACTIVATEINFO); }

}  // namespace

BOOL WINAPI SHInitDialog(PSHINITDLGINFO pshidi) {
  PlatformCall call;
  if (pshidi == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = windowing::FindOrFailLocked(pshidi->hDlg);
    if (!w) return FALSE;
    if (!(pshidi->dwMask & SHIDIM_FLAGS)) return TRUE;
    if (pshidi->dwFlags & SHIDIF_DONEBUTTON) {
      w->doneButton = true;
      windowing::NoteChange();
    }
  }
  constexpr DWORD kSizing = SHIDIF_SIZEDLG | SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_FULLSCREENNOMENUBAR;
  if (pshidi->dwFlags & kSizing) {
    RECT area = screen::WorkArea();
    if (pshidi->dwFlags & SHIDIF_FULLSCREENNOMENUBAR) area.bottom = screen::kHeight;
    windowing::MoveInternal(pshidi->hDlg, area.left, area.top, area.right - area.left, area.bottom - area.top, true,
                            true);
  }
  return TRUE;
}

BOOL WINAPI SHHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* psai) {
  PlatformCall call;
  (void)lParam;
  if (!IsActivateInfo(psai) || !IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (wParam != SPI_SETSIPINFO) return FALSE;  // only the input panel's changes concern the shell
  psai->fSipUp = InputPanelUp() ? 1 : 0;
  return TRUE;
}

BOOL WINAPI SHHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* psai, DWORD dwFlags) {
  PlatformCall call;
  (void)lParam, (void)dwFlags;
  if (!IsActivateInfo(psai) || !IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (LOWORD(wParam) != WA_INACTIVE) {
    // Coming back: the panel returns to the state the window left it in.
    psai->fActive = 1;
    psai->fSipUp = psai->fSipOnDeactivation;
  } else {
    psai->fActive = 0;
    psai->fSipOnDeactivation = InputPanelUp() ? 1 : 0;
    psai->hwndLastFocus = GetFocus();
  }
  return TRUE;
}
