// The receive path: the read modes of the serial time-outs on the virtual clock, the ring's
// overflow, and readers that must not outlive the read worker.
#include "tests/serial/port_fixture.h"

namespace serial_test {
namespace {

class ReceiveTest : public OpenPortTest {
protected:
    // Bytes fed now and taken into the ring before returning.
    void Arrive(const Bytes& bytes)
    {
        Lower().Feed(bytes);
        Lower().WaitReadParked();
    }

    ULONG RingCount() { return ReadU32(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).out, 8); }
};

struct ReadMode {
    const char* name;
    ULONG ri, rm, rc;
    ULONG length;
    size_t held;          // bytes in the ring before the read
    int64_t arrivalMs;    // 3 more bytes arrive then; -1: nothing arrives
    size_t expected;      // bytes the read returns
    int64_t elapsedMs;    // virtual time the read takes
};

const ReadMode kModes[] = {
    {"default, nothing arrives", 0, 0, 50, 10, 0, -1, 0, 50},
    {"default, data at 20 ms", 0, 0, 50, 10, 0, 20, 3, 20},
    {"default, data held", 0, 0, 50, 10, 5, -1, 5, 0},
    {"immediate, empty", MAXULONG, 0, 0, 10, 0, 20, 0, 0},
    {"immediate, held", MAXULONG, 0, 0, 3, 5, -1, 3, 0},
    {"cut to one byte, held", MAXULONG, MAXULONG, 200, 100, 5, -1, 1, 0},
    {"cut to one byte, empty", MAXULONG, MAXULONG, 200, 100, 0, -1, 0, 200},
    {"cut to one byte, data at 50 ms", MAXULONG, MAXULONG, 200, 100, 0, 50, 1, 50},
    {"timed with interval ignored", 100, 2, 10, 50, 0, -1, 0, 110},
    {"timed, interval MAXULONG", MAXULONG, 2, 10, 50, 0, -1, 0, 110},
    {"unbounded", 0, 0, 0, 10, 0, 60000, 3, 60000},
    {"unbounded, constant MAXULONG", MAXULONG, 7, MAXULONG, 10, 0, 30000, 3, 30000},
};

TEST_F(ReceiveTest, ReadModes)
{
    for (const ReadMode& m : kModes) {
        SCOPED_TRACE(m.name);
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, U32(SERIAL_PURGE_RXCLEAR)).status, STATUS_SUCCESS);
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(m.ri, m.rm, m.rc, 0, 0)).status, STATUS_SUCCESS);
        Bytes held = Pattern(m.held, 1);
        if (!held.empty()) {
            Arrive(held);
        }
        uint64_t scheduled = 0;
        if (m.arrivalMs >= 0) {
            scheduled = sim::ScheduleAfter(m.arrivalMs * kMs, [this] { Lower().Feed(Bytes{0xA1, 0xA2, 0xA3}); });
        }
        int64_t start = sim::Now();
        Result r = Read(m.length);
        int64_t elapsed = sim::Now() - start;
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, m.expected);
        EXPECT_EQ(elapsed, m.elapsedMs * kMs);
        if (m.held != 0) {
            EXPECT_EQ(r.out, Bytes(held.begin(), held.begin() + m.expected));
        }
        if (scheduled != 0 && !sim::CancelScheduled(scheduled)) {
            Lower().WaitReadParked();   // the late bytes are in the ring; the next case purges
        }
    }
}

TEST_F(ReceiveTest, RingKeepsTheLatest1024Bytes)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(MAXULONG, 0, 0, 0, 0)).status, STATUS_SUCCESS);
    struct Case {
        size_t arriving;
        size_t held;
    } cases[] = {{1024, 1024}, {1100, 1024}, {64 * 40 + 3, 1024}, {1023, 1023}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arriving);
        Bytes data = Pattern(c.arriving, 9);
        Arrive(data);
        EXPECT_EQ(RingCount(), c.held);
        Result r = Read(2000);
        EXPECT_EQ(r.out, Bytes(data.end() - c.held, data.end())) << "the oldest of the latest bytes come first";
        EXPECT_EQ(RingCount(), 0u);
    }
}

// Bytes dropped from the full ring show once as a queue overrun in the next status request,
// which clears it; a ring that only just fills drops nothing. A purge empties the ring but
// the loss is still reported.
TEST_F(ReceiveTest, DroppedBytesReportAQueueOverrunOnce)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(MAXULONG, 0, 0, 0, 0)).status, STATUS_SUCCESS);
    struct Case {
        size_t arriving;
        bool purge;        // purge the receive queue before asking
        ULONG errors;      // Errors of the first status request
        ULONG held;        // AmountInInQueue then
    } cases[] = {
        {1100, false, SERIAL_ERROR_QUEUEOVERRUN, 1024},
        {1024, false, 0, 1024},
        {1023, false, 0, 1023},
        {64 * 40 + 3, false, SERIAL_ERROR_QUEUEOVERRUN, 1024},
        {1025, true, SERIAL_ERROR_QUEUEOVERRUN, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arriving);
        Bytes data = Pattern(c.arriving, 3);
        Arrive(data);
        if (c.purge) {
            ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, U32(SERIAL_PURGE_RXCLEAR)).status, STATUS_SUCCESS);
        }
        Result first = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
        EXPECT_EQ(ReadU32(first.out, 0), c.errors);
        EXPECT_EQ(ReadU32(first.out, 8), c.held);
        Result second = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
        EXPECT_EQ(ReadU32(second.out, 0), 0u) << "the request cleared it";
        EXPECT_EQ(ReadU32(second.out, 8), c.held);
        Result r = Read(2000);
        EXPECT_EQ(r.out, Bytes(data.end() - c.held, data.end())) << "the newest bytes are kept";
    }
}

// A loss that nobody asked about is forgotten with the handle: a new handle starts clean.
TEST_F(ReceiveTest, QueueOverrunEndsWithTheHandle)
{
    Arrive(Pattern(1100));
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Lower().WaitReadParked();
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).out, 0), 0u);
}

TEST_F(ReceiveTest, ReadsInPiecesAcrossTheRingsEnd)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(MAXULONG, 0, 0, 0, 0)).status, STATUS_SUCCESS);
    Bytes all;
    for (int round = 0; round < 5; ++round) {
        Bytes data = Pattern(700, uint8_t(round));
        Arrive(data);
        Bytes got;
        for (ULONG piece : {1u, 299u, 400u}) {
            Bytes part = Read(piece).out;
            got.insert(got.end(), part.begin(), part.end());
        }
        EXPECT_EQ(got, data) << round;
    }
}

TEST_F(ReceiveTest, ZeroLengthAndNoWorker)
{
    EXPECT_EQ(Read(0).status, STATUS_SUCCESS);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    Result zero = Read(0);
    EXPECT_EQ(zero.status, STATUS_SUCCESS);
    EXPECT_EQ(zero.information, 0u);
    EXPECT_EQ(Read(4).status, STATUS_UNSUCCESSFUL) << "no worker while the port is closed";
}

// A read that fails at the transport wakes the waiting reader, which finds nothing and waits on
// for the rest of its time-out: it ends with the data that comes next, or empty at its
// time-out, never empty before it. The worker sends its next read at once.
TEST_F(ReceiveTest, FailedLowerReadDoesNotEndAWaitingRead)
{
    struct Case {
        int64_t dataMs;      // 2 bytes arrive then; -1: nothing arrives
        size_t expected;
        int64_t elapsedMs;
    } cases[] = {{30, 2, 30}, {-1, 0, 50}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataMs);
        sim::ScheduleAfter(10 * kMs, [this] { Lower().FailHeldRead(STATUS_UNSUCCESSFUL); });
        if (c.dataMs >= 0) {
            sim::ScheduleAfter(c.dataMs * kMs, [this] { Lower().Feed(Bytes{5, 6}); });
        }
        int64_t start = sim::Now();
        Result r = Read(10);   // default time-outs: 50 ms
        EXPECT_EQ(sim::Now() - start, c.elapsedMs * kMs);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.out, c.expected == 0 ? Bytes() : Bytes({5, 6}));
        Lower().WaitReadParked();
    }
    Arrive(Bytes{7, 8});
    EXPECT_EQ(Read(10).out, (Bytes{7, 8}));
}

// A reader waiting without a time limit ends when the port closes; the close does not hang.
TEST_F(ReceiveTest, CloseEndsAnUnboundedRead)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, 0, 0, 0)).status, STATUS_SUCCESS);
    Result r;
    sim::Thread reader = sim::StartThread([&] { r = Read(10); });
    LARGE_INTEGER second;
    second.QuadPart = -1000 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &second);   // the reader is waiting by now
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    reader.Join();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
}

// A read waiting for data ends when its issuer cancels it (CancelIoEx, as a library's close
// does), with or without a time limit: ERROR_OPERATION_ABORTED with nothing read, and the bytes
// that arrive afterwards go to the next read. A read that could not be cancelled would keep the
// handle, and with it the port, from closing.
TEST_F(ReceiveTest, WaitingReadCanBeCancelled)
{
    ASSERT_NE(handle_, nullptr) << "the port is open through its COM name";
    for (ULONG constant : {0u, 5000u}) {
        SCOPED_TRACE(constant);
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, constant, 0, 0)).status, STATUS_SUCCESS);
        BOOL ok = TRUE;
        DWORD error = 0, bytes = 99;
        int64_t start = sim::Now();
        sim::Thread reader = sim::StartThread([&] {
            uint8_t buffer[10];
            ok = ReadFile(handle_, buffer, sizeof buffer, &bytes, nullptr);
            error = GetLastError();
        });
        LARGE_INTEGER tick;
        tick.QuadPart = -1 * kMs;
        for (int i = 0; i < 100 && InterlockedCompareExchange(&Ext()->ReadsInProgress, 0, 0) == 0; ++i) {
            KeDelayExecutionThread(KernelMode, FALSE, &tick);
        }
        EXPECT_TRUE(CancelIoEx(handle_, nullptr));
        reader.Join();
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(bytes, 0u);
        EXPECT_LT(sim::Now() - start, 1000 * kMs);
        Arrive(Bytes{7, 8, 9});
        EXPECT_EQ(Read(10).out, (Bytes{7, 8, 9}));
    }
}

// Readers started while data keeps arriving get every byte exactly once, in order.
TEST_F(ReceiveTest, SeveralReadersShareTheStream)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, 200, 0, 0)).status, STATUS_SUCCESS);
    Bytes data = Pattern(600, 3);
    std::vector<Bytes> got(3);
    std::vector<sim::Thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(sim::StartThread([&, i] {
            for (int n = 0; n < 20; ++n) {
                Result r = Read(13);
                got[i].insert(got[i].end(), r.out.begin(), r.out.end());
            }
        }));
    }
    for (size_t off = 0; off < data.size(); off += 100) {
        Lower().Feed(Bytes(data.begin() + off, data.begin() + off + 100));
        Lower().WaitReadParked();
    }
    for (auto& t : readers) {
        t.Join();
    }
    Bytes rest = Read(1000).out;
    size_t total = rest.size();
    for (const Bytes& g : got) {
        total += g.size();
        // Each reader's bytes are an ordered subsequence of the stream.
        size_t pos = 0;
        for (uint8_t b : g) {
            while (pos < data.size() && data[pos] != b) {
                ++pos;
            }
            ASSERT_LT(pos, data.size());
            ++pos;
        }
    }
    EXPECT_EQ(total, data.size());
}

} // namespace
} // namespace serial_test
