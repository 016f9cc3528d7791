// Focus, activation, the foreground window and enabling.
//
// The lock is never held while a window is told: activation and focus
// changes reach the windows as notifications after the state has changed.
#include <windows.h>

#include "kernel/Thread.h"
#include "windowing/WindowingInternal.h"

namespace windowing {
namespace {

// The window activation passes to when `leaving` stops being the foreground.
HWND NextActiveLocked(HWND leaving) {
  Manager& m = Wm();
  auto w = FindLocked(leaving);
  if (w && w->owner) {
    auto owner = FindLocked(w->owner);
    if (owner && !owner->destroying && (owner->style & WS_VISIBLE)) return owner->handle;
  }
  for (HWND candidate : m.zOrder) {
    auto c = FindLocked(candidate);
    if (candidate == leaving || !c || c->destroying || c->noActivate) continue;
    if (!(c->style & WS_VISIBLE) || (c->style & WS_DISABLED)) continue;
    if (leaving && IsDescendantLocked(leaving, candidate)) continue;
    return candidate;
  }
  return nullptr;
}

// Changes the focus and tells both windows. With `whileForeground`, only
// while that window is still the foreground one.
HWND ChangeFocus(HWND hwnd, HWND whileForeground = nullptr) {
  HWND old;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    old = Wm().focus;
    if (whileForeground && Wm().foreground != whileForeground) return old;
    if (old == hwnd) return old;
    Wm().focus = hwnd;
    NoteChange();
  }
  if (old) Deliver(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  if (hwnd) Deliver(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  return old;
}

// The top-level window that activating `hwnd` makes the foreground one. A
// disabled window (the owner of a modal dialog) passes activation on to the
// enabled window it owns.
std::shared_ptr<Window> ActivationTargetLocked(HWND hwnd) {
  HWND target = TopLevelOfLocked(hwnd);
  auto w = FindLocked(target);
  if (!w || !(w->style & WS_DISABLED)) return w;
  for (HWND h : Wm().zOrder) {
    auto popup = FindLocked(h);
    if (popup && popup->owner == target && !popup->noActivate && !popup->destroying && !(popup->style & WS_DISABLED) &&
        (popup->style & WS_VISIBLE)) {
      return popup;
    }
  }
  return w;
}

bool StillForeground(HWND hwnd) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  return Wm().foreground == hwnd;
}

}  // namespace

bool ActivateInternal(HWND hwnd, bool moveFocus) {
  HWND old;
  HWND target;
  bool focusInside;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    Manager& m = Wm();
    auto w = ActivationTargetLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    if (w->noActivate || w->destroying) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    target = w->handle;
    // Owned windows stay above their owner.
    if (w->owner) {
      RaiseLocked(w->owner);
      if (auto owner = FindLocked(w->owner)) owner->lastActivePopup = target;
    }
    RaiseLocked(target);
    old = m.foreground;
    NoteChange();
    if (old == target) return true;
    m.foreground = target;
    focusInside = m.focus && IsDescendantLocked(target, m.focus);
  }
  // Telling the old window may let another thread activate a window of its
  // own meanwhile (a timer raising it, say); that later activation stands,
  // and this one neither tells its target nor moves the focus any more.
  if (old) Deliver(old, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), reinterpret_cast<LPARAM>(target));
  if (!StillForeground(target)) return true;
  Deliver(target, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), reinterpret_cast<LPARAM>(old));
  if (moveFocus && !focusInside) ChangeFocus(target, target);
  return true;
}

HWND SetFocusInternal(HWND hwnd) {
  if (hwnd) {
    HWND top;
    bool activate;
    {
      std::lock_guard<std::mutex> guard(Wm().lock);
      if (!FindOrFailLocked(hwnd)) return nullptr;
      top = TopLevelOfLocked(hwnd);
      activate = Wm().foreground != top;
    }
    // Focus into another top-level window activates it first.
    if (activate) ActivateInternal(top, false);
  }
  return ChangeFocus(hwnd);
}

void PassActivationOn(HWND leaving) {
  HWND next;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (Wm().foreground != leaving) return;
    next = NextActiveLocked(leaving);
    if (!next) {
      Wm().foreground = nullptr;
      NoteChange();
    }
  }
  if (next) {
    ActivateInternal(next);
  } else {
    Deliver(leaving, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), 0);
  }
}

HWND ReleaseActivationAndFocus(HWND hwnd) {
  HWND focusInside = nullptr;
  HWND next = nullptr;
  bool wasForeground = false;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    Manager& m = Wm();
    if (m.focus && IsDescendantLocked(hwnd, m.focus)) focusInside = m.focus;
    if (m.foreground == hwnd) {
      wasForeground = true;
      next = NextActiveLocked(hwnd);
      m.foreground = nullptr;
    }
  }
  if (wasForeground) Deliver(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), reinterpret_cast<LPARAM>(next));
  if (focusInside) {
    {
      std::lock_guard<std::mutex> guard(Wm().lock);
      if (Wm().focus == focusInside) Wm().focus = nullptr;
    }
    Deliver(focusInside, WM_KILLFOCUS, 0, 0);
  }
  return next;
}

void EnableInternal(HWND hwnd, bool enable) {
  bool changed = false;
  HWND lostFocus = nullptr;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindLocked(hwnd);
    if (!w) return;
    bool disabled = (w->style & WS_DISABLED) != 0;
    if (disabled == !enable) return;
    changed = true;
    if (enable) {
      w->style &= ~static_cast<DWORD>(WS_DISABLED);
    } else {
      w->style |= WS_DISABLED;
      if (Wm().focus && IsDescendantLocked(hwnd, Wm().focus)) {
        lostFocus = Wm().focus;
        Wm().focus = nullptr;
      }
    }
    NoteChange();
  }
  if (lostFocus) Deliver(lostFocus, WM_KILLFOCUS, 0, 0);
  if (changed) Deliver(hwnd, WM_ENABLE, enable ? TRUE : FALSE, 0);
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::FindLocked;
using windowing::FindOrFailLocked;
using windowing::Wm;

HWND WINAPI SetFocus(HWND hWnd) {
  PlatformCall call;
  if (hWnd) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindOrFailLocked(hWnd);
    if (!w) return nullptr;
    if (w->queue.get() != &windowing::CurrentQueue()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  }
  return windowing::SetFocusInternal(hWnd);
}

HWND WINAPI GetFocus(void) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(Wm().focus);
  return (w && w->queue.get() == &windowing::CurrentQueue()) ? w->handle : nullptr;
}

HWND WINAPI GetForegroundWindow(void) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  return Wm().foreground;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  PlatformCall call;
  bool wasDisabled;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindOrFailLocked(hWnd);
    if (!w) return FALSE;
    wasDisabled = (w->style & WS_DISABLED) != 0;
  }
  windowing::EnableInternal(hWnd, bEnable != FALSE);
  return wasDisabled ? TRUE : FALSE;
}
