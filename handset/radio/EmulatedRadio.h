// The radio interface driver's default back end: the emulated module.
// Suspend and resume switch its radio part off and on (see Module.h);
// reset pulls its reset line.
#pragma once

#include <memory>

#include "devices/ril/RilDriver.h"
#include "radio/LineRunner.h"

namespace radio {

class EmulatedRadio : public ril::RadioHardware {
 public:
  explicit EmulatedRadio(std::shared_ptr<LineRunner> runner) : runner_(std::move(runner)) {}
  DWORD Suspend() override {
    runner_->module().SetRadioSuspended(true);
    return 0;
  }
  DWORD Resume() override {
    runner_->module().SetRadioSuspended(false);
    return 0;
  }
  DWORD Reset() override {
    runner_->Reset();
    return 0;
  }
  std::string Describe() const override { return "emulated radio module on its virtual serial line"; }

 private:
  std::shared_ptr<LineRunner> runner_;
};

}  // namespace radio
