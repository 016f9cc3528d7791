#include "radio/LineRunner.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace radio {

LineRunner::LineRunner(std::shared_ptr<Module> module, std::shared_ptr<serial::LineDevice> line, LogFn log)
    : module_(std::move(module)), line_(std::move(line)), log_(std::move(log)) {}

LineRunner::~LineRunner() { Stop(); }

void LineRunner::Start() {
  std::lock_guard<std::mutex> guard(m_);
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LineRunner::Stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(m_);
    if (!thread_.joinable()) return;
    stop_ = true;
    thread = std::move(thread_);
  }
  line_->Interrupt();
  thread.join();
}

void LineRunner::Reset() {
  Output out;
  {
    std::lock_guard<std::mutex> guard(m_);
    ++generation_;
    queue_.Clear();
    line_->DiscardInput();
    line_->DiscardOutput();
    out = module_->Reset(kernel::Clock::now());
    queue_.Add(std::move(out.emissions), kernel::Clock::now());
  }
  // The thread may be waiting with a deadline that no longer fits.
  line_->Interrupt();
  Log(out.log);
}

uint64_t LineRunner::GarbledBytes() const {
  std::lock_guard<std::mutex> guard(m_);
  return garbled_;
}

void LineRunner::FlushLocked(kernel::TimePoint now) {
  for (Emission& e : queue_.TakeDue(now)) {
    if (!e.garbled.empty()) {
      std::unique_ptr<bool[]> garbled(new bool[e.bytes.size()]);
      for (size_t i = 0; i < e.bytes.size(); ++i) garbled[i] = e.garbled[i];
      line_->WriteGarbled(e.bytes.data(), garbled.get(), e.bytes.size(), LineCondition::FramingError);
    } else if (e.condition) {
      line_->SendCondition(*e.condition);
    } else if (!e.bytes.empty()) {
      line_->Write(e.bytes.data(), e.bytes.size());
    }
  }
}

void LineRunner::Log(const std::vector<std::string>& lines) {
  if (!log_) return;
  for (const std::string& line : lines) log_(line);
}

void LineRunner::Run() {
  std::vector<uint8_t> buffer(4096);
  for (;;) {
    kernel::TimePoint deadline;
    uint64_t generation;
    {
      std::lock_guard<std::mutex> guard(m_);
      if (stop_) return;
      FlushLocked(kernel::Clock::now());
      deadline = std::min(queue_.NextDue(), module_->NextTimer());
      generation = generation_;
    }
    size_t n = line_->Read(buffer.data(), buffer.size(), deadline);
    Output out;
    {
      std::lock_guard<std::mutex> guard(m_);
      if (stop_) return;
      kernel::TimePoint now = kernel::Clock::now();
      // Bytes read before a reset belong to the module as it was: a reset
      // clears its UART, so they are dropped.
      std::span<const uint8_t> taken;
      if (generation == generation_) taken = std::span<const uint8_t>(buffer.data(), n);
      if (!taken.empty()) {
        serial::LineFormat f = line_->HostFormat();
        bool matches = f.baud == 115200 && f.dataBits == 8 && f.parity == NOPARITY;
        if (!matches) {
          garbled_ += taken.size();
          if (!mismatchLogged_) {
            char text[160];
            snprintf(text, sizeof text,
                     "the host sends at %u bits per second, %u data bits, parity %u: garbage to the module's "
                     "115200 8N1 UART, dropped",
                     f.baud, f.dataBits, f.parity);
            out.log.push_back(text);
          }
          taken = {};
        }
        mismatchLogged_ = !matches;
      }
      radio::Output more = module_->Receive(taken, now);
      out.log.insert(out.log.end(), more.log.begin(), more.log.end());
      out.emissions = std::move(more.emissions);
      queue_.Add(std::move(out.emissions), now);
      FlushLocked(now);
    }
    Log(out.log);
  }
}

}  // namespace radio
