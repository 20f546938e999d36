// CardRwUninstall: registry cleanup of the Windows 5.0 branch. Opens the device's enumeration
// tree to the current user, deletes the card printer's queues and driver keys, and deletes the
// device's registered interfaces under one interface class. Every key handle a routine opens is
// closed before it returns, on every path.
#include "uninstaller/uninstaller.h"
#include "uninstaller/text.h"

namespace {

constexpr DWORD SUBKEY_NAME_CHARS = 255;        // terminator included
constexpr DWORD USER_NAME_CHARS = 250;
constexpr DWORD DOMAIN_NAME_CHARS = 250;
constexpr DWORD SID_BYTES = 1024;
constexpr DWORD SECURITY_DESCRIPTOR_BYTES = 65576;
constexpr DWORD PRINTER_VALUE_BYTES = 512;      // 256 wide characters

const WCHAR PrinterModelName[] = TEXT("Rewritable Card Printer (61k)");
const WCHAR PrinterDriverKey[] =
    TEXT("SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3");
const WCHAR InterfaceKeyPrefix[] = TEXT("##?#USB#Vid_3f7b&Pid_0a51");
constexpr size_t INTERFACE_KEY_PREFIX_CHARS = 25;
static_assert(sizeof(InterfaceKeyPrefix) / sizeof(WCHAR) - 1 == INTERFACE_KEY_PREFIX_CHARS,
              "interface-key prefix length");

// ---------------------------------------------------------------------------------------------
// Subkey name lists
// ---------------------------------------------------------------------------------------------

// The names of all subkeys of an open key, read by index before anything below it changes.
// A name that cannot be read stays empty and is passed over by the callers.
struct SubkeyNames {
    PWSTR Block;        // Count entries of SUBKEY_NAME_CHARS characters, owned (text::Free)
    DWORD Count;

    PCWSTR Name(DWORD index) const { return Block + index * SUBKEY_NAME_CHARS; }
};

// Returns 0 or the error of the count query or the allocation. On success names->Block must be
// freed by the caller (it is nullptr for a key without subkeys).
LONG ReadSubkeyNames(HKEY key, SubkeyNames* names)
{
    names->Block = nullptr;
    names->Count = 0;

    DWORD count = 0;
    LONG error = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS)
        return error;
    if (count == 0)
        return ERROR_SUCCESS;

    PWSTR block = static_cast<PWSTR>(text::AllocZeroed(size_t(count) * SUBKEY_NAME_CHARS * sizeof(WCHAR)));
    if (block == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (DWORD i = 0; i < count; i++) {
        PWSTR name = block + size_t(i) * SUBKEY_NAME_CHARS;
        DWORD length = SUBKEY_NAME_CHARS;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            name[0] = 0;
    }
    names->Block = block;
    names->Count = count;
    return ERROR_SUCCESS;
}

// Reads a string value into a buffer of PRINTER_VALUE_BYTES; a value that cannot be read, or
// does not fit with its terminator, reads as empty.
void ReadPrinterValue(HKEY key, PCWSTR valueName, WCHAR (&buffer)[PRINTER_VALUE_BYTES / sizeof(WCHAR)])
{
    DWORD size = PRINTER_VALUE_BYTES - sizeof(WCHAR);
    buffer[0] = 0;
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        buffer[0] = 0;
        return;
    }
    buffer[size / sizeof(WCHAR)] = 0;
}

// ---------------------------------------------------------------------------------------------
// Access grant
// ---------------------------------------------------------------------------------------------

// The current user's SID, looked up on the local system.
LONG LookupCurrentUser(BYTE (&sid)[SID_BYTES])
{
    WCHAR userName[USER_NAME_CHARS];
    WCHAR domainName[DOMAIN_NAME_CHARS];
    DWORD userLength = USER_NAME_CHARS;
    DWORD sidLength = SID_BYTES;
    DWORD domainLength = DOMAIN_NAME_CHARS;
    SID_NAME_USE use;

    if (!GetUserNameW(userName, &userLength) ||
        !LookupAccountNameW(nullptr, userName, sid, &sidLength, domainName, &domainLength, &use))
        return static_cast<LONG>(GetLastError());
    return ERROR_SUCCESS;
}

// Builds, in a new zero-filled block, the old DACL's entries in order followed by an
// access-allowed entry for the user. *newAcl is owned by the caller on success.
LONG ExtendDacl(PACL oldDacl, PSID user, DWORD accessMask, PACL* newAcl)
{
    ACL_SIZE_INFORMATION sizeInfo;
    if (!GetAclInformation(oldDacl, &sizeInfo, sizeof(sizeInfo), AclSizeInformation))
        return static_cast<LONG>(GetLastError());

    DWORD size = sizeInfo.AclBytesInUse + GetLengthSid(user) + 8;
    PACL acl = static_cast<PACL>(text::AllocZeroed(size));
    if (acl == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;

    LONG error = ERROR_SUCCESS;
    if (!InitializeAcl(acl, size, ACL_REVISION))
        error = static_cast<LONG>(GetLastError());
    for (DWORD i = 0; error == ERROR_SUCCESS && i < sizeInfo.AceCount; i++) {
        LPVOID ace;
        if (!GetAce(oldDacl, i, &ace) ||
            !AddAce(acl, ACL_REVISION, MAXDWORD, ace, static_cast<PACE_HEADER>(ace)->AceSize))
            error = static_cast<LONG>(GetLastError());
    }
    if (error == ERROR_SUCCESS && !AddAccessAllowedAce(acl, ACL_REVISION, accessMask, user))
        error = static_cast<LONG>(GetLastError());

    if (error != ERROR_SUCCESS) {
        text::Free(acl);
        return error;
    }
    *newAcl = acl;
    return ERROR_SUCCESS;
}

// Adds the user's entry to the DACL of one open key. A key without a DACL, or with a null DACL
// (which already grants everyone everything), is left unchanged.
LONG GrantOnKey(HKEY key, PSID user, DWORD accessMask)
{
    PSECURITY_DESCRIPTOR oldDescriptor = text::AllocZeroed(SECURITY_DESCRIPTOR_BYTES);
    if (oldDescriptor == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;

    PACL newAcl = nullptr;
    DWORD descriptorSize = SECURITY_DESCRIPTOR_BYTES;
    LONG error = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, oldDescriptor, &descriptorSize);
    if (error == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR newDescriptor;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL oldDacl = nullptr;
        if (!InitializeSecurityDescriptor(&newDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !GetSecurityDescriptorDacl(oldDescriptor, &present, &oldDacl, &defaulted))
            error = static_cast<LONG>(GetLastError());
        else if (!present || oldDacl == nullptr)
            error = ERROR_INVALID_ACL;
        else
            error = ExtendDacl(oldDacl, user, accessMask, &newAcl);

        if (error == ERROR_SUCCESS) {
            if (SetSecurityDescriptorDacl(&newDescriptor, TRUE, newAcl, FALSE))
                error = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &newDescriptor);
            else
                error = static_cast<LONG>(GetLastError());
        }
    }

    text::Free(newAcl);
    text::Free(oldDescriptor);
    return error;
}

// Children first, then the key itself. A failure below does not stop the siblings or the parent.
LONG GrantKeyTreeAccess(HKEY root, PCWSTR path, DWORD accessMask, PSID user)
{
    HKEY key;
    LONG error = RegOpenKeyExW(root, path, 0, KEY_READ | WRITE_DAC, &key);
    if (error != ERROR_SUCCESS)
        return error;

    for (DWORD index = 0;; index++) {
        WCHAR name[SUBKEY_NAME_CHARS];
        DWORD length = SUBKEY_NAME_CHARS;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        PWSTR childPath = text::JoinKeyPath(path, name);
        if (childPath != nullptr)
            GrantKeyTreeAccess(root, childPath, accessMask, user);
        text::Free(childPath);
    }

    error = GrantOnKey(key, user, accessMask);
    RegCloseKey(key);
    return error;
}

// ---------------------------------------------------------------------------------------------
// Printer queues
// ---------------------------------------------------------------------------------------------

enum class PrinterOutcome { Next, StopQuietly, StopWithError };

// Deletes the queue of one printer key when it uses the card printer's driver, then the driver
// key named after it. *error carries the error of StopWithError.
PrinterOutcome RemoveOnePrinter(HKEY root, PCWSTR printerPath, LONG* error)
{
    HKEY printerKey;
    if (RegOpenKeyExW(root, printerPath, 0, KEY_READ, &printerKey) != ERROR_SUCCESS)
        return PrinterOutcome::StopQuietly;

    WCHAR driverName[PRINTER_VALUE_BYTES / sizeof(WCHAR)];
    WCHAR printerName[PRINTER_VALUE_BYTES / sizeof(WCHAR)];
    ReadPrinterValue(printerKey, TEXT("Printer Driver"), driverName);
    ReadPrinterValue(printerKey, TEXT("Name"), printerName);
    RegCloseKey(printerKey);

    // An empty name opens no queue; it must never turn the driver key itself into the target.
    if (!text::Equal(driverName, PrinterModelName) || printerName[0] == 0)
        return PrinterOutcome::Next;

    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW defaults = { nullptr, nullptr, PRINTER_ALL_ACCESS };
    if (!OpenPrinterW(printerName, &printer, &defaults))
        return PrinterOutcome::Next;
    DeletePrinter(printer);
    ClosePrinter(printer);

    HKEY driverKey;
    *error = RegOpenKeyExW(root, PrinterDriverKey, 0, KEY_READ, &driverKey);
    if (*error != ERROR_SUCCESS)
        return PrinterOutcome::StopWithError;
    RegDeleteKeyW(driverKey, printerName);
    RegCloseKey(driverKey);
    return PrinterOutcome::Next;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Public routines
// ---------------------------------------------------------------------------------------------

LONG GrantKeyAccess(HKEY root, PCWSTR path, DWORD accessMask)
{
    BYTE sid[SID_BYTES];
    LONG error = LookupCurrentUser(sid);
    if (error != ERROR_SUCCESS)
        return error;
    return GrantKeyTreeAccess(root, path, accessMask, sid);
}

LONG DeleteKeyTree(HKEY root, PCWSTR path)
{
    HKEY key;
    LONG error = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS)
        return error;

    SubkeyNames names;
    error = ReadSubkeyNames(key, &names);
    if (error == ERROR_SUCCESS) {
        for (DWORD i = 0; i < names.Count; i++) {
            if (names.Name(i)[0] == 0)
                continue;
            PWSTR childPath = text::JoinKeyPath(path, names.Name(i));
            if (childPath != nullptr)
                DeleteKeyTree(root, childPath);
            text::Free(childPath);
        }
        text::Free(names.Block);
    }
    RegCloseKey(key);

    if (error != ERROR_SUCCESS)
        return error;
    return RegDeleteKeyW(root, path);
}

LONG RemoveCardPrinters(HKEY root, PCWSTR printerListPath)
{
    HKEY listKey;
    LONG error = RegOpenKeyExW(root, printerListPath, 0, KEY_READ, &listKey);
    if (error != ERROR_SUCCESS)
        return error;

    SubkeyNames names;
    error = ReadSubkeyNames(listKey, &names);
    if (error == ERROR_SUCCESS) {
        for (DWORD i = 0; i < names.Count; i++) {
            if (names.Name(i)[0] == 0)
                continue;
            PWSTR printerPath = text::JoinKeyPath(printerListPath, names.Name(i));
            PrinterOutcome outcome = PrinterOutcome::StopWithError;
            error = ERROR_NOT_ENOUGH_MEMORY;
            if (printerPath != nullptr) {
                error = ERROR_SUCCESS;
                outcome = RemoveOnePrinter(root, printerPath, &error);
            }
            text::Free(printerPath);
            if (outcome == PrinterOutcome::StopQuietly)
                error = ERROR_SUCCESS;
            if (outcome != PrinterOutcome::Next)
                break;
        }
        text::Free(names.Block);
    }
    RegCloseKey(listKey);
    return error;
}

// Matching keys are compared with case over the 25-character prefix. After a successful
// deletion the same index is read again, since the next key has moved into it. Each pass either
// moves on or removes one of the N keys, so the walk ends after at most 2N steps.
LONG RemoveDeviceInterfaceKeys(HKEY root, PCWSTR classPath)
{
    HKEY classKey;
    LONG error = RegOpenKeyExW(root, classPath, 0, KEY_READ, &classKey);
    if (error != ERROR_SUCCESS)
        return error;

    DWORD count = 0;
    error = RegQueryInfoKeyW(classKey, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_SUCCESS) {
        DWORD deleted = 0;
        for (DWORD index = 0; index < count;) {
            WCHAR name[SUBKEY_NAME_CHARS];
            DWORD length = SUBKEY_NAME_CHARS;
            if (RegEnumKeyExW(classKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS ||
                !text::StartsWith(name, InterfaceKeyPrefix, INTERFACE_KEY_PREFIX_CHARS)) {
                index++;
                continue;
            }
            PWSTR keyPath = text::JoinKeyPath(classPath, name);
            error = keyPath != nullptr ? DeleteKeyTree(root, keyPath) : ERROR_NOT_ENOUGH_MEMORY;
            text::Free(keyPath);
            if (error == ERROR_SUCCESS && ++deleted <= count)
                continue;
            index++;
        }
    }
    RegCloseKey(classKey);
    return error;
}
