// Booting the emulated handset: an option it cannot honour stops the boot
// with one reason that names the option once.
#include "handset/Handset.h"

#include <gtest/gtest.h>

#include <string>

#include "radio/Module.h"

namespace {

using handset::PortChoice;

handset::HandsetOptions WithoutPtys() {
  handset::HandsetOptions options;
  for (unsigned port : {handset::kBluetoothPort, handset::kIrdaPort, handset::kInfraredPort}) {
    options.ports[port] = PortChoice{PortChoice::Kind::Absent, ""};
  }
  return options;
}

TEST(HandsetBoot, RefusedOptionsAreNamedOnceInTheReason) {
  struct Bad {
    std::string moduleSwitch;
    std::string fault;
    std::string reason;
  };
  for (const Bad& bad : {Bad{"frobnicate", "", "module switch 'frobnicate': unknown switch (see the list of switches)"},
                         Bad{"noise@nowhere=1", "",
                             "module switch 'noise@nowhere=1': unknown phase 'nowhere' (wake-up, stage1, "
                             "stage2-sections, stage2, memory-check, size-record, image-length, image-sections, "
                             "final-check, all)"},
                         Bad{"", "frobnicate", "unknown fault 'frobnicate'"}}) {
    handset::HandsetOptions options = WithoutPtys();
    if (!bad.moduleSwitch.empty()) options.moduleSwitches.push_back(bad.moduleSwitch);
    if (!bad.fault.empty()) options.platformFaults.push_back(bad.fault);
    handset::Handset handset;
    std::string error;
    EXPECT_FALSE(handset.Boot(options, &error));
    EXPECT_EQ(error, bad.reason);
    handset.Shutdown();
  }
}

TEST(HandsetBoot, GoodModuleSwitchesReachTheModule) {
  handset::HandsetOptions options = WithoutPtys();
  options.moduleSwitches = {"refuse@stage1=2", "refusal=parity"};
  handset::Handset handset;
  std::string error;
  ASSERT_TRUE(handset.Boot(options, &error)) << error;
  ASSERT_NE(handset.Module(), nullptr);
  EXPECT_EQ(handset.Module()->Faults(radio::Phase::Stage1).refuse, 2u);
  EXPECT_EQ(handset.Module()->Refusal(), radio::LineCondition::ParityError);
  handset.Shutdown();
}

}  // namespace
