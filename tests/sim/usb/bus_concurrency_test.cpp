// Races on the simulated bus: cancel against completion, unplug against cancel, and unplug
// against transfers in flight. Each round meets at a barrier; rounds repeat with a seed.
#include "tests/sim/usb/usb_test_driver.h"

#include <random>
#include <thread>

namespace usb_test {
namespace {

using sim::usb::CardReaderModel;

// Both threads of a round start their step together.
class Barrier {
public:
    explicit Barrier(int parties) : parties_(parties) {}
    void Arrive()
    {
        arrived_.fetch_add(1);
        while (arrived_.load() < parties_)
            std::this_thread::yield();
    }

private:
    int parties_;
    std::atomic<int> arrived_{0};
};

class BusConcurrencyTest : public BusFixture {
protected:
    void PlugConfigured()
    {
        card_ = std::make_shared<CardReaderModel>();
        Plug(card_);
        ASSERT_EQ(SelectConfiguration(256), STATUS_SUCCESS);
    }
    USBD_PIPE_HANDLE OutPipe() const { return pipes_[0].PipeHandle; }
    USBD_PIPE_HANDLE InPipe() const { return pipes_[1].PipeHandle; }
};

TEST_F(BusConcurrencyTest, CancelRacingCompletionLosesNoByte)
{
    PlugConfigured();
    int cancelled = 0;
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::unique_ptr<UrbRequest> read = StartBulk(InPipe(), 8, {}, true);
        Barrier barrier(2);
        UCHAR byte = static_cast<UCHAR>(round);
        sim::Thread canceller = sim::StartThread([&] {
            barrier.Arrive();
            read->Req().Cancel();
        });
        sim::Thread sender = sim::StartThread([&] {
            barrier.Arrive();
            card_->Send({byte});
        });
        canceller.Join();
        sender.Join();
        NTSTATUS status = read->Wait();
        EXPECT_EQ(read->Req().Completions(), 1);
        if (status == STATUS_CANCELLED) {
            // The byte was not taken: the next read gets it.
            cancelled++;
            Bytes next(8);
            ULONG moved = 0;
            ASSERT_EQ(Bulk(InPipe(), &next, true, &moved), STATUS_SUCCESS);
            EXPECT_EQ(next, Bytes{byte});
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(read->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
            EXPECT_EQ(read->Buffer[0], byte);
        }
        EXPECT_EQ(device_->PendingTransfers(), 0u);
    }
    RecordProperty("cancelled", cancelled);
}

TEST_F(BusConcurrencyTest, UnplugRacingCancelCompletesOnce)
{
    for (int round = 0; round < 100; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        PlugConfigured();
        std::unique_ptr<UrbRequest> read = StartBulk(InPipe(), 8, {}, true);
        Barrier barrier(2);
        sim::Thread canceller = sim::StartThread([&] {
            barrier.Arrive();
            read->Req().Cancel();
        });
        sim::Thread unplugger = sim::StartThread([&] {
            barrier.Arrive();
            device_->Unplug();
        });
        canceller.Join();
        unplugger.Join();
        NTSTATUS status = read->Wait();
        EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) << std::hex << status;
        EXPECT_EQ(read->Req().Completions(), 1);
        EXPECT_EQ(device_->PendingTransfers(), 0u);
        UnplugAndRemove();
    }
}

TEST_F(BusConcurrencyTest, UnplugRacingTransfersInFlight)
{
    const uint32_t seed = 4242;
    std::mt19937 random(seed);
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        PlugConfigured();
        card_->SetLoopback(true);
        std::atomic<int> transfers{0};
        const int unplugAfter = static_cast<int>(random() % 40);
        std::vector<NTSTATUS> last(3, STATUS_SUCCESS);
        std::vector<sim::Thread> workers;
        for (int w = 0; w < 3; w++) {
            workers.push_back(sim::StartThread([&, w] {
                NTSTATUS status = STATUS_SUCCESS;
                for (int i = 0; NT_SUCCESS(status) && i < 10000; i++) {
                    Bytes data = {static_cast<UCHAR>(w), static_cast<UCHAR>(i)};
                    ULONG moved = 0;
                    status = Bulk(OutPipe(), &data, false, &moved);
                    if (NT_SUCCESS(status)) {
                        Bytes in(64);
                        status = Bulk(InPipe(), &in, true, &moved);
                    }
                    transfers.fetch_add(1);
                }
                last[w] = status;
            }));
        }
        sim::Thread unplugger = sim::StartThread([&] {
            while (transfers.load() < unplugAfter)
                std::this_thread::yield();
            device_->Unplug();
        });
        unplugger.Join();
        for (sim::Thread &worker : workers)
            worker.Join();
        for (NTSTATUS status : last)
            EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED) << std::hex << status;
        EXPECT_EQ(device_->PendingTransfers(), 0u);
        UnplugAndRemove();
    }
}

} // namespace
} // namespace usb_test
