// Runs the module on the device end of a virtual serial line, on a hardware
// thread of its own (no platform thread: it makes no API calls, only kernel
// waits inside the line's Read). The line paces every byte; the runner adds
// only the module's own delays.
//
// The module's UART runs at 115200 bits per second, 8 data bits, no parity.
// Bytes the host sends in another format (a port left at its 9600 default,
// 7 data bits, parity) would be garbage to it: they are dropped and counted.
// (The other way round the host gets the module's bytes intact; the virtual
// line cannot garble them.)
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "radio/EmissionQueue.h"
#include "radio/Module.h"
#include "serial/Serial.h"

namespace radio {

class LineRunner {
 public:
  // Gets the module's log lines, on the runner's thread or on the thread
  // that called Reset; must be thread-safe.
  using LogFn = std::function<void(const std::string&)>;

  LineRunner(std::shared_ptr<Module> module, std::shared_ptr<serial::LineDevice> line, LogFn log = {});
  ~LineRunner();
  LineRunner(const LineRunner&) = delete;
  LineRunner& operator=(const LineRunner&) = delete;

  void Start();  // idempotent
  void Stop();   // joins the thread; idempotent

  // The reset line. Like a real reset it clears the module's UART: bytes
  // received but not yet taken, and answers not yet on the wire, are lost.
  void Reset();

  // Bytes dropped because the host's line format was not the module's.
  uint64_t GarbledBytes() const;

  Module& module() const { return *module_; }
  const std::shared_ptr<Module>& shared_module() const { return module_; }

 private:
  void Run();
  void FlushLocked(kernel::TimePoint now);
  void Log(const std::vector<std::string>& lines);

  const std::shared_ptr<Module> module_;
  const std::shared_ptr<serial::LineDevice> line_;
  const LogFn log_;
  mutable std::mutex m_;  // guards everything below, and orders writes to the line with resets
  EmissionQueue queue_;
  uint64_t generation_ = 0;  // bumped by every reset
  bool stop_ = false;
  uint64_t garbled_ = 0;
  bool mismatchLogged_ = false;
  std::thread thread_;
};

}  // namespace radio
