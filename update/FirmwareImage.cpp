// The firmware image transfer, the last and longest step of an update.
#include <windows.h>

#include "device/Device.h"
#include "shell/Shell.h"
#include "update/CeChat.h"
#include "update/Update.h"
#include "update/UpdateImages.h"

#define CONFIGURE_BAUD_RATE 0x50
#define SIZE_RECORD_FOLLOWS 0x54
#define ACCEPTED 0xA5
#define SECTION_ACKNOWLEDGED 0xAA
#define IMAGE_SECTION 4000
#define MARKS_PER_LINE 23

BOOL SendFirmwareImage(HWND window) {
  SendByte(CONFIGURE_BAUD_RATE);
  NKDbgPrintfW(TEXT("Send 0x50 to configure baudrate as 115.2k !!!\r\n"));
  Sleep(100);

  NKDbgPrintfW(TEXT("Memory Check, We would get 3 char here !!!!\r\n"));
  WaitForByte(ACCEPTED);
  NKDbgPrintfW(TEXT("Memory Check, We should get 3 char above !!!!\r\n"));

  SendByte(SIZE_RECORD_FOLLOWS);
  BYTE sizeRecord[3] = {0, 0, 0};
  if (UseFixedSize == 1) {
    sizeRecord[0] = 0x3F;
    sizeRecord[1] = 0xA0;
    sizeRecord[2] = 0x00;
    NKDbgPrintfW(TEXT("Write fixed file size\r\n"));
  }
  DWORD written = 0;
  WriteFile(UpdatePortHandle(), sizeRecord, 3, &written, NULL);

  WaitForByte(ACCEPTED);
  WaitForByte(ACCEPTED);
  WaitForByte(ACCEPTED);

  DWORD marks = 0;
  const BYTE* image = LoadUpdateImage(IMAGE_FIRMWARE);
  if (image == NULL) return FALSE;
  NKDbgPrintfW(TEXT("Download.bin open succeed!!!! \r\n"));

  DWORD length = FIRMWARE_LENGTH;
  DWORD sent = 0;
  BYTE lengthRecord[3];
  lengthRecord[0] = (BYTE)(length / 65536);
  lengthRecord[1] = (BYTE)((length / 256) % 256);
  lengthRecord[2] = (BYTE)(length % 256);
  WriteFile(UpdatePortHandle(), lengthRecord, 3, &written, NULL);
  NKDbgPrintfW(TEXT("Write the compressed file size\r\n"));
  Sleep(20);

  // Both checks run on over all sections; every section but the last has an
  // even length, so a position's parity is that of its offset in the image.
  BYTE section[IMAGE_SECTION];
  BYTE evenCheck = 0;
  BYTE oddCheck = 0;
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

    written = 0;
    WriteFile(UpdatePortHandle(), section, sectionLength, &written, NULL);
    NKDbgPrintfW(TEXT("Write %d bytes!, Totally write %d bytes\r\n"), written, sent);

    marks++;
    AppendLog(window, TEXT("#"));
    marks %= MARKS_PER_LINE;
    if (marks == 0) AppendLog(window, TEXT("\r\n"));

    if (sectionLength < IMAGE_SECTION) {
      NKDbgPrintfW(TEXT(" The last section sent; %d chars!!\r\n"), written);
      break;
    }
    WaitForByte(SECTION_ACKNOWLEDGED);
  }

  NKDbgPrintfW(TEXT(" Sending Checksum %X  %X !!\r\n"), evenCheck, oddCheck);
  SendByte(evenCheck);
  SendByte(oddCheck);
  NKDbgPrintfW(TEXT("File upload complete!! file size %d , %X h , Size char %X  %X  %X\r\n"), length, length,
               lengthRecord[0], lengthRecord[1], lengthRecord[2]);

  if (!WaitForByte(ACCEPTED)) {
    NKDbgPrintfW(TEXT("Update firmware FAIL!!!"));
    return FALSE;
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
