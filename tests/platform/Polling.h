// Real-time polling for a condition another thread or process brings about:
// the platform tests wait on what they cannot observe by a message or a
// handle. The limit is generous; a pass returns as soon as it holds.
#ifndef TESTS_PLATFORM_POLLING_H
#define TESTS_PLATFORM_POLLING_H

#include <chrono>
#include <thread>

namespace polling {

template <class F>
bool Eventually(F condition, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

}  // namespace polling

#endif  // TESTS_PLATFORM_POLLING_H
