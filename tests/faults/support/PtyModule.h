// The emulated radio module on a tty instead of a virtual line: the far
// end of a pseudo-terminal whose near end backs "COM1:" (a host tty or the
// platform's own pty port). A thread of its own feeds what arrives to the
// module and writes its answers back; breaks and line errors cannot travel
// on a pty and are dropped. The radio interface driver's back end made by
// Radio() resets this module.
//
// Lets tests take the line away under a running update: close the far end
// (the near end then reads as hung up) or remove the port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "devices/ril/RilDriver.h"
#include "radio/EmissionQueue.h"
#include "radio/Module.h"

namespace faulttest {

class PtyModule {
 public:
  explicit PtyModule(radio::ModuleConfig config = {});
  ~PtyModule();
  PtyModule(const PtyModule&) = delete;
  PtyModule& operator=(const PtyModule&) = delete;

  // Opens a pty pair of its own and runs on the master; the slave's path is
  // for "COM1:" (a host tty). False with `error` set on failure.
  bool StartOnNewPty(std::string* error);
  // Runs on an existing tty (the slave of the platform's pty port).
  bool StartOnTty(const std::string& path, std::string* error);
  // The slave's path after StartOnNewPty.
  const std::string& HostPath() const { return hostPath_; }

  // Closes the module's end of the line; the thread stops. Safe from any
  // thread, also from inside a platform call; returns once it is closed.
  void CloseLine();
  void Stop();

  radio::Module& Module() { return *module_; }
  std::shared_ptr<ril::RadioHardware> Radio();

 private:
  void Run();
  void Reset();
  void Wake();

  std::shared_ptr<radio::Module> module_;
  std::string hostPath_;
  int fd_ = -1;
  int slaveKeeper_ = -1;
  int wakeFd_ = -1;
  std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  radio::EmissionQueue queue_;
  bool closeRequested_ = false;
  bool stop_ = false;
  bool closed_ = false;
  std::thread thread_;
};

}  // namespace faulttest
