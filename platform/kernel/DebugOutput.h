// The platform's debug output, where NKDbgPrintfW writes. Texts arrive
// verbatim (each call is one write, usually one line ending in "\r\n") and
// go to the installed sink: a trace file, standard error, memory (tests),
// or nowhere.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/Clock.h"
#include "kernel/Thread.h"

namespace debugout {

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Write(std::u16string_view text) = 0;
};

// Installs `sink` (null: discard) and returns the previous one.
std::shared_ptr<Sink> SetSink(std::shared_ptr<Sink> sink);
void Write(std::u16string_view text);

// Writes UTF-8 to a file (created or truncated), flushed after every text so
// nothing is lost when the handset reboots.
std::shared_ptr<Sink> OpenFileSink(const std::string& path);
std::shared_ptr<Sink> StderrSink();

// Keeps every text in memory; tests read and wait on it.
class MemorySink : public Sink {
 public:
  void Write(std::u16string_view text) override;
  std::vector<std::u16string> Texts() const;
  // Everything written, joined.
  std::u16string All() const;
  size_t Count(std::u16string_view text) const;
  void Clear();
  // Blocks until some text contains `needle` (true) or the deadline.
  bool WaitFor(std::u16string_view needle, kernel::TimePoint deadline);

 private:
  mutable std::mutex lock_;
  kernel::WaitQueue waiters_;
  std::vector<std::u16string> texts_;
};

// Writes to several sinks.
class TeeSink : public Sink {
 public:
  TeeSink(std::shared_ptr<Sink> a, std::shared_ptr<Sink> b) : a_(std::move(a)), b_(std::move(b)) {}
  void Write(std::u16string_view text) override;

 private:
  std::shared_ptr<Sink> a_, b_;
};

}  // namespace debugout
