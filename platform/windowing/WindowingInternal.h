// What the window manager's sources share among themselves and nobody
// outside this folder needs: class lookup, the z-order and the hand-over of
// activation when a window goes, the modal loops of dialogs and message
// boxes. Everything else shared lives in WindowManager.h.
#pragma once

#include <windows.h>

#include <functional>
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

// --- modal loops (Dialogs.cpp; message boxes in MessageBox.cpp use them too)
// Runs the thread's messages until `ended` holds. False when WM_QUIT came
// first (it is posted again).
bool ModalLoop(HWND dialog, const std::function<bool()>& ended);
// Disables `owner` for a modal loop; returns whether it was enabled.
bool DisableOwner(HWND owner);

// Undoes what a modal loop set up if its thread is terminated inside: the
// entry leaves the screen and the owner (maybe another thread's) is usable
// again. Only state changes: a thread that unwinds calls no window.
class ModalGuard {
 public:
  ModalGuard(std::shared_ptr<BoxRecord> box, HWND owner) : box_(std::move(box)), owner_(owner) {}
  ModalGuard(const ModalGuard&) = delete;
  ModalGuard& operator=(const ModalGuard&) = delete;
  ~ModalGuard();
  void OwnerDisabled() { disabledOwner_ = true; }
  void Done() { done_ = true; }

 private:
  std::shared_ptr<BoxRecord> box_;
  HWND owner_;
  bool disabledOwner_ = false;
  bool done_ = false;
};

}  // namespace windowing
