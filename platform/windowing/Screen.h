// The handset's screen as front ends see it, and the input they give it.
//
// Front ends (the terminal one, the headless scripted user) never call
// window procedures. They read consistent snapshots of what the screen
// shows, wait for the next change, and feed input the way a person would:
// keys into the input stream, the title bar's done button, the menu bar,
// answers to message boxes.
//
// Layout of the QVGA display (pixels):
//   y 0..25     title bar: the foreground window's title and its done button
//   y 26..293   the work area a full-screen window gets
//   y 294..319  the menu bar of the application window
// Text uses the System font, one cell kCharWidth x kLineHeight; dialog
// units convert with these base units (x * kCharWidth / 4, y * kLineHeight / 8).
// Edit controls set tab stops every kTabColumns cells (32 dialog units).
//
// All functions may be called from any thread. Texts are UTF-16 as the
// platform keeps them; menu and button texts keep their '&' markers.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/Clock.h"

namespace screen {

inline constexpr int kWidth = 240;
inline constexpr int kHeight = 320;
inline constexpr int kTitleBarHeight = 26;
inline constexpr int kMenuBarHeight = 26;
inline constexpr int kCharWidth = 6;
inline constexpr int kLineHeight = 13;
inline constexpr int kTabColumns = 8;

// Between title bar and menu bar: what SHInitDialog's full-screen size gives.
RECT WorkArea();

// ------------------------------------------------------------------ views

// Metrics of an edit control, without its text (read that by line ranges).
struct EditState {
  size_t length = 0;            // characters
  size_t lineCount = 1;         // at least 1; lines break at "\r\n" and lone "\n"
  size_t firstVisibleLine = 0;  // top line of the view
  size_t visibleLines = 0;      // lines the control's client area holds
  size_t selectionStart = 0;    // selection [start, end); equal when none
  size_t selectionEnd = 0;
  size_t caret = 0;  // the active end of the selection
  size_t caretLine = 0;
  size_t caretColumn = 0;  // in cells (tabs expanded) from the start of its line
  // The first column in view (in cells): a control with ES_AUTOHSCROLL
  // slides its lines sideways to keep the caret in view; 0 for others.
  size_t firstVisibleColumn = 0;
  bool readOnly = false;
  bool multiLine = false;
  // Counts changes that touched text before the former end (anything but
  // an append). While it stays the same, text already seen is unchanged.
  uint64_t rewrites = 0;
};

struct ControlView {
  HWND hwnd = nullptr;
  HWND parent = nullptr;
  std::u16string className;  // "edit", "static", "button", ...
  int id = 0;
  std::u16string text;  // window text; empty for edit controls (see EditLines)
  RECT rect{};          // screen coordinates
  DWORD style = 0;
  bool visible = true;
  bool enabled = true;
  bool focused = false;
  std::optional<EditState> edit;  // set for edit controls
};

struct WindowView {
  HWND hwnd = nullptr;
  std::u16string className;
  std::u16string title;
  RECT rect{};  // screen coordinates
  DWORD style = 0;
  bool enabled = true;
  bool active = false;                // the foreground window
  bool focused = false;               // the window itself has the focus (controls: ControlView)
  bool creating = false;              // its WM_CREATE has not returned yet
  bool doneButton = false;            // SHInitDialog gave it the done button
  std::vector<ControlView> controls;  // all descendants, parents before children
};

struct MenuItemView {
  std::u16string text;
  UINT id = 0;
  bool separator = false;
  bool checked = false;
  bool enabled = true;
  bool popup = false;
  std::vector<MenuItemView> items;  // a popup's own items
};

struct MenuButtonView {
  std::u16string label;
  UINT command = 0;
  bool enabled = true;
  bool dropdown = false;            // opens `items` rather than sending `command`
  std::vector<MenuItemView> items;  // the popup the button opens
};

struct MenuBarView {
  HWND hwnd = nullptr;
  std::vector<MenuButtonView> buttons;
  int openButton = -1;  // the button whose popup is open; -1: none
};

struct BoxView {
  uint64_t id = 0;  // for AnswerBox; never reused
  std::u16string text;
  std::u16string caption;    // the default caption when the caller gave none
  UINT type = 0;             // the MB_ style as given
  std::vector<int> buttons;  // IDOK, IDCANCEL, ... left to right
  int defaultButton = IDOK;
  UINT icon = 0;  // MB_ICONERROR etc. (type & MB_ICONMASK)
  HWND owner = nullptr;
  DWORD threadId = 0;     // the thread that waits in MessageBoxW
  bool answered = false;  // an answer is given; the box closes when its thread runs
};

struct ModalView {
  enum class Kind { kMessageBox, kDialog };
  Kind kind = Kind::kMessageBox;
  BoxView box;        // kMessageBox
  WindowView dialog;  // kDialog: caption in `title`, its controls
};

struct Snapshot {
  uint64_t version = 0;
  // The title bar: the foreground window's title, and its done button.
  std::u16string title;
  bool doneButton = false;
  HWND foreground = nullptr;
  // The application window the screen shows: the topmost top-level window
  // that belongs to no other, behind any dialogs and boxes. None while the
  // program has no window.
  std::optional<WindowView> window;
  std::optional<MenuBarView> menuBar;  // the application window's
  std::vector<ModalView> modals;       // open boxes and dialogs, bottom to top
};

// --------------------------------------------------------------- reading

// Increases with every visible change.
uint64_t Version();
// Blocks until Version() differs from `seen` or the platform deadline passes
// (an interruptible platform wait); returns the current version.
uint64_t WaitForChange(uint64_t seen, kernel::TimePoint deadline);
// The same wait, also ended by `fd` becoming ready for the poll `events`
// (a front end's terminal input); `*revents` gets what poll reported, 0 if
// the fd did not become ready.
uint64_t WaitForChangeOrFd(uint64_t seen, kernel::TimePoint deadline, int fd, short events, short* revents);
Snapshot Capture();

// The edit control's metrics, or nullopt if `edit` is no live edit control.
std::optional<EditState> Edit(HWND edit);
// Lines [first, first + count) without their line ends; fewer at the end.
std::vector<std::u16string> EditLines(HWND edit, size_t first, size_t count);
// The whole text (a copy: meant for small texts, dumps and tests).
std::u16string EditText(HWND edit);
// Position of the first occurrence of `needle` at or after `from`.
std::optional<size_t> EditFind(HWND edit, std::u16string_view needle, size_t from = 0);
// A hold on the text of edit control `edit` that stays readable after the
// control is destroyed, so a front end can still save what a view showed
// when its program closed it. Empty if `edit` is no live edit control.
std::function<std::u16string()> HoldEditText(HWND edit);

// ----------------------------------------------------------------- input

enum Modifiers : unsigned { kNoModifiers = 0, kShift = 1, kControl = 2, kAlt = 4 };

// One key press (down) or release, as keybd_event makes it. While a message
// box is the topmost thing on the screen, it takes the keys: Enter presses
// its default button, Esc its Cancel (or the OK of a box with only OK).
void KeyEvent(BYTE vk, bool down);
// Presses and releases `vk` with the modifier keys held around it.
void Key(BYTE vk, unsigned modifiers = kNoModifiers);

// The title bar's done button of the foreground window: posts WM_COMMAND
// IDOK to it. False when it has none.
bool PressDone();

// Opens the popup of menu-bar button `button` (a plain button sends its
// command at once instead). False when there is no such enabled button.
bool OpenMenu(int button);
void CloseMenu();
// Chooses the item `id` of the open popup (searching its sub-popups): posts
// WM_COMMAND(id) to the window the menu bar belongs to, as the real menu
// does, and closes the popup. False (popup stays open) if no enabled command
// item has that id.
bool ChooseMenuItem(UINT id);

// Answers the open box `id` with `result`, one of its buttons. False if the
// box is gone, already answered, or has no such button.
bool AnswerBox(uint64_t id, int result);

// Posts WM_COMMAND(id) to the topmost dialog, or else the foreground window.
bool SendCommand(UINT id);

}  // namespace screen
