// Driver faults found through the whole stack, kept as regression scenarios. Each test states
// what an application must see, and failed while the fault described in its comment was in the
// drivers.
#include "tests/stack/stack_rig.h"
#include "tests/stack/probe_filter.h"

#include <atomic>

namespace stack_test {
namespace {

using sim::usb::CardReaderModel;

class StackDriverFaultTest : public StackTest {};

// Former fault (CardRwCom, ServeRead): a read that waited for data when the device was pulled
// out completed with STATUS_SUCCESS and 0 bytes. For a read without time-outs
// that is an answer Windows never gives (such a read ends only when its bytes arrived), so the
// application takes "success" for data and goes on reading a port that is gone. Windows' serial
// drivers end such a read with an error (cancelled, or the device is gone); the write and the
// next requests on the handle already fail.
TEST_F(StackDriverFaultTest, ReadPendingAtUnplugEndsWithAnError)
{
    PortHandle handle(Rig().Open(true));
    HANDLE port = handle.Get();
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(port, CBR_9600, COMMTIMEOUTS{0, 0, 0, 0, 0}));   // reads wait for their bytes

    std::atomic<bool> done{false};
    BOOL ok = TRUE;
    DWORD error = ERROR_SUCCESS, bytes = 0;
    Bytes buffer(16);
    sim::Thread reader = sim::StartThread([&] {
        ok = TransferAndWait(port, false, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes);
        error = ok ? ERROR_SUCCESS : GetLastError();
        done = true;
    });
    StackRig::Settle(5);
    ASSERT_FALSE(done) << "the read ended with no data and no time-out";

    Rig().Unplug();
    reader.Join();
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(ok) << "the read pending at the unplug reported success with " << bytes << " bytes";
    EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(handle.Close());
}

// Former fault (CardRwCom, ServeRead with ReadThreadMain): a timed read could end with 0 bytes
// long before its time-out while the device's answer was on its way. The worker
// appends a block to the ring, completes a held wait, and only then sets RxDataEvent. A reader
// that takes the block in between and reads again clears the event, finds the ring empty,
// waits, is woken by the late set and returns what the ring holds: nothing. An application
// doing command and answer with a one-second read time-out sees "no answer" although the device
// answered at once. A read that wakes to an empty ring while the worker runs must go on waiting
// for the rest of its time-out.
//
// The window is opened on purpose: the probe filter above the port holds the wait's completion
// inside the worker until the test has taken the bytes and a second read waits.
class StackReadWindowTest : public StackDriverFaultTest {
protected:
    void SetUp() override
    {
        InstallProbeFilter();
        StackDriverFaultTest::SetUp();
    }
    std::vector<std::u16string> TestFiltersAboveCom() override { return {kProbeFilterService}; }
};

TEST_F(StackReadWindowTest, TimedReadWokenByBytesAlreadyTakenWaitsOn)
{
    PortHandle handle(Rig().Open(true));
    HANDLE port = handle.Get();
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(port, CBR_9600, COMMTIMEOUTS{0, 0, 1000, 0, 0}));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED waitOverlapped{};
    waitOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &waitOverlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    // The device answers; the worker appends the answer and stops inside the wait's completion.
    wait_gate::Arm();
    const Bytes answer = Pattern(10, 70);
    Rig().Model().Send(answer);
    ASSERT_TRUE(StackRig::SettleUntil([] { return wait_gate::Holding(); }));
    EXPECT_TRUE(ReadExactly(port, answer.size()) == answer);

    // A second read finds the ring empty and waits for more.
    std::atomic<bool> done{false};
    DWORD got = 0;
    int64_t started = sim::Now();
    int64_t ended = 0;
    Bytes buffer(64);
    sim::Thread reader = sim::StartThread([&] {
        TransferAndWait(port, false, buffer.data(), static_cast<DWORD>(buffer.size()), &got);
        ended = sim::Now();
        done = true;
    });
    StackRig::Settle(5);
    ASSERT_FALSE(done);

    // The worker goes on and wakes the waiting read for the bytes it has already given away.
    // The read must wait on: for the rest of the answer, which comes 100 ms later.
    wait_gate::Release();
    StackRig::SettleUntil([&] { return done.load(); }, 100);
    const Bytes rest = Pattern(5, 71);
    Rig().Model().Send(rest);
    reader.Join();
    EXPECT_TRUE(GetOverlappedResult(port, &waitOverlapped, &events, TRUE));
    CloseHandle(waitOverlapped.hEvent);
    buffer.resize(got);
    EXPECT_TRUE(buffer == rest) << "the second read returned " << got << " bytes after "
                                << (ended - started) / kMs << " ms of its 1000 ms time-out";
    EXPECT_TRUE(handle.Close());
}

// Former fault (CardRwUsb, StageCompletion; reported to the application by CardRwCom's
// SerialWrite): a write whose later stage was cancelled (here by the port, when the write
// time-out runs out) completed with Information 0 although the device took the earlier
// stages. The application is told nothing was written, sends the whole block again, and the
// device receives the bytes it already had a second time. A timed-out serial write reports the
// bytes that were actually sent. The table: how many 256-byte stages of a 600-byte write the
// device takes before it stops answering.
TEST_F(StackDriverFaultTest, TimedOutWriteReportsTheBytesTheDeviceTook)
{
    for (int stagesTaken : {1, 2}) {
        SCOPED_TRACE(std::to_string(stagesTaken) + " stages taken");
        PortHandle handle(Rig().Open());
        HANDLE port = handle.Get();
        ASSERT_TRUE(handle.Valid());
        ASSERT_TRUE(SetPort(port, CBR_9600, COMMTIMEOUTS{0, 0, 1000, 0, 500}));
        size_t before = Rig().Model().ReceivedBytes().size();
        Rig().StallWritesAfter(stagesTaken);

        Bytes data = Pattern(600, 60 + stagesTaken);
        DWORD written = 0xFFFF;
        EXPECT_TRUE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
        size_t taken = Rig().Model().ReceivedBytes().size() - before;
        EXPECT_EQ(taken, 256u * stagesTaken);
        EXPECT_EQ(written, taken) << "the device took " << taken << " bytes, the application was told " << written;
        Rig().Usb().ClearFaults();
        EXPECT_TRUE(handle.Close());
    }
}

}  // namespace
}  // namespace stack_test
