// Cancel racing completion: a lower driver holds a request with a cancel routine; one thread
// completes it (taking the cancel routine back first, as drivers must) while another cancels
// it. Whatever the interleaving, the request completes exactly once (the verifier reports a
// second completion or one with the routine still set), and the cancel routine runs exactly
// when IoCancelIrp says it did.
#include "test_stack.h"

#include <atomic>
#include <random>
#include <sched.h>

namespace {

struct RaceState {
    std::atomic<int> cancelCalls{0};
    std::atomic<int> completions{0};
};
RaceState *race = nullptr;

VOID RaceCancel(PDEVICE_OBJECT, PIRP irp) {
    race->cancelCalls++;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    race->completions++;
    kt::Complete(irp, STATUS_CANCELLED);
}

void Spin(int rounds) {
    for (int i = 0; i < rounds; i++) sched_yield();
}

using CancelRaceTest = sim::KernelTest;

TEST_F(CancelRaceTest, CancelAndCompletionNeverBothFinishTheRequest) {
    kt::Stack stack(1);
    PIRP held = nullptr;
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, RaceCancel);
        held = irp;
        return STATUS_PENDING;
    });
    for (uint32_t seed = 1; seed <= 300; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RaceState state;
        race = &state;
        std::mt19937 random(seed);
        int completerDelay = (int)(random() % 8);
        int cancellerDelay = (int)(random() % 8);
        kt::OwnRequest request(stack.Top(), IRP_MJ_READ);
        ASSERT_EQ(IoCallDriver(stack.Top(), request.irp), STATUS_PENDING);
        std::atomic<bool> go{false};
        BOOLEAN cancelled = FALSE;
        sim::Thread completer = sim::StartThread([&] {
            while (!go) sched_yield();
            Spin(completerDelay);
            if (IoSetCancelRoutine(held, nullptr) != nullptr) {
                state.completions++;
                kt::Complete(held, STATUS_SUCCESS);
            }
        });
        sim::Thread canceller = sim::StartThread([&] {
            while (!go) sched_yield();
            Spin(cancellerDelay);
            cancelled = IoCancelIrp(request.irp);
        });
        go = true;
        completer.Join();
        canceller.Join();
        request.Wait();
        EXPECT_EQ(state.completions.load(), 1);
        EXPECT_EQ(state.cancelCalls.load(), cancelled ? 1 : 0);
        EXPECT_EQ(request.irp->IoStatus.Status, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_TRUE(request.irp->Cancel);
    }
}

}  // namespace
