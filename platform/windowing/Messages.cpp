// Message queues, one per thread: posted and sent messages, input, timers,
// and the calls that move messages: GetMessageW, PeekMessageW,
// PostMessageW, SendMessageW, DispatchMessageW, and the wait on objects
// that messages also end, MsgWaitForMultipleObjects(Ex). (TranslateMessage
// is with the keyboard in Input.cpp, SetTimer and KillTimer in Timer.cpp.)
//
// A message sent to a window of another thread lives on the sender's stack
// and is linked into the owner thread's queue; the owner serves it whenever
// it waits for messages (any loop, modal ones included, and while itself
// blocked in a send). So a send costs no allocation, only two wake-ups.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <vector>

#include "kernel/Thread.h"
#include "kernel/Wait.h"
#include "kernel/Waitable.h"
#include "windowing/WindowManager.h"

namespace windowing {
namespace {

// Senders that are being terminated wait here, without interruption, until
// the owner thread is done with the arguments on their stack.
std::condition_variable& DoneSignal() {
  static auto* signal = new std::condition_variable;
  return *signal;
}

void PushSentLocked(ThreadQueue& queue, SentMessage* message) {
  message->prev = queue.sentTail;
  message->next = nullptr;
  if (queue.sentTail) {
    queue.sentTail->next = message;
  } else {
    queue.sentHead = message;
  }
  queue.sentTail = message;
}

void UnlinkSentLocked(ThreadQueue& queue, SentMessage* message) {
  if (message->prev) {
    message->prev->next = message->next;
  } else {
    queue.sentHead = message->next;
  }
  if (message->next) {
    message->next->prev = message->prev;
  } else {
    queue.sentTail = message->prev;
  }
  message->prev = message->next = nullptr;
}

// After this the message may be gone (its sender returns, or it is freed).
void CompleteLocked(SentMessage* message, LRESULT result) {
  if (!message->sender) {
    delete message;
    return;
  }
  message->result = result;
  message->state = SentMessage::State::kDone;
  WakeLocked(*message->sender);
  DoneSignal().notify_all();
}

// Refuses everything sent to the queue from now on and answers what waits.
void MarkDeadLocked(ThreadQueue& queue) {
  queue.dead = true;
  while (SentMessage* message = queue.sentHead) {
    UnlinkSentLocked(queue, message);
    CompleteLocked(message, 0);
  }
  queue.timers.clear();
}

// Serves the oldest message sent to this thread. Unlocks around the call.
bool ServeSentLocked(std::unique_lock<std::mutex>& lock, ThreadQueue& queue) {
  SentMessage* message = queue.sentHead;
  if (!message) return false;
  UnlinkSentLocked(queue, message);
  // A sender terminated meanwhile takes its message back: it must not show
  // up after TerminateThread has returned.
  if (message->sender && message->sender->thread->HasEnded()) {
    CompleteLocked(message, 0);
    return true;
  }
  message->state = SentMessage::State::kInProgress;
  std::shared_ptr<Window> window = FindLocked(message->hwnd);
  if (!window || window->queue.get() != &queue) {
    CompleteLocked(message, 0);
    return true;
  }
  lock.unlock();
  LRESULT result = 0;
  try {
    result = CallProc(window, message->message, message->wParam, message->lParam);
  } catch (...) {
    // This thread is being terminated: release the sender before unwinding.
    lock.lock();
    CompleteLocked(message, 0);
    throw;
  }
  lock.lock();
  CompleteLocked(message, result);
  return true;
}

LRESULT SendAcrossLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Window>& target, UINT msg,
                         WPARAM wParam, LPARAM lParam) {
  ThreadQueue& self = CurrentQueue();
  ThreadQueue& owner = *target->queue;
  if (owner.dead) return 0;
  SentMessage message;
  message.hwnd = target->handle;
  message.message = msg;
  message.wParam = wParam;
  message.lParam = lParam;
  message.sender = &self;
  PushSentLocked(owner, &message);
  WakeLocked(owner);
  try {
    while (message.state != SentMessage::State::kDone) {
      // Serve what others send us meanwhile: two threads sending to each
      // other must not deadlock.
      if (ServeSentLocked(lock, self)) continue;
      kernel::WaitOnce(lock, self.waiters, kernel::kNever);
    }
  } catch (...) {
    // Terminated while waiting. The owner may be reading the arguments,
    // which live on this stack: take the message back, or wait until the
    // owner is done with it; refuse anything it might send back meanwhile.
    if (message.state == SentMessage::State::kQueued) {
      UnlinkSentLocked(owner, &message);
    } else if (message.state == SentMessage::State::kInProgress) {
      MarkDeadLocked(self);
      DoneSignal().wait(lock, [&] { return message.state == SentMessage::State::kDone; });
    }
    throw;
  }
  return message.result;
}

bool Matches(const MSG& msg, HWND filter, UINT first, UINT last) {
  if (first != 0 || last != 0) {
    if (msg.message < first || msg.message > last) return false;
  }
  if (filter && msg.hwnd != filter && !IsDescendantLocked(filter, msg.hwnd)) return false;
  return true;
}

bool TakeFromLocked(std::deque<MSG>& queue, MSG* out, HWND filter, UINT first, UINT last, bool remove) {
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (!Matches(*it, filter, first, last)) continue;
    *out = *it;
    if (remove) queue.erase(it);
    return true;
  }
  return false;
}

void NoteKeyRetrievedLocked(ThreadQueue& queue, const MSG& msg) {
  BYTE vk = static_cast<BYTE>(msg.wParam);
  if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
    if (!(queue.keys[vk] & 0x80)) queue.keys[vk] ^= 0x01;  // toggle state flips on each press
    queue.keys[vk] |= 0x80;
  } else if (msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP) {
    queue.keys[vk] &= static_cast<BYTE>(~0x80);
  }
}

bool TakeTimerLocked(ThreadQueue& queue, MSG* out, HWND filter, UINT first, UINT last, bool remove,
                     kernel::TimePoint& nextDue) {
  kernel::TimePoint now = kernel::Clock::now();
  for (Timer& timer : queue.timers) {
    MSG msg{};
    msg.hwnd = timer.hwnd;
    msg.message = WM_TIMER;
    msg.wParam = timer.id;
    msg.lParam = reinterpret_cast<LPARAM>(timer.proc);
    if (!Matches(msg, filter, first, last)) continue;
    if (timer.due > now) {
      if (timer.due < nextDue) nextDue = timer.due;
      continue;
    }
    msg.time = GetTickCount();
    *out = msg;
    // The next tick counts from now: a late thread gets one WM_TIMER, not a backlog.
    if (remove) timer.due = now + std::chrono::milliseconds(timer.elapse);
    return true;
  }
  return false;
}

enum class Fetch { kMessage, kQuit, kStopped, kNone };

Fetch FetchMessage(MSG* msg, HWND filter, UINT first, UINT last, bool remove, bool wait,
                   const std::function<bool()>* stop) {
  ThreadQueue& queue = CurrentQueue();
  std::unique_lock<std::mutex> lock(Wm().lock);
  queue.arrived = 0;  // the thread has looked: what is queued now is no longer new
  for (;;) {
    while (ServeSentLocked(lock, queue)) {
    }
    if (stop && (*stop)()) return Fetch::kStopped;
    if (TakeFromLocked(queue.posted, msg, filter, first, last, remove)) return Fetch::kMessage;
    if (queue.quit) {
      *msg = MSG{};
      msg->message = WM_QUIT;
      msg->wParam = static_cast<WPARAM>(queue.quitCode);
      msg->time = GetTickCount();
      if (remove) queue.quit = false;
      return Fetch::kQuit;
    }
    if (TakeFromLocked(queue.input, msg, filter, first, last, remove)) {
      if (remove) NoteKeyRetrievedLocked(queue, *msg);
      return Fetch::kMessage;
    }
    kernel::TimePoint nextDue = kernel::kNever;
    if (TakeTimerLocked(queue, msg, filter, first, last, remove, nextDue)) return Fetch::kMessage;
    if (!wait) return Fetch::kNone;
    kernel::WaitOnce(lock, queue.waiters, nextDue);
  }
}

struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    // The thread has ended: its windows go, and whoever waits on it is answered.
    std::lock_guard<std::mutex> guard(Wm().lock);
    MarkDeadLocked(*queue);
    ForgetThreadWindowsLocked(*queue);
  }
};

thread_local QueueHolder tlsQueue;

}  // namespace

ThreadQueue& CurrentQueue() { return *CurrentQueueShared(); }

std::shared_ptr<ThreadQueue> CurrentQueueShared() {
  if (!tlsQueue.queue) {
    auto queue = std::make_shared<ThreadQueue>();
    queue->thread = kernel::ThreadControl::SelfShared();
    queue->threadId = queue->thread->Id();
    tlsQueue.queue = std::move(queue);
  }
  return tlsQueue.queue;
}

void WakeLocked(ThreadQueue& queue) { queue.waiters.WakeAll(); }

void CompleteSentLocked(ThreadQueue& queue, SentMessage* message, LRESULT result) {
  UnlinkSentLocked(queue, message);
  CompleteLocked(message, result);
}

LRESULT CallProc(const std::shared_ptr<Window>& window, UINT message, WPARAM wParam, LPARAM lParam) {
  return window->proc(window->handle, message, wParam, lParam);
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ThreadQueue& self = CurrentQueue();
  std::unique_lock<std::mutex> lock(Wm().lock);
  std::shared_ptr<Window> window = FindLocked(hwnd);
  if (!window) {
    lock.unlock();
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (window->queue.get() == &self) {
    lock.unlock();
    return CallProc(window, message, wParam, lParam);
  }
  return SendAcrossLocked(lock, window, message, wParam, lParam);
}

void Deliver(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ThreadQueue& self = CurrentQueue();
  std::unique_lock<std::mutex> lock(Wm().lock);
  std::shared_ptr<Window> window = FindLocked(hwnd);
  if (!window) return;
  if (window->queue.get() == &self) {
    lock.unlock();
    CallProc(window, message, wParam, lParam);
    return;
  }
  ThreadQueue& owner = *window->queue;
  if (owner.dead) return;
  auto* notification = new SentMessage;
  notification->hwnd = hwnd;
  notification->message = message;
  notification->wParam = wParam;
  notification->lParam = lParam;
  PushSentLocked(owner, notification);
  WakeLocked(owner);
}

bool Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> guard(Wm().lock);
  ThreadQueue* queue;
  if (hwnd == nullptr) {
    queue = &CurrentQueue();
  } else {
    std::shared_ptr<Window> window = FindOrFailLocked(hwnd);
    if (!window) return false;
    queue = window->queue.get();
  }
  if (queue->dead) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  MSG msg{};
  msg.hwnd = hwnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  msg.time = GetTickCount();
  queue->posted.push_back(msg);
  queue->arrived |= QS_POSTMESSAGE;
  WakeLocked(*queue);
  return true;
}

// The calling thread's queue as one more thing that ends a wait on kernel
// objects. Sent messages count while they wait to be served; posted
// messages and keys count when they came since the thread last looked
// (or, with MWMO_INPUTAVAILABLE, while they are queued); a timer counts
// once it is due.
class QueueInput : public kernel::WaitCondition {
 public:
  QueueInput(ThreadQueue& queue, DWORD mask, DWORD flags) : queue_(queue), mask_(mask), flags_(flags) {}

  bool ReadyOrWatch(kernel::ThreadControl& waiter, kernel::TimePoint& recheck) override {
    std::lock_guard<std::mutex> guard(Wm().lock);
    if (ReadyLocked(recheck)) return true;
    queue_.waiters.Add(&waiter);
    return false;
  }
  void Unwatch(kernel::ThreadControl& waiter) override {
    std::lock_guard<std::mutex> guard(Wm().lock);
    queue_.waiters.Remove(&waiter);
  }

 private:
  bool ReadyLocked(kernel::TimePoint& recheck) const {
    if ((mask_ & QS_SENDMESSAGE) && queue_.sentHead != nullptr) return true;
    DWORD kinds = queue_.arrived;
    if (flags_ & MWMO_INPUTAVAILABLE) {
      if (!queue_.posted.empty() || queue_.quit) kinds |= QS_POSTMESSAGE;
      if (!queue_.input.empty()) kinds |= QS_KEY;
    }
    if (kinds & mask_) return true;
    if (mask_ & QS_TIMER) {
      kernel::TimePoint now = kernel::Clock::now();
      for (const Timer& timer : queue_.timers) {
        if (timer.due <= now) return true;
        recheck = std::min(recheck, timer.due);
      }
    }
    return false;
  }

  ThreadQueue& queue_;
  const DWORD mask_;
  const DWORD flags_;
};

Fetched GetMessageInternal(MSG* msg, HWND filter, UINT first, UINT last, const std::function<bool()>& stop) {
  switch (FetchMessage(msg, filter, first, last, true, true, stop ? &stop : nullptr)) {
    case Fetch::kQuit:
      return Fetched::kQuit;
    case Fetch::kStopped:
      return Fetched::kStopped;
    default:
      return Fetched::kMessage;
  }
}

}  // namespace windowing

using kernel::PlatformCall;
using windowing::Wm;

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  PlatformCall call;
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (hWnd != nullptr) {
    std::lock_guard<std::mutex> guard(Wm().lock);
    auto window = windowing::FindLocked(hWnd);
    if (!window || window->queue.get() != &windowing::CurrentQueue()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
  }
  auto fetched = windowing::FetchMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true, nullptr);
  return fetched == windowing::Fetch::kQuit ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  PlatformCall call;
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto fetched =
      windowing::FetchMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false, nullptr);
  return fetched == windowing::Fetch::kNone ? FALSE : TRUE;
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  PlatformCall call;
  return windowing::Post(hWnd, Msg, wParam, lParam) ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int nExitCode) {
  PlatformCall call;
  std::lock_guard<std::mutex> guard(Wm().lock);
  windowing::ThreadQueue& queue = windowing::CurrentQueue();
  queue.quit = true;
  queue.quitCode = nExitCode;
  queue.arrived |= QS_POSTMESSAGE;
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  PlatformCall call;
  return windowing::Send(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  PlatformCall call;
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  if (item == nullptr) return 0;
  return windowing::Send(item, Msg, wParam, lParam);
}

DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds, DWORD dwWakeMask,
                                         DWORD dwFlags) {
  PlatformCall call;
  if (nCount > MAXIMUM_WAIT_OBJECTS - 1 || (nCount > 0 && pHandles == nullptr) ||
      (dwWakeMask & ~DWORD{QS_ALLINPUT}) != 0 || (dwFlags & ~DWORD{MWMO_INPUTAVAILABLE}) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<kernel::WaitableObject>> objects;
  objects.reserve(nCount);
  for (DWORD i = 0; i < nCount; ++i) {
    auto object = kernel::Reference<kernel::WaitableObject>(pHandles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
  }
  windowing::QueueInput input(windowing::CurrentQueue(), dwWakeMask, dwFlags);
  size_t which = kernel::WaitForAny(objects, &input, kernel::AfterMilliseconds(dwMilliseconds));
  return which == kernel::kWaitTimedOut ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<DWORD>(which);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                       DWORD dwWakeMask) {
  // Waiting for all objects at once is not offered (as on CE).
  if (fWaitAll) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  return MsgWaitForMultipleObjectsEx(nCount, pHandles, dwMilliseconds, dwWakeMask, 0);
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
  PlatformCall call;
  if (lpMsg == nullptr) return 0;
  if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
    auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
    {
      // Only a timer that still exists calls its procedure.
      std::lock_guard<std::mutex> guard(Wm().lock);
      bool live = false;
      for (const windowing::Timer& timer : windowing::CurrentQueue().timers) {
        live |= timer.hwnd == lpMsg->hwnd && timer.id == lpMsg->wParam && timer.proc == proc;
      }
      if (!live) return 0;
    }
    proc(lpMsg->hwnd, WM_TIMER, static_cast<UINT>(lpMsg->wParam), GetTickCount());
    return 0;
  }
  if (lpMsg->hwnd == nullptr) return 0;
  std::shared_ptr<windowing::Window> window;
  {
    std::lock_guard<std::mutex> guard(Wm().lock);
    window = windowing::FindLocked(lpMsg->hwnd);
    if (window && window->queue.get() != &windowing::CurrentQueue()) window = nullptr;
  }
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return windowing::CallProc(window, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}
