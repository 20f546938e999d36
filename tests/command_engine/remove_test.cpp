// "remove": every matching instance, plugged in or not, goes through its class installer; one
// status line per device on standard output; the result says whether a restart is needed.
#include "engine_fixture.h"

namespace engine_test {
namespace {

// The status line as the command writes it: the ID left-aligned in 60 columns.
std::string Line(const std::u16string &id, const std::string &status) {
    std::string text = sim::user::Utf8(id);
    if (text.size() < 60) text.append(60 - text.size(), ' ');
    return text + ": " + status + "\n";
}

class RemoveTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        // Texts for the three summary messages, so that the count each reports can be seen.
        sim::user::SetMessageTable({{MSG_REMOVE_NONE, u"No devices were removed.\r\n"},
                                    {MSG_REMOVE_REBOOT, u"%1!u! device(s) are ready to be removed. Restart.\r\n"},
                                    {MSG_REMOVE_OK, u"%1!u! device(s) were removed.\r\n"}});
    }

    static sim::user::DeviceSpec Answering(sim::user::DeviceSpec d, sim::user::RemoveAnswer answer) {
        d.removeAnswer = answer;
        return d;
    }
};

TEST_F(RemoveTest, PresentAndAbsentInstancesAreRemoved) {
    InstallCardReader(/*plugged=*/false);
    sim::user::AddDevice(Device(u"USB\\VID_3F7B&PID_0A51\\5&AAAA&0&2", u"USB", {u"USB\\VID_3F7B&PID_0A51&REV_0100"}));
    EXPECT_EQ(Run({kProgram, u"remove", u"USB\\Vid_3f7b&Pid_0a51&*"}), CMD_OK);
    EXPECT_EQ(sim::user::StdOut(), Line(kComposite, "Removed") + Line(kSerial, "Removed") +
                                       Line(kPrinterInterface, "Removed") +
                                       Line(u"USB\\VID_3F7B&PID_0A51\\5&AAAA&0&2", "Removed") +
                                       "4 device(s) were removed.\n");
    EXPECT_EQ(sim::user::InstalledDevices(), (std::vector<std::u16string>{kPrinter, kMouse}));
    for (auto &call : sim::user::RemoveCalls()) {
        EXPECT_EQ(call.scope, DWORD(DI_REMOVEDEVICE_GLOBAL));
        EXPECT_EQ(call.hwProfile, 0u);
    }
    EXPECT_TRUE(sim::user::ShutdownRequests().empty());
}

TEST_F(RemoveTest, NoMatchWritesNoStatusLine) {
    InstallCardReader();
    EXPECT_EQ(Run({kProgram, u"remove", u"USB\\Vid_1234&*"}), CMD_OK);
    EXPECT_EQ(sim::user::StdOut(), "No devices were removed.\n");
    EXPECT_EQ(sim::user::InstalledDevices().size(), 5u);
}

TEST_F(RemoveTest, RestartNeededGivesRebootResultAndRestartsOnlyWithOption) {
    for (bool withOption : {false, true}) {
        SetUp();
        sim::user::AddDevice(Answering(Device(kPrinter, u"Printer", {u"USBPRINT\\Tervalinx_Rewritable7E19"}),
                                       sim::user::RemoveAnswer::NeedsRestart));
        sim::user::AddDevice(Answering(Device(u"USBPRINT\\TERVALINX_REWRITABLE7E19\\7&1&0&USB002", u"Printer",
                                              {u"USBPRINT\\Tervalinx_Rewritable7E19"}),
                                       sim::user::RemoveAnswer::NeedsReboot));
        Args args = {kProgram, u"remove", u"USBPRINT\\Tervalinx_Rewritable7E19"};
        if (withOption) args.insert(args.begin() + 1, u"-r");
        EXPECT_EQ(Run(args), CMD_REBOOT);
        EXPECT_EQ(sim::user::StdOut(), Line(kPrinter, "Removed on reboot") +
                                           Line(u"USBPRINT\\TERVALINX_REWRITABLE7E19\\7&1&0&USB002", "Removed on reboot") +
                                           "2 device(s) are ready to be removed. Restart.\n");
        auto shutdowns = sim::user::ShutdownRequests();
        ASSERT_EQ(shutdowns.size(), withOption ? 1u : 0u);
        if (withOption) {
            EXPECT_TRUE(shutdowns[0].reboot);
            EXPECT_FALSE(shutdowns[0].forceAppsClosed);
            EXPECT_EQ(shutdowns[0].timeout, 0u);
            EXPECT_EQ(shutdowns[0].reason, 0x80010002u);
            EXPECT_TRUE(shutdowns[0].machine.empty());
            EXPECT_TRUE(shutdowns[0].message.empty());
        }
        TearDown();
    }
}

TEST_F(RemoveTest, FailedRemovalGetsItsLineAndTheWalkGoesOn) {
    sim::user::AddDevice(Answering(Device(kComposite, u"USB", {u"USB\\VID_3F7B&PID_0A51&REV_0100"}),
                                   sim::user::RemoveAnswer::Fails));
    sim::user::AddDevice(Device(kSerial, u"Ports", {u"USB\\VID_3F7B&PID_0A51&MI_00"}));
    sim::user::AddDevice(Answering(Device(kPrinterInterface, u"USB", {u"USB\\VID_3F7B&PID_0A51&MI_01"}),
                                   sim::user::RemoveAnswer::NeedsRestart));
    EXPECT_EQ(Run({kProgram, u"remove", u"USB\\Vid_3f7b&Pid_0a51&*"}), CMD_REBOOT);
    EXPECT_EQ(sim::user::StdOut(), Line(kComposite, "Remove failed") + Line(kSerial, "Removed") +
                                       Line(kPrinterInterface, "Removed on reboot") +
                                       "2 device(s) are ready to be removed. Restart.\n");
    EXPECT_EQ(sim::user::InstalledDevices(), (std::vector<std::u16string>{kComposite}));
}

TEST_F(RemoveTest, OnlyFailuresEndWithNoDeviceRemoved) {
    sim::user::AddDevice(Answering(Device(kSerial, u"Ports", {u"USB\\VID_3F7B&PID_0A51&MI_00"}),
                                   sim::user::RemoveAnswer::Fails));
    EXPECT_EQ(Run({kProgram, u"remove", u"USB\\VID_3F7B&PID_0A51&MI_00"}), CMD_OK);
    EXPECT_EQ(sim::user::StdOut(), Line(kSerial, "Remove failed") + "No devices were removed.\n");
}

TEST_F(RemoveTest, LongInstanceIdIsWrittenInFullBeforeTheColon) {
    const std::u16string longId =
        u"USB\\VID_3F7B&PID_0A51&MI_00\\6&2B3C4D5E&0&0000&WITH_A_VERY_LONG_INSTANCE_PART_0123456789";
    ASSERT_GT(longId.size(), 60u);
    const std::u16string exactly60(u"ROOT\\CARDRW\\" + std::u16string(48, u'0'));
    ASSERT_EQ(exactly60.size(), 60u);
    sim::user::AddDevice(Device(longId.c_str(), u"Ports", {u"CARDRW_TEST"}));
    sim::user::AddDevice(Device(exactly60.c_str(), u"Ports", {u"CARDRW_TEST"}));
    EXPECT_EQ(Run({kProgram, u"remove", u"CARDRW_TEST"}), CMD_OK);
    EXPECT_EQ(sim::user::StdOut(), sim::user::Utf8(longId) + ": Removed\n" + sim::user::Utf8(exactly60) +
                                       ": Removed\n2 device(s) were removed.\n");
}

TEST_F(RemoveTest, WithoutMessageTableOnlyTheStatusLinesAppear) {
    EngineTest::SetUp();  // a fresh installation: the program carries no message table
    InstallCardReader();
    EXPECT_EQ(Run({kProgram, u"remove", u"HID_DEVICE"}), CMD_OK);
    EXPECT_EQ(sim::user::StdOut(), Line(kMouse, "Removed"));
    EXPECT_EQ(sim::user::StdErr(), "");
}

TEST_F(RemoveTest, UsageErrors) {
    InstallCardReader();
    EXPECT_EQ(Run({kProgram, u"remove"}), CMD_USAGE);
    EXPECT_EQ(Run({kProgram, u"-m:SIMPC", u"remove", u"HID_DEVICE"}), CMD_USAGE);  // local machine only
    EXPECT_EQ(sim::user::InstalledDevices().size(), 5u);
    EXPECT_EQ(sim::user::StdOut(), "");
}

TEST_F(RemoveTest, ForceFlagChangesNothing) {
    sim::user::AddDevice(Answering(Device(kSerial, u"Ports", {u"USB\\VID_3F7B&PID_0A51&MI_00"}),
                                   sim::user::RemoveAnswer::Fails));
    EXPECT_EQ(Run({kProgram, u"-f", u"remove", u"USB\\VID_3F7B&PID_0A51&MI_00"}), CMD_OK);
    EXPECT_EQ(sim::user::StdOut(), Line(kSerial, "Remove failed") + "No devices were removed.\n");
}

// The calls inside the per-device step, each failing once for the first device.
TEST_F(RemoveTest, PerDeviceFailures) {
    struct Case {
        const char *function;
        int nth;
        std::string firstLine;  // empty: the device is passed over without a line
        int removed;
    } cases[] = {
        // The walk itself reads the set's details once, and each device's ID while matching.
        {"SetupDiGetDeviceInfoListDetailW", 2, "", 1},
        {"CM_Get_Device_ID_ExW", 2, "", 1},
        {"SetupDiSetClassInstallParamsW", 1, "Remove failed", 1},
        {"SetupDiGetDeviceInstallParamsW", 1, "Removed", 2},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.function);
        SetUp();
        sim::user::AddDevice(Answering(Device(kSerial, u"Ports", {u"CARDRW_TEST"}), sim::user::RemoveAnswer::NeedsRestart));
        sim::user::AddDevice(Device(kMouse, u"Mouse", {u"CARDRW_TEST"}));
        sim::user::FailCall(c.function, c.function[0] == 'C' ? CR_NO_SUCH_DEVNODE : ERROR_INVALID_PARAMETER, c.nth);
        EXPECT_EQ(Run({kProgram, u"remove", u"CARDRW_TEST"}), CMD_OK);
        std::string out = c.firstLine.empty() ? "" : Line(kSerial, c.firstLine);
        out += Line(kMouse, "Removed") + std::to_string(c.removed) + " device(s) were removed.\n";
        EXPECT_EQ(sim::user::StdOut(), out);
        TearDown();
    }
}

}  // namespace
}  // namespace engine_test

namespace engine_test {
namespace {

TEST_F(RemoveTest, StatusTextsComeFromTheStringTableInBothLanguages) {
    for (LANGID language : {LANGID(1033), LANGID(1041)}) {
        SetUp();
        sim::user::SetUserInterfaceLanguage(language);
        sim::user::AddDevice(Device(kMouse, u"Mouse", {u"HID_DEVICE"}));
        EXPECT_EQ(Run({kProgram, u"remove", u"HID_DEVICE"}), CMD_OK);
        EXPECT_EQ(sim::user::StdOut(), Line(kMouse, "Removed") + "1 device(s) were removed.\n");
        TearDown();
    }
}

TEST_F(RemoveTest, MissingStatusTextFailsBeforeAnyRemoval) {
    const std::string path = ::testing::TempDir() + "cardrw_partial_strings.rc";
    FILE *rc = fopen(path.c_str(), "w");
    ASSERT_NE(rc, nullptr);
    fputs("LANGUAGE 9, 1\nSTRINGTABLE\nBEGIN\n    3009 \"Removed\"\n    3010 \"Removed on reboot\"\nEND\n", rc);
    fclose(rc);
    std::string error;
    ASSERT_TRUE(sim::user::LoadResourceScript(path, &error)) << error;
    sim::user::AddDevice(Device(kMouse, u"Mouse", {u"HID_DEVICE"}));
    EXPECT_EQ(Run({kProgram, u"remove", u"HID_DEVICE"}), CMD_FAIL);
    EXPECT_TRUE(sim::user::DeviceInstalled(kMouse));
    EXPECT_EQ(sim::user::StdOut(), "");
    remove(path.c_str());
}

}  // namespace
}  // namespace engine_test
