// The serial conformance tests' fixture on the desktop (Win32 under Wine):
// the port under test, "COM4:", is one end of a socat pty pair that the
// Wine test maps into the prefix (tests/wine/conformance.sh); the peer is a
// second port, "COM5:", at the pair's other end, opened through the same
// desktop serial layer.
#include <windows.h>

#include "../../platform/serial/SerialTestSupport.h"

namespace serialtest {
namespace {

const WCHAR kPeerName[] = TEXT("COM5:");

class DesktopPeer : public Peer {
 public:
  ~DesktopPeer() override {
    if (peer_ != INVALID_HANDLE_VALUE) CloseHandle(peer_);
  }
  std::string Name() const override { return "socat pty pair"; }
  bool Setup(std::string* why) override {
    peer_ = CreateFileW(kPeerName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (peer_ == INVALID_HANDLE_VALUE) {
      *why = "cannot open COM5: (error " + std::to_string(GetLastError()) +
             "): the Wine test maps COM4: and COM5: to the ends of a pty pair";
      return false;
    }
    // Nothing an earlier case left on the line reaches this one.
    PurgeComm(peer_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    HANDLE port = OpenPort();
    if (port == INVALID_HANDLE_VALUE) {
      *why = "cannot open COM4: (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    CloseHandle(port);
    return true;
  }
  void Send(const std::vector<uint8_t>& bytes) override {
    DWORD written = 0;
    WriteFile(peer_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
  }
  std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds limit) override {
    SetTimeouts(peer_, 0, 0, static_cast<DWORD>(limit.count()));
    std::vector<uint8_t> bytes(count);
    DWORD read = 0;
    if (!ReadFile(peer_, bytes.data(), static_cast<DWORD>(count), &read, NULL)) read = 0;
    bytes.resize(read);
    return bytes;
  }
  void Vanish() override {
    CloseHandle(peer_);
    peer_ = INVALID_HANDLE_VALUE;
  }
  bool WritesCanBlock() const override { return true; }
  bool OverflowDrops() const override { return false; }

 private:
  HANDLE peer_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::string BackendName(Backend backend) { return backend == Backend::SocatPty ? "SocatPty" : "Other"; }

std::vector<Backend> Backends() { return {Backend::SocatPty}; }

std::unique_ptr<Peer> MakePeer(Backend backend) {
  if (backend != Backend::SocatPty) return nullptr;
  return std::make_unique<DesktopPeer>();
}

}  // namespace serialtest
