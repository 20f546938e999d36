// CardRwCom: wait-on-mask events and purge. An application sets a wait mask and sends a wait
// request that the port holds until received data, a new mask, the close or a stop ends it.
//
// Locking: the system cancel spin lock guards WaitIrp, WaitIrpPending, WaitArmed and WaitMask.
// Exactly one of CompleteWaitIrp and SerialWaitCancel takes a held wait, under that lock, and
// completes it after releasing the lock.
#include "serial/serial.h"

// ============================================================================================
// Held wait
// ============================================================================================

// Caller holds the cancel spin lock. Takes the held wait out of the extension, or NULL.
static PIRP DetachHeldWaitLocked(PSERIAL_DEVICE_EXTENSION ext)
{
    if (!ext->WaitIrpPending) {
        return NULL;
    }
    PIRP irp = ext->WaitIrp;
    (void)IoSetCancelRoutine(irp, NULL);
    ext->WaitIrpPending = FALSE;
    ext->WaitIrp = NULL;
    return irp;
}

static void FinishWait(PIRP Irp, ULONG EventMask)
{
    *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = EventMask;
    CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

void CompleteWaitIrp(PDEVICE_OBJECT DeviceObject, ULONG EventMask)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = DetachHeldWaitLocked(ext);
    IoReleaseCancelSpinLock(irql);
    if (irp != NULL) {
        FinishWait(irp, EventMask);
    }
}

// Entered with the cancel spin lock held.
static void SerialWaitCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    BOOLEAN ours = ext->WaitIrpPending && ext->WaitIrp == Irp;
    if (ours) {
        ext->WaitIrpPending = FALSE;
        ext->WaitIrp = NULL;
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    if (ours) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
}

// At open: no mask has been set on the new handle yet.
void ResetWaitState(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ext->WaitArmed = FALSE;
    PIRP irp = DetachHeldWaitLocked(ext);
    IoReleaseCancelSpinLock(irql);
    if (irp != NULL) {
        FinishWait(irp, 0);
    }
}

// ============================================================================================
// Handlers
// ============================================================================================

NTSTATUS SetWaitMaskHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG InputLength,
                            ULONG OutputLength, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    ULONG mask = *static_cast<PULONG>(Buffer);
    if ((mask & ~SERIAL_EV_VALID_BITS) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ext->WaitMask = mask;
    PIRP held = DetachHeldWaitLocked(ext);
    ext->WaitArmed = held == NULL;
    IoReleaseCancelSpinLock(irql);
    if (held != NULL) {
        FinishWait(held, 0);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetWaitMaskHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG InputLength,
                            ULONG OutputLength, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ULONG mask = ext->WaitMask;
    IoReleaseCancelSpinLock(irql);
    *static_cast<PULONG>(Buffer) = mask;
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// Holds the request (STATUS_PENDING) while the read worker runs or a mask was set on this
// handle; otherwise the wait ends at once without an event.
NTSTATUS WaitOnMaskHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG InputLength,
                           ULONG OutputLength, ULONG_PTR* Information)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql;
    *static_cast<PULONG>(Buffer) = 0;
    *Information = 0;
    IoAcquireCancelSpinLock(&irql);
    if (ext->WaitIrpPending || ext->WaitMask == 0) {
        status = STATUS_INVALID_PARAMETER;
    } else if (!FlagTest(&ext->ReadThreadRunning) && !ext->WaitArmed) {
        status = STATUS_SUCCESS;
    } else if (Irp->Cancel) {
        status = STATUS_CANCELLED;
    } else {
        ext->WaitIrpPending = TRUE;
        ext->WaitIrp = Irp;
        IoMarkIrpPending(Irp);
        (void)IoSetCancelRoutine(Irp, SerialWaitCancel);
    }
    IoReleaseCancelSpinLock(irql);
    return status;
}

NTSTATUS PurgeHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG InputLength,
                      ULONG OutputLength, ULONG_PTR* Information)
{
    ULONG mask = *static_cast<PULONG>(Buffer);
    if (mask == 0 || (mask & ~SERIAL_PURGE_VALID_BITS) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // Only the receive ring is the port's own to clear; reads waiting for data and writes
    // with the transport go on undisturbed.
    if ((mask & SERIAL_PURGE_RXCLEAR) != 0) {
        RxRingPurge(SerialExtension(DeviceObject));
    }
    return STATUS_SUCCESS;
}
