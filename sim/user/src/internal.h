// Shared machinery of the simulated Win32 user mode: the lock every entry point takes, the
// last-error slot, scripted failures, string helpers and the file-system primitives that the
// INF reader and the OEM store build on.
#pragma once

#include "sim/user/include/sim_user.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim::user::detail {

// Every entry point holds this lock for its whole run; the stand-in is reentrant through it.
std::recursive_mutex &Lock();
#define SIM_USER_LOCK() std::lock_guard<std::recursive_mutex> simUserGuard(::sim::user::detail::Lock())

// Counts the call and consumes a scripted failure: true (and *error set) if this call fails.
bool ScriptedFailure(const char *function, DWORD *error);

// Fails the call as scripted: sets the last error and returns true.
inline bool FailAsScripted(const char *function) {
    DWORD error = 0;
    if (!ScriptedFailure(function, &error)) return false;
    SetLastError(error);
    return true;
}

// Case folding as the system's case-insensitive name comparisons do it (ASCII and Latin-1).
WCHAR Upcase(WCHAR c);
std::u16string Upper(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string_view View(const WCHAR *s);  // empty for null

// Copies text with its NUL into a buffer of cch characters; false if it does not fit.
bool CopyOut(std::u16string_view text, WCHAR *buffer, size_t cch);

// ---- file system primitives (filesystem.cpp) ----
// Reads a whole file by its path (absolute or relative to the current directory).
bool ReadWholeFile(const std::u16string &path, std::string *content, DWORD *error);
bool PathIsFile(const std::u16string &path);
std::u16string FullPath(const std::u16string &path);  // normalised absolute path
void ResetFileSystem();

// ---- per-area reset hooks ----
void ResetRegistry();
void ResetSecurity();
void ResetDevices();
void ResetInf();
void ResetProcess();

// ---- security (security.cpp), used by the registry ----
struct StoredSecurity {
    std::vector<BYTE> owner;  // SID bytes
    DaclKind daclKind = DaclKind::List;
    std::vector<BYTE> dacl;   // ACL bytes when daclKind is List
};
StoredSecurity DefaultKeySecurity();
// Access the current token gets under this security for the desired mask (generic rights
// mapped to key rights, MAXIMUM_ALLOWED honoured). Returns the granted mask or 0 on denial.
bool AccessCheck(const StoredSecurity &security, ACCESS_MASK desired, ACCESS_MASK *granted);
ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask);
std::vector<BYTE> BuildAcl(const std::vector<AceSpec> &aces);
std::vector<AceSpec> ParseAcl(const BYTE *acl);
std::vector<BYTE> CurrentUserSid();
bool ValidSid(const void *sid, size_t maxBytes);
size_t SidLength(const void *sid);
bool ValidAcl(const void *acl);
std::vector<BYTE> SelfRelative(const StoredSecurity &security, SECURITY_INFORMATION info);
DWORD ApplyDescriptor(const void *sd, SECURITY_INFORMATION info, StoredSecurity *security);

// ---- outstanding resources, for sim::user::Open ----
int OpenTokens();
int OpenModules();
int OpenAllocations();
int OpenFinds();
int OpenKeys();
int OpenDeviceInfoSets();
int OpenInfs();

}  // namespace sim::user::detail
