// Conformance of classes and windows: creation and its refusal, the
// destruction order, WM_CLOSE's default, geometry and WM_SIZE, focus,
// activation and the foreground window, window text, enabling, calls on a
// handle that names no window.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "WindowTestSupport.h"

namespace {

using namespace wintest;

LRESULT Default(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

TEST(ClassTest, NamesAreUniqueWithoutRegardToCase) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = Default;
  wc.lpszClassName = u"Firmware Utility";
  ATOM atom = RegisterClassW(&wc);
  EXPECT_NE(atom, 0);

  wc.lpszClassName = u"FIRMWARE utility";
  SetLastError(0);
  EXPECT_EQ(RegisterClassW(&wc), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

  // Either spelling creates a window of it.
  HWND hwnd = CreateWindowExW(0, u"firmware UTILITY", u"x", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(hwnd, nullptr);
  EXPECT_FALSE(UnregisterClassW(u"Firmware Utility", nullptr));  // it has a window
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
  DestroyWindow(hwnd);
  EXPECT_TRUE(UnregisterClassW(u"FIRMWARE UTILITY", nullptr));
  EXPECT_FALSE(UnregisterClassW(u"edit", nullptr));  // the system's own stay
}

TEST(ClassTest, UnknownClassCreatesNothing) {
  SetLastError(0);
  EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST(CreateTest, CreateMessageArrivesInsideWithTheCreationParameters) {
  CREATESTRUCTW seen{};
  std::u16string className, title;
  int param = 42;
  bool inside = false;
  RegisterTestClass();
  Handlers::Get().SetNext([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_CREATE) {
      inside = true;
      seen = *reinterpret_cast<CREATESTRUCTW*>(l);
      className = seen.lpszClass;
      title = seen.lpszName;
      EXPECT_TRUE(IsWindow(h));  // the window exists while it is being created
    }
    return DefWindowProcW(h, m, w, l);
  });
  HWND hwnd = CreateWindowExW(WS_EX_CLIENTEDGE, kTestClass, u"Title", WS_VISIBLE, 3, 4, 50, 60, nullptr, nullptr,
                              nullptr, &param);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(inside);
  EXPECT_EQ(seen.lpCreateParams, &param);
  EXPECT_EQ(seen.x, 3);
  EXPECT_EQ(seen.y, 4);
  EXPECT_EQ(seen.cx, 50);
  EXPECT_EQ(seen.cy, 60);
  EXPECT_EQ(static_cast<DWORD>(seen.style), static_cast<DWORD>(WS_VISIBLE));
  EXPECT_EQ(seen.dwExStyle, static_cast<DWORD>(WS_EX_CLIENTEDGE));
  EXPECT_EQ(className, u"TestWindow");
  EXPECT_EQ(title, u"Title");
  DestroyWindow(hwnd);
}

TEST(CreateTest, MinusOneFromCreateRefusesTheWindow) {
  Log log;
  HWND during = nullptr;
  HWND hwnd = Create(Logging(log, [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_CREATE) {
      during = h;
      return -1;
    }
    return DefWindowProcW(h, m, w, l);
  }));
  EXPECT_EQ(hwnd, nullptr);
  ASSERT_NE(during, nullptr);
  EXPECT_FALSE(IsWindow(during));
  // The refused window is destroyed the ordinary way.
  EXPECT_EQ(log.Count(WM_DESTROY, during), 1u);
  EXPECT_NE(GetForegroundWindow(), during);
}

TEST(CreateTest, WindowThatDestroysItselfInCreateYieldsNull) {
  Log log;
  HWND during = nullptr;
  HWND hwnd = Create(Logging(log, [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_CREATE) {
      during = h;
      DestroyWindow(h);
      return 0;
    }
    if (m == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(h, m, w, l);
  }));
  EXPECT_EQ(hwnd, nullptr);
  EXPECT_FALSE(IsWindow(during));
  EXPECT_EQ(log.Count(WM_DESTROY, during), 1u);
  // WM_DESTROY ran inside and posted the quit message: the loop ends at once.
  MSG msg;
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
}

TEST(CreateTest, ChildIdComesFromTheMenuArgument) {
  HWND parent = Create(nullptr);
  HWND child = Create(nullptr, WS_CHILD | WS_VISIBLE, parent, 5);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(GetDlgItem(parent, 5), child);
  EXPECT_EQ(GetDlgCtrlID(child), 5);
  EXPECT_EQ(GetParent(child), parent);
  EXPECT_EQ(GetParent(parent), nullptr);
  SetLastError(0);
  EXPECT_EQ(GetDlgItem(parent, 4), nullptr);
  EXPECT_EQ(GetDlgItem(nullptr, 5), nullptr);
  // A child without a parent is refused.
  EXPECT_EQ(Create(nullptr, WS_CHILD, nullptr, 1), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
  DestroyWindow(parent);
}

TEST(CreateTest, DefaultPositionsAndSizes) {
  HWND top = Create(nullptr);
  RECT r;
  ASSERT_TRUE(GetWindowRect(top, &r));
  // Below the title bar, down to the bottom of the screen.
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, WorkArea().top);
  EXPECT_EQ(r.right, DisplayRect().right);
  EXPECT_EQ(r.bottom, DisplayRect().bottom);
  HWND child = Create(nullptr, WS_CHILD, top, 1);
  ASSERT_TRUE(GetClientRect(child, &r));
  EXPECT_EQ(r.right, 0);  // a child of default size has none until it is sized
  EXPECT_EQ(r.bottom, 0);
  DestroyWindow(top);
}

TEST(CreateTest, CreatingAWindowOnTheThreadMakesItsOwner) {
  HWND hwnd = Create(nullptr);
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, GetCurrentProcessId());
  DestroyWindow(hwnd);
}

TEST(DestroyTest, ParentHearsFirstAndItsChildrenStillExist) {
  Log log;
  bool childAliveInParentDestroy = false;
  HWND child = nullptr;
  HWND parent = Create(Logging(log, [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_DESTROY) childAliveInParentDestroy = IsWindow(child) && GetDlgItem(h, 7) == child;
    return DefWindowProcW(h, m, w, l);
  }));
  child = Create(Logging(log), WS_CHILD | WS_VISIBLE, parent, 7);
  HWND grandchild = Create(Logging(log), WS_CHILD, child, 8);
  HWND owned = Create(Logging(log), WS_POPUP, parent);
  log.Clear();

  ASSERT_TRUE(DestroyWindow(parent));
  std::vector<HWND> destroyed;
  for (const Message& m : log.All()) {
    if (m.message == WM_DESTROY) destroyed.push_back(m.hwnd);
  }
  // Owned windows go first; then the window, then its children.
  EXPECT_EQ(destroyed, (std::vector<HWND>{owned, parent, child, grandchild}));
  EXPECT_TRUE(childAliveInParentDestroy);
  for (HWND h : {parent, child, grandchild, owned}) EXPECT_FALSE(IsWindow(h));
}

TEST(DestroyTest, CloseByDefaultDestroysTheWindow) {
  Log log;
  HWND hwnd = Create(Logging(log));
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(log.Count(WM_DESTROY, hwnd), 1u);
}

TEST(DestroyTest, ACloseHandlerThatDoesNotCallTheDefaultKeepsTheWindow) {
  HWND hwnd = Create(
      [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT { return m == WM_CLOSE ? 0 : DefWindowProcW(h, m, w, l); });
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(hwnd));
  DestroyWindow(hwnd);
}

TEST(DestroyTest, OnlyTheOwnerThreadMayDestroy) {
  HWND hwnd = Create(nullptr);
  BOOL result = TRUE;
  DWORD error = 0;
  std::thread([&] {
    result = DestroyWindow(hwnd);
    error = GetLastError();
  }).join();
  EXPECT_FALSE(result);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_TRUE(DestroyWindow(hwnd));
  SetLastError(0);
  EXPECT_FALSE(DestroyWindow(hwnd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(GeometryTest, SizeMessagesFollowSizeChangesOnly) {
  Log log;
  HWND parent = Create(nullptr);
  HWND hwnd = Create(Logging(log), WS_CHILD | WS_VISIBLE | WS_VSCROLL, parent, 5, u"", WS_EX_CLIENTEDGE);
  log.Clear();

  SetWindowPos(hwnd, nullptr, 0, 10, 100, 80, SWP_NOZORDER);
  ASSERT_EQ(log.Count(WM_SIZE), 1u);
  Message size = log.All().back();
  // Client area: less the 2-pixel edge on each side and the scroll bar.
  EXPECT_EQ(LOWORD(size.lParam), 100 - 4 - 10);
  EXPECT_EQ(HIWORD(size.lParam), 80 - 4);
  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, LOWORD(size.lParam));
  EXPECT_EQ(client.bottom, HIWORD(size.lParam));

  log.Clear();
  SetWindowPos(hwnd, nullptr, 0, 10, 100, 80, SWP_NOZORDER);  // nothing changes
  MoveWindow(hwnd, 5, 10, 100, 80, TRUE);                     // a move only
  SetWindowPos(hwnd, nullptr, 0, 0, 10, 10, SWP_NOZORDER | SWP_NOSIZE);
  EXPECT_EQ(log.Count(WM_SIZE), 0u);
  EXPECT_EQ(log.Count(WM_MOVE), 2u);

  RECT r;
  GetWindowRect(hwnd, &r);  // screen coordinates: the parent's client origin added
  RECT parentRect;
  GetWindowRect(parent, &parentRect);
  EXPECT_EQ(r.left, parentRect.left);
  EXPECT_EQ(r.top, parentRect.top);
  DestroyWindow(parent);
}

TEST(GeometryTest, CreationSendsOneSizeUnlessCreateAlreadySized) {
  Log plainLog, sizedLog;
  HWND plain = Create(Logging(plainLog));
  EXPECT_EQ(plainLog.Count(WM_SIZE), 1u);
  auto numbers = plainLog.Numbers();
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.front(), static_cast<UINT>(WM_CREATE));

  HWND sized = Create(Logging(sizedLog, [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_CREATE) SetWindowPos(h, nullptr, 0, 26, 240, 268, SWP_NOZORDER);
    return DefWindowProcW(h, m, w, l);
  }));
  EXPECT_EQ(sizedLog.Count(WM_SIZE), 1u);  // the one SetWindowPos sent inside WM_CREATE
  DestroyWindow(plain);
  DestroyWindow(sized);
}

TEST(FocusTest, FocusChangesAreAnnounced) {
  Log log;
  HWND parent = Create(Logging(log));
  HWND a = Create(Logging(log), WS_CHILD | WS_VISIBLE, parent, 1);
  HWND b = Create(Logging(log), WS_CHILD | WS_VISIBLE, parent, 2);
  EXPECT_EQ(GetFocus(), parent);  // a new visible window is activated and takes the focus

  log.Clear();
  EXPECT_EQ(SetFocus(a), parent);
  EXPECT_EQ(GetFocus(), a);
  EXPECT_EQ(SetFocus(b), a);
  auto all = log.All();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].hwnd, parent);
  EXPECT_EQ(all[0].message, static_cast<UINT>(WM_KILLFOCUS));
  EXPECT_EQ(all[1].hwnd, a);
  EXPECT_EQ(all[1].message, static_cast<UINT>(WM_SETFOCUS));
  EXPECT_EQ(all[1].wParam, reinterpret_cast<WPARAM>(parent));
  EXPECT_EQ(all[2].hwnd, a);
  EXPECT_EQ(all[2].message, static_cast<UINT>(WM_KILLFOCUS));
  EXPECT_EQ(all[3].hwnd, b);
  EXPECT_EQ(all[3].message, static_cast<UINT>(WM_SETFOCUS));

  // Another thread sees no focus of its own.
  HWND seen = a;
  std::thread([&] { seen = GetFocus(); }).join();
  EXPECT_EQ(seen, nullptr);
  DestroyWindow(parent);
  EXPECT_EQ(GetFocus(), nullptr);
}

TEST(ActivationTest, ForegroundMovesWithActivateMessages) {
  Log log;
  HWND first = Create(Logging(log), WS_VISIBLE, nullptr, 0, u"First");
  EXPECT_EQ(GetForegroundWindow(), first);
  HWND second = Create(Logging(log), WS_VISIBLE, nullptr, 0, u"Second");
  EXPECT_EQ(GetForegroundWindow(), second);

  log.Clear();
  // The lowest bit asks for the owned windows too; it is no part of the
  // handle. CE's convention, which the utility uses; desktop Win32 has no
  // such bit (platform/README.md, Differences).
  EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(first) | 1)));
  EXPECT_EQ(GetForegroundWindow(), first);
  ASSERT_EQ(log.Count(WM_ACTIVATE), 2u);
  for (const Message& m : log.All()) {
    if (m.message != WM_ACTIVATE) continue;
    if (m.hwnd == second) {
      EXPECT_EQ(LOWORD(m.wParam), WA_INACTIVE);
      EXPECT_EQ(m.lParam, reinterpret_cast<LPARAM>(first));
    } else {
      EXPECT_EQ(m.hwnd, first);
      EXPECT_EQ(LOWORD(m.wParam), WA_ACTIVE);
    }
  }
  EXPECT_EQ(GetFocus(), first);

  // Once in front, asking again changes nothing.
  log.Clear();
  EXPECT_TRUE(SetForegroundWindow(first));
  EXPECT_EQ(log.Count(WM_ACTIVATE), 0u);
  DestroyWindow(first);
  EXPECT_EQ(GetForegroundWindow(), second);  // activation passes on
  DestroyWindow(second);
  EXPECT_EQ(GetForegroundWindow(), nullptr);
}

TEST(ActivationTest, DisabledOwnerPassesActivationToItsPopup) {
  HWND owner = Create(nullptr, WS_VISIBLE, nullptr, 0, u"Owner");
  HWND popup = Create(nullptr, WS_POPUP | WS_VISIBLE, owner, 0, u"Popup");
  HWND other = Create(nullptr, WS_VISIBLE, nullptr, 0, u"Other");
  EnableWindow(owner, FALSE);
  SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(owner) | 1));
  EXPECT_EQ(GetForegroundWindow(), popup);
  DestroyWindow(other);
  DestroyWindow(owner);
}

// An activation made while another one is telling its windows (on another
// thread: a timer that keeps its window in front) stands, and the focus
// goes with it: the window the first activation was for does not take the
// focus afterwards. Made here from the windows' own answers, once by the
// window told it lost the activation and once by the window told it got it.
TEST(ActivationTest, AnActivationMadeWhileWindowsAreToldStands) {
  for (bool byTheOldWindow : {true, false}) {
    bool takenBack = false;
    HWND kept = nullptr;
    auto takeBack = [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      if (m == WM_ACTIVATE && !takenBack && (LOWORD(w) == WA_INACTIVE) == byTheOldWindow) {
        takenBack = true;
        SetForegroundWindow(kept);
      }
      return DefWindowProcW(h, m, w, l);
    };
    kept = Create(byTheOldWindow ? Handler(takeBack) : nullptr, WS_VISIBLE, nullptr, 0, u"Kept in front");
    ASSERT_EQ(GetForegroundWindow(), kept);
    HWND other = Create(byTheOldWindow ? nullptr : Handler(takeBack), WS_VISIBLE, nullptr, 0, u"Other");
    EXPECT_TRUE(takenBack) << byTheOldWindow;
    EXPECT_EQ(GetForegroundWindow(), kept) << byTheOldWindow;
    EXPECT_EQ(GetFocus(), kept) << byTheOldWindow;
    DestroyWindow(other);
    DestroyWindow(kept);
  }
}

TEST(TextTest, WindowTextRoundTripsAndTruncates) {
  HWND hwnd = Create(nullptr, WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  WCHAR buffer[64];
  EXPECT_EQ(GetWindowTextW(hwnd, buffer, 64), 16);
  EXPECT_EQ(std::u16string(buffer), u"Firmware Utility");
  EXPECT_EQ(GetWindowTextW(hwnd, buffer, 5), 4);
  EXPECT_EQ(std::u16string(buffer), u"Firm");
  EXPECT_TRUE(SetWindowTextW(hwnd, u"About"));
  EXPECT_EQ(GetWindowTextLengthW(hwnd), 5);
  // Read from another thread without a message to the owner.
  std::u16string seen;
  std::thread([&] {
    WCHAR b[16];
    GetWindowTextW(hwnd, b, 16);
    seen = b;
  }).join();
  EXPECT_EQ(seen, u"About");
  EXPECT_EQ(TitleBar(), u"About");
  DestroyWindow(hwnd);
}

TEST(EnableTest, EnableReportsThePreviousStateAndTakesTheFocus) {
  Log log;
  HWND hwnd = Create(Logging(log));
  EXPECT_EQ(GetFocus(), hwnd);
  log.Clear();
  EXPECT_FALSE(EnableWindow(hwnd, FALSE));  // was enabled
  EXPECT_TRUE(EnableWindow(hwnd, FALSE));   // was disabled: no change, no message
  EXPECT_EQ(GetFocus(), nullptr);
  EXPECT_EQ(log.Count(WM_ENABLE), 1u);
  EXPECT_TRUE(EnableWindow(hwnd, TRUE));
  EXPECT_EQ(log.Count(WM_ENABLE), 2u);
  DestroyWindow(hwnd);
}

// Every call on a handle that names no window fails with its own failure
// value and ERROR_INVALID_WINDOW_HANDLE; a bad handle wins over a bad pointer.
TEST(HandleTest, CallsOnADestroyedWindowFailWithInvalidWindowHandle) {
  HWND gone = Create(nullptr);
  ASSERT_TRUE(DestroyWindow(gone));
  auto expectInvalidHandle = [](auto result, auto failure, const char* call) {
    EXPECT_EQ(result, failure) << call;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE)) << call;
    SetLastError(0);
  };
  SetLastError(0);
  expectInvalidHandle(SetWindowTextW(gone, u"x"), FALSE, "SetWindowTextW");
  WCHAR text[8] = {'s', 't', 'a', 'l', 'e', 0};
  expectInvalidHandle(GetWindowTextW(gone, text, 8), 0, "GetWindowTextW");
  EXPECT_EQ(text[0], 0);
  expectInvalidHandle(GetWindowTextLengthW(gone), 0, "GetWindowTextLengthW");
  expectInvalidHandle(SetFocus(gone), static_cast<HWND>(nullptr), "SetFocus");
  expectInvalidHandle(EnableWindow(gone, FALSE), FALSE, "EnableWindow");
  expectInvalidHandle(ShowWindow(gone, SW_SHOW), FALSE, "ShowWindow");
  expectInvalidHandle(UpdateWindow(gone), FALSE, "UpdateWindow");
  expectInvalidHandle(MoveWindow(gone, 1, 2, 3, 4, FALSE), FALSE, "MoveWindow");
  expectInvalidHandle(SetTimer(gone, 1, 100, nullptr), 0u, "SetTimer");
  expectInvalidHandle(KillTimer(gone, 1), FALSE, "KillTimer");
  expectInvalidHandle(GetParent(gone), static_cast<HWND>(nullptr), "GetParent");
  expectInvalidHandle(GetDlgItem(gone, 1), static_cast<HWND>(nullptr), "GetDlgItem");
  expectInvalidHandle(GetDlgCtrlID(gone), 0, "GetDlgCtrlID");
  DWORD process = 7;
  expectInvalidHandle(GetWindowThreadProcessId(gone, &process), DWORD{0}, "GetWindowThreadProcessId");
  EXPECT_EQ(process, 7u);
  expectInvalidHandle(Create(nullptr, WS_CHILD | WS_VISIBLE, gone, 5), static_cast<HWND>(nullptr),
                      "CreateWindowExW child of it");
  RECT rect{};
  expectInvalidHandle(GetClientRect(gone, &rect), FALSE, "GetClientRect");
  expectInvalidHandle(GetWindowRect(gone, &rect), FALSE, "GetWindowRect");
  expectInvalidHandle(GetClientRect(gone, nullptr), FALSE, "GetClientRect without a rectangle");
  expectInvalidHandle(GetWindowRect(gone, nullptr), FALSE, "GetWindowRect without a rectangle");

  // A live window without a rectangle to fill is a bad parameter instead.
  HWND live = Create(nullptr);
  EXPECT_FALSE(GetClientRect(live, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_FALSE(GetWindowRect(live, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DestroyWindow(live);
}

TEST(StockTest, ArrowCursorAndWhiteBrushExist) {
  EXPECT_NE(LoadCursorW(nullptr, IDC_ARROW), nullptr);
  EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
  EXPECT_EQ(GetStockObject(99), nullptr);
}

}  // namespace
