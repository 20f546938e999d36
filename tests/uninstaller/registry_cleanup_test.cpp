// Registry cleanup of the Windows 5.0 branch: access grant, key trees, printer queues and
// interface keys. Every case also checks (in the fixture) that no key handle stays open.
#include "uninstaller_fixture.h"

namespace uninstaller_test {
namespace {

using sim::user::AceSpec;
using sim::user::DaclKind;
using sim::user::DaclSpec;

const DWORD kGranted = 0xFFFF0000;

// Administrators and SYSTEM may do anything, Users may read, Everyone is denied writes.
DaclSpec ThreeEntries()
{
    DaclSpec dacl;
    dacl.aces = {
        { ACCESS_DENIED_ACE_TYPE, KEY_SET_VALUE, sim::user::kSidEveryone, 0 },
        { ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, sim::user::kSidAdministrators, CONTAINER_INHERIT_ACE },
        { ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidUsers, 0 },
    };
    return dacl;
}

using RegistryCleanupTest = UninstallerTest;

// ---------------------------------------------------------------------------------------------
// GrantKeyAccess
// ---------------------------------------------------------------------------------------------

TEST_F(RegistryCleanupTest, GrantAppendsTheUsersEntryLastOnEveryKeyOfTheTree)
{
    const std::u16string instance = kDeviceKey + u"\\5&1a2b3c&0&1";
    sim::user::CreateKey(HKEY_LOCAL_MACHINE, instance + u"\\Device Parameters");
    for (const auto& path : { kDeviceKey, instance, instance + u"\\Device Parameters" })
        sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, path, ThreeEntries());

    EXPECT_EQ(GrantKeyAccess(HKEY_LOCAL_MACHINE, kDeviceKey.c_str(), kGranted), ERROR_SUCCESS);

    for (const auto& path : { kDeviceKey, instance, instance + u"\\Device Parameters" }) {
        DaclSpec dacl = sim::user::KeyDacl(HKEY_LOCAL_MACHINE, path);
        ASSERT_EQ(dacl.aces.size(), 4u) << Narrow(path);
        for (size_t i = 0; i < 3; i++)
            EXPECT_EQ(dacl.aces[i], ThreeEntries().aces[i]) << "old entry " << i << " in order";
        EXPECT_EQ(dacl.aces[3], (AceSpec{ ACCESS_ALLOWED_ACE_TYPE, kGranted, kOperatorSid, 0 }))
            << "the user's entry comes last, after the deny entry";
    }
}

// A key that cannot be changed is left as it is, and its siblings and parent are still done.
// (The owner may always rewrite a DACL, so a refused write is scripted.)
TEST_F(RegistryCleanupTest, GrantGoesOnPastKeysItCannotChange)
{
    struct GrantCase {
        const char* Name;
        DaclSpec Blocked;
        bool RefuseWrite;
    };
    DaclSpec nullDacl;
    nullDacl.kind = DaclKind::Null;
    DaclSpec noDacl;
    noDacl.kind = DaclKind::Absent;
    const GrantCase cases[] = {
        { "writing the child's DACL is refused", ThreeEntries(), true },
        { "child with a null DACL", nullDacl, false },
        { "child without a DACL", noDacl, false },
    };
    for (const GrantCase& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        const std::u16string blocked = kDeviceKey + u"\\A";
        const std::u16string sibling = kDeviceKey + u"\\B";
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, blocked);
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, sibling);
        for (const auto& path : { kDeviceKey, sibling })
            sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, path, ThreeEntries());
        sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, blocked, c.Blocked);
        if (c.RefuseWrite)
            sim::user::FailCall("RegSetKeySecurity", ERROR_ACCESS_DENIED);   // the first key written is "A"

        EXPECT_EQ(GrantKeyAccess(HKEY_LOCAL_MACHINE, kDeviceKey.c_str(), kGranted), ERROR_SUCCESS)
            << "the result is the parent's own";

        DaclSpec after = sim::user::KeyDacl(HKEY_LOCAL_MACHINE, blocked);
        EXPECT_EQ(after.kind, c.Blocked.kind);
        EXPECT_EQ(after.aces, c.Blocked.aces) << "unchanged";
        EXPECT_EQ(sim::user::KeyDacl(HKEY_LOCAL_MACHINE, sibling).aces.size(), 4u);
        EXPECT_EQ(sim::user::KeyDacl(HKEY_LOCAL_MACHINE, kDeviceKey).aces.size(), 4u);
        TearDown();
    }
}

TEST_F(RegistryCleanupTest, GrantReportsWhyNothingChanged)
{
    EXPECT_EQ(GrantKeyAccess(HKEY_LOCAL_MACHINE, kDeviceKey.c_str(), kGranted), ERROR_FILE_NOT_FOUND)
        << "device never installed";

    sim::user::CreateKey(HKEY_LOCAL_MACHINE, kDeviceKey);
    sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, kDeviceKey, ThreeEntries());
    sim::user::FailCall("LookupAccountNameW", ERROR_NONE_MAPPED);
    EXPECT_EQ(GrantKeyAccess(HKEY_LOCAL_MACHINE, kDeviceKey.c_str(), kGranted), ERROR_NONE_MAPPED);
    EXPECT_EQ(sim::user::KeyDacl(HKEY_LOCAL_MACHINE, kDeviceKey).aces.size(), 3u);
}

// ---------------------------------------------------------------------------------------------
// DeleteKeyTree
// ---------------------------------------------------------------------------------------------

TEST_F(RegistryCleanupTest, DeleteKeyTreeRemovesAllLevels)
{
    const std::u16string root = u"SOFTWARE\\Tree";
    for (const char16_t* leaf : { u"\\A\\A1\\A11", u"\\A\\A2", u"\\B", u"\\C\\C1" })
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, root + leaf);
    sim::user::SetString(HKEY_LOCAL_MACHINE, root + u"\\A\\A2", u"Value", u"x");

    EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, root.c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, root));
    EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE"));
}

// Early returns close the key they opened (the fixture checks that no handle is left).
TEST_F(RegistryCleanupTest, DeleteKeyTreeFailuresLeaveTheKeyAndNoHandle)
{
    const std::u16string root = u"SOFTWARE\\Tree";
    sim::user::CreateKey(HKEY_LOCAL_MACHINE, root + u"\\Child");

    EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing"), ERROR_FILE_NOT_FOUND);

    sim::user::FailCall("RegQueryInfoKeyW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, root.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, root + u"\\Child"));

    // A child that cannot be deleted keeps its parent: the parent's deletion fails last.
    DaclSpec readOnly;
    readOnly.aces = { { ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidAdministrators, 0 } };
    sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, root + u"\\Child", readOnly);
    EXPECT_NE(DeleteKeyTree(HKEY_LOCAL_MACHINE, root.c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, root + u"\\Child"));
}

// ---------------------------------------------------------------------------------------------
// RemoveCardPrinters
// ---------------------------------------------------------------------------------------------

struct Queue {
    std::u16string Key;
    const char16_t* Driver;     // nullptr: no "Printer Driver" value
    std::u16string Name;
};

void AddQueue(const Queue& queue, bool withDriverKey = true)
{
    std::u16string key = kPrinters + u"\\" + queue.Key;
    sim::user::CreateKey(HKEY_LOCAL_MACHINE, key);
    if (queue.Driver != nullptr)
        sim::user::SetString(HKEY_LOCAL_MACHINE, key, u"Printer Driver", queue.Driver);
    sim::user::SetString(HKEY_LOCAL_MACHINE, key, u"Name", queue.Name);
    sim::user::AddPrinterQueue(queue.Name);
    if (withDriverKey)
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\" + queue.Name);
}

bool QueueExists(const std::u16string& name)
{
    for (const auto& queue : sim::user::PrinterQueues())
        if (queue == name)
            return true;
    return false;
}

TEST_F(RegistryCleanupTest, OnlyQueuesOfTheCardPrintersDriverAreDeleted)
{
    const Queue queues[] = {
        { u"Card Printer", u"Rewritable Card Printer (61k)", u"Card Printer" },
        { u"Empty driver", u"", u"Empty driver" },
        { u"No driver value", nullptr, u"No driver value" },
        { u"Other case", u"REWRITABLE CARD PRINTER (61K)", u"Other case" },
        { u"Office", u"Generic / Text Only", u"Office" },
        { u"Second card", u"Rewritable Card Printer (61k)", u"Second card" },
    };
    for (const Queue& queue : queues)
        AddQueue(queue);
    sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\Second card\\Sub");   // has a subkey

    EXPECT_EQ(RemoveCardPrinters(HKEY_LOCAL_MACHINE, kPrinters.c_str()), ERROR_SUCCESS);

    EXPECT_FALSE(QueueExists(u"Card Printer"));
    EXPECT_FALSE(QueueExists(u"Second card"));
    for (const char16_t* kept : { u"Empty driver", u"No driver value", u"Other case", u"Office" }) {
        EXPECT_TRUE(QueueExists(kept)) << Narrow(kept);
        EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\" + kept)) << Narrow(kept);
    }
    EXPECT_FALSE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\Card Printer"));
    EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrinterDrivers + u"\\Second card"))
        << "a driver key with subkeys cannot be deleted";
}

TEST_F(RegistryCleanupTest, PrinterCleanupStopsAtBlockingFailures)
{
    struct StopCase {
        const char* Name;
        std::function<void()> Arrange;
        const char16_t* ListPath;
        LONG Result;
        bool SecondQueueDeleted;
    };
    DaclSpec noAccess;
    noAccess.aces = { { ACCESS_DENIED_ACE_TYPE, KEY_ALL_ACCESS, sim::user::kSidAdministrators, 0 } };
    const StopCase cases[] = {
        { "printer list missing", [] {}, u"SOFTWARE\\Missing\\Printers", ERROR_FILE_NOT_FOUND, false },
        { "the printer list cannot be counted",
          [] { sim::user::FailCall("RegQueryInfoKeyW", ERROR_ACCESS_DENIED); }, nullptr, ERROR_ACCESS_DENIED, false },
        { "a printer key that cannot be opened ends the cleanup quietly",
          [&] { sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, kPrinters + u"\\A first", noAccess); },
          nullptr, ERROR_SUCCESS, false },
        { "a queue that does not open is passed over",
          [] { sim::user::FailPrinterOpen(u"A first", ERROR_INVALID_PRINTER_NAME); }, nullptr, ERROR_SUCCESS, true },
        { "a missing printer driver key stops at the first deleted queue",
          [] { sim::user::Reset(); sim::user::ResetSpooler();
               AddQueue({ u"A first", u"Rewritable Card Printer (61k)", u"A first" }, false);
               AddQueue({ u"B second", u"Rewritable Card Printer (61k)", u"B second" }, false); },
          nullptr, ERROR_FILE_NOT_FOUND, false },
        { "a queue without a name is never a key name",
          [] { sim::user::SetString(HKEY_LOCAL_MACHINE, kPrinters + u"\\A first", u"Name", u""); },
          nullptr, ERROR_SUCCESS, true },
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        AddQueue({ u"A first", u"Rewritable Card Printer (61k)", u"A first" });
        AddQueue({ u"B second", u"Rewritable Card Printer (61k)", u"B second" });
        c.Arrange();
        bool driverKeyBefore = sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrinterDrivers);
        std::u16string listPath = c.ListPath != nullptr ? c.ListPath : kPrinters;
        EXPECT_EQ(RemoveCardPrinters(HKEY_LOCAL_MACHINE, listPath.c_str()), c.Result);
        EXPECT_EQ(!QueueExists(u"B second"), c.SecondQueueDeleted);
        EXPECT_EQ(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrinterDrivers), driverKeyBefore)
            << "never the driver key itself";
        TearDown();
    }
}

// ---------------------------------------------------------------------------------------------
// RemoveDeviceInterfaceKeys
// ---------------------------------------------------------------------------------------------

TEST_F(RegistryCleanupTest, InterfaceKeysOfTheDeviceAreDeletedByTheirExactPrefix)
{
    const std::u16string suffix = u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    const std::u16string ours1 = u"##?#USB#Vid_3f7b&Pid_0a51#5&1a2b&0&1" + suffix;
    const std::u16string ours2 = u"##?#USB#Vid_3f7b&Pid_0a51#5&1a2b&0&2" + suffix;   // adjacent to ours1
    const std::u16string ours3 = u"##?#USB#Vid_3f7b&Pid_0a51&MI_01#6&77&0&1" + suffix;
    const std::u16string upper = u"##?#USB#VID_3F7B&PID_0A51#5&1a2b&0&3" + suffix;
    const std::u16string vendor = u"##?#USB#Vid_3f7c&Pid_0a51#5&1a2b&0&4" + suffix;
    const std::u16string blocked = u"##?#USB#Vid_3f7b&Pid_0a51&MI_02#6&77&0&2" + suffix;
    const std::u16string other = u"##?#USBPRINT#Other#7&1&0" + suffix;
    for (const auto& key : { ours1, ours2, ours3, upper, vendor, blocked, other })
        sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + key + u"\\#\\Device Parameters");
    // Deleting this one fails: its subkey refuses deletion, so the walk passes it over.
    DaclSpec readOnly;
    readOnly.aces = { { ACCESS_ALLOWED_ACE_TYPE, KEY_READ, sim::user::kSidAdministrators, 0 } };
    sim::user::SetKeyDacl(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + blocked + u"\\#", readOnly);

    // The blocked key is the last matching one the walk meets, so its failure is the result.
    std::u16string lastMatch;
    for (const auto& name : sim::user::SubkeyNames(HKEY_LOCAL_MACHINE, kPrintInterfaces))
        if (name.rfind(u"##?#USB#Vid_3f7b&Pid_0a51", 0) == 0)
            lastMatch = name;
    ASSERT_EQ(lastMatch, blocked);

    LONG result = RemoveDeviceInterfaceKeys(HKEY_LOCAL_MACHINE, kPrintInterfaces.c_str());

    auto remaining = sim::user::SubkeyNames(HKEY_LOCAL_MACHINE, kPrintInterfaces);
    std::sort(remaining.begin(), remaining.end());
    std::vector<std::u16string> expected = { upper, vendor, blocked, other };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(remaining, expected);
    EXPECT_TRUE(sim::user::KeyExists(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\" + blocked + u"\\#"));
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
}

TEST_F(RegistryCleanupTest, InterfaceCleanupResults)
{
    EXPECT_EQ(RemoveDeviceInterfaceKeys(HKEY_LOCAL_MACHINE, kPrintInterfaces.c_str()), ERROR_FILE_NOT_FOUND);

    sim::user::CreateKey(HKEY_LOCAL_MACHINE, kPrintInterfaces + u"\\##?#USBPRINT#Other#1");
    EXPECT_EQ(RemoveDeviceInterfaceKeys(HKEY_LOCAL_MACHINE, kPrintInterfaces.c_str()), ERROR_SUCCESS)
        << "no deletion ran";

    sim::user::FailCall("RegQueryInfoKeyW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RemoveDeviceInterfaceKeys(HKEY_LOCAL_MACHINE, kPrintInterfaces.c_str()), ERROR_ACCESS_DENIED);
}

} // namespace
} // namespace uninstaller_test
