// Reads, writes, control requests, purges, waits and cancels from several threads while data
// arrives, then the device is pulled out from under them; repeated with seeds. Run under
// ThreadSanitizer by the test command.
#include "tests/serial/port_fixture.h"

#include <atomic>
#include <random>

namespace serial_test {
namespace {

using ConcurrencyTest = SerialPortTest;

// Virtual time passes only while every thread waits: a thread looping on requests that finish
// at once pauses between them.
void Pause(int64_t ms)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

bool OneOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed)
{
    for (NTSTATUS s : allowed) {
        if (s == status) {
            return true;
        }
    }
    return false;
}

TEST_F(ConcurrencyTest, MixedRequestsThenSurpriseRemoval)
{
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        if (seed > 1) {
            Plug();
        }
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, 20, 0, 100)).status, STATUS_SUCCESS);
        std::atomic<bool> stop{false};
        std::atomic<size_t> bytesRead{0};
        std::vector<sim::Thread> threads;

        for (int r = 0; r < 2; ++r) {
            threads.push_back(sim::StartThread([&] {
                while (!stop) {
                    Result res = Read(7);
                    EXPECT_TRUE(OneOf(res.status, {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_UNSUCCESSFUL}))
                        << res.status;
                    bytesRead += res.information;
                    if (res.status != STATUS_SUCCESS) {
                        break;
                    }
                }
            }));
        }
        threads.push_back(sim::StartThread([&] {
            while (!stop) {
                Result res = Write(Pattern(17));
                EXPECT_TRUE(OneOf(res.status, {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED}))
                    << res.status;
                if (res.status != STATUS_SUCCESS) {
                    break;
                }
                Pause(3);
            }
        }));
        threads.push_back(sim::StartThread([&, seed] {
            std::mt19937 random(seed);
            const ULONG codes[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
                                   IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_PURGE, IOCTL_SERIAL_SET_BAUD_RATE,
                                   IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_SET_WAIT_MASK};
            while (!stop) {
                ULONG code = codes[random() % 8];
                Bytes input = code == IOCTL_SERIAL_SET_TIMEOUTS ? Timeouts(0, 0, 20, 0, 100)
                              : code == IOCTL_SERIAL_PURGE      ? U32(SERIAL_PURGE_RXCLEAR)
                              : code == IOCTL_SERIAL_SET_WAIT_MASK ? U32(SERIAL_EV_RXCHAR)
                                                                 : U32(9600 + random() % 100);
                Result res = Ioctl(code, input, 20);
                EXPECT_TRUE(OneOf(res.status, {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED}))
                    << code << " " << res.status;
                if (res.status == STATUS_DELETE_PENDING) {
                    break;
                }
                Pause(1 + random() % 4);
            }
        }));
        threads.push_back(sim::StartThread([&, seed] {
            std::mt19937 random(seed * 7);
            while (!stop) {
                if (Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, U32(SERIAL_EV_RXCHAR)).status != STATUS_SUCCESS) {
                    break;
                }
                auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
                if (random() % 3 == 0) {
                    Cancel(wait);
                }
                Result res = Finish(wait);
                EXPECT_TRUE(OneOf(res.status, {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_INVALID_PARAMETER,
                                               STATUS_DELETE_PENDING}))
                    << res.status;
                Pause(2);
            }
        }));

        std::mt19937 random(seed * 13);
        for (int round = 0; round < 40; ++round) {
            Lower().Feed(Pattern(1 + random() % 150, uint8_t(round)));
            LARGE_INTEGER pause;
            pause.QuadPart = -int64_t(random() % 30) * kMs;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
        sim::PnpResult removal = sim::SurpriseRemove(Node());
        EXPECT_EQ(removal.StatusOf(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
        stop = true;
        for (auto& t : threads) {
            t.Join();
        }
        EXPECT_GT(bytesRead.load(), 0u);
        EXPECT_EQ(Close(), STATUS_SUCCESS);
        sim::WaitForRemoval(Node());
        RemoveAll();
        if (HasFailure()) {
            return;
        }
    }
}

// Opens and closes race with requests on the open handle and with the naming worker.
TEST_F(ConcurrencyTest, OpenCloseCyclesWithTraffic)
{
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        Result read;
        sim::Thread reader = sim::StartThread([&] { read = Read(5); });
        sim::Thread writer = sim::StartThread([&] { Write(Pattern(9)); });
        if (cycle % 2 == 0) {
            Lower().Feed(Pattern(3, uint8_t(cycle)));
        }
        reader.Join();
        writer.Join();
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        ASSERT_EQ(Close(), STATUS_SUCCESS);
    }
    EXPECT_EQ(Lower().ReadsHeld(), 0u);
}

} // namespace
} // namespace serial_test
