// The PnP manager: building and starting a stack, the COM name of a Ports device, every
// sequence with what each driver saw in order, the removal veto while a handle is open, and
// surprise removal followed by removal after the last close.
#include "tests/sim/pnp/test_world.h"

using namespace pt;
using Lines = std::vector<std::string>;

namespace {

class PnpManagerTest : public PnpTest {};

// =====================================================================================
// Arrival
// =====================================================================================
TEST_F(PnpManagerTest, ArrivalBuildsTheStackInOrderAndStartsItWithAPortName) {
    sim::PnpResult result;
    sim::DeviceNode *node = Arrive(0, &result);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::Started);

    Lines log = TakeLog();
    // IDs and capabilities from the bus first, then AddDevice bottom-up, then one start top-down.
    EXPECT_EQ(Only(log, "Bus"), (Lines{"QUERY_ID", "QUERY_ID", "QUERY_ID", "QUERY_ID", "QUERY_CAPABILITIES", "START_DEVICE"}));
    Lines order;
    for (const std::string &line : log)
        if (line.find("AddDevice") != std::string::npos || line.find("START") != std::string::npos) order.push_back(line);
    EXPECT_EQ(order, (Lines{"Port: AddDevice", "Filter: AddDevice", "Filter: START_DEVICE", "Port: START_DEVICE",
                            "Bus: START_DEVICE"}));

    PDEVICE_OBJECT pdo = sim::PhysicalDeviceOf(node);
    EXPECT_EQ(pdo->AttachedDevice->StackSize, 2);
    EXPECT_EQ(sim::StackTopOf(node)->StackSize, 3);
    EXPECT_EQ(sim::InstancePathOf(node), u"USB\\VID_0B1E&PID_0A01\\0");
    EXPECT_EQ(sim::RegistryGetString(sim::HardwareKeyOf(node), u"PortName"), u"COM3");
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\TestSerial0");
    EXPECT_EQ(sim::CapabilitiesOf(node).DeviceWake, PowerDeviceD2);
    EXPECT_EQ(sim::LoadedDriver(u"TestPort"), pdo->AttachedDevice->DriverObject);
}

TEST_F(PnpManagerTest, EachNewPortGetsTheLowestFreeComNameAndKeepsItWhenReenabled) {
    sim::DeviceNode *first = Arrive(0);
    sim::DeviceNode *second = Arrive(1);
    EXPECT_EQ(sim::RegistryGetString(sim::HardwareKeyOf(first), u"PortName"), u"COM3");
    EXPECT_EQ(sim::RegistryGetString(sim::HardwareKeyOf(second), u"PortName"), u"COM4");
    // A name chosen by the user stays, and frees nothing for the others.
    ASSERT_EQ(sim::Disable(first).status, STATUS_SUCCESS);
    sim::RegistrySetString(sim::HardwareKeyOf(first), u"PortName", u"COM9");
    ASSERT_EQ(sim::Enable(first).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\COM9"), u"\\Device\\TestSerial2");
    sim::DeviceNode *third = Arrive(2);
    EXPECT_EQ(sim::RegistryGetString(sim::HardwareKeyOf(third), u"PortName"), u"COM3");
}

TEST_F(PnpManagerTest, DeviceWithoutInstalledDriverGetsNoNode) {
    sim::UninstallAll();
    sim::PnpResult result;
    EXPECT_EQ(Arrive(0, &result), nullptr);
    EXPECT_EQ(result.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(result.StatusOf(IRP_MN_START_DEVICE), STATUS_NOT_FOUND);
}

TEST_F(PnpManagerTest, FailedStartRemovesTheStackAndUnloadsTheDrivers) {
    // Another device holds the link of COM3: the port driver's start fails on the collision.
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM3");
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    sim::PnpResult result;
    sim::DeviceNode *node = Arrive(0, &result);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(result.status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(result.StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::StartFailed);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"AddDevice", "START_DEVICE", "REMOVE_DEVICE"}));
    EXPECT_EQ(sim::PhysicalDeviceOf(node)->AttachedDevice, nullptr);
    EXPECT_EQ(sim::LoadedDriver(u"TestPort"), nullptr);
    EXPECT_EQ(CreateFileW(u"\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

// =====================================================================================
// Sequences
// =====================================================================================
struct SequenceCase {
    const char *name;
    sim::PnpResult (*run)(sim::DeviceNode *);
    Lines filterSaw;
    sim::DeviceNodeState after;
};

class PnpSequenceTest : public PnpTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(PnpSequenceTest, EveryDriverSeesTheSequenceTopDown) {
    const SequenceCase &c = GetParam();
    sim::DeviceNode *node = Arrive(0);
    TakeLog();
    sim::PnpResult result = c.run(node);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_FALSE(result.vetoed);
    Lines log = TakeLog();
    EXPECT_EQ(Only(log, "Filter"), c.filterSaw);
    EXPECT_EQ(Only(log, "Port"), c.filterSaw);
    EXPECT_EQ(Only(log, "Bus"), c.filterSaw);
    ASSERT_EQ(result.steps.size(), c.filterSaw.size());
    for (size_t i = 0; i < result.steps.size(); i++) {
        EXPECT_EQ(PnpName(result.steps[i].minorFunction), c.filterSaw[i]);
        EXPECT_EQ(result.steps[i].status, STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::StateOf(node), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, PnpSequenceTest,
    ::testing::Values(
        SequenceCase{"Rebalance", sim::StopAndRestart, {"QUERY_STOP_DEVICE", "STOP_DEVICE", "START_DEVICE"},
                     sim::DeviceNodeState::Started},
        SequenceCase{"CancelledStop", sim::QueryStopThenCancel, {"QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE"},
                     sim::DeviceNodeState::Started},
        SequenceCase{"CancelledRemove", sim::QueryRemoveThenCancel, {"QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE"},
                     sim::DeviceNodeState::Started},
        SequenceCase{"Disable", sim::Disable, {"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE"}, sim::DeviceNodeState::Removed}),
    [](const ::testing::TestParamInfo<SequenceCase> &info) { return std::string(info.param.name); });

TEST_F(PnpManagerTest, DisableWithdrawsEverythingAndUnloadsBothDrivers) {
    sim::DeviceNode *node = Arrive(0);
    ASSERT_EQ(sim::Disable(node).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::PhysicalDeviceOf(node)->AttachedDevice, nullptr);
    EXPECT_EQ(sim::LoadedDriver(u"TestPort"), nullptr);
    EXPECT_EQ(sim::LoadedDriver(u"TestFilter"), nullptr);
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\DosDevices\\COM3"));
    // The physical device object stays the bus driver's; enabling builds a fresh stack on it.
    TakeLog();
    ASSERT_EQ(sim::Enable(node).status, STATUS_SUCCESS);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"AddDevice", "START_DEVICE"}));
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\TestSerial1");
}

// =====================================================================================
// Open handles: the veto, and surprise removal waiting for the last close
// =====================================================================================
TEST_F(PnpManagerTest, RemovalIsVetoedWhileAnApplicationHandleIsOpen) {
    sim::DeviceNode *node = Arrive(0);
    HANDLE port = CreateFileW(u"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::OpenHandleCount(node), 1u);
    TakeLog();
    for (auto run : {sim::Disable, sim::QueryRemoveThenCancel}) {
        sim::PnpResult result = run(node);
        EXPECT_TRUE(result.vetoed);
        EXPECT_TRUE(result.steps.empty());
        EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::Started);
    }
    EXPECT_TRUE(TakeLog().empty());
    ASSERT_TRUE(CloseHandle(port));
    EXPECT_EQ(sim::OpenHandleCount(node), 0u);
    EXPECT_EQ(sim::Disable(node).status, STATUS_SUCCESS);
}

// The device leaves with a handle open: the surprise removal goes at once, new opens fail, the
// open handle still reaches the driver, and the removal follows the close.
TEST_F(PnpManagerTest, SurpriseRemovalWithAHandleOpenRemovesOnlyAfterTheLastClose) {
    Child *child = PlugChild(0);
    sim::DeviceNode *node = sim::ReportDeviceArrival(child->pdo);
    HANDLE port = CreateFileW(u"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    TakeLog();
    child->gone = true;
    sim::PnpResult result = sim::SurpriseRemove(node);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_NOT_FOUND);
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::SurpriseRemoved);

    EXPECT_EQ(CreateFileW(u"\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port, "ab", 2, &written, nullptr));
    ASSERT_TRUE(CloseHandle(port));
    sim::PnpResult removal = sim::WaitForRemoval(node);
    EXPECT_EQ(removal.StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::Removed);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"SURPRISE_REMOVAL", "WRITE 2", "CLEANUP", "CLOSE", "REMOVE_DEVICE"}));
    EXPECT_EQ(child->pdo, nullptr);  // the bus deleted its device at the removal
    EXPECT_EQ(sim::LoadedDriver(u"TestPort"), nullptr);
}

// A driver that holds the surprise removal until its port is closed (as a COM port does): the
// close from the application lets it finish, and the removal follows in the same sequence.
TEST_F(PnpManagerTest, SurpriseRemovalHeldByTheDriverUntilTheApplicationCloses) {
    Child *child = PlugChild(0);
    sim::DeviceNode *node = sim::ReportDeviceArrival(child->pdo);
    HANDLE port = CreateFileW(u"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    PortDevice *device = PortOf(node);
    device->holdSurpriseUntilClose = true;
    child->gone = true;
    sim::PnpResult result;
    sim::Thread pnp = sim::StartThread([&] { result = sim::SurpriseRemove(node); });
    KeWaitForSingleObject(&device->surpriseArrived, Executive, KernelMode, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(port));
    pnp.Join();
    EXPECT_EQ(result.StatusOf(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(sim::WaitForRemoval(node).StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::Removed);
    EXPECT_EQ(child->pdo, nullptr);
}

TEST_F(PnpManagerTest, SurpriseRemovalWithoutHandlesRemovesAtOnce) {
    Child *child = PlugChild(0);
    sim::DeviceNode *node = sim::ReportDeviceArrival(child->pdo);
    TakeLog();
    child->gone = true;
    sim::PnpResult result = sim::SurpriseRemove(node);
    EXPECT_EQ(Only(TakeLog(), "Filter"), (Lines{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
    EXPECT_EQ(result.StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(child->pdo, nullptr);
}

// The handle's close is deferred while a request of it is out: the removal waits for that close.
TEST_F(PnpManagerTest, RemovalAfterSurpriseRemovalWaitsForADeferredClose) {
    Child *child = PlugChild(0);
    sim::DeviceNode *node = sim::ReportDeviceArrival(child->pdo);
    PortDevice *device = PortOf(node);
    device->keepReadsAtCleanup = true;
    HANDLE port = CreateFileW(u"\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED overlapped{};
    char buffer[4];
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &overlapped));
    child->gone = true;
    sim::SurpriseRemove(node);
    ASSERT_TRUE(CloseHandle(port));
    EXPECT_EQ(sim::StateOf(node), sim::DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(sim::OpenHandleCount(node), 1u);
    TakeLog();
    FinishHeldRead(device);
    EXPECT_EQ(sim::WaitForRemoval(node).StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"CLOSE", "REMOVE_DEVICE"}));
    EXPECT_EQ(child->pdo, nullptr);
}

}  // namespace

// =====================================================================================
// Drivers and physical device objects the PnP manager holds
// =====================================================================================
namespace {

// A function driver that attaches nothing (the stack is the bus's PDO alone) and may own a
// control device of its own from DriverEntry to DriverUnload.
struct SharedDriver {
    bool withControlDevice = false;
    PDEVICE_OBJECT control = nullptr;
    int unloads = 0;
};
SharedDriver g_shared;

NTSTATUS SharedAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }

VOID SharedUnload(PDRIVER_OBJECT) {
    g_shared.unloads++;
    if (g_shared.control != nullptr) IoDeleteDevice(g_shared.control);
    g_shared.control = nullptr;
}

NTSTATUS SharedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = SharedAddDevice;
    driver->DriverUnload = SharedUnload;
    if (!g_shared.withControlDevice) return STATUS_SUCCESS;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\TestSharedControl");
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_shared.control);
}

class SharedDriverTest : public PnpTest {
protected:
    void Install(bool withControlDevice) {
        g_shared = SharedDriver{};
        g_shared.withControlDevice = withControlDevice;
        sim::UninstallAll();
        sim::InstallServiceEntry(u"TestShared", SharedEntry);
        sim::InstallHardwareId(kHardwareId, u"TestShared", {}, u"USB");
    }
};

// Two devices served by one driver that has no device object in either stack: the removal of
// one leaves the driver loaded for the other; the last removal unloads it, once.
TEST_F(SharedDriverTest, ADriverStaysLoadedWhileAnyNodeUsesIt) {
    Install(false);
    sim::DeviceNode *first = Arrive(0);
    Child *second = PlugChild(1);
    sim::DeviceNode *other = sim::ReportDeviceArrival(second->pdo);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(other, nullptr);
    PDRIVER_OBJECT driver = sim::LoadedDriver(u"TestShared");
    ASSERT_NE(driver, nullptr);

    ASSERT_EQ(sim::Disable(first).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::LoadedDriver(u"TestShared"), driver);
    EXPECT_EQ(g_shared.unloads, 0);
    EXPECT_EQ(sim::StopAndRestart(other).status, STATUS_SUCCESS);

    second->gone = true;
    EXPECT_EQ(sim::SurpriseRemove(other).StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sim::LoadedDriver(u"TestShared"), nullptr);
    EXPECT_EQ(g_shared.unloads, 1);
    // Enabling the first device loads the driver afresh.
    ASSERT_EQ(sim::Enable(first).status, STATUS_SUCCESS);
    EXPECT_NE(sim::LoadedDriver(u"TestShared"), nullptr);
}

// Once no node uses a driver, DriverUnload runs although the driver still has a device object
// of its own: deleting it is DriverUnload's work, and the leak check comes after it.
TEST_F(SharedDriverTest, DriverUnloadRunsOnceNoNodeUsesTheDriverAndDeletesItsOwnDevice) {
    Install(true);
    sim::DeviceNode *node = Arrive(0);
    ASSERT_NE(node, nullptr);
    ASSERT_NE(g_shared.control, nullptr);
    sim::VerifierRecorder recorder;
    ASSERT_EQ(sim::Disable(node).status, STATUS_SUCCESS);
    EXPECT_EQ(g_shared.unloads, 1);
    EXPECT_EQ(g_shared.control, nullptr);
    EXPECT_EQ(sim::LoadedDriver(u"TestShared"), nullptr);
    EXPECT_EQ(sim::FindNamedDevice(u"\\Device\\TestSharedControl"), nullptr);
    EXPECT_TRUE(recorder.Failures().empty());
}

// Windows references the PDOs a bus reports: the PnP manager holds one from the report until
// a removal in which the bus deleted it, whatever else holds the PDO meanwhile.
TEST_F(PnpManagerTest, ThePhysicalDeviceObjectIsReferencedFromItsReportUntilItsRemoval) {
    Child *child = PlugChild(0);
    PDEVICE_OBJECT pdo = child->pdo;
    EXPECT_EQ(ObReferenceObject(pdo), 2);  // the bus's creation reference, and this test's
    sim::DeviceNode *node = sim::ReportDeviceArrival(pdo);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(sim::Disable(node).status, STATUS_SUCCESS);
    // No stack above it now: the bus's, the PnP manager's and this test's references.
    EXPECT_EQ(ObReferenceObject(pdo), 4);
    ObDereferenceObject(pdo);

    child->gone = true;
    EXPECT_EQ(sim::SurpriseRemove(node).StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(child->pdo, nullptr);
    EXPECT_TRUE(sim::IsDeviceDeleted(pdo));
    EXPECT_EQ(sim::NodeOfPhysicalDevice(pdo), nullptr);
    EXPECT_EQ(ObDereferenceObject(pdo), 0) << "the PnP manager released the deleted PDO";
    EXPECT_FALSE(sim::IsLiveDevice(pdo));
    // The device is gone: reporting it gone again sends nothing.
    sim::PnpResult again = sim::SurpriseRemove(node);
    EXPECT_TRUE(again.steps.empty());
    EXPECT_EQ(again.status, STATUS_NO_SUCH_DEVICE);
}

}  // namespace

namespace {

// A device that leaves and is reported again with the same instance ID is the same device
// instance: it keeps its COM name, and its interface, registered again by the new stack, leads
// to the new PDO, so that opening it reaches the device that is there now.
TEST_F(PnpManagerTest, ADeviceReportedAgainIsTheSameInstanceWithItsNameAndInterface) {
    Child *child = PlugChild(0);
    sim::DeviceNode *node = sim::ReportDeviceArrival(child->pdo);
    ASSERT_NE(node, nullptr);
    child->gone = true;
    ASSERT_EQ(sim::SurpriseRemove(node).StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    sim::DeviceNode *other = Arrive(1);  // meanwhile another device takes the next name
    EXPECT_EQ(sim::RegistryGetString(sim::HardwareKeyOf(other), u"PortName"), u"COM4");

    Child *back = PlugChild(0);
    sim::DeviceNode *again = sim::ReportDeviceArrival(back->pdo);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, node);
    EXPECT_EQ(sim::InstancePathOf(again), sim::InstancePathOf(node));
    EXPECT_EQ(sim::RegistryGetString(sim::HardwareKeyOf(again), u"PortName"), u"COM3");
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\TestSerial2");
    size_t enabled = 0;
    for (const sim::DeviceInterfaceInfo &info : sim::DeviceInterfaces()) {
        if (!info.enabled) continue;
        enabled++;
        EXPECT_TRUE(info.physicalDeviceObject == back->pdo || info.physicalDeviceObject == sim::PhysicalDeviceOf(other));
    }
    EXPECT_EQ(enabled, 2u);
    EXPECT_EQ(sim::NodeOfPhysicalDevice(back->pdo), again);
}

}  // namespace
