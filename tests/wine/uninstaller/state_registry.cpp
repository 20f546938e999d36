// Registry commands: keys and values, the serial device map, the Windows version Wine reports,
// and key DACLs (set from a security descriptor string, checked entry by entry).
//
//   version NAME                      HKCU\Software\Wine "Version" (nt40, win2k, win7, win81 ...)
//   key PATH                          creates the key (PATH begins with HKLM\ or HKCU\)
//   value PATH NAME DATA              sets a string value, creating the key
//   serialmap NAME DATA               a value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM
//   dacl PATH SDDL                    replaces the key's DACL with the one of SDDL
//   expect-key present|absent PATH
//   expect-dacl PATH ACE...           the DACL's entries in order, each allow|deny:SID:0xMASK,
//                                     SID as SY, BA, WD, USER (the token's user) or S-1-...
#include "state.h"

#include <sddl.h>

#include <cstdio>

namespace {

// ---------------------------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------------------------

bool SplitRoot(const std::wstring& path, HKEY* root, std::wstring* subkey)
{
    if (path.compare(0, 5, L"HKLM\\") == 0)
        *root = HKEY_LOCAL_MACHINE;
    else if (path.compare(0, 5, L"HKCU\\") == 0)
        *root = HKEY_CURRENT_USER;
    else
        return false;
    *subkey = path.substr(5);
    return true;
}

bool SetString(const std::wstring& path, const std::wstring& name, const std::wstring& data,
               std::wstring* problem)
{
    HKEY key;
    DWORD error;
    if (!CreateKeyPath(path, &key, &error)) {
        *problem = L"cannot create the key: " + ErrorText(error);
        return false;
    }
    error = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                           DWORD((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (error != ERROR_SUCCESS)
        *problem = L"cannot set the value: " + ErrorText(error);
    return error == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Seeding
// ---------------------------------------------------------------------------------------------

bool SeedVersion(const Args& args, std::wstring* problem)
{
    return SetString(L"HKCU\\Software\\Wine", L"Version", args[1], problem);
}

bool SeedKey(const Args& args, std::wstring* problem)
{
    HKEY key;
    DWORD error;
    if (!CreateKeyPath(args[1], &key, &error)) {
        *problem = ErrorText(error);
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool SeedValue(const Args& args, std::wstring* problem)
{
    return SetString(args[1], args[2], args[3], problem);
}

bool SeedSerialMap(const Args& args, std::wstring* problem)
{
    return SetString(L"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", args[1], args[2], problem);
}

bool SeedDacl(const Args& args, std::wstring* problem)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(args[2].c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        *problem = L"bad descriptor string: " + ErrorText(GetLastError());
        return false;
    }
    HKEY key;
    DWORD error;
    if (OpenKeyPath(args[1], WRITE_DAC, &key, &error)) {
        error = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    if (error != ERROR_SUCCESS)
        *problem = ErrorText(error);
    return error == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------------------------

bool ExpectKey(const Args& args, std::wstring* problem)
{
    HKEY key;
    DWORD error;
    bool present = OpenKeyPath(args[2], KEY_READ, &key, &error);
    if (present)
        RegCloseKey(key);
    return ExpectPresence(args[1], present, L"the key", problem);
}

std::wstring TokenUserSid()
{
    std::wstring text;
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return text;
    BYTE buffer[512];
    DWORD bytes = 0;
    LPWSTR sid = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &bytes) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    CloseHandle(token);
    return text;
}

std::wstring DescribeSid(PSID sid, const std::wstring& user)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"?";
    std::wstring name = text;
    LocalFree(text);
    if (name == user)
        return L"USER";
    if (name == L"S-1-5-18")
        return L"SY";
    if (name == L"S-1-5-32-544")
        return L"BA";
    if (name == L"S-1-1-0")
        return L"WD";
    return name;
}

std::wstring DescribeAce(const ACE_HEADER* header, const std::wstring& user)
{
    wchar_t mask[16];
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
        auto ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        swprintf(mask, 16, L"0x%08x", unsigned(ace->Mask));
        return L"allow:" + DescribeSid(PSID(&ace->SidStart), user) + L":" + mask;
    }
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
        auto ace = reinterpret_cast<const ACCESS_DENIED_ACE*>(header);
        swprintf(mask, 16, L"0x%08x", unsigned(ace->Mask));
        return L"deny:" + DescribeSid(PSID(&ace->SidStart), user) + L":" + mask;
    }
    return L"type" + std::to_wstring(header->AceType);
}

// The key's DACL as "ACE ACE ...", or a description of why it cannot be read.
std::wstring DescribeDacl(const std::wstring& path)
{
    HKEY key;
    DWORD error;
    if (!OpenKeyPath(path, READ_CONTROL, &key, &error))
        return L"(key does not open: " + ErrorText(error) + L")";
    std::vector<BYTE> buffer(65536);
    DWORD bytes = DWORD(buffer.size());
    error = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &bytes);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS)
        return L"(security does not read: " + ErrorText(error) + L")";

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted) || !present || !acl)
        return L"(no DACL)";
    std::wstring user = TokenUserSid();
    std::wstring text;
    for (DWORD i = 0; i < acl->AceCount; i++) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace))
            return L"(entry " + std::to_wstring(i) + L" does not read)";
        if (!text.empty())
            text += L" ";
        text += DescribeAce(static_cast<ACE_HEADER*>(ace), user);
    }
    return text;
}

bool ExpectDacl(const Args& args, std::wstring* problem)
{
    std::wstring expected;
    for (size_t i = 2; i < args.size(); i++)
        expected += (i > 2 ? L" " : L"") + args[i];
    std::wstring actual = DescribeDacl(args[1]);
    if (actual == expected)
        return true;
    *problem = L"the DACL is " + actual;
    return false;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Shared helpers and table
// ---------------------------------------------------------------------------------------------

bool OpenKeyPath(const std::wstring& path, REGSAM access, HKEY* key, DWORD* error)
{
    HKEY root;
    std::wstring subkey;
    if (!SplitRoot(path, &root, &subkey)) {
        *error = ERROR_BAD_PATHNAME;
        return false;
    }
    *error = RegOpenKeyExW(root, subkey.c_str(), 0, access, key);
    return *error == ERROR_SUCCESS;
}

bool CreateKeyPath(const std::wstring& path, HKEY* key, DWORD* error)
{
    HKEY root;
    std::wstring subkey;
    if (!SplitRoot(path, &root, &subkey)) {
        *error = ERROR_BAD_PATHNAME;
        return false;
    }
    *error = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key, nullptr);
    return *error == ERROR_SUCCESS;
}

const Command RegistryCommands[] = {
    { L"version", 1, 1, SeedVersion },
    { L"key", 1, 1, SeedKey },
    { L"value", 3, 3, SeedValue },
    { L"serialmap", 2, 2, SeedSerialMap },
    { L"dacl", 2, 2, SeedDacl },
    { L"expect-key", 2, 2, ExpectKey },
    { L"expect-dacl", 2, 64, ExpectDacl },
    { nullptr, 0, 0, nullptr },
};
