// Back ends of the radio interface driver that need no emulated hardware:
// none, a real module on a host tty, and the standalone module simulator.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devices/ril/RilDriver.h"

namespace ril {

// Every request succeeds and does nothing.
std::shared_ptr<RadioHardware> MakeNoRadio();

// A real module whose reset input is wired to a modem-control line of the
// host's serial adapter. Reset pulses the line: to its active level for
// `pulseMs`, then back (active low by default: DTR/RTS dropped, then raised
// again). The tty is opened at once (O_NOCTTY) and held open, so closing it
// never drops the lines by accident. Suspend and resume have no line to act
// on: they succeed without effect.
// A device without such a line (a pseudo-terminal, some adapters) fails the
// reset with ERROR_NOT_SUPPORTED; a device that went away with
// ERROR_DEVICE_NOT_CONNECTED.
enum class ModemLine { Dtr, Rts };
struct TtyResetOptions {
  std::string path;
  ModemLine line = ModemLine::Dtr;
  uint32_t pulseMs = 100;
  bool activeHigh = false;
};
// Null with `error` set when the tty cannot be opened.
std::shared_ptr<RadioHardware> MakeTtyResetRadio(const TtyResetOptions& options, std::string* error);

// The modem-control lines of a tty (TIOCMBIS/TIOCMBIC); each returns 0 or an
// errno value. Exposed so the pulse can be tried without an adapter.
class ModemLines {
 public:
  virtual ~ModemLines() = default;
  virtual int Raise(ModemLine line) = 0;
  virtual int Drop(ModemLine line) = 0;
};
std::shared_ptr<RadioHardware> MakeModemLineResetRadio(std::shared_ptr<ModemLines> lines,
                                                       const TtyResetOptions& options);

// The standalone simulator (tools/modulesim) listening on a FIFO: each
// request writes one line ("suspend", "resume", "reset"). The FIFO is opened
// per request, so the simulator may be started and stopped at any time;
// with no simulator reading it the request fails with
// ERROR_DEVICE_NOT_CONNECTED.
std::shared_ptr<RadioHardware> MakeControlChannelRadio(const std::string& fifoPath);

// The Win32 error for a failed host call's errno.
DWORD ErrorFromErrno(int error);

}  // namespace ril
