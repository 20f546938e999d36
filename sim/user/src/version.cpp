// Simulated Win32 user mode: the reported Windows version.
#include "platform/user.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace {

// The supportedOS ids a manifest declares for Windows 8.1 and for Windows 10 and 11.
const char kWindows81Id[] = "{1f676c76-80e1-4239-95bb-83d0f6d0da78}";
const char kWindows10Id[] = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}";

struct VersionState {
    bool FromManifest = false;      // SetInstalledWindows: the manifest decides what is reported
    DWORD Major = 6;
    DWORD Minor = 2;
    DWORD Build = 9200;
    DWORD PlatformId = VER_PLATFORM_WIN32_NT;
    DWORD FailWith = 0;
    int Queries = 0;
};

std::mutex g_lock;
VersionState g_version;

std::string ProgramManifest()
{
    const auto& manifests = sim::user::LoadedResources().Manifests;
    auto manifest = manifests.find(1);
    if (manifest == manifests.end())
        return std::string();
    std::ifstream file(manifest->second, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

// What a program with the loaded manifest is told on the installed system. Caller holds g_lock.
void ReportedVersion(DWORD* major, DWORD* minor, DWORD* build)
{
    *major = g_version.Major;
    *minor = g_version.Minor;
    *build = g_version.Build;
    bool after62 = g_version.Major > 6 || (g_version.Major == 6 && g_version.Minor > 2);
    if (!g_version.FromManifest || !after62)
        return;
    std::string manifest = ProgramManifest();
    bool declares10 = manifest.find(kWindows10Id) != std::string::npos;
    bool declares81 = manifest.find(kWindows81Id) != std::string::npos;
    if (g_version.Major >= 10 && declares10)
        return;
    if (declares81) {
        *major = 6;
        *minor = 3;
        *build = 9600;
        return;
    }
    *major = 6;
    *minor = 2;
    *build = 9200;
}

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
    ReportedVersion(&info->dwMajorVersion, &info->dwMinorVersion, &info->dwBuildNumber);
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

void SetInstalledWindows(DWORD major, DWORD minor, DWORD build)
{
    SetReportedVersion(major, minor, build, VER_PLATFORM_WIN32_NT);
    std::lock_guard<std::mutex> guard(g_lock);
    g_version.FromManifest = true;
}

void SetReportedVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_version.FromManifest = false;
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
