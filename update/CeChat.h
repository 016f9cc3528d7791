// The update line: "COM1:" to the radio module, and the byte primitives the
// module's boot-strap protocol is built on.
#ifndef CECHAT_H
#define CECHAT_H

#include <windows.h>

#include <atomic>

struct UpdatePort {
  WCHAR deviceName[8];
  DCB settings;
  std::atomic<HANDLE> handle;  // 0 while the line is not open
};

// The most recently opened line; every user takes its handle from here at
// each use.
extern std::atomic<UpdatePort*> CurrentUpdatePort;

// The module loader's answers: a stage, record or image accepted, and an
// image section received.
#define ACCEPTED 0xA5
#define SECTION_ACKNOWLEDGED 0xAA

// What the update purges when it opens, closes or hands over the line:
// both queues emptied and pending transfers aborted.
#define PURGE_ALL (PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)

// How a wait for a byte of the module ended (AwaitByte).
#define AWAIT_LINE_EVENT 0   // a break or a line error, no byte received
#define AWAIT_GOT_BYTE 1     // the awaited byte has been read
#define AWAIT_TIMED_OUT 2    // the time limit ran out first
#define AWAIT_LINE_FAILED 3  // the line itself failed (gone, closed)
#define AWAIT_NO_TIMER 5     // the time limit could not be set up; no wait
// A wait without a time limit.
#define AWAIT_NO_LIMIT INFINITE

HANDLE UpdatePortHandle(void);
BOOL OpenUpdatePort(void);
// Empties both queues, aborts pending transfers, and drops the line errors
// of the bytes dropped (a garbled byte's error left pending would end the
// next wait as a line event without a byte).
void PurgeUpdateLine(void);
// Also ends the helper thread of the time limits.
void CloseUpdatePort(void);
// TRUE when the byte was written.
BOOL SendByte(BYTE value);
// 1 when the byte arrived, 0 when a break or a line error (or a failed
// line) ended the wait first; no time limit.
BOOL WaitForByte(DWORD awaited);
// Waits at most `limit` ms of the platform clock for the byte; one of the
// AWAIT_ values. A timed-out wait traces what it waited for.
DWORD AwaitByte(DWORD awaited, DWORD limit);
// The error code of the line's failure that ended the last wait
// (AWAIT_LINE_FAILED), or of the time limit that could not be set up
// (AWAIT_NO_TIMER).
DWORD AwaitLineError(void);
// TRUE, with the byte, when the last wait read a byte other than the
// awaited one; the last such byte.
BOOL AwaitStrayByte(BYTE* value);
DWORD WINAPI CastThread(LPVOID parameter);

#endif  // CECHAT_H
