// Test interface of the simulated Win32 user mode: builds a simulated Windows installation
// (registry, accounts, devices, INF files, OEM driver packages, files), scripts failures and
// inspects what the code under test did. Everything here is host-only test machinery.
#pragma once

#include "sim/user/include/windows_sim.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::user {

// ======================================================================================
// Whole installation
// ======================================================================================

// Back to a fresh installation: Windows in C:\Windows, the user "Operator" (an elevated
// administrator), no devices, no OEM packages, empty standard streams, nothing recorded.
void Reset();
// Other parts of the stand-in register what they must clear on Reset.
void RegisterResetHook(std::function<void()> hook);

// Makes the next call(s) of a platform function fail with an error, by name:
// nth = 1 fails the next call, nth = 3 the third from now; count calls fail from there on
// (0: every call from there on). Names are the Win32 names ("SetupDiGetDeviceInfoListDetailW").
void FailCall(const std::string &function, DWORD error, int nth = 1, int count = 1);
// How often a platform function was called since Reset.
int CallCount(const std::string &function);

// Outstanding resources, for leak checks.
struct OpenCounts {
    int registryKeys = 0;
    int deviceInfoSets = 0;
    int infFiles = 0;
    int findHandles = 0;
    int modules = 0;
    int tokens = 0;
    int allocations = 0;  // LocalAlloc and HeapAlloc blocks not yet freed
};
OpenCounts Open();

// ======================================================================================
// Strings
// ======================================================================================

std::u16string U16(const std::string &utf8);
std::string Utf8(const std::u16string &text);
std::string Utf8(const WCHAR *text);

// ======================================================================================
// Accounts and security
// ======================================================================================

// The logged-on user. Default "Operator", SID S-1-5-21-1004336348-1177238915-682003330-1001.
void SetCurrentUser(const std::u16string &name, const std::string &sidText);
// Whether the token carries the Administrators group (an elevated process). Default true.
void SetElevated(bool elevated);
// Privileges the token holds (enabled or not). Default: SeShutdownPrivilege held, disabled.
void SetPrivilegeHeld(const std::u16string &name, bool held);
bool PrivilegeEnabled(const std::u16string &name);

std::vector<BYTE> SidFromText(const std::string &sidText);
std::string SidToText(const void *sid);

struct AceSpec {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // or ACCESS_DENIED_ACE_TYPE
    ACCESS_MASK mask = 0;
    std::string sid;                     // "S-1-5-32-544"
    BYTE flags = 0;
    bool operator==(const AceSpec &o) const { return type == o.type && mask == o.mask && sid == o.sid && flags == o.flags; }
};
enum class DaclKind { Absent, Null, List };
struct DaclSpec {
    DaclKind kind = DaclKind::List;
    std::vector<AceSpec> aces;
};

// Well-known SIDs.
extern const char *const kSidSystem;          // S-1-5-18
extern const char *const kSidAdministrators;  // S-1-5-32-544
extern const char *const kSidUsers;           // S-1-5-32-545
extern const char *const kSidEveryone;        // S-1-1-0

// ======================================================================================
// Registry
// ======================================================================================

// Paths are below a predefined root, components separated by a backslash. Keys are created
// with their missing parents; a new key takes the DACL of its parent.
void CreateKey(HKEY root, const std::u16string &path);
void SetValue(HKEY root, const std::u16string &path, const std::u16string &name, DWORD type,
              const std::vector<BYTE> &data);
void SetString(HKEY root, const std::u16string &path, const std::u16string &name, const std::u16string &text);
void SetDword(HKEY root, const std::u16string &path, const std::u16string &name, DWORD value);
void SetMultiString(HKEY root, const std::u16string &path, const std::u16string &name,
                    const std::vector<std::u16string> &strings);
bool KeyExists(HKEY root, const std::u16string &path);
// Subkey names in enumeration order.
std::vector<std::u16string> SubkeyNames(HKEY root, const std::u16string &path);
std::optional<std::vector<BYTE>> GetValue(HKEY root, const std::u16string &path, const std::u16string &name,
                                          DWORD *type = nullptr);
std::optional<std::u16string> GetString(HKEY root, const std::u16string &path, const std::u16string &name);
void SetKeyDacl(HKEY root, const std::u16string &path, const DaclSpec &dacl);
DaclSpec KeyDacl(HKEY root, const std::u16string &path);
// Access the current user's token is granted on a key by its DACL (MAXIMUM_ALLOWED).
ACCESS_MASK GrantedAccess(HKEY root, const std::u16string &path);

// ======================================================================================
// File system (drive C:, Windows directory C:\Windows)
// ======================================================================================

void AddDirectory(const std::u16string &path);
void AddFile(const std::u16string &path, const std::string &content, DWORD attributes = 0);
bool FileExists(const std::u16string &path);       // a file, not a directory
bool DirectoryExists(const std::u16string &path);
std::optional<std::string> FileContent(const std::u16string &path);
// Names in a directory in the order FindFirstFileW returns them (without "." and "..").
std::vector<std::u16string> ListDirectory(const std::u16string &path);
// A file held open by another process: deleting it fails with ERROR_SHARING_VIOLATION.
void SetFileInUse(const std::u16string &path, bool inUse);
void SetCurrentDir(const std::u16string &path);
std::u16string WindowsDir();  // C:\Windows
std::u16string InfDir();      // C:\Windows\inf

// ======================================================================================
// Setup device database
// ======================================================================================

enum class RemoveAnswer { Removed, NeedsRestart, NeedsReboot, Fails };

struct DeviceSpec {
    std::u16string instanceId;
    std::u16string className;  // the class must have been added with AddSetupClass
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    bool present = true;
    RemoveAnswer removeAnswer = RemoveAnswer::Removed;
    DWORD removeError = ERROR_ACCESS_DENIED;  // last error of a failed DIF_REMOVE
    DWORD propertyError = 0;                   // nonzero: every property read fails with it
    bool instanceIdUnreadable = false;         // CM_Get_Device_ID_ExW fails for it
};

void AddSetupClass(const std::u16string &name, const GUID &guid);
void AddDevice(const DeviceSpec &device);
bool DeviceInstalled(const std::u16string &instanceId);
std::vector<std::u16string> InstalledDevices();

// Every DIF_REMOVE the class installers received, in order.
struct RemoveCall {
    std::u16string instanceId;
    DWORD scope = 0;       // from the class-install parameters, 0 if none were set
    DWORD hwProfile = 0;
};
std::vector<RemoveCall> RemoveCalls();

// Every SetupDiGetDeviceRegistryPropertyW call, in order.
struct PropertyRead {
    std::u16string instanceId;
    DWORD property = 0;
    DWORD offeredBytes = 0;
    bool succeeded = false;
};
std::vector<PropertyRead> PropertyReads();

// The local computer's name; other machine names are refused as unknown.
std::u16string ComputerName();

// ======================================================================================
// INF files and the OEM driver package store
// ======================================================================================

// Installs an OEM driver package: the INF (and its .PNF) under C:\Windows\inf\<name>.
// inUse: a device is installed from it, so removal needs SUOI_FORCEDELETE.
void InstallOemInf(const std::u16string &name, const std::string &content, bool inUse = false);
bool OemInfInstalled(const std::u16string &name);
struct UninstallOemInfCall {
    std::u16string name;
    DWORD flags = 0;
    bool succeeded = false;
    DWORD error = 0;
};
std::vector<UninstallOemInfCall> UninstallOemInfCalls();
// "setupapi.dll" can be made unavailable, or made to lack SetupUninstallOEMInfW.
void SetSetupApiAvailable(bool loads, bool exportsUninstallOemInf);

// ======================================================================================
// Process: standard streams, message table, shutdown
// ======================================================================================

// Connected standard streams are captured; a GUI process has none (GetStdHandle gives NULL).
void SetStdStreamsConnected(bool connected);
std::string StdOut();
std::string StdErr();
// The program's message table. By default the program carries none.
void SetMessageTable(const std::map<DWORD, std::u16string> &messages);

struct ShutdownRequest {
    std::u16string machine;
    std::u16string message;
    DWORD timeout = 0;
    bool forceAppsClosed = false;
    bool reboot = false;
    DWORD reason = 0;
};
std::vector<ShutdownRequest> ShutdownRequests();

}  // namespace sim::user
