// Conformance of message queues: posting and the quit message, peeking,
// translation of keys, SendMessageW across threads (with the owner in a
// modal loop, the owner itself blocked in a send, the target destroyed or
// its thread ended, the sender terminated), waits on objects that messages
// also end (MsgWaitForMultipleObjects), timers, key input and accelerators.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <vector>

#include "WindowTestSupport.h"

namespace {

using namespace wintest;

constexpr UINT kPing = WM_USER + 1;

TEST(QueueTest, PostedMessagesComeInOrderAndQuitComesLast) {
  HWND hwnd = Create(nullptr);
  PostQuitMessage(3);
  PostMessageW(hwnd, kPing, 1, 0);
  PostMessageW(hwnd, kPing, 2, 0);
  MSG msg;
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(msg.wParam, 1u);
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 3u);
  DestroyWindow(hwnd);
}

TEST(QueueTest, PeekLeavesOrTakesAndFilters) {
  HWND a = Create(nullptr);
  HWND b = Create(nullptr);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  PostMessageW(a, kPing, 1, 0);
  PostMessageW(b, kPing + 1, 2, 0);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 1u);
  ASSERT_TRUE(PeekMessageW(&msg, b, 0, 0, PM_REMOVE));  // by window
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, kPing + 1, kPing + 5, PM_REMOVE));  // by number
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, kPing, kPing, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(0x12345678), kPing, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST(QueueTest, PrintableKeysTranslateToCharacters) {
  Log log;
  HWND hwnd = Create(Logging(log));
  ASSERT_EQ(GetFocus(), hwnd);
  Press('Q', kShift);
  Press('7');
  Press(VK_LEFT);
  ASSERT_TRUE(Pump([&] { return log.Count(WM_KEYUP) >= 4; }));
  std::vector<WPARAM> chars;
  for (const Message& m : log.All()) {
    if (m.message == WM_CHAR) chars.push_back(m.wParam);
  }
  EXPECT_EQ(chars, (std::vector<WPARAM>{u'Q', u'7'}));
  DestroyWindow(hwnd);
}

// ------------------------------------------------------- sends across threads

struct Worker {
  template <class F>
  explicit Worker(F f) : thread(std::move(f)) {}
  ~Worker() {
    if (thread.joinable()) thread.join();
  }
  std::thread thread;
};

TEST(SendTest, AnotherThreadsSendRunsOnTheOwnerAndReturnsItsResult) {
  std::atomic<DWORD> procThread{0};
  HWND hwnd = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == kPing) {
      procThread = GetCurrentThreadId();
      return static_cast<LRESULT>(w * 2);
    }
    return DefWindowProcW(h, m, w, l);
  });
  std::atomic<LRESULT> result{0};
  std::atomic<bool> done{false};
  Worker worker([&] {
    result = SendMessageW(hwnd, kPing, 21, 0);
    done = true;
  });
  EXPECT_TRUE(Pump([&] { return done.load(); }));
  EXPECT_EQ(result.load(), 42);
  EXPECT_EQ(procThread.load(), GetCurrentThreadId());
  DestroyWindow(hwnd);
}

TEST(SendTest, OwnerServesSendsWhileInAMessageBox) {
  std::atomic<int> served{0};
  HWND hwnd = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == kPing) return ++served;
    return DefWindowProcW(h, m, w, l);
  });
  std::atomic<LRESULT> result{0};
  Worker worker([&] {
    // Waits for the box, sends into the owner's modal loop, then answers it.
    auto box = WaitForBox();
    ASSERT_TRUE(box);
    result = SendMessageW(hwnd, kPing, 0, 0);
    AnswerBox(box->id, IDOK);
  });
  EXPECT_EQ(MessageBoxW(hwnd, u"busy", u"Box", MB_OK), IDOK);
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(served.load(), 1);
  DestroyWindow(hwnd);
}

TEST(SendTest, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  // The worker owns a window and sends to ours; our window's handler sends
  // back to the worker's window while the worker waits in its own send.
  std::atomic<HWND> workerWindow{nullptr};
  std::atomic<bool> quit{false};
  std::atomic<LRESULT> workerResult{0};
  HWND ours = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == kPing) return SendMessageW(workerWindow.load(), kPing, 0, 0) + 1;
    return DefWindowProcW(h, m, w, l);
  });
  Worker worker([&] {
    workerWindow = Create(
        [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT { return m == kPing ? 10 : DefWindowProcW(h, m, w, l); }, 0);
    workerResult = SendMessageW(ours, kPing, 0, 0);
    Pump([&] { return quit.load(); });
    DestroyWindow(workerWindow);
  });
  ASSERT_TRUE(Pump([&] { return workerResult.load() != 0; }));
  EXPECT_EQ(workerResult.load(), 11);
  // And the other way round: we send while the worker pumps.
  EXPECT_EQ(SendMessageW(workerWindow.load(), kPing, 0, 0), 10);
  quit = true;
  worker.thread.join();
  DestroyWindow(ours);
}

TEST(SendTest, SendToAWindowDestroyedBeforeItsTurnYieldsZero) {
  std::atomic<int> delivered{0};
  HWND hwnd = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == kPing) ++delivered;
    return DefWindowProcW(h, m, w, l);
  });
  std::atomic<bool> sent{false};
  std::atomic<LRESULT> result{-1};
  Worker worker([&] {
    sent = true;
    result = SendMessageW(hwnd, kPing, 0, 0);
  });
  // The owner does not pump while the worker waits; then the window goes.
  ASSERT_TRUE(Eventually([&] { return sent.load(); }));
  std::this_thread::sleep_for(20ms);
  DestroyWindow(hwnd);
  worker.thread.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(delivered.load(), 0);
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
  EXPECT_EQ(delivered.load(), 0);
}

TEST(SendTest, SendToAWindowWhoseThreadEndedYieldsZero) {
  std::mutex m;
  std::condition_variable cv;
  bool created = false, release = false;
  HWND hwnd = nullptr;
  std::thread owner([&] {
    HWND h = Create(nullptr, 0);
    std::unique_lock<std::mutex> lock(m);
    hwnd = h;
    created = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    // Ends without destroying its window and without pumping.
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return created; });
  }
  std::atomic<LRESULT> result{-1};
  std::atomic<bool> sending{false};
  std::thread sender([&] {
    sending = true;
    result = SendMessageW(hwnd, kPing, 0, 0);
  });
  ASSERT_TRUE(Eventually([&] { return sending.load(); }));
  std::this_thread::sleep_for(20ms);
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
    cv.notify_all();
  }
  owner.join();
  sender.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(IsWindow(hwnd));  // a thread's windows end with it
  EXPECT_EQ(SendMessageW(hwnd, kPing, 0, 0), 0);
}

struct SendArgs {
  HWND hwnd;
  std::atomic<bool> started{false};
  std::atomic<bool> returned{false};
};

DWORD WINAPI Sender(LPVOID param) {
  auto* args = static_cast<SendArgs*>(param);
  WCHAR text[] = u"on the sender's stack";
  args->started = true;
  SendMessageW(args->hwnd, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
  args->returned = true;
  return 0;
}

// Win32 says nothing of a send whose thread is terminated; the stand-in takes
// the queued message back, so the receiver never reads the dead thread's
// stack (its text here), and termination takes effect inside the send, a
// blocking platform call (ThreadConformanceTest.cpp, on termination points).
TEST(SendTest, TerminatedSenderTakesItsQueuedMessageBack) {
  std::atomic<int> delivered{0};
  HWND hwnd = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == EM_REPLACESEL) ++delivered;
    return DefWindowProcW(h, m, w, l);
  });
  SendArgs args;
  args.hwnd = hwnd;
  HANDLE thread = CreateThread(nullptr, 0, Sender, &args, 0, nullptr);
  ASSERT_TRUE(Eventually([&] { return args.started.load(); }));
  std::this_thread::sleep_for(20ms);  // now waiting for us, who do not pump
  ASSERT_TRUE(TerminateThread(thread, 9));
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 9u);
  EXPECT_FALSE(args.returned.load());
  // Its text (on its vanished stack) never reaches the window.
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_EQ(delivered.load(), 0);
  CloseHandle(thread);
  DestroyWindow(hwnd);
}

TEST(SendTest, NothingOfATerminatedSenderArrivesAfterTerminateReturns) {
  // As StopRelay does: terminate the copy threads, then write its own line
  // and go back to the loop. The terminated threads' texts never follow.
  std::vector<std::u16string> texts;
  HWND hwnd = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == EM_REPLACESEL) texts.emplace_back(reinterpret_cast<LPCWSTR>(l));
    return DefWindowProcW(h, m, w, l);
  });
  for (int round = 0; round < 20; ++round) {
    texts.clear();
    SendArgs args;
    args.hwnd = hwnd;
    HANDLE thread = CreateThread(nullptr, 0, Sender, &args, 0, nullptr);
    ASSERT_TRUE(Eventually([&] { return args.started.load(); }));
    std::this_thread::sleep_for(1ms);
    TerminateThread(thread, 0);
    SendMessageW(hwnd, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"COMs released"));
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(texts, (std::vector<std::u16string>{u"COMs released"})) << "round " << round;
    CloseHandle(thread);
  }
  DestroyWindow(hwnd);
}

TEST(SendTest, SenderTerminatedWhileItsMessageIsHandledWaitsForTheHandler) {
  std::mutex m;
  std::condition_variable cv;
  bool inHandler = false, release = false;
  std::u16string seen;
  HWND hwnd = Create([&](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    if (msg == EM_REPLACESEL) {
      std::unique_lock<std::mutex> lock(m);
      inHandler = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
      seen = reinterpret_cast<LPCWSTR>(l);  // still valid: the sender has not unwound
      return 1;
    }
    return DefWindowProcW(h, msg, w, l);
  });
  SendArgs args;
  args.hwnd = hwnd;
  HANDLE thread = CreateThread(nullptr, 0, Sender, &args, 0, nullptr);
  std::thread terminator([&] {
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return inHandler; });
    }
    TerminateThread(thread, 4);
    // The sender cannot finish unwinding while its message is being handled.
    EXPECT_EQ(WaitForSingleObject(thread, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    std::lock_guard<std::mutex> lock(m);
    release = true;
    cv.notify_all();
  });
  MSG msg;
  ASSERT_TRUE(Pump([&] { return release; }));
  terminator.join();
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(seen, u"on the sender's stack");
  EXPECT_FALSE(args.returned.load());
  (void)msg;
  CloseHandle(thread);
  DestroyWindow(hwnd);
}

TEST(SendTest, ManyLogLinesFromAWorkerArriveInOrder) {
  std::vector<std::u16string> lines;
  HWND hwnd = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == EM_REPLACESEL) {
      lines.emplace_back(reinterpret_cast<LPCWSTR>(l));
      return 0;
    }
    return DefWindowProcW(h, m, w, l);
  });
  constexpr int kLines = 20000;
  std::atomic<bool> done{false};
  Worker worker([&] {
    WCHAR text[32];
    for (int i = 0; i < kLines; ++i) {
      wsprintfW(text, u"%d\r\n", i);
      SendMessageW(hwnd, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
    }
    done = true;
  });
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Pump([&] { return done.load(); }, 120s));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  for (int i : {0, 1, kLines / 2, kLines - 1}) {
    std::string digits = std::to_string(i);
    EXPECT_EQ(lines[static_cast<size_t>(i)], std::u16string(digits.begin(), digits.end()) + u"\r\n");
  }
  // Generous: only a send that costs milliseconds would fail this.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  DestroyWindow(hwnd);
}

// ------------------------------------------- waits that messages also end

DWORD WINAPI WaitForEvent(LPVOID event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 3;
}

// Each object by its index (the first signaled one in order; an auto-reset
// event's signal is taken), the queue's input after the objects, a time-out.
TEST(MsgWaitTest, EndsWithTheFirstSignaledObjectTheInputOrTheTimeOut) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[] = {manual, automatic};
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 30, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(automatic);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 0, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 0, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // taken
  SetEvent(automatic);
  SetEvent(manual);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 0, 0), WAIT_OBJECT_0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &automatic, FALSE, 0, 0), WAIT_OBJECT_0);  // left alone before
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 0, 0), WAIT_OBJECT_0);        // a manual event stays set

  HWND hwnd = Create(nullptr);
  PostMessageW(hwnd, kPing, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &automatic, FALSE, 1000, QS_POSTMESSAGE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_POSTMESSAGE), WAIT_OBJECT_0);
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  DestroyWindow(hwnd);
  CloseHandle(manual);
  CloseHandle(automatic);
}

// What the relay's release relies on: waiting for a thread that sends to
// this thread's window, the wait ends for each send; PeekMessageW, even
// without removing anything, handles it; and the wait ends with the thread.
// A posted message stays queued meanwhile.
TEST(MsgWaitTest, AWaitForASenderEndsForItsSendsAndThenWithTheSender) {
  std::vector<std::u16string> texts;
  HWND hwnd = Create([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == EM_REPLACESEL) texts.emplace_back(reinterpret_cast<LPCWSTR>(l));
    return DefWindowProcW(h, m, w, l);
  });
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  PostMessageW(hwnd, kPing, 7, 0);
  SendArgs args;
  args.hwnd = hwnd;
  HANDLE thread = CreateThread(nullptr, 0, Sender, &args, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  int served = 0;
  DWORD woke;
  while ((woke = MsgWaitForMultipleObjects(1, &thread, FALSE, 10000, QS_SENDMESSAGE)) == WAIT_OBJECT_0 + 1) {
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ++served;
  }
  EXPECT_EQ(woke, WAIT_OBJECT_0);
  EXPECT_GE(served, 1);
  EXPECT_TRUE(args.returned.load());
  EXPECT_EQ(texts, std::vector<std::u16string>{u"on the sender's stack"});
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, kPing);
  EXPECT_EQ(msg.wParam, 7u);
  CloseHandle(thread);
  DestroyWindow(hwnd);
}

// Without QS_SENDMESSAGE a send does not end the wait; the thread that
// sends waits too, until the wait's time-out.
TEST(MsgWaitTest, ASendOutsideTheWakeMaskWaitsForTheTimeOut) {
  HWND hwnd = Create(nullptr);
  SendArgs args;
  args.hwnd = hwnd;
  HANDLE thread = CreateThread(nullptr, 0, Sender, &args, 0, nullptr);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_POSTMESSAGE), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(args.returned.load());
  EXPECT_TRUE(Pump([&] { return args.returned.load(); }));
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(thread);
  DestroyWindow(hwnd);
}

// Posted messages and keys end a wait when they came since the thread last
// looked at its queue; with MWMO_INPUTAVAILABLE also when they were seen
// but are still queued. A timer ends a QS_TIMER wait once it is due.
TEST(MsgWaitTest, OnlyNewInputEndsAWaitUnlessInputAvailableIsAsked) {
  HWND hwnd = Create(nullptr);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  std::atomic<bool> posted{false};
  Worker poster([&] {
    std::this_thread::sleep_for(50ms);
    posted = true;
    PostMessageW(hwnd, kPing, 1, 0);
  });
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 10000, QS_POSTMESSAGE, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(posted.load());
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));  // seen, not taken
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 30, QS_POSTMESSAGE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 30, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE), WAIT_OBJECT_0);
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 30, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE),
            static_cast<DWORD>(WAIT_TIMEOUT));  // a posted message is not a sent one

  ASSERT_EQ(SetTimer(hwnd, 5, 50, nullptr), 5u);
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 10000, QS_TIMER, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(PeekMessageW(&msg, hwnd, WM_TIMER, WM_TIMER, PM_REMOVE));
  KillTimer(hwnd, 5);
  DestroyWindow(hwnd);
}

// A thread ended by TerminateThread ends the wait as one that returned.
TEST(MsgWaitTest, ATerminatedThreadEndsTheWait) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, WaitForEvent, event, 0, nullptr);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &thread, FALSE, 30, QS_SENDMESSAGE), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(TerminateThread(thread, 0));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &thread, FALSE, 10000, QS_SENDMESSAGE), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(event);
}

// Refusals. Waiting for all objects at once is not offered: CE documents
// fWaitAll as unsupported (its MsgWaitForMultipleObjects drops it); the
// stand-in refuses TRUE rather than wait for one.
TEST(MsgWaitTest, BadArgumentsFailTheWait) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE handles[] = {event, reinterpret_cast<HANDLE>(0x7654321)};
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, 0, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE pseudo[] = {INVALID_HANDLE_VALUE};
  EXPECT_EQ(MsgWaitForMultipleObjects(1, pseudo, FALSE, 0, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, TRUE, 0, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, nullptr, FALSE, 0, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, 0x8000), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, 0, 0x80), static_cast<DWORD>(WAIT_FAILED));
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS, event);
  EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS - 1, many.data(), FALSE, 0, 0), WAIT_OBJECT_0);
  CloseHandle(event);
}

// ------------------------------------------------------------------ timers

class TimerTest : public ::testing::Test {
 protected:
  FastClock fast_{50};
};

TEST_F(TimerTest, TicksArriveAtTheirPeriodOnThePlatformClock) {
  Log log;
  HWND hwnd = Create(Logging(log));
  // Taken before the timer starts: the ticks are due a period after
  // SetTimer, and a slow thread (under an emulator) may look at the clock
  // some platform milliseconds later.
  DWORD start = GetTickCount();
  ASSERT_EQ(SetTimer(hwnd, 100, 10000, nullptr), 100u);
  ASSERT_TRUE(Pump([&] { return log.Count(WM_TIMER) >= 2; }, 10s));
  DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 20000u);
  for (const Message& m : log.All()) {
    if (m.message == WM_TIMER) {
      EXPECT_EQ(m.wParam, 100u);
    }
  }
  EXPECT_TRUE(KillTimer(hwnd, 100));
  EXPECT_FALSE(KillTimer(hwnd, 100));
  DestroyWindow(hwnd);
}

TEST_F(TimerTest, ALateThreadGetsOneTickNotABacklog) {
  HWND hwnd = Create(nullptr);
  SetTimer(hwnd, 1, 100, nullptr);
  // Five periods pass without the thread looking at its queue.
  Sleep(550);
  int ticks = 0;
  MSG msg;
  while (PeekMessageW(&msg, hwnd, WM_TIMER, WM_TIMER, PM_REMOVE)) ++ticks;
  EXPECT_EQ(ticks, 1);
  DestroyWindow(hwnd);
  // A destroyed window's timers are gone with it.
  EXPECT_FALSE(KillTimer(hwnd, 1));
}

std::atomic<int> procTicks{0};
void CALLBACK CountTick(HWND, UINT message, UINT, DWORD) {
  if (message == WM_TIMER) ++procTicks;
}

TEST_F(TimerTest, TimerProcedureIsCalledByDispatch) {
  UINT id = SetTimer(nullptr, 0, 50, CountTick);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(Pump([] { return procTicks >= 2; }, 10s));
  KillTimer(nullptr, id);
}

// ------------------------------------------------------------------- input

HACCEL LoadTestAccelerators() {
  // One entry as a resource compiler writes it: Ctrl+Q -> 101, last entry.
  std::vector<uint8_t> table;
  ResImage::Word(table, FVIRTKEY | FNOINVERT | FCONTROL | 0x80);
  ResImage::Word(table, 'Q');
  ResImage::Word(table, 101);
  ResImage::Word(table, 0);
  static ResImage image = ResImage().Add(9, 1, table);  // RT_ACCELERATOR
  HINSTANCE instance = image.Register();
  return LoadAcceleratorsW(instance, MAKEINTRESOURCEW(1));
}

TEST(InputTest, AcceleratorTurnsCtrlQIntoTheCommand) {
  HACCEL table = LoadTestAccelerators();
  ASSERT_NE(table, nullptr);
  Log log;
  HWND main = Create(Logging(log));
  HWND edit = Create(nullptr, WS_CHILD | WS_VISIBLE, main, 5);
  SetFocus(edit);  // keys go to the child; the accelerator still commands the main window

  auto run = [&](BYTE vk, unsigned modifiers) {
    log.Clear();
    Press(vk, modifiers);
    int translated = 0;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (TranslateAcceleratorW(main, table, &msg)) {
        ++translated;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    return translated;
  };
  EXPECT_EQ(run('Q', kControl), 1);
  ASSERT_EQ(log.Count(WM_COMMAND, main), 1u);
  for (const Message& m : log.All()) {
    if (m.message != WM_COMMAND) continue;
    EXPECT_EQ(m.wParam, MAKEWPARAM(101, 1));
    EXPECT_EQ(m.lParam, 0);
  }
  // The modifiers must be exactly those of the entry.
  EXPECT_EQ(run('Q', kNoModifiers), 0);
  EXPECT_EQ(run('Q', kControl | kShift), 0);
  EXPECT_EQ(run('W', kControl), 0);
  EXPECT_EQ(log.Count(WM_COMMAND, main), 0u);

  MSG msg{};
  msg.message = WM_KEYDOWN;
  EXPECT_EQ(TranslateAcceleratorW(main, reinterpret_cast<HACCEL>(0x1234), &msg), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCEL_HANDLE));
  DestroyWindow(main);
}

}  // namespace
