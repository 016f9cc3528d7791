// Hand-made screens for the terminal front end's tests: the utility's main
// window with its log view and menu bar, boxes and the About dialog, built
// the way the window manager reports them.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "frontends/terminal/Layout.h"
#include "windowing/Screen.h"

namespace terminal::testing {

inline HWND Handle(uintptr_t n) { return reinterpret_cast<HWND>(n); }

inline const HWND kMain = Handle(0x100);
inline const HWND kLog = Handle(0x105);
inline const HWND kBar = Handle(0x200);
inline const HWND kAbout = Handle(0x300);
inline const HWND kAboutText = Handle(0x301);

inline constexpr DWORD kLogStyle = 0x50200884;  // child, visible, vscroll, read-only, autohscroll, multi-line

// Edit text held as lines; counts what the layout asks for.
class FakeEdits : public EditSource {
 public:
  std::map<HWND, std::vector<std::u16string>> text;
  size_t calls = 0;
  size_t linesServed = 0;

  std::vector<std::u16string> Lines(HWND edit, size_t first, size_t count) override {
    ++calls;
    std::vector<std::u16string> out;
    auto it = text.find(edit);
    if (it == text.end()) return out;
    for (size_t i = first; i < first + count && i < it->second.size(); ++i) out.push_back(it->second[i]);
    linesServed += out.size();
    return out;
  }
};

inline screen::EditState LogState(const std::vector<std::u16string>& lines, size_t firstVisible) {
  screen::EditState st;
  st.lineCount = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) st.length += lines[i].size() + (i + 1 < lines.size() ? 2 : 0);
  st.firstVisibleLine = firstVisible;
  st.visibleLines = 20;  // 268 pixels / 13
  st.caret = st.selectionStart = st.selectionEnd = st.length;
  st.readOnly = true;
  st.multiLine = true;
  return st;
}

inline screen::MenuItemView Item(std::u16string text, UINT id) {
  screen::MenuItemView item;
  item.text = std::move(text);
  item.id = id;
  return item;
}

inline screen::MenuItemView Separator() {
  screen::MenuItemView item;
  item.separator = true;
  return item;
}

// The utility as it stands after start-up: title, done button, the log
// view filling the work area, the "System" button.
inline screen::Snapshot MainScreen(const std::vector<std::u16string>& lines, size_t firstVisible = 0) {
  screen::Snapshot s;
  s.version = 7;
  s.title = u"Firmware Utility";
  s.doneButton = true;
  s.foreground = kMain;
  screen::WindowView w;
  w.hwnd = kMain;
  w.className = u"Firmware Utility";
  w.title = u"Firmware Utility";
  w.rect = RECT{0, 26, 240, 294};
  w.style = WS_VISIBLE;
  w.active = true;
  w.doneButton = true;
  screen::ControlView log;
  log.hwnd = kLog;
  log.parent = kMain;
  log.className = u"edit";
  log.id = 5;
  log.rect = RECT{0, 26, 240, 294};
  log.style = kLogStyle;
  log.focused = true;
  log.edit = LogState(lines, firstVisible);
  w.controls.push_back(log);
  s.window = w;
  screen::MenuBarView bar;
  bar.hwnd = kBar;
  screen::MenuButtonView system;
  system.label = u"System";
  system.command = 40001;
  system.dropdown = true;
  system.items = {Item(u"Update firmware - Go", 118), Separator(), Item(u"Exit", 101)};
  bar.buttons.push_back(system);
  s.menuBar = bar;
  return s;
}

inline screen::ModalView Box(uint64_t id, std::u16string text, std::u16string caption, UINT type,
                             std::vector<int> buttons, int defaultButton = IDOK) {
  screen::ModalView m;
  m.kind = screen::ModalView::Kind::kMessageBox;
  m.box.id = id;
  m.box.text = std::move(text);
  m.box.caption = std::move(caption);
  m.box.type = type;
  m.box.icon = type & MB_ICONMASK;
  m.box.buttons = std::move(buttons);
  m.box.defaultButton = defaultButton;
  return m;
}

inline const char16_t kAboutTextContent[] =
    u"Lumacord - Written for Zentrik to update phone module firmware and transmit data between BTUART and FFUART";

// The About box as DialogBoxIndirectParamW places it: 136x56 dialog units
// (204x91 pixels) plus border and caption, centred in the work area; the
// static text at (12,5) 114x46 units in its client area.
inline screen::ModalView AboutDialog() {
  screen::ModalView m;
  m.kind = screen::ModalView::Kind::kDialog;
  screen::WindowView& d = m.dialog;
  d.hwnd = kAbout;
  d.className = u"#32770";
  d.title = u"About";
  const int width = 204 + 2, height = 91 + 2 + 16;
  const int x = (240 - width) / 2, y = 26 + (268 - height) / 2;
  d.rect = RECT{x, y, x + width, y + height};
  d.style = WS_POPUP | WS_VISIBLE | WS_CAPTION;
  d.active = true;
  screen::ControlView text;
  text.hwnd = kAboutText;
  text.parent = kAbout;
  text.className = u"static";
  text.id = -1;
  text.text = kAboutTextContent;
  const int cx = x + 1 + 18, cy = y + 1 + 16 + 8;
  text.rect = RECT{cx, cy, cx + 171, cy + 74};
  text.style = WS_CHILD | WS_VISIBLE | SS_LEFT;
  d.controls.push_back(text);
  return m;
}

}  // namespace terminal::testing
