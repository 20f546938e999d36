// The port's life: device creation, open and close, the Plug and Play states, surprise removal
// with the port open, and query-information.
#include "tests/serial/port_fixture.h"

namespace serial_test {
namespace {

using LifecycleTest = SerialPortTest;

std::vector<std::u16string> CreatedPipes(const std::vector<LowerRequest>& requests)
{
    std::vector<std::u16string> pipes;
    for (const auto& r : requests) {
        if (r.kind == LowerRequest::Create) {
            pipes.push_back(r.pipe);
        }
    }
    return pipes;
}

TEST_F(LifecycleTest, StartedDeviceHasItsNameDefaultsAndBoundPipes)
{
    EXPECT_EQ(sim::DeviceName(Port()), u"\\Device\\XWQUsbSerial0");
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).out), 9600u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).out, Timeouts(0, 0, 50, 0, 0));
    Result hf = Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16);
    EXPECT_EQ(ReadU32(hf.out, 0), ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(ReadU32(hf.out, 4), ULONG(SERIAL_RTS_CONTROL));
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).out, (Bytes{0, 0, 8}));
    auto requests = Lower().Requests();
    EXPECT_EQ(CreatedPipes(requests), (std::vector<std::u16string>{u"if0pipe1", u"if0pipe0"}));
    for (const auto& r : requests) {
        if (r.kind == LowerRequest::Create) {
            EXPECT_EQ(r.answer, STATUS_SUCCESS);
        }
    }
}

// Each open binds the pipes again (the transport refuses and resets them), raises RTS then DTR
// and starts a worker with an empty ring; each close drops RTS then DTR.
TEST_F(LifecycleTest, OpenAndCloseTwice)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Lower().ClearRequests();
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        Lower().WaitReadParked();
        EXPECT_EQ(CreatedPipes(Lower().Requests()), (std::vector<std::u16string>{u"if0pipe1", u"if0pipe0"}));
        EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{2, 3}));
        EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).out, 8), 0u) << "ring starts empty";
        Lower().Feed(Bytes{1, 2, 3});   // left unread: the next open must not see it
        Lower().WaitReadParked();
        ASSERT_EQ(Close(), STATUS_SUCCESS);
        EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{2, 3, 1, 0}));
        EXPECT_EQ(Lower().ReadsHeld(), 0u) << "the worker's read was cancelled";
    }
    for (const auto& r : Lower().Requests()) {
        if (r.kind == LowerRequest::Create) {
            EXPECT_EQ(r.answer, STATUS_INVALID_PARAMETER);
        }
    }
}

// A close right after the open, before the new worker has run at all, still finds and ends
// it: no worker outlives its handle (the driver's unload at the end reports any thread left).
TEST_F(LifecycleTest, CloseRightAfterOpenEndsTheWorker)
{
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        ASSERT_EQ(Close(), STATUS_SUCCESS);
    }
    LARGE_INTEGER settle;
    settle.QuadPart = -10 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_EQ(Lower().ReadsHeld(), 0u);
    EXPECT_EQ(Lower().ControlLineWords().size(), 40u);
}

TEST_F(LifecycleTest, SecondOpenIsRefusedAndChangesNothing)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Lower().WaitReadParked();
    Lower().ClearRequests();
    EXPECT_EQ(SendMajor(IRP_MJ_CREATE).status, STATUS_INVALID_HANDLE);
    EXPECT_TRUE(Lower().Requests().empty());
    Lower().Feed(Bytes{7});
    EXPECT_EQ(Read(1).out, Bytes{7}) << "the first handle still works";
}

// While a stop or removal is pending, or after a stop, the port refuses everything and the
// transport sees nothing; the cancel makes it accept again with pipes and name in place.
TEST_F(LifecycleTest, RefusesRequestsWhileStopOrRemovalIsPending)
{
    struct Case {
        UCHAR query;
        UCHAR cancel;
    } cases[] = {{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
                 {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.query));
        ASSERT_EQ(Pnp(c.query), STATUS_SUCCESS);
        Lower().ClearRequests();
        EXPECT_EQ(Open(), STATUS_DELETE_PENDING);
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_DELETE_PENDING);
        EXPECT_EQ(Ioctl(IOCTL_CARDRW_CONTROL_IN, Bytes(16), 8).status, STATUS_DELETE_PENDING);
        EXPECT_EQ(Read(4).status, STATUS_DELETE_PENDING);
        EXPECT_EQ(Write(Bytes{1}).status, STATUS_DELETE_PENDING);
        EXPECT_TRUE(Lower().Requests().empty());
        ASSERT_EQ(Pnp(c.cancel), STATUS_SUCCESS);
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_SUCCESS);
        EXPECT_TRUE(sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\COM3").has_value());
    }
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Write(Bytes{9}).status, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, StopAndRestartRepublishesAndKeepsTheSettings)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, U32(19200)).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(1, 2, 3, 4, 5)).status, STATUS_SUCCESS);
    Bytes noHandshake(16, 0);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, noHandshake).status, STATUS_SUCCESS);
    Lower().ClearRequests();

    sim::PnpResult r = sim::StopAndRestart(Node());
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(CreatedPipes(Lower().Requests()), (std::vector<std::u16string>{u"if0pipe1", u"if0pipe0"}));
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).out), 19200u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).out, Timeouts(1, 2, 3, 4, 5));
    Result hf = Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16);
    EXPECT_EQ(ReadU32(hf.out, 0), ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(ReadU32(hf.out, 4), ULONG(SERIAL_RTS_CONTROL));
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\COM3"), std::u16string(u"\\Device\\XWQUsbSerial0"));
    EXPECT_TRUE(Lower().LineCodings().empty()) << "a restart does not repeat the line coding";
}

TEST_F(LifecycleTest, QueryInformation)
{
    struct Case {
        ULONG informationClass;
        NTSTATUS status;
        ULONG_PTR information;
    } cases[] = {
        {5, STATUS_SUCCESS, 24},             // FileStandardInformation
        {14, STATUS_SUCCESS, 8},             // FilePositionInformation
        {4, STATUS_INVALID_PARAMETER, 0},    // FileBasicInformation
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.informationClass);
        Result r = QueryInformation(c.informationClass, 24);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.information);
        for (ULONG i = 0; i < c.information; ++i) {
            EXPECT_EQ(r.out[i], 0) << i;
        }
        EXPECT_EQ(r.out[24], 0xEE) << "nothing written past the buffer";
    }
    EXPECT_EQ(QueryInformation(5, 23).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(LifecycleTest, UnhandledRequestsReachTheTransport)
{
    Lower().ClearRequests();
    EXPECT_EQ(SendMajor(IRP_MJ_SYSTEM_CONTROL).status, STATUS_SUCCESS);
    auto requests = Lower().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, LowerRequest::Other);
    EXPECT_EQ(requests[0].code, ULONG(IRP_MJ_SYSTEM_CONTROL));
}

// The device goes away with the port open and a read, a write and a wait pending: the surprise
// removal ends them and withdraws the COM name without waiting for the application; its close
// later succeeds, and a device plugged in again gets the name back.
TEST_F(LifecycleTest, SurpriseRemovalWithThePortOpen)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Lower().WaitReadParked();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, 0, 0, 0)).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, U32(SERIAL_EV_RXCHAR)).status, STATUS_SUCCESS);
    auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    Lower().ScriptWrites({{WriteStep::Hold}});
    Result read, write;
    sim::Thread reader = sim::StartThread([&] { read = Read(16); });
    sim::Thread writer = sim::StartThread([&] { write = Write(Bytes{1, 2, 3}); });
    Lower().WaitWriteHeld();
    // The virtual clock moves only while every simulated thread waits: once this delay is over,
    // the reader is blocked inside the port, not still on its way to it.
    LARGE_INTEGER settle;
    settle.QuadPart = -1 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    ASSERT_EQ(Ext()->ReadsInProgress, 1);

    sim::PnpResult removal = sim::SurpriseRemove(Node());
    EXPECT_EQ(removal.StatusOf(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    reader.Join();
    writer.Join();
    Result waited = Finish(wait);
    EXPECT_EQ(waited.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadU32(waited.out), 0x40u);
    EXPECT_EQ(read.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(read.information, 0u);
    EXPECT_EQ(write.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\COM3").has_value());
    EXPECT_FALSE(sim::RegistryGetString(sim::kSerialCommKey, u"\\Device\\XWQUsbSerial0").has_value());
    for (const auto& i : sim::DeviceInterfaces()) {
        EXPECT_FALSE(i.enabled);
    }
    EXPECT_EQ(Read(1).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_DELETE_PENDING);

    EXPECT_EQ(Close(), STATUS_SUCCESS);
    sim::WaitForRemoval(Node());
    // The cable goes too: the bus reports it, and its PDO goes with the removal that follows.
    Unplug();
    usb_->WaitForPnp();
    EXPECT_EQ(usb_->Pdo(), nullptr);
    // Plugged into the same port again it is the same device instance, with its COM name; nothing
    // of the removed device is left in the namespace: the only link is the new one's.
    Plug();
    auto links = sim::SymbolicLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0], sim::CanonicalObjectName(u"\\DosDevices\\Global\\COM3"));
    EXPECT_EQ(sim::SymbolicLinkTarget(links[0]), sim::DeviceName(Port()));
}

} // namespace
} // namespace serial_test

namespace serial_test {
namespace {

// With the device below and the port itself answering every request later from another
// thread, the port takes the pending path of each request it sends: pipe creates, class
// requests to itself, reads, writes and the pipe resets after a time-out.
TEST_F(LifecycleTest, EveryRequestTakesItsPendingPath)
{
    sim::ForcePending(Ext()->LowerDeviceObject, true);
    sim::ForcePending(Port(), true);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::DrainForcedPending();   // the open completes before it raises the lines
    Lower().WaitReadParked();
    EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{2, 3}));
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, U32(4800)).status, STATUS_SUCCESS);
    EXPECT_EQ(Lower().LineCodings().size(), 1u);
    Lower().Feed(Bytes{1, 2, 3});
    EXPECT_EQ(Read(3).out, (Bytes{1, 2, 3}));
    Result w = Write(Pattern(300));
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, 300u);
    Lower().ScriptWrites({{WriteStep::Hold}});
    EXPECT_EQ(Write(Bytes{4}).status, STATUS_TIMEOUT);
    sim::DrainForcedPending();   // the write completes before its pipe resets
    EXPECT_EQ(Lower().Count(LowerRequest::ResetPipe), 3u);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{2, 3, 1, 0}));
    sim::DrainForcedPending();
    sim::ForcePending(Port(), false);
    sim::ForcePending(Ext()->LowerDeviceObject, false);
}

// System sleep and wake with the port open: power requests pass through untouched and the
// port works afterwards.
TEST_F(LifecycleTest, SleepAndWakeWithThePortOpen)
{
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Lower().WaitReadParked();
    Lower().ClearRequests();
    EXPECT_EQ(sim::SystemSleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::SystemWake().status, STATUS_SUCCESS);
    EXPECT_TRUE(Lower().Requests().empty()) << "the port sends nothing of its own for power";
    Lower().Feed(Bytes{7, 8});
    EXPECT_EQ(Read(2).out, (Bytes{7, 8}));
    EXPECT_EQ(Write(Bytes{9}).status, STATUS_SUCCESS);
}

} // namespace
} // namespace serial_test
