// Identifiers of the utility's resources and commands.
#ifndef RESOURCE_H
#define RESOURCE_H

// The menu and the menu-bar data share an identifier; the menu bar's one
// button opens popup 0 of the menu.
#define IDM_MAIN_MENU 105
#define IDM_MAIN_COMMAND1 40001
#define IDS_SYSTEM 40003

// Commands of the main window.
#define IDM_EXIT 101
#define IDM_PARTNER_BT 110
#define IDM_PARTNER_IR 111
#define IDM_LOGLEVEL_0 112
#define IDM_LOGLEVEL_1 113
#define IDM_LOGLEVEL_2 114
#define IDM_LOGLEVEL_3 115
#define IDM_PARTNER_IRDA 116
#define IDM_UPDATE_START 117
#define IDM_UPDATE_GO 118
#define IDM_ABOUT 120
#define IDM_REBOOT 150
#define IDM_RADIO_RESUME 151
#define IDM_RADIO_SUSPEND 152
#define IDM_RELAY_START 153
#define IDM_RADIO_RESET 154
#define IDM_RELAY_STOP 155

// The radio module's images, resources of the type "HEX".
#define IDR_BOOT1 107
#define IDR_BOOT2 108
#define IDR_FILE_SIZE 109
#define IDR_FW 110

#endif  // RESOURCE_H
