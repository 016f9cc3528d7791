// The firmware image transfer, the last and longest step of an update.
#include <windows.h>

#include "common/Common.h"
#include "device/Device.h"
#include "update/CeChat.h"
#include "update/Update.h"
#include "update/UpdateImages.h"
#include "update/UpdateLimits.h"

#define CONFIGURE_BAUD_RATE 0x50
#define SIZE_RECORD_FOLLOWS 0x54
#define IMAGE_SECTION 4000
#define MARKS_PER_LINE 23

// Ends the transfer as failed; a row of marks that has begun is closed, so
// that the failure's words start a line of their own.
static BOOL TransferFailed(HWND window, DWORD marks) {
  if (marks != 0) AppendLog(window, TEXT("\r\n"));
  NKDbgPrintfW(TEXT("Update firmware FAIL!!!"));
  return FALSE;
}

// An answer whose value is not examined: a break or a line error in its
// place lets the transfer go on, as the module may have answered; no
// answer in time, or a failed line, ends it.
static BOOL AnswerCame(DWORD outcome, BYTE awaited, LPCWSTR step) {
  if (outcome == AWAIT_GOT_BYTE || outcome == AWAIT_LINE_EVENT) return TRUE;
  NoteFailedWait(outcome, awaited, step);
  return FALSE;
}

// A write that failed or moved fewer bytes leaves the module waiting for
// bytes that will never come.
static BOOL WriteWent(BOOL ok, DWORD written, DWORD length, LPCWSTR step) {
  if (ok && written == length) return TRUE;
  NoteFailedWrite(step, written, length);
  return FALSE;
}

BOOL SendFirmwareImage(HWND window) {
  BOOL sent50 = SendByte(CONFIGURE_BAUD_RATE);
  NKDbgPrintfW(TEXT("Send 0x50 to configure baudrate as 115.2k !!!\r\n"));
  if (!WriteWent(sent50, sent50 ? 1 : 0, 1, TEXT("the memory check command 50h"))) return TransferFailed(window, 0);
  Sleep(100);

  NKDbgPrintfW(TEXT("Memory Check, We would get 3 char here !!!!\r\n"));
  if (!AnswerCame(AwaitByte(ACCEPTED, MEMORY_CHECK_LIMIT), ACCEPTED, TEXT("the memory check command 50h"))) {
    return TransferFailed(window, 0);
  }
  NKDbgPrintfW(TEXT("Memory Check, We should get 3 char above !!!!\r\n"));

  BOOL sent54 = SendByte(SIZE_RECORD_FOLLOWS);
  if (!WriteWent(sent54, sent54 ? 1 : 0, 1, TEXT("the size command 54h"))) return TransferFailed(window, 0);
  BYTE sizeRecord[3] = {0, 0, 0};
  if (UseFixedSize == 1) {
    sizeRecord[0] = 0x3F;
    sizeRecord[1] = 0xA0;
    sizeRecord[2] = 0x00;
    NKDbgPrintfW(TEXT("Write fixed file size\r\n"));
  }
  DWORD written = 0;
  BOOL ok = WriteFile(UpdatePortHandle(), sizeRecord, 3, &written, NULL);
  if (!WriteWent(ok, written, 3, TEXT("the size record"))) return TransferFailed(window, 0);

  for (int answer = 0; answer < 3; answer++) {
    if (!AnswerCame(AwaitByte(ACCEPTED, SIZE_RECORD_LIMIT), ACCEPTED, TEXT("the size record"))) {
      return TransferFailed(window, 0);
    }
  }

  DWORD marks = 0;
  const BYTE* image = LoadUpdateImage(IMAGE_FIRMWARE);
  if (image == NULL) {
    NoteFailure(TEXT("The program holds no firmware image"));
    return TransferFailed(window, 0);
  }
  NKDbgPrintfW(TEXT("Download.bin open succeed!!!! \r\n"));

  DWORD length = FIRMWARE_LENGTH;
  DWORD sent = 0;
  BYTE lengthRecord[3];
  lengthRecord[0] = (BYTE)(length / 65536);
  lengthRecord[1] = (BYTE)((length / 256) % 256);
  lengthRecord[2] = (BYTE)(length % 256);
  written = 0;
  ok = WriteFile(UpdatePortHandle(), lengthRecord, 3, &written, NULL);
  NKDbgPrintfW(TEXT("Write the compressed file size\r\n"));
  if (!WriteWent(ok, written, 3, TEXT("the image length"))) return TransferFailed(window, 0);
  Sleep(20);

  // Both checks run on over all sections; every section but the last has an
  // even length, so a position's parity is that of its offset in the image.
  BYTE section[IMAGE_SECTION];
  BYTE evenCheck = 0;
  BYTE oddCheck = 0;
  const DWORD sectionCount = (length + IMAGE_SECTION - 1) / IMAGE_SECTION;
  DWORD sectionNumber = 0;
  WCHAR step[48];
  while (sent != length) {
    DWORD sectionLength = length - sent < IMAGE_SECTION ? length - sent : IMAGE_SECTION;
    for (DWORD p = 0; p < sectionLength; p++) {
      section[p] = image[sent + p];
      if (p % 2 == 0) {
        evenCheck ^= section[p];
      } else {
        oddCheck ^= section[p];
      }
    }
    sent += sectionLength;
    sectionNumber++;
    wsprintfW(step, TEXT("image section %d of %d"), sectionNumber, sectionCount);

    written = 0;
    ok = WriteFile(UpdatePortHandle(), section, sectionLength, &written, NULL);
    NKDbgPrintfW(TEXT("Write %d bytes!, Totally write %d bytes\r\n"), written, sent);
    if (!WriteWent(ok, written, sectionLength, step)) return TransferFailed(window, marks);

    marks++;
    AppendLog(window, TEXT("#"));
    marks %= MARKS_PER_LINE;
    if (marks == 0) AppendLog(window, TEXT("\r\n"));

    if (sectionLength < IMAGE_SECTION) {
      NKDbgPrintfW(TEXT(" The last section sent; %d chars!!\r\n"), written);
      break;
    }
    if (!AnswerCame(AwaitByte(SECTION_ACKNOWLEDGED, IMAGE_SECTION_LIMIT), SECTION_ACKNOWLEDGED, step)) {
      return TransferFailed(window, marks);
    }
  }

  NKDbgPrintfW(TEXT(" Sending Checksum %X  %X !!\r\n"), evenCheck, oddCheck);
  BOOL sentEven = SendByte(evenCheck);
  BOOL sentOdd = sentEven && SendByte(oddCheck);
  DWORD checksSent = (sentEven ? 1 : 0) + (sentOdd ? 1 : 0);
  if (!WriteWent(sentOdd, checksSent, 2, TEXT("the image check bytes"))) return TransferFailed(window, marks);
  NKDbgPrintfW(TEXT("File upload complete!! file size %d , %X h , Size char %X  %X  %X\r\n"), length, length,
               lengthRecord[0], lengthRecord[1], lengthRecord[2]);

  DWORD outcome = AwaitByte(ACCEPTED, FINAL_ANSWER_LIMIT);
  if (outcome != AWAIT_GOT_BYTE) {
    NoteFailedWait(outcome, ACCEPTED, TEXT("the firmware image"));
    return TransferFailed(window, marks);
  }

  NKDbgPrintfW(TEXT("Firmware Updated....Done"));
  AppendLog(window, TEXT("\r\nFirmware Updated....Done\r\n"));
  KeepInFront = 0;
  Sleep(200);
  MessageBoxW(NULL, TEXT("Reboot device/Reset module !"), TEXT("Successful"), MB_OK);
  ResetRadio(NULL, 0, NULL, 0);
  RebootDevice(NULL, 0, NULL, 0);
  return TRUE;
}
