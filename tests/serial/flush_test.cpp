// IRP_MJ_FLUSH_BUFFERS: the port answers it itself, after the writes accepted before it have
// completed; it can be cancelled, it is refused like any request while the port does not
// accept requests, and it never reaches the transport.
#include "tests/serial/port_fixture.h"

namespace serial_test {
namespace {

class FlushTest : public OpenPortTest {
protected:
    // A write the transport holds until the test completes it, run in a thread of its own.
    sim::Thread StartHeldWrite(Result* result, const Bytes& data)
    {
        Lower().ScriptWrites({{WriteStep::Hold}});
        sim::Thread writer = sim::StartThread([this, result, data] { *result = Write(data); });
        Lower().WaitWriteHeld();
        return writer;
    }

    // No flush (nor anything else but writes and pipe resets) went down to the transport.
    void ExpectNothingButWritesBelow()
    {
        for (const LowerRequest& r : Lower().Requests()) {
            EXPECT_TRUE(r.kind == LowerRequest::Write || r.kind == LowerRequest::ResetPipe)
                << "request of kind " << r.kind << ", code " << r.code;
        }
    }
};

TEST_F(FlushTest, WithNoWriteInFlightCompletesAtOnce)
{
    Result r = SendMajor(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(Lower().Requests().empty());

    // Writes that have completed do not hold a later flush either.
    ASSERT_EQ(Write(Pattern(10)).status, STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);
    ExpectNothingButWritesBelow();
}

// Two flushes behind one write in flight: both are held until the write completes, whatever
// its outcome, and then succeed; the port stays usable.
TEST_F(FlushTest, WaitsForTheWriteInFlight)
{
    for (NTSTATUS outcome : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(outcome);
        Result write;
        sim::Thread writer = StartHeldWrite(&write, Pattern(40));
        auto first = StartRequest(IRP_MJ_FLUSH_BUFFERS);
        auto second = StartRequest(IRP_MJ_FLUSH_BUFFERS);
        LARGE_INTEGER delay;
        delay.QuadPart = -1000 * kMs;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_FALSE(IsDone(first));
        EXPECT_FALSE(IsDone(second));

        // A failed write is re-sent (accepted then) before it completes.
        Lower().CompleteHeldWrite(outcome, outcome == STATUS_SUCCESS ? 40 : 0);
        writer.Join();
        EXPECT_EQ(write.status, STATUS_SUCCESS);
        EXPECT_EQ(Finish(first).status, STATUS_SUCCESS);
        EXPECT_EQ(Finish(second).status, STATUS_SUCCESS);
        ExpectNothingButWritesBelow();
        Lower().ClearRequests();
    }
    EXPECT_EQ(SendMajor(IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);
}

// A flush waits only for the writes accepted before it: a write accepted after it does not
// hold it up, and a later flush waits for that write too.
TEST_F(FlushTest, WritesAcceptedLaterDoNotHoldAnEarlierFlush)
{
    Lower().ScriptWrites({{WriteStep::Hold}, {WriteStep::Hold}});
    Result first, second;
    sim::Thread a = sim::StartThread([&] { first = Write(Pattern(5, 1)); });
    Lower().WaitWritesHeld(1);
    auto early = StartRequest(IRP_MJ_FLUSH_BUFFERS);
    sim::Thread b = sim::StartThread([&] { second = Write(Pattern(6, 2)); });
    Lower().WaitWritesHeld(2);
    auto late = StartRequest(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_FALSE(IsDone(early));

    Lower().CompleteHeldWrite(STATUS_SUCCESS, 5);   // the first write
    a.Join();
    EXPECT_EQ(Finish(early).status, STATUS_SUCCESS) << "the write accepted after it is still out";
    LARGE_INTEGER delay;
    delay.QuadPart = -100 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_FALSE(IsDone(late));

    Lower().CompleteHeldWrite(STATUS_SUCCESS, 6);
    b.Join();
    EXPECT_EQ(Finish(late).status, STATUS_SUCCESS);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
}

// A write that runs out of time ends the flush as well (with the write's time limit, never
// later): a flush cannot hang on a device that takes nothing.
TEST_F(FlushTest, EndsWithAWriteThatTimesOut)
{
    Lower().ScriptWrites({{WriteStep::Hold}});
    Result write;
    int64_t start = sim::Now();
    sim::Thread writer = sim::StartThread([&] { write = Write(Pattern(4)); });
    Lower().WaitWriteHeld();
    Result flush = SendMajor(IRP_MJ_FLUSH_BUFFERS);
    writer.Join();
    EXPECT_EQ(flush.status, STATUS_SUCCESS);
    EXPECT_EQ(write.status, STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now() - start, 2000 * kMs);
}

TEST_F(FlushTest, HeldFlushCanBeCancelled)
{
    Result write;
    sim::Thread writer = StartHeldWrite(&write, Pattern(8));
    auto flush = StartRequest(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_FALSE(IsDone(flush));
    Cancel(flush);
    Result cancelled = Finish(flush);
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);

    // The write goes on undisturbed, and a later flush behind it works as before.
    auto later = StartRequest(IRP_MJ_FLUSH_BUFFERS);
    Lower().CompleteHeldWrite(STATUS_SUCCESS, 8);
    writer.Join();
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(Finish(later).status, STATUS_SUCCESS);
    ExpectNothingButWritesBelow();
}

// While the port does not accept requests a flush is refused at once with the port's usual
// status; one held when the device goes away reports that too, since its writes never
// reached the device.
TEST_F(FlushTest, RefusedWhileThePortDoesNotAcceptRequests)
{
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(IRP_MJ_FLUSH_BUFFERS).status, STATUS_DELETE_PENDING);
    ASSERT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);

    Result write;
    sim::Thread writer = StartHeldWrite(&write, Pattern(8));
    auto held = StartRequest(IRP_MJ_FLUSH_BUFFERS);
    sim::PnpResult removal = sim::SurpriseRemove(Node());
    EXPECT_EQ(removal.StatusOf(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    writer.Join();
    EXPECT_EQ(write.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Finish(held).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(SendMajor(IRP_MJ_FLUSH_BUFFERS).status, STATUS_DELETE_PENDING);
    ExpectNothingButWritesBelow();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
}

} // namespace
} // namespace serial_test
