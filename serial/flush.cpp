// CardRwCom: IRP_MJ_FLUSH_BUFFERS. The port has no transmit queue of its own, so a flush only
// has to wait for the writes that were already accepted when it arrived: it completes once
// each of them has completed (at once when none is in flight). Writes accepted after it do
// not hold it up. A flush never goes down to the transport, which has nothing to flush.
//
// Locking: WriteLock guards WriteSequence, WritesInFlight and FlushQueue. A held flush carries
// its cancel routine; whoever takes the routine off the request (IoSetCancelRoutine to NULL)
// owns its completion: the release below, or the cancel routine, which then takes the request
// out of the queue under WriteLock. Requests are completed after WriteLock is released.
#include "serial/serial.h"

// The sequence number of the last write accepted before the flush, kept in the held request.
static ULONG_PTR FlushSequence(PIRP Irp)
{
    return reinterpret_cast<ULONG_PTR>(Irp->Tail.Overlay.DriverContext[0]);
}

// Caller holds WriteLock. TRUE when no write accepted at or before Sequence is in flight;
// the tickets are in acceptance order, so the oldest one decides.
static BOOLEAN WritesDoneUpToLocked(PSERIAL_DEVICE_EXTENSION ext, ULONG_PTR Sequence)
{
    if (IsListEmpty(&ext->WritesInFlight)) {
        return TRUE;
    }
    WriteTicket* oldest = CONTAINING_RECORD(ext->WritesInFlight.Flink, WriteTicket, Link);
    return oldest->Sequence > Sequence ? TRUE : FALSE;
}

// A flush whose writes have all completed succeeds, unless the device went away meanwhile:
// then those writes did not reach it and the flush reports what any new request would.
static void CompleteFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    CompleteRequest(Irp, FlagTest(&ext->Removed) ? STATUS_DELETE_PENDING : STATUS_SUCCESS, 0);
}

// ============================================================================================
// Write tickets
// ============================================================================================

void WriteTicketOpen(PSERIAL_DEVICE_EXTENSION ext, WriteTicket* Ticket)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->WriteLock);
    Ticket->Sequence = ++ext->WriteSequence;
    InsertTailList(&ext->WritesInFlight, &Ticket->Link);
    KeReleaseSpinLock(&ext->WriteLock, irql);
}

// The write of Ticket has completed: every held flush that waited only for writes up to it
// completes now.
void WriteTicketClose(PDEVICE_OBJECT DeviceObject, WriteTicket* Ticket)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    LIST_ENTRY ready;
    InitializeListHead(&ready);

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->WriteLock);
    RemoveEntryList(&Ticket->Link);
    PLIST_ENTRY entry = ext->FlushQueue.Flink;
    while (entry != &ext->FlushQueue) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (!WritesDoneUpToLocked(ext, FlushSequence(irp))) {
            break;   // later flushes wait for at least as many writes
        }
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            InsertTailList(&ready, &irp->Tail.Overlay.ListEntry);
        }
        // Otherwise its cancel routine is on its way and takes it out of the queue.
    }
    KeReleaseSpinLock(&ext->WriteLock, irql);

    while (!IsListEmpty(&ready)) {
        PLIST_ENTRY done = RemoveHeadList(&ready);
        CompleteFlush(DeviceObject, CONTAINING_RECORD(done, IRP, Tail.Overlay.ListEntry));
    }
}

// ============================================================================================
// Held flushes
// ============================================================================================

// Entered with the cancel spin lock held; the request is still in FlushQueue.
static void SerialFlushCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->WriteLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->WriteLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// Holds the flush until the writes accepted so far have completed, or completes it at once
// when none is in flight. Returns the status the dispatch routine returns.
static NTSTATUS HoldFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    BOOLEAN cancelled = FALSE;

    // Lock order: the cancel spin lock, then WriteLock (the cancel routine takes WriteLock
    // after the cancel spin lock was taken for it). The cancel flag is set under the cancel
    // spin lock, so looked at under it a cancel either came before or finds the routine.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    KeAcquireSpinLockAtDpcLevel(&ext->WriteLock);
    if (WritesDoneUpToLocked(ext, ext->WriteSequence)) {
        KeReleaseSpinLockFromDpcLevel(&ext->WriteLock);
        IoReleaseCancelSpinLock(irql);
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    IoMarkIrpPending(Irp);
    if (Irp->Cancel) {
        cancelled = TRUE;   // cancelled before the routine could be in place: ours to complete
    } else {
        Irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(ext->WriteSequence);
        InsertTailList(&ext->FlushQueue, &Irp->Tail.Overlay.ListEntry);
        (void)IoSetCancelRoutine(Irp, SerialFlushCancel);
    }
    KeReleaseSpinLockFromDpcLevel(&ext->WriteLock);
    IoReleaseCancelSpinLock(irql);

    if (cancelled) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

// ============================================================================================
// Dispatch
// ============================================================================================

NTSTATUS SerialFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!CanAcceptRequests(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    return HoldFlush(DeviceObject, Irp);
}
