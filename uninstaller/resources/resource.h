// Resource identifiers of CardRwUninstall, shared by the resource script and the program.
#pragma once

// ---- Dialogs and their controls ----
#define IDD_MAIN 104
#define IDC_DEVICE_RADIO 1000
#define IDC_DEVICE_RADIO_LAST 1001
#define IDC_PROMPT 1002
#define IDC_MAIN_ICON 125

// ---- Icon groups ----
#define IDI_PROGRAM 103
#define IDI_DEVICE 117
#define IDI_DIALOG 124
#define IDI_CARD 125

// ---- Strings ----
#define IDS_PROMPT 1
#define IDS_ERROR 3
#define IDS_TITLE 15
#define IDS_WARNING 16
#define IDS_WRONG_VERSION 17
#define IDS_UNPLUG 18
#define IDS_REMOVED 3009
#define IDS_REMOVED_ON_REBOOT 3010
#define IDS_REMOVE_FAILED 3011
