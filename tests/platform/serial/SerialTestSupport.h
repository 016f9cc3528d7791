// What the serial conformance tests run against: each back end of a COM
// port with a peer at the other end of its line that the test drives. The
// header speaks the SDK only (the conformance tests include nothing else);
// SerialTestSupport.cpp sets the ports up with the stand-in's port table,
// tests/wine/support/DesktopSerialPeer.cpp on the desktop (Win32 under
// Wine).
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../Polling.h"

namespace serialtest {

using namespace std::chrono_literals;

constexpr unsigned kPort = 4;
inline const WCHAR* kPortName = TEXT("COM4:");

using polling::Eventually;

class Peer {
 public:
  virtual ~Peer() = default;
  virtual std::string Name() const = 0;
  // Configures port kPort; false (with a reason) when this host cannot.
  virtual bool Setup(std::string* why) = 0;
  // Bytes towards the port.
  virtual void Send(const std::vector<uint8_t>& bytes) = 0;
  // What the port sent, up to `count` bytes, waiting at most `limit`.
  virtual std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds limit) = 0;
  // The device goes away: unplugged, or the other side of a pty closes.
  virtual void Vanish() = 0;
  // Whether a write can be held up by the other side (so that it blocks).
  virtual bool WritesCanBlock() const = 0;
  // Bytes that do not fit the port's input queue: dropped with CE_RXOVER
  // (a UART), or left with the device until there is room (a host tty).
  virtual bool OverflowDrops() const = 0;
  // Makes bytes towards the peer take their time on the line, so that a
  // large write is held up even where nothing else holds it (an unpaced
  // virtual line). Nothing to do where writes can block already.
  virtual void PaceWrites() {}
};

enum class Backend { VirtualLine, OpenPty, PlatformPty, SocatPty };
std::string BackendName(Backend backend);
std::unique_ptr<Peer> MakePeer(Backend backend);
// Every back end of this build: natively all four; on the desktop the port
// is one end of a socat pty pair, the peer a second port at the other end.
std::vector<Backend> Backends();

// Makes the COM ports known to CreateFileW ("COMn:"); MakePeer does it too.
void InitializePorts();

// A port this program never configures.
inline const WCHAR* kAbsentPortName = TEXT("COM9:");

// Opens kPort for reading and writing as the system does.
inline HANDLE OpenPort() {
  return CreateFileW(kPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

inline bool SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                        DWORD writeConstant = 0) {
  COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
  return SetCommTimeouts(port, &t);
}

// CPU time the calling thread has used.
std::chrono::nanoseconds ThreadCpuTime();

}  // namespace serialtest
