// What the window manager's sources share among themselves and nobody
// outside this folder needs: class lookup, the z-order and the hand-over of
// activation when a window goes. Everything else shared lives in
// WindowManager.h.
#pragma once

#include <windows.h>

#include <memory>

#include "windowing/WindowManager.h"

namespace windowing {

// --- classes (Class.cpp)
// Registers "edit", "static", "button", the dialog and menu bar classes.
void AddSystemClasses(Manager& m);
// By name (case-insensitive) or by atom.
std::shared_ptr<WindowClass> FindClassLocked(LPCWSTR name);

// --- z-order (WindowPos.cpp)
// Raises `target` and the windows it owns (which stay above it).
void RaiseLocked(HWND target);

// --- activation (Focus.cpp)
// `hwnd` is being destroyed: it stops being the foreground window (and is
// told so) and the focus leaves it. Returns the window to activate once it
// is gone, or null.
HWND ReleaseActivationAndFocus(HWND hwnd);

}  // namespace windowing
