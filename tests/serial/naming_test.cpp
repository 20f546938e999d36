// The COM name: published in three places at start, withdrawn at stop, the registry values
// that choose it, a name changed while the device runs, and names of every length.
#include "tests/serial/port_fixture.h"

#include <algorithm>

namespace serial_test {
namespace {

const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class NamingTest : public SerialPortTest {
protected:
    std::optional<std::u16string> LinkOf(const std::u16string& com)
    {
        return sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\" + com);
    }
    void SetUp() override
    {
        SerialPortTest::SetUp();
        deviceName_ = sim::DeviceName(Port());
    }
    void TearDown() override
    {
        SerialPortTest::TearDown();
        others_.clear();
    }
    // Plugs in one more card reader/writer on another port; returns its serial device.
    PDEVICE_OBJECT PlugAnother(ULONG portNumber)
    {
        sim::usb::PlugOptions options;
        options.PortNumber = portNumber;
        others_.push_back(sim::usb::PlugIn(std::make_shared<sim::usb::CardReaderModel>(), options));
        sim::DeviceNode* node = sim::NodeOfPhysicalDevice(others_.back()->Pdo());
        return node != nullptr ? sim::StackTopOf(node) : nullptr;
    }
    std::vector<std::shared_ptr<sim::usb::UsbDevice>> others_;
    // The port's device name, kept for checks after a failed start deleted the device.
    std::u16string DevName() { return deviceName_; }
    std::u16string deviceName_;
    std::optional<std::u16string> MapEntry() { return sim::RegistryGetString(sim::kSerialCommKey, DevName()); }
    size_t EnabledInterfaces()
    {
        auto list = sim::DeviceInterfaces(&kComPortInterface);
        return std::count_if(list.begin(), list.end(), [](const sim::DeviceInterfaceInfo& i) { return i.enabled; });
    }
    // Links of this device: every link whose target is the port's device name.
    std::vector<std::u16string> OurLinks()
    {
        std::vector<std::u16string> ours;
        for (const auto& link : sim::SymbolicLinks()) {
            if (sim::SymbolicLinkTarget(link) == DevName()) {
                ours.push_back(link);
            }
        }
        return ours;
    }
    void SetNames(std::optional<std::u16string> portName, std::optional<std::u16string> identifier)
    {
        sim::RegistryDeleteValue(HardwareKey(), u"PortName");
        sim::RegistryDeleteValue(HardwareKey(), u"Identifier");
        if (portName) {
            sim::RegistrySetString(HardwareKey(), u"PortName", *portName);
        }
        if (identifier) {
            sim::RegistrySetString(HardwareKey(), u"Identifier", *identifier);
        }
    }
};

TEST_F(NamingTest, PublishedInThreePlacesAndWithdrawnAtStop)
{
    EXPECT_EQ(LinkOf(u"COM3"), std::u16string(u"\\Device\\XWQUsbSerial0"));
    EXPECT_EQ(MapEntry(), std::u16string(u"COM3"));
    auto interfaces = sim::DeviceInterfaces(&kComPortInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].physicalDeviceObject, sim::PhysicalDeviceOf(Node()));

    ASSERT_EQ(sim::Disable(Node()).status, STATUS_SUCCESS);
    EXPECT_TRUE(OurLinks().empty());
    EXPECT_FALSE(MapEntry().has_value());
    EXPECT_EQ(EnabledInterfaces(), 0u);
}

// The values read at a start: which name is published, or nothing at all.
TEST_F(NamingTest, RegistryValuesChooseTheName)
{
    struct Case {
        const char* name;
        std::optional<std::u16string> portName, identifier;
        std::optional<ULONG> skip;
        bool starts;
        std::optional<std::u16string> published;
    } cases[] = {
        {"PortName wins", u"COM5", u"COM7", std::nullopt, true, u"COM5"},
        {"Identifier fallback", std::nullopt, u"COM7", std::nullopt, true, u"COM7"},
        {"external naming off", u"COM5", std::nullopt, 1u, true, std::nullopt},
        {"33 characters", u"COM" + std::u16string(30, u'9'), std::nullopt, 0u, true,
         u"COM" + std::u16string(30, u'9')},
        {"127 characters and the zero", std::u16string(127, u'X'), std::nullopt, 0u, true, std::u16string(127, u'X')},
        {"128 characters and the zero are too long", std::u16string(128, u'X'), u"COM8", 0u, true, u"COM8"},
        {"neither value", std::nullopt, std::nullopt, std::nullopt, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetNames(c.portName, c.identifier);
        if (c.skip) {
            sim::RegistrySetDword(HardwareKey(), u"SerialSkipExternalNaming", *c.skip);
        }
        sim::PnpResult r = sim::StopAndRestart(Node());
        EXPECT_EQ(NT_SUCCESS(r.StatusOf(IRP_MN_START_DEVICE)), c.starts);
        if (!c.starts) {
            EXPECT_TRUE(OurLinks().empty());
            EXPECT_FALSE(MapEntry().has_value());
            EXPECT_EQ(EnabledInterfaces(), 0u);
            continue;
        }
        if (c.published) {
            EXPECT_EQ(OurLinks(), std::vector<std::u16string>{u"\\GLOBAL??\\" + *c.published});
            EXPECT_EQ(MapEntry(), c.published);
            EXPECT_EQ(EnabledInterfaces(), 1u);
        } else {
            EXPECT_TRUE(OurLinks().empty());
            EXPECT_FALSE(MapEntry().has_value());
            EXPECT_EQ(EnabledInterfaces(), 0u);
            // An open with naming off touches no link either.
            ASSERT_EQ(Open(), STATUS_SUCCESS);
            EXPECT_TRUE(OurLinks().empty());
            ASSERT_EQ(Close(), STATUS_SUCCESS);
        }
    }
}

// A rename while the device runs: the next open links the new name and drops the old link;
// within the watch after an open, the naming worker moves the link by itself. The map entry
// keeps the old name until the next start; the stop withdraws whichever link exists.
TEST_F(NamingTest, RenamedWhileRunning)
{
    SetNames(u"COM9", std::nullopt);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(OurLinks(), std::vector<std::u16string>{u"\\GLOBAL??\\COM9"});
    EXPECT_EQ(MapEntry(), std::u16string(u"COM3"));

    SetNames(u"COM11", std::nullopt);
    LARGE_INTEGER wait;
    wait.QuadPart = -300 * kMs;   // the worker polls every 100 ms
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(OurLinks(), std::vector<std::u16string>{u"\\GLOBAL??\\COM11"});

    // After the watch (about 10 s) a rename is not followed until the next open.
    wait.QuadPart = -11000 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    SetNames(u"COM12", std::nullopt);
    wait.QuadPart = -1000 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(OurLinks(), std::vector<std::u16string>{u"\\GLOBAL??\\COM11"});
    ASSERT_EQ(Close(), STATUS_SUCCESS);

    ASSERT_EQ(sim::Disable(Node()).status, STATUS_SUCCESS);
    EXPECT_TRUE(OurLinks().empty());
}

// Device numbers count up while the driver stays loaded and are never given out again; each
// device publishes its own COM name.
TEST_F(NamingTest, DeviceNumbersAreNeverReused)
{
    PDEVICE_OBJECT second = PlugAnother(2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(sim::DeviceName(second), u"\\Device\\XWQUsbSerial1");
    auto secondCom = sim::RegistryGetString(sim::kSerialCommKey, u"\\Device\\XWQUsbSerial1");
    ASSERT_TRUE(secondCom.has_value());
    EXPECT_NE(*secondCom, u"COM3");
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\" + *secondCom),
              std::u16string(u"\\Device\\XWQUsbSerial1"));

    ASSERT_EQ(sim::Disable(sim::NodeOfPhysicalDevice(others_.back()->Pdo())).status, STATUS_SUCCESS);
    EXPECT_FALSE(sim::RegistryGetString(sim::kSerialCommKey, u"\\Device\\XWQUsbSerial1").has_value());
    PDEVICE_OBJECT third = PlugAnother(3);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(sim::DeviceName(third), u"\\Device\\XWQUsbSerial2");
    EXPECT_EQ(MapEntry(), std::u16string(u"COM3")) << "the first device is untouched";
}

// A name another device already holds fails the start and leaves nothing of this device.
TEST_F(NamingTest, NameCollisionFailsTheStart)
{
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Global\\COM4");
    RtlInitUnicodeString(&target, u"\\Device\\Somewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    SetNames(u"COM4", std::nullopt);
    sim::PnpResult r = sim::StopAndRestart(Node());
    EXPECT_EQ(r.StatusOf(IRP_MN_START_DEVICE), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\COM4"), std::u16string(u"\\Device\\Somewhere"));
    EXPECT_TRUE(OurLinks().empty());
    EXPECT_FALSE(MapEntry().has_value());
    EXPECT_EQ(EnabledInterfaces(), 0u);
    IoDeleteSymbolicLink(&link);
}

} // namespace
} // namespace serial_test
