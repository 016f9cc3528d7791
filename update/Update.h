// The firmware update: boot stages, image transfer and the sequence that
// runs them.
#ifndef UPDATE_H
#define UPDATE_H

#include <windows.h>

#include <atomic>

extern std::atomic<DWORD> UseFixedSize;
extern std::atomic<HANDLE> UpdateThreadHandle;
extern std::atomic<HANDLE> CastThreadHandle;

// Each gives 1 when the module accepted the stage (0xA5), else 0.
BOOL SendBootStage1(void);
BOOL SendBootStage2(void);
// Gives 1 when the module confirmed the image, else 0.
BOOL SendFirmwareImage(HWND window);

// Why the update failed, in words for the log view, set where it failed.
extern WCHAR UpdateFailureText[192];
// How the failed step ended: an AWAIT_ value (update/CeChat.h),
// UPDATE_WRITE_FAILED or UPDATE_CANNOT_RUN.
extern DWORD UpdateFailureKind;
#define UPDATE_WRITE_FAILED 4
// Something the update needs is missing (an image in the program, a
// thread): another attempt would fail the same way.
#define UPDATE_CANNOT_RUN 6
// A wait for `awaited` after `step` ("boot stage 1", ...) that did not end
// on its byte.
void NoteFailedWait(DWORD outcome, BYTE awaited, LPCWSTR step);
// A wait for `awaited` after `step` that ran out of time with nothing but
// `events` breaks or line errors from the line.
void NoteOnlyLineErrors(BYTE awaited, LPCWSTR step, DWORD events);
// A write of `step` that failed or moved only `written` of `length` bytes.
void NoteFailedWrite(LPCWSTR step, DWORD written, DWORD length);
// Any other failure, in words; no attempt can mend it.
void NoteFailure(LPCWSTR text);
// TRUE when the failure noted last leaves nothing to go on with: the line
// failed, or another attempt would fail the same way.
BOOL UpdateLineFailed(void);

LRESULT StartUpdate(HWND window, WORD command, HWND control, WORD notification);
DWORD WINAPI UpdateThread(LPVOID window);

#endif  // UPDATE_H
