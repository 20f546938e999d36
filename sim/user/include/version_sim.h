// Simulated Win32 user mode: the reported Windows version (GetVersionExW). A test sets what the
// query reports, or makes it fail. By default it reports what Windows 8 and later report to a
// program whose manifest declares no supported systems: 6.2, build 9200, the NT platform.
#pragma once

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

static_assert(sizeof(OSVERSIONINFOW) == 276 && sizeof(OSVERSIONINFOEXW) == 284, "version structures");

extern "C" {
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);
}

namespace sim::user {

// The Windows that is installed. What the query then reports depends on the program's manifest
// (the loaded resource script's manifest 1), as on Windows 8.1 and later: a program that does
// not declare the running system as supported is told 6.2, build 9200.
void SetInstalledWindows(DWORD major, DWORD minor, DWORD build);
// Sets the reported version directly, whatever the manifest says.
void SetReportedVersion(DWORD major, DWORD minor, DWORD build = 0, DWORD platformId = VER_PLATFORM_WIN32_NT);
// Makes every version query fail with the error (0 restores the reported version).
void FailVersionQuery(DWORD error);
// Number of version queries made since the last reset.
int VersionQueries();
void ResetVersion();

} // namespace sim::user
