// Allocation failure at every allocation and request-building call the transport makes, one
// at a time, over a whole device life: each failing step answers with its documented status,
// every request completes exactly once, and nothing of the driver is left after removal.
#include "tests/transport/transport_rig.h"

namespace transport_test {
namespace {

// A status that the step may answer: its success, or the documented failure when one of its
// allocations fails.
void ExpectOneOf(NTSTATUS status, NTSTATUS success, NTSTATUS failure, const char *step)
{
    EXPECT_TRUE(status == success || status == failure) << step << ": 0x" << std::hex << status;
}

Bytes ControlOutHeader()
{
    Bytes bytes(sizeof(ControlRequestHeader) + 4, 0);
    ControlRequestHeader header{};
    header.Function = URB_FUNCTION_CLASS_INTERFACE;
    header.TransferFlags = 2;
    header.Request = 0x22;
    memcpy(bytes.data(), &header, sizeof(header));
    return bytes;
}

// One whole life of a device. Returns when the device is removed. With forcePending the bus
// answers every request later from another thread, so every waiting path of the transport runs.
void RunLife(Rig &rig, bool forcePending = false)
{
    NTSTATUS added = rig.PlugCardReader();
    if (forcePending && NT_SUCCESS(added)) {
        sim::ForcePending(rig.Device().Pdo(), true);
    }
    if (!NT_SUCCESS(added)) {
        // Interface registration or device creation failed: nothing exists.
        EXPECT_TRUE(added == STATUS_INSUFFICIENT_RESOURCES || added == STATUS_NO_MEMORY) << std::hex << added;
        EXPECT_TRUE(rig.Removed());
        return;
    }
    NTSTATUS started = rig.Start();
    ExpectOneOf(started, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, "start");
    if (NT_SUCCESS(started)) {
        File write(u"if0pipe0");
        File read(u"if0pipe1");
        File again(u"if0pipe1");
        EXPECT_EQ(rig.Open(write), STATUS_SUCCESS);
        EXPECT_EQ(rig.Open(read), STATUS_SUCCESS);
        EXPECT_EQ(rig.Open(again), STATUS_INVALID_PARAMETER);   // its resets may fail silently

        auto writing = rig.StartWrite(write, Bytes(600, 7));
        ExpectOneOf(writing->Req.Wait(), STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, "write");
        EXPECT_EQ(writing->Req.Information(), NT_SUCCESS(writing->Req.Status()) ? 600u : 0u);
        EXPECT_EQ(writing->Req.Completions(), 1);

        rig.CardReader().Send(Bytes(10, 1));
        auto reading = rig.StartRead(read, 64);
        ExpectOneOf(reading->Req.Wait(), STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, "read");
        EXPECT_EQ(reading->Req.Completions(), 1);

        const struct {
            ULONG Code;
            Bytes Input;
            ULONG Output;
        } controls[] = {
            {IOCTL_CARDRW_GET_DESCRIPTOR, {1, 0, 0, 0}, 18},
            {IOCTL_CARDRW_GET_STATUS, {0, 0, 0, 0}, 2},
            {IOCTL_CARDRW_CONTROL_OUT, ControlOutHeader(), 0},
            {IOCTL_CARDRW_CONTROL_IN, ControlOutHeader(), 7},
            {IOCTL_CARDRW_RESET_PORT, {}, 0},
        };
        for (const auto &c : controls) {
            ControlResult result = rig.Control(c.Code, c.Input, c.Output, &read);
            if (result.Status == STATUS_INSUFFICIENT_RESOURCES) {
                EXPECT_EQ(result.Information, 0u);
            } else {
                EXPECT_NE(result.Status, STATUS_DELETE_PENDING);
            }
        }
        EXPECT_EQ(rig.Control(IOCTL_CARDRW_RESET_PIPE, {}, 0, &read).Status, STATUS_SUCCESS);

        EXPECT_EQ(rig.Close(again), STATUS_SUCCESS);
        EXPECT_EQ(rig.Close(read), STATUS_SUCCESS);
        EXPECT_EQ(rig.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(rig.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(rig.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(rig.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(rig.Close(write), STATUS_SUCCESS);
    }
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
    PDEVICE_OBJECT fdo = rig.Fdo();
    rig.Remove();
    EXPECT_TRUE(sim::IsDeviceDeleted(fdo));
    if (forcePending) {
        sim::DrainForcedPending();
        sim::ForcePending(rig.Device().Pdo(), false);
    }
}

TEST_F(TransportTest, WholeLifeWithTheBusAnsweringLater)
{
    Rig rig;
    RunLife(rig, true);
}

TEST_F(TransportTest, EveryAllocationFailureIsAnsweredAndLeavesNothingBehind)
{
    const unsigned kinds = sim::FaultPool | sim::FaultIrp | sim::FaultMdl | sim::FaultBuildRequest |
                           sim::FaultDevice | sim::FaultInterface;
    // A run without faults counts the calls; then each one fails in a run of its own.
    uint64_t calls = 0;
    {
        Rig rig;
        sim::FaultPlan plan;
        plan.kinds = kinds;
        plan.driver = rig.Driver();
        sim::SetFaultPlan(plan);
        RunLife(rig);
        calls = sim::InjectableCalls();
        sim::ClearFaults();
    }
    ASSERT_GT(calls, 10u);
    for (uint64_t nth = 1; nth <= calls; ++nth) {
        SCOPED_TRACE(testing::Message() << "failing call " << nth << " of " << calls);
        Rig rig;
        sim::FaultPlan plan;
        plan.kinds = kinds;
        plan.driver = rig.Driver();
        plan.failNth = nth;
        sim::SetFaultPlan(plan);
        RunLife(rig);
        EXPECT_EQ(sim::InjectedFailures(), 1u);
        sim::ClearFaults();
        if (HasFailure()) {
            break;   // one failing call at a time is enough to read
        }
    }
}

}  // namespace
}  // namespace transport_test
