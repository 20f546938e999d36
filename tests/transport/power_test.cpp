// Power: the idle power level from the capabilities, the idle policy's device requests around
// pipe opens and closes, system sleep mapping with and without wait-wake, wait-wake refusal,
// and device power requests that cannot be issued.
#include "tests/transport/transport_rig.h"

namespace transport_test {
namespace {

sim::usb::PlugOptions Sleeping(DEVICE_POWER_STATE s1, DEVICE_POWER_STATE s2, DEVICE_POWER_STATE s3)
{
    sim::usb::PlugOptions options;
    options.DeviceState[PowerSystemSleeping1] = s1;
    options.DeviceState[PowerSystemSleeping2] = s2;
    options.DeviceState[PowerSystemSleeping3] = s3;
    return options;
}

LONG Recorded(Rig &rig)
{
    return rig.Ext()->CurrentDevicePower;
}

TEST_F(TransportTest, IdlePowerLevelIsTheDeepestSleepStateAboveD3)
{
    struct Case {
        DEVICE_POWER_STATE S1, S2, S3;
        LONG Level;
    } cases[] = {
        {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, 0},
        {PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
        {PowerDeviceD2, PowerDeviceD2, PowerDeviceD1, PowerDeviceD1},
        {PowerDeviceD3, PowerDeviceD3, PowerDeviceD2, PowerDeviceD2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.S1 << c.S2 << c.S3);
        Rig rig;
        ASSERT_EQ(rig.PlugCardReader(Sleeping(c.S1, c.S2, c.S3)), STATUS_SUCCESS);
        EXPECT_EQ(rig.Ext()->IdlePowerLevel, c.Level);
    }
    // A capabilities record where the query failed: only the preset fields, so level 0.
    DEVICE_CAPABILITIES empty{};
    EXPECT_EQ(ComputeIdlePowerLevel(&empty), 0u);
}

SeenPower Device(ULONG state)
{
    return SeenPower{false, state};
}

SeenPower System(ULONG state)
{
    return SeenPower{true, state};
}

// The idle policy's device power requests, as they pass below the transport, step by step.
TEST_F(TransportTest, IdlePolicyFollowsTheOpenPipes)
{
    using Seen = std::vector<SeenPower>;
    struct Case {
        const char *Name;
        sim::usb::PlugOptions Options;
        Seen AfterOpen, AfterSecondOpen, AfterFirstClose, AfterLastClose, AfterReopen;
    } cases[] = {
        {"LevelD2", Sleeping(PowerDeviceD1, PowerDeviceD2, PowerDeviceD3), {Device(PowerDeviceD0)}, {}, {},
         {Device(PowerDeviceD2)}, {Device(PowerDeviceD0)}},
        {"LevelZero", Sleeping(PowerDeviceD3, PowerDeviceD3, PowerDeviceD3), {}, {}, {}, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Rig rig;
        rig.UseLowerFilter();
        ASSERT_EQ(rig.PlugCardReader(c.Options), STATUS_SUCCESS);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        auto step = [&](const Seen &expected, const char *what) {
            EXPECT_EQ(rig.SeenPowers(), expected) << what;
            rig.ClearSeenPowers();
        };
        File a(u"if0pipe0");
        File b(u"if0pipe1");
        rig.ClearSeenPowers();
        ASSERT_EQ(rig.Open(a), STATUS_SUCCESS);
        // The open completes only after its power-up has gone down and come back.
        step(c.AfterOpen, "open");
        EXPECT_EQ(Recorded(rig), c.AfterOpen.empty() ? 0 : PowerDeviceD0);
        ASSERT_EQ(rig.Open(b), STATUS_SUCCESS);
        step(c.AfterSecondOpen, "second open");
        ASSERT_EQ(rig.Close(a), STATUS_SUCCESS);
        step(c.AfterFirstClose, "first close");
        ASSERT_EQ(rig.Close(b), STATUS_SUCCESS);
        step(c.AfterLastClose, "last close");
        for (int cycle = 0; cycle < 2; ++cycle) {
            ASSERT_EQ(rig.Open(a), STATUS_SUCCESS);
            step(c.AfterReopen, "reopen");
            ASSERT_EQ(rig.Close(a), STATUS_SUCCESS);
            step(c.AfterLastClose, "close again");
        }
        EXPECT_FALSE(FlagIsSet(&rig.Ext()->PowerRequestActive));
        EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
    }
}

TEST_F(TransportTest, SystemSleepGoesDownAfterItsDeviceRequest)
{
    Rig rig;
    rig.UseLowerFilter();
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    rig.ClearSeenPowers();
    EXPECT_EQ(rig.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(rig.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(rig.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(rig.SeenPowers(),
              (std::vector<SeenPower>{Device(PowerDeviceD3), System(PowerSystemSleeping3), Device(PowerDeviceD0),
                                      System(PowerSystemWorking), System(PowerSystemWorking)}));
}

TEST_F(TransportTest, SystemSleepMapsToADeviceState)
{
    struct Case {
        const char *Name;
        bool WaitWake;
        SYSTEM_POWER_STATE System;
        LONG Device;
    } cases[] = {
        {"S3WithoutWaitWake", false, PowerSystemSleeping3, PowerDeviceD3},
        {"S3WithWaitWake", true, PowerSystemSleeping3, PowerDeviceD2},
        {"S1WithWaitWake", true, PowerSystemSleeping1, PowerDeviceD1},
        {"HibernateWithoutWaitWake", false, PowerSystemHibernate, PowerDeviceD3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Rig rig;
        ASSERT_EQ(rig.PlugCardReader(Sleeping(PowerDeviceD1, PowerDeviceD2, PowerDeviceD2)), STATUS_SUCCESS);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        rig.Ext()->WaitWakeActive = c.WaitWake ? 1 : 0;
        EXPECT_EQ(rig.SetSystemPower(c.System), STATUS_SUCCESS);
        EXPECT_EQ(Recorded(rig), c.Device);
        EXPECT_EQ(rig.Ext()->PendingSystemPowerIrp, nullptr);
        rig.Ext()->WaitWakeActive = 0;
        EXPECT_EQ(rig.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(Recorded(rig), PowerDeviceD0);
        // Mapped state equal to the current one: passed down at once, nothing changes.
        EXPECT_EQ(rig.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(Recorded(rig), PowerDeviceD0);
        EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
    }
}

TEST_F(TransportTest, DevicePowerRequestsAreRecorded)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    const DEVICE_POWER_STATE sequence[] = {PowerDeviceD2, PowerDeviceD0, PowerDeviceD3, PowerDeviceD0, PowerDeviceD1};
    for (DEVICE_POWER_STATE state : sequence) {
        EXPECT_EQ(rig.SetDevicePower(state), STATUS_SUCCESS);
        EXPECT_EQ(Recorded(rig), state);
    }
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
}

TEST_F(TransportTest, WaitWakeIsRefusedInD0AndBeforeTheFirstDeviceRequest)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    auto waitWake = [&]() {
        Request request(rig.Fdo());
        request.Stack()->MajorFunction = IRP_MJ_POWER;
        request.Stack()->MinorFunction = IRP_MN_WAIT_WAKE;
        request.Stack()->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
        NTSTATUS returned = request.Send();
        NTSTATUS status = request.Wait();
        EXPECT_EQ(returned, status);
        return status;
    };
    // Unspecified state with a non-zero DeviceWake (D2 by default).
    EXPECT_EQ(waitWake(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(rig.Ext()->IdlePowerLevel, rig.Ext()->Capabilities.DeviceWake);
    ASSERT_EQ(rig.SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(waitWake(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(FlagIsSet(&rig.Ext()->WaitWakeActive));
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
}

TEST_F(TransportTest, FailedPowerUpReachesItsOriginatorAsSuccess)
{
    Rig rig;
    FilterFailure failure;
    failure.Major = IRP_MJ_POWER;
    failure.Minor = IRP_MN_SET_POWER;
    failure.DevicePowerOnly = true;
    failure.Status = STATUS_DEVICE_POWER_FAILURE;
    rig.UseLowerFilter(failure);
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    // A power-down that fails below is reported as it failed; a power-up always as success.
    EXPECT_EQ(rig.SetDevicePower(PowerDeviceD2), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(Recorded(rig), PowerDeviceD2);
    EXPECT_EQ(rig.SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Recorded(rig), PowerDeviceD0);
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
}

// ---------------------------------------------------------------------------------------------
// Device power requests that cannot be issued leave nothing behind.
// ---------------------------------------------------------------------------------------------

TEST_F(TransportTest, UnissuedDevicePowerRequestLeavesNothingBehind)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(Sleeping(PowerDeviceD1, PowerDeviceD2, PowerDeviceD3)), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File pipe(u"if0pipe0");
    ASSERT_EQ(rig.Open(pipe), STATUS_SUCCESS);
    ASSERT_EQ(Recorded(rig), PowerDeviceD0);

    sim::FaultPlan plan;
    plan.kinds = sim::FaultIrp | sim::FaultPool;
    plan.failAllAfterNth = true;
    plan.failNth = 1;
    plan.driver = rig.Driver();
    // The idle policy's power-down: the close succeeds, no flag or reference stays.
    sim::SetFaultPlan(plan);
    EXPECT_EQ(rig.Close(pipe), STATUS_SUCCESS);
    EXPECT_GT(sim::InjectedFailures(), 0u);
    sim::ClearFaults();
    EXPECT_FALSE(FlagIsSet(&rig.Ext()->PowerRequestActive));
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
    EXPECT_EQ(Recorded(rig), PowerDeviceD0);

    // A system sleep whose device request cannot be issued: not held, passed down as it came.
    sim::SetFaultPlan(plan);
    EXPECT_EQ(rig.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_GT(sim::InjectedFailures(), 0u);
    sim::ClearFaults();
    EXPECT_EQ(rig.Ext()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(rig.Ext()->OutstandingIo, 1);

    // The next open and close work as ever.
    ASSERT_EQ(rig.Open(pipe), STATUS_SUCCESS);
    ASSERT_EQ(rig.Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Recorded(rig), PowerDeviceD2);
}

}  // namespace
}  // namespace transport_test
