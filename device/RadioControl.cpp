// Suspend, resume and reset of the radio module through its interface driver.
#include <windows.h>

#include "common/Common.h"
#include "device/Device.h"

struct RadioRequest {
  DWORD controlCode;
  LPCWSTR openFailureText;
  LPCWSTR requestFailureText;
  LPCWSTR successText;  // NULL: none
};

static LRESULT SendRadioRequest(HWND window, const RadioRequest* request) {
  WCHAR text[512];
  HANDLE driver = CreateFileW(TEXT("RIL1:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (driver == INVALID_HANDLE_VALUE) {
    wsprintfW(text, request->openFailureText, GetLastError());
    ShowLogText(window, text);
    return 1;
  }
  if (!DeviceIoControl(driver, request->controlCode, NULL, 0, NULL, 0, NULL, NULL)) {
    wsprintfW(text, request->requestFailureText, GetLastError());
    ShowLogText(window, text);
    CloseHandle(driver);
    return 1;
  }
  if (request->successText != NULL) ShowLogText(window, request->successText);
  CloseHandle(driver);
  return 0;
}

LRESULT SuspendRadio(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  static const RadioRequest suspend = {IOCTL_RIL_SUSPEND, TEXT("Failed to open RIL1:, error code: 0x%08lX\r\n"),
                                       TEXT("Failed to suspend RIL action, error code: 0x%08lX\r\n"), NULL};
  return SendRadioRequest(window, &suspend);
}

LRESULT ResumeRadio(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  static const RadioRequest resume = {IOCTL_RIL_RESUME, TEXT("Failed to open RIL1:, error code: 0x%08lX\r\n"),
                                      TEXT("Failed to resume RIL action, error code: 0x%08lX\r\n"),
                                      TEXT("RIL has been resumed\r\n")};
  return SendRadioRequest(window, &resume);
}

LRESULT ResetRadio(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  static const RadioRequest reset = {IOCTL_RIL_RESET,
                                     TEXT("Failed to open RIL1,CANNOT reset:, error code: 0x%08lX\r\n"),
                                     TEXT("Failed to reset GSM/GPRS module, error code: 0x%08lX\r\n"),
                                     TEXT("GSM/GPRS has been reset\r\n")};
  // The reset's success text shows only when there is a window to show it in.
  RadioRequest request = reset;
  if (window == NULL) request.successText = NULL;
  return SendRadioRequest(window, &request);
}
