// Windows: handles and the window tree (parents, children, owners),
// creation and destruction, and the thread a window belongs to.
#include <windows.h>

#include <unistd.h>

#include <algorithm>

#include "board/Board.h"
#include "kernel/Thread.h"
#include "text/WideText.h"
#include "windowing/Edit.h"
#include "windowing/Screen.h"
#include "windowing/WindowingInternal.h"

namespace windowing {
namespace {

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

// ------------------------------------------------------------- creation

// What the creator asked for; the steps below fill in defaults.
struct CreateRequest {
  DWORD exStyle;
  std::u16string className;
  std::u16string title;
  DWORD style;
  int x, y, cx, cy;
  HWND parentOrOwner;
  HMENU menuOrId;
  HINSTANCE instance;
  LPVOID param;
};

// A child: its parent and control id; a default place is the parent's corner.
std::shared_ptr<Window> AttachToParentLocked(CreateRequest& r, Window& w) {
  if (!r.parentOrOwner) {
    SetLastError(ERROR_TLW_WITH_WSCHILD);
    return nullptr;
  }
  auto parent = FindOrFailLocked(r.parentOrOwner);
  if (!parent) return nullptr;
  w.parent = parent->handle;
  w.id = static_cast<int>(reinterpret_cast<intptr_t>(r.menuOrId));
  if (r.x == CW_USEDEFAULT) r.x = r.y = 0;
  if (r.cx == CW_USEDEFAULT) r.cx = r.cy = 0;
  return parent;
}

// A top-level window: its owner, if any; a default size covers the screen
// below the title bar.
bool AttachToOwnerLocked(CreateRequest& r, Window& w) {
  if (r.parentOrOwner) {
    HWND owner = TopLevelOfLocked(r.parentOrOwner);
    if (!owner) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    w.owner = owner;
  }
  if (r.x == CW_USEDEFAULT) {
    r.x = 0;
    r.y = screen::kTitleBarHeight;
  }
  if (r.cx == CW_USEDEFAULT) {
    r.cx = screen::kWidth;
    r.cy = screen::kHeight - screen::kTitleBarHeight;
  }
  return true;
}

// Makes the window and enters it in the tables: after this it exists, before
// its procedure has seen WM_CREATE.
std::shared_ptr<Window> AddWindow(CreateRequest& r, const std::function<void(Window&)>& setup) {
  Manager& m = Wm();
  std::lock_guard<std::mutex> guard(m.lock);
  auto cls = FindClassLocked(r.className.c_str());
  if (!cls) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if (cls->kind == ClassKind::kEdit && board::PlatformFaults().editCreateFails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto w = std::make_shared<Window>();
  std::shared_ptr<Window> parent;
  if (r.style & WS_CHILD) {
    parent = AttachToParentLocked(r, *w);
    if (!parent) return nullptr;
  } else if (!AttachToOwnerLocked(r, *w)) {
    return nullptr;
  }
  w->handle = AllocateHandleLocked();
  w->cls = cls;
  w->proc = cls->proc;
  w->queue = CurrentQueueShared();
  w->style = r.style;
  w->exStyle = r.exStyle;
  w->rect = RECT{r.x, r.y, r.x + r.cx, r.y + r.cy};
  w->title = r.title;
  w->instance = r.instance;
  w->order = m.nextOrder++;
  if (cls->kind == ClassKind::kEdit) w->edit = std::make_shared<EditControl>(r.style);
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
  return w;
}

// WM_CREATE; a window that refuses (-1) is destroyed. False if it is gone.
bool SendCreate(const std::shared_ptr<Window>& w, const CreateRequest& r) {
  CREATESTRUCTW create{};
  create.lpCreateParams = r.param;
  create.hInstance = r.instance;
  create.hMenu = r.menuOrId;
  create.hwndParent = r.parentOrOwner;
  create.cy = r.cy;
  create.cx = r.cx;
  create.y = r.y;
  create.x = r.x;
  create.style = static_cast<LONG>(r.style);
  create.lpszName = r.title.c_str();
  create.lpszClass = r.className.c_str();
  create.dwExStyle = r.exStyle;
  if (CallProc(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) != -1) return true;
  HWND hwnd = w->handle;
  DestroyInternal(hwnd);
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (FindLocked(hwnd)) RemoveWindowsLocked({hwnd});
  return false;
}

// Ends creation: the first WM_MOVE and WM_SIZE, unless the window was
// placed while it handled WM_CREATE. False if WM_CREATE destroyed it.
bool EndCreation(const std::shared_ptr<Window>& w) {
  HWND hwnd = w->handle;
  RECT client;
  POINT origin;
  bool resized;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (!FindLocked(hwnd) || w->destroying) return false;
    w->creating = false;
    resized = w->resizedWhileCreating;
    client = ClientRectLocked(*w);
    origin = ClientOriginLocked(*w);
  }
  if (!resized) {
    Send(hwnd, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
    Send(hwnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
  }
  return true;
}

// ---------------------------------------------------------- destruction

enum class DestroyStart { kRefused, kAlreadyGoing, kStarted };

// Marks the window as going and lists the windows it owns on this thread.
DestroyStart StartDestroy(HWND hwnd, std::shared_ptr<Window>& w, std::vector<HWND>& owned) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  w = FindOrFailLocked(hwnd);
  if (!w) return DestroyStart::kRefused;
  if (w->queue.get() != &CurrentQueue()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return DestroyStart::kRefused;
  }
  if (w->destroying) return DestroyStart::kAlreadyGoing;  // from inside WM_DESTROY
  w->destroying = true;
  for (auto& [value, other] : Wm().windows) {
    if (other->owner == hwnd && other->queue == w->queue) owned.push_back(other->handle);
  }
  return DestroyStart::kStarted;
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
    AddSystemClasses(*m);
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

std::shared_ptr<Window> FindOrFailLocked(HWND hwnd) {
  auto w = FindLocked(hwnd);
  if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return w;
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

HWND CreateInternal(DWORD exStyle, std::u16string_view className, std::u16string_view title, DWORD style, int x, int y,
                    int cx, int cy, HWND parentOrOwner, HMENU menuOrId, HINSTANCE instance, LPVOID param,
                    const std::function<void(Window&)>& setup) {
  CreateRequest request{
      exStyle, std::u16string(className), std::u16string(title), style, x, y, cx, cy, parentOrOwner, menuOrId, instance,
      param};
  std::shared_ptr<Window> w = AddWindow(request, setup);
  if (!w || !SendCreate(w, request) || !EndCreation(w)) return nullptr;
  HWND hwnd = w->handle;
  if (!(style & WS_CHILD) && (style & WS_VISIBLE) && !w->noActivate) ActivateInternal(hwnd);
  return IsWindow(hwnd) ? hwnd : nullptr;
}

bool DestroyInternal(HWND hwnd) {
  std::shared_ptr<Window> w;
  std::vector<HWND> owned;
  switch (StartDestroy(hwnd, w, owned)) {
    case DestroyStart::kRefused:
      return false;
    case DestroyStart::kAlreadyGoing:
      return true;
    case DestroyStart::kStarted:
      break;
  }
  // Owned windows go first, as they would with their owner's end.
  for (HWND h : owned) DestroyInternal(h);
  HWND next = ReleaseActivationAndFocus(hwnd);
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
  if (next) ActivateInternal(next);
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

}  // namespace windowing

using kernel::PlatformCall;
using windowing::FindLocked;
using windowing::FindOrFailLocked;
using windowing::Wm;

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

BOOL WINAPI UpdateWindow(HWND hWnd) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (!FindOrFailLocked(hWnd)) return FALSE;
  return TRUE;  // nothing is painted: the front ends draw from the screen model
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  PlatformCall call;
  return windowing::DestroyInternal(hWnd) ? TRUE : FALSE;
}

HWND WINAPI GetParent(HWND hWnd) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindOrFailLocked(hWnd);
  if (!w) return nullptr;
  if (w->parent) return w->parent;
  // A popup's "parent" is its owner.
  return (w->style & WS_POPUP) ? w->owner : nullptr;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindOrFailLocked(hDlg);
  if (!w) return nullptr;
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
  auto w = FindOrFailLocked(hWnd);
  if (!w) return 0;
  return w->parent ? w->id : 0;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindOrFailLocked(hWnd);
  if (!w) return 0;
  if (lpdwProcessId) *lpdwProcessId = static_cast<DWORD>(getpid());
  return w->queue->threadId;
}
