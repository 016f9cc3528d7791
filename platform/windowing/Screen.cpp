// The screen model: snapshots of what the handset shows, the change counter
// front ends wait on, and the input a person gives.
#include "windowing/Screen.h"

#include "kernel/Wait.h"
#include "windowing/Edit.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

struct ChangeCounter {
  std::mutex lock;
  uint64_t version = 1;
  kernel::WaitQueue waiters;
};

ChangeCounter& Changes() {
  static auto* counter = new ChangeCounter;
  return *counter;
}

screen::ControlView ControlOf(const Window& w) {
  Manager& m = Wm();
  screen::ControlView view;
  view.hwnd = w.handle;
  view.parent = w.parent;
  view.className = w.cls->name;
  view.id = w.id;
  view.rect = ScreenRectLocked(w);
  view.style = w.style;
  view.visible = (w.style & WS_VISIBLE) != 0;
  view.enabled = !(w.style & WS_DISABLED);
  view.focused = m.focus == w.handle;
  if (w.edit) {
    view.edit = w.edit->State();
  } else {
    view.text = w.title;
  }
  return view;
}

void AddControlsLocked(const Window& parent, std::vector<screen::ControlView>& out) {
  for (HWND child : parent.children) {
    auto c = FindLocked(child);
    if (!c) continue;
    out.push_back(ControlOf(*c));
    AddControlsLocked(*c, out);
  }
}

screen::WindowView WindowOf(const Window& w) {
  screen::WindowView view;
  view.hwnd = w.handle;
  view.className = w.cls->name;
  view.title = w.title;
  view.rect = ScreenRectLocked(w);
  view.style = w.style;
  view.enabled = !(w.style & WS_DISABLED);
  view.active = Wm().foreground == w.handle;
  view.focused = Wm().focus == w.handle;
  view.creating = w.creating;
  view.doneButton = w.doneButton;
  AddControlsLocked(w, view.controls);
  return view;
}

std::vector<screen::MenuItemView> ItemsOf(HMENU hmenu, int depth = 0) {
  std::vector<screen::MenuItemView> items;
  auto menu = FindMenuLocked(hmenu);
  if (!menu || depth > 16) return items;
  for (const MenuItem& item : menu->items) {
    screen::MenuItemView view;
    view.text = item.text;
    view.id = item.id;
    view.separator = (item.flags & MF_SEPARATOR) != 0;
    view.checked = (item.flags & MF_CHECKED) != 0;
    view.enabled = !(item.flags & (MF_GRAYED | MF_DISABLED));
    view.popup = item.popup != nullptr;
    if (item.popup) view.items = ItemsOf(item.popup, depth + 1);
    items.push_back(std::move(view));
  }
  return items;
}

// The popup a menu-bar button opens.
HMENU PopupOf(const MenuBarData& bar, const MenuBarButton& button) {
  if (button.popupIndex < 0) return nullptr;
  auto menu = FindMenuLocked(bar.menu);
  if (!menu || static_cast<size_t>(button.popupIndex) >= menu->items.size()) return nullptr;
  return menu->items[static_cast<size_t>(button.popupIndex)].popup;
}

// The topmost unowned top-level window: what the screen shows behind dialogs.
std::shared_ptr<Window> ApplicationWindowLocked() {
  for (HWND h : Wm().zOrder) {
    auto w = FindLocked(h);
    if (!w || w->owner || w->noActivate || w->dialog || !(w->style & WS_VISIBLE)) continue;
    return w;
  }
  return nullptr;
}

std::shared_ptr<Window> MenuBarOfLocked(HWND owner) {
  if (!owner) return nullptr;
  for (HWND h : Wm().zOrder) {
    auto w = FindLocked(h);
    if (w && w->menuBar && w->owner == owner) return w;
  }
  return nullptr;
}

// A command item of `hmenu` (or its popups) with this id that can be chosen.
bool HasEnabledCommandLocked(HMENU hmenu, UINT id, int depth = 0) {
  auto menu = FindMenuLocked(hmenu);
  if (!menu || depth > 16) return false;
  for (const MenuItem& item : menu->items) {
    if (item.popup) {
      if (HasEnabledCommandLocked(item.popup, id, depth + 1)) return true;
    } else if (!(item.flags & (MF_SEPARATOR | MF_GRAYED | MF_DISABLED)) && item.id == id) {
      return true;
    }
  }
  return false;
}

}  // namespace

void NoteChange() {
  ChangeCounter& c = Changes();
  std::lock_guard<std::mutex> guard(c.lock);
  ++c.version;
  if (!c.waiters.Empty()) c.waiters.WakeAll();
}

}  // namespace windowing

namespace screen {

using windowing::FindLocked;
using windowing::Wm;

RECT WorkArea() { return RECT{0, kTitleBarHeight, kWidth, kHeight - kMenuBarHeight}; }

uint64_t Version() {
  auto& c = windowing::Changes();
  std::lock_guard<std::mutex> guard(c.lock);
  return c.version;
}

uint64_t WaitForChange(uint64_t seen, kernel::TimePoint deadline) {
  auto& c = windowing::Changes();
  std::unique_lock<std::mutex> lock(c.lock);
  kernel::WaitUntil(lock, c.waiters, deadline, [&] { return c.version != seen; });
  return c.version;
}

uint64_t WaitForChangeOrFd(uint64_t seen, kernel::TimePoint deadline, int fd, short events, short* revents) {
  auto& c = windowing::Changes();
  std::unique_lock<std::mutex> lock(c.lock);
  short ready = 0;
  while (c.version == seen && ready == 0 && kernel::Clock::now() < deadline) {
    ready = kernel::WaitOnce(lock, c.waiters, deadline, fd, events);
  }
  if (revents) *revents = ready;
  return c.version;
}

Snapshot Capture() {
  Snapshot s;
  std::lock_guard<std::mutex> guard(Wm().lock);
  s.version = Version();
  windowing::Manager& m = Wm();
  s.foreground = m.foreground;
  if (auto fg = FindLocked(m.foreground)) {
    s.title = fg->title;
    s.doneButton = fg->doneButton;
  }
  auto app = windowing::ApplicationWindowLocked();
  if (app) {
    s.window = windowing::WindowOf(*app);
    if (auto bar = windowing::MenuBarOfLocked(app->handle)) {
      MenuBarView view;
      view.hwnd = bar->handle;
      for (const windowing::MenuBarButton& button : bar->menuBar->buttons) {
        MenuButtonView b;
        b.label = button.label;
        b.command = button.command;
        b.enabled = (button.state & 0x04) != 0;   // TBSTATE_ENABLED
        b.dropdown = (button.style & 0x08) != 0;  // TBSTYLE_DROPDOWN
        if (HMENU popup = windowing::PopupOf(*bar->menuBar, button)) b.items = windowing::ItemsOf(popup);
        view.buttons.push_back(std::move(b));
      }
      view.openButton = m.openMenuBar == bar->handle ? m.openMenuButton : -1;
      s.menuBar = std::move(view);
    }
  }
  for (const windowing::ModalEntry& entry : m.modals) {
    ModalView modal;
    if (entry.box) {
      modal.kind = ModalView::Kind::kMessageBox;
      const windowing::BoxRecord& b = *entry.box;
      modal.box.id = b.id;
      modal.box.text = b.text;
      modal.box.caption = b.caption;
      modal.box.type = b.type;
      modal.box.buttons = b.buttons;
      modal.box.defaultButton = b.defaultButton;
      modal.box.icon = b.type & MB_ICONMASK;
      modal.box.owner = b.owner;
      modal.box.threadId = b.queue->threadId;
      modal.box.answered = b.result != 0;
    } else if (auto dialog = FindLocked(entry.dialog)) {
      modal.kind = ModalView::Kind::kDialog;
      modal.dialog = windowing::WindowOf(*dialog);
    } else {
      continue;
    }
    s.modals.push_back(std::move(modal));
  }
  return s;
}

std::optional<EditState> Edit(HWND edit) {
  std::shared_ptr<windowing::EditControl> e;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    e = windowing::FindEditLocked(edit);
  }
  if (!e) return std::nullopt;
  return e->State();
}

std::vector<std::u16string> EditLines(HWND edit, size_t first, size_t count) {
  std::shared_ptr<windowing::EditControl> e;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    e = windowing::FindEditLocked(edit);
  }
  return e ? e->Lines(first, count) : std::vector<std::u16string>{};
}

std::u16string EditText(HWND edit) {
  std::shared_ptr<windowing::EditControl> e;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    e = windowing::FindEditLocked(edit);
  }
  return e ? e->Text() : std::u16string();
}

std::function<std::u16string()> HoldEditText(HWND edit) {
  std::shared_ptr<windowing::EditControl> e;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    e = windowing::FindEditLocked(edit);
  }
  if (!e) return {};
  return [e] { return e->Text(); };
}

std::optional<size_t> EditFind(HWND edit, std::u16string_view needle, size_t from) {
  std::shared_ptr<windowing::EditControl> e;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    e = windowing::FindEditLocked(edit);
  }
  return e ? e->Find(needle, from) : std::nullopt;
}

void KeyEvent(BYTE vk, bool down) { windowing::RouteKeyEvent(vk, down); }

void Key(BYTE vk, unsigned modifiers) {
  static constexpr std::pair<unsigned, BYTE> kModifierKeys[] = {
      {kControl, VK_CONTROL}, {kAlt, VK_MENU}, {kShift, VK_SHIFT}};
  for (auto [bit, key] : kModifierKeys) {
    if (modifiers & bit) KeyEvent(key, true);
  }
  KeyEvent(vk, true);
  KeyEvent(vk, false);
  for (auto it = std::rbegin(kModifierKeys); it != std::rend(kModifierKeys); ++it) {
    if (modifiers & it->first) KeyEvent(it->second, false);
  }
}

bool PressDone() {
  HWND target;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto fg = FindLocked(Wm().foreground);
    if (!fg || !fg->doneButton || (fg->style & WS_DISABLED)) return false;
    target = fg->handle;
  }
  return windowing::Post(target, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
}

bool OpenMenu(int button) {
  HWND owner;
  UINT command;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    windowing::Manager& m = Wm();
    auto app = windowing::ApplicationWindowLocked();
    if (!app || (app->style & WS_DISABLED)) return false;  // a modal dialog or box holds it
    auto bar = windowing::MenuBarOfLocked(app->handle);
    if (!bar || button < 0 || static_cast<size_t>(button) >= bar->menuBar->buttons.size()) return false;
    const windowing::MenuBarButton& b = bar->menuBar->buttons[static_cast<size_t>(button)];
    if (!(b.state & 0x04)) return false;  // TBSTATE_ENABLED
    if (b.style & 0x08) {                 // TBSTYLE_DROPDOWN
      if (!windowing::PopupOf(*bar->menuBar, b)) return false;
      m.openMenuBar = bar->handle;
      m.openMenuButton = button;
      windowing::NoteChange();
      return true;
    }
    owner = app->handle;
    command = b.command;
  }
  return windowing::Post(owner, WM_COMMAND, MAKEWPARAM(command, 0), 0);
}

void CloseMenu() {
  std::lock_guard<std::mutex> guard(Wm().lock);
  if (!Wm().openMenuBar) return;
  Wm().openMenuBar = nullptr;
  Wm().openMenuButton = -1;
  windowing::NoteChange();
}

bool ChooseMenuItem(UINT id) {
  HWND owner;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    windowing::Manager& m = Wm();
    auto bar = FindLocked(m.openMenuBar);
    if (!bar || !bar->menuBar || m.openMenuButton < 0 ||
        static_cast<size_t>(m.openMenuButton) >= bar->menuBar->buttons.size()) {
      return false;
    }
    HMENU popup = windowing::PopupOf(*bar->menuBar, bar->menuBar->buttons[static_cast<size_t>(m.openMenuButton)]);
    if (!windowing::HasEnabledCommandLocked(popup, id)) return false;
    owner = bar->owner;
    m.openMenuBar = nullptr;
    m.openMenuButton = -1;
    windowing::NoteChange();
  }
  return windowing::Post(owner, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

bool AnswerBox(uint64_t id, int result) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  for (const windowing::ModalEntry& entry : Wm().modals) {
    if (!entry.box || entry.box->id != id) continue;
    windowing::BoxRecord& box = *entry.box;
    if (box.result != 0) return false;
    if (std::find(box.buttons.begin(), box.buttons.end(), result) == box.buttons.end()) return false;
    box.result = result;
    windowing::WakeLocked(*box.queue);
    windowing::NoteChange();
    return true;
  }
  return false;
}

bool SendCommand(UINT id) {
  HWND target = nullptr;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    for (auto it = Wm().modals.rbegin(); it != Wm().modals.rend() && !target; ++it) {
      if (it->dialog && FindLocked(it->dialog)) target = it->dialog;
    }
    if (!target) target = Wm().foreground;
  }
  if (!target) return false;
  return windowing::Post(target, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

}  // namespace screen
