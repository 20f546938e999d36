// Data through the whole stack: an application's writes reach the card reader/writer byte for
// byte, and what the device sends reaches the application's reads byte for byte, across the
// transport's 256-byte stages, the read worker's 64-byte blocks and the 1024-byte receive ring.
#include "tests/stack/stack_rig.h"

#include <mutex>

namespace stack_test {
namespace {

class StackTransferTest : public StackTest {
protected:
    // The device answers every bulk OUT transfer with as many bytes of its own stream as the
    // transfer carried, so the bytes in flight never exceed what the application wrote.
    void AnswerWithStream(const Bytes &stream)
    {
        // The model copies its handler for every transfer: the state is shared, not copied.
        struct Source {
            std::mutex lock;
            Bytes stream;
            size_t sent = 0;
        };
        auto source = std::make_shared<Source>();
        source->stream = stream;
        Rig().Model().SetCommandHandler([source](const Bytes &command) {
            std::lock_guard<std::mutex> guard(source->lock);
            size_t length = std::min(command.size(), source->stream.size() - source->sent);
            auto from = source->stream.begin() + static_cast<std::ptrdiff_t>(source->sent);
            source->sent += length;
            return Bytes(from, from + static_cast<std::ptrdiff_t>(length));
        });
    }

    // Timed reads: a read returns as soon as the ring has bytes, or after one virtual second.
    static COMMTIMEOUTS TimedReads() { return COMMTIMEOUTS{0, 0, 1000, 0, 0}; }
};

// 1 MiB each way in exchanges of 1024 bytes, the size of the receive ring: the application
// writes 1024 bytes, the device answers with 1024 bytes of its own, the application reads them.
TEST_F(StackTransferTest, OneMebibyteEachWayArrivesByteForByte)
{
    const size_t kTotal = 1u << 20;
    const size_t kExchange = 1024;
    const Bytes toDevice = Pattern(kTotal, 1);
    const Bytes fromDevice = Pattern(kTotal, 2);
    AnswerWithStream(fromDevice);

    PortHandle handle(Rig().Open());
    HANDLE port = handle.Get();
    ASSERT_TRUE(handle.Valid()) << GetLastError();
    ASSERT_TRUE(SetPort(port, CBR_9600, TimedReads()));

    for (size_t offset = 0; offset < kTotal; offset += kExchange) {
        Bytes chunk(toDevice.begin() + offset, toDevice.begin() + offset + kExchange);
        ASSERT_TRUE(WriteAll(port, chunk)) << "write at " << offset << ", error " << GetLastError();
        Bytes answer = ReadExactly(port, kExchange);
        ASSERT_EQ(answer.size(), kExchange) << "read at " << offset << ", error " << GetLastError();
        ASSERT_TRUE(std::equal(answer.begin(), answer.end(), fromDevice.begin() + offset))
            << "received bytes differ in the exchange at " << offset;
    }

    ASSERT_TRUE(Rig().Model().ReceivedBytes() == toDevice) << "the device did not receive the 1 MiB as sent";
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u) << "bytes the device never sent are waiting in the port";
    EXPECT_EQ(errors, 0u);
    EXPECT_TRUE(handle.Close());
}

// Writes of sizes around the stage (256) and block (64) boundaries arrive whole and in order,
// and the device's answers of the same sizes come back whole and in order.
TEST_F(StackTransferTest, WritesAndAnswersAroundStageAndBlockBoundaries)
{
    const size_t kSizes[] = {1, 63, 64, 65, 255, 256, 257, 511, 512, 513, 1000, 1024};
    size_t total = 0;
    for (size_t size : kSizes) {
        total += size;
    }
    const Bytes toDevice = Pattern(total, 3);
    const Bytes fromDevice = Pattern(total, 4);
    AnswerWithStream(fromDevice);

    PortHandle handle(Rig().Open());
    HANDLE port = handle.Get();
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(port, CBR_115200, TimedReads()));
    size_t offset = 0;
    for (size_t size : kSizes) {
        SCOPED_TRACE("exchange of " + std::to_string(size) + " bytes");
        Bytes chunk(toDevice.begin() + offset, toDevice.begin() + offset + size);
        ASSERT_TRUE(WriteAll(port, chunk));
        EXPECT_TRUE(ReadExactly(port, size) == Bytes(fromDevice.begin() + offset, fromDevice.begin() + offset + size));
        offset += size;
    }
    EXPECT_TRUE(Rig().Model().ReceivedBytes() == toDevice);
    EXPECT_TRUE(handle.Close());
}

// Bytes the device sends of its own accord (a swiped card) wait in the ring for a reader, and a
// read that asks for more than arrived returns what there is when its time-out ends.
TEST_F(StackTransferTest, UnaskedBytesWaitInTheRingForTheReader)
{
    PortHandle handle(Rig().Open());
    HANDLE port = handle.Get();
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(port, CBR_9600, COMMTIMEOUTS{0, 0, 200, 0, 0}));
    const Bytes track = Pattern(300, 5);
    Rig().Model().Send(track);
    ASSERT_TRUE(StackRig::SettleUntil([&] {
        COMSTAT stat{};
        return ClearCommError(port, nullptr, &stat) && stat.cbInQue == track.size();
    })) << "the swiped card's bytes did not reach the receive ring";

    Bytes buffer(1000);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr));
    buffer.resize(got);
    EXPECT_TRUE(buffer == track);
    EXPECT_TRUE(handle.Close());
}

// A write the device never takes runs out of its write time-out (virtual time): WriteFile
// reports success with nothing written, as Win32 reports a timed-out serial write, and after
// the port has reset the transmit pipe the next write goes through whole.
TEST_F(StackTransferTest, WriteTheDeviceNeverTakesTimesOutAndThePortRecovers)
{
    PortHandle handle(Rig().Open());
    HANDLE port = handle.Get();
    ASSERT_TRUE(handle.Valid());
    ASSERT_TRUE(SetPort(port, CBR_9600, COMMTIMEOUTS{0, 0, 1000, 0, 500}));
    Rig().StallWritesAfter(0);

    Bytes data = Pattern(600, 40);
    DWORD written = 0xFFFF;
    int64_t start = sim::Now();
    EXPECT_TRUE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, 0u);
    EXPECT_GE(sim::Now() - start, 500 * kMs) << "the write ended before its time-out";
    EXPECT_TRUE(Rig().Model().ReceivedBytes().empty());

    Rig().Usb().ClearFaults();
    Bytes next = Pattern(300, 41);
    EXPECT_TRUE(WriteAll(port, next)) << "the port did not recover after the time-out";
    EXPECT_TRUE(Rig().Model().ReceivedBytes() == next);
    EXPECT_TRUE(handle.Close());
}

}  // namespace
}  // namespace stack_test
