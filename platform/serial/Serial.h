// The serial-port driver behind CreateFileW("COMn:") and the comm functions.
//
// A port number exists only once it is configured, with one of two back
// ends: a virtual line to emulated hardware (the device end is a LineDevice)
// or a host tty through termios (a device path, or a pseudo-terminal the
// platform creates). Ports are exclusive: while one handle is open a second
// CreateFileW fails with ERROR_ACCESS_DENIED.
//
// Every open starts from the same state: the line settings of a fresh UART
// driver (9600 bits per second, 8 data bits, no parity, one stop bit, DTR
// and RTS raised) and the time-outs and queue sizes of the port's options.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel/Devices.h"
#include "serial/Port.h"
#include "serial/VirtualPort.h"

namespace serial {

// Registers the "COM" driver with the device manager. Idempotent; the
// launcher and the tests call it before opening ports.
void InitializeDriver();

// Configures port `number` as a virtual line and returns its device end,
// which emulated hardware attaches to. Replaces an earlier configuration.
std::shared_ptr<VirtualPort> ConfigureVirtualPort(unsigned number, const VirtualPortOptions& options = {});

// Configures port `number` to open the tty at `path` (a USB-serial adapter,
// a pty slave) at each CreateFileW. Fails, with a reason, when the path is
// not a character device.
std::shared_ptr<PortConfig> ConfigureHostPort(unsigned number, const std::string& path, const PortOptions& options = {},
                                              std::string* error = nullptr);

// Configures port `number` on a pseudo-terminal the platform creates and
// returns the path of its slave end, for a person or a program to attach
// to (picocom, socat). The pty lives until the port is removed; attaching
// and detaching at the slave end may happen any number of times. Empty on
// failure, with a reason.
std::string ConfigurePtyPort(unsigned number, const PortOptions& options = {}, std::string* error = nullptr);

// The configuration of port `number`, or null.
std::shared_ptr<PortConfig> FindPort(unsigned number);
// Removes port `number`; false if it was not configured. An open handle to
// it fails from then on as if its device had vanished.
bool RemovePort(unsigned number);
// Port numbers configured now, ascending.
std::vector<unsigned> ConfiguredPorts();

namespace detail {
// The port table's side, for the back ends' configure functions: makes
// `config` port `number`, retiring the one it replaces.
void InstallPort(unsigned number, std::shared_ptr<PortConfig> config);
// The open port's side, for the table: a handle's device file on `config`;
// null with the last error set.
std::shared_ptr<kernel::DeviceFile> OpenComPort(std::shared_ptr<PortConfig> config);
}  // namespace detail

}  // namespace serial
