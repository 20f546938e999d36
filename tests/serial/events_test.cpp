// Wait-on-mask events and purge.
#include "tests/serial/port_fixture.h"

namespace serial_test {
namespace {

class EventsTest : public OpenPortTest {
protected:
    NTSTATUS SetMask(ULONG mask) { return Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, U32(mask)).status; }
};

// How a held wait ends: its status, event mask and information.
TEST_F(EventsTest, HeldWaitEnds)
{
    struct Case {
        const char* name;
        std::function<void(const std::shared_ptr<PendingIoctl>&)> end;
        NTSTATUS status;
        ULONG events;
        ULONG_PTR information;
    } cases[] = {
        {"data arrives", [this](auto&) { Lower().Feed(Bytes{1, 2, 3}); }, STATUS_SUCCESS,
         SERIAL_EV_RXCHAR, 4},
        {"new mask", [this](auto&) { EXPECT_EQ(SetMask(SERIAL_EV_RXFLAG), STATUS_SUCCESS); },
         STATUS_SUCCESS, 0, 4},
        {"cancelled", [this](auto& w) { Cancel(w); }, STATUS_CANCELLED, 0, 0},
        {"handle cleaned up", [this](auto&) { EXPECT_EQ(Cleanup(), STATUS_SUCCESS); }, STATUS_SUCCESS,
         0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);   // the mask does not filter
        auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        ASSERT_FALSE(IsDone(wait));
        c.end(wait);
        Result r = Finish(wait);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.information);
        if (c.information == 4) {
            EXPECT_EQ(ReadU32(r.out), c.events);
        }
        Lower().WaitReadParked();
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, U32(SERIAL_PURGE_RXCLEAR)).status, STATUS_SUCCESS);
    }
}

TEST_F(EventsTest, RefusedWaits)
{
    ASSERT_EQ(SetMask(0), STATUS_SUCCESS);
    Result none = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(none.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none.information, 0u);

    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto first = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    Result second = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(IsDone(first)) << "the held wait is not disturbed";
    Lower().Feed(Bytes{9});
    EXPECT_EQ(ReadU32(Finish(first).out), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(EventsTest, MaskValidation)
{
    EXPECT_EQ(SetMask(0x1FFF), STATUS_SUCCESS);
    EXPECT_EQ(SetMask(0x2000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).out), 0x1FFFu);
}

// With the worker gone and no mask set on this handle, a wait ends at once without an event;
// a mask set afterwards arms it again. The close ends a held wait with 0, a stop with 0x40.
TEST_F(EventsTest, WaitWithoutWorkerAndAtCloseAndStop)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto atClose = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    Result closed = Finish(atClose);
    EXPECT_EQ(closed.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadU32(closed.out), 0u);

    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Lower().WaitReadParked();
    auto atStop = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(IsDone(atStop));
    sim::PnpResult stop;
    sim::Thread pnp = sim::StartThread([&] { stop = sim::StopAndRestart(Node()); });
    Result stopped = Finish(atStop);
    EXPECT_EQ(stopped.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadU32(stopped.out), 0x40u);
    ASSERT_EQ(Close(), STATUS_SUCCESS);   // the stop waits for this
    pnp.Join();
    EXPECT_EQ(stop.status, STATUS_SUCCESS);

    // An open whose worker could not be created: with no mask set since the open the wait
    // ends at once; a mask set now lets it be held.
    sim::FaultPlan plan;
    plan.kinds = sim::FaultThread;
    plan.driver = sim::LoadedDriver(u"CardRwCom");
    plan.failNth = 1;
    sim::SetFaultPlan(plan);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(sim::InjectedFailures(), 1u);
    sim::ClearFaults();
    Result atOnce = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(atOnce.status, STATUS_SUCCESS);
    EXPECT_EQ(atOnce.information, 0u);
    EXPECT_EQ(Read(1).status, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto armed = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_FALSE(IsDone(armed));
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(ReadU32(Finish(armed).out), 0u);
}

TEST_F(EventsTest, Purge)
{
    Lower().Feed(Bytes{1, 2, 3, 4});
    Lower().WaitReadParked();
    struct Case {
        ULONG mask;
        NTSTATUS status;
        ULONG heldAfter;
    } cases[] = {
        {0, STATUS_INVALID_PARAMETER, 4},
        {0x10, STATUS_INVALID_PARAMETER, 4},
        {SERIAL_PURGE_TXABORT, STATUS_SUCCESS, 4},
        {SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR, STATUS_SUCCESS, 4},
        {SERIAL_PURGE_RXCLEAR, STATUS_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, U32(c.mask)).status, c.status);
        EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).out, 8), c.heldAfter);
    }
    Lower().Feed(Bytes{5});
    Lower().WaitReadParked();
    EXPECT_EQ(Read(10).out, Bytes{5}) << "bytes arriving after the purge are kept";
}

} // namespace
} // namespace serial_test
