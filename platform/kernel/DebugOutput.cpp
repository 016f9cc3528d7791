#include "kernel/DebugOutput.h"

#include <cstdarg>
#include <cstdio>

#include "kernel/Wait.h"
#include "text/Format.h"
#include "text/WideText.h"

namespace debugout {
namespace {

struct Output {
  std::mutex lock;
  std::shared_ptr<Sink> sink = StderrSink();
};

Output& Current() {
  static auto* output = new Output;
  return *output;
}

class FileSink : public Sink {
 public:
  explicit FileSink(FILE* file) : file_(file) {}
  ~FileSink() override {
    if (file_ && file_ != stderr) fclose(file_);
  }
  void Write(std::u16string_view text) override {
    std::string bytes = text::ToUtf8(text);
    std::lock_guard<std::mutex> guard(lock_);
    fwrite(bytes.data(), 1, bytes.size(), file_);
    fflush(file_);
  }

 private:
  std::mutex lock_;
  FILE* file_;
};

}  // namespace

std::shared_ptr<Sink> SetSink(std::shared_ptr<Sink> sink) {
  Output& output = Current();
  std::lock_guard<std::mutex> guard(output.lock);
  std::swap(output.sink, sink);
  return sink;
}

void Write(std::u16string_view text) {
  std::shared_ptr<Sink> sink;
  {
    Output& output = Current();
    std::lock_guard<std::mutex> guard(output.lock);
    sink = output.sink;
  }
  if (sink) sink->Write(text);
}

std::shared_ptr<Sink> OpenFileSink(const std::string& path) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return nullptr;
  return std::make_shared<FileSink>(file);
}

std::shared_ptr<Sink> StderrSink() { return std::make_shared<FileSink>(stderr); }

void MemorySink::Write(std::u16string_view text) {
  std::lock_guard<std::mutex> guard(lock_);
  texts_.emplace_back(text);
  waiters_.WakeAll();
}

std::vector<std::u16string> MemorySink::Texts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_;
}

std::u16string MemorySink::All() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::u16string all;
  for (const auto& t : texts_) all += t;
  return all;
}

size_t MemorySink::Count(std::u16string_view text) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const auto& t : texts_) n += t == text ? 1 : 0;
  return n;
}

void MemorySink::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  texts_.clear();
}

bool MemorySink::WaitFor(std::u16string_view needle, kernel::TimePoint deadline) {
  std::unique_lock<std::mutex> lock(lock_);
  size_t checked = 0;
  return kernel::WaitUntil(lock, waiters_, deadline, [&] {
    for (; checked < texts_.size(); ++checked) {
      if (texts_[checked].find(needle) != std::u16string::npos) return true;
    }
    return false;
  });
}

void TeeSink::Write(std::u16string_view text) {
  if (a_) a_->Write(text);
  if (b_) b_->Write(text);
}

}  // namespace debugout

void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
  va_list args;
  va_start(args, lpszFmt);
  std::u16string text = text::FormatV(lpszFmt, args);
  va_end(args);
  debugout::Write(text);
}
