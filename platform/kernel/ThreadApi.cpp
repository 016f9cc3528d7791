// Threads, events, time and the last-error value.
#include <windows.h>

#include <unistd.h>

#include <mutex>
#include <thread>

#include "kernel/Handles.h"
#include "kernel/Thread.h"
#include "kernel/Wait.h"
#include "kernel/Waitable.h"

namespace kernel {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

std::mutex creationFaultsLock;
unsigned creationsToSkip = 0;
unsigned creationsToFail = 0;

// Whether the creation now asked for is to fail (FailCreations).
bool CreationFails() {
  std::lock_guard<std::mutex> guard(creationFaultsLock);
  if (creationsToFail == 0) return false;
  if (creationsToSkip > 0) {
    --creationsToSkip;
    return false;
  }
  --creationsToFail;
  return true;
}

class ThreadObject : public WaitableObject {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadControl> control) : control_(std::move(control)) {}
  ThreadControl& Control() { return *control_; }
  bool WaitSignaled(TimePoint deadline) override { return control_->WaitFinished(deadline); }
  bool TakeOrWatch(ThreadControl& waiter) override { return control_->FinishedOrWatch(waiter); }
  void Unwatch(ThreadControl& waiter) override { control_->UnwatchFinish(waiter); }

 private:
  std::shared_ptr<ThreadControl> control_;
};

class EventObject : public WaitableObject {
 public:
  EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}
  void Set() {
    std::lock_guard<std::mutex> guard(lock_);
    signaled_ = true;
    waiters_.WakeAll();
  }
  bool WaitSignaled(TimePoint deadline) override {
    std::unique_lock<std::mutex> lock(lock_);
    if (!WaitUntil(lock, waiters_, deadline, [this] { return signaled_; })) return false;
    if (!manualReset_) signaled_ = false;
    return true;
  }
  bool TakeOrWatch(ThreadControl& waiter) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (signaled_) {
      if (!manualReset_) signaled_ = false;
      return true;
    }
    waiters_.Add(&waiter);
    return false;
  }
  void Unwatch(ThreadControl& waiter) override {
    std::lock_guard<std::mutex> guard(lock_);
    waiters_.Remove(&waiter);
  }

 private:
  std::mutex lock_;
  WaitQueue waiters_;
  const bool manualReset_;
  bool signaled_;
};

// The control block a thread handle (or the current-thread pseudo handle) names.
std::shared_ptr<ThreadControl> ThreadOf(HANDLE handle) {
  if (handle == CurrentThreadPseudoHandle()) return ThreadControl::SelfShared();
  auto object = Reference<ThreadObject>(handle);
  if (!object) return nullptr;
  return std::shared_ptr<ThreadControl>(object, &object->Control());
}

}  // namespace

void FailCreations(unsigned skip, unsigned count) {
  std::lock_guard<std::mutex> guard(creationFaultsLock);
  creationsToSkip = skip;
  creationsToFail = count;
}

}  // namespace kernel

using kernel::PlatformCall;

DWORD WINAPI GetLastError(void) { return kernel::lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { kernel::lastError = dwErrCode; }

void WINAPI Sleep(DWORD dwMilliseconds) {
  PlatformCall call;
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  kernel::SleepUntil(kernel::AfterMilliseconds(dwMilliseconds));
}

DWORD WINAPI GetTickCount(void) {
  auto since = kernel::Clock::now().time_since_epoch();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE lpStartAddr, LPVOID lpvThreadParam,
                           DWORD fdwCreate, LPDWORD lpIDThread) {
  PlatformCall call;
  if (lpStartAddr == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (kernel::CreationFails()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto control = kernel::StartThread([lpStartAddr, lpvThreadParam] { return lpStartAddr(lpvThreadParam); },
                                     (fdwCreate & CREATE_SUSPENDED) != 0);
  if (lpIDThread) *lpIDThread = control->Id();
  return kernel::InsertHandle(std::make_shared<kernel::ThreadObject>(control));
}

DWORD WINAPI SuspendThread(HANDLE hThread) {
  PlatformCall call;
  auto thread = kernel::ThreadOf(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFF;
  }
  return thread->Suspend();
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  PlatformCall call;
  auto thread = kernel::ThreadOf(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFF;
  }
  return thread->Resume();
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  PlatformCall call;
  auto thread = kernel::ThreadOf(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  thread->Terminate(dwExitCode);
  return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  PlatformCall call;
  auto thread = kernel::ThreadOf(hThread);
  if (!thread || lpExitCode == nullptr) {
    SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  PlatformCall call;
  auto thread = kernel::ThreadOf(hThread);
  if (!thread || nPriority < THREAD_PRIORITY_TIME_CRITICAL || nPriority > THREAD_PRIORITY_IDLE) {
    SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  thread->SetPriority(nPriority);
  return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
  PlatformCall call;
  auto thread = kernel::ThreadOf(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  return thread->Priority();
}

HANDLE WINAPI GetCurrentThread(void) { return kernel::CurrentThreadPseudoHandle(); }

DWORD WINAPI GetCurrentThreadId(void) { return kernel::ThreadControl::Self().Id(); }

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  PlatformCall call;
  auto object = kernel::Reference<kernel::WaitableObject>(hHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->WaitSignaled(kernel::AfterMilliseconds(dwMilliseconds)) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  PlatformCall call;
  if (hObject == kernel::CurrentThreadPseudoHandle()) return TRUE;
  if (!kernel::CloseHandleEntry(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
  PlatformCall call;
  if (kernel::CreationFails()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return kernel::InsertHandle(std::make_shared<kernel::EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  PlatformCall call;
  auto event = kernel::Reference<kernel::EventObject>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set();
  return TRUE;
}
