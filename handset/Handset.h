// The emulated handset as a whole: its board (reboot line, idle timer,
// keys, GPIO block), its serial ports with the radio module on "COM1:" and
// the partner ports, the radio interface driver, the registry profile and
// the program installed on it. The launcher boots it from its options;
// tests boot it directly.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "handset/board/HandsetBoard.h"

namespace radio {
class LineRunner;
class Module;
struct FlashContents;
}  // namespace radio
namespace serial {
class VirtualPort;
}

namespace handset {

// What backs one "COMn:".
struct PortChoice {
  enum class Kind { Virtual, Pty, Host, Absent };
  Kind kind = Kind::Virtual;
  std::string path;  // Host: the tty
};

// What the radio interface driver's requests act on.
struct RilChoice {
  enum class Kind { Emulated, ModemLine, Control, None };
  Kind kind = Kind::Emulated;
  std::string modemLine = "dtr";  // ModemLine: "dtr" or "rts", on the tty behind COM1:
  std::string fifo;               // Control: the simulator's control channel
  bool absent = false;            // the driver is not there at all
  DWORD refuseSuspend = 0;        // non-zero: the request fails with this error
  DWORD refuseResume = 0;
  DWORD refuseReset = 0;
};

struct HandsetOptions {
  double clockSpeed = 1.0;
  bool pacedLines = true;
  // Overrides of the default ports: COM1: virtual (the module), COM2: pty
  // (Bluetooth UART), COM3: pty (IrDA), COM5: pty (infrared).
  std::map<unsigned, PortChoice> ports;
  RilChoice ril;
  std::vector<std::string> moduleSwitches;  // see radio::SwitchHelp()
  // Applied after the profile (HKLM\Drivers\BuiltIn\Serial and Serial2).
  std::vector<std::string> registrySpecs;
  std::u16string programPath = u"\\Windows\\fwutil.exe";
  bool refuseReboot = false;
  std::vector<std::string> platformFaults;  // see FaultNames()
};

// The handset's ports: the module UART, the Bluetooth UART, IrDA, infrared.
inline constexpr unsigned kModulePort = 1;
inline constexpr unsigned kBluetoothPort = 2;
inline constexpr unsigned kIrdaPort = 3;
inline constexpr unsigned kInfraredPort = 5;

// One line on a flash against the image meant for it: "flash holds the
// firmware image (N bytes)", "flash differs from the firmware image: first
// difference at offset 0x..., N bytes differ", or "the flash holds no
// firmware (erased when the image transfer began)" (it holds no valid image).
std::string FlashVerifyText(const radio::FlashContents& flash, std::span<const uint8_t> image);
// Whether a FlashVerifyText line says the flash holds the image.
bool FlashVerifyHolds(std::string_view line);

// What the emulated module's flash holds at the end of a run.
struct FlashCheck {
  enum class Holds { kImage, kNoFirmware, kEarlierFirmware, kOtherImage };
  Holds holds = Holds::kEarlierFirmware;
  bool transferBegan = false;  // an image transfer began during the run (and erased the flash)
  uint64_t acknowledged = 0;   // bytes of the image the module took in the last transfer
  // The verify line (FlashVerifyText) once a transfer began; before that
  // nothing was written to check.
  std::optional<std::string> verify;
};

class Handset {
 public:
  Handset();
  ~Handset();
  Handset(const Handset&) = delete;
  Handset& operator=(const Handset&) = delete;

  // Brings the handset up. False with a reason when an option cannot be
  // honoured (a tty that does not open, a bad switch).
  bool Boot(const HandsetOptions& options, std::string* error);
  // Stops the module's thread and removes the ports (tests).
  void Shutdown();

  HINSTANCE Instance() const { return instance_; }
  HandsetBoard& Board() { return board_; }
  // Null unless COM1: is a virtual line carrying the emulated module.
  std::shared_ptr<radio::Module> Module() const;
  std::shared_ptr<serial::VirtualPort> ModuleLine() const { return moduleLine_; }
  // What a person should know at start-up: where the ptys are, what the
  // radio driver resets.
  std::vector<std::string> Describe() const;
  // One line about the hardware: the module's state and the line's traffic.
  std::string StatusLine() const;
  // The ports a person can attach to, in brief: "COM2: /dev/pts/3  COM3: ...".
  std::string PortSummary() const;
  // What backs "COMn:": "virtual" (a virtual line; on COM1: the emulated
  // module), or the path of its pty or tty; nullopt when there is no port.
  std::optional<std::string> PortDevice(unsigned port) const;
  // The firmware image the installed program carries (its "HEX" resource
  // 110); empty when it has none.
  std::vector<uint8_t> FirmwareImage() const;
  // For the end of a run: what the emulated module's flash holds against the
  // program's firmware image (see FlashVerifyText). Nullopt when COM1: has no
  // emulated module or no image transfer began during the run (nothing
  // touched the flash).
  std::optional<std::string> FlashVerifyLine() const;
  // The same, with what the flash holds when no transfer began; nullopt when
  // COM1: has no emulated module (a real module's flash cannot be read).
  std::optional<FlashCheck> CheckFlash() const;

  static std::vector<std::string> FaultNames();

 private:
  bool SetUpPorts(const HandsetOptions& options, std::string* error);
  bool SetUpRadio(const HandsetOptions& options, std::string* error);
  bool SetUpRegistry(const HandsetOptions& options, std::string* error);
  bool SetUpFaults(const HandsetOptions& options, std::string* error);

  HandsetBoard board_;
  HINSTANCE instance_ = nullptr;
  std::shared_ptr<serial::VirtualPort> moduleLine_;
  std::shared_ptr<radio::LineRunner> moduleRunner_;
  std::map<unsigned, std::string> portDescriptions_;
  std::string radioDescription_;
  std::vector<unsigned> ports_;
};

}  // namespace handset
