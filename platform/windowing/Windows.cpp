// Classes and windows: creation and destruction, geometry, text, focus,
// activation and enabling.
#include <windows.h>

#include <unistd.h>

#include <algorithm>

#include "board/Board.h"
#include "kernel/Thread.h"
#include "text/WideText.h"
#include "windowing/Edit.h"
#include "windowing/Screen.h"
#include "windowing/WindowManager.h"

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

std::shared_ptr<WindowClass> FindClassLocked(LPCWSTR name) {
  for (auto& cls : Wm().classes) {
    if (IS_INTRESOURCE(name) ? cls->atom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(name))
                             : text::EqualsIgnoreCase(cls->name, text::View(name))) {
      return cls;
    }
  }
  return nullptr;
}

int BorderOf(const Window& w) {
  int border = 0;
  if (w.exStyle & WS_EX_CLIENTEDGE) border += kClientEdge;
  if (w.style & (WS_BORDER | WS_DLGFRAME)) border += 1;
  return border;
}

int CaptionOf(const Window& w) { return (w.style & WS_CAPTION) == WS_CAPTION ? kCaptionHeight : 0; }

bool IsTopLevel(const Window& w) { return (w.style & WS_CHILD) == 0; }

// All windows of the subtree, the root first, parents before children.
void CollectSubtreeLocked(HWND root, std::vector<HWND>& out) {
  auto w = FindLocked(root);
  if (!w) return;
  out.push_back(root);
  for (HWND child : w->children) CollectSubtreeLocked(child, out);
}

// Takes the windows out of every table, without calling them.
void RemoveWindowsLocked(const std::vector<HWND>& doomed) {
  Manager& m = Wm();
  auto isDoomed = [&](HWND h) { return h && std::find(doomed.begin(), doomed.end(), h) != doomed.end(); };
  for (HWND hwnd : doomed) {
    auto w = FindLocked(hwnd);
    if (!w) continue;
    ThreadQueue& queue = *w->queue;
    // Nobody waits for a reply from a window that is gone.
    for (SentMessage* message = queue.sentHead; message;) {
      SentMessage* next = message->next;
      if (message->hwnd == hwnd) CompleteSentLocked(queue, message, 0);
      message = next;
    }
    std::erase_if(queue.timers, [&](const Timer& t) { return t.hwnd == hwnd; });
    if (auto parent = FindLocked(w->parent)) std::erase(parent->children, hwnd);
    std::erase(m.zOrder, hwnd);
    if (IsTopLevel(*w)) WithdrawWindowLocked(hwnd);
    w->cls->windows--;
    m.windows.erase(reinterpret_cast<uintptr_t>(hwnd));
  }
  if (isDoomed(m.focus)) m.focus = nullptr;
  if (isDoomed(m.foreground)) m.foreground = nullptr;
  if (isDoomed(m.openMenuBar)) {
    m.openMenuBar = nullptr;
    m.openMenuButton = -1;
  }
  std::erase_if(m.modals, [&](const ModalEntry& e) { return isDoomed(e.dialog); });
  for (auto& [value, w] : m.windows) {
    if (isDoomed(w->owner)) w->owner = nullptr;
    if (isDoomed(w->lastActivePopup)) w->lastActivePopup = nullptr;
  }
  NoteChange();
}

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

// Changes the focus and tells both windows.
HWND ChangeFocus(HWND hwnd) {
  HWND old;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    old = Wm().focus;
    if (old == hwnd) return old;
    Wm().focus = hwnd;
    NoteChange();
  }
  if (old) Deliver(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  if (hwnd) Deliver(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  return old;
}

// Raises `target` and the windows it owns (which stay above it).
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

void SendDestroyTree(HWND hwnd) {
  std::shared_ptr<Window> w;
  std::vector<HWND> children;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    w = FindLocked(hwnd);
    if (!w) return;
    w->destroying = true;
  }
  CallProc(w, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    children = w->children;
  }
  for (HWND child : children) SendDestroyTree(child);
}

}  // namespace

Manager& Wm() {
  static auto* manager = [] {
    auto* m = new Manager;
    AddSystemClass(*m, u"edit", EditProc, ClassKind::kEdit);
    AddSystemClass(*m, u"static", StaticProc, ClassKind::kStatic);
    AddSystemClass(*m, u"button", ButtonProc, ClassKind::kButton);
    AddSystemClass(*m, kDialogClass, DialogProc, ClassKind::kDialog);
    AddSystemClass(*m, kMenuBarClass, MenuBarProc, ClassKind::kMenuBar);
    return m;
  }();
  return *manager;
}

std::shared_ptr<Window> FindLocked(HWND hwnd) {
  if (!hwnd) return nullptr;
  auto& windows = Wm().windows;
  auto it = windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == windows.end() ? nullptr : it->second;
}

HWND AllocateHandleLocked() {
  Manager& m = Wm();
  m.nextHandle += 4;  // even values: the lowest bit is free for "with its owned windows"
  return reinterpret_cast<HWND>(m.nextHandle);
}

bool IsDescendantLocked(HWND ancestor, HWND hwnd) {
  for (auto w = FindLocked(hwnd); w; w = FindLocked(w->parent)) {
    if (w->handle == ancestor) return true;
  }
  return false;
}

HWND TopLevelOfLocked(HWND hwnd) {
  auto w = FindLocked(hwnd);
  while (w && w->parent) w = FindLocked(w->parent);
  return w ? w->handle : nullptr;
}

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

HWND CreateInternal(DWORD exStyle, std::u16string_view className, std::u16string_view title, DWORD style, int x, int y,
                    int cx, int cy, HWND parentOrOwner, HMENU menuOrId, HINSTANCE instance, LPVOID param,
                    const std::function<void(Window&)>& setup) {
  std::u16string classText(className);
  std::u16string titleText(title);
  std::shared_ptr<Window> w = std::make_shared<Window>();
  {
    Manager& m = Wm();
    std::lock_guard<std::mutex> guard(m.lock);
    auto cls = FindClassLocked(classText.c_str());
    if (!cls) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    if (cls->kind == ClassKind::kEdit && board::PlatformFaults().editCreateFails) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    std::shared_ptr<Window> parent;
    if (style & WS_CHILD) {
      if (!parentOrOwner) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
      }
      parent = FindLocked(parentOrOwner);
      if (!parent) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
      w->parent = parent->handle;
      w->id = static_cast<int>(reinterpret_cast<intptr_t>(menuOrId));
      if (x == CW_USEDEFAULT) x = y = 0;
      if (cx == CW_USEDEFAULT) cx = cy = 0;
    } else {
      if (parentOrOwner) {
        HWND owner = TopLevelOfLocked(parentOrOwner);
        if (!owner) {
          SetLastError(ERROR_INVALID_WINDOW_HANDLE);
          return nullptr;
        }
        w->owner = owner;
      }
      // A window of default size covers the screen below the title bar.
      if (x == CW_USEDEFAULT) {
        x = 0;
        y = screen::kTitleBarHeight;
      }
      if (cx == CW_USEDEFAULT) {
        cx = screen::kWidth;
        cy = screen::kHeight - screen::kTitleBarHeight;
      }
    }
    w->handle = AllocateHandleLocked();
    w->cls = cls;
    w->proc = cls->proc;
    w->queue = CurrentQueueShared();
    w->style = style;
    w->exStyle = exStyle;
    w->rect = RECT{x, y, x + cx, y + cy};
    w->title = titleText;
    w->instance = instance;
    w->order = m.nextOrder++;
    if (cls->kind == ClassKind::kEdit) w->edit = std::make_shared<EditControl>(style);
    if (setup) setup(*w);
    m.windows[reinterpret_cast<uintptr_t>(w->handle)] = w;
    cls->windows++;
    if (parent) {
      parent->children.push_back(w->handle);
    } else {
      m.zOrder.insert(m.zOrder.begin(), w->handle);
      PublishWindowLocked(*w);
    }
    NoteChange();
  }

  CREATESTRUCTW create{};
  create.lpCreateParams = param;
  create.hInstance = instance;
  create.hMenu = menuOrId;
  create.hwndParent = parentOrOwner;
  create.cy = cy;
  create.cx = cx;
  create.y = y;
  create.x = x;
  create.style = static_cast<LONG>(style);
  create.lpszName = titleText.c_str();
  create.lpszClass = classText.c_str();
  create.dwExStyle = exStyle;
  LRESULT created = CallProc(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create));
  HWND hwnd = w->handle;
  if (created == -1) {
    DestroyInternal(hwnd);
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (FindLocked(hwnd)) RemoveWindowsLocked({hwnd});
    return nullptr;
  }
  RECT client;
  POINT origin;
  bool resized;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (!FindLocked(hwnd) || w->destroying) return nullptr;  // WM_CREATE destroyed it
    w->creating = false;
    resized = w->resizedWhileCreating;
    client = ClientRectLocked(*w);
    origin = ClientOriginLocked(*w);
  }
  if (!resized) {
    Send(hwnd, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
    Send(hwnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
  }
  if (!(style & WS_CHILD) && (style & WS_VISIBLE) && !w->noActivate) ActivateInternal(hwnd);
  return IsWindow(hwnd) ? hwnd : nullptr;
}

bool DestroyInternal(HWND hwnd) {
  std::shared_ptr<Window> w;
  std::vector<HWND> owned;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    w = FindLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    if (w->queue.get() != &CurrentQueue()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    if (w->destroying) return true;  // already on its way, from inside WM_DESTROY
    w->destroying = true;
    for (auto& [value, other] : Wm().windows) {
      if (other->owner == hwnd && other->queue == w->queue) owned.push_back(other->handle);
    }
  }
  // Owned windows go first, as they would with their owner's end.
  for (HWND h : owned) DestroyInternal(h);

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
  // The window first, then its children: parents see their children alive.
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    w->destroying = false;  // SendDestroyTree marks the whole subtree
  }
  SendDestroyTree(hwnd);
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    std::vector<HWND> doomed;
    CollectSubtreeLocked(hwnd, doomed);
    RemoveWindowsLocked(doomed);
  }
  if (wasForeground && next) ActivateInternal(next);
  return true;
}

void ForgetThreadWindowsLocked(ThreadQueue& queue) {
  Manager& m = Wm();
  std::vector<HWND> doomed;
  for (auto& [value, w] : m.windows) {
    if (w->queue.get() == &queue) doomed.push_back(w->handle);
  }
  std::erase_if(m.modals, [&](const ModalEntry& e) { return e.box && e.box->queue.get() == &queue; });
  if (!doomed.empty()) RemoveWindowsLocked(doomed);
  NoteChange();
}

bool ActivateInternal(HWND hwnd, bool moveFocus) {
  HWND old;
  HWND target;
  bool focusInside;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    Manager& m = Wm();
    target = TopLevelOfLocked(hwnd);
    auto w = FindLocked(target);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    // A disabled window (the owner of a modal dialog) passes activation on to
    // the enabled window it owns.
    if (w->style & WS_DISABLED) {
      for (HWND h : m.zOrder) {
        auto popup = FindLocked(h);
        if (popup && popup->owner == target && !popup->noActivate && !popup->destroying &&
            !(popup->style & WS_DISABLED) && (popup->style & WS_VISIBLE)) {
          w = popup;
          target = h;
          break;
        }
      }
    }
    if (w->noActivate || w->destroying) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
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
  if (old) Deliver(old, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), reinterpret_cast<LPARAM>(target));
  Deliver(target, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), reinterpret_cast<LPARAM>(old));
  if (moveFocus && !focusInside) ChangeFocus(target);
  return true;
}

HWND SetFocusInternal(HWND hwnd) {
  if (hwnd) {
    HWND top;
    bool activate;
    {
      std::lock_guard<std::mutex> guard(Wm().lock);
      if (!FindLocked(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
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

bool MoveInternal(HWND hwnd, int x, int y, int cx, int cy, bool move, bool size) {
  bool moved = false;
  bool sized = false;
  RECT client{};
  POINT origin{};
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindLocked(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
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

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam) {
  PlatformCall call;
  if (lpClassName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string className;
  if (IS_INTRESOURCE(lpClassName)) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto cls = windowing::FindClassLocked(lpClassName);
    if (!cls) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    className = cls->name;
  } else {
    className = lpClassName;
  }
  return windowing::CreateInternal(dwExStyle, className, text::View(lpWindowName), dwStyle, X, Y, nWidth, nHeight,
                                   hWndParent, hMenu, hInstance, lpParam, nullptr);
}

BOOL WINAPI IsWindow(HWND hWnd) {
  PlatformCall call;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (FindLocked(hWnd)) return TRUE;
  }
  return windowing::RemoteWindowAlive(hWnd).value_or(false) ? TRUE : FALSE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  PlatformCall call;
  bool show = nCmdShow != SW_HIDE;
  bool wasVisible;
  bool activate;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
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

BOOL WINAPI UpdateWindow(HWND hWnd) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (!FindLocked(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;  // nothing is painted: the front ends draw from the screen model
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  PlatformCall call;
  return windowing::DestroyInternal(hWnd) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  PlatformCall call;
  switch (Msg) {
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_SETTEXT: {
      std::lock_guard<std::mutex> guard(Wm().lock);
      auto w = FindLocked(hWnd);
      if (!w) return FALSE;
      w->title = text::View(reinterpret_cast<LPCWSTR>(lParam));
      if (!(w->style & WS_CHILD)) windowing::PublishWindowLocked(*w);
      windowing::NoteChange();
      return TRUE;
    }
    case WM_GETTEXT: {
      std::lock_guard<std::mutex> guard(Wm().lock);
      auto w = FindLocked(hWnd);
      auto* buffer = reinterpret_cast<LPWSTR>(lParam);
      if (!w || !buffer || wParam == 0) return 0;
      size_t n = std::min<size_t>(w->title.size(), wParam - 1);
      std::copy_n(w->title.data(), n, buffer);
      buffer[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
      std::lock_guard<std::mutex> guard(Wm().lock);
      auto w = FindLocked(hWnd);
      return w ? static_cast<LRESULT>(w->title.size()) : 0;
    }
    default:
      (void)wParam;
      return 0;
  }
}

HWND WINAPI GetParent(HWND hWnd) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (w->parent) return w->parent;
  // A popup's "parent" is its owner.
  return (w->style & WS_POPUP) ? w->owner : nullptr;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hDlg);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (HWND child : w->children) {
    auto c = FindLocked(child);
    if (c && c->id == nIDDlgItem) return child;
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return w->parent ? w->id : 0;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hWnd);
  if (!w || !lpRect) {
    SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *lpRect = windowing::ClientRectLocked(*w);
  return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hWnd);
  if (!w || !lpRect) {
    SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
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

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  PlatformCall call;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (!FindLocked(hWnd)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
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
    auto w = FindLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
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
    auto w = FindLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (w->queue.get() != &windowing::CurrentQueue()) {
      return static_cast<int>(w->edit ? w->edit->Length() : w->title.size());
    }
  }
  return static_cast<int>(windowing::Send(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

HWND WINAPI SetFocus(HWND hWnd) {
  PlatformCall call;
  if (hWnd) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
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
    auto w = FindLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    wasDisabled = (w->style & WS_DISABLED) != 0;
  }
  windowing::EnableInternal(hWnd, bEnable != FALSE);
  return wasDisabled ? TRUE : FALSE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (lpdwProcessId) *lpdwProcessId = static_cast<DWORD>(getpid());
  return w->queue->threadId;
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
