// Cancellation: IoCancelIrp, the cancel spin lock, IoSetCancelRoutine and the Cancel flag.
#include "test_stack.h"

namespace {

using CancelTest = sim::KernelTest;

// A lower driver that holds one request with a cancel routine, the usual way: set the routine,
// then check Cancel in case the request was cancelled before the routine was set.
struct Holder {
    PIRP held = nullptr;
    int cancelCalls = 0;
    KIRQL irqlInRoutine = 0xFF;
    KIRQL cancelIrql = 0xFF;
};
Holder *holder = nullptr;

VOID HolderCancel(PDEVICE_OBJECT, PIRP irp) {
    holder->cancelCalls++;
    holder->irqlInRoutine = KeGetCurrentIrql();
    holder->cancelIrql = irp->CancelIrql;
    holder->held = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    kt::Complete(irp, STATUS_CANCELLED);
}

NTSTATUS HoldWithCancelRoutine(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, HolderCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        IoReleaseCancelSpinLock(irql);
        kt::Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    holder->held = irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

TEST_F(CancelTest, CancelRoutineRunsOnceUnderTheCancelSpinLock) {
    Holder state;
    holder = &state;
    kt::Stack stack(1);
    stack.On(0, [](PDEVICE_OBJECT, PIRP irp) { return HoldWithCancelRoutine(irp); });
    kt::OwnRequest request(stack.Top(), IRP_MJ_READ);
    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), STATUS_PENDING);
    EXPECT_EQ(state.held, request.irp);

    EXPECT_TRUE(IoCancelIrp(request.irp));
    EXPECT_EQ(state.cancelCalls, 1);
    EXPECT_EQ(state.irqlInRoutine, DISPATCH_LEVEL);  // entered holding the cancel spin lock
    EXPECT_EQ(state.cancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(request.pendingReturned);

    // The routine was taken away: a second cancel finds none.
    EXPECT_FALSE(IoCancelIrp(request.irp));
    EXPECT_EQ(state.cancelCalls, 1);
}

TEST_F(CancelTest, CancelWithoutRoutineOnlySetsTheFlag) {
    kt::Stack stack(1);
    PIRP held = nullptr;
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    kt::OwnRequest request(stack.Top(), IRP_MJ_READ);
    IoCallDriver(stack.Top(), request.irp);
    EXPECT_FALSE(IoCancelIrp(request.irp));
    EXPECT_TRUE(held->Cancel);
    EXPECT_FALSE(request.Completed());
    kt::Complete(held, STATUS_CANCELLED);
    EXPECT_TRUE(request.Completed());
}

TEST_F(CancelTest, RequestCancelledBeforeItArrivesIsCompletedByTheDriver) {
    Holder state;
    holder = &state;
    kt::Stack stack(1);
    stack.On(0, [](PDEVICE_OBJECT, PIRP irp) { return HoldWithCancelRoutine(irp); });
    kt::OwnRequest request(stack.Top(), IRP_MJ_READ);
    EXPECT_FALSE(IoCancelIrp(request.irp));
    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), STATUS_PENDING);
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(state.cancelCalls, 0);
}

}  // namespace
