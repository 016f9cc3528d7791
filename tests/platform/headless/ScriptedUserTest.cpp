// The scripted user against a small program with the utility's shape: a
// main window with its log view (child 5), a menu bar, the done button, a
// worker that logs and shows a message box. And a whole script run.
#include <windows.h>
#include <aygshell.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "frontends/headless/Script.h"
#include "frontends/headless/ScriptedUser.h"
#include "../windowing/WindowTestSupport.h"

namespace {

using namespace wintest;
using headless::ScriptedUser;

HINSTANCE toyInstance = nullptr;

DWORD WINAPI ToyWorker(LPVOID param) {
  HWND main = static_cast<HWND>(param);
  SendDlgItemMessageW(main, 5, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"Bootload1 updated!!\r\n"));
  int answer = MessageBoxW(nullptr, u"Reboot device/Reset module !", u"Successful", MB_OKCANCEL);
  SendDlgItemMessageW(main, 5, EM_REPLACESEL, 0,
                      reinterpret_cast<LPARAM>(answer == IDOK ? u"answered OK\r\n" : u"answered Cancel\r\n"));
  return 0;
}

// The program's failures as the launcher tells the script runner of them:
// the failing worker comes to its failure, then shows its words, then has
// told it.
std::atomic<uint64_t> toyFailuresEnded{0};
std::atomic<uint64_t> toyFailures{0};

headless::FailureNote ToyFailures() {
  return {toyFailuresEnded.load(), toyFailures.load(),
          "Update failed: No answer from the radio module (waiting for AAh)"};
}

DWORD WINAPI ToyFailingWorker(LPVOID param) {
  HWND main = static_cast<HWND>(param);
  ++toyFailuresEnded;
  SendDlgItemMessageW(
      main, 5, EM_REPLACESEL, 0,
      reinterpret_cast<LPARAM>(u"Update failed: No answer from the radio module (waiting for AAh)\r\n"));
  SendDlgItemMessageW(main, 5, EM_REPLACESEL, 0,
                      reinterpret_cast<LPARAM>(u"Choose Update firmware - Go to try again.\r\n"));
  ++toyFailures;
  headless::WakeScreenWaiters();
  return 0;
}

// A dialog with two buttons: "&Apply" (200), which leaves it open, and
// "Close" (IDCANCEL), which ends it.
std::vector<uint8_t> ToyDialogTemplate() {
  std::vector<uint8_t> t;
  ResImage::Dword(t, WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_CENTER | DS_MODALFRAME);
  ResImage::Dword(t, 0);
  ResImage::Word(t, 2);
  for (int v : {10, 10, 120, 50}) ResImage::Word(t, static_cast<uint16_t>(v));
  ResImage::Word(t, 0);  // no menu
  ResImage::Word(t, 0);  // the default class
  ResImage::Text(t, u"Toy Box");
  struct Button {
    int id;
    const char16_t* text;
  };
  for (Button b : {Button{200, u"&Apply"}, Button{IDCANCEL, u"Close"}}) {
    ResImage::Align(t);
    ResImage::Dword(t, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON);
    ResImage::Dword(t, 0);
    for (int v : {10, b.id == 200 ? 10 : 30, 50, 14}) ResImage::Word(t, static_cast<uint16_t>(v));
    ResImage::Word(t, static_cast<uint16_t>(b.id));
    ResImage::Word(t, 0xFFFF);
    ResImage::Word(t, 0x0080);  // button
    ResImage::Text(t, b.text);
    ResImage::Word(t, 0);
  }
  return t;
}

std::atomic<int> toyApplied{0};

BOOL CALLBACK ToyDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == 200) ++toyApplied;
  if (LOWORD(wParam) == IDCANCEL) EndDialog(dialog, IDCANCEL);
  return TRUE;
}

LRESULT CALLBACK ToyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      SHMENUBARINFO bar;
      memset(&bar, 0, sizeof(bar));
      bar.cbSize = sizeof(bar);
      bar.hwndParent = hwnd;
      bar.nToolBarId = 105;
      bar.hInstRes = toyInstance;
      if (!SHCreateMenuBar(&bar)) return -1;
      CreateWindowExW(WS_EX_CLIENTEDGE, u"edit", u"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 0, 0,
                      CW_USEDEFAULT, CW_USEDEFAULT, hwnd, reinterpret_cast<HMENU>(5), toyInstance, nullptr);
      SHINITDLGINFO init{SHIDIM_FLAGS, hwnd, SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN};
      SHInitDialog(&init);
      SendDlgItemMessageW(hwnd, 5, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"Toy Utility\r\n"));
      return 0;
    }
    case WM_SIZE: {
      RECT client;
      GetClientRect(hwnd, &client);
      SetWindowPos(GetDlgItem(hwnd, 5), nullptr, 0, 0, client.right, client.bottom, SWP_NOZORDER);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == 118) CloseHandle(CreateThread(nullptr, 0, ToyWorker, hwnd, 0, nullptr));
      if (LOWORD(wParam) == 117) CloseHandle(CreateThread(nullptr, 0, ToyFailingWorker, hwnd, 0, nullptr));
      if (LOWORD(wParam) == 1 || LOWORD(wParam) == 101) SendMessageW(hwnd, WM_CLOSE, 0, 0);
      if (LOWORD(wParam) == 120) {
        static const std::vector<uint8_t> dialog = ToyDialogTemplate();
        // A vector's bytes come from operator new, aligned for the template's fields.
        DialogBoxIndirectParamW(toyInstance, static_cast<LPCDLGTEMPLATEW>(static_cast<const void*>(dialog.data())),
                                hwnd, ToyDialogProc, 0);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(7);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

// A program that ends before it has any window.
int WINAPI NoWindowMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 16; }

// A program that shows no window until it is told to end.
HANDLE stopWindowless = nullptr;
int WINAPI WindowlessMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  WaitForSingleObject(stopWindowless, INFINITE);
  return 3;
}

int WINAPI ToyMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ToyProc;
  wc.hInstance = instance;
  wc.lpszClassName = u"Toy";
  if (!RegisterClassW(&wc)) return 1;
  HWND main = CreateWindowExW(0, u"Toy", u"Toy Utility", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (!IsWindow(main)) return 16;
  ShowWindow(main, show);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  UnregisterClassW(u"Toy", instance);
  return static_cast<int>(msg.wParam);
}

class ScriptedUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image.Add(4, 105,
              MenuTemplate({{MF_POPUP | MF_END, 0, u"System"},
                            {0, 118, u"Update firmware - Go"},
                            {MF_GRAYED, 119, u"Not yet"},
                            {0, 0, u""},
                            {MF_END, 101, u"Exit"}}));
    image.Add(10, 105, Words({105, 1, 0xFFFE, 40001, 4, 0x18, 40003, 0, 0}));
    image.Add(6, 40003 / 16 + 1, StringBlock({{40003 % 16, u"System"}}));
    toyInstance = image.Register();
  }
  ResImage image;
};

TEST_F(ScriptedUserTest, DrivesTheProgramLikeAPerson) {
  headless::ProgramThread program(ToyMain, toyInstance);
  ScriptedUser user(u"toy");
  ASSERT_NE(user.MainWindow(5s), nullptr);
  ASSERT_TRUE(user.WaitForLogText(u"Toy Utility\r\n", 5s));
  EXPECT_FALSE(user.AnswerNextBox(IDOK, 50ms));  // none open

  ASSERT_TRUE(user.Command(118));
  ASSERT_TRUE(user.WaitForLogText(u"Bootload1 updated!!", 5s));
  auto box = user.AnswerNextBox(IDYES, 5s);  // not one of its buttons: it stays open
  ASSERT_TRUE(box);
  EXPECT_FALSE(box->accepted);
  // The hook sees the box while it is still open: a script reports the step
  // there, before an answer that may end the process.
  std::string seenBeforeAnswer;
  box = user.AnswerNextBox(IDCANCEL, 5s, [&](const headless::BoxTexts&) { seenBeforeAnswer = user.ScreenText(); });
  ASSERT_TRUE(box);
  EXPECT_TRUE(box->accepted);
  EXPECT_NE(seenBeforeAnswer.find("message box \"Successful\": \"Reboot device/Reset module !\" [OK] [Cancel]\n"),
            std::string::npos)
      << seenBeforeAnswer;
  EXPECT_EQ(box->text, u"Reboot device/Reset module !");
  EXPECT_EQ(box->caption, u"Successful");
  EXPECT_EQ(box->buttons, (std::vector<int>{IDOK, IDCANCEL}));
  ASSERT_TRUE(user.WaitForLogText(u"answered Cancel", 5s));
  EXPECT_EQ(user.LogText(), u"Toy Utility\r\nBootload1 updated!!\r\nanswered Cancel\r\n");
  EXPECT_FALSE(user.WaitForLogText(u"never", 50ms));

  std::string screenText = user.ScreenText();
  EXPECT_NE(screenText.find("title bar: \"Toy Utility\" [ok]"), std::string::npos) << screenText;
  EXPECT_NE(screenText.find("menu bar: [System]"), std::string::npos) << screenText;
  EXPECT_NE(screenText.find("| answered Cancel"), std::string::npos) << screenText;

  EXPECT_FALSE(user.Menu(0, 999));
  ASSERT_TRUE(user.Menu(0, 101));
  EXPECT_EQ(program.WaitForExit(5s), 7);
}

TEST(DeadlineTest, RealLimitsScaleWithTheClockAndHugeOnesMeanNone) {
  kernel::SetClockSpeed(50);
  auto now = kernel::Clock::now();
  auto deadline = headless::DeadlineAfter(1000ms);
  EXPECT_GE(deadline - now, std::chrono::seconds(50));
  EXPECT_LT(deadline - now, std::chrono::seconds(51));
  EXPECT_EQ(headless::DeadlineAfter(std::chrono::milliseconds::max()), kernel::kNever);
  EXPECT_EQ(headless::DeadlineAfter(std::chrono::hours(24 * 365 * 1000)), kernel::kNever);
  kernel::SetClockSpeed(1);
}

TEST_F(ScriptedUserTest, DoneButtonAndTheProgramsEnd) {
  headless::ProgramThread program(ToyMain, toyInstance);
  ScriptedUser user;
  ASSERT_TRUE(user.WaitForLogText(u"Toy Utility", 5s));
  EXPECT_FALSE(program.WaitForExit(20ms));
  EXPECT_TRUE(program.Running());
  ASSERT_TRUE(user.Done());
  EXPECT_EQ(program.WaitForExit(5s), 7);
  EXPECT_FALSE(program.Running());
  EXPECT_EQ(user.MainWindow(), nullptr);
}

TEST_F(ScriptedUserTest, AWholeScript) {
  std::string dir = kPrivateDesktop;
  auto script = headless::ParseScript(
      "wait \"Toy Utility\"\n"
      "menu 0 118\n"
      "wait \"Bootload1 updated!!\\r\\n\" 5s\n"
      "answer ok\n"
      "wait \"answered OK\"\n"
      "save-log " +
      dir +
      "/log.txt\n"
      "save-screen " +
      dir +
      "/screen.txt\n"
      "command 101\n"
      "wait-exit 7 5s\n");
  ASSERT_FALSE(script.error) << script.error->message;
  headless::ProgramThread program(ToyMain, toyInstance);
  ScriptedUser user(u"Toy");
  std::ostringstream trace;
  auto result = headless::RunScript(script.steps, user, &program, &trace);
  EXPECT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_NE(trace.str().find("line 4: answer ok -> \"Successful\": \"Reboot device/Reset module !\""),
            std::string::npos)
      << trace.str();
  std::ifstream log(dir + "/log.txt", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "Toy Utility\r\nBootload1 updated!!\r\nanswered OK\r\n");
  std::ifstream screen(dir + "/screen.txt");
  std::string shown((std::istreambuf_iterator<char>(screen)), std::istreambuf_iterator<char>());
  EXPECT_NE(shown.find("window \"Toy Utility\""), std::string::npos) << shown;
}

TEST_F(ScriptedUserTest, AFailingStepSaysWhichAndWhy) {
  headless::ProgramThread program(ToyMain, toyInstance);
  ScriptedUser user;
  auto script = headless::ParseScript("wait \"Toy Utility\"\nwait \"Bootload1\" 100ms\ndone\n");
  auto result = headless::RunScript(script.steps, user, &program);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failedLine, 2);
  EXPECT_NE(result.message.find("did not show \"Bootload1\""), std::string::npos) << result.message;

  auto noProgram = headless::ParseScript("wait-exit 1s\n");
  result = headless::RunScript(noProgram.steps, user, nullptr);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.message.find("no program"), std::string::npos);
  user.Done();
  EXPECT_EQ(program.WaitForExit(5s), 7);
}

// Steps given before the program has come up wait for its main window
// instead of racing its start; the log view's text is kept from the start,
// whatever the steps, so it can be saved after the window has gone.
TEST_F(ScriptedUserTest, StepsWaitForTheMainWindowAndItsLogIsKept) {
  for (const char* first : {"done\n", "menu 0 101\n", "command 101\n"}) {
    headless::ProgramThread program(ToyMain, toyInstance);
    ScriptedUser user(u"Toy");
    user.WatchLogView();
    auto script = headless::ParseScript(std::string(first) + "wait-exit 7 5s\n");
    auto result = headless::RunScript(script.steps, user, &program);
    EXPECT_TRUE(result.ok) << first << result.message;
    EXPECT_EQ(user.LogText(), u"Toy Utility\r\n") << first;
  }

  headless::ProgramThread gone(NoWindowMain, toyInstance);
  ScriptedUser user(u"Toy");
  auto script = headless::ParseScript("save-screen /dev/null\nkey ctrl+q\n");
  auto result = headless::RunScript(script.steps, user, &gone);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failedLine, 2);  // the screen is saved once the program has ended; no key can be given
  EXPECT_NE(result.message.find("ended before its main window came up"), std::string::npos) << result.message;
}

TEST_F(ScriptedUserTest, WaitsForWindowsAndPressesDialogButtons) {
  toyApplied = 0;  // counts from this run's presses (--gtest_repeat)
  headless::ProgramThread program(ToyMain, toyInstance);
  ScriptedUser user(u"Toy");
  ASSERT_TRUE(user.WaitUntilUp(5s));
  EXPECT_TRUE(user.WaitForWindow(u"Toy Utility", 5s));
  EXPECT_EQ(user.PressDialogButton(IDOK, u"", 50ms), headless::DialogPress::kNoDialog);
  ASSERT_TRUE(user.Command(120));
  ASSERT_TRUE(user.WaitForWindow(u"Toy Box", 5s));
  EXPECT_FALSE(user.WaitForWindow(u"Toy Utility", 50ms));  // behind the dialog
  std::u16string caption;
  EXPECT_EQ(user.PressDialogButton(0, u"Nope", 5s, &caption), headless::DialogPress::kNoButton);
  EXPECT_EQ(caption, u"Toy Box");
  // "apply" finds "&Apply"; that button leaves the dialog open.
  EXPECT_EQ(user.PressDialogButton(0, u"apply", 300ms), headless::DialogPress::kStillOpen);
  EXPECT_TRUE(Eventually([] { return toyApplied.load() == 1; }));
  EXPECT_EQ(user.PressDialogButton(IDCANCEL, u"", 5s), headless::DialogPress::kClosed);
  EXPECT_TRUE(user.WaitForWindow(u"Toy Utility", 5s));
  ASSERT_TRUE(user.Command(101));
  EXPECT_EQ(program.WaitForExit(5s), 7);
}

// Runs `text` as a script; the trace goes to `trace` when given.
headless::RunResult RunLines(const std::string& text, ScriptedUser& user, headless::ProgramThread* program,
                             std::ostream* trace = nullptr) {
  auto script = headless::ParseScript(text);
  EXPECT_FALSE(script.error) << script.error->message;
  return headless::RunScript(script.steps, user, program, trace);
}

// A program that is running but never shows its main window: the first step
// that needs the window fails once the script's limit has passed, and says so.
TEST_F(ScriptedUserTest, AMainWindowThatNeverComesUpFailsTheFirstStepThatNeedsIt) {
  stopWindowless = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  headless::ProgramThread program(WindowlessMain, toyInstance);
  ScriptedUser user(u"Toy");
  std::ostringstream trace;
  auto result = RunLines("timeout 300ms\nwait \"Toy Utility\"\ncommand 101\n", user, &program, &trace);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failedLine, 2);
  EXPECT_EQ(result.message, "line 2 (wait \"Toy Utility\"): the program's main window did not come up within 0.300 s");
  EXPECT_EQ(trace.str(), "line 1: timeout 300ms\nfailed: " + result.message + "\n");
  EXPECT_TRUE(program.Running());
  SetEvent(stopWindowless);
  EXPECT_EQ(program.WaitForExit(5s), 3);
  CloseHandle(stopWindowless);
}

// Menu, dialog and box steps that find nothing to act on say what they
// looked for; the script stops there and the steps after it are not run.
TEST_F(ScriptedUserTest, StepsThatFindNothingToActOnSayWhatTheyLookedFor) {
  headless::ProgramThread program(ToyMain, toyInstance);
  ScriptedUser user(u"Toy");
  ASSERT_TRUE(user.WaitForLogText(u"Toy Utility", 5s));

  // A greyed item is not chosen, and the menu does not stay open.
  auto result = RunLines("menu 0 119\ncommand 101\n", user, &program);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failedLine, 1);
  EXPECT_EQ(
      result.message,
      "line 1 (menu 0 119): menu-bar button 0 has no enabled item 119 (or the window is busy with a box or dialog)");
  EXPECT_EQ(user.ScreenText().find("(open)"), std::string::npos) << user.ScreenText();
  EXPECT_EQ(
      RunLines("menu 4 101\n", user, &program).message,
      "line 1 (menu 4 101): menu-bar button 4 has no enabled item 101 (or the window is busy with a box or dialog)");

  EXPECT_EQ(RunLines("dialog ok 200ms\n", user, &program).message,
            "line 1 (dialog ok 200ms): no dialog came to the front within 0.200 s");
  EXPECT_EQ(RunLines("answer ok 200ms\n", user, &program).message,
            "line 1 (answer ok 200ms): no message box appeared within 0.200 s");
  EXPECT_TRUE(program.Running());  // "command 101" after the failed menu step was not given

  // A dialog without the button: it stays open, and the right button still closes it.
  std::ostringstream trace;
  result = RunLines("command 120\nwait-window \"Toy Box\" 5s\ndialog \"Nope\" 5s\n", user, &program, &trace);
  EXPECT_EQ(result.failedLine, 3);
  EXPECT_EQ(result.message, "line 3 (dialog \"Nope\" 5s): the dialog \"Toy Box\" has no button \"Nope\"");
  trace.str("");
  result = RunLines("dialog Close 5s\nwait-window \"Toy Utility\" 5s\n", user, &program, &trace);
  EXPECT_TRUE(result.ok) << result.message;
  EXPECT_EQ(trace.str(), "line 1: dialog Close 5s -> \"Toy Box\"\nline 2: wait-window \"Toy Utility\" 5s\n");

  // A box without that button: no "answered" trace line, the box stays open
  // for the right answer.
  trace.str("");
  result = RunLines("command 118\nanswer yes 5s\n", user, &program, &trace);
  EXPECT_EQ(result.failedLine, 2);
  EXPECT_EQ(result.message, "line 2 (answer yes 5s): the box \"Successful\" has no such button");
  EXPECT_EQ(trace.str(), "line 1: command 118\nfailed: " + result.message + "\n");
  result = RunLines("answer cancel 5s\nwait \"answered Cancel\" 5s\n", user, &program);
  EXPECT_TRUE(result.ok) << result.message;

  ASSERT_TRUE(user.Command(101));
  EXPECT_EQ(program.WaitForExit(5s), 7);
}

// Waiting for the end: no program, one still running, the wrong exit code
// (which is still handed back); then steps with nothing left to act on.
TEST_F(ScriptedUserTest, FailedWaitsForTheEndAndStepsAfterIt) {
  ScriptedUser user(u"Toy");
  auto result = RunLines("wait-exit 1s\n", user, nullptr);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "line 1 (wait-exit 1s): no program runs here to wait for");
  EXPECT_FALSE(result.exitCode);

  headless::ProgramThread program(ToyMain, toyInstance);
  ASSERT_TRUE(user.WaitForLogText(u"Toy Utility", 5s));
  result = RunLines("wait-exit 7 100ms\n", user, &program);
  EXPECT_EQ(result.message, "line 1 (wait-exit 7 100ms): the program did not end within 0.100 s");
  EXPECT_FALSE(result.exitCode);

  std::ostringstream trace;
  result = RunLines("command 101\nwait-exit 3 5s\n", user, &program, &trace);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failedLine, 2);
  EXPECT_EQ(result.message, "line 2 (wait-exit 3 5s): the program ended with 7, not 3");
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_EQ(trace.str(), "line 1: command 101\nfailed: " + result.message + "\n");
  trace.str("");
  result = RunLines("wait-exit 5s\n", user, &program, &trace);
  EXPECT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_EQ(trace.str(), "line 1: wait-exit 5s -> exit code 7\n");

  // Nothing is in front once the program has gone: a key has no taker.
  result = RunLines("timeout 200ms\nkey enter\n", user, &program);
  EXPECT_EQ(result.failedLine, 2);
  EXPECT_EQ(result.message, "line 2 (key enter): no window came to the front to take the key within 0.200 s");

  // Files that cannot be written: a folder that does not exist.
  std::string missing = kPrivateDesktop + "/no-such-folder/out.txt";
  for (std::string verb : {"save-log", "save-screen"}) {
    result = RunLines(verb + " " + missing + "\n", user, &program);
    EXPECT_FALSE(result.ok) << verb;
    EXPECT_EQ(result.message, "line 1 (" + verb + " " + missing + "): cannot write " + missing);
  }
}

// Steps that wait for what only a success brings end the script once the
// program tells of a failure after the last step that acted, with the
// failure's words (their limits are a minute: a step that waited it out
// would say so instead). What the failure itself shows is still waited for.
TEST_F(ScriptedUserTest, WaitsGiveUpWhenTheProgramTellsOfAFailure) {
  toyFailuresEnded = 0;
  toyFailures = 0;
  headless::ProgramThread program(ToyMain, toyInstance);
  ScriptedUser user(u"Toy");
  ASSERT_TRUE(user.WaitForLogText(u"Toy Utility", 5s));
  // The failure's own last line is found; an acting step after the failure
  // makes the waits after it wait again, even when the failure is told only
  // after that step (the next start succeeds here).
  auto script = headless::ParseScript(
      "command 117\nwait \"Choose Update firmware - Go to try again.\" 60s\ncommand 118\nanswer ok 60s\n"
      "wait \"answered OK\" 60s\n");
  auto result = headless::RunScript(script.steps, user, &program, nullptr, ToyFailures);
  EXPECT_TRUE(result.ok) << result.message;
  ASSERT_TRUE(Eventually([] { return toyFailures.load() == 1; }));

  const std::string gaveUp =
      "gave up waiting, the program failed: Update failed: No answer from the radio module (waiting for AAh)";
  for (const char* wait :
       {"answer ok 60s", "wait \"Bootload2 updated!!\" 60s", "wait-window \"Successful\" 60s", "dialog ok 60s"}) {
    script = headless::ParseScript("command 117\n" + std::string(wait) + "\n");
    ASSERT_FALSE(script.error) << wait;
    std::ostringstream trace;
    result = headless::RunScript(script.steps, user, &program, &trace, ToyFailures);
    EXPECT_FALSE(result.ok) << wait;
    EXPECT_EQ(result.failedLine, 2) << wait;
    EXPECT_EQ(result.message, "line 2 (" + std::string(wait) + "): " + gaveUp);
  }

  headless::FailureNote late{1, 0, "Update failed: late"};
  script = headless::ParseScript("command 118\nanswer ok 60s\n");
  result = headless::RunScript(script.steps, user, &program, nullptr, [&late] {
    headless::FailureNote note = late;
    late.told = 1;  // told once the first look is over
    return note;
  });
  EXPECT_TRUE(result.ok) << result.message;

  // A failure told just after its last line reached the view (between a
  // wait's look and its check of the failures) does not hide that line.
  HWND main = user.MainWindow(5s);
  ASSERT_NE(main, nullptr);
  int looks = 0;
  script = headless::ParseScript("wait \"the failure's last line\" 60s\n");
  result = headless::RunScript(script.steps, user, &program, nullptr, [&] {
    // The runner looks twice before its wait begins.
    if (++looks < 3) return headless::FailureNote{5, 5, "Update failed: earlier"};
    if (looks == 3) {
      SendDlgItemMessageW(main, 5, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"the failure's last line\r\n"));
    }
    return headless::FailureNote{6, 6, "Update failed: as the line came"};
  });
  EXPECT_TRUE(result.ok) << result.message;
  EXPECT_GE(looks, 3);

  // Failures told before the script are none of its waits' business.
  script = headless::ParseScript("answer ok 300ms\n");
  result = headless::RunScript(script.steps, user, &program, nullptr, ToyFailures);
  EXPECT_EQ(result.message, "line 1 (answer ok 300ms): no message box appeared within 0.300 s");

  ASSERT_TRUE(user.Command(101));
  EXPECT_EQ(program.WaitForExit(5s), 7);
}

}  // namespace
