// Simulated Win32 user mode: the reported Windows version.
#include "platform/user.h"

#include <mutex>

namespace {

struct VersionState {
    DWORD Major = 6;
    DWORD Minor = 2;
    DWORD Build = 9200;
    DWORD PlatformId = VER_PLATFORM_WIN32_NT;
    DWORD FailWith = 0;
    int Queries = 0;
};

std::mutex g_lock;
VersionState g_version;

} // namespace

// Accepts the two documented structure sizes; anything else fails as on Windows.
extern "C" BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_version.Queries++;
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (g_version.FailWith != 0) {
        SetLastError(g_version.FailWith);
        return FALSE;
    }
    info->dwMajorVersion = g_version.Major;
    info->dwMinorVersion = g_version.Minor;
    info->dwBuildNumber = g_version.Build;
    info->dwPlatformId = g_version.PlatformId;
    info->szCSDVersion[0] = 0;
    if (size == sizeof(OSVERSIONINFOEXW)) {
        auto* extended = reinterpret_cast<LPOSVERSIONINFOEXW>(info);
        extended->wServicePackMajor = 0;
        extended->wServicePackMinor = 0;
        extended->wSuiteMask = 0;
        extended->wProductType = 1;   // VER_NT_WORKSTATION
        extended->wReserved = 0;
    }
    return TRUE;
}

namespace sim::user {

void SetReportedVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_version.Major = major;
    g_version.Minor = minor;
    g_version.Build = build;
    g_version.PlatformId = platformId;
    g_version.FailWith = 0;
}

void FailVersionQuery(DWORD error)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_version.FailWith = error;
}

int VersionQueries()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_version.Queries;
}

void ResetVersion()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_version = VersionState{};
}

} // namespace sim::user
