// ForEachMatchingDevice over a simulated device database: the argument grammar (class, all
// devices, instance IDs, hardware and compatible IDs), how the walk ends, and its failures.
#include "engine_fixture.h"

namespace engine_test {
namespace {

struct Walk {
    std::vector<std::u16string> visited;
    std::vector<DWORD> indexes;
    int stopAfter = 0;  // return 5 after this many devices (0: never)
};

int RecordDevice(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD index, PVOID context) {
    auto *walk = static_cast<Walk *>(context);
    WCHAR id[MAX_DEVICE_ID_LEN + 1] = {};
    CM_Get_Device_ID_ExW(device->DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr);
    walk->visited.push_back(id);
    walk->indexes.push_back(index);
    return (walk->stopAfter && int(walk->visited.size()) == walk->stopAfter) ? 5 : 0;
}

class EnumerationTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        InstallCardReader();
    }

    int Walk(const Args &args, DWORD flags = 0, struct Walk *walk = nullptr) {
        std::vector<LPCWSTR> argv;
        for (auto &a : args) argv.push_back(a.c_str());
        struct Walk local;
        if (!walk) walk = &local;
        return ForEachMatchingDevice(u"UnInstall_V7420.exe", nullptr, flags, int(argv.size()), argv.data(), RecordDevice,
                                     walk);
    }

    std::vector<std::u16string> Visited(const Args &args, DWORD flags = 0) {
        struct Walk walk;
        EXPECT_EQ(Walk(args, flags, &walk), CMD_OK);
        return walk.visited;
    }

    using List = std::vector<std::u16string>;
};

TEST_F(EnumerationTest, GrammarSelectsDevices) {
    const List all = {kComposite, kSerial, kPrinterInterface, kPrinter, kMouse};
    struct Case {
        Args args;
        List expected;
    } cases[] = {
        {{u"*"}, all},
        {{u"=Ports"}, {kSerial}},
        {{u"=usb", u"*"}, {kComposite, kPrinterInterface}},
        {{u"=USB", u"USB\\Vid_3f7b&Pid_0a51&MI_00"}, {}},  // the serial function is a port, not USB
        {{u"USB\\Vid_3f7b&Pid_0a51&*"}, {kComposite, kSerial, kPrinterInterface}},
        {{u"USBPRINT\\Tervalinx_Rewritable7E19"}, {kPrinter}},
        {{u"tervalinx_rewritable7e19"}, {kPrinter}},  // a compatible ID
        {{u"USB\\COMPOSITE", u"HID_DEVICE"}, {kComposite, kMouse}},
        {{u"@USB\\VID_3F7B&PID_0A51&MI_00\\6&2B3C4D5E&0&0000"}, {kSerial}},
        {{u"@usb\\vid_3f7b&pid_0a51&mi_0*"}, {kSerial, kPrinterInterface}},
        {{u"@USB\\NO_SUCH_DEVICE\\1"}, {}},
        {{u"'USB\\Vid_3f7b&Pid_0a51&*"}, {}},  // the star is literal
        {{u"*", u"NO_SUCH_ID"}, all},            // all devices: the patterns are not consulted
        {{u"=Printer", u"*", u"NO_SUCH_ID"}, {kPrinter}},
        {{u"NO_SUCH_ID"}, {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(sim::user::Utf8(c.args[0]) + (c.args.size() > 1 ? " " + sim::user::Utf8(c.args[1]) : ""));
        EXPECT_EQ(Visited(c.args), c.expected);
    }
}

TEST_F(EnumerationTest, ExactInstanceIdsNeedNoSearchOfTheDatabase) {
    EXPECT_EQ(Visited({u"@" + std::u16string(kPrinter), u"@" + std::u16string(kSerial)}), (List{kPrinter, kSerial}));
    EXPECT_EQ(sim::user::CallCount("SetupDiGetClassDevsExW"), 0);
    EXPECT_EQ(sim::user::CallCount("SetupDiCreateDeviceInfoListExW"), 1);
    EXPECT_TRUE(sim::user::PropertyReads().empty());
}

TEST_F(EnumerationTest, PresentFlagLeavesOutUnpluggedInstances) {
    sim::user::AddDevice(Device(u"USB\\VID_3F7B&PID_0A51&MI_00\\6&99&0&0000", u"Ports",
                                {u"USB\\VID_3F7B&PID_0A51&MI_00"}, {}, /*present=*/false));
    EXPECT_EQ(Visited({u"=Ports"}, DIGCF_PRESENT), (List{kSerial}));
    EXPECT_EQ(Visited({u"=Ports"}, 0).size(), 2u);
}

TEST_F(EnumerationTest, UnknownClassIsDoneWithoutCallingBack) {
    struct Walk walk;
    EXPECT_EQ(Walk({u"=NoSuchClass", u"*"}, 0, &walk), CMD_OK);
    EXPECT_TRUE(walk.visited.empty());
    EXPECT_EQ(sim::user::CallCount("SetupDiGetClassDevsExW"), 0);
}

TEST_F(EnumerationTest, EqualsSignAloneIsAnIdPattern) {
    EXPECT_TRUE(Visited({u"="}).empty());
    EXPECT_EQ(sim::user::CallCount("SetupDiClassGuidsFromNameExW"), 0);
}

TEST_F(EnumerationTest, ClassNameOfTwoClassesUsesTheFirst) {
    const GUID second = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    sim::user::AddSetupClass(u"Ports", second);
    EXPECT_EQ(Visited({u"=Ports"}), (List{kSerial}));
}

TEST_F(EnumerationTest, CallbackResultStopsTheWalkAndIsReturned) {
    struct Walk walk;
    walk.stopAfter = 2;
    EXPECT_EQ(Walk({u"*"}, 0, &walk), 5);
    EXPECT_EQ(walk.visited, (List{kComposite, kSerial}));
    EXPECT_EQ(walk.indexes, (std::vector<DWORD>{0, 1}));
}

TEST_F(EnumerationTest, DeviceWithUnreadableIdsMatchesOnlyThroughWhatCanBeRead) {
    sim::user::DeviceSpec hidden = Device(u"USB\\VID_3F7B&PID_0A51&MI_00\\6&77&0&0000", u"Ports",
                                          {u"USB\\VID_3F7B&PID_0A51&MI_00"});
    hidden.propertyError = ERROR_INVALID_DATA;
    sim::user::AddDevice(hidden);
    EXPECT_EQ(Visited({u"USB\\Vid_3f7b&Pid_0a51&MI_00"}), (List{kSerial}));
    EXPECT_EQ(Visited({u"@USB\\VID_3F7B&PID_0A51&MI_00\\6&77*"}), (List{hidden.instanceId}));

    sim::user::DeviceSpec nameless = Device(u"USB\\VID_3F7B&PID_0A51&MI_00\\6&88&0&0000", u"Ports",
                                            {u"USB\\VID_3F7B&PID_0A51&MI_00"});
    nameless.instanceIdUnreadable = true;
    sim::user::AddDevice(nameless);
    struct Walk walk;
    EXPECT_EQ(Walk({u"@USB\\*", u"USB\\VID_3F7B&PID_0A51&MI_00"}, 0, &walk), CMD_OK);
    EXPECT_EQ(walk.visited.size(), 5u);  // four USB instances by ID, the nameless one by its hardware ID
}

TEST_F(EnumerationTest, FailuresBeforeTheWalk) {
    struct Case {
        const char *function;
        DWORD error;
        Args args;
        int expected;
    } cases[] = {
        {"SetupDiClassGuidsFromNameExW", ERROR_INVALID_PARAMETER, {u"=Ports"}, CMD_FAIL},
        {"SetupDiGetClassDevsExW", ERROR_NOT_ENOUGH_MEMORY, {u"*"}, CMD_FAIL},
        {"SetupDiCreateDeviceInfoListExW", ERROR_NOT_ENOUGH_MEMORY, {u"@X"}, CMD_FAIL},
        {"SetupDiGetDeviceInfoListDetailW", ERROR_INVALID_HANDLE, {u"*"}, CMD_FAIL},
        {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, {u"*"}, CMD_FAIL},
        {"SetupDiOpenDeviceInfoW", ERROR_NO_SUCH_DEVINST, {u"@" + std::u16string(kSerial), u"HID_DEVICE"}, CMD_OK},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.function);
        sim::user::FailCall(c.function, c.error);
        struct Walk walk;
        EXPECT_EQ(Walk(c.args, 0, &walk), c.expected);
        if (c.expected == CMD_FAIL) {
            EXPECT_TRUE(walk.visited.empty());
        }
        SetUp();  // a fresh installation, without the scripted failure
    }
}

TEST_F(EnumerationTest, NoArgumentsIsAUsageError) { EXPECT_EQ(Walk({}), CMD_USAGE); }

}  // namespace
}  // namespace engine_test
