// A second process for the desktop tests: publishes a window of the given
// class and title, reports "ready", then "activated" each time something
// brings that window to the front, and ends when its standard input closes.
//   desktop_helper <desktop directory> <class> <title>
#include <windows.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "text/WideText.h"
#include "windowing/Desktop.h"

namespace {

std::atomic<bool> ready{false};

LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE && ready) {
    std::printf("activated\n");
    std::fflush(stdout);
  }
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: desktop_helper <desktop directory> <class> <title>\n");
    return 2;
  }
  windowing::SetDesktopDirectory(argv[1]);
  std::u16string cls = text::FromUtf8(argv[2]), title = text::FromUtf8(argv[3]);
  WNDCLASSW wc{};
  wc.lpfnWndProc = Proc;
  wc.lpszClassName = cls.c_str();
  RegisterClassW(&wc);
  WNDCLASSW other{};
  other.lpfnWndProc = DefWindowProcW;
  other.lpszClassName = u"HelperOther";
  RegisterClassW(&other);
  HWND window = CreateWindowExW(0, cls.c_str(), title.c_str(), WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  // A second window takes the front, so that raising the first is visible.
  CreateWindowExW(0, u"HelperOther", u"", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ready = true;
  std::printf("ready\n");
  std::fflush(stdout);
  std::thread([window] {
    char c;
    while (read(0, &c, 1) > 0) {
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
  }).detach();
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0)) DispatchMessageW(&msg);
  return static_cast<int>(msg.wParam);
}
