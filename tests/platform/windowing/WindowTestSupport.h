// The window tests' fixture: windows whose procedure is a lambda, a message
// log, a message pump with a limit, a hand-made .res image, and the person in
// front of the handset (keys, the boxes and dialogs on the screen, the title
// bar). It speaks the SDK only, so the conformance tests that include it
// include nothing of the stand-in; WindowTestSupport.cpp implements what the
// SDK has no call for with the stand-in's screen (and gives every test
// program a desktop of its own).
#pragma once

#include <windows.h>
#include <aygshell.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "../Polling.h"

namespace wintest {

using namespace std::chrono_literals;

// Every test process gets a desktop of its own: tests running side by side
// must not find each other's windows. Its directory.
extern const std::string kPrivateDesktop;

// Registers `image` (a compiled .res, kept by the caller for the life of the
// process) as the resources of a program module; returns its instance.
HINSTANCE RegisterResources(std::span<const uint8_t> image);

// Runs the platform's clock `factor` times faster while it lives, so that
// timers and time-outs of seconds take milliseconds (nothing on Win32).
class FastClock {
 public:
  explicit FastClock(int factor);
  ~FastClock();
  FastClock(const FastClock&) = delete;
  FastClock& operator=(const FastClock&) = delete;
};

using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

struct Message {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// Messages some windows received, in order, from any thread.
class Log {
 public:
  void Add(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.push_back({hwnd, message, wParam, lParam});
  }
  std::vector<Message> All() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
  }
  // The message numbers only, optionally of one window.
  std::vector<UINT> Numbers(HWND hwnd = nullptr) const {
    std::vector<UINT> out;
    for (const Message& m : All()) {
      if (!hwnd || m.hwnd == hwnd) out.push_back(m.message);
    }
    return out;
  }
  size_t Count(UINT message, HWND hwnd = nullptr) const {
    size_t n = 0;
    for (const Message& m : All()) n += m.message == message && (!hwnd || m.hwnd == hwnd);
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.clear();
  }

 private:
  mutable std::mutex lock_;
  std::vector<Message> messages_;
};

class Handlers {
 public:
  static Handlers& Get() {
    static auto* handlers = new Handlers;
    return *handlers;
  }
  void SetNext(Handler handler) { next_ = std::move(handler); }
  Handler For(HWND hwnd) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = byWindow_.find(hwnd);
    if (it != byWindow_.end()) return it->second;
    // The first message of a new window binds it to the pending handler.
    Handler handler = std::move(next_);
    next_ = nullptr;
    if (!handler) handler = [](HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); };
    byWindow_[hwnd] = handler;
    return handler;
  }

 private:
  std::mutex lock_;
  std::map<HWND, Handler> byWindow_;
  static thread_local Handler next_;
};

inline thread_local Handler Handlers::next_;

inline LRESULT CALLBACK TestProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return Handlers::Get().For(hwnd)(hwnd, message, wParam, lParam);
}

inline constexpr WCHAR kTestClass[] = u"TestWindow";

inline void RegisterTestClass() {
  static bool registered = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = TestProc;
    wc.lpszClassName = kTestClass;
    return RegisterClassW(&wc) != 0;
  }();
  ASSERT_TRUE(registered);
}

// A window of the test class whose procedure is `handler` (null: default).
inline HWND Create(Handler handler, DWORD style = WS_VISIBLE, HWND parent = nullptr, int id = 0,
                   const WCHAR* title = u"Test", DWORD exStyle = 0) {
  RegisterTestClass();
  Handlers::Get().SetNext(std::move(handler));
  return CreateWindowExW(exStyle, kTestClass, title, style, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                         parent, reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), nullptr, nullptr);
}

// A handler that logs every message, then lets `then` (or the default) answer.
inline Handler Logging(Log& log, Handler then = nullptr) {
  return [&log, then](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    log.Add(h, m, w, l);
    return then ? then(h, m, w, l) : DefWindowProcW(h, m, w, l);
  };
}

// Runs the calling thread's messages until `done` or the (real) limit.
inline bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  UINT_PTR tick = SetTimer(nullptr, 0, 10, nullptr);  // wakes the loop to look at `done`
  bool ok = true;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) {
      ok = false;
      break;
    }
    MSG msg;
    if (!GetMessageW(&msg, nullptr, 0, 0)) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      ok = done();
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  KillTimer(nullptr, static_cast<UINT>(tick));
  return ok;
}

using polling::Eventually;

// ------------------------------------------------- the person at the screen

enum Modifiers : unsigned { kNoModifiers = 0, kShift = 1, kControl = 2 };

// A key pressed and released with the modifier keys held around it, as a
// person types it (keybd_event).
inline void Press(BYTE vk, unsigned modifiers = kNoModifiers) {
  if (modifiers & kControl) keybd_event(VK_CONTROL, 0, 0, 0);
  if (modifiers & kShift) keybd_event(VK_SHIFT, 0, 0, 0);
  keybd_event(vk, 0, 0, 0);
  keybd_event(vk, 0, KEYEVENTF_KEYUP, 0);
  if (modifiers & kShift) keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
  if (modifiers & kControl) keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
}

// A message box as the person sees it.
struct Box {
  uint64_t id = 0;  // for AnswerBox
  std::u16string text;
  std::u16string caption;
  std::vector<int> buttons;  // IDOK, IDCANCEL, ... left to right
  UINT icon = 0;             // MB_ICONERROR etc.
  HWND owner = nullptr;
};

// The message boxes on the screen not yet answered, bottom to top.
std::vector<Box> OpenBoxes();
// Presses button `result` of box `id`. False if the box is gone, already
// answered, or has no such button.
bool AnswerBox(uint64_t id, int result);
// True when no box and no dialog is on the screen.
bool NothingModal();
// Presses the title bar's done button of the foreground window (false when
// it has none).
bool PressDone();
// Whether the screen shows a menu bar.
bool MenuBarShown();
// The topmost dialog on the screen, or null.
HWND DialogInFront();
// The title bar's text (the foreground window's title).
std::u16string TitleBar();
// Whether the screen shows `window` as the application window, greyed out.
bool ShownDisabled(HWND window);
// The whole display, and the work area between title bar and menu bar.
RECT DisplayRect();
RECT WorkArea();
// A line of text in the system font, in pixels.
int LineHeight();

// The topmost of at least `count` open boxes, once there are that many.
inline std::optional<Box> WaitForBox(size_t count = 1) {
  std::optional<Box> box;
  Eventually([&] {
    auto boxes = OpenBoxes();
    if (boxes.size() >= count) box = boxes.back();
    return boxes.size() >= count;
  });
  return box;
}

// The dialog in front, once there is one (null after the limit).
inline HWND WaitForDialog() {
  HWND dialog = nullptr;
  Eventually([&] { return (dialog = DialogInFront()) != nullptr; });
  return dialog;
}

// ------------------------------------------------------------ .res images

// Builds a compiled resource image (.res) entry by entry, as a resource
// compiler writes it.
class ResImage {
 public:
  ResImage() { AddRaw(0, 0, 0, {}); }  // the empty entry every .res opens with

  ResImage& Add(uint16_t type, uint16_t name, const std::vector<uint8_t>& data, uint16_t language = 0x0409) {
    AddRaw(type, name, language, data);
    return *this;
  }
  std::span<const uint8_t> Bytes() const { return bytes_; }
  // Registers (a copy of) the image as the program's resources; returns the
  // instance. The copy lives as long as the process, as a program's own
  // resources do, since handles into it may outlive this object.
  HINSTANCE Register() const {
    static auto* kept = new std::deque<std::vector<uint8_t>>;
    kept->push_back(bytes_);
    return RegisterResources(kept->back());
  }

  static void Word(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
  }
  static void Dword(std::vector<uint8_t>& out, uint32_t value) {
    Word(out, static_cast<uint16_t>(value));
    Word(out, static_cast<uint16_t>(value >> 16));
  }
  static void Text(std::vector<uint8_t>& out, std::u16string_view text) {
    for (char16_t c : text) Word(out, c);
    Word(out, 0);
  }
  static void Align(std::vector<uint8_t>& out, size_t to = 4) {
    while (out.size() % to) out.push_back(0);
  }

 private:
  void AddRaw(uint16_t type, uint16_t name, uint16_t language, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> header;
    Dword(header, static_cast<uint32_t>(data.size()));
    Dword(header, 32);
    Word(header, 0xFFFF);
    Word(header, type);
    Word(header, 0xFFFF);
    Word(header, name);
    Dword(header, 0);  // data version
    Word(header, 0x1030);
    Word(header, language);
    Dword(header, 0);
    Dword(header, 0);
    bytes_.insert(bytes_.end(), header.begin(), header.end());
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    Align(bytes_);
  }
  std::vector<uint8_t> bytes_;
};

// Menu template: items are (flags, id, text) in template order.
struct MenuItemSpec {
  uint16_t flags;
  uint16_t id;
  std::u16string text;
};
inline std::vector<uint8_t> MenuTemplate(const std::vector<MenuItemSpec>& items) {
  std::vector<uint8_t> out;
  ResImage::Word(out, 0);  // version
  ResImage::Word(out, 0);  // header size
  for (const MenuItemSpec& item : items) {
    ResImage::Word(out, item.flags);
    if (!(item.flags & MF_POPUP)) ResImage::Word(out, item.id);
    ResImage::Text(out, item.text);
  }
  return out;
}

// A string-table block holding `strings` at their slots (id % 16).
inline std::vector<uint8_t> StringBlock(const std::map<int, std::u16string>& strings) {
  std::vector<uint8_t> out;
  for (int slot = 0; slot < 16; ++slot) {
    auto it = strings.find(slot);
    std::u16string text = it == strings.end() ? u"" : it->second;
    ResImage::Word(out, static_cast<uint16_t>(text.size()));
    for (char16_t c : text) ResImage::Word(out, c);
  }
  return out;
}

inline std::vector<uint8_t> Words(const std::vector<uint16_t>& words) {
  std::vector<uint8_t> out;
  for (uint16_t w : words) ResImage::Word(out, w);
  return out;
}

// ------------------------------------------------------------- menu bars

// The resources a menu bar reads: menu 105, menu-bar data 105, string 40003.
inline HINSTANCE RegisterMenuBarResources(std::vector<uint16_t> barWords = {105, 1, 0xFFFE, 40001, 4, 0x18, 40003, 0,
                                                                            0}) {
  static ResImage image;
  image = ResImage();
  image.Add(
      4, 105,
      MenuTemplate(
          {{MF_POPUP | MF_END, 0, u"System"}, {0, 118, u"Update firmware - Go"}, {0, 0, u""}, {MF_END, 101, u"Exit"}}),
      1028);
  image.Add(10, 105, Words(barWords), 1028);  // RT_RCDATA
  image.Add(6, 40003 / 16 + 1, StringBlock({{40003 % 16, u"System"}}), 1028);
  return image.Register();
}

inline SHMENUBARINFO BarInfo(HWND parent, HINSTANCE instance, UINT id = 105) {
  SHMENUBARINFO info;
  memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  info.hwndParent = parent;
  info.nToolBarId = id;
  info.hInstRes = instance;
  return info;
}

// A main window with the menu-bar resources registered, for the bar's tests.
class MenuBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    instance = RegisterMenuBarResources();
    main = Create(Logging(log), WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  }
  void TearDown() override {
    if (IsWindow(main)) DestroyWindow(main);
  }
  Log log;
  HINSTANCE instance = nullptr;
  HWND main = nullptr;
};

}  // namespace wintest
