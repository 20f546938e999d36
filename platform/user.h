// The one place where user-mode code chooses its platform headers: the Windows SDK headers
// that mingw-w64 ships for the Windows build, the simulated Win32 user mode for the host build.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <winspool.h>
#include <shlwapi.h>
#else
#include "sim/user/include/windows_sim.h"
#endif
