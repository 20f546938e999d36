// The dispatcher: options, the command word, the table, the messages that accompany results,
// restarts, and the rows this program keeps without carrying them out.
#include "engine_fixture.h"

namespace engine_test {
namespace {

class DispatcherTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        InstallCardReader();
        sim::user::InstallOemInf(u"oem7.inf", "[Version]\nSignature=$Windows NT$\n", /*inUse=*/true);
    }
    static void DispatcherMessages() {
        sim::user::SetMessageTable({{MSG_USAGE, u"usage: %1\r\n"},
                                    {MSG_FAILURE, u"%1: %2 failed\r\n"},
                                    {MSG_COMMAND_USAGE, u"%1: usage of %2\r\n"}});
    }
};

// Which command ran is seen in what it did: "remove" takes the mouse away, "dp_delete" the
// in-use package (with -f).
TEST_F(DispatcherTest, OptionScanAndCommandWord) {
    struct Case {
        Args args;  // after the program
        int result;
        bool mouseRemoved;
        bool packageRemoved;
    } cases[] = {
        {{u"remove", u"HID_DEVICE"}, CMD_OK, true, false},
        {{u"REMOVE", u"HID_DEVICE"}, CMD_OK, true, false},
        {{u"/remove", u"HID_DEVICE"}, CMD_OK, true, false},
        {{u"-ReMoVe", u"HID_DEVICE"}, CMD_OK, true, false},
        {{u"//remove", u"HID_DEVICE"}, CMD_USAGE, false, false},  // only one leading slash is skipped
        {{u"-x", u"remove", u"HID_DEVICE"}, CMD_USAGE, false, false},
        {{u"-r"}, CMD_USAGE, false, false},
        {{}, CMD_USAGE, false, false},
        {{u"-r", u"-f"}, CMD_USAGE, false, false},
        {{u"-rx", u"remove", u"HID_DEVICE"}, CMD_USAGE, false, false},
        {{u"-R", u"remove", u"HID_DEVICE"}, CMD_OK, true, false},
        {{u"-m:", u"remove", u"HID_DEVICE"}, CMD_USAGE, false, false},   // no machine name: the scan ends
        {{u"-m", u"remove", u"HID_DEVICE"}, CMD_USAGE, false, false},
        {{u"-mX", u"remove", u"HID_DEVICE"}, CMD_USAGE, false, false},
        {{u"-M:other", u"remove", u"HID_DEVICE"}, CMD_USAGE, false, false},  // remove refuses a machine
        {{u"-f", u"dp_delete", u"oem7.inf"}, CMD_OK, false, true},
        {{u"/F", u"dp_delete", u"oem7.inf"}, CMD_OK, false, true},
        {{u"-ff", u"dp_delete", u"oem7.inf"}, CMD_USAGE, false, false},
        {{u"-m:a", u"-m:b", u"-f", u"dp_delete", u"oem7.inf"}, CMD_OK, false, true},
        {{u"dp_delete", u"oem7.inf"}, CMD_FAIL, false, false},
        {{u"dp_delete", u"oem7.inf", u"-f"}, CMD_FAIL, false, false},  // options come before the command
        {{u"removal", u"HID_DEVICE"}, CMD_USAGE, false, false},
        {{u"-"}, CMD_USAGE, false, false},
    };
    for (auto &c : cases) {
        std::string trace;
        for (auto &a : c.args) trace += sim::user::Utf8(a) + " ";
        SCOPED_TRACE(trace);
        SetUp();
        Args args = c.args;
        args.insert(args.begin(), kProgram);
        EXPECT_EQ(Run(args), c.result);
        EXPECT_EQ(!sim::user::DeviceInstalled(kMouse), c.mouseRemoved);
        EXPECT_EQ(!sim::user::OemInfInstalled(u"oem7.inf"), c.packageRemoved);
        TearDown();
    }
}

TEST_F(DispatcherTest, MessagesNameTheProgramAndTheCommandAsTheTableSpellsIt) {
    struct Case {
        Args args;
        std::string err;
    } cases[] = {
        {{u"C:\\Installer\\UnInstall_V7420.exe"}, "usage: UnInstall_V7420.exe\n"},
        {{u"UnInstall_V7420.exe", u"nosuch"}, "usage: UnInstall_V7420.exe\n"},
        {{u"tool", u"REMOVE"}, "tool: usage of remove\n"},
        {{u"C:\\a\\b\\tool.exe", u"-f", u"DP_Delete", u"oem7.inf"}, ""},
        {{u"C:\\a\\b\\tool.exe", u"DP_Delete", u"oem7.inf"}, "tool.exe: dp_delete failed\n"},
        {{u"x\\", u"remove"}, ": usage of remove\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(sim::user::Utf8(c.args[0]));
        SetUp();
        DispatcherMessages();
        Run(c.args);
        EXPECT_EQ(sim::user::StdErr(), c.err);
        TearDown();
    }
}

TEST_F(DispatcherTest, ProgramWithoutMessageTableWritesNothing) {
    EXPECT_EQ(Run({kProgram}), CMD_USAGE);
    EXPECT_EQ(Run({kProgram, u"remove"}), CMD_USAGE);
    EXPECT_EQ(Run({kProgram, u"dp_delete", u"oem7.inf"}), CMD_FAIL);
    EXPECT_EQ(Run({kProgram, u"help"}), CMD_OK);
    EXPECT_EQ(Run({kProgram, u"?"}), CMD_OK);
    EXPECT_EQ(sim::user::StdErr(), "");
    EXPECT_EQ(sim::user::StdOut(), "");
}

TEST_F(DispatcherTest, PrintMessageTrimsLineEndsToOneLineFeed) {
    struct Case {
        std::u16string text;
        std::string written;
    } cases[] = {
        {u"abc\r\n", "abc\n"},
        {u"abc\r\n\r\n\n", "abc\n"},
        {u"abc", "abc"},
        {u"a\r\nb", "a\r\nb"},
        {u"\r\n", "\n"},
        {u"%1 and %2!u!\r\n", "first and 42\n"},
    };
    for (auto &c : cases) {
        SetUp();
        sim::user::SetMessageTable({{70000, c.text}});
        PrintMessage(GetStdHandle(STD_OUTPUT_HANDLE), 70000, u"first", DWORD_PTR(42));
        PrintMessage(GetStdHandle(STD_OUTPUT_HANDLE), 70001, u"unknown id");
        EXPECT_EQ(sim::user::StdOut(), c.written);
        TearDown();
    }
}

TEST_F(DispatcherTest, StreamsNotConnectedTakeNothing) {
    sim::user::SetStdStreamsConnected(false);
    DispatcherMessages();
    EXPECT_EQ(Run({kProgram, u"remove", u"HID_DEVICE"}), CMD_OK);
    EXPECT_FALSE(sim::user::DeviceInstalled(kMouse));
    EXPECT_EQ(sim::user::StdOut(), "");
}

TEST_F(DispatcherTest, TableRows) {
    int rows = 0;
    while (CommandTable[rows].Name != nullptr) ++rows;
    ASSERT_EQ(rows, 26);
    EXPECT_EQ(std::u16string(CommandTable[13].Name), u"remove");
    EXPECT_EQ(CommandTable[13].Handler, &RemoveCommand);
    EXPECT_EQ(std::u16string(CommandTable[23].Name), u"dp_delete");
    EXPECT_EQ(CommandTable[23].Handler, &DeletePackageCommand);
    EXPECT_EQ(CommandTable[8].Handler, CommandTable[25].Handler);  // "help" and "?"
    EXPECT_EQ(CommandTable[26].Handler, nullptr);
}

TEST_F(DispatcherTest, DormantCommandsSayTheyAreNotAvailableAndFail) {
    for (int row = 0; CommandTable[row].Name != nullptr; ++row) {
        const CommandEntry &entry = CommandTable[row];
        std::u16string name = entry.Name;
        if (name == u"remove" || name == u"dp_delete" || name == u"help" || name == u"?") continue;
        SCOPED_TRACE(sim::user::Utf8(name));
        SetUp();
        EXPECT_EQ(Run({kProgram, name, u"*"}), CMD_FAIL);
        EXPECT_EQ(sim::user::StdErr(), "UnInstall_V7420.exe: " + sim::user::Utf8(name) + ": not available in this program\n");
        EXPECT_EQ(sim::user::InstalledDevices().size(), 5u);
        TearDown();
    }
}

TEST_F(DispatcherTest, HelpPrintsFromTheMessageTable) {
    sim::user::SetMessageTable({{MSG_USAGE, u"usage: %1\r\n"}, {61201, u"%1: remove devices\r\n"},
                                {61200, u"%1 %2 full help\r\n"}, {60101, u"%1: this help\r\n"}});
    EXPECT_EQ(Run({kProgram, u"help"}), CMD_OK);
    EXPECT_EQ(sim::user::StdErr(), "usage: UnInstall_V7420.exe\n");
    EXPECT_EQ(sim::user::StdOut(), "help: this help\nremove: remove devices\n");
    EXPECT_EQ(Run({kProgram, u"?", u"/REMOVE"}), CMD_OK);
    EXPECT_EQ(sim::user::StdOut(), "help: this help\nremove: remove devices\nUnInstall_V7420.exe remove full help\n");
    EXPECT_EQ(Run({kProgram, u"help", u"nosuch"}), CMD_USAGE);
}

TEST_F(DispatcherTest, RestartSystemEnablesTheShutdownPrivilege) {
    EXPECT_TRUE(RestartSystem());
    EXPECT_TRUE(sim::user::PrivilegeEnabled(u"SeShutdownPrivilege"));
    ASSERT_EQ(sim::user::ShutdownRequests().size(), 1u);
    EXPECT_EQ(sim::user::ShutdownRequests()[0].reason, 0x80010002u);
}

TEST_F(DispatcherTest, RestartSystemCarriesOnWhenThePrivilegeStepsFail) {
    struct Case {
        const char *failing;  // nullptr: the token lacks the privilege
        BOOL result;
    } cases[] = {{"OpenProcessToken", FALSE}, {"LookupPrivilegeValueW", FALSE}, {"AdjustTokenPrivileges", FALSE},
                 {nullptr, FALSE}};
    for (auto &c : cases) {
        SetUp();
        if (c.failing) sim::user::FailCall(c.failing, ERROR_ACCESS_DENIED);
        else sim::user::SetPrivilegeHeld(u"SeShutdownPrivilege", false);
        EXPECT_EQ(RestartSystem(), c.result);
        EXPECT_EQ(sim::user::CallCount("InitiateSystemShutdownExW"), 1);  // requested anyway
        EXPECT_TRUE(sim::user::ShutdownRequests().empty());
        TearDown();
    }
}

TEST_F(DispatcherTest, RebootResultWithoutRestartOptionDoesNotRestart) {
    sim::user::DeviceSpec d = Device(u"ROOT\\CARDRW\\0000", u"Ports", {u"CARDRW_TEST"});
    d.removeAnswer = sim::user::RemoveAnswer::NeedsRestart;
    sim::user::AddDevice(d);
    EXPECT_EQ(Run({kProgram, u"remove", u"CARDRW_TEST"}), CMD_REBOOT);
    EXPECT_EQ(sim::user::CallCount("InitiateSystemShutdownExW"), 0);
}

}  // namespace
}  // namespace engine_test
