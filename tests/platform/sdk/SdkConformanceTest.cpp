// Conformance of the platform API that the utility relies on, written with
// the SDK's headers only (no part of the stand-in's insides), so that the
// same cases run against the stand-in and, built for Win32, against Wine:
// text formatting, the log view's edit control, messages sent across
// threads and the wait for a thread that still handles them, closing by
// default processing, menu check marks, dialogs from an in-memory template
// with a CE (BOOL) dialog procedure, and threads.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

using Text = std::basic_string<WCHAR>;

const WCHAR kClassName[] = TEXT("SdkConformanceWindow");

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == (WM_USER + 1)) return (LRESULT)GetCurrentThreadId() + (LRESULT)wParam;
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreatePlainWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSW windowClass;
    memset(&windowClass, 0, sizeof(windowClass));
    windowClass.lpfnWndProc = PlainProc;
    windowClass.hInstance = NULL;
    windowClass.lpszClassName = kClassName;
    registered = RegisterClassW(&windowClass) != 0;
  }
  return CreateWindowExW(0, kClassName, TEXT("SDK conformance"), 0, 0, 0, 100, 100, NULL, NULL, NULL, NULL);
}

Text WindowText(HWND window) {
  WCHAR text[256];
  int length = GetWindowTextW(window, text, 256);
  return Text(text, length > 0 ? (size_t)length : 0);
}

// Pumps this thread's messages until `done` or about ten seconds.
template <typename Done>
bool PumpUntil(Done done) {
  DWORD start = GetTickCount();
  while (!done()) {
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (GetTickCount() - start > 10000) return false;
    Sleep(1);
  }
  return true;
}

TEST(SdkTextTest, WsprintfFormatsAsTheTracesUseIt) {
  WCHAR text[128];
  int length = wsprintfW(text, TEXT("%s|%d|%u|%X|%x|%c|%08lX|%5d|%-3d|"), TEXT("COM1:"), -5, 7u, 0xABu, 0xABu,
                         (int)TEXT('z'), (unsigned long)0x1234, 42, 7);
  EXPECT_EQ(Text(text), Text(TEXT("COM1:|-5|7|AB|ab|z|00001234|   42|7  |")));
  EXPECT_EQ(length, (int)Text(text).size());
}

TEST(SdkEditTest, ReplaceSelectionAppendsAtTheCaretAndReplacesASelection) {
  HWND parent = CreatePlainWindow();
  ASSERT_NE(parent, (HWND)NULL);
  HWND edit = CreateWindowExW(0, TEXT("edit"), TEXT(""), WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 0, 0, 100,
                              100, parent, (HMENU)5, NULL, NULL);
  ASSERT_NE(edit, (HWND)NULL);
  SendDlgItemMessageW(parent, 5, EM_REPLACESEL, 0, (LPARAM)TEXT("first\r\n"));
  SendDlgItemMessageW(parent, 5, EM_REPLACESEL, 0, (LPARAM)TEXT("second\r\n"));
  EXPECT_EQ(WindowText(edit), Text(TEXT("first\r\nsecond\r\n")));

  // A selection made in the view is what the next text replaces.
  SendMessageW(edit, EM_SETSEL, 0, 5);
  SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)TEXT("1st"));
  EXPECT_EQ(WindowText(edit), Text(TEXT("1st\r\nsecond\r\n")));
  DestroyWindow(parent);
}

struct SendFromWorker {
  HWND window;
  LRESULT result;
  std::atomic<int> finished;  // 1 once SendMessageW returned
};

DWORD WINAPI SendWorker(LPVOID parameter) {
  SendFromWorker* send = (SendFromWorker*)parameter;
  send->result = SendMessageW(send->window, (WM_USER + 1), 1000, 0);
  send->finished = 1;
  PostMessageW(send->window, WM_NULL, 0, 0);
  return 0;
}

TEST(SdkMessageTest, ASendFromAnotherThreadIsHandledOnTheOwnerThreadAndWaitsForIt) {
  HWND window = CreatePlainWindow();
  ASSERT_NE(window, (HWND)NULL);
  SendFromWorker send;
  send.window = window;
  send.result = 0;
  send.finished = 0;
  HANDLE worker = CreateThread(NULL, 0, SendWorker, &send, 0, NULL);
  ASSERT_NE(worker, (HANDLE)NULL);
  // Not served until this thread looks at its messages.
  Sleep(100);
  EXPECT_EQ(send.finished, 0);
  EXPECT_TRUE(PumpUntil([&] { return send.finished == 1; }));
  EXPECT_EQ(send.result, (LRESULT)GetCurrentThreadId() + 1000);
  EXPECT_EQ(WaitForSingleObject(worker, 10000), (DWORD)WAIT_OBJECT_0);
  CloseHandle(worker);
  DestroyWindow(window);
}

// The relay's release waits for threads that may be sending to its log
// view: the wait ends for each send (QS_SENDMESSAGE), PeekMessageW without
// removing anything handles it, and the wait ends with the thread. A
// posted message stays queued meanwhile.
TEST(SdkMessageTest, AWaitForASenderEndsForItsSendsAndThenWithTheSender) {
  HWND window = CreatePlainWindow();
  ASSERT_NE(window, (HWND)NULL);
  MSG message;
  while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
  }
  PostMessageW(window, WM_USER + 2, 7, 0);
  SendFromWorker send;
  send.window = window;
  send.result = 0;
  send.finished = 0;
  HANDLE worker = CreateThread(NULL, 0, SendWorker, &send, 0, NULL);
  ASSERT_NE(worker, (HANDLE)NULL);
  int served = 0;
  DWORD woke;
  while ((woke = MsgWaitForMultipleObjects(1, &worker, FALSE, 10000, QS_SENDMESSAGE)) == WAIT_OBJECT_0 + 1) {
    PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE);
    served++;
  }
  EXPECT_EQ(woke, (DWORD)WAIT_OBJECT_0);
  EXPECT_GE(served, 1);
  EXPECT_EQ(send.finished, 1);
  EXPECT_EQ(send.result, (LRESULT)GetCurrentThreadId() + 1000);
  ASSERT_TRUE(PeekMessageW(&message, NULL, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, (UINT)(WM_USER + 2));
  EXPECT_EQ(message.wParam, (WPARAM)7);
  CloseHandle(worker);
  while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
  }
  DestroyWindow(window);
}

// Objects by their index, the first signaled one winning; a time-out; and a
// posted message ends a QS_POSTMESSAGE wait only while it is new.
TEST(SdkMessageTest, AWaitEndsWithAnObjectTheTimeOutOrNewInput) {
  HANDLE first = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE second = CreateEventW(NULL, FALSE, FALSE, NULL);
  HANDLE both[] = {first, second};
  HWND window = CreatePlainWindow();
  MSG message;
  while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
  }
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 30, QS_ALLINPUT), (DWORD)WAIT_TIMEOUT);
  SetEvent(second);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 1000, QS_ALLINPUT), (DWORD)(WAIT_OBJECT_0 + 1));
  SetEvent(first);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 1000, QS_ALLINPUT), (DWORD)WAIT_OBJECT_0);
  PostMessageW(window, WM_USER + 2, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &second, FALSE, 1000, QS_POSTMESSAGE), (DWORD)(WAIT_OBJECT_0 + 1));
  ASSERT_TRUE(PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &second, FALSE, 30, QS_POSTMESSAGE), (DWORD)WAIT_TIMEOUT);
  while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
  }
  DestroyWindow(window);
  CloseHandle(first);
  CloseHandle(second);
}

TEST(SdkMessageTest, CloseByDefaultProcessingDestroysTheWindow) {
  HWND window = CreatePlainWindow();
  ASSERT_TRUE(IsWindow(window));
  SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(window));
}

TEST(SdkMenuTest, CheckMarksGiveThePreviousStateAndAllOnesForAMissingItem) {
  HMENU popup = CreatePopupMenu();
  AppendMenuW(popup, MF_STRING, 118, TEXT("Update firmware - Go"));
  AppendMenuW(popup, MF_STRING, 101, TEXT("Exit"));
  HMENU bar = CreateMenu();
  AppendMenuW(bar, MF_POPUP, (UINT_PTR)popup, TEXT("System"));
  // By command, through the popup.
  EXPECT_EQ(CheckMenuItem(bar, 101, MF_CHECKED), (DWORD)MF_UNCHECKED);
  EXPECT_EQ(CheckMenuItem(bar, 101, MF_UNCHECKED), (DWORD)MF_CHECKED);
  EXPECT_EQ(CheckMenuItem(bar, 113, MF_CHECKED), (DWORD)0xFFFFFFFF);
  DestroyMenu(bar);
}

// A CE dialog procedure: BOOL, TRUE for a handled message.
struct DialogRecord {
  LPARAM initParameter;
  int initDialogs;
};
DialogRecord Record;

BOOL CALLBACK EndOnOkProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    Record.initParameter = lParam;
    Record.initDialogs++;
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    EndDialog(dialog, 42);
    return TRUE;
  }
  return FALSE;
}

TEST(SdkDialogTest, ATemplateInMemoryRunsModallyUntilEndDialog) {
  // DLGTEMPLATE, then no menu, the default class and the title "About".
  struct alignas(4) Template {
    DLGTEMPLATE header;
    WORD menu;
    WORD windowClass;
    WCHAR title[6];
  } dialogTemplate;
  memset(&dialogTemplate, 0, sizeof(dialogTemplate));
  dialogTemplate.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  dialogTemplate.header.cx = 136;
  dialogTemplate.header.cy = 56;
  memcpy(dialogTemplate.title, TEXT("About"), sizeof(dialogTemplate.title));
  Record = DialogRecord{0, 0};
  INT_PTR result = DialogBoxIndirectParamW(NULL, &dialogTemplate.header, NULL, EndOnOkProc, 77);
  EXPECT_EQ(result, 42);
  EXPECT_EQ(Record.initDialogs, 1);
  EXPECT_EQ(Record.initParameter, 77);
}

DWORD WINAPI WaitOnEvent(LPVOID event) {
  WaitForSingleObject((HANDLE)event, INFINITE);
  return 7;
}

TEST(SdkThreadTest, ExitCodeIsStillActiveUntilTheThreadEnds) {
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE thread = CreateThread(NULL, 0, WaitOnEvent, event, 0, NULL);
  ASSERT_NE(thread, (HANDLE)NULL);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
  // Suspension counts nest; a suspended thread does not end.
  EXPECT_EQ(SuspendThread(thread), 0u);
  EXPECT_EQ(SuspendThread(thread), 1u);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(thread, 200), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(ResumeThread(thread), 2u);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), (DWORD)WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(thread);
  CloseHandle(event);
}

TEST(SdkThreadTest, TerminateEndsAThreadBlockedInAWait) {
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE thread = CreateThread(NULL, 0, WaitOnEvent, event, 0, NULL);
  ASSERT_NE(thread, (HANDLE)NULL);
  Sleep(50);
  EXPECT_TRUE(TerminateThread(thread, 5));
  EXPECT_EQ(WaitForSingleObject(thread, 10000), (DWORD)WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 5u);
  CloseHandle(thread);
  CloseHandle(event);
}

}  // namespace
