// The COM driver's port table: which back end each configured port number
// has, and the driver's entry for CreateFileW("COMn:").
#include <windows.h>

#include <map>
#include <mutex>
#include <utility>

#include "kernel/Devices.h"
#include "serial/Serial.h"

namespace serial {
namespace detail {
namespace {

struct PortTable {
  std::mutex lock;
  std::map<unsigned, std::shared_ptr<PortConfig>> ports;
};

PortTable& Table() {
  static auto* table = new PortTable;
  return *table;
}

}  // namespace

void InstallPort(unsigned number, std::shared_ptr<PortConfig> config) {
  std::shared_ptr<PortConfig> old;
  {
    PortTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto& slot = table.ports[number];
    old = std::exchange(slot, std::move(config));
  }
  if (old) old->Retire();
}

// CreateFileW("COMn:"): the port's number must be configured.
std::shared_ptr<kernel::DeviceFile> OpenPort(unsigned number) {
  std::shared_ptr<PortConfig> config = FindPort(number);
  if (!config) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return OpenComPort(std::move(config));
}

}  // namespace detail

void InitializeDriver() {
  kernel::RegisterDeviceDriver(u"COM", [](unsigned index, DWORD, DWORD) { return detail::OpenPort(index); });
}

COMMTIMEOUTS BurstReadTimeouts() { return COMMTIMEOUTS{50, 0, 0, 0, 0}; }

std::shared_ptr<PortConfig> FindPort(unsigned number) {
  detail::PortTable& table = detail::Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.ports.find(number);
  return it == table.ports.end() ? nullptr : it->second;
}

bool RemovePort(unsigned number) {
  std::shared_ptr<PortConfig> old;
  {
    detail::PortTable& table = detail::Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.ports.find(number);
    if (it == table.ports.end()) return false;
    old = std::move(it->second);
    table.ports.erase(it);
  }
  old->Retire();
  return true;
}

std::vector<unsigned> ConfiguredPorts() {
  detail::PortTable& table = detail::Table();
  std::lock_guard<std::mutex> guard(table.lock);
  std::vector<unsigned> numbers;
  for (const auto& entry : table.ports) numbers.push_back(entry.first);
  return numbers;
}

}  // namespace serial
