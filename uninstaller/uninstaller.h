// CardRwUninstall: the routines of the uninstaller and the process-wide state they share.
#pragma once

#include "platform/user.h"

// Wide literals are UTF-16 in both builds (on the host TEXT comes from the simulated headers).
#ifndef TEXT
#define TEXT(s) L##s
#endif

// ---------------------------------------------------------------------------------------------
// Process-wide state
// ---------------------------------------------------------------------------------------------

// Module handle of the program: every string, dialog and icon is loaded through it.
extern HINSTANCE g_hInstance;
// Windows version recorded by RunUninstall before the sequence starts.
extern DWORD g_OsMajorVersion;
extern DWORD g_OsMinorVersion;
// 1 when the last comparison of the connected-device probe found the port active, else 0.
extern int g_DeviceConnected;

// Directories of the sequence, built once by PerformUninstall before anything is removed.
constexpr DWORD DIRECTORY_CHARS = 520;
extern WCHAR WindowsDir[DIRECTORY_CHARS];
extern WCHAR DriversDir[MAX_PATH];
extern WCHAR PrinterDriverDir[MAX_PATH];
extern WCHAR PrinterEnvDir[MAX_PATH];
extern WCHAR InfDir[MAX_PATH];

// ---------------------------------------------------------------------------------------------
// Entry, dialog and version gate (main.cpp)
// ---------------------------------------------------------------------------------------------

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void RunUninstall(HWND owner);
BOOL IsUnsupportedWindowsVersion();

// ---------------------------------------------------------------------------------------------
// Uninstall sequence (sequence.cpp)
// ---------------------------------------------------------------------------------------------

// 0 when the sequence ran to its end, otherwise the error of a failed directory query.
DWORD PerformUninstall(HWND owner);

// ---------------------------------------------------------------------------------------------
// Driver-package INF discovery (inf_discovery.cpp)
// ---------------------------------------------------------------------------------------------

constexpr int OEM_INF_SLOTS = 10;
constexpr int OEM_INF_NAME_CHARS = 20;   // base name of up to 19 characters and its terminator

struct OemInfList {
    WCHAR Names[OEM_INF_SLOTS][OEM_INF_NAME_CHARS];
};

// Returns 0 when at least one INF was found, -1 when none was, or the error of a search that
// could not start. *count always tells how many slots of the list were filled.
LONG FindOemInfs(PCWSTR section, WORD field, PCWSTR value, OemInfList* list, int* count);

// ---------------------------------------------------------------------------------------------
// Registry cleanup of the Windows 5.0 branch (registry_cleanup.cpp)
// ---------------------------------------------------------------------------------------------

LONG GrantKeyAccess(HKEY root, PCWSTR path, DWORD accessMask);
LONG DeleteKeyTree(HKEY root, PCWSTR path);
LONG RemoveCardPrinters(HKEY root, PCWSTR printerListPath);
LONG RemoveDeviceInterfaceKeys(HKEY root, PCWSTR classPath);

// ---------------------------------------------------------------------------------------------
// Connected-device probe (device_probe.cpp)
// ---------------------------------------------------------------------------------------------

void ProbeConnectedDevice(HKEY root, PCWSTR path);

// ---------------------------------------------------------------------------------------------
// File cleanup (file_cleanup.cpp)
// ---------------------------------------------------------------------------------------------

void ForceDeleteFile(PCWSTR path);
void RemoveMatchingDirectories(PCWSTR directory, PCWSTR pattern);
