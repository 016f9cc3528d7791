// MessageBoxW. A message box is no window: it sits on the screen's modal
// stack until a front end answers it, while its thread runs a modal loop.
#include <windows.h>

#include <algorithm>

#include "kernel/Thread.h"
#include "text/WideText.h"
#include "windowing/WindowingInternal.h"

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

// The box MessageBoxW's arguments describe, owned by `hwnd`'s top-level
// window; null (last error set) if the type or the owner is not valid.
// `focus` gets the focus the box takes away.
std::shared_ptr<BoxRecord> MakeBox(HWND hwnd, LPCWSTR text, LPCWSTR caption, UINT type, HWND& focus) {
  auto box = std::make_shared<BoxRecord>();
  box->buttons = ButtonsOf(type);
  if (box->buttons.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  size_t defaultIndex = (type >> 8) & 0xF;
  box->defaultButton = box->buttons[defaultIndex < box->buttons.size() ? defaultIndex : 0];
  box->text = text::View(text);
  box->caption = caption ? std::u16string(caption) : std::u16string(kDefaultCaption);
  box->type = type;
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (hwnd) {
    HWND owner = TopLevelOfLocked(hwnd);
    if (!owner) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    box->owner = owner;
  }
  box->id = Wm().nextBoxId++;
  box->queue = CurrentQueueShared();
  focus = Wm().focus;
  return box;
}

// After the answer: the owner is enabled and the focus goes back where it
// was before the box took the keys; only then does the box leave the
// screen, handing on the keys typed after its answer. Until then it holds
// them: keys typed meanwhile would find the owner still disabled.
void CloseBox(const std::shared_ptr<BoxRecord>& box, bool ownerDisabled, HWND focus) {
  if (ownerDisabled) EnableInternal(box->owner, true);
  bool restore;
  {
    std::lock_guard<std::mutex> lock(Wm().lock);
    restore = focus && !Wm().focus && FindLocked(focus) && FindLocked(focus)->queue.get() == &CurrentQueue();
  }
  if (restore) SetFocusInternal(focus);
  std::lock_guard<std::mutex> lock(Wm().lock);
  std::erase_if(Wm().modals, [&](const ModalEntry& e) { return e.box == box; });
  RouteTypeAheadLocked(box->typeAhead);
  box->typeAhead.clear();
  NoteChange();
}

}  // namespace
}  // namespace windowing

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  kernel::PlatformCall call;
  using windowing::Wm;
  HWND focus = nullptr;
  std::shared_ptr<windowing::BoxRecord> box = windowing::MakeBox(hWnd, lpText, lpCaption, uType, focus);
  if (!box) return 0;
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
  windowing::CloseBox(box, disabled, focus);
  return box->result;
}
