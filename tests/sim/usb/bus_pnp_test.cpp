// Plugging a device in through the PnP manager: enumeration of the PDO, the drivers installed
// for its hardware ID in stack order, start, and the unplug that ends in the PDO's removal.
#include "tests/sim/usb/usb_test_driver.h"

#include "sim/kernel/include/sim_pnp.h"

namespace usb_test {
namespace {

using sim::usb::CardReaderModel;

class BusPnpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::ResetForTest();
        sim::SetFailureHandler([](const std::string &message) { ADD_FAILURE() << "verifier: " << message; });
        sim::InstallServiceEntry(u"UsbTestFunction", TestFunctionEntry);
        sim::InstallServiceEntry(u"UsbTestFilter", TestFunctionEntry);
        sim::InstallHardwareId(u"USB\\VID_3F7B&PID_0A51&MI_00", u"UsbTestFunction", {u"UsbTestFilter"});
    }
    void TearDown() override
    {
        sim::RemoveAllDevices();
        sim::UninstallAll();
        sim::ResetForTest();
    }
};

TEST_F(BusPnpTest, PlugInBuildsAndStartsTheInstalledStack)
{
    auto card = std::make_shared<CardReaderModel>();
    std::shared_ptr<sim::usb::UsbDevice> device = sim::usb::PlugIn(card);
    ASSERT_NE(device, nullptr);
    sim::DeviceNode *node = device->Node();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::Started);
    EXPECT_EQ(sim::PhysicalDeviceOf(node), device->Pdo());
    EXPECT_EQ(sim::InstancePathOf(node), u"USB\\VID_3F7B&PID_0A51&MI_00\\" + device->InstanceId());

    // Bottom to top: the bus's PDO, the function driver, its upper filter.
    PDEVICE_OBJECT pdo = device->Pdo();
    PDEVICE_OBJECT function = pdo->AttachedDevice;
    ASSERT_NE(function, nullptr);
    PDEVICE_OBJECT filter = function->AttachedDevice;
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(function->DriverObject, sim::LoadedDriver(u"UsbTestFunction"));
    EXPECT_EQ(filter->DriverObject, sim::LoadedDriver(u"UsbTestFilter"));
    EXPECT_EQ(sim::StackTopOf(node), filter);
    EXPECT_EQ(sim::CapabilitiesOf(node).DeviceWake, sim::usb::PlugOptions{}.DeviceWake);

    // The stack reaches the device.
    UrbRequest u(filter, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    u.Buffer.resize(18);
    UsbBuildGetDescriptorRequest(u.Urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, u.Buffer.data(), nullptr, 18, nullptr);
    u.Send();
    EXPECT_EQ(u.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(u.Buffer, sim::usb::descriptors::CardReaderDevice());

    // Pulling the cable: surprise removal, then removal (no handles are open), then the PDO goes.
    ObReferenceObject(pdo);
    device->Unplug();
    device->WaitForPnp();
    sim::WaitForRemoval(node);
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::Removed);
    EXPECT_EQ(device->Pdo(), nullptr);
    EXPECT_TRUE(sim::IsDeviceDeleted(pdo));
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    ObDereferenceObject(pdo);
}

TEST_F(BusPnpTest, TwoDevicesGetTwoNodes)
{
    std::shared_ptr<sim::usb::UsbDevice> first = sim::usb::PlugIn(std::make_shared<CardReaderModel>());
    std::shared_ptr<sim::usb::UsbDevice> second = sim::usb::PlugIn(std::make_shared<CardReaderModel>());
    ASSERT_NE(first->Node(), nullptr);
    ASSERT_NE(second->Node(), nullptr);
    EXPECT_NE(first->Node(), second->Node());
    EXPECT_NE(sim::InstancePathOf(first->Node()), sim::InstancePathOf(second->Node()));
    first->Unplug();
    first->WaitForPnp();
    EXPECT_EQ(sim::StateOf(second->Node()), sim::DeviceNodeState::Started);
}

// The device instance follows from the port: unplugged and plugged into the same port again it
// is the same instance, with the COM name the Ports class installer gave it; a device in
// another port meanwhile is another instance with a name of its own.
TEST_F(BusPnpTest, PluggedAgainIntoItsPortTheDeviceGetsItsInstanceAndComNameBack)
{
    auto comName = [](const std::shared_ptr<sim::usb::UsbDevice> &device) {
        return sim::RegistryGetString(sim::HardwareKeyOf(device->Node()), u"PortName").value_or(u"");
    };
    std::shared_ptr<sim::usb::UsbDevice> first = sim::usb::PlugIn(std::make_shared<CardReaderModel>());
    ASSERT_NE(first->Node(), nullptr);
    std::u16string instance = sim::InstancePathOf(first->Node());
    EXPECT_EQ(comName(first), u"COM3");
    EXPECT_EQ(sim::CapabilitiesOf(first->Node()).Address, 1u);

    first->Unplug();
    first->WaitForPnp();
    ASSERT_EQ(sim::StateOf(first->Node()), sim::DeviceNodeState::Removed);
    EXPECT_EQ(first->Pdo(), nullptr);

    std::shared_ptr<sim::usb::UsbDevice> again = sim::usb::PlugIn(std::make_shared<CardReaderModel>());
    ASSERT_NE(again->Node(), nullptr);
    EXPECT_NE(again->Node(), first->Node());
    EXPECT_EQ(sim::CapabilitiesOf(again->Node()).Address, 1u);
    EXPECT_EQ(sim::InstancePathOf(again->Node()), instance);
    EXPECT_EQ(comName(again), u"COM3");

    std::shared_ptr<sim::usb::UsbDevice> other = sim::usb::PlugIn(std::make_shared<CardReaderModel>());
    ASSERT_NE(other->Node(), nullptr);
    EXPECT_EQ(sim::CapabilitiesOf(other->Node()).Address, 2u);
    EXPECT_NE(sim::InstancePathOf(other->Node()), instance);
    EXPECT_EQ(comName(other), u"COM4");

    // The removed node keeps its instance's name reserved for it: unplugged, the device in port 1
    // leaves COM3 to nobody else.
    again->Unplug();
    again->WaitForPnp();
    sim::usb::PlugOptions port3;
    port3.PortNumber = 3;
    std::shared_ptr<sim::usb::UsbDevice> third = sim::usb::PlugIn(std::make_shared<CardReaderModel>(), port3);
    ASSERT_NE(third->Node(), nullptr);
    EXPECT_EQ(comName(third), u"COM5");
}

// A port holds one device: plugging another into it is a fault of the test.
TEST_F(BusPnpTest, APortHoldsOneDevice)
{
    sim::usb::PlugOptions port2;
    port2.PortNumber = 2;
    std::shared_ptr<sim::usb::UsbDevice> device = sim::usb::CreateDevice(std::make_shared<CardReaderModel>(), port2);
    ASSERT_NE(device, nullptr);
    {
        sim::VerifierRecorder recorder;
        EXPECT_EQ(sim::usb::CreateDevice(std::make_shared<CardReaderModel>(), port2), nullptr);
        EXPECT_EQ(recorder.Count("which has a device already"), 1u);
    }
    device->Unplug();
}

TEST_F(BusPnpTest, DeviceWithoutAnInstalledDriverStaysWithoutAStack)
{
    auto other = std::make_shared<sim::usb::DescriptorOnlyModel>(sim::usb::BuildDeviceDescriptor(0x1234, 0x5678),
                                                                 sim::usb::descriptors::TwoInterfaces());
    std::shared_ptr<sim::usb::UsbDevice> device = sim::usb::PlugIn(other);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Node(), nullptr);
    EXPECT_EQ(device->DeviceId(), u"USB\\VID_1234&PID_5678&MI_00");
    EXPECT_EQ(device->Pdo()->AttachedDevice, nullptr);
    device->Unplug();
}

} // namespace
} // namespace usb_test
