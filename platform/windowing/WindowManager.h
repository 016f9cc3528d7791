// The window manager's internal state, shared by the windowing sources, the
// shell services and the front ends of this platform (never by the system).
//
// One lock guards classes, windows, message queues, timers, focus,
// activation, menus and the modal stack. Window procedures are never called
// with it held: code gathers under the lock, unlocks, then calls. Edit
// controls keep their text under a lock of their own (front ends read it
// while the owner thread writes); the screen's change counter has a leaf lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel/Clock.h"
#include "kernel/Thread.h"

namespace windowing {

struct ThreadQueue;
class EditControl;

enum class ClassKind { kApplication, kEdit, kStatic, kButton, kDialog, kMenuBar };

struct WindowClass {
  std::u16string name;
  ATOM atom = 0;
  WNDPROC proc = nullptr;
  UINT style = 0;
  HINSTANCE instance = nullptr;
  HBRUSH background = nullptr;
  HCURSOR cursor = nullptr;
  ClassKind kind = ClassKind::kApplication;
  int windows = 0;  // live windows of the class
};

// A button of a menu bar made by SHCreateMenuBar.
struct MenuBarButton {
  int image = 0;
  UINT command = 0;
  BYTE state = 0;
  BYTE style = 0;
  std::u16string label;
  int popupIndex = -1;  // popup of the bar's menu that a drop-down button opens
};

struct MenuBarData {
  HMENU menu = nullptr;  // the loaded menu whose popups the buttons open
  std::vector<MenuBarButton> buttons;
};

struct DialogData {
  DLGPROC proc = nullptr;
  bool ended = false;
  INT_PTR result = 0;
  HWND owner = nullptr;
};

struct Window {
  HWND handle = nullptr;
  std::shared_ptr<WindowClass> cls;
  WNDPROC proc = nullptr;
  std::shared_ptr<ThreadQueue> queue;  // the owner thread's
  HWND parent = nullptr;               // WS_CHILD windows only
  HWND owner = nullptr;                // top-level windows owned by another
  std::vector<HWND> children;          // creation order
  int id = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  RECT rect{};  // the parent's client coordinates for children, else the screen's
  std::u16string title;
  HINSTANCE instance = nullptr;
  uint64_t order = 0;  // creation order
  bool creating = true;
  bool destroying = false;
  bool resizedWhileCreating = false;
  bool doneButton = false;  // SHInitDialog's done button in the title bar
  bool noActivate = false;  // never becomes the foreground window (menu bars)
  HWND lastActivePopup = nullptr;
  std::shared_ptr<EditControl> edit;
  std::shared_ptr<MenuBarData> menuBar;
  std::shared_ptr<DialogData> dialog;
};

// A message sent to a window of another thread. Lives on the sender's stack
// (a notification without a waiting sender lives on the heap and is freed
// by whoever completes it).
struct SentMessage {
  SentMessage* prev = nullptr;
  SentMessage* next = nullptr;
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  ThreadQueue* sender = nullptr;  // null: a notification nobody waits for
  enum class State { kQueued, kInProgress, kDone } state = State::kQueued;
  LRESULT result = 0;
};

struct Timer {
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  uint32_t elapse = 0;
  TIMERPROC proc = nullptr;
  kernel::TimePoint due{};
};

struct ThreadQueue {
  DWORD threadId = 0;
  std::shared_ptr<kernel::ThreadControl> thread;
  bool dead = false;  // the thread ended (or is unwinding): sends to it yield 0
  std::deque<MSG> posted;
  std::deque<MSG> input;
  SentMessage* sentHead = nullptr;
  SentMessage* sentTail = nullptr;
  std::vector<Timer> timers;
  bool quit = false;
  int quitCode = 0;
  DWORD arrived = 0;          // QS_ kinds queued since the thread last looked (Get/PeekMessageW)
  kernel::WaitQueue waiters;  // this thread, waiting for messages or a reply
  BYTE keys[256] = {};        // key state as of the last input message retrieved (bit 7: down)
};

// A key event as it arrived, before a window is chosen for it.
struct KeyEvent {
  BYTE vk = 0;
  bool down = false;
  bool wasDown = false;  // the key's state before this event
  bool alt = false;      // modifiers held when it arrived
  bool control = false;
  DWORD time = 0;
};

struct BoxRecord {
  uint64_t id = 0;
  std::u16string text;
  std::u16string caption;
  UINT type = 0;
  HWND owner = nullptr;
  std::shared_ptr<ThreadQueue> queue;
  std::vector<int> buttons;
  int defaultButton = IDOK;
  int result = 0;  // the answer; 0 while open
  // Keys that arrived after the answer while the box was still up (its
  // thread had not run yet): typed ahead for whatever takes the keys next.
  std::vector<KeyEvent> typeAhead;
};

// A message box or a dialog, in the order they opened.
struct ModalEntry {
  std::shared_ptr<BoxRecord> box;
  HWND dialog = nullptr;
};

struct Menu;

struct Manager {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
  std::vector<std::shared_ptr<WindowClass>> classes;
  std::vector<HWND> zOrder;  // top-level windows, topmost first
  HWND foreground = nullptr;
  HWND focus = nullptr;
  uintptr_t nextHandle = 0x00030000;
  uint64_t nextOrder = 1;
  ATOM nextAtom = 0xC000;
  std::unordered_map<uintptr_t, std::shared_ptr<Menu>> menus;
  std::vector<ModalEntry> modals;
  uint64_t nextBoxId = 1;
  HWND openMenuBar = nullptr;  // the menu bar whose popup is open
  int openMenuButton = -1;
  BYTE asyncKeys[256] = {};  // physical key state (bit 7: down)
};

Manager& Wm();

// --- threads and their queues
ThreadQueue& CurrentQueue();
std::shared_ptr<ThreadQueue> CurrentQueueShared();

// --- lookups (lock held)
std::shared_ptr<Window> FindLocked(HWND hwnd);
// FindLocked for an API call: no such window sets ERROR_INVALID_WINDOW_HANDLE.
std::shared_ptr<Window> FindOrFailLocked(HWND hwnd);
HWND AllocateHandleLocked();
bool IsDescendantLocked(HWND ancestor, HWND hwnd);  // hwnd is ancestor or below it
HWND TopLevelOfLocked(HWND hwnd);
RECT ScreenRectLocked(const Window& window);
RECT ClientRectLocked(const Window& window);     // client size, origin 0,0
POINT ClientOriginLocked(const Window& window);  // client origin on the screen

// --- calling windows (lock not held)
LRESULT CallProc(const std::shared_ptr<Window>& window, UINT message, WPARAM wParam, LPARAM lParam);
// SendMessageW without the API boundary.
LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Same thread: a direct call. Another thread: queued like a sent message
// that nobody waits for (the notifications activation and focus send).
void Deliver(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
bool Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// --- message loop primitives
enum class Fetched { kMessage, kQuit, kStopped };
// GetMessageW's loop. `stop` (evaluated with the lock held) ends the wait
// for modal loops; whoever makes it true wakes the thread's queue.
Fetched GetMessageInternal(MSG* msg, HWND filter, UINT first, UINT last, const std::function<bool()>& stop);
void WakeLocked(ThreadQueue& queue);
// Takes a queued sent message out of `queue` and answers it with `result`.
void CompleteSentLocked(ThreadQueue& queue, SentMessage* message, LRESULT result);

// --- windows (lock not held unless named so)
bool DestroyInternal(HWND hwnd);
// Makes `hwnd`'s top-level window the foreground window (or, while it is
// disabled, the enabled window it owns): z-order, WM_ACTIVATE to both
// windows, and the focus into it unless it is already inside.
bool ActivateInternal(HWND hwnd, bool moveFocus = true);
// Activation leaves `hwnd` (hidden or going): to its owner or the next window.
void PassActivationOn(HWND hwnd);
HWND SetFocusInternal(HWND hwnd);
void EnableInternal(HWND hwnd, bool enable);
bool MoveInternal(HWND hwnd, int x, int y, int cx, int cy, bool move, bool size);
// Removes a dead thread's windows without calling them.
void ForgetThreadWindowsLocked(ThreadQueue& queue);

// --- system classes (registered with the manager)
LRESULT CALLBACK EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK MenuBarProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
inline constexpr char16_t kDialogClass[] = u"Dialog";
inline constexpr char16_t kMenuBarClass[] = u"menu_worker";

// Creates a window the platform itself owns (menu bars); `setup` runs on it,
// lock held, before WM_CREATE.
HWND CreateInternal(DWORD exStyle, std::u16string_view className, std::u16string_view title, DWORD style, int x, int y,
                    int cx, int cy, HWND parentOrOwner, HMENU menuOrId, HINSTANCE instance, LPVOID param,
                    const std::function<void(Window&)>& setup);

// --- the screen's change counter
void NoteChange();

// --- keyboard
void RouteKeyEvent(BYTE vk, bool down);
// Routes keys held while an answered box was still up (lock held).
void RouteTypeAheadLocked(const std::vector<KeyEvent>& keys);

// --- menus
struct MenuItem {
  UINT flags = 0;  // MF_CHECKED, MF_GRAYED, MF_DISABLED, MF_SEPARATOR, MF_POPUP
  UINT id = 0;
  std::u16string text;
  HMENU popup = nullptr;
};
struct Menu {
  bool popup = false;
  std::vector<MenuItem> items;
};
std::shared_ptr<Menu> FindMenuLocked(HMENU menu);
HMENU CreateMenuLocked(bool popup);
// A menu from a standard menu template; null if it is malformed.
HMENU BuildMenuLocked(std::span<const uint8_t> menuTemplate);

// --- the desktop other processes share (FindWindowW, SetForegroundWindow)
void PublishWindowLocked(const Window& window);
void WithdrawWindowLocked(HWND hwnd);
// For a window of another process that FindWindowW returned: whether it
// still exists. nullopt if `hwnd` names no such window.
std::optional<bool> RemoteWindowAlive(HWND hwnd);

// --- edit controls: text and metrics for the screen model
std::shared_ptr<EditControl> FindEditLocked(HWND hwnd);

// Geometry.
inline constexpr int kCaptionHeight = 16;
inline constexpr int kScrollBarSize = 10;
inline constexpr int kClientEdge = 2;

}  // namespace windowing
