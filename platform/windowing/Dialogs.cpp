// Message boxes and modal dialogs, and the controls dialogs are made of.
//
// Both run a modal loop on the calling thread: it serves messages sent to
// the thread, dispatches its posted messages and timers (the disabled
// owner's included) and ends when the person answers (boxes) or the dialog
// calls EndDialog. WM_QUIT ends the loop too and is posted again for the
// loop outside. A message box is no window: it sits on the screen's modal
// stack until a front end answers it.
#include <windows.h>

#include <algorithm>

#include "kernel/Thread.h"
#include "resources/Resources.h"
#include "resources/Templates.h"
#include "text/WideText.h"
#include "windowing/Screen.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

constexpr char16_t kDefaultCaption[] = u"Error";

std::vector<int> ButtonsOf(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK:
      return {IDOK};
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    default:
      return {};
  }
}

std::shared_ptr<DialogData> DialogOf(HWND hwnd) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hwnd);
  return w ? w->dialog : nullptr;
}

// Runs the thread's messages until `ended` holds. False when WM_QUIT came
// first (it is posted again).
bool ModalLoop(HWND dialog, const std::function<bool()>& ended) {
  for (;;) {
    MSG msg;
    Fetched fetched = GetMessageInternal(&msg, nullptr, 0, 0, ended);
    if (fetched == Fetched::kStopped) return true;
    if (fetched == Fetched::kQuit) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    if (dialog && IsDialogMessageW(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Undoes what a modal loop set up if its thread is terminated inside: the
// entry leaves the screen and the owner (maybe another thread's) is usable
// again. Only state changes: a thread that unwinds calls no window.
class ModalGuard {
 public:
  ModalGuard(std::shared_ptr<BoxRecord> box, HWND owner) : box_(std::move(box)), owner_(owner) {}
  ModalGuard(const ModalGuard&) = delete;
  ModalGuard& operator=(const ModalGuard&) = delete;
  ~ModalGuard() {
    if (done_) return;
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (box_) std::erase_if(Wm().modals, [&](const ModalEntry& e) { return e.box == box_; });
    if (auto owner = FindLocked(owner_); owner && disabledOwner_) owner->style &= ~static_cast<DWORD>(WS_DISABLED);
    NoteChange();
  }
  void OwnerDisabled() { disabledOwner_ = true; }
  void Done() { done_ = true; }

 private:
  std::shared_ptr<BoxRecord> box_;
  HWND owner_;
  bool disabledOwner_ = false;
  bool done_ = false;
};

// Disables `owner` for a modal loop; returns whether it was enabled.
bool DisableOwner(HWND owner) {
  if (!owner) return false;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto w = FindLocked(owner);
    if (!w || (w->style & WS_DISABLED)) return false;
  }
  EnableInternal(owner, false);
  return true;
}

int ToPixelsX(int dialogUnits) { return dialogUnits * screen::kCharWidth / 4; }
int ToPixelsY(int dialogUnits) { return dialogUnits * screen::kLineHeight / 8; }

std::u16string ClassOfItem(const resources::TemplateName& name) {
  if (name.kind == resources::TemplateName::kString) return name.text;
  switch (name.ordinal) {
    case 0x0080:
      return u"button";
    case 0x0081:
      return u"edit";
    case 0x0082:
      return u"static";
    default:
      return {};  // list boxes, scroll bars and combo boxes do not exist here
  }
}

// The controls that Tab visits, in creation order.
std::vector<HWND> TabStopsLocked(HWND dialog) {
  std::vector<HWND> stops;
  if (auto d = FindLocked(dialog)) {
    for (HWND child : d->children) {
      auto c = FindLocked(child);
      if (c && (c->style & WS_TABSTOP) && (c->style & WS_VISIBLE) && !(c->style & WS_DISABLED)) stops.push_back(child);
    }
  }
  return stops;
}

}  // namespace

LRESULT CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<DialogData> data = DialogOf(hwnd);
  if (data && data->proc) {
    BOOL handled = data->proc(hwnd, message, wParam, lParam);
    if (message == WM_INITDIALOG || handled) return handled;
  }
  switch (message) {
    case WM_CLOSE:
      // A dialog closes the way its Cancel button would.
      Post(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return 0;
    case WM_INITDIALOG:
      return TRUE;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if ((message == WM_KEYUP && wParam == VK_SPACE) || message == BM_CLICK) {
    HWND parent;
    int id;
    {
      std::lock_guard<std::mutex> guard(Wm().lock);
      auto w = FindLocked(hwnd);
      if (!w || !w->parent) return 0;
      parent = w->parent;
      id = w->id;
    }
    Send(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::FindLocked;
using windowing::Wm;

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  PlatformCall call;
  auto box = std::make_shared<windowing::BoxRecord>();
  box->buttons = windowing::ButtonsOf(uType);
  if (box->buttons.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t defaultIndex = (uType >> 8) & 0xF;
  box->defaultButton = box->buttons[defaultIndex < box->buttons.size() ? defaultIndex : 0];
  box->text = text::View(lpText);
  box->caption = lpCaption ? std::u16string(lpCaption) : std::u16string(windowing::kDefaultCaption);
  box->type = uType;
  HWND focus = nullptr;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (hWnd) {
      HWND owner = windowing::TopLevelOfLocked(hWnd);
      if (!owner) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      box->owner = owner;
    }
    box->id = Wm().nextBoxId++;
    box->queue = windowing::CurrentQueueShared();
    focus = Wm().focus;
  }
  windowing::ModalGuard guard(box, box->owner);
  bool disabled = windowing::DisableOwner(box->owner);
  if (disabled) guard.OwnerDisabled();
  {
    // On the screen once its owner is disabled.
    std::lock_guard<std::mutex> lock(Wm().lock);
    Wm().modals.push_back(windowing::ModalEntry{box, nullptr});
    windowing::NoteChange();
  }

  windowing::ModalLoop(nullptr, [&] { return box->result != 0; });

  guard.Done();
  // The owner is enabled and the focus goes back where it was before the box
  // took the keys; only then does the box leave the screen, handing on the
  // keys typed after its answer. Until then it holds them: keys typed
  // meanwhile would find the owner still disabled.
  if (disabled) windowing::EnableInternal(box->owner, true);
  bool restore;
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    restore = focus && !Wm().focus && FindLocked(focus) && FindLocked(focus)->queue.get() == &windowing::CurrentQueue();
  }
  if (restore) windowing::SetFocusInternal(focus);
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    std::erase_if(Wm().modals, [&](const windowing::ModalEntry& e) { return e.box == box; });
    windowing::RouteTypeAheadLocked(box->typeAhead);
    box->typeAhead.clear();
    windowing::NoteChange();
  }
  return box->result;
}

int WINAPI DialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                   DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  PlatformCall call;
  if (lpTemplate == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  HWND owner = nullptr;
  if (hWndParent) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    owner = windowing::TopLevelOfLocked(hWndParent);
    if (!owner) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  // A template inside a loaded resource is parsed within that resource's
  // bounds; one the caller built in memory is trusted, as Win32 trusts it.
  std::span<const uint8_t> bytes;
  if (auto inResource = resources::ResourceBytesFrom(lpTemplate)) {
    bytes = *inResource;
  } else {
    bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(lpTemplate), 0x10000);
  }
  std::optional<resources::DialogTemplateInfo> info = resources::ParseDialogTemplate(bytes);
  if (!info || info->windowClass.kind != resources::TemplateName::kNone) {
    SetLastError(info ? ERROR_CANNOT_FIND_WND_CLASS : ERROR_INVALID_PARAMETER);
    return -1;
  }

  // Geometry: dialog units to pixels; centred in the work area with
  // DS_CENTER, else placed relative to the owner's client area.
  DWORD style = (info->style & ~static_cast<DWORD>(WS_VISIBLE | WS_CHILD)) | WS_POPUP;
  int border = (style & (WS_BORDER | WS_DLGFRAME)) ? 1 : 0;
  if (info->exStyle & WS_EX_CLIENTEDGE) border += windowing::kClientEdge;
  int caption = (style & WS_CAPTION) == WS_CAPTION ? windowing::kCaptionHeight : 0;
  int width = windowing::ToPixelsX(info->cx) + 2 * border;
  int height = windowing::ToPixelsY(info->cy) + 2 * border + caption;
  int x = windowing::ToPixelsX(info->x);
  int y = windowing::ToPixelsY(info->y);
  RECT work = screen::WorkArea();
  if (info->style & DS_CENTER) {
    x = work.left + (work.right - work.left - width) / 2;
    y = work.top + (work.bottom - work.top - height) / 2;
  } else if (owner && !(info->style & DS_ABSALIGN)) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (auto o = FindLocked(owner)) {
      POINT origin = windowing::ClientOriginLocked(*o);
      x += origin.x;
      y += origin.y;
    }
  }

  auto data = std::make_shared<windowing::DialogData>();
  data->proc = lpDialogFunc;
  data->owner = owner;
  HWND dialog =
      windowing::CreateInternal(info->exStyle, windowing::kDialogClass, info->title, style, x, y, width, height, owner,
                                nullptr, hInstance, nullptr, [&](windowing::Window& w) { w.dialog = data; });
  if (!dialog) return -1;

  HWND firstTabStop = nullptr;
  for (const resources::DialogItemTemplate& item : info->items) {
    std::u16string cls = windowing::ClassOfItem(item.windowClass);
    std::u16string title = item.title.kind == resources::TemplateName::kString ? item.title.text : u"";
    HWND control =
        cls.empty()
            ? nullptr
            : windowing::CreateInternal(
                  item.exStyle, cls, title, item.style | WS_CHILD, windowing::ToPixelsX(item.x),
                  windowing::ToPixelsY(item.y), windowing::ToPixelsX(item.cx), windowing::ToPixelsY(item.cy), dialog,
                  reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)), hInstance,
                  item.creationData.empty() ? nullptr : const_cast<uint8_t*>(item.creationData.data()), nullptr);
    if (!control) {
      if (cls.empty()) SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      DWORD error = GetLastError();
      windowing::DestroyInternal(dialog);
      SetLastError(error);
      return -1;
    }
    if (!firstTabStop && (item.style & WS_TABSTOP)) firstTabStop = control;
  }

  LRESULT focusDefault = windowing::Send(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), dwInitParam);

  windowing::ModalGuard guard(nullptr, owner);
  bool disabled = windowing::DisableOwner(owner);
  if (disabled) guard.OwnerDisabled();
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    if (auto w = FindLocked(dialog)) w->style |= WS_VISIBLE;
  }
  windowing::ActivateInternal(dialog, !focusDefault);
  if (focusDefault) windowing::SetFocusInternal(firstTabStop ? firstTabStop : dialog);
  // On the screen once it is in front with the keys: a front end that sees
  // it can use it at once.
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    if (FindLocked(dialog)) {
      Wm().modals.push_back(windowing::ModalEntry{nullptr, dialog});
      windowing::NoteChange();
    }
  }

  windowing::ModalLoop(dialog, [&] { return data->ended || !FindLocked(dialog); });

  guard.Done();
  // The owner is enabled before the dialog goes, so activation returns to it.
  if (disabled) windowing::EnableInternal(owner, true);
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    std::erase_if(Wm().modals, [&](const windowing::ModalEntry& e) { return e.dialog == dialog; });
  }
  if (IsWindow(dialog)) windowing::DestroyInternal(dialog);
  return static_cast<int>(data->result);
}

BOOL WINAPI EndDialog(HWND hDlg, int nResult) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hDlg);
  if (!w || !w->dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  w->dialog->ended = true;
  w->dialog->result = nResult;
  windowing::WakeLocked(*w->queue);
  return TRUE;
}

BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg) {
  PlatformCall call;
  if (lpMsg == nullptr) return FALSE;
  HWND defaultButton = nullptr;
  HWND cancelButton = nullptr;
  int defaultId = IDOK;
  bool focusWantsReturn = false;
  std::vector<HWND> stops;
  HWND focus;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto dialog = FindLocked(hDlg);
    if (!dialog || !lpMsg->hwnd || (lpMsg->hwnd != hDlg && !windowing::IsDescendantLocked(hDlg, lpMsg->hwnd))) {
      return FALSE;
    }
    for (HWND child : dialog->children) {
      auto c = FindLocked(child);
      if (!c || c->cls->kind != windowing::ClassKind::kButton) continue;
      if ((c->style & 0x0F) == BS_DEFPUSHBUTTON && !defaultButton) {
        defaultButton = child;
        defaultId = c->id;
      }
      if (c->id == IDCANCEL) cancelButton = child;
    }
    focus = Wm().focus;
    if (auto f = FindLocked(focus)) focusWantsReturn = f->edit && (f->style & ES_WANTRETURN);
    stops = windowing::TabStopsLocked(hDlg);
  }
  if (lpMsg->message == WM_KEYDOWN) {
    switch (lpMsg->wParam) {
      case VK_RETURN:
        if (focusWantsReturn) break;
        windowing::Send(hDlg, WM_COMMAND, MAKEWPARAM(defaultId, BN_CLICKED), reinterpret_cast<LPARAM>(defaultButton));
        return TRUE;
      case VK_ESCAPE:
        windowing::Send(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancelButton));
        return TRUE;
      case VK_TAB:
        if (!stops.empty()) {
          bool back = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
          auto it = std::find(stops.begin(), stops.end(), focus);
          size_t at = it == stops.end() ? (back ? 0 : stops.size() - 1) : static_cast<size_t>(it - stops.begin());
          size_t next = back ? (at + stops.size() - 1) % stops.size() : (at + 1) % stops.size();
          windowing::SetFocusInternal(stops[next]);
        }
        return TRUE;
      default:
        break;
    }
  }
  TranslateMessage(lpMsg);
  DispatchMessageW(lpMsg);
  return TRUE;
}
