#include "handset/launcher/Interruption.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace launcher {
namespace {

sigset_t Interruptions() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockInterruptions() {
  sigset_t set = Interruptions();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void CatchInterruptions(std::function<void(int signal)> onSignal) {
  BlockInterruptions();
  sigset_t set = Interruptions();
  std::thread([set, onSignal = std::move(onSignal)] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) == 0) onSignal(signal);
    }
  }).detach();
}

void DieBy(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  // Raised in this thread, unblocked here only: the default action ends the
  // whole process.
  raise(signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  _exit(128 + signal);  // not reached unless the signal is ignored by force
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

}  // namespace launcher
