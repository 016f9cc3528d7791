#include "handset/launcher/Advice.h"

#include <string_view>

namespace launcher {
namespace {

using Holds = handset::FlashCheck::Holds;

const char kRunAgain[] = "run the update again";

// The failure's words, by a text they hold, in order: the first that
// matches gives the next step.
struct Step {
  std::string_view words;
  std::string_view next;
};

const Step kSteps[] = {
    {"reported only errors", "the line is noisy: check the cable and its length, its ground and the line's settings"},
    {"waiting for A0h after the module reset",
     "check the module's power, the cable, the reset wiring and --ril (dtr, rts, control:FIFO or none)"},
    {"refused boot stage", "check that the program's boot stages fit this module, then run the update again"},
    {"refused the firmware image", kRunAgain},
    {"after the firmware image", kRunAgain},
    {"took an image", "run the update again; if it happens again, the line corrupts bytes: check the cable"},
    {"flash does not hold", "run the update again; if it happens again, the line corrupts bytes: check the cable"},
    {"No answer from the radio module", "check the module's power and the cable, then run the update again"},
    {"Wrong answer", "look at the module and the program's images, not at the cable"},
    {"The program holds no", "use a complete build: the program carries no module images"},
    {"Could not write", "the serial adapter failed or went away: plug it in again and run the update again"},
    {"line to the radio module failed",
     "the serial adapter failed or went away: plug it in again and run the update again"},
    {"Could not", "restart fwutil (the handset ran out of threads or handles) and run the update again"},
    {"another copy", "end the other copy, or give this one a --desktop of its own"},
    {"in use by", "end the program that holds the port, or choose another port"},
    {"Open Comport fail", "COM1: is held: release the relay (command 155) or free the port, then run the update again"},
    {"did not open", "COM1: is held: release the relay (command 155) or free the port, then run the update again"},
    {"rebooted before", kRunAgain},
};

std::string Bytes(const UpdateState& update) {
  std::string text = std::to_string(update.acknowledged);
  if (update.imageBytes) text += " of " + std::to_string(update.imageBytes);
  return text + " bytes of the image acknowledged";
}

}  // namespace

ModuleState DescribeModule(const std::optional<handset::FlashCheck>& flash, const UpdateState& update) {
  ModuleState state;
  if (flash) {
    switch (flash->holds) {
      case Holds::kImage:
        state.holds = "image";
        state.words = "the module's flash holds the new firmware";
        break;
      case Holds::kEarlierFirmware:
        state.holds = "earlier-firmware";
        state.words = "the module still holds its earlier firmware (no image transfer began)";
        break;
      case Holds::kOtherImage:
        state.holds = "other-image";
        state.words = "the module's flash holds an image that differs from the firmware image";
        state.runAgain = true;
        break;
      case Holds::kNoFirmware:
        state.holds = "no-firmware";
        state.words = "the module's flash holds no firmware";
        if (flash->transferBegan) {
          UpdateState taken = update;
          taken.acknowledged = flash->acknowledged;
          state.words += " (erased when the image transfer began; " + Bytes(taken) + ")";
        }
        state.runAgain = true;
        break;
    }
    return state;
  }
  // A real module: only how far the update went tells.
  if (update.outcome == Outcome::kSucceeded) {
    state.words = "the module took the new firmware";
  } else if (update.phase < Phase::kImage) {
    state.words = "the module still holds its earlier firmware (the image transfer had not begun)";
  } else {
    state.words = "the module's flash may hold no firmware (the image transfer had begun; " + Bytes(update) + ")";
    state.runAgain = true;
  }
  return state;
}

std::string NextStep(const std::string& failure) {
  for (const Step& step : kSteps) {
    if (failure.find(step.words) != std::string::npos) return std::string(step.next);
  }
  return "see \"When an update fails\" in the README";
}

std::vector<std::string> NextSteps() {
  std::vector<std::string> steps;
  for (const Step& step : kSteps) steps.emplace_back(step.next);
  return steps;
}

}  // namespace launcher
