// The window text and DefWindowProcW, which keeps it: what every window does
// with a message its own procedure leaves alone.
#include <windows.h>

#include <algorithm>

#include "kernel/Thread.h"
#include "text/WideText.h"
#include "windowing/Edit.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

// ------------------------------------------------------------- WM_SETTEXT
LRESULT DefWmSetText(HWND hwnd, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hwnd);
  if (!w) return FALSE;
  w->title = text::View(reinterpret_cast<LPCWSTR>(lParam));
  // Other processes find top-level windows by their title.
  if (!(w->style & WS_CHILD)) PublishWindowLocked(*w);
  NoteChange();
  return TRUE;
}

// ------------------------------------------------------------- WM_GETTEXT
LRESULT DefWmGetText(HWND hwnd, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hwnd);
  auto* buffer = reinterpret_cast<LPWSTR>(lParam);
  if (!w || !buffer || wParam == 0) return 0;
  size_t n = std::min<size_t>(w->title.size(), wParam - 1);
  std::copy_n(w->title.data(), n, buffer);
  buffer[n] = 0;
  return static_cast<LRESULT>(n);
}

// ------------------------------------------------------- WM_GETTEXTLENGTH
LRESULT DefWmGetTextLength(HWND hwnd) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hwnd);
  return w ? static_cast<LRESULT>(w->title.size()) : 0;
}

}  // namespace
}  // namespace windowing

using kernel::PlatformCall;
using windowing::FindOrFailLocked;
using windowing::Wm;

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  PlatformCall call;
  switch (Msg) {
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_SETTEXT:
      return windowing::DefWmSetText(hWnd, lParam);
    case WM_GETTEXT:
      return windowing::DefWmGetText(hWnd, wParam, lParam);
    case WM_GETTEXTLENGTH:
      return windowing::DefWmGetTextLength(hWnd);
    default:
      return 0;
  }
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  PlatformCall call;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (!FindOrFailLocked(hWnd)) return FALSE;
  }
  static const WCHAR empty[] = {0};
  return windowing::Send(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString ? lpString : empty)) ? TRUE : FALSE;
}

// Windows of the calling thread answer WM_GETTEXT; those of other threads
// are read directly, so that asking never blocks on a busy thread.
int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
  PlatformCall call;
  if (lpString == nullptr || nMaxCount <= 0) return 0;
  std::u16string textCopy;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindOrFailLocked(hWnd);
    if (!w) {
      lpString[0] = 0;
      return 0;
    }
    if (w->queue.get() != &windowing::CurrentQueue()) {
      textCopy = w->edit ? w->edit->Text() : w->title;
      size_t n = std::min<size_t>(textCopy.size(), static_cast<size_t>(nMaxCount) - 1);
      std::copy_n(textCopy.data(), n, lpString);
      lpString[n] = 0;
      return static_cast<int>(n);
    }
  }
  return static_cast<int>(
      windowing::Send(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthW(HWND hWnd) {
  PlatformCall call;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindOrFailLocked(hWnd);
    if (!w) return 0;
    if (w->queue.get() != &windowing::CurrentQueue()) {
      return static_cast<int>(w->edit ? w->edit->Length() : w->title.size());
    }
  }
  return static_cast<int>(windowing::Send(hWnd, WM_GETTEXTLENGTH, 0, 0));
}
