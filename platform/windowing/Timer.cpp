// Timers: SetTimer and KillTimer. A timer lives in the queue of the thread
// that owns its window (or that set it); the queue hands out WM_TIMER when
// one is due (Messages.cpp).
#include <windows.h>

#include "kernel/Clock.h"
#include "kernel/Thread.h"
#include "windowing/WindowManager.h"

using kernel::PlatformCall;
using windowing::Wm;

UINT WINAPI SetTimer(HWND hWnd, UINT nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  PlatformCall call;
  constexpr UINT kMinimum = 10;  // USER_TIMER_MINIMUM
  uElapse = uElapse < kMinimum ? kMinimum : (uElapse > 0x7FFFFFFF ? 0x7FFFFFFF : uElapse);
  std::lock_guard<std::mutex> guard(Wm().lock);
  windowing::ThreadQueue* queue = &windowing::CurrentQueue();
  if (hWnd != nullptr) {
    auto window = windowing::FindOrFailLocked(hWnd);
    if (!window) return 0;
    queue = window->queue.get();
  } else {
    // A timer without a window gets an id of its own, unless it replaces one.
    bool exists = false;
    for (const windowing::Timer& timer : queue->timers) exists |= timer.hwnd == nullptr && timer.id == nIDEvent;
    if (!exists || nIDEvent == 0) {
      static UINT nextId = 0x7000;
      nIDEvent = ++nextId;
    }
  }
  auto due = kernel::Clock::now() + std::chrono::milliseconds(uElapse);
  for (windowing::Timer& timer : queue->timers) {
    if (timer.hwnd == hWnd && timer.id == nIDEvent) {
      timer.elapse = uElapse;
      timer.proc = lpTimerFunc;
      timer.due = due;
      windowing::WakeLocked(*queue);
      return nIDEvent == 0 ? 1 : nIDEvent;
    }
  }
  queue->timers.push_back(windowing::Timer{hWnd, nIDEvent, uElapse, lpTimerFunc, due});
  windowing::WakeLocked(*queue);  // its wait may need an earlier deadline now
  return nIDEvent == 0 ? 1 : nIDEvent;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT uIDEvent) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  windowing::ThreadQueue* queue = &windowing::CurrentQueue();
  if (hWnd != nullptr) {
    auto window = windowing::FindOrFailLocked(hWnd);
    if (!window) return FALSE;
    queue = window->queue.get();
  }
  auto& timers = queue->timers;
  for (auto it = timers.begin(); it != timers.end(); ++it) {
    if (it->hwnd == hWnd && it->id == uIDEvent) {
      timers.erase(it);
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
