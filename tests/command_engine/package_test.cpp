// "dp_delete": an installed OEM driver package leaves the INF directory through the setup
// service; packages in use need -f; the argument's directory does not matter, its file name does.
#include "engine_fixture.h"

namespace engine_test {
namespace {

const char *kInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\nProvider=%Mfg%\r\n"
    "[Manufacturer]\r\n%Mfg%=Tervalinx,NTamd64\r\n"
    "[TervalinxVirtualCOM]\r\n%Desc%=Install,USB\\Vid_3f7b&Pid_0a51&MI_00\r\n"
    "[Strings]\r\nMfg=\"Tervalinx\"\r\nDesc=\"Card reader/writer port\"\r\n";

class PackageTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        sim::user::SetMessageTable({{MSG_DPDELETE_INVALID_PATH, u"Invalid path.\r\n"},
                                    {MSG_DPDELETE_FAILED, u"Removal failed.\r\n"},
                                    {MSG_DPDELETE_IN_USE, u"In use.\r\n"},
                                    {MSG_DPDELETE_NOT_OEM, u"Not an OEM INF.\r\n"},
                                    {MSG_DPDELETE_OK, u"Driver package '%1' removed.\r\n"}});
        sim::user::InstallOemInf(u"oem3.inf", kInf);
        sim::user::InstallOemInf(u"oem7.inf", kInf, /*inUse=*/true);
        sim::user::AddFile(sim::user::InfDir() + u"\\usbport.inf", kInf);  // shipped with Windows
    }
};

TEST_F(PackageTest, Cases) {
    struct Case {
        Args args;  // after the program
        int result;
        std::string out;
        std::vector<std::u16string> installedAfter;
        DWORD flagsPassed;  // of the one setup-service call; MAXDWORD: no call
    } cases[] = {
        {{u"dp_delete", u"C:\\Windows\\inf\\oem3.inf"}, CMD_OK, "Driver package 'oem3.inf' removed.\n", {u"oem7.inf"}, 0},
        {{u"dp_delete", u"C:\\Windows\\inf\\oem7.inf"}, CMD_FAIL, "In use.\n", {u"oem3.inf", u"oem7.inf"}, 0},
        {{u"-f", u"dp_delete", u"C:\\Windows\\inf\\oem7.inf"}, CMD_OK, "Driver package 'oem7.inf' removed.\n",
         {u"oem3.inf"}, SUOI_FORCEDELETE},
        {{u"dp_delete", u"C:\\Windows\\inf\\usbport.inf"}, CMD_FAIL, "Not an OEM INF.\n", {u"oem3.inf", u"oem7.inf"}, 0},
        {{u"dp_delete", u"C:\\Windows\\inf\\"}, CMD_FAIL, "Invalid path.\n", {u"oem3.inf", u"oem7.inf"}, MAXDWORD},
        // Another directory: the same-named package of the INF directory is removed.
        {{u"dp_delete", u"D:\\Drivers\\OEM3.INF"}, CMD_OK, "Driver package 'OEM3.INF' removed.\n", {u"oem7.inf"}, 0},
        {{u"dp_delete", u"..\\somewhere\\oem3.inf", u"ignored"}, CMD_OK, "Driver package 'oem3.inf' removed.\n",
         {u"oem7.inf"}, 0},
        {{u"dp_delete", u"oem9.inf"}, CMD_FAIL, "Not an OEM INF.\n", {u"oem3.inf", u"oem7.inf"}, 0},
        {{u"-m:SIMPC", u"dp_delete", u"oem3.inf"}, CMD_OK, "Driver package 'oem3.inf' removed.\n", {u"oem7.inf"}, 0},
        {{u"dp_delete", u"C:\\" + std::u16string(300, u'x') + u"\\oem3.inf"}, CMD_FAIL, "Invalid path.\n",
         {u"oem3.inf", u"oem7.inf"}, MAXDWORD},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(sim::user::Utf8(c.args.back()));
        SetUp();
        Args args = c.args;
        args.insert(args.begin(), kProgram);
        EXPECT_EQ(Run(args), c.result);
        EXPECT_EQ(sim::user::StdOut(), c.out);
        for (const char16_t *name : {u"oem3.inf", u"oem7.inf"}) {
            bool expected = std::find(c.installedAfter.begin(), c.installedAfter.end(), name) != c.installedAfter.end();
            EXPECT_EQ(sim::user::OemInfInstalled(name), expected) << sim::user::Utf8(name);
            EXPECT_EQ(sim::user::FileExists(sim::user::InfDir() + u"\\" + name), expected);
        }
        auto calls = sim::user::UninstallOemInfCalls();
        ASSERT_EQ(calls.size(), c.flagsPassed == MAXDWORD ? 0u : 1u);
        if (!calls.empty()) {
            EXPECT_EQ(calls[0].flags, c.flagsPassed);
            EXPECT_EQ(calls[0].name.find(u'\\'), std::u16string::npos);  // the file name alone
        }
        EXPECT_TRUE(sim::user::FileExists(sim::user::InfDir() + u"\\usbport.inf"));
        TearDown();
    }
}

TEST_F(PackageTest, CompanionFilesLeaveWithThePackage) {
    EXPECT_EQ(Run({kProgram, u"dp_delete", u"oem3.inf"}), CMD_OK);
    EXPECT_FALSE(sim::user::FileExists(sim::user::InfDir() + u"\\oem3.PNF"));
    EXPECT_TRUE(sim::user::FileExists(sim::user::InfDir() + u"\\oem7.PNF"));
}

TEST_F(PackageTest, SetupLibraryProblemsFailWithoutMessage) {
    struct Case {
        bool loads, exports;
        const char *failing;
        DWORD error;
        int result;
        std::string out;
    } cases[] = {
        {false, true, nullptr, 0, CMD_FAIL, ""},
        {true, false, nullptr, 0, CMD_FAIL, ""},
        {true, true, "SetupUninstallOEMInfW", ERROR_ACCESS_DENIED, CMD_FAIL, "Removal failed.\n"},
        {true, true, "GetFullPathNameW", ERROR_INVALID_NAME, CMD_FAIL, "Invalid path.\n"},
    };
    for (auto &c : cases) {
        SetUp();
        sim::user::SetSetupApiAvailable(c.loads, c.exports);
        if (c.failing) sim::user::FailCall(c.failing, c.error);
        EXPECT_EQ(Run({kProgram, u"dp_delete", u"oem3.inf"}), c.result);
        EXPECT_EQ(sim::user::StdOut(), c.out);
        EXPECT_TRUE(sim::user::OemInfInstalled(u"oem3.inf"));
        TearDown();  // the library is released on every path
    }
}

TEST_F(PackageTest, NoArgumentIsAUsageError) {
    EXPECT_EQ(Run({kProgram, u"dp_delete"}), CMD_USAGE);
    EXPECT_TRUE(sim::user::UninstallOemInfCalls().empty());
}

}  // namespace
}  // namespace engine_test
