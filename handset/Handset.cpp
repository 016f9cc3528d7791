#include "handset/Handset.h"

#include <algorithm>
#include <cstdio>

#include "devices/ril/HostRadio.h"
#include "devices/ril/RilDriver.h"
#include "kernel/Clock.h"
#include "kernel/Modules.h"
#include "radio/EmulatedRadio.h"
#include "radio/LineRunner.h"
#include "radio/Module.h"
#include "radio/Switches.h"
#include "registry/Registry.h"
#include "resources/ProgramImage.h"
#include "serial/Serial.h"
#include "serial/VirtualPort.h"

namespace handset {
namespace {

constexpr char kHoldsImage[] = "flash holds the firmware image";

struct FaultSwitch {
  const char* name;
  std::atomic<bool> board::Faults::*flag;
};

const FaultSwitch kFaultSwitches[] = {
    {"reserve", &board::Faults::reserveFails},         {"map", &board::Faults::virtualCopyFails},
    {"loadlibrary", &board::Faults::loadLibraryFails}, {"getprocaddress", &board::Faults::procAddressFails},
    {"freelibrary", &board::Faults::freeLibraryFails}, {"registerclass", &board::Faults::registerClassFails},
    {"menubar", &board::Faults::menuBarFails},         {"logview", &board::Faults::editCreateFails},
};

std::map<unsigned, PortChoice> DefaultPorts() {
  return {
      {kModulePort, {PortChoice::Kind::Virtual, ""}},
      {kBluetoothPort, {PortChoice::Kind::Pty, ""}},
      {kIrdaPort, {PortChoice::Kind::Pty, ""}},
      {kInfraredPort, {PortChoice::Kind::Pty, ""}},
  };
}

// The infrared and IrDA drivers hand a read back once a burst has ended.
serial::PortOptions DriverDefaults(unsigned port) {
  serial::PortOptions options;
  if (port == kIrdaPort || port == kInfraredPort) options.timeouts = serial::BurstReadTimeouts();
  return options;
}

std::string PortName(unsigned port) {
  switch (port) {
    case kModulePort:
      return "COM1: (module UART)";
    case kBluetoothPort:
      return "COM2: (Bluetooth UART)";
    case kIrdaPort:
      return "COM3: (IrDA)";
    case kInfraredPort:
      return "COM5: (infrared)";
    default:
      return "COM" + std::to_string(port) + ":";
  }
}

}  // namespace

Handset::Handset() = default;

Handset::~Handset() = default;

bool Handset::Boot(const HandsetOptions& options, std::string* error) {
  kernel::SetClockSpeed(options.clockSpeed);
  board::Install(&board_);
  board_.SetProgramPath(options.programPath);
  board_.refuseReboot = options.refuseReboot;
  instance_ = kernel::RegisterProgramModule(u"fwutil.exe", resources::ProgramImage());
  return SetUpFaults(options, error) && SetUpPorts(options, error) && SetUpRadio(options, error) &&
         SetUpRegistry(options, error);
}

void Handset::Shutdown() {
  if (moduleRunner_) moduleRunner_->Stop();
  ril::SetRadioHardware(nullptr);
  for (unsigned port : ports_) serial::RemovePort(port);
  ports_.clear();
  moduleRunner_.reset();
  moduleLine_.reset();
  board::Install(nullptr);
}

bool Handset::SetUpFaults(const HandsetOptions& options, std::string* error) {
  board::PlatformFaults().Clear();
  for (const std::string& name : options.platformFaults) {
    if (name == "reboot") {
      board_.refuseReboot = true;
      continue;
    }
    bool known = false;
    for (const FaultSwitch& fault : kFaultSwitches) {
      if (name == fault.name) {
        (board::PlatformFaults().*fault.flag) = true;
        known = true;
      }
    }
    if (!known) {
      if (error) *error = "unknown fault '" + name + "'";
      return false;
    }
  }
  return true;
}

bool Handset::SetUpPorts(const HandsetOptions& options, std::string* error) {
  serial::InitializeDriver();
  std::map<unsigned, PortChoice> ports = DefaultPorts();
  for (const auto& [port, choice] : options.ports) ports[port] = choice;

  for (const auto& [port, choice] : ports) {
    std::string reason;
    switch (choice.kind) {
      case PortChoice::Kind::Absent:
        serial::RemovePort(port);
        continue;
      case PortChoice::Kind::Virtual: {
        serial::VirtualPortOptions virtualOptions;
        static_cast<serial::PortOptions&>(virtualOptions) = DriverDefaults(port);
        virtualOptions.paced = options.pacedLines;
        auto line = serial::ConfigureVirtualPort(port, virtualOptions);
        if (port == kModulePort) moduleLine_ = line;
        portDescriptions_[port] = "virtual line";
        break;
      }
      case PortChoice::Kind::Pty: {
        std::string path = serial::ConfigurePtyPort(port, DriverDefaults(port), &reason);
        if (path.empty()) {
          if (error) *error = PortName(port) + ": no pseudo-terminal: " + reason;
          return false;
        }
        portDescriptions_[port] = "pty " + path;
        break;
      }
      case PortChoice::Kind::Host:
        if (!serial::ConfigureHostPort(port, choice.path, DriverDefaults(port), &reason)) {
          if (error) *error = PortName(port) + ": " + reason;
          return false;
        }
        portDescriptions_[port] = "tty " + choice.path;
        break;
    }
    ports_.push_back(port);
  }

  if (moduleLine_) {
    auto module = std::make_shared<radio::Module>();
    for (const std::string& spec : options.moduleSwitches) {
      // The reason names the switch already.
      if (!radio::ApplySwitch(*module, spec, error)) return false;
    }
    moduleRunner_ = std::make_shared<radio::LineRunner>(module, moduleLine_);
    moduleRunner_->Start();
  } else if (!options.moduleSwitches.empty()) {
    if (error) *error = "module switches need the emulated module on COM1: (a virtual line)";
    return false;
  }
  return true;
}

bool Handset::SetUpRadio(const HandsetOptions& options, std::string* error) {
  ril::InitRilDriver();
  std::shared_ptr<ril::RadioHardware> hardware;
  switch (options.ril.kind) {
    case RilChoice::Kind::Emulated:
      if (!moduleRunner_) {
        if (error) *error = "the radio driver's emulated back end needs the emulated module on COM1:";
        return false;
      }
      hardware = std::make_shared<radio::EmulatedRadio>(moduleRunner_);
      break;
    case RilChoice::Kind::ModemLine: {
      auto com1 = options.ports.find(kModulePort);
      if (com1 == options.ports.end() || com1->second.kind != PortChoice::Kind::Host) {
        if (error) *error = "a modem-line reset needs COM1: on a host tty (--com 1=PATH)";
        return false;
      }
      ril::TtyResetOptions reset;
      reset.path = com1->second.path;
      reset.line = options.ril.modemLine == "rts" ? ril::ModemLine::Rts : ril::ModemLine::Dtr;
      std::string reason;
      hardware = ril::MakeTtyResetRadio(reset, &reason);
      if (!hardware) {
        if (error) *error = "radio driver: " + reason;
        return false;
      }
      break;
    }
    case RilChoice::Kind::Control:
      hardware = ril::MakeControlChannelRadio(options.ril.fifo);
      break;
    case RilChoice::Kind::None:
      hardware = ril::MakeNoRadio();
      break;
  }
  ril::SetRadioHardware(hardware);
  radioDescription_ = hardware->Describe();

  ril::Switches().Clear();
  ril::Switches().absent = options.ril.absent;
  ril::Switches().refuseSuspend = options.ril.refuseSuspend;
  ril::Switches().refuseResume = options.ril.refuseResume;
  ril::Switches().refuseReset = options.ril.refuseReset;
  return true;
}

bool Handset::SetUpRegistry(const HandsetOptions& options, std::string* error) {
  // The handset's driver configuration: the module UART and the Bluetooth UART.
  registry::SetDword("HKLM\\Drivers\\BuiltIn\\Serial", "Index", kModulePort);
  registry::SetDword("HKLM\\Drivers\\BuiltIn\\Serial2", "Index", kBluetoothPort);
  for (const std::string& spec : options.registrySpecs) {
    std::string reason;
    if (!registry::ApplySpec(spec, &reason)) {
      if (error) *error = "registry '" + spec + "': " + reason;
      return false;
    }
  }
  return true;
}

std::shared_ptr<radio::Module> Handset::Module() const {
  return moduleRunner_ ? moduleRunner_->shared_module() : nullptr;
}

std::vector<std::string> Handset::Describe() const {
  std::vector<std::string> lines;
  for (const auto& [port, description] : portDescriptions_) {
    std::string line = PortName(port) + ": " + description;
    if (port == kModulePort && moduleRunner_) line += ", the emulated radio module";
    lines.push_back(line);
  }
  lines.push_back("RIL1: " + radioDescription_ + (ril::Switches().absent ? " (driver absent)" : ""));
  return lines;
}

std::string Handset::StatusLine() const {
  auto module = Module();
  if (!module) return "COM1: " + (portDescriptions_.count(kModulePort) ? portDescriptions_.at(kModulePort) : "absent");
  return module->StatusLine();
}

std::string Handset::PortSummary() const {
  std::string summary;
  for (const auto& [port, description] : portDescriptions_) {
    if (port == kModulePort && moduleRunner_) continue;
    if (!summary.empty()) summary += "  ";
    size_t space = description.find(' ');
    summary += "COM" + std::to_string(port) + ": " +
               (space == std::string::npos ? description : description.substr(space + 1));
  }
  return summary;
}

std::optional<std::string> Handset::PortDevice(unsigned port) const {
  auto found = portDescriptions_.find(port);
  if (found == portDescriptions_.end()) return std::nullopt;
  size_t space = found->second.find(' ');
  if (found->second.rfind("virtual", 0) == 0 || space == std::string::npos) return "virtual";
  return found->second.substr(space + 1);
}

bool FlashVerifyHolds(std::string_view line) { return line.substr(0, sizeof kHoldsImage - 1) == kHoldsImage; }

std::string FlashVerifyText(const radio::FlashContents& flash, std::span<const uint8_t> image) {
  if (!flash.valid) return "the flash holds no firmware (erased when the image transfer began)";
  const std::vector<uint8_t>& bytes = flash.bytes;
  size_t common = std::min(bytes.size(), image.size());
  size_t differing = std::max(bytes.size(), image.size()) - common;  // bytes only one of them has
  std::optional<size_t> first;
  for (size_t i = 0; i < common; ++i) {
    if (bytes[i] == image[i]) continue;
    if (!first) first = i;
    ++differing;
  }
  if (differing == 0) return kHoldsImage + (" (" + std::to_string(image.size()) + " bytes)");
  char offset[32];
  std::snprintf(offset, sizeof offset, "0x%06zX", first.value_or(common));
  std::string line = "flash differs from the firmware image: first difference at offset " + std::string(offset) + ", " +
                     std::to_string(differing) + (differing == 1 ? " byte differs" : " bytes differ");
  if (bytes.size() != image.size()) {
    line += " (flash " + std::to_string(bytes.size()) + " bytes, image " + std::to_string(image.size()) + " bytes)";
  }
  return line;
}

std::vector<uint8_t> Handset::FirmwareImage() const {
  constexpr WORD kFirmwareImageId = 110;  // the program's image resource
  HRSRC found = FindResourceW(instance_, MAKEINTRESOURCEW(kFirmwareImageId), TEXT("HEX"));
  HGLOBAL loaded = found ? LoadResource(instance_, found) : nullptr;
  DWORD size = found ? SizeofResource(instance_, found) : 0;
  const auto* data = static_cast<const uint8_t*>(loaded ? LockResource(loaded) : nullptr);
  if (!data) return {};
  return std::vector<uint8_t>(data, data + size);
}

std::optional<std::string> Handset::FlashVerifyLine() const {
  auto module = Module();
  if (!module || module->GetRecord().imageLength == 0) return std::nullopt;
  return FlashVerifyText(module->Flash(), FirmwareImage());
}

std::optional<FlashCheck> Handset::CheckFlash() const {
  auto module = Module();
  if (!module) return std::nullopt;
  radio::Record record = module->GetRecord();
  radio::FlashContents flash = module->Flash();
  FlashCheck check;
  check.transferBegan = record.imageLength != 0;
  check.acknowledged = record.imageAcknowledged;
  std::vector<uint8_t> image = FirmwareImage();
  if (!flash.valid) {
    check.holds = FlashCheck::Holds::kNoFirmware;
  } else if (module->FlashHolds(image)) {
    check.holds = FlashCheck::Holds::kImage;
  } else {
    // Every transfer erases the flash first: a valid flash after one holds
    // what that transfer wrote, before one what the module had.
    check.holds = check.transferBegan ? FlashCheck::Holds::kOtherImage : FlashCheck::Holds::kEarlierFirmware;
  }
  if (check.transferBegan) check.verify = FlashVerifyText(flash, image);
  return check;
}

std::vector<std::string> Handset::FaultNames() {
  std::vector<std::string> names;
  for (const FaultSwitch& fault : kFaultSwitches) names.push_back(fault.name);
  names.push_back("reboot");
  return names;
}

}  // namespace handset
