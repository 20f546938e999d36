// The power manager: system sleep and wake delivered to every started stack, a refused query,
// device power requests issued with PoRequestPowerIrp and their completion functions, and
// wait-wake requests that stay pending until the device wakes or the request is cancelled.
#include "tests/sim/pnp/test_world.h"

using namespace pt;
using Lines = std::vector<std::string>;

namespace {

class PowerTest : public PnpTest {};

TEST_F(PowerTest, SleepQueriesThenSetsEveryStackAndWakeReturnsToWorking) {
    Arrive(0);
    TakeLog();
    sim::PowerResult sleep = sim::SystemSleep(PowerSystemSleeping3);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemSleeping3);
    Lines log = TakeLog();
    for (const char *driver : {"Filter", "Port", "Bus"})
        EXPECT_EQ(Only(log, driver), (Lines{"QUERY_POWER S3", "SET_POWER S3"})) << driver;
    ASSERT_EQ(sleep.steps.size(), 2u);
    EXPECT_EQ(sleep.steps[0].minorFunction, IRP_MN_QUERY_POWER);
    EXPECT_EQ(sleep.steps[1].minorFunction, IRP_MN_SET_POWER);

    sim::PowerResult wake = sim::SystemWake();
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"SET_POWER S0"}));
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
}

TEST_F(PowerTest, RefusedQueryKeepsTheSystemWorkingAndTellsTheStacksThatAgreed) {
    Child *first = PlugChild(0);
    sim::ReportDeviceArrival(first->pdo);
    Child *second = PlugChild(1);
    sim::ReportDeviceArrival(second->pdo);
    first->queryPowerAnswer = STATUS_DEVICE_BUSY;  // the older stack is asked last
    TakeLog();
    sim::PowerResult sleep = sim::SystemSleep(PowerSystemSleeping3);
    EXPECT_EQ(sleep.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
    EXPECT_EQ(Only(TakeLog(), "Bus"), (Lines{"QUERY_POWER S3", "QUERY_POWER S3", "SET_POWER S0"}));
}

// The requester's completion function runs once the device request has gone through the stack.
struct Completion {
    int calls = 0;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
    PDEVICE_OBJECT device = nullptr;
};

VOID RecordCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK io) {
    auto *completion = static_cast<Completion *>(context);
    completion->calls++;
    completion->minor = minor;
    completion->state = state;
    completion->status = io->Status;
    completion->device = device;
}

TEST_F(PowerTest, DevicePowerRequestGoesToTheTopOfTheStackAndCallsTheCompletionFunction) {
    sim::DeviceNode *node = Arrive(0);
    TakeLog();
    Completion completion;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(sim::PhysicalDeviceOf(node), IRP_MN_SET_POWER, d2, RecordCompletion, &completion, &irp),
              STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(completion.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(completion.device, sim::PhysicalDeviceOf(node));
    Lines log = TakeLog();
    EXPECT_EQ(log, (Lines{"Filter: SET_POWER D2", "Port: SET_POWER D2", "Bus: SET_POWER D2"}));

    EXPECT_EQ(PoRequestPowerIrp(sim::PhysicalDeviceOf(node), IRP_MN_POWER_SEQUENCE, d2, RecordCompletion, &completion,
                                nullptr),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(completion.calls, 1);
}

TEST_F(PowerTest, FailedAllocationIssuesNothing) {
    sim::DeviceNode *node = Arrive(0);
    Completion completion;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    sim::FaultPlan plan;
    plan.kinds = sim::FaultIrp;
    plan.failNth = 1;
    sim::SetFaultPlan(plan);
    EXPECT_EQ(PoRequestPowerIrp(sim::PhysicalDeviceOf(node), IRP_MN_SET_POWER, d0, RecordCompletion, &completion, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::ClearFaults();
    EXPECT_EQ(completion.calls, 0);
}

TEST_F(PowerTest, WaitWakePendsUntilTheDeviceWakesOrTheRequestIsCancelled) {
    Child *child = PlugChild(0);
    sim::DeviceNode *node = sim::ReportDeviceArrival(child->pdo);
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    for (bool wake : {true, false}) {
        Completion completion;
        PIRP irp = nullptr;
        EXPECT_EQ(PoRequestPowerIrp(sim::PhysicalDeviceOf(node), IRP_MN_WAIT_WAKE, s3, RecordCompletion, &completion, &irp),
                  STATUS_PENDING);
        EXPECT_EQ(completion.calls, 0);
        ASSERT_NE(child->waitWake, nullptr);
        if (wake) SignalWake(child);
        else IoCancelIrp(irp);
        EXPECT_EQ(completion.calls, 1);
        EXPECT_EQ(completion.minor, IRP_MN_WAIT_WAKE);
        EXPECT_EQ(completion.status, wake ? STATUS_SUCCESS : STATUS_CANCELLED);
        EXPECT_EQ(child->waitWake, nullptr);
    }
}

TEST_F(PowerTest, ReportedPowerStateIsKeptPerDevice) {
    sim::DeviceNode *node = Arrive(0);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    POWER_STATE previous = PoSetPowerState(sim::StackTopOf(node), DevicePowerState, d3);
    EXPECT_EQ(previous.DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(sim::ReportedPowerState(sim::StackTopOf(node), DevicePowerState).DeviceState, PowerDeviceD3);
    EXPECT_EQ(sim::ReportedPowerState(sim::PhysicalDeviceOf(node), DevicePowerState).DeviceState, PowerDeviceUnspecified);
}

}  // namespace
