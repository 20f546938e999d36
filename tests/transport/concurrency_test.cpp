// Reads and writes on both pipes from several threads while the device is surprise-removed,
// repeated with seeds: every request completes exactly once, with a status that fits the
// moment it met the removal, and nothing of the driver is left after removal.
#include "tests/transport/transport_rig.h"

#include <random>
#include <thread>

namespace transport_test {
namespace {

bool FitsARemoval(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED ||
           status == STATUS_CANCELLED;
}

struct Tally {
    std::atomic<int> Sent{0};
    std::atomic<int> CompletedOnce{0};
    std::atomic<int> Succeeded{0};
    std::atomic<int> Unexpected{0};
    std::atomic<NTSTATUS> FirstUnexpected{STATUS_SUCCESS};
};

// One client thread: 'count' transfers of seeded lengths through 'file', until the device
// refuses them.
void Client(Rig &rig, File &file, bool read, uint32_t seed, int count, Tally &tally)
{
    std::mt19937 random(seed);
    for (int i = 0; i < count; ++i) {
        ULONG length = 1 + random() % 700;
        std::unique_ptr<Transfer> transfer =
            read ? rig.StartRead(file, length) : rig.StartWrite(file, Bytes(length, static_cast<UCHAR>(i)));
        ++tally.Sent;
        NTSTATUS status = transfer->Req.Wait();
        if (transfer->Req.Completions() == 1) {
            ++tally.CompletedOnce;
        }
        if (!FitsARemoval(status) || (NT_SUCCESS(status) && transfer->Req.Information() > length)) {
            ++tally.Unexpected;
            NTSTATUS none = STATUS_SUCCESS;
            tally.FirstUnexpected.compare_exchange_strong(none, status);
        }
        if (status == STATUS_SUCCESS) {
            ++tally.Succeeded;
        }
        if (status == STATUS_DELETE_PENDING) {
            break;
        }
    }
}

TEST_F(TransportTest, TransfersOnBothPipesDuringSurpriseRemoval)
{
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Tally tally;
        {
            Rig rig;
            ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
            ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
            rig.CardReader().SetLoopback(true);
            File write(u"if0pipe0");
            File read(u"if0pipe1");
            ASSERT_EQ(rig.Open(write), STATUS_SUCCESS);
            ASSERT_EQ(rig.Open(read), STATUS_SUCCESS);

            std::mt19937 random(seed);
            std::vector<sim::Thread> threads;
            for (int t = 0; t < 4; ++t) {
                bool reader = (t % 2) == 0;
                uint32_t clientSeed = random();
                threads.push_back(sim::StartThread(
                    [&, reader, clientSeed]() { Client(rig, reader ? read : write, reader, clientSeed, 40, tally); }));
            }
            // The removal meets the clients at a seeded point: after some of their requests.
            int before = static_cast<int>(random() % 30);
            sim::Thread remover = sim::StartThread([&]() {
                while (tally.Sent.load() < before) {
                    std::this_thread::yield();
                }
                rig.Device().Unplug();
                EXPECT_EQ(rig.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
            });
            remover.Join();
            // Readers still waiting for loopback data end with the removal's abort.
            for (sim::Thread &thread : threads) {
                thread.Join();
            }
            EXPECT_EQ(rig.Close(read), STATUS_SUCCESS);
            EXPECT_EQ(rig.Close(write), STATUS_SUCCESS);
            EXPECT_EQ(rig.Ext()->OutstandingIo, 1);
        }   // the PnP manager removes the device; the rig checks the driver's leaks as it unloads it
        EXPECT_EQ(tally.CompletedOnce.load(), tally.Sent.load());
        EXPECT_EQ(tally.Unexpected.load(), 0) << "first: 0x" << std::hex << tally.FirstUnexpected.load();
        if (HasFailure()) {
            break;
        }
    }
}

}  // namespace
}  // namespace transport_test
