// The two boot stages of the module's boot-strap loader.
#include <windows.h>

#include "update/CeChat.h"
#include "update/Update.h"
#include "update/UpdateImages.h"
#include "update/UpdateLimits.h"

#define BOOT2_SECTION 1000

BOOL SendBootStage1(void) {
  NKDbgPrintfW(TEXT("Bootload1_v2.bin open succeed!!!!\r\n"));
  const BYTE* image = LoadUpdateImage(IMAGE_BOOT1);
  if (image == NULL) {
    NoteFailure(TEXT("The program holds no boot stage 1 image"));
    return FALSE;
  }

  // One frame: the length, the image, the XOR of the image.
  BYTE frame[BOOT1_LENGTH + 2];
  BYTE check = 0;
  frame[0] = (BYTE)BOOT1_LENGTH;
  for (DWORD i = 0; i < BOOT1_LENGTH; i++) {
    frame[1 + i] = image[i];
    check ^= image[i];
  }
  frame[BOOT1_LENGTH + 1] = check;

  DWORD written = 0;
  WriteFile(UpdatePortHandle(), frame, sizeof(frame), &written, NULL);
  DWORD outcome = AwaitByte(ACCEPTED, BOOT1_ANSWER_LIMIT);
  if (outcome != AWAIT_GOT_BYTE) NoteFailedWait(outcome, ACCEPTED, TEXT("boot stage 1"));
  return outcome == AWAIT_GOT_BYTE;
}

BOOL SendBootStage2(void) {
  const BYTE* image = LoadUpdateImage(IMAGE_BOOT2);
  if (image == NULL) {
    NoteFailure(TEXT("The program holds no boot stage 2 image"));
    return FALSE;
  }
  NKDbgPrintfW(TEXT("Bootload2_v3.bin open succeed!!!! \r\n"));

  DWORD remaining = BOOT2_LENGTH;
  BYTE lengthHigh = (BYTE)(remaining / 256);
  BYTE lengthLow = (BYTE)(remaining % 256);
  SendByte(lengthHigh);
  SendByte(lengthLow);
  Sleep(20);

  BYTE section[BOOT2_SECTION];
  BYTE check = 0;
  DWORD sections = 0;
  const BYTE* next = image;
  for (;;) {
    DWORD length = remaining < BOOT2_SECTION ? remaining : BOOT2_SECTION;
    if (length == 0) break;
    for (DWORD i = 0; i < length; i++) {
      section[i] = next[i];
      check ^= next[i];
    }
    next += length;
    remaining -= length;

    DWORD written = 0;
    WriteFile(UpdatePortHandle(), section, length, &written, NULL);
    if (length < BOOT2_SECTION) {
      NKDbgPrintfW(TEXT(" The last section sent : %d chars!!\r\n"), length);
      break;
    }
    // The module acknowledges each full section. A break or a line error
    // in its place, or no answer in time, is a refusal of the stage: the
    // loader has stopped taking it, and the rest would go nowhere.
    sections++;
    DWORD acknowledged = AwaitByte(SECTION_ACKNOWLEDGED, BOOT2_SECTION_LIMIT);
    if (acknowledged != AWAIT_GOT_BYTE) {
      WCHAR step[40];
      wsprintfW(step, TEXT("boot stage 2 section %d"), sections);
      NoteFailedWait(acknowledged, SECTION_ACKNOWLEDGED, step);
      return FALSE;
    }
  }

  SendByte(check);
  NKDbgPrintfW(TEXT("Bootload2 : %X  %X  %d checkByte : %X\r\n"), lengthHigh, lengthLow, remaining, check);
  DWORD outcome = AwaitByte(ACCEPTED, BOOT2_ANSWER_LIMIT);
  if (outcome != AWAIT_GOT_BYTE) NoteFailedWait(outcome, ACCEPTED, TEXT("boot stage 2"));
  return outcome == AWAIT_GOT_BYTE;
}
