// The transmit path: time limits on the virtual clock, re-sends of refused writes, the status
// of writes that pended, and a close that waits for a write.
#include "tests/serial/port_fixture.h"

#include <atomic>

namespace serial_test {
namespace {

class TransmitTest : public OpenPortTest {
protected:
    size_t Sends() { return Lower().Count(LowerRequest::Write); }
    size_t PipeResets() { return Lower().Count(LowerRequest::ResetPipe); }
};

TEST_F(TransmitTest, AcceptedWriteReachesTheTransmitPipe)
{
    Bytes data = Pattern(600);
    Result r = Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 600u);
    EXPECT_EQ(Lower().WrittenBytes(), data);
    auto requests = Lower().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].pipe, u"if0pipe0");
}

TEST_F(TransmitTest, ZeroLengthSendsNothing)
{
    Result r = Write({});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Sends(), 0u);
}

// A write the device never takes is cancelled at its time limit, reports STATUS_TIMEOUT with
// the bytes the transport reported (none), and is followed by three transmit pipe resets.
TEST_F(TransmitTest, TimeLimits)
{
    struct Case {
        ULONG wm, wc;
        size_t length;
        int64_t limitMs;
    } cases[] = {{0, 0, 10, 2000}, {10, 100, 50, 600}, {0, 1, 4096, 1}, {3, 0, 7, 21}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limitMs);
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, 50, c.wm, c.wc)).status, STATUS_SUCCESS);
        Lower().ClearRequests();
        Lower().ScriptWrites({{WriteStep::Hold}});
        int64_t start = sim::Now();
        Result r = Write(Pattern(c.length));
        EXPECT_EQ(sim::Now() - start, c.limitMs * kMs);
        EXPECT_EQ(r.status, STATUS_TIMEOUT);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(Sends(), 1u);
        EXPECT_EQ(PipeResets(), 3u);
        for (const auto& req : Lower().Requests()) {
            if (req.kind == LowerRequest::ResetPipe) {
                EXPECT_EQ(req.pipe, u"if0pipe0");
            }
        }
    }
}

// Refusals are re-sent up to three times, except a cancellation or a vanished device; the
// request's own final status is reported, also when a send pended first.
TEST_F(TransmitTest, ResendsAndFinalStatus)
{
    const WriteStep accept{WriteStep::Accept};
    const WriteStep refuse{WriteStep::Refuse, STATUS_UNSUCCESSFUL};
    struct Case {
        const char* name;
        std::vector<WriteStep> script;
        NTSTATUS pendedWith;   // a held send is completed with this (STATUS_PENDING: none held)
        NTSTATUS status;
        size_t sends;
        ULONG_PTR information;
    } cases[] = {
        {"refused four times", {refuse, refuse, refuse, refuse}, STATUS_PENDING, STATUS_UNSUCCESSFUL, 4, 0},
        {"refused once", {refuse, accept}, STATUS_PENDING, STATUS_SUCCESS, 2, 5},
        {"not connected", {{WriteStep::Refuse, STATUS_DEVICE_NOT_CONNECTED}}, STATUS_PENDING,
         STATUS_DEVICE_NOT_CONNECTED, 1, 0},
        {"cancelled at once", {{WriteStep::Refuse, STATUS_CANCELLED}}, STATUS_PENDING, STATUS_CANCELLED, 1, 0},
        {"pended then failed", {{WriteStep::Hold}, accept}, STATUS_UNSUCCESSFUL, STATUS_SUCCESS, 2, 5},
        {"pended then cancelled", {{WriteStep::Hold}}, STATUS_CANCELLED, STATUS_CANCELLED, 1, 0},
        {"pended then not connected", {{WriteStep::Hold}}, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED,
         1, 0},
        {"pended, failed, refused thrice", {{WriteStep::Hold}, refuse, refuse, refuse}, STATUS_IO_DEVICE_ERROR,
         STATUS_UNSUCCESSFUL, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Lower().ClearRequests();
        Lower().ScriptWrites(c.script);
        Result r;
        sim::Thread writer = sim::StartThread([&] { r = Write(Bytes{1, 2, 3, 4, 5}); });
        if (c.pendedWith != STATUS_PENDING) {
            Lower().WaitWriteHeld();
            Lower().CompleteHeldWrite(c.pendedWith, 0);
        }
        writer.Join();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.information);
        EXPECT_EQ(Sends(), c.sends);
        EXPECT_EQ(PipeResets(), 0u);
    }
}

// A pended write reports the bytes the transport reported, not the length asked for.
TEST_F(TransmitTest, PendedWriteReportsTheTransportsCount)
{
    Lower().ScriptWrites({{WriteStep::Hold}});
    Result r;
    sim::Thread writer = sim::StartThread([&] { r = Write(Pattern(100)); });
    Lower().WaitWriteHeld();
    Lower().CompleteHeldWrite(STATUS_SUCCESS, 100);
    writer.Join();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 100u);
}

TEST_F(TransmitTest, CloseWaitsForAWriteInProgress)
{
    Lower().ScriptWrites({{WriteStep::Hold}});
    Result r;
    sim::Thread writer = sim::StartThread([&] { r = Write(Pattern(8)); });
    Lower().WaitWriteHeld();
    std::atomic<NTSTATUS> closed{STATUS_PENDING};
    sim::Thread closer = sim::StartThread([&] { closed = Close(); });
    LARGE_INTEGER delay;
    delay.QuadPart = -500 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(closed, STATUS_PENDING) << "the close waits for the write";
    EXPECT_TRUE(Lower().ControlLineWords().empty()) << "the lines stay up while the write runs";
    Lower().CompleteHeldWrite(STATUS_SUCCESS, 8);
    closer.Join();
    writer.Join();
    EXPECT_EQ(closed, STATUS_SUCCESS);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{1, 0}));
}

} // namespace
} // namespace serial_test
