// Words for a failed update: which step, and what it waited for.
#include <windows.h>

#include "update/CeChat.h"
#include "update/Update.h"

WCHAR UpdateFailureText[192];
DWORD UpdateFailureKind = AWAIT_GOT_BYTE;

void NoteFailedWait(DWORD outcome, BYTE awaited, LPCWSTR step) {
  UpdateFailureKind = outcome;
  BYTE stray = 0;
  if (outcome == AWAIT_TIMED_OUT && AwaitStrayByte(&stray)) {
    // The module talks, but not with the answer: the cable is not to blame.
    wsprintfW(UpdateFailureText, TEXT("Wrong answer from the radio module (waiting for %Xh after %s, got %Xh)"),
              awaited, step, stray);
  } else if (outcome == AWAIT_TIMED_OUT) {
    wsprintfW(UpdateFailureText, TEXT("No answer from the radio module (waiting for %Xh after %s)"), awaited, step);
  } else if (outcome == AWAIT_LINE_EVENT) {
    wsprintfW(UpdateFailureText, TEXT("The radio module refused %s (a break or line error instead of %Xh)"), step,
              awaited);
  } else if (outcome == AWAIT_NO_TIMER) {
    wsprintfW(UpdateFailureText, TEXT("Could not time the wait for %Xh after %s (error %d)"), awaited, step,
              AwaitLineError());
  } else {
    wsprintfW(UpdateFailureText,
              TEXT("The line to the radio module failed (COM1: error %d while waiting for %Xh after %s)"),
              AwaitLineError(), awaited, step);
  }
}

void NoteOnlyLineErrors(BYTE awaited, LPCWSTR step, DWORD events) {
  // Not silence: the line is noisy, or the module talks at another rate.
  UpdateFailureKind = AWAIT_TIMED_OUT;
  wsprintfW(UpdateFailureText,
            TEXT("The line to the radio module reported only errors (%d breaks or line errors and no byte while ")
                TEXT("waiting for %Xh after %s)"),
            events, awaited, step);
}

void NoteFailedWrite(LPCWSTR step, DWORD written, DWORD length) {
  UpdateFailureKind = UPDATE_WRITE_FAILED;
  wsprintfW(UpdateFailureText, TEXT("Could not write %s to the radio module (COM1: took %d of %d bytes)"), step,
            written, length);
}

void NoteFailure(LPCWSTR text) {
  UpdateFailureKind = UPDATE_CANNOT_RUN;
  wcsncpy(UpdateFailureText, text, sizeof(UpdateFailureText) / sizeof(WCHAR) - 1);
  UpdateFailureText[sizeof(UpdateFailureText) / sizeof(WCHAR) - 1] = 0;
}

BOOL UpdateLineFailed(void) {
  return UpdateFailureKind == AWAIT_LINE_FAILED || UpdateFailureKind == UPDATE_WRITE_FAILED ||
         UpdateFailureKind == AWAIT_NO_TIMER || UpdateFailureKind == UPDATE_CANNOT_RUN;
}
