// The Plug and Play state machine: the flags each request moves, what each state accepts,
// stop and restart, surprise removal and removal waiting for every outstanding request.
#include "tests/transport/transport_rig.h"

#include <thread>

#include "sim/kernel/include/sim_pnp.h"

namespace transport_test {
namespace {

using sim::usb::Fault;

constexpr UCHAR kOut = sim::usb::CardReaderModel::BulkOutEndpoint;

struct Flags {
    bool Started, StopPending, RemovePending, Removed;
    bool operator==(const Flags &o) const
    {
        return Started == o.Started && StopPending == o.StopPending && RemovePending == o.RemovePending &&
               Removed == o.Removed;
    }
};

std::ostream &operator<<(std::ostream &out, const Flags &f)
{
    return out << "{started " << f.Started << ", stop " << f.StopPending << ", remove " << f.RemovePending
               << ", removed " << f.Removed << "}";
}

Flags FlagsOf(TRANSPORT_EXTENSION *ext)
{
    return {FlagIsSet(&ext->Started) != 0, FlagIsSet(&ext->StopPending) != 0, FlagIsSet(&ext->RemovePending) != 0,
            FlagIsSet(&ext->Removed) != 0};
}

// A sequence of Plug and Play requests and the state each leaves, with whether a pipe open
// is then served.
struct Step {
    UCHAR Minor;
    Flags After;
    NTSTATUS OpenStatus;
};

struct SequenceCase {
    const char *Name;
    bool StartFirst;
    std::vector<Step> Steps;
};

TEST_F(TransportTest, PnpStateTable)
{
    const Flags added{false, false, false, false};
    const Flags started{true, false, false, false};
    const SequenceCase cases[] = {
        {"QueryStopThenCancel", true,
         {{IRP_MN_QUERY_STOP_DEVICE, {true, true, false, false}, STATUS_DELETE_PENDING},
          {IRP_MN_CANCEL_STOP_DEVICE, started, STATUS_SUCCESS}}},
        {"QueryRemoveThenCancel", true,
         {{IRP_MN_QUERY_REMOVE_DEVICE, {true, false, true, false}, STATUS_DELETE_PENDING},
          {IRP_MN_CANCEL_REMOVE_DEVICE, started, STATUS_SUCCESS}}},
        {"QueryStopStopStart", true,
         {{IRP_MN_QUERY_STOP_DEVICE, {true, true, false, false}, STATUS_DELETE_PENDING},
          {IRP_MN_STOP_DEVICE, added, STATUS_DELETE_PENDING},
          {IRP_MN_START_DEVICE, started, STATUS_SUCCESS}}},
        {"QueriesOnAnUnstartedDevicePassThrough", false,
         {{IRP_MN_QUERY_STOP_DEVICE, added, STATUS_DELETE_PENDING},
          {IRP_MN_CANCEL_STOP_DEVICE, added, STATUS_DELETE_PENDING},
          {IRP_MN_QUERY_REMOVE_DEVICE, added, STATUS_DELETE_PENDING},
          {IRP_MN_CANCEL_REMOVE_DEVICE, added, STATUS_DELETE_PENDING}}},
        {"SurpriseRemoval", true, {{IRP_MN_SURPRISE_REMOVAL, {false, false, false, true}, STATUS_DELETE_PENDING}}},
        {"SurpriseRemovalUnstarted", false,
         {{IRP_MN_SURPRISE_REMOVAL, {false, false, false, true}, STATUS_DELETE_PENDING}}},
    };
    for (const SequenceCase &c : cases) {
        SCOPED_TRACE(c.Name);
        Rig rig;
        ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
        if (c.StartFirst) {
            ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        }
        for (const Step &step : c.Steps) {
            SCOPED_TRACE(int(step.Minor));
            EXPECT_EQ(rig.Pnp(step.Minor), STATUS_SUCCESS);
            EXPECT_EQ(FlagsOf(rig.Ext()), step.After);
            File pipe(u"if0pipe0");
            EXPECT_EQ(rig.Open(pipe), step.OpenStatus);
            if (step.OpenStatus == STATUS_SUCCESS) {
                EXPECT_EQ(rig.Close(pipe), STATUS_SUCCESS);
            }
        }
        EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
    }
}

TEST_F(TransportTest, StopThenStartReadsTheDescriptorsAgainAndBuildsANewTable)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    INTERFACE_ENTRY *first = rig.Ext()->Interfaces;
    ULONG firstGeneration = rig.Ext()->TableGeneration;
    ASSERT_EQ(rig.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->Interfaces, nullptr);
    EXPECT_EQ(rig.Ext()->ConfigDescriptor, nullptr);
    rig.ClearLog();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(Kinds(rig.Log()), (std::vector<RequestKind>{RequestKind::GetDescriptor, RequestKind::GetDescriptor,
                                                           RequestKind::SelectConfiguration}));
    EXPECT_NE(rig.Ext()->Interfaces, nullptr);
    EXPECT_NE(rig.Ext()->TableGeneration, firstGeneration);
    (void)first;
}

TEST_F(TransportTest, CapabilitiesSaySurpriseRemovalIsFineOnlyWhenStarted)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    auto query = [&]() {
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof(caps);
        caps.Version = 1;
        EXPECT_EQ(rig.Pnp(IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
        return caps;
    };
    // Not started: as the bus driver left it, which is what the bus answers directly.
    DEVICE_CAPABILITIES bus{};
    {
        Request direct(rig.Device().Pdo());
        bus.Size = sizeof(bus);
        bus.Version = 1;
        direct.Stack()->MajorFunction = IRP_MJ_PNP;
        direct.Stack()->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        direct.Stack()->Parameters.DeviceCapabilities.Capabilities = &bus;
        direct.Send();
        EXPECT_EQ(direct.Wait(), STATUS_SUCCESS);
    }
    EXPECT_EQ(query().SurpriseRemovalOK, bus.SurpriseRemovalOK);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(query().SurpriseRemovalOK, 1u);
}

TEST_F(TransportTest, SystemControlGoesDownAsSuccess)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    Request request(rig.Fdo());
    request.Stack()->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    request.Irp()->IoStatus.Information = 77;
    request.Send();
    request.Wait();
    // The bus leaves a system-control request as it came: preset to success with no information.
    EXPECT_EQ(request.Status(), STATUS_SUCCESS);
    EXPECT_EQ(request.Information(), 0u);
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
}

TEST_F(TransportTest, RequestCountMovesItsEvents)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    TRANSPORT_EXTENSION *ext = rig.Ext();
    EXPECT_EQ(ext->OutstandingIo, 1);
    KeSetEvent(&ext->IoIdleEvent, IO_NO_INCREMENT, FALSE);
    IoCountAcquire(ext);
    EXPECT_EQ(KeReadStateEvent(&ext->IoIdleEvent), 0);
    EXPECT_EQ(IoCountRelease(ext), 1);
    EXPECT_NE(KeReadStateEvent(&ext->IoIdleEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&ext->IoDrainedEvent), 0);
}

// ---------------------------------------------------------------------------------------------
// Waiting for outstanding requests
// ---------------------------------------------------------------------------------------------

TEST_F(TransportTest, QueryRemoveWaitsForAReadInTheUsbStack)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File read(u"if0pipe1");
    ASSERT_EQ(rig.Open(read), STATUS_SUCCESS);
    auto transfer = rig.StartRead(read, 64);
    ASSERT_EQ(transfer->Req.Returned(), STATUS_PENDING);

    std::atomic<bool> queryDone{false};
    std::atomic<bool> readDoneFirst{false};
    sim::Thread query = sim::StartThread([&]() {
        EXPECT_EQ(rig.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        readDoneFirst = transfer->Req.Completed();
        queryDone = true;
    });
    // The query waits with RemovePending set; the read then gets its data.
    while (!FlagIsSet(&rig.Ext()->RemovePending)) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(queryDone.load());
    rig.CardReader().Send(Bytes(5, 9));
    EXPECT_EQ(transfer->Req.Wait(), STATUS_SUCCESS);
    query.Join();
    EXPECT_TRUE(readDoneFirst.load());
    EXPECT_EQ(rig.Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(rig.Close(read), STATUS_SUCCESS);
}

TEST_F(TransportTest, SurpriseRemovalWithTransfersPending)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File read(u"if0pipe1");
    File write(u"if0pipe0");
    ASSERT_EQ(rig.Open(read), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(write), STATUS_SUCCESS);
    rig.Device().ScriptFault(kOut, Fault::NeverComplete());
    auto reading = rig.StartRead(read, 600);
    auto writing = rig.StartWrite(write, Bytes(600, 4));
    rig.ClearLog();

    // The surprise removal aborts the open pipes, which ends both transfers, and sends no
    // configuration request.
    ASSERT_EQ(rig.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(reading->Req.Completed());
    EXPECT_TRUE(writing->Req.Completed());
    EXPECT_FALSE(NT_SUCCESS(reading->Req.Status()));
    EXPECT_FALSE(NT_SUCCESS(writing->Req.Status()));
    EXPECT_EQ(Kinds(rig.Log()), (std::vector<RequestKind>{RequestKind::AbortPipe, RequestKind::AbortPipe}))
        << Describe(rig.Log());
    EXPECT_EQ(rig.Ext()->Interfaces, nullptr);
    EXPECT_EQ(rig.Ext()->OpenPipeCount, 0);
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);

    EXPECT_EQ(rig.Close(read), STATUS_SUCCESS);
    EXPECT_EQ(rig.Close(write), STATUS_SUCCESS);
    rig.ClearLog();
    PDEVICE_OBJECT fdo = rig.Fdo();
    EXPECT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::IsDeviceDeleted(fdo));
    EXPECT_TRUE(rig.Log().empty()) << "removal after surprise removal stops nothing again: "
                                   << Describe(rig.Log());
}

TEST_F(TransportTest, RemovalWaitsForEveryOutstandingRequest)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    // A status request the device answers only after a second of virtual time, sent from a
    // thread of its own (the transport waits for it inside the dispatch).
    rig.Device().ScriptFault(0, Fault::After(10'000'000));
    Bytes buffer(4, 0);
    Request status(rig.Fdo());
    status.Stack()->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    status.Stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_CARDRW_GET_STATUS;
    status.Stack()->Parameters.DeviceIoControl.InputBufferLength = 4;
    status.Stack()->Parameters.DeviceIoControl.OutputBufferLength = 2;
    status.Irp()->AssociatedIrp.SystemBuffer = buffer.data();
    sim::Thread sender = sim::StartThread([&]() { status.Send(); });
    while (rig.Device().PendingTransfers() == 0) {
        std::this_thread::yield();
    }
    ASSERT_EQ(rig.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = rig.Fdo();
    EXPECT_FALSE(status.Completed());
    EXPECT_EQ(rig.Remove(), STATUS_SUCCESS);
    // The request finished (the bus ends what it holds at removal) before the device went.
    EXPECT_TRUE(status.Completed()) << "the device object went away under a request";
    EXPECT_TRUE(status.Status() == STATUS_SUCCESS || status.Status() == STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(sim::IsDeviceDeleted(fdo));
    sender.Join();
    EXPECT_EQ(status.Completions(), 1);
}

TEST_F(TransportTest, RemovalOfADeviceThatNeverStartedSendsNothing)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = rig.Fdo();
    PDEVICE_OBJECT pdo = rig.Device().Pdo();
    EXPECT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(rig.Log().empty()) << Describe(rig.Log());
    EXPECT_TRUE(sim::IsDeviceDeleted(fdo));
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    for (const sim::DeviceInterfaceInfo &iface : sim::DeviceInterfaces()) {
        EXPECT_FALSE(iface.enabled);
    }
}

TEST_F(TransportTest, StartRefusedBelowSendsNothingToTheDevice)
{
    Rig rig;
    FilterFailure failure;
    failure.Major = IRP_MJ_PNP;
    failure.Minor = IRP_MN_START_DEVICE;
    failure.Status = STATUS_DEVICE_POWER_FAILURE;
    rig.UseLowerFilter(failure);
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Start(), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_TRUE(rig.Log().empty()) << Describe(rig.Log());
    EXPECT_FALSE(FlagIsSet(&rig.Ext()->Started));
}

TEST_F(TransportTest, InterfaceLinkNameIsNeverOverrun)
{
    struct Case {
        size_t Chars;
        NTSTATUS Status;
    } cases[] = {{0, STATUS_SUCCESS}, {100, STATUS_SUCCESS}, {255, STATUS_SUCCESS},
                 {256, STATUS_NAME_TOO_LONG}, {1000, STATUS_NAME_TOO_LONG}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Chars);
        // The extension with a guard after it, filled so that a missing terminator shows.
        struct {
            TRANSPORT_EXTENSION Ext;
            UCHAR Guard[64];
        } block;
        memset(&block, 0x5A, sizeof(block));
        std::u16string name(c.Chars, u'x');
        UNICODE_STRING link;
        link.Buffer = name.data();
        link.Length = static_cast<USHORT>(std::min<size_t>(c.Chars * 2, 0xFFFE));
        link.MaximumLength = link.Length;
        EXPECT_EQ(StoreInterfaceLinkName(&block.Ext, &link), c.Status);
        if (c.Status == STATUS_SUCCESS) {
            EXPECT_EQ(std::u16string(block.Ext.InterfaceLinkName), name);
        }
        for (UCHAR byte : block.Guard) {
            ASSERT_EQ(byte, 0x5A);
        }
        EXPECT_EQ(block.Ext.Removed & 0xFF, 0x5A) << "the field after the name is untouched";
    }
}

TEST_F(TransportTest, TwoDevicesAreIndependent)
{
    Rig one;
    Rig two(&one);
    // A second card reader/writer in the next port: the same drivers serve both.
    ASSERT_EQ(one.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(two.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(one.Start(), STATUS_SUCCESS);
    EXPECT_NE(one.Fdo(), two.Fdo());
    EXPECT_NE(std::u16string(one.Ext()->InterfaceLinkName), std::u16string(two.Ext()->InterfaceLinkName));
    File a(u"if0pipe0");
    File b(u"if0pipe0");
    EXPECT_EQ(one.Open(a), STATUS_SUCCESS);
    EXPECT_EQ(two.Open(b), STATUS_DELETE_PENDING);
    EXPECT_EQ(one.Close(a), STATUS_SUCCESS);
}

}  // namespace
}  // namespace transport_test
