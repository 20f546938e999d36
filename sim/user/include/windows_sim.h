// Simulated Win32 user mode: what user-mode code sees through <windows.h>, <setupapi.h>,
// <cfgmgr32.h>, <winspool.h> and <shlwapi.h>.
#pragma once
