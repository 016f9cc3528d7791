// Updates that start from a module left in a bad state by an earlier one:
// the retry a user makes after a failed update must be able to succeed.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "radio/Module.h"
#include "support/FaultRun.h"

namespace faulttest {
namespace {

using namespace std::chrono_literals;

class Recovery : public FaultRunFixture {
 protected:
  // The module answers the first wake-up byte before the update resets it
  // (on the handset the pause before the reset is a whole second; on a fast
  // clock the module's thread might not get to it in time).
  void AnswerBeforeTheReset() {
    const uint32_t answers = TheModule().GetRecord()[radio::Phase::WakeUp].answers;
    hooks_->At(u"!Cast 55h!", 1, [this, answers] {
      auto deadline = std::chrono::steady_clock::now() + 10s;
      while (TheModule().GetRecord()[radio::Phase::WakeUp].answers == answers &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
    });
  }

  bool WaitForModuleState(radio::State state) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (TheModule().GetRecord().state != state && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return TheModule().GetRecord().state == state;
  }
};

// A module whose flash holds no valid image sits in its loader after a
// reset and answers the first wake-up byte at once, long before the
// update resets it. That answer belongs to the module as it was before the
// reset; taken for the answer to the reset, the boot stage goes to a loader
// that is not listening for it yet, and the update never ends.
TEST_F(Recovery, ModuleWithoutValidImageInItsLoaderIsUpdated) {
  RunPlan plan;
  Prepare(plan);
  ASSERT_FALSE(HasFatalFailure());
  TheModule().LoadFlash(radio::FactoryImage(), false);
  EXPECT_EQ(Send(154), 0);  // the radio reset command: the module restarts into its loader
  ASSERT_TRUE(WaitForModuleState(radio::State::Loader));
  AnswerBeforeTheReset();

  RunResult result = UpdateOnce(plan);
  EXPECT_TRUE(result.ok) << result.detail;
  EXPECT_EQ(result.wakeUpAttempts, 1u);
}

// The same after an update that failed at the very end: the flash was
// erased, the module refused, the user resets the radio and tries again.
TEST_F(Recovery, UpdateAfterAFailedOneAndARadioResetSucceeds) {
  RunPlan failing;
  failing.expected = Outcome::Failed;
  failing.moduleSwitches = {"refuse@final-check"};
  Prepare(failing);
  ASSERT_FALSE(HasFatalFailure());
  RunResult first = UpdateOnce(failing);
  ASSERT_TRUE(first.ok) << first.detail;
  ASSERT_FALSE(TheModule().Flash().valid);

  EXPECT_EQ(Send(154), 0);
  ASSERT_TRUE(WaitForModuleState(radio::State::Loader));
  AnswerBeforeTheReset();
  RunPlan retry;
  RunResult second = UpdateOnce(retry);
  EXPECT_TRUE(second.ok) << second.detail;
}

}  // namespace
}  // namespace faulttest
