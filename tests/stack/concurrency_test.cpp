// The cable pulled in the middle of traffic from several application threads at once: a writer,
// a reader, a thread waiting for events and one changing settings, purging and asking for the
// status. Whatever each thread is doing at that moment ends, the handle's later requests fail,
// nothing the port passed on is lost, duplicated or reordered, the close releases the rest, and
// the device plugged in again works. Repeated with seeds that move the moment of the unplug.
#include "tests/stack/stack_rig.h"

#include <atomic>

namespace stack_test {
namespace {

constexpr size_t kWriteChunk = 128;
constexpr size_t kWrites = 48;

// True when 'part' is 'whole' with some bytes left out (what purges and overruns may drop),
// nothing changed, added or reordered.
bool IsSubsequence(const Bytes &part, const Bytes &whole)
{
    size_t at = 0;
    for (UCHAR byte : part) {
        while (at < whole.size() && whole[at] != byte) {
            ++at;
        }
        if (at == whole.size()) {
            return false;
        }
        ++at;
    }
    return true;
}

class StackConcurrencyTest : public StackTest {
protected:
    // The application's four threads; each ends when its calls fail (the port is gone) or its
    // work is done.
    struct Traffic {
        HANDLE port = INVALID_HANDLE_VALUE;
        Bytes stream;                       // everything the writer sends, in order
        std::atomic<size_t> writtenOk{0};   // bytes of writes that reported success
        Bytes read;                         // what the reader got, in order (reader thread only)
    };

    static void Writer(Traffic *t)
    {
        for (size_t i = 0; i < kWrites; ++i) {
            Bytes chunk(t->stream.begin() + i * kWriteChunk, t->stream.begin() + (i + 1) * kWriteChunk);
            if (!WriteAll(t->port, chunk)) {
                break;
            }
            t->writtenOk += chunk.size();
        }
    }

    static void Reader(Traffic *t)
    {
        Bytes buffer(64);
        const int64_t giveUp = sim::Now() + 60000 * kMs;
        while (sim::Now() < giveUp) {
            DWORD got = 0;
            if (!TransferAndWait(t->port, false, buffer.data(), 64, &got)) {
                return;
            }
            t->read.insert(t->read.end(), buffer.begin(), buffer.begin() + got);
        }
    }

    static void Waiter(Traffic *t)
    {
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            DWORD events = 0, bytes = 0;
            BOOL ok = WaitCommEvent(t->port, &events, &overlapped);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                ok = GetOverlappedResult(t->port, &overlapped, &bytes, TRUE);
            }
            CloseHandle(overlapped.hEvent);
            if (!ok) {
                return;
            }
        }
    }

    static void Controller(Traffic *t)
    {
        HANDLE pause = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (int i = 0; i < 400; ++i) {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            COMSTAT stat{};
            DWORD modem = 0;
            bool ok = GetCommState(t->port, &dcb);
            dcb.BaudRate = (i % 2) != 0 ? CBR_19200 : CBR_9600;
            ok = ok && SetCommState(t->port, &dcb) && ClearCommError(t->port, nullptr, &stat) &&
                 GetCommModemStatus(t->port, &modem) && ((i % 7) != 0 || PurgeComm(t->port, PURGE_RXCLEAR));
            if (!ok) {
                break;
            }
            WaitForSingleObject(pause, 1);   // a millisecond of virtual time between rounds
        }
        CloseHandle(pause);
    }

    // The device echoes what it receives and pulls its own cable once 'unplugAt' bytes came.
    void EchoUntilUnplugAt(size_t unplugAt)
    {
        auto received = std::make_shared<std::atomic<size_t>>(0);
        sim::usb::UsbDevice *usb = &Rig().Usb();
        Rig().Model().SetCommandHandler([received, usb, unplugAt](const Bytes &command) {
            size_t before = received->fetch_add(command.size());
            if (before < unplugAt && before + command.size() >= unplugAt) {
                usb->Unplug();
                return Bytes{};
            }
            return command;
        });
    }

    void RunRound(uint32_t seed)
    {
        const size_t unplugAt = 200 + (seed * 977u) % 4000;
        EchoUntilUnplugAt(unplugAt);
        PortHandle handle(Rig().Open(true));
        ASSERT_TRUE(handle.Valid());
        Traffic t;
        t.port = handle.Get();
        t.stream = Pattern(kWrites * kWriteChunk, seed);
        ASSERT_TRUE(SetPort(t.port, CBR_9600, COMMTIMEOUTS{0, 0, 20, 0, 200}));
        ASSERT_TRUE(SetCommMask(t.port, EV_RXCHAR));
        {
            sim::Thread threads[] = {sim::StartThread([&] { Writer(&t); }), sim::StartThread([&] { Reader(&t); }),
                                     sim::StartThread([&] { Waiter(&t); }), sim::StartThread([&] { Controller(&t); })};
            // The unplug comes from the writer's thread: the test watches for its effects here.
            if (!StackRig::SettleUntil([&] { return !Rig().Usb().Connected(); }, 60000)) {
                ADD_FAILURE() << "the device never reached byte " << unplugAt;
                Rig().Usb().Unplug();   // so that the threads end
            }
            EXPECT_TRUE(StackRig::SettleUntil([&] {
                return Rig().State() == sim::DeviceNodeState::SurpriseRemoved && Rig().Published().Withdrawn();
            })) << "the COM name is still published after the unplug";
        }   // every thread ends on its own
        Rig().Usb().WaitForPnp();

        Bytes sent = Rig().Model().ReceivedBytes();
        EXPECT_GE(sent.size(), t.writtenOk.load()) << "a write reported bytes the device never got";
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), t.stream.begin()))
            << "the device's bytes are not the start of what the writer sent";
        EXPECT_TRUE(IsSubsequence(t.read, Bytes(t.stream.begin(), t.stream.begin() + std::min(sent.size(), unplugAt))))
            << "the reader got bytes the device never echoed, or out of order";

        EXPECT_TRUE(handle.Close());
        EXPECT_EQ(Rig().WaitForRemoval().StatusOf(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(Rig().ComDriver(), nullptr);
        EXPECT_EQ(Rig().UsbDriver(), nullptr);
    }
};

TEST_F(StackConcurrencyTest, UnplugDuringTrafficFromFourThreads)
{
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RunRound(seed);
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(Rig().Plug()) << "the device plugged in again did not start";
        EXPECT_EQ(Narrow(Rig().ComName()), "COM3");
    }
}

}  // namespace
}  // namespace stack_test
