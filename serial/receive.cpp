// CardRwCom: the receive path. One read worker per open port keeps a 64-byte read on the
// receive pipe, appends what comes back to the receive ring, reports SERIAL_EV_RXCHAR to a
// held wait and wakes readers. Applications' reads never go to the device: they take bytes
// from the ring, waiting for data under the serial read time-outs.
#include "serial/serial.h"

#define READ_MAX_WAIT_MS 0x000346DC5D638865LL   // longest wait expressible in 100 ns units

// ============================================================================================
// Time-outs and in-progress count
// ============================================================================================

void SnapshotTimeouts(PSERIAL_DEVICE_EXTENSION ext, PKSPIN_LOCK Lock, SERIAL_TIMEOUTS* Copy)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    *Copy = ext->Timeouts;
    KeReleaseSpinLock(Lock, irql);
}

static void IncrementReadsInProgress(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->ReadLock);
    if (InterlockedIncrement(&ext->ReadsInProgress) == 1) {
        KeClearEvent(&ext->ReadsIdleEvent);
    }
    KeReleaseSpinLock(&ext->ReadLock, irql);
}

static void DecrementReadsInProgress(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->ReadLock);
    if (InterlockedDecrement(&ext->ReadsInProgress) == 0) {
        KeSetEvent(&ext->ReadsIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->ReadLock, irql);
}

// ============================================================================================
// Read worker
// ============================================================================================

// Bytes of a finished read go into the ring, then a held wait learns of them.
static void DeliverReceivedBytes(PDEVICE_OBJECT device, const UCHAR* Block, const IO_STATUS_BLOCK* IoStatus)
{
    if (!NT_SUCCESS(IoStatus->Status) || IoStatus->Information == 0) {
        return;
    }
    ULONG length = IoStatus->Information < SERIAL_READ_BLOCK_SIZE ? static_cast<ULONG>(IoStatus->Information)
                                                                  : SERIAL_READ_BLOCK_SIZE;
    RxRingWrite(SerialExtension(device), Block, length);
    CompleteWaitIrp(device, SERIAL_EV_RXCHAR);
}

static PIRP SendReceivePipeRead(PDEVICE_OBJECT device, PUCHAR Block, PIO_STATUS_BLOCK IoStatus)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(device);
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, Block, SERIAL_READ_BLOCK_SIZE, &offset,
                                            &ext->ReadIrpEvent, IoStatus);
    if (irp == NULL) {
        return NULL;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = ext->ReadPipeFileObject;
    IoCallDriver(ext->LowerDeviceObject, irp);   // the outcome arrives through the event
    return irp;
}

// Ends the read still with the transport. The completion of a thread request is delivered to
// this thread as an APC; at APC_LEVEL it cannot run, so the request stays valid to cancel.
static void RetireOutstandingRead(PDEVICE_OBJECT device, PIRP Irp, const UCHAR* Block,
                                  const IO_STATUS_BLOCK* IoStatus)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(device);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    if (KeWaitForSingleObject(&ext->ReadIrpEvent, Executive, KernelMode, FALSE, &zero) != STATUS_SUCCESS) {
        IoCancelIrp(Irp);
        KeLowerIrql(oldIrql);
        KeWaitForSingleObject(&ext->ReadIrpEvent, Executive, KernelMode, FALSE, NULL);
    } else {
        KeLowerIrql(oldIrql);
        DeliverReceivedBytes(device, Block, IoStatus);
    }
}

void ReadThreadMain(PVOID Context)
{
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Context);
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(device);
    PVOID events[2] = {&ext->ReadThreadStopEvent, &ext->ReadIrpEvent};
    IO_STATUS_BLOCK ioStatus;
    PIRP outstanding = NULL;

    KeSetPriorityThread(KeGetCurrentThread(), SERIAL_WORKER_PRIORITY);
    PUCHAR block = static_cast<PUCHAR>(SerialAllocate(NonPagedPool, SERIAL_READ_BLOCK_SIZE));
    if (block == NULL || ext->ReadPipeFileObject == NULL) {
        goto done;
    }
    KeInitializeEvent(&ext->ReadIrpEvent, SynchronizationEvent, FALSE);

    for (;;) {
        if (outstanding == NULL) {
            outstanding = SendReceivePipeRead(device, block, &ioStatus);
            if (outstanding == NULL) {
                break;
            }
        }
        NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (wait == STATUS_WAIT_1) {
            // The next read goes out at once, after a failed one too.
            outstanding = NULL;
            DeliverReceivedBytes(device, block, &ioStatus);
            KeSetEvent(&ext->RxDataEvent, IO_NO_INCREMENT, FALSE);
        } else if (wait == STATUS_WAIT_0 || !NT_SUCCESS(wait)) {
            break;
        }
    }
    if (outstanding != NULL) {
        RetireOutstandingRead(device, outstanding, block, &ioStatus);
    }

done:
    // Whether stopped or ended on its own, reads are no longer served; waiting readers wake
    // up and find the worker gone.
    FlagSet(&ext->ReadThreadRunning, FALSE);
    KeSetEvent(&ext->RxDataEvent, IO_NO_INCREMENT, FALSE);
    SerialFree(block);
    KeSetEvent(&ext->ReadThreadExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ============================================================================================
// Application reads
// ============================================================================================

struct ReadPlan {
    BOOLEAN Immediate;      // return at once with what the ring holds
    BOOLEAN Timed;          // wait at most Timeout
    ULONG Length;           // bytes to deliver at most
    LARGE_INTEGER Timeout;  // relative, 100 ns units
};

static LONGLONG TotalTimeoutMs(ULONG Length, ULONG Multiplier, ULONG Constant)
{
    ULONGLONG product = static_cast<ULONGLONG>(Length) * Multiplier;   // fits: both < 2^32
    ULONGLONG total = product + Constant;
    if (total < product || total > static_cast<ULONGLONG>(READ_MAX_WAIT_MS)) {
        total = READ_MAX_WAIT_MS;
    }
    return static_cast<LONGLONG>(total);
}

// The read modes, first matching row wins. The interval time-out is only compared with
// MAXULONG; there is no timing between bytes.
static ReadPlan PlanRead(const SERIAL_TIMEOUTS& t, ULONG Length)
{
    ReadPlan plan;
    plan.Immediate = FALSE;
    plan.Timed = FALSE;
    plan.Length = Length;
    ULONG multiplier = t.ReadTotalTimeoutMultiplier;
    ULONG constant = t.ReadTotalTimeoutConstant;
    if (t.ReadIntervalTimeout == MAXULONG) {
        if (multiplier == 0 && constant == 0) {
            plan.Immediate = TRUE;
        } else if (constant == MAXULONG) {
            plan.Timed = FALSE;
        } else if (multiplier == MAXULONG) {
            plan.Timed = TRUE;
            multiplier = 0;
            plan.Length = 1;
        } else {
            plan.Timed = TRUE;
        }
    } else {
        plan.Timed = multiplier != 0 || constant != 0;
    }
    plan.Timeout.QuadPart = -TotalTimeoutMs(Length, multiplier, constant) * 10000;
    return plan;
}

// ---- Cancelling a waiting read ----
//
// A read waits inside the requesting thread's dispatch call, so the application can end it only
// by cancelling the request (CancelIo, CancelIoEx, a closing library). While it waits the
// request carries SerialReadCancel, which signals the waiting read's own event; the event lives
// on the reader's stack and is named in DriverContext[0]. The routine signals it before it
// releases the cancel spin lock, so a reader that finds the routine gone has only to pass
// through that lock once to know the routine is done with its event.

static void SerialReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    KeSetEvent(static_cast<PKEVENT>(Irp->Tail.Overlay.DriverContext[0]), IO_NO_INCREMENT, FALSE);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
}

// Waits once for RxDataEvent (at most Timeout when given); FALSE when the request was cancelled
// instead, before or during the wait.
static BOOLEAN WaitForDataOrCancel(PSERIAL_DEVICE_EXTENSION ext, PIRP Irp, PLARGE_INTEGER Timeout)
{
    KEVENT cancelled;
    KeInitializeEvent(&cancelled, NotificationEvent, FALSE);
    Irp->Tail.Overlay.DriverContext[0] = &cancelled;
    // The cancel flag is set under the cancel spin lock: looked at under it, a cancel either
    // came before (the read ends here) or finds the routine in place.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN early = Irp->Cancel;
    if (!early) {
        (void)IoSetCancelRoutine(Irp, SerialReadCancel);
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (early) {
        return FALSE;   // cancelled before the routine was in place
    }
    PVOID events[2] = {&ext->RxDataEvent, &cancelled};
    KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, Timeout, NULL);
    if (IoSetCancelRoutine(Irp, NULL) == NULL) {
        // The routine has run or runs now under the cancel spin lock: wait until it is done
        // with the event on this stack.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    return TRUE;
}

// Runs one read while it is counted in ReadsInProgress; the ring cannot go away meanwhile.
static NTSTATUS ServeRead(PSERIAL_DEVICE_EXTENSION ext, PIRP Irp, ULONG Length, ULONG_PTR* Information)
{
    if (!FlagTest(&ext->ReadThreadRunning)) {
        return STATUS_UNSUCCESSFUL;
    }
    PUCHAR buffer = Irp->MdlAddress != NULL
                        ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority))
                        : NULL;
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SERIAL_TIMEOUTS timeouts;
    SnapshotTimeouts(ext, &ext->ReadLock, &timeouts);
    ReadPlan plan = PlanRead(timeouts, Length);

    *Information = RxRingRead(ext, buffer, plan.Length);
    if (*Information != 0 || plan.Immediate) {
        return STATUS_SUCCESS;
    }
    // The read ends at the first arrival of data, at its time-out, when the worker ends or when
    // it is cancelled. RxDataEvent is set after every transfer of the worker, also one that
    // brought nothing and also for bytes another reader has already taken: a wake-up that finds
    // the ring empty while the worker runs is not an end, the read waits on for the rest of its
    // time.
    ULONGLONG deadline = KeQueryInterruptTime() + static_cast<ULONGLONG>(-plan.Timeout.QuadPart);
    for (;;) {
        // Clear, then look again: bytes appended in between are not missed. A worker that has
        // already ended will never set the event again, so the read must not wait for it.
        KeClearEvent(&ext->RxDataEvent);
        *Information = RxRingRead(ext, buffer, plan.Length);
        if (*Information != 0) {
            return STATUS_SUCCESS;
        }
        if (!FlagTest(&ext->ReadThreadRunning)) {
            // The worker ended. When the device went away, nothing will ever come: the read
            // fails so that an application waiting without a time limit learns of it, instead
            // of taking an empty success for a time-out and reading again.
            return FlagTest(&ext->Removed) ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
        }
        LARGE_INTEGER remaining;
        if (plan.Timed) {
            ULONGLONG now = KeQueryInterruptTime();
            if (now >= deadline) {
                return STATUS_SUCCESS;   // timed out with nothing
            }
            remaining.QuadPart = -static_cast<LONGLONG>(deadline - now);
        }
        if (!WaitForDataOrCancel(ext, Irp, plan.Timed ? &remaining : NULL)) {
            return STATUS_CANCELLED;   // what arrived meanwhile stays in the ring for the next read
        }
    }
}

NTSTATUS SerialRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    if (!CanAcceptRequests(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (length == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    ULONG_PTR information = 0;
    IncrementReadsInProgress(ext);
    NTSTATUS status = ServeRead(ext, Irp, length, &information);
    CompleteRequest(Irp, status, NT_SUCCESS(status) ? information : 0);
    DecrementReadsInProgress(ext);
    return status;
}
