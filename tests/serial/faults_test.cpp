// Allocation and request-building failures injected at every such call, one at a time, while
// the device starts, while the port opens and during I/O: nothing crashes, hangs or leaks
// (the driver is unloaded after every run and reports what it still owns), and the port keeps
// answering every request.
#include "tests/serial/port_fixture.h"

#include <functional>

namespace serial_test {
namespace {

class FaultTest : public SerialPortTest {
protected:
    void SetUp() override { InstallServices(); }

    static void Arm(PDRIVER_OBJECT driver, uint64_t nth)
    {
        sim::FaultPlan plan;
        plan.kinds = sim::FaultAll;
        plan.driver = driver;
        plan.failNth = nth;
        sim::SetFaultPlan(plan);
    }

    static PDRIVER_OBJECT Com() { return sim::LoadedDriver(u"CardRwCom"); }

    // Lets the read worker finish what the last request started (it is waiting again, or has
    // ended): virtual time passes only once every thread waits.
    static void Settle()
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -1 * kMs;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

    // Requests of an application on an open port. Reads use the default 50 ms limit, so a
    // port whose worker failed answers them too.
    void UseOpenPort()
    {
        Write(Bytes{1, 2, 3});
        Lower().Feed(Bytes{4, 5});
        Settle();
        Read(2);
        Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, U32(4800));
        Ioctl(IOCTL_SERIAL_SET_DTR);
        Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, U32(SERIAL_EV_RXCHAR));
        Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
        Ioctl(IOCTL_SERIAL_PURGE, U32(SERIAL_PURGE_RXCLEAR));
        Ioctl(IOCTL_CARDRW_RESET_PIPE);
    }

    // Open, use and close whatever started.
    void UsePort()
    {
        if (port_ == nullptr || Open() != STATUS_SUCCESS) {
            return;
        }
        UseOpenPort();
        EXPECT_EQ(Close(), STATUS_SUCCESS);
    }

    // Runs 'phase' once to count the injectable calls, then once per call with that call
    // failing; 'prepare' brings a fresh device to where the phase begins.
    void EveryFailure(const std::function<void()>& prepare, const std::function<void()>& phase, bool driverOnly)
    {
        prepare();
        Arm(driverOnly ? Com() : nullptr, 0);
        phase();
        uint64_t calls = sim::InjectableCalls();
        sim::ClearFaults();
        RemoveAll();
        ASSERT_GT(calls, 0u);
        uint64_t injected = 0;
        for (uint64_t n = 1; n <= calls; ++n) {
            SCOPED_TRACE(testing::Message() << "failing call " << n << " of " << calls);
            prepare();
            Arm(driverOnly ? Com() : nullptr, n);
            phase();
            EXPECT_LE(sim::InjectedFailures(), 1u);
            injected += sim::InjectedFailures();
            sim::ClearFaults();
            UsePort();   // whatever the failure broke, the port answers and closes
            RemoveAll();
            if (HasFatalFailure()) {
                return;
            }
        }
        // Most runs hit their call; a call the read worker makes may fall just outside the
        // phase in a run, so the count is not exact.
        EXPECT_GE(injected * 2, calls);
    }
};

TEST_F(FaultTest, EveryFailureWhileStarting)
{
    EveryFailure([] {}, [this] { TryPlug(); }, false);
}

TEST_F(FaultTest, EveryFailureWhileOpening)
{
    EveryFailure([this] { ASSERT_TRUE(TryPlug()); },
                 [this] {
                     if (Open() == STATUS_SUCCESS) {
                         Settle();
                         Close();
                     }
                 },
                 true);
}

TEST_F(FaultTest, EveryFailureDuringIo)
{
    EveryFailure(
        [this] {
            ASSERT_TRUE(TryPlug());
            ASSERT_EQ(Open(), STATUS_SUCCESS);
            Lower().WaitReadParked();
        },
        [this] {
            UseOpenPort();
            Close();
        },
        true);
}

// The worker cannot build its next read: it ends and marks itself gone, so a read without a
// time limit is refused instead of waiting for data that no longer comes; the close still
// finds and joins the worker.
TEST_F(FaultTest, WorkerThatCannotBuildARequestReleasesReaders)
{
    ASSERT_TRUE(TryPlug());
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Lower().WaitReadParked();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, 0, 0, 0)).status, STATUS_SUCCESS);
    sim::FaultPlan plan;
    plan.kinds = sim::FaultBuildRequest;
    plan.driver = Com();
    plan.failNth = 1;
    sim::SetFaultPlan(plan);
    Lower().FailHeldRead(STATUS_UNSUCCESSFUL);   // the worker fails to build the next read
    LARGE_INTEGER settle;
    settle.QuadPart = -10 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);   // the worker has ended by now
    EXPECT_EQ(sim::InjectedFailures(), 1u);
    Result r = Read(10);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL) << "no worker: the read is refused, not left waiting";
    sim::ClearFaults();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
}

} // namespace
} // namespace serial_test
