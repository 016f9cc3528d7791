// The serial relay: copies bytes both ways between the radio module's UART
// and a partner port (Bluetooth UART, infrared or IrDA).
#ifndef RELAY_H
#define RELAY_H

#include <windows.h>

#include <atomic>

// How long the release gives a copy thread to leave by itself before it
// ends the thread by force, in milliseconds.
#define RELAY_STOP_WAIT 1000

// Partner choices of RelayPartner.
#define PARTNER_BTUART 1
#define PARTNER_INFRARED 2
#define PARTNER_IRDA 3

extern std::atomic<HANDLE> ModulePort;
extern std::atomic<HANDLE> PartnerPort;
extern std::atomic<DWORD> RelayPartner;
extern std::atomic<DWORD> RelayRunning;
extern std::atomic<HANDLE> ModuleToPartnerHandle;
extern std::atomic<HANDLE> PartnerToModuleHandle;

LRESULT StartRelay(HWND window, WORD command, HWND control, WORD notification);
LRESULT StopRelay(HWND window, WORD command, HWND control, WORD notification);
// Closes the relay's ports and stops its copy threads, silently: the
// threads are asked to leave and awaited for RELAY_STOP_WAIT; one that is
// still running then is terminated (and the trace says so) and awaited.
// The ports are closed last, once no copy thread is left.
void ReleaseRelay(void);

BOOL OpenRelayPort(HWND window, LPCWSTR settingsName);
BOOL OpenInfraredPort(HWND window);
BOOL OpenIrdaPort(HWND window);

DWORD WINAPI ModuleToPartnerThread(LPVOID window);
DWORD WINAPI PartnerToModuleThread(LPVOID window);

#endif  // RELAY_H
