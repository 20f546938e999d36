// The port through a device's life: published when the card reader/writer is plugged in,
// withdrawn at once when it is pulled out with the port open (the application's pending
// requests end, its later close releases the rest), back under the same COM name when the
// device comes back, and working after a rebalance and after system sleep and wake.
#include "tests/stack/stack_rig.h"

#include <atomic>

namespace stack_test {
namespace {

using sim::usb::CardReaderModel;
using sim::usb::Fault;

// Reads without a time limit; writes may take a virtual minute (the scenarios below hold
// writes at the device on purpose and must not see them time out).
const COMMTIMEOUTS kPatientTimeouts{0, 0, 0, 0, 60000};
// Reads that return what arrived within a virtual second.
const COMMTIMEOUTS kTimedReads{0, 0, 1000, 0, 0};

// What one application request ended with.
struct Outcome {
    std::atomic<bool> done{false};
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
};

// One read or write on an overlapped handle in a thread of its own, as an application's reader
// or writer thread issues it: the call, then GetOverlappedResult waiting for the end.
sim::Thread StartTransfer(HANDLE port, bool write, Bytes *buffer, Outcome *outcome)
{
    return sim::StartThread([=] {
        outcome->ok = TransferAndWait(port, write, buffer->data(), static_cast<DWORD>(buffer->size()),
                                      &outcome->bytes);
        outcome->error = outcome->ok ? ERROR_SUCCESS : GetLastError();
        outcome->done = true;
    });
}

class StackLifecycleTest : public StackTest {
protected:
    // One exchange through the port: the device echoes what it receives. True when the echo
    // came back whole.
    bool EchoWorks(HANDLE port, uint32_t seed)
    {
        Rig().Model().SetLoopback(true);
        Bytes data = Pattern(100, seed);
        return WriteAll(port, data) && ReadExactly(port, data.size()) == data;
    }

    // Opens the port, sets 9600 8N1 with timed reads and runs one exchange.
    void ExpectPortWorks(uint32_t seed)
    {
        PortHandle handle(Rig().Open());
        ASSERT_TRUE(handle.Valid()) << "open of " << Narrow(Rig().ComName()) << " failed, error " << GetLastError();
        ASSERT_TRUE(SetPort(handle.Get(), CBR_9600, kTimedReads));
        EXPECT_TRUE(EchoWorks(handle.Get(), seed));
        EXPECT_TRUE(handle.Close());
    }

    void ExpectPublishedAs(const char *com)
    {
        EXPECT_EQ(Narrow(Rig().ComName()), com);
        Publication published = Rig().Published();
        EXPECT_TRUE(published.LinkTarget.has_value()) << "no \\DosDevices\\Global\\" << com << " link";
        EXPECT_TRUE(published.SerialCommName.has_value()) << "no SERIALCOMM value for " << com;
        EXPECT_TRUE(published.InterfaceEnabled) << "no enabled COM-port interface";
    }
};

// =============================================================================================
// Publication
// =============================================================================================

// The started port is published in all three places under its COM name, by the name of its
// device object.
TEST_F(StackLifecycleTest, PluggedDeviceIsPublishedAsCom3)
{
    ExpectPublishedAs("COM3");
    Publication published = Rig().Published();
    EXPECT_EQ(Narrow(published.LinkTarget.value_or(u"(none)")), "\\Device\\XWQUsbSerial0");
    EXPECT_EQ(Narrow(published.SerialCommName.value_or(u"(none)")), "\\Device\\XWQUsbSerial0");
}

// =============================================================================================
// Surprise removal
// =============================================================================================

// The cable is pulled while the application has a read, a write and a wait pending on the
// open port. The surprise removal completes without waiting for the application; the three
// requests end; the COM name is withdrawn while the handle is still open; requests on the
// handle fail from then on; the close succeeds and lets the removal run, after which both
// drivers unload owning nothing (the fixture's verifier checks).
TEST_F(StackLifecycleTest, UnplugWithReadWriteAndWaitPending)
{
    PortHandle handle(Rig().Open(true));
    HANDLE port = handle.Get();
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(port, CBR_9600, kPatientTimeouts));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    Rig().Usb().ScriptFault(CardReaderModel::BulkOutEndpoint, Fault::NeverComplete());

    Bytes readBuffer(16);
    Bytes writeBuffer = Pattern(300, 7);
    Outcome read, write;
    sim::Thread reader = StartTransfer(port, false, &readBuffer, &read);
    sim::Thread writer = StartTransfer(port, true, &writeBuffer, &write);
    OVERLAPPED waitOverlapped{};
    waitOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0xFFFFFFFF;
    ASSERT_FALSE(WaitCommEvent(port, &events, &waitOverlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    // The worker's read and the write are both held at the device; the reader waits for data.
    ASSERT_TRUE(StackRig::SettleUntil([&] { return Rig().Usb().PendingTransfers() >= 2; }))
        << "the write never reached the device";
    ASSERT_FALSE(read.done || write.done) << "a request ended before the device went";

    Rig().Unplug();   // returns once the surprise removal has been handled
    EXPECT_EQ(Rig().State(), sim::DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(sim::OpenHandleCount(Rig().Node()), 1u) << "the application's handle is still open";
    Publication published = Rig().Published();
    EXPECT_TRUE(published.Withdrawn()) << "link " << published.LinkTarget.has_value() << ", SERIALCOMM "
                                       << published.SerialCommName.has_value() << ", interface "
                                       << published.InterfaceEnabled;

    reader.Join();
    writer.Join();
    DWORD waitBytes = 0;
    BOOL waitOk = GetOverlappedResult(port, &waitOverlapped, &waitBytes, TRUE);
    CloseHandle(waitOverlapped.hEvent);
    // The write was with the device: it fails as the device is gone, reporting nothing sent.
    EXPECT_FALSE(write.ok);
    EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_NOT_READY)) << "STATUS_DEVICE_NOT_CONNECTED";
    EXPECT_EQ(write.bytes, 0u);
    // The read ends without data; the wait ends with the stop's event (EV_BREAK).
    EXPECT_EQ(read.bytes, 0u);
    EXPECT_TRUE(waitOk);
    EXPECT_EQ(events, static_cast<DWORD>(EV_BREAK));

    // From now on every request on the handle fails as on a port that is being deleted.
    Bytes more = Pattern(8, 8);
    EXPECT_FALSE(WriteAll(port, more));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "STATUS_DELETE_PENDING";
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_FALSE(GetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // A new open finds no COM3 at all.
    PortHandle second(Rig().Open());
    EXPECT_FALSE(second.Valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(handle.Close());
    sim::PnpResult removal = Rig().WaitForRemoval();
    EXPECT_EQ(removal.StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Rig().State(), sim::DeviceNodeState::Removed);
    EXPECT_EQ(Rig().ComDriver(), nullptr) << "CardRwCom did not unload with its last device";
    EXPECT_EQ(Rig().UsbDriver(), nullptr) << "CardRwUsb did not unload with its last device";
}

// The device comes back after being pulled out with the port open: once the application has
// closed its old handle, the new device is published under the same COM name and works.
TEST_F(StackLifecycleTest, ReplugAfterUnplugWithThePortOpenGetsCom3Back)
{
    {
        PortHandle handle(Rig().Open());
        ASSERT_TRUE(handle.Valid());
        Rig().Unplug();
        EXPECT_TRUE(Rig().Published().Withdrawn());
    }
    EXPECT_EQ(Rig().WaitForRemoval().StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);

    ASSERT_TRUE(Rig().Plug()) << "the re-plugged device did not start";
    ExpectPublishedAs("COM3");
    ExpectPortWorks(11);
}

// Unplugged with the port closed, the removal follows at once; plugged in again, the device is
// back under its COM name.
TEST_F(StackLifecycleTest, ReplugAfterUnplugWithThePortClosed)
{
    Rig().Unplug();
    EXPECT_EQ(Rig().State(), sim::DeviceNodeState::Removed);
    EXPECT_TRUE(Rig().Published().Withdrawn());
    ASSERT_TRUE(Rig().Plug());
    ExpectPublishedAs("COM3");
    ExpectPortWorks(12);
}

// =============================================================================================
// Rebalance, sleep and wake
// =============================================================================================

// A rebalance with the port closed: query-stop, stop and start all succeed, the COM name is
// published again, and the port opens and carries data as before.
TEST_F(StackLifecycleTest, RebalanceWithThePortClosedThenThePortWorks)
{
    ExpectPortWorks(21);
    sim::PnpResult rebalance = Rig().Rebalance();
    EXPECT_EQ(rebalance.StatusOf(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(rebalance.StatusOf(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(rebalance.StatusOf(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Rig().State(), sim::DeviceNodeState::Started);
    ExpectPublishedAs("COM3");
    ExpectPortWorks(22);
}

// System sleep and wake with the port open and its worker's read outstanding: both
// transitions succeed, and the same handle carries data in both directions afterwards.
TEST_F(StackLifecycleTest, SleepAndWakeWithThePortOpenThenThePortWorks)
{
    PortHandle handle(Rig().Open());
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(handle.Get(), CBR_9600, kTimedReads));
    ASSERT_TRUE(EchoWorks(handle.Get(), 31));

    sim::PowerResult sleep = Rig().Sleep(PowerSystemSleeping3);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    sim::PowerResult wake = Rig().Wake();
    EXPECT_EQ(wake.status, STATUS_SUCCESS);

    EXPECT_TRUE(EchoWorks(handle.Get(), 32)) << "the open port carries no data after wake";
    Bytes swiped = Pattern(40, 33);
    Rig().Model().Send(swiped);
    EXPECT_TRUE(ReadExactly(handle.Get(), swiped.size()) == swiped);
    EXPECT_TRUE(handle.Close());
    ExpectPortWorks(34);
}

// A read waiting without a time limit stays waiting through system sleep and wake, sends
// nothing to the sleeping device meanwhile (the worker's read stays where it was), and gets the
// bytes the device sends once it is awake.
TEST_F(StackLifecycleTest, ReadWaitingAcrossSleepAndWakeGetsTheBytesSentAfterWake)
{
    PortHandle handle(Rig().Open(true));
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(handle.Get(), CBR_9600, kPatientTimeouts));
    Bytes buffer(8);
    Outcome read;
    sim::Thread reader = StartTransfer(handle.Get(), false, &buffer, &read);
    StackRig::Settle(5);
    Rig().Usb().ClearLog();

    ASSERT_EQ(Rig().Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
    StackRig::Settle(200);
    EXPECT_FALSE(read.done) << "the read ended while the system slept";
    size_t reads = 0;
    for (const sim::usb::LoggedRequest &request : Rig().Usb().Log()) {
        reads += request.Kind == sim::usb::RequestKind::BulkOrInterrupt &&
                 request.Endpoint == CardReaderModel::BulkInEndpoint;
    }
    EXPECT_EQ(reads, 0u) << "the worker sent reads to the sleeping device";
    ASSERT_EQ(Rig().Wake().status, STATUS_SUCCESS);

    const Bytes swiped = Pattern(8, 35);
    Rig().Model().Send(swiped);
    reader.Join();
    EXPECT_TRUE(read.ok);
    EXPECT_TRUE(buffer == swiped);
    EXPECT_TRUE(handle.Close());
}

// Disabling the device (query-remove, remove) is refused while the application has the port
// open, and leaves the port working; with the port closed it removes the stack and withdraws
// the COM name, and enabling the device again brings the port back under the same name.
TEST_F(StackLifecycleTest, DisableRefusedWhileOpenThenDisableAndEnable)
{
    {
        PortHandle handle(Rig().Open());
        ASSERT_TRUE(handle.Valid());
        sim::PnpResult refused = sim::Disable(Rig().Node());
        EXPECT_TRUE(refused.vetoed);
        EXPECT_EQ(Rig().State(), sim::DeviceNodeState::Started);
        ASSERT_TRUE(SetPort(handle.Get(), CBR_9600, kTimedReads));
        EXPECT_TRUE(EchoWorks(handle.Get(), 41));
    }
    sim::PnpResult disable = sim::Disable(Rig().Node());
    EXPECT_EQ(disable.StatusOf(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(disable.StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Rig().State(), sim::DeviceNodeState::Removed);
    EXPECT_TRUE(Rig().Published().Withdrawn());

    sim::PnpResult enable = sim::Enable(Rig().Node());
    EXPECT_EQ(enable.StatusOf(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ExpectPublishedAs("COM3");
    ExpectPortWorks(42);
}

// =============================================================================================
// Two devices
// =============================================================================================

// A second card reader/writer gets the next COM name and a port of its own; pulling it out
// leaves the first port, and the drivers it shares with it, working.
TEST_F(StackLifecycleTest, SecondDeviceGetsCom4AndLeavingDoesNotDisturbTheFirst)
{
    auto secondModel = std::make_shared<CardReaderModel>();
    std::shared_ptr<sim::usb::UsbDevice> second = sim::usb::PlugIn(secondModel);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(sim::StateOf(second->Node()), sim::DeviceNodeState::Started);
    std::u16string secondCom =
        sim::RegistryGetString(sim::HardwareKeyOf(second->Node()), u"PortName").value_or(u"");
    EXPECT_EQ(Narrow(secondCom), "COM4");
    EXPECT_EQ(Narrow(sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\COM4").value_or(u"(none)")),
              "\\Device\\XWQUsbSerial1");

    PortHandle first(Rig().Open());
    std::u16string secondPath = u"\\\\.\\" + secondCom;
    PortHandle other(CreateFileW(secondPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    ASSERT_TRUE(first.Valid() && other.Valid());
    ASSERT_TRUE(SetPort(first.Get(), CBR_9600, kTimedReads) && SetPort(other.Get(), CBR_9600, kTimedReads));
    secondModel->SetLoopback(true);
    Bytes toSecond = Pattern(50, 51);
    ASSERT_TRUE(WriteAll(other.Get(), toSecond));
    EXPECT_TRUE(ReadExactly(other.Get(), toSecond.size()) == toSecond);
    EXPECT_TRUE(EchoWorks(first.Get(), 52));
    EXPECT_TRUE(secondModel->ReceivedBytes() == toSecond) << "bytes went to the wrong device";

    second->Unplug();
    second->WaitForPnp();
    EXPECT_TRUE(other.Close());
    EXPECT_EQ(sim::WaitForRemoval(second->Node()).StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_NE(Rig().ComDriver(), nullptr) << "CardRwCom unloaded while the first device still uses it";
    EXPECT_NE(Rig().UsbDriver(), nullptr) << "CardRwUsb unloaded while the first device still uses it";
    EXPECT_TRUE(EchoWorks(first.Get(), 53)) << "the first port stopped working when the second device left";
    ExpectPublishedAs("COM3");
    EXPECT_TRUE(first.Close());
}

}  // namespace
}  // namespace stack_test
