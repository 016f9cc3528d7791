// Switches that make a port's writes fail or fall short, for fault tests.
#include "serial/Serial.h"

namespace serial {

void WriteFaults::FailNext(unsigned count, DWORD error) {
  std::lock_guard<std::mutex> guard(lock_);
  failCount_ = count;
  failError_ = error;
  armed_.store(true, std::memory_order_release);
}

void WriteFaults::ShortenNext(unsigned count, DWORD bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  shortCount_ = count;
  shortBytes_ = bytes;
  armed_.store(true, std::memory_order_release);
}

void WriteFaults::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  failCount_ = 0;
  shortCount_ = 0;
  armed_.store(false, std::memory_order_release);
}

WriteFaults::Verdict WriteFaults::TakeNext() {
  std::lock_guard<std::mutex> guard(lock_);
  Verdict verdict;
  if (failCount_ > 0) {
    --failCount_;
    verdict.fail = true;
    verdict.error = failError_;
  } else if (shortCount_ > 0) {
    --shortCount_;
    verdict.shorten = true;
    verdict.bytes = shortBytes_;
  }
  armed_.store(failCount_ > 0 || shortCount_ > 0, std::memory_order_release);
  return verdict;
}
}  // namespace serial
