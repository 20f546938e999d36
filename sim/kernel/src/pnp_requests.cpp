// Requests the PnP and power managers send: one helper per kind, all of one shape (allocate
// the request for the target's stack, preset the status, call, wait if pending, read the
// answer, free the request).
#include "pnp_internal.h"

namespace sim {
namespace pnp {

namespace {

// Signals the sender's event and keeps the request: the sender reads and frees it.
NTSTATUS RequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request whose next stack location is filled; waits without time-out.
SentRequest CallAndWait(PDEVICE_OBJECT target, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, RequestDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(target, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    SentRequest answer{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    return answer;
}

PIRP AllocateFor(PDEVICE_OBJECT target, NTSTATUS preset) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->IoStatus.Status = preset;
    irp->IoStatus.Information = 0;
    return irp;
}

}  // namespace

// PnP requests start as STATUS_NOT_SUPPORTED, so that a stack that ignores one answers that.
SentRequest SendPnpRequest(PDEVICE_OBJECT target, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void *),
                           void *context) {
    PIRP irp = AllocateFor(target, STATUS_NOT_SUPPORTED);
    if (irp == nullptr) return SentRequest{STATUS_INSUFFICIENT_RESOURCES, 0};
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (setup != nullptr) setup(next, context);
    return CallAndWait(target, irp);
}

SentRequest SendPowerRequest(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    PIRP irp = AllocateFor(target, STATUS_NOT_SUPPORTED);
    if (irp == nullptr) return SentRequest{STATUS_INSUFFICIENT_RESOURCES, 0};
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    bool working = type == SystemPowerState && state.SystemState == PowerSystemWorking;
    next->Parameters.Power.ShutdownType = working ? PowerActionNone : PowerActionSleep;
    return CallAndWait(target, irp);
}

}  // namespace pnp
}  // namespace sim
