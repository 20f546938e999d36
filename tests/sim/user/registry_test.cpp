// The simulated registry and security services: values and their sizes, subkey order, key
// deletion, access checks against the DACL, and the descriptor and ACL calls with which the
// uninstaller grants the current user access to a key.
#include "sim/user/include/sim_user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using sim::user::AceSpec;
using sim::user::DaclKind;
using sim::user::DaclSpec;

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { sim::user::Reset(); }
    void TearDown() override { EXPECT_EQ(sim::user::Open().registryKeys, 0); }

    static HKEY OpenKey(const char16_t *path, REGSAM access = KEY_READ) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &key), ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryTest, QueryValueReportsSizesAndMoreData) {
    sim::user::SetString(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", u"\\Device\\XWQUsbSerial0", u"COM3");
    HKEY key = OpenKey(u"hardware\\devicemap\\serialcomm");
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"\\device\\xwqusbserial0", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 10u);
    BYTE small[6];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"\\Device\\XWQUsbSerial0", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    WCHAR text[7] = {};
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExW(key, u"\\Device\\XWQUsbSerial0", nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"COM3");
    EXPECT_EQ(RegQueryValueExW(key, u"\\Device\\XWQUsbSerial1", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, SubkeysEnumerateInUpperCaseOrderAndDeletionShiftsThem) {
    for (const char16_t *name : {u"b", u"A", u"_x", u"C", u"a2"}) sim::user::CreateKey(HKEY_LOCAL_MACHINE, std::u16string(u"SOFTWARE\\T\\") + name);
    HKEY key = OpenKey(u"SOFTWARE\\T");
    std::vector<std::u16string> names;
    WCHAR name[32];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 32;
        LSTATUS status = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_EQ(cch, std::u16string(name).size());
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"a2", u"b", u"C", u"_x"}));
    DWORD cch = 2;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(RegDeleteKeyW(key, u"A"), ERROR_SUCCESS);
    cch = 32;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"a2");
    DWORD subkeys = 0;
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 4u);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteRefusesKeysWithSubkeysAndOpenHandlesSeeTheDeletion) {
    sim::user::CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T\\Child");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T\\Missing"), ERROR_FILE_NOT_FOUND);
    HKEY child = OpenKey(u"SOFTWARE\\T\\Child");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T\\child"), ERROR_SUCCESS);
    EXPECT_FALSE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T\\Child"));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(child, u"x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T"), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AccessFollowsTheDacl) {
    const std::string user = sim::user::SidToText(sim::user::SidFromText("S-1-5-21-1004336348-1177238915-682003330-1001").data());
    struct Case {
        DaclSpec dacl;
        REGSAM access;
        LSTATUS expected;
    } cases[] = {
        {{DaclKind::List, {{ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidEveryone}}}, KEY_READ, ERROR_SUCCESS},
        {{DaclKind::List, {{ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidEveryone}}}, KEY_READ | KEY_SET_VALUE, ERROR_ACCESS_DENIED},
        {{DaclKind::List, {{ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidSystem}}}, KEY_READ, ERROR_ACCESS_DENIED},
        {{DaclKind::List, {}}, KEY_QUERY_VALUE, ERROR_ACCESS_DENIED},
        {{DaclKind::List, {{ACCESS_DENIED_ACE_TYPE, KEY_SET_VALUE, user}, {ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, user}}},
         KEY_READ, ERROR_SUCCESS},
        {{DaclKind::List, {{ACCESS_DENIED_ACE_TYPE, KEY_SET_VALUE, user}, {ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, user}}},
         KEY_WRITE, ERROR_ACCESS_DENIED},
        // An allow before the deny wins for the rights it already granted.
        {{DaclKind::List, {{ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, user}, {ACCESS_DENIED_ACE_TYPE, KEY_SET_VALUE, user}}},
         KEY_WRITE, ERROR_SUCCESS},
        {{DaclKind::List, {{ACCESS_ALLOWED_ACE_TYPE, GENERIC_READ, sim::user::kSidUsers}}}, KEY_READ, ERROR_SUCCESS},
        {{DaclKind::List, {{ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidAdministrators, INHERIT_ONLY_ACE}}}, KEY_READ,
         ERROR_ACCESS_DENIED},
        {{DaclKind::Null, {}}, KEY_ALL_ACCESS, ERROR_SUCCESS},
        // The owner (Administrators) may always read and change the DACL.
        {{DaclKind::List, {}}, READ_CONTROL | WRITE_DAC, ERROR_SUCCESS},
    };
    for (auto &c : cases) {
        sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Guarded", c.dacl);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Guarded", 0, c.access, &key), c.expected)
            << std::hex << c.access;
        if (key) RegCloseKey(key);
    }
    sim::user::SetElevated(false);  // not an administrator any more: not the owner either
    sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Guarded", {DaclKind::Null, {}});
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Guarded", 0, READ_CONTROL, &key), ERROR_SUCCESS);  // null DACL
    RegCloseKey(key);
    sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Guarded", {DaclKind::List, {}});
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Guarded", 0, READ_CONTROL, &key), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, DeleteNeedsDeleteRightAndCreateNeedsCreateRightOfTheParent) {
    sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Locked",
                          {DaclKind::List, {{ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidEveryone}}});
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Locked"), ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Locked\\New", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Open\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    DWORD value = 7;
    EXPECT_EQ(RegSetValueExW(key, u"Count", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    DWORD type = 0;
    EXPECT_EQ(sim::user::GetValue(HKEY_LOCAL_MACHINE, u"SYSTEM\\Open\\New", u"count", &type)->size(), 4u);
    EXPECT_EQ(type, DWORD(REG_DWORD));
}

// The steps with which the uninstaller appends an entry for the current user to a key's DACL.
DWORD AppendUserEntry(const char16_t *path, ACCESS_MASK mask) {
    WCHAR user[250];
    DWORD userChars = 250;
    if (!GetUserNameW(user, &userChars)) return GetLastError();
    BYTE sid[1024];
    DWORD sidBytes = sizeof sid;
    WCHAR domain[250];
    DWORD domainChars = 250;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, user, sid, &sidBytes, domain, &domainChars, &use)) return GetLastError();
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | WRITE_DAC, &key);
    if (status != ERROR_SUCCESS) return DWORD(status);
    std::vector<BYTE> old(4096);
    DWORD oldBytes = DWORD(old.size());
    status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, old.data(), &oldBytes);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ACL_SIZE_INFORMATION info{};
    SECURITY_DESCRIPTOR fresh;
    DWORD result = 0;
    if (status != ERROR_SUCCESS) {
        result = DWORD(status);
    } else if (!InitializeSecurityDescriptor(&fresh, SECURITY_DESCRIPTOR_REVISION) ||
               !GetSecurityDescriptorDacl(old.data(), &present, &dacl, &defaulted) ||
               !GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) {
        result = GetLastError();
    } else {
        DWORD size = info.AclBytesInUse + GetLengthSid(sid) + 8;
        std::vector<BYTE> buffer(size);
        auto *acl = reinterpret_cast<PACL>(buffer.data());
        InitializeAcl(acl, size, ACL_REVISION);
        for (DWORD i = 0; i < info.AceCount && result == 0; ++i) {
            void *ace = nullptr;
            if (!GetAce(dacl, i, &ace) || !AddAce(acl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER *>(ace)->AceSize))
                result = GetLastError();
        }
        if (result == 0 && !AddAccessAllowedAce(acl, ACL_REVISION, mask, sid)) result = GetLastError();
        if (result == 0 && !SetSecurityDescriptorDacl(&fresh, TRUE, acl, FALSE)) result = GetLastError();
        if (result == 0) result = DWORD(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &fresh));
    }
    RegCloseKey(key);
    return result;
}

TEST_F(RegistryTest, UserEntryIsAppendedAfterTheExistingEntries) {
    const std::vector<AceSpec> three = {{ACCESS_DENIED_ACE_TYPE, KEY_SET_VALUE, sim::user::kSidUsers},
                                        {ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, sim::user::kSidSystem},
                                        {ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, sim::user::kSidAdministrators}};
    sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Enum\\Dev", {DaclKind::List, three});
    EXPECT_EQ(AppendUserEntry(u"SYSTEM\\Enum\\Dev", 0xFFFF0000u), 0u);
    DaclSpec after = sim::user::KeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Enum\\Dev");
    ASSERT_EQ(after.aces.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(after.aces[i], three[i]);
    EXPECT_EQ(after.aces[3], (AceSpec{ACCESS_ALLOWED_ACE_TYPE, 0xFFFF0000u, "S-1-5-21-1004336348-1177238915-682003330-1001"}));
    // The user's entry grants all key rights (generic rights map to them), except what the
    // Users deny entry before it refuses.
    EXPECT_EQ(sim::user::GrantedAccess(HKEY_LOCAL_MACHINE, u"SYSTEM\\Enum\\Dev") & KEY_ALL_ACCESS,
              DWORD(KEY_ALL_ACCESS & ~KEY_SET_VALUE));
}

TEST_F(RegistryTest, NullOrAbsentDaclCannotBeExtended) {
    for (DaclKind kind : {DaclKind::Null, DaclKind::Absent}) {
        sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Open", {kind, {}});
        EXPECT_EQ(AppendUserEntry(u"SYSTEM\\Open", KEY_READ), DWORD(ERROR_INVALID_ACL));
        EXPECT_EQ(sim::user::KeyDacl(HKEY_LOCAL_MACHINE, u"SYSTEM\\Open").kind, kind);
    }
}

TEST_F(RegistryTest, AclCallsCheckTheirSpace) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    auto admins = sim::user::SidFromText(sim::user::kSidAdministrators);
    std::memcpy(sid, admins.data(), admins.size());
    BYTE buffer[64];
    auto *acl = reinterpret_cast<PACL>(buffer);
    EXPECT_FALSE(InitializeAcl(acl, 4, ACL_REVISION));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(InitializeAcl(acl, 8 + 8 + GetLengthSid(sid), ACL_REVISION));
    EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sid));
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sid));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALLOTTED_SPACE_EXCEEDED));
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AceCount, 1u);
    EXPECT_EQ(info.AclBytesInUse, 8u + 8u + 16u);
    EXPECT_EQ(info.AclBytesFree, 0u);
    void *ace = nullptr;
    EXPECT_FALSE(GetAce(acl, 1, &ace));
}

TEST_F(RegistryTest, AccountLookupReportsSizesItNeeds) {
    DWORD chars = 3;
    WCHAR name[32];
    EXPECT_FALSE(GetUserNameW(name, &chars));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(chars, 9u);
    BYTE sid[8];
    DWORD sidBytes = sizeof sid, domainChars = 32;
    WCHAR domain[32];
    SID_NAME_USE use;
    EXPECT_FALSE(LookupAccountNameW(nullptr, u"Operator", sid, &sidBytes, domain, &domainChars, &use));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(sidBytes, 28u);
    EXPECT_FALSE(LookupAccountNameW(nullptr, u"Nobody", sid, &sidBytes, domain, &domainChars, &use));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NONE_MAPPED));
}

}  // namespace
