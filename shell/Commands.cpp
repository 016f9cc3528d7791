// The command table, the settings commands, the log view and the About box.
#include <windows.h>
#include <commctrl.h>

#include "device/Device.h"
#include "relay/Relay.h"
#include "shell/Shell.h"
#include "shell/resources/resource.h"
#include "update/Update.h"

std::atomic<DWORD> LogLevel{3};

struct CommandEntry {
  WORD command;
  CommandHandler handler;
};

static const CommandEntry CommandTable[] = {
    {IDOK, CloseMainWindow},
    {IDM_EXIT, CloseMainWindow},
    {IDM_ABOUT, ShowAboutBox},
    {IDM_RADIO_SUSPEND, SuspendRadio},
    {IDM_RADIO_RESUME, ResumeRadio},
    {IDM_RADIO_RESET, ResetRadio},
    {IDM_RELAY_START, StartRelay},
    {IDM_RELAY_STOP, StopRelay},
    {IDM_REBOOT, RebootDevice},
    {IDM_PARTNER_BT, SelectSetting},
    {IDM_PARTNER_IR, SelectSetting},
    {IDM_PARTNER_IRDA, SelectSetting},
    {IDM_LOGLEVEL_0, SelectSetting},
    {IDM_LOGLEVEL_1, SelectSetting},
    {IDM_LOGLEVEL_2, SelectSetting},
    {IDM_LOGLEVEL_3, SelectSetting},
    {IDM_UPDATE_START, StartUpdate},
    {IDM_UPDATE_GO, StartUpdate},
};

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)message;
  WORD command = LOWORD(wParam);
  WORD notification = HIWORD(wParam);
  for (size_t i = 0; i < sizeof(CommandTable) / sizeof(CommandTable[0]); i++) {
    if (CommandTable[i].command == command) {
      return CommandTable[i].handler(window, command, (HWND)lParam, notification);
    }
  }
  return 0;
}

void AppendLog(HWND window, LPCWSTR text) {
  if (LogLevel == 0) return;
  ShowLogText(window, text);
}

LRESULT CloseMainWindow(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  SendMessageW(window, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT ShowAboutBox(HWND window, WORD command, HWND control, WORD notification) {
  (void)command, (void)control, (void)notification;
  HRSRC found = FindResourceW(AppInstance, TEXT("aboutbox"), RT_DIALOG);
  HGLOBAL dialogTemplate = found != NULL ? LoadResource(AppInstance, found) : NULL;
  if (dialogTemplate != NULL) {
    DialogBoxIndirectParamW(AppInstance, (LPCDLGTEMPLATEW)dialogTemplate, window, AboutDialogProc, 0);
  }
  return 0;
}

BOOL CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(dialog, 0);
    return TRUE;
  }
  return FALSE;
}

// Clears the marks of a group, in order, and sets the chosen one.
static void CheckOneOf(HMENU menu, const WORD* group, size_t count, WORD chosen) {
  for (size_t i = 0; i < count; i++) CheckMenuItem(menu, group[i], MF_UNCHECKED);
  CheckMenuItem(menu, chosen, MF_CHECKED);
}

LRESULT SelectSetting(HWND window, WORD command, HWND control, WORD notification) {
  (void)control, (void)notification;
  static const WORD PartnerGroup[] = {IDM_PARTNER_BT, IDM_PARTNER_IR, IDM_PARTNER_IRDA};
  static const WORD LogLevelGroup[] = {IDM_LOGLEVEL_0, IDM_LOGLEVEL_1, IDM_LOGLEVEL_2, IDM_LOGLEVEL_3};

  HMENU menu = CommandBar_GetMenu(MenuBar, 0);
  if (command == IDM_PARTNER_BT || command == IDM_PARTNER_IR || command == IDM_PARTNER_IRDA) {
    // The partner cannot change under a relay that holds a port.
    if (PartnerPort != INVALID_HANDLE_VALUE || ModulePort != INVALID_HANDLE_VALUE) {
      MessageBoxW(window, TEXT("COMs should be released first"), NULL, MB_ICONERROR);
      return 1;
    }
    CheckOneOf(menu, PartnerGroup, 3, command);
    RelayPartner = command == IDM_PARTNER_BT ? 1 : (command == IDM_PARTNER_IR ? 2 : 3);
    return 0;
  }
  CheckOneOf(menu, LogLevelGroup, 4, command);
  LogLevel = (DWORD)(command - IDM_LOGLEVEL_0);
  return 0;
}
