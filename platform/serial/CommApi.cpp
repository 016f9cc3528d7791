// The comm API functions (GetCommState ... GetCommModemStatus): each finds
// the handle's open port and checks the pointers it is given; the port
// (ComFile.cpp) does the rest. Also OpenComPort, the port table's way to a
// handle's device file.
#include <windows.h>

#include <memory>
#include <utility>

#include "kernel/Handles.h"
#include "kernel/Thread.h"
#include "serial/ComFile.h"
#include "serial/Serial.h"

namespace serial::detail {
namespace {

std::shared_ptr<ComFile> PortOf(HANDLE handle) {
  auto port = kernel::Reference<ComFile>(handle);
  if (!port) SetLastError(ERROR_INVALID_HANDLE);
  return port;
}

// The port for a call that needs `pointer`: a bad handle fails first, then a
// missing pointer with ERROR_INVALID_PARAMETER.
std::shared_ptr<ComFile> PortWith(HANDLE handle, const void* pointer) {
  auto port = PortOf(handle);
  if (port && pointer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return port;
}

}  // namespace

std::shared_ptr<kernel::DeviceFile> OpenComPort(std::shared_ptr<PortConfig> config) {
  auto file = std::make_shared<ComFile>(std::move(config));
  DWORD error = ERROR_GEN_FAILURE;
  if (!file->Start(&error)) {
    SetLastError(error);
    return nullptr;
  }
  return file;
}

}  // namespace serial::detail

// ------------------------------------------------------------------ API

using kernel::PlatformCall;
using serial::detail::PortOf;
using serial::detail::PortWith;

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  PlatformCall call;
  auto port = PortWith(hFile, lpDCB);
  return port ? port->GetState(lpDCB) : FALSE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  PlatformCall call;
  auto port = PortWith(hFile, lpDCB);
  return port ? port->SetState(*lpDCB) : FALSE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  PlatformCall call;
  auto port = PortWith(hFile, lpCommTimeouts);
  return port ? port->GetTimeouts(lpCommTimeouts) : FALSE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  PlatformCall call;
  auto port = PortWith(hFile, lpCommTimeouts);
  return port ? port->SetTimeouts(*lpCommTimeouts) : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  PlatformCall call;
  auto port = PortOf(hFile);
  return port ? port->Purge(dwFlags) : FALSE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  PlatformCall call;
  auto port = PortOf(hFile);
  return port ? port->Escape(dwFunc) : FALSE;
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  PlatformCall call;
  auto port = PortOf(hFile);
  return port ? port->Setup(dwInQueue, dwOutQueue) : FALSE;
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  PlatformCall call;
  auto port = PortOf(hFile);
  return port ? port->SetMask(dwEvtMask) : FALSE;
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  PlatformCall call;
  auto port = PortWith(hFile, lpEvtMask);
  return port ? port->GetMask(lpEvtMask) : FALSE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  PlatformCall call;
  auto port = PortOf(hFile);
  if (!port) return FALSE;
  if (lpEvtMask == nullptr || lpOverlapped != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpEvtMask = 0;
  return port->WaitEvent(lpEvtMask);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  PlatformCall call;
  auto port = PortOf(hFile);
  return port ? port->ClearError(lpErrors, lpStat) : FALSE;
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  PlatformCall call;
  auto port = PortWith(hFile, lpModemStat);
  return port ? port->ModemStatus(lpModemStat) : FALSE;
}
