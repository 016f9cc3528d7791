// Window geometry: rectangles, client areas and their place on the screen,
// moving and sizing, showing and hiding, and the z-order of top-level
// windows.
#include <windows.h>

#include <algorithm>

#include "kernel/Thread.h"
#include "windowing/WindowingInternal.h"

namespace windowing {
namespace {

int BorderOf(const Window& w) {
  int border = 0;
  if (w.exStyle & WS_EX_CLIENTEDGE) border += kClientEdge;
  if (w.style & (WS_BORDER | WS_DLGFRAME)) border += 1;
  return border;
}

int CaptionOf(const Window& w) { return (w.style & WS_CAPTION) == WS_CAPTION ? kCaptionHeight : 0; }

}  // namespace

POINT ClientOriginLocked(const Window& w) {
  POINT origin{w.rect.left, w.rect.top};
  if (w.parent) {
    if (auto parent = FindLocked(w.parent)) {
      POINT p = ClientOriginLocked(*parent);
      origin.x += p.x;
      origin.y += p.y;
    }
  }
  int border = BorderOf(w);
  origin.x += border;
  origin.y += border + CaptionOf(w);
  return origin;
}

RECT ScreenRectLocked(const Window& w) {
  RECT r = w.rect;
  if (w.parent) {
    if (auto parent = FindLocked(w.parent)) {
      POINT p = ClientOriginLocked(*parent);
      r.left += p.x;
      r.right += p.x;
      r.top += p.y;
      r.bottom += p.y;
    }
  }
  return r;
}

RECT ClientRectLocked(const Window& w) {
  int border = BorderOf(w);
  LONG width = w.rect.right - w.rect.left - 2 * border - ((w.style & WS_VSCROLL) ? kScrollBarSize : 0);
  LONG height = w.rect.bottom - w.rect.top - 2 * border - CaptionOf(w) - ((w.style & WS_HSCROLL) ? kScrollBarSize : 0);
  return RECT{0, 0, std::max<LONG>(width, 0), std::max<LONG>(height, 0)};
}

void RaiseLocked(HWND target) {
  Manager& m = Wm();
  std::vector<HWND> owned;
  for (HWND h : m.zOrder) {
    auto w = FindLocked(h);
    if (w && w->owner == target) owned.push_back(h);
  }
  std::erase(m.zOrder, target);
  m.zOrder.insert(m.zOrder.begin(), target);
  for (auto it = owned.rbegin(); it != owned.rend(); ++it) {
    std::erase(m.zOrder, *it);
    m.zOrder.insert(m.zOrder.begin(), *it);
  }
}

bool MoveInternal(HWND hwnd, int x, int y, int cx, int cy, bool move, bool size) {
  bool moved = false;
  bool sized = false;
  RECT client{};
  POINT origin{};
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindOrFailLocked(hwnd);
    if (!w) return false;
    RECT r = w->rect;
    if (cx < 0) cx = 0;
    if (cy < 0) cy = 0;
    if (move && (x != r.left || y != r.top)) {
      LONG width = r.right - r.left, height = r.bottom - r.top;
      r = RECT{x, y, x + width, y + height};
      moved = true;
    }
    if (size && (cx != r.right - r.left || cy != r.bottom - r.top)) {
      r.right = r.left + cx;
      r.bottom = r.top + cy;
      sized = true;
    }
    if (!moved && !sized) return true;
    w->rect = r;
    if (w->creating) w->resizedWhileCreating = true;
    client = ClientRectLocked(*w);
    origin = ClientOriginLocked(*w);
    NoteChange();
  }
  if (moved) Send(hwnd, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
  if (sized) Send(hwnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
  return true;
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::FindLocked;
using windowing::FindOrFailLocked;
using windowing::Wm;

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  PlatformCall call;
  bool show = nCmdShow != SW_HIDE;
  bool wasVisible;
  bool activate;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindOrFailLocked(hWnd);
    if (!w) return FALSE;
    wasVisible = (w->style & WS_VISIBLE) != 0;
    if (show) {
      w->style |= WS_VISIBLE;
    } else {
      w->style &= ~static_cast<DWORD>(WS_VISIBLE);
    }
    activate =
        show && !(w->style & WS_CHILD) && !w->noActivate && nCmdShow != SW_SHOWNA && nCmdShow != SW_SHOWNOACTIVATE;
    if (show != wasVisible) windowing::NoteChange();
  }
  if (show != wasVisible) windowing::Send(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
  if (!show) windowing::PassActivationOn(hWnd);
  if (activate) windowing::ActivateInternal(hWnd);
  return wasVisible ? TRUE : FALSE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindOrFailLocked(hWnd);
  if (!w) return FALSE;
  if (!lpRect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpRect = windowing::ClientRectLocked(*w);
  return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindOrFailLocked(hWnd);
  if (!w) return FALSE;
  if (!lpRect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpRect = windowing::ScreenRectLocked(*w);
  return TRUE;
}

BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
  PlatformCall call;
  if (!windowing::MoveInternal(hWnd, X, Y, cx, cy, !(uFlags & SWP_NOMOVE), !(uFlags & SWP_NOSIZE))) return FALSE;
  if (!(uFlags & SWP_NOZORDER)) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindLocked(hWnd);
    if (w && !w->parent) {
      auto& z = Wm().zOrder;
      if (hWndInsertAfter == HWND_TOP || hWndInsertAfter == HWND_TOPMOST) {
        windowing::RaiseLocked(hWnd);
      } else if (hWndInsertAfter == HWND_BOTTOM) {
        std::erase(z, hWnd);
        z.push_back(hWnd);
      }
      windowing::NoteChange();
    }
  }
  if (uFlags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW)) {
    ShowWindow(hWnd, (uFlags & SWP_SHOWWINDOW) ? ((uFlags & SWP_NOACTIVATE) ? SW_SHOWNA : SW_SHOW) : SW_HIDE);
  }
  return TRUE;
}

BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL) {
  PlatformCall call;
  return windowing::MoveInternal(hWnd, X, Y, nWidth, nHeight, true, true) ? TRUE : FALSE;
}
