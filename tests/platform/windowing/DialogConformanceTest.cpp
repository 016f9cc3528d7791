// Conformance of message boxes and modal dialogs: boxes from worker threads
// with no owner, several at once, the default caption, the disabled owner,
// keys; dialogs from a DLGTEMPLATE with their modal loop (Enter and Esc,
// other commands left to the dialog procedure), geometry, and the owner's
// timers ticking on.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "WindowTestSupport.h"

namespace {

using namespace wintest;

TEST(MessageBoxTest, WorkerBoxWithoutOwnerWaitsForTheAnswer) {
  std::atomic<int> result{0};
  std::thread worker([&] { result = MessageBoxW(nullptr, u"Reboot device/Reset module !", u"Successful", MB_OK); });
  auto box = WaitForBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, u"Reboot device/Reset module !");
  EXPECT_EQ(box->caption, u"Successful");
  EXPECT_EQ(box->buttons, (std::vector<int>{IDOK}));
  EXPECT_EQ(box->owner, nullptr);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(result.load(), 0);                 // still waiting
  EXPECT_FALSE(AnswerBox(box->id, IDCANCEL));  // not one of its buttons
  EXPECT_TRUE(AnswerBox(box->id, IDOK));
  EXPECT_FALSE(AnswerBox(box->id, IDOK));  // answered once only
  worker.join();
  EXPECT_EQ(result.load(), IDOK);
  EXPECT_TRUE(NothingModal());
}

TEST(MessageBoxTest, NoCaptionGivesThePlatformDefault) {
  std::thread worker([] { MessageBoxW(nullptr, u"COMs should be released first", nullptr, MB_ICONERROR); });
  auto box = WaitForBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(box->caption, u"Error");
  EXPECT_EQ(box->icon, static_cast<UINT>(MB_ICONERROR));
  AnswerBox(box->id, IDOK);
  worker.join();
}

TEST(MessageBoxTest, BoxesOfSeveralThreadsAreOpenAtOnce) {
  std::atomic<int> first{0}, second{0};
  std::thread a([&] { first = MessageBoxW(nullptr, u"Fail to write to BT/Irda\r\n", u"A", MB_OKCANCEL); });
  ASSERT_TRUE(WaitForBox(1));
  std::thread b([&] { second = MessageBoxW(nullptr, u"Fail to write FF(GSM)", u"B", MB_YESNO); });
  ASSERT_TRUE(WaitForBox(2));
  auto boxes = OpenBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, u"A");
  EXPECT_EQ(boxes[1].caption, u"B");  // the newest on top
  EXPECT_TRUE(AnswerBox(boxes[1].id, IDNO));
  b.join();
  EXPECT_EQ(second.load(), IDNO);
  EXPECT_EQ(first.load(), 0);
  EXPECT_TRUE(AnswerBox(boxes[0].id, IDCANCEL));
  a.join();
  EXPECT_EQ(first.load(), IDCANCEL);
}

TEST(MessageBoxTest, KeysAnswerTheTopmostBox) {
  std::atomic<int> result{0};
  std::thread worker([&] { result = MessageBoxW(nullptr, u"?", u"Q", MB_OKCANCEL | MB_DEFBUTTON2); });
  ASSERT_TRUE(WaitForBox());
  Press('X');  // no effect on a box
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(result.load(), 0);
  Press(VK_RETURN);  // the default button
  worker.join();
  EXPECT_EQ(result.load(), IDCANCEL);

  std::thread ok([&] { result = MessageBoxW(nullptr, u"done", u"Q", MB_OK); });
  ASSERT_TRUE(WaitForBox());
  Press(VK_ESCAPE);  // an OK box closes on Esc
  ok.join();
  EXPECT_EQ(result.load(), IDOK);
}

TEST(MessageBoxTest, OwnerIsDisabledWhileTheBoxIsOpenAndGetsItsFocusBack) {
  HWND main = Create(nullptr, WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  HWND edit = Create(nullptr, WS_CHILD | WS_VISIBLE, main, 5);
  SetFocus(edit);
  std::atomic<bool> ownerDisabled{false};
  std::thread user([&] {
    auto box = WaitForBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->owner, main);
    ownerDisabled = ShownDisabled(main);
    AnswerBox(box->id, IDOK);
  });
  EXPECT_EQ(MessageBoxW(main, u"COMs should be released first", nullptr, MB_ICONERROR), IDOK);
  user.join();
  EXPECT_TRUE(ownerDisabled.load());
  EXPECT_FALSE(EnableWindow(main, TRUE));  // enabled again
  EXPECT_EQ(GetFocus(), edit);
  DestroyWindow(main);
}

// Keys typed right after a box is answered, before its thread has taken it
// down, are typed ahead: they reach what is in front once the box is gone
// (the owner's focus window, or the next box), in order, none lost.
TEST(MessageBoxTest, KeysTypedAfterTheAnswerReachWhatIsInFrontOnceTheBoxIsGone) {
  // The owner's thread is held busy inside the box's modal loop (a posted
  // message whose handler waits) while the answer and the keys arrive.
  std::atomic<bool> busy{false}, release{false};
  Log keys;
  HWND main = Create(
      [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == WM_USER) {
          busy = true;
          Eventually([&] { return release.load(); });
          return 0;
        }
        if (m == WM_KEYDOWN) keys.Add(h, m, w, GetKeyState(VK_CONTROL) < 0);
        return DefWindowProcW(h, m, w, l);
      },
      WS_VISIBLE, nullptr, 0, u"Firmware Utility");
  HWND edit = Create(
      [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == WM_KEYDOWN) keys.Add(h, m, w, GetKeyState(VK_CONTROL) < 0);
        return DefWindowProcW(h, m, w, l);
      },
      WS_CHILD | WS_VISIBLE, main, 5);
  SetFocus(edit);

  std::thread user([&] {
    auto box = WaitForBox();
    ASSERT_TRUE(box);
    PostMessageW(main, WM_USER, 0, 0);
    ASSERT_TRUE(Eventually([&] { return busy.load(); }));
    EXPECT_TRUE(AnswerBox(box->id, IDOK));
    Press('Q', kControl);
    Press(VK_DOWN);
    release = true;
  });
  EXPECT_EQ(MessageBoxW(main, u"COMs should be released first", nullptr, MB_ICONERROR), IDOK);
  user.join();
  EXPECT_TRUE(Pump([&] { return keys.Count(WM_KEYDOWN) >= 3; }, 2000ms));
  auto all = keys.All();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].wParam, static_cast<WPARAM>(VK_CONTROL));
  EXPECT_EQ(all[1].wParam, static_cast<WPARAM>('Q'));
  EXPECT_EQ(all[1].lParam, 1);  // Ctrl still held for it
  EXPECT_EQ(all[2].wParam, static_cast<WPARAM>(VK_DOWN));
  for (const Message& m : all) EXPECT_EQ(m.hwnd, edit);
  EXPECT_EQ(GetKeyState(VK_CONTROL) & 0x8000, 0);  // Ctrl released again

  // With a second box under the answered one, the keys typed ahead go to
  // that box: Enter answers it.
  std::atomic<int> lower{0};
  busy = false;
  release = false;
  std::thread other([&] { lower = MessageBoxW(nullptr, u"lower", u"B", MB_OKCANCEL | MB_DEFBUTTON2); });
  ASSERT_TRUE(WaitForBox(1));
  std::thread second([&] {
    ASSERT_TRUE(WaitForBox(2));
    PostMessageW(main, WM_USER, 0, 0);
    ASSERT_TRUE(Eventually([&] { return busy.load(); }));
    EXPECT_TRUE(AnswerBox(OpenBoxes().back().id, IDOK));
    Press(VK_RETURN);
    release = true;
  });
  EXPECT_EQ(MessageBoxW(main, u"upper", u"A", MB_OK), IDOK);
  second.join();
  other.join();
  EXPECT_EQ(lower.load(), IDCANCEL);
  DestroyWindow(main);
}

TEST(MessageBoxTest, TerminatedThreadLeavesNoBoxBehind) {
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID) -> DWORD { return static_cast<DWORD>(MessageBoxW(nullptr, u"x", u"y", MB_OK)); }, nullptr,
      0, nullptr);
  ASSERT_TRUE(WaitForBox());
  TerminateThread(thread, 0);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(Eventually([] { return NothingModal(); }));
  CloseHandle(thread);
}

// ----------------------------------------------------------------- dialogs

// A dialog template like the About box: caption, font, one static control.
std::vector<uint8_t> AboutTemplate(DWORD style = 0x90C808C0) {
  std::vector<uint8_t> t;
  ResImage::Dword(t, style);
  ResImage::Dword(t, 0);
  ResImage::Word(t, 1);   // one item
  ResImage::Word(t, 10);  // x, y, cx, cy
  ResImage::Word(t, 10);
  ResImage::Word(t, 136);
  ResImage::Word(t, 56);
  ResImage::Word(t, 0);  // no menu
  ResImage::Word(t, 0);  // the default class
  ResImage::Text(t, u"About");
  ResImage::Word(t, 10);
  ResImage::Text(t, u"System");
  ResImage::Align(t);
  ResImage::Dword(t, 0x50020000);
  ResImage::Dword(t, 0);
  ResImage::Word(t, 12);
  ResImage::Word(t, 5);
  ResImage::Word(t, 114);
  ResImage::Word(t, 46);
  ResImage::Word(t, 0xFFFF);  // id -1
  ResImage::Word(t, 0xFFFF);
  ResImage::Word(t, 0x0082);  // static
  ResImage::Text(t, u"Written to update phone module firmware");
  ResImage::Word(t, 0);  // no creation data
  return t;
}

struct DialogRun {
  std::vector<UINT> commands;
  LPARAM initParam = 0;
};
DialogRun* currentRun = nullptr;

// CE's dialog procedure returns BOOL (desktop Win32: INT_PTR; the desktop
// build's shim widens it, platform/README.md, Differences).
BOOL CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) currentRun->initParam = lParam;
  if (message == WM_COMMAND) {
    currentRun->commands.push_back(LOWORD(wParam));
    if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
      EndDialog(dialog, 40 + LOWORD(wParam));
      return TRUE;
    }
  }
  return FALSE;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    main = Create(Logging(log), WS_VISIBLE, nullptr, 0, u"Firmware Utility");
    SetTimer(main, 100, 1000, nullptr);
    currentRun = &run;
    bytes = AboutTemplate();
  }
  void TearDown() override { DestroyWindow(main); }
  int Show() {
    // A vector's bytes come from operator new, aligned for the template's fields.
    return DialogBoxIndirectParamW(nullptr, static_cast<LPCDLGTEMPLATEW>(static_cast<const void*>(bytes.data())), main,
                                   AboutProc, 77);
  }

  FastClock fast_{100};
  Log log;
  HWND main = nullptr;
  DialogRun run;
  std::vector<uint8_t> bytes;
};

TEST_F(DialogTest, EnterEndsItOtherCommandsAreTheProceduresToIgnore) {
  std::atomic<bool> sawDisabledOwner{false};
  std::atomic<size_t> ticksWhileOpen{0};
  std::thread user([&] {
    HWND dialog = WaitForDialog();
    ASSERT_TRUE(dialog);
    size_t ticks = log.Count(WM_TIMER, main);
    sawDisabledOwner = ShownDisabled(main);
    EXPECT_EQ(TitleBar(), u"About");  // the dialog is in front
    EXPECT_EQ(GetForegroundWindow(), dialog);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(5, 0), 0);
    // The owner's thread, in the dialog's loop, still serves what is sent to it.
    EXPECT_EQ(SendMessageW(main, WM_GETTEXTLENGTH, 0, 0), 16);
    ASSERT_TRUE(Eventually([&] { return log.Count(WM_TIMER, main) >= ticks + 3; }));
    ticksWhileOpen = log.Count(WM_TIMER, main) - ticks;
    EXPECT_EQ(WaitForDialog(), dialog);  // command 5 did not end it
    Press(VK_RETURN);
  });
  EXPECT_EQ(Show(), 41);
  user.join();
  EXPECT_EQ(run.initParam, 77);
  EXPECT_EQ(run.commands, (std::vector<UINT>{5, IDOK}));
  EXPECT_TRUE(sawDisabledOwner.load());
  EXPECT_GE(ticksWhileOpen.load(), 3u);  // the owner's timer kept ticking
  EXPECT_FALSE(EnableWindow(main, TRUE));
  EXPECT_EQ(GetForegroundWindow(), main);
  EXPECT_TRUE(NothingModal());
}

TEST_F(DialogTest, EscapeEndsItWithCancel) {
  std::thread user([&] {
    ASSERT_TRUE(WaitForDialog());
    Press(VK_ESCAPE);
  });
  EXPECT_EQ(Show(), 42);
  user.join();
  EXPECT_EQ(run.commands, (std::vector<UINT>{IDCANCEL}));
}

TEST_F(DialogTest, DialogUnitsAndCentring) {
  RECT dialogRect{}, textRect{};
  std::u16string text;
  HWND textControl = nullptr;
  std::thread user([&] {
    HWND dialog = WaitForDialog();
    ASSERT_TRUE(dialog);
    GetWindowRect(dialog, &dialogRect);
    textControl = GetDlgItem(dialog, 0xFFFF);  // the template's 16-bit -1
    if (textControl) {
      WCHAR buffer[64]{};
      GetWindowTextW(textControl, buffer, 64);
      text = buffer;
      GetWindowRect(textControl, &textRect);
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
  });
  Show();
  user.join();
  // 136 x 56 dialog units at 6 x 13 base units: a 204 x 91 client area,
  // with a caption bar and a 1-pixel frame, centred in the work area.
  int width = 204 + 2, height = 91 + 2 + 16;
  RECT work = WorkArea();
  EXPECT_EQ(dialogRect.right - dialogRect.left, width);
  EXPECT_EQ(dialogRect.bottom - dialogRect.top, height);
  EXPECT_EQ(dialogRect.left, (work.right - work.left - width) / 2);
  EXPECT_EQ(dialogRect.top, work.top + (work.bottom - work.top - height) / 2);
  ASSERT_NE(textControl, nullptr);
  EXPECT_EQ(text, u"Written to update phone module firmware");
  EXPECT_EQ(textRect.left, dialogRect.left + 1 + 12 * 6 / 4);
  EXPECT_EQ(textRect.right - textRect.left, 114 * 6 / 4);
}

TEST_F(DialogTest, MalformedTemplateShowsNothing) {
  bytes.resize(10);
  bytes.resize(0x10000);  // room the parser may read, all zero
  bytes[0] = 0xFF;
  bytes[1] = 0xFF;
  bytes[2] = 1;
  bytes[3] = 0;  // the signature of an extended template (DLGTEMPLATEEX), which is refused:
                 // the stand-in reads the plain DLGTEMPLATE only, all the utility has
  EXPECT_EQ(Show(), -1);
  EXPECT_TRUE(NothingModal());
  EXPECT_FALSE(EnableWindow(main, TRUE));  // the owner was never disabled
}

}  // namespace
