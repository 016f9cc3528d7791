// Modal dialogs, the modal loop they share with message boxes, and the
// controls dialogs are made of.
//
// A modal loop runs on the calling thread: it serves messages sent to the
// thread, dispatches its posted messages and timers (the disabled owner's
// included) and ends when the person answers (boxes) or the dialog calls
// EndDialog. WM_QUIT ends the loop too and is posted again for the loop
// outside.
#include <windows.h>

#include <algorithm>

#include "kernel/Thread.h"
#include "resources/Resources.h"
#include "resources/Templates.h"
#include "text/WideText.h"
#include "windowing/Screen.h"
#include "windowing/WindowingInternal.h"

namespace windowing {
namespace {

std::shared_ptr<DialogData> DialogOf(HWND hwnd) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  auto w = FindLocked(hwnd);
  return w ? w->dialog : nullptr;
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

// ------------------------------------------------- building from a template

// A template inside a loaded resource is parsed within that resource's
// bounds; one the caller built in memory is trusted, as Win32 trusts it.
// Null (last error set) if it is malformed or names a class of its own.
std::optional<resources::DialogTemplateInfo> ParseTemplate(LPCDLGTEMPLATEW dialogTemplate) {
  std::span<const uint8_t> bytes;
  if (auto inResource = resources::ResourceBytesFrom(dialogTemplate)) {
    bytes = *inResource;
  } else {
    bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(dialogTemplate), 0x10000);
  }
  std::optional<resources::DialogTemplateInfo> info = resources::ParseDialogTemplate(bytes);
  if (!info || info->windowClass.kind != resources::TemplateName::kNone) {
    SetLastError(info ? ERROR_CANNOT_FIND_WND_CLASS : ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  return info;
}

struct Frame {
  int x, y, cx, cy;
};

// Dialog units to pixels; centred in the work area with DS_CENTER, else
// placed relative to the owner's client area.
Frame PlaceDialog(const resources::DialogTemplateInfo& info, DWORD style, HWND owner) {
  int border = (style & (WS_BORDER | WS_DLGFRAME)) ? 1 : 0;
  if (info.exStyle & WS_EX_CLIENTEDGE) border += kClientEdge;
  int caption = (style & WS_CAPTION) == WS_CAPTION ? kCaptionHeight : 0;
  Frame frame{ToPixelsX(info.x), ToPixelsY(info.y), ToPixelsX(info.cx) + 2 * border,
              ToPixelsY(info.cy) + 2 * border + caption};
  RECT work = screen::WorkArea();
  if (info.style & DS_CENTER) {
    frame.x = work.left + (work.right - work.left - frame.cx) / 2;
    frame.y = work.top + (work.bottom - work.top - frame.cy) / 2;
  } else if (owner && !(info.style & DS_ABSALIGN)) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (auto o = FindLocked(owner)) {
      POINT origin = ClientOriginLocked(*o);
      frame.x += origin.x;
      frame.y += origin.y;
    }
  }
  return frame;
}

// The template's controls, in its order. False if one cannot be made: the
// dialog is destroyed then, keeping the control's error.
bool CreateControls(HWND dialog, const resources::DialogTemplateInfo& info, HINSTANCE instance, HWND& firstTabStop) {
  for (const resources::DialogItemTemplate& item : info.items) {
    std::u16string cls = ClassOfItem(item.windowClass);
    std::u16string title = item.title.kind == resources::TemplateName::kString ? item.title.text : u"";
    HWND control =
        cls.empty()
            ? nullptr
            : CreateInternal(item.exStyle, cls, title, item.style | WS_CHILD, ToPixelsX(item.x), ToPixelsY(item.y),
                             ToPixelsX(item.cx), ToPixelsY(item.cy), dialog,
                             reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)), instance,
                             item.creationData.empty() ? nullptr : const_cast<uint8_t*>(item.creationData.data()),
                             nullptr);
    if (!control) {
      if (cls.empty()) SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      DWORD error = GetLastError();
      DestroyInternal(dialog);
      SetLastError(error);
      return false;
    }
    if (!firstTabStop && (item.style & WS_TABSTOP)) firstTabStop = control;
  }
  return true;
}

// The dialog window and its controls, not yet visible; null (last error
// set) if the template or a control fails.
HWND BuildDialog(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                 const std::shared_ptr<DialogData>& data, HWND& firstTabStop) {
  std::optional<resources::DialogTemplateInfo> info = ParseTemplate(dialogTemplate);
  if (!info) return nullptr;
  DWORD style = (info->style & ~static_cast<DWORD>(WS_VISIBLE | WS_CHILD)) | WS_POPUP;
  Frame frame = PlaceDialog(*info, style, owner);
  HWND dialog = CreateInternal(info->exStyle, kDialogClass, info->title, style, frame.x, frame.y, frame.cx, frame.cy,
                               owner, nullptr, instance, nullptr, [&](Window& w) { w.dialog = data; });
  if (!dialog || !CreateControls(dialog, *info, instance, firstTabStop)) return nullptr;
  return dialog;
}

// ------------------------------------------------------ running it modally

// Shows the dialog in front with the keys (on the control WM_INITDIALOG
// asked for), then puts it on the screen: a front end that sees it can use
// it at once.
void ShowDialog(HWND dialog, HWND firstTabStop, bool focusDefault) {
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    if (auto w = FindLocked(dialog)) w->style |= WS_VISIBLE;
  }
  ActivateInternal(dialog, !focusDefault);
  if (focusDefault) SetFocusInternal(firstTabStop ? firstTabStop : dialog);
  std::lock_guard<std::mutex> lock(Wm().lock);
  if (FindLocked(dialog)) {
    Wm().modals.push_back(ModalEntry{nullptr, dialog});
    NoteChange();
  }
}

// The owner is enabled before the dialog goes, so activation returns to it.
void CloseDialog(HWND dialog, HWND owner, bool ownerDisabled) {
  if (ownerDisabled) EnableInternal(owner, true);
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    std::erase_if(Wm().modals, [&](const ModalEntry& e) { return e.dialog == dialog; });
  }
  if (IsWindow(dialog)) DestroyInternal(dialog);
}

void RunModal(HWND dialog, HWND owner, HWND firstTabStop, bool focusDefault, const DialogData& data) {
  ModalGuard guard(nullptr, owner);
  bool disabled = DisableOwner(owner);
  if (disabled) guard.OwnerDisabled();
  ShowDialog(dialog, firstTabStop, focusDefault);
  ModalLoop(dialog, [&] { return data.ended || !FindLocked(dialog); });
  guard.Done();
  CloseDialog(dialog, owner, disabled);
}

// ------------------------------------------------------- dialog keyboard

// What a key in a dialog acts on, gathered under the lock.
struct DialogKeys {
  HWND defaultButton = nullptr;
  HWND cancelButton = nullptr;
  int defaultId = IDOK;
  bool focusWantsReturn = false;
  std::vector<HWND> stops;
  HWND focus = nullptr;
};

// False if `target` is neither the dialog nor inside it.
bool GatherDialogKeysLocked(HWND hDlg, HWND target, DialogKeys& keys) {
  auto dialog = FindLocked(hDlg);
  if (!dialog || !target || (target != hDlg && !IsDescendantLocked(hDlg, target))) return false;
  for (HWND child : dialog->children) {
    auto c = FindLocked(child);
    if (!c || c->cls->kind != ClassKind::kButton) continue;
    if ((c->style & 0x0F) == BS_DEFPUSHBUTTON && !keys.defaultButton) {
      keys.defaultButton = child;
      keys.defaultId = c->id;
    }
    if (c->id == IDCANCEL) keys.cancelButton = child;
  }
  keys.focus = Wm().focus;
  if (auto f = FindLocked(keys.focus)) keys.focusWantsReturn = f->edit && (f->style & ES_WANTRETURN);
  keys.stops = TabStopsLocked(hDlg);
  return true;
}

// Tab and Shift+Tab: the next or previous tab stop, round the end.
void TabToNextStop(const DialogKeys& keys) {
  if (keys.stops.empty()) return;
  const std::vector<HWND>& stops = keys.stops;
  bool back = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  auto it = std::find(stops.begin(), stops.end(), keys.focus);
  size_t at = it == stops.end() ? (back ? 0 : stops.size() - 1) : static_cast<size_t>(it - stops.begin());
  size_t next = back ? (at + stops.size() - 1) % stops.size() : (at + 1) % stops.size();
  SetFocusInternal(stops[next]);
}

// Enter, Esc and Tab; false for other keys.
bool HandleDialogKey(HWND hDlg, const DialogKeys& keys, WPARAM vk) {
  switch (vk) {
    case VK_RETURN:
      if (keys.focusWantsReturn) return false;
      Send(hDlg, WM_COMMAND, MAKEWPARAM(keys.defaultId, BN_CLICKED), reinterpret_cast<LPARAM>(keys.defaultButton));
      return true;
    case VK_ESCAPE:
      Send(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(keys.cancelButton));
      return true;
    case VK_TAB:
      TabToNextStop(keys);
      return true;
    default:
      return false;
  }
}

}  // namespace

ModalGuard::~ModalGuard() {
  if (done_) return;
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (box_) std::erase_if(Wm().modals, [&](const ModalEntry& e) { return e.box == box_; });
  if (auto owner = FindLocked(owner_); owner && disabledOwner_) owner->style &= ~static_cast<DWORD>(WS_DISABLED);
  NoteChange();
}

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
  auto data = std::make_shared<windowing::DialogData>();
  data->proc = lpDialogFunc;
  data->owner = owner;
  HWND firstTabStop = nullptr;
  HWND dialog = windowing::BuildDialog(hInstance, lpTemplate, owner, data, firstTabStop);
  if (!dialog) return -1;
  LRESULT focusDefault = windowing::Send(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), dwInitParam);
  windowing::RunModal(dialog, owner, firstTabStop, focusDefault != 0, *data);
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
  windowing::DialogKeys keys;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (!windowing::GatherDialogKeysLocked(hDlg, lpMsg->hwnd, keys)) return FALSE;
  }
  if (lpMsg->message == WM_KEYDOWN && windowing::HandleDialogKey(hDlg, keys, lpMsg->wParam)) return TRUE;
  TranslateMessage(lpMsg);
  DispatchMessageW(lpMsg);
  return TRUE;
}
