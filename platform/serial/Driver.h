// The COM driver's port table, shared by the back ends' configure functions.
#pragma once

#include <windows.h>

#include <memory>

#include "kernel/Devices.h"
#include "serial/Port.h"
#include "serial/Transport.h"

namespace serial::detail {

class Driver {
 public:
  // Makes `config` port `number`, retiring the one it replaces.
  static void Install(unsigned number, std::shared_ptr<PortConfig> config);
  // Opens port `number` for CreateFileW; null with the last error set.
  static std::shared_ptr<kernel::DeviceFile> Open(unsigned number);

  // For the open port: the transport and the exclusive claim.
  static std::unique_ptr<Transport> OpenTransport(PortConfig& config, kernel::WaitQueue* waiters, DWORD* error) {
    return config.OpenTransport(waiters, error);
  }
  static bool Claim(PortConfig& config) { return !config.open_.exchange(true); }
  static void Release(PortConfig& config) { config.open_.store(false); }
  static void Retire(PortConfig& config) { config.Retire(); }
};

}  // namespace serial::detail
