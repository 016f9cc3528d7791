// The module's flash (what an image transfer leaves in it, its factory
// image, its file) and the record of what the module has done.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "radio/Module.h"
#include "radio/ModuleText.h"

namespace radio {

using detail::Fmt;

// ------------------------------------------------------------------ flash

std::vector<uint8_t> FactoryImage() {
  std::string_view text = "factory firmware of the emulated radio module";
  return std::vector<uint8_t>(text.begin(), text.end());
}

FlashContents Module::Flash() const {
  std::lock_guard<std::mutex> guard(m_);
  return flash_;
}

bool Module::FlashHolds(std::span<const uint8_t> image) const {
  std::lock_guard<std::mutex> guard(m_);
  return flash_.valid && flash_.bytes.size() == image.size() &&
         std::equal(image.begin(), image.end(), flash_.bytes.begin());
}

void Module::LoadFlash(std::vector<uint8_t> bytes, bool valid) {
  std::lock_guard<std::mutex> guard(m_);
  flash_.bytes = std::move(bytes);
  flash_.valid = valid;
}

bool Module::SaveFlash(const std::string& path, std::string* error) const {
  FlashContents flash = Flash();
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) {
    if (error) *error = "cannot create " + path;
    return false;
  }
  bool ok = true;
  if (flash.valid && !flash.bytes.empty()) {
    ok = fwrite(flash.bytes.data(), 1, flash.bytes.size(), file) == flash.bytes.size();
  }
  ok = (fclose(file) == 0) && ok;
  if (!ok && error) *error = "cannot write " + path;
  return ok;
}

// ----------------------------------------------------------------- record

namespace {

// Acknowledged bytes of the image transfer the record describes.
uint32_t Acknowledged(const Record& r, uint32_t answersBefore, uint32_t section, bool written) {
  if (written) return r.imageLength;
  uint64_t sections = r[Phase::ImageSections].answers - answersBefore;
  return static_cast<uint32_t>(std::min<uint64_t>(r.imageLength, sections * section));
}

}  // namespace

Record Module::GetRecord() const {
  std::lock_guard<std::mutex> guard(m_);
  Record r = record_;
  // Written: the last image begun is the one in the flash (the flash is
  // erased when an image begins, so a valid flash after one is that image).
  bool written = r.imageLength != 0 && flash_.valid;
  r.imageAcknowledged = Acknowledged(r, imageAnswersBefore_, config_.imageSection, written);
  r.state = kSteps[static_cast<size_t>(step_)].state;
  if (r.state == State::Firmware || r.state == State::Done) {
    r.phase.reset();
  } else {
    r.phase = r.state == State::Loader ? Phase::WakeUp : phase_;
  }
  return r;
}

std::string Module::StatusLine() const {
  Record r = GetRecord();
  bool valid, suspended;
  size_t flashSize;
  {
    std::lock_guard<std::mutex> guard(m_);
    valid = flash_.valid;
    flashSize = flash_.bytes.size();
    suspended = suspended_;
  }
  std::string line = std::string(StateName(r.state));
  if (r.phase) line += " " + std::string(PhaseName(*r.phase));
  line += Fmt(" | rx %llu tx %llu | resets %u refusals %u | ", static_cast<unsigned long long>(r.bytesReceived),
              static_cast<unsigned long long>(r.bytesSent), r.resets, r.refusals);
  line += valid ? Fmt("flash %zu bytes", flashSize) : std::string("flash empty");
  line += suspended ? " | radio off" : " | radio on";
  return line;
}

}  // namespace radio
