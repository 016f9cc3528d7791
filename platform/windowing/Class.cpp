// Window classes: the system's own ("edit", "static", "button", dialogs and
// menu bars) and those the application registers, and the stock cursors and
// brushes a class names.
#include <windows.h>

#include "board/Board.h"
#include "kernel/Thread.h"
#include "text/WideText.h"
#include "windowing/WindowingInternal.h"

namespace windowing {
namespace {

void AddSystemClass(Manager& m, std::u16string name, WNDPROC proc, ClassKind kind) {
  auto cls = std::make_shared<WindowClass>();
  cls->name = std::move(name);
  cls->atom = m.nextAtom++;
  cls->proc = proc;
  cls->kind = kind;
  m.classes.push_back(std::move(cls));
}

}  // namespace

void AddSystemClasses(Manager& m) {
  AddSystemClass(m, u"edit", EditProc, ClassKind::kEdit);
  AddSystemClass(m, u"static", StaticProc, ClassKind::kStatic);
  AddSystemClass(m, u"button", ButtonProc, ClassKind::kButton);
  AddSystemClass(m, kDialogClass, DialogProc, ClassKind::kDialog);
  AddSystemClass(m, kMenuBarClass, MenuBarProc, ClassKind::kMenuBar);
}

std::shared_ptr<WindowClass> FindClassLocked(LPCWSTR name) {
  for (auto& cls : Wm().classes) {
    if (IS_INTRESOURCE(name) ? cls->atom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(name))
                             : text::EqualsIgnoreCase(cls->name, text::View(name))) {
      return cls;
    }
  }
  return nullptr;
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::Wm;

ATOM WINAPI RegisterClassW(const WNDCLASSW* lpWndClass) {
  PlatformCall call;
  if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr || lpWndClass->lpszClassName == nullptr ||
      IS_INTRESOURCE(lpWndClass->lpszClassName) || lpWndClass->lpszClassName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (board::PlatformFaults().registerClassFails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (windowing::FindClassLocked(lpWndClass->lpszClassName)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  auto cls = std::make_shared<windowing::WindowClass>();
  cls->name = lpWndClass->lpszClassName;
  cls->atom = Wm().nextAtom++;
  cls->proc = lpWndClass->lpfnWndProc;
  cls->style = lpWndClass->style;
  cls->instance = lpWndClass->hInstance;
  cls->background = lpWndClass->hbrBackground;
  cls->cursor = lpWndClass->hCursor;
  Wm().classes.push_back(cls);
  return cls->atom;
}

BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto cls = windowing::FindClassLocked(lpClassName);
  if (!cls || cls->kind != windowing::ClassKind::kApplication) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (cls->windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  std::erase(Wm().classes, cls);
  return TRUE;
}

HCURSOR WINAPI LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
  PlatformCall call;
  // Only the system's own cursors exist; the handset shows none of them.
  if (hInstance == nullptr && IS_INTRESOURCE(lpCursorName)) {
    auto id = reinterpret_cast<uintptr_t>(lpCursorName);
    if (id == 32512 || id == 32514) return reinterpret_cast<HCURSOR>(0x00010000 + id);
  }
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

HGDIOBJ WINAPI GetStockObject(int fnObject) {
  PlatformCall call;
  switch (fnObject) {
    case WHITE_BRUSH:
    case LTGRAY_BRUSH:
    case GRAY_BRUSH:
    case 3:  // DKGRAY_BRUSH
    case BLACK_BRUSH:
    case NULL_BRUSH:
    case SYSTEM_FONT:
      return reinterpret_cast<HGDIOBJ>(static_cast<uintptr_t>(0x00020000 + fnObject * 4));
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
}
