// Unit tests of the windowing area's hooks into the stand-in: the fault
// switches that make class registration and edit creation fail (for the
// system's failure paths), and keybd_event reaching the board (the handset's
// key click and keep-awake) as well as the focused window's thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "board/Board.h"
#include "WindowTestSupport.h"

namespace {

using namespace wintest;

LRESULT Default(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

TEST(ClassTest, FaultSwitchMakesRegistrationFail) {
  board::PlatformFaults().registerClassFails = true;
  WNDCLASSW wc{};
  wc.lpfnWndProc = Default;
  wc.lpszClassName = u"Refused";
  EXPECT_EQ(RegisterClassW(&wc), 0);
  board::PlatformFaults().registerClassFails = false;
  EXPECT_NE(RegisterClassW(&wc), 0);
  UnregisterClassW(u"Refused", nullptr);
}

TEST(EditFaultTest, FaultSwitchMakesCreatingAnEditFail) {
  HWND parent = Create(nullptr);
  board::PlatformFaults().editCreateFails = true;
  EXPECT_EQ(
      CreateWindowExW(0, u"edit", u"", WS_CHILD, 0, 0, 10, 10, parent, reinterpret_cast<HMENU>(5), nullptr, nullptr),
      nullptr);
  EXPECT_EQ(GetDlgItem(parent, 5), nullptr);
  board::PlatformFaults().editCreateFails = false;
  DestroyWindow(parent);
}

class RecordingBoard : public board::Board {
 public:
  void KeyEvent(BYTE vk, BYTE scan, DWORD flags, DWORD) override {
    std::lock_guard<std::mutex> guard(lock);
    keys.push_back({vk, scan, flags});
  }
  struct Key {
    BYTE vk, scan;
    DWORD flags;
  };
  std::mutex lock;
  std::vector<Key> keys;
};

TEST(InputTest, KeybdEventReachesTheBoardAndTheFocusedWindowsThread) {
  RecordingBoard board;
  board::Install(&board);
  Log log;
  HWND parent = Create(nullptr);
  HWND edit = Create(Logging(log), WS_CHILD | WS_VISIBLE, parent, 5);
  SetFocus(edit);
  // KEYEVENTF_SILENT is CE's 0x0004 (no key click); on the desktop 0x0004
  // is KEYEVENTF_UNICODE (platform/README.md, Differences).
  keybd_event(VK_KANA, 0, KEYEVENTF_KEYUP | KEYEVENTF_SILENT, 0);
  keybd_event('A', 0, 0, 0);
  ASSERT_TRUE(Pump([&] { return log.Count(WM_KEYDOWN) == 1; }));
  auto all = log.All();
  std::vector<Message> keys;
  for (const Message& m : all) {
    if (m.message == WM_KEYUP || m.message == WM_KEYDOWN) keys.push_back(m);
  }
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].message, static_cast<UINT>(WM_KEYUP));
  EXPECT_EQ(keys[0].wParam, static_cast<WPARAM>(VK_KANA));
  EXPECT_EQ(keys[1].message, static_cast<UINT>(WM_KEYDOWN));
  {
    std::lock_guard<std::mutex> guard(board.lock);
    ASSERT_EQ(board.keys.size(), 2u);
    EXPECT_EQ(board.keys[0].vk, VK_KANA);
    EXPECT_EQ(board.keys[0].flags, static_cast<DWORD>(KEYEVENTF_KEYUP | KEYEVENTF_SILENT));
  }
  keybd_event('A', 0, KEYEVENTF_KEYUP, 0);
  board::Install(nullptr);
  DestroyWindow(parent);
}

}  // namespace
