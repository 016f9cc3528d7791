// A small program for the pseudo-terminal tests: a window with a done
// button and a log view (with a line wider than it), shown by the terminal
// front end.
//   terminal_probe app   runs until the window is closed:
//                        done button -> exit 42, Ctrl+Q -> exit 7,
//                        WM_COMMAND 150 -> ShowRebooting, exit 3
// Before the first screen is drawn it writes a line to standard error,
// which must show once the terminal is given back. Exit 5 when Start fails.
#include <windows.h>

#include <aygshell.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "frontends/terminal/Frontend.h"
#include "kernel/Modules.h"

namespace {

terminal::Frontend* g_front = nullptr;
HWND g_log = nullptr;

// Ctrl+Q ends the probe whoever has the focus, as an accelerator does.
bool IsCtrlQ(const MSG& msg) {
  return msg.message == WM_KEYDOWN && msg.wParam == 'Q' && (GetKeyState(VK_CONTROL) & 0x8000);
}

LRESULT CALLBACK ProbeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        PostQuitMessage(42);
        return 0;
      }
      if (LOWORD(wParam) == 150) {
        g_front->ShowRebooting();
        PostQuitMessage(3);
        return 0;
      }
      return 0;
    case WM_SETFOCUS:
      // The log view takes the keys, as in the utility.
      if (g_log) SetFocus(g_log);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "app") != 0) {
    std::fprintf(stderr, "usage: terminal_probe app\n");
    return 2;
  }
  HINSTANCE instance = kernel::RegisterProgramModule(u"\\Windows\\terminal_probe.exe", {});
  WNDCLASSW wc{};
  wc.lpfnWndProc = ProbeProc;
  wc.hInstance = instance;
  wc.lpszClassName = u"Probe";
  if (!RegisterClassW(&wc)) return 10;
  HWND hwnd = CreateWindowExW(0, u"Probe", u"Probe", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 11;
  SHINITDLGINFO init{};
  init.dwMask = SHIDIM_FLAGS;
  init.hDlg = hwnd;
  init.dwFlags = SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN;
  SHInitDialog(&init);
  g_log = CreateWindowExW(WS_EX_CLIENTEDGE, u"edit", u"",
                          WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL, 0, 0, 240,
                          268, hwnd, reinterpret_cast<HMENU>(5), instance, nullptr);
  SendMessageW(g_log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"hello from the probe\r\n"));
  // A line wider than the view, as a failed update leaves one.
  SendMessageW(g_log, EM_REPLACESEL, 0,
               reinterpret_cast<LPARAM>(u"Update failed: No answer from the radio module (waiting for A0h after the "
                                        u"module reset)\r\nChoose Update firmware - Go to try again.\r\n"));
  SetForegroundWindow(hwnd);
  SetFocus(g_log);

  terminal::FrontendOptions options;
  options.status = [] {
    // Read before the first screen is drawn: by the time the screen shows,
    // this line sits in the held standard error.
    static bool once = (std::fprintf(stderr, "probe: written while the screen was drawn\n"), true);
    (void)once;
    return std::u16string(u"probe status line");
  };
  options.rebootingMs = 300;
  terminal::Frontend front(std::move(options));
  g_front = &front;
  std::string error;
  if (!front.Start(&error)) {
    std::printf("start failed: %s\n", error.c_str());
    return 5;
  }
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (IsCtrlQ(msg)) {
      PostQuitMessage(7);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  front.Stop();
  std::printf("probe ended %d\n", static_cast<int>(msg.wParam));
  std::fflush(stdout);
  return static_cast<int>(msg.wParam);
}
