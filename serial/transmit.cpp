// CardRwCom: the transmit path. An application's write is not copied or queued: the request
// itself goes down to the transport's transmit pipe, under a time limit taken from the write
// time-outs (two seconds when none is set). A request the transport refuses is re-sent up to
// three times; a write that runs out of time is cancelled and the transmit pipe reset.
#include "serial/serial.h"

#define WRITE_DEFAULT_LIMIT_MS 2000
#define WRITE_MAX_SENDS        4          // the first send and three re-sends
#define WRITE_PIPE_RESETS      3
#define WRITE_MAX_WAIT_MS      0x000346DC5D638865LL

// ============================================================================================
// In-progress count (WriteLock)
// ============================================================================================

static void IncrementWritesInProgress(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->WriteLock);
    if (InterlockedIncrement(&ext->WritesInProgress) == 1) {
        KeClearEvent(&ext->WritesIdleEvent);
    }
    KeReleaseSpinLock(&ext->WriteLock, irql);
}

static void DecrementWritesInProgress(PSERIAL_DEVICE_EXTENSION ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->WriteLock);
    if (InterlockedDecrement(&ext->WritesInProgress) == 0) {
        KeSetEvent(&ext->WritesIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->WriteLock, irql);
}

// ============================================================================================
// Sending one write down
// ============================================================================================

static LARGE_INTEGER WriteTimeLimit(PSERIAL_DEVICE_EXTENSION ext, ULONG Length)
{
    SERIAL_TIMEOUTS t;
    SnapshotTimeouts(ext, &ext->WriteLock, &t);
    ULONGLONG ms = WRITE_DEFAULT_LIMIT_MS;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
        ULONGLONG product = static_cast<ULONGLONG>(Length) * t.WriteTotalTimeoutMultiplier;
        ms = product + t.WriteTotalTimeoutConstant;
        if (ms < product || ms > static_cast<ULONGLONG>(WRITE_MAX_WAIT_MS)) {
            ms = WRITE_MAX_WAIT_MS;
        }
    }
    LARGE_INTEGER limit;
    limit.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    return limit;
}

// The request comes back to SerialWrite after the transport has finished with it.
static NTSTATUS WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    return SignalEventCompletion(DeviceObject, Irp, Context);
}

static NTSTATUS SendWriteDown(PSERIAL_DEVICE_EXTENSION ext, PIRP Irp, PKEVENT Event)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->FileObject = ext->WritePipeFileObject;
    IoSetCompletionRoutine(Irp, WriteCompletion, Event, TRUE, TRUE, TRUE);
    KeClearEvent(Event);
    return IoCallDriver(ext->LowerDeviceObject, Irp);
}

// The cancel flag is set under the cancel spin lock; it is read under it too.
static BOOLEAN CancelRequested(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN cancel = Irp->Cancel;
    IoReleaseCancelSpinLock(irql);
    return cancel;
}

// A refusal worth another try: anything but success, a cancellation or a vanished device,
// and never a request its sender has cancelled.
static BOOLEAN ShouldResend(PIRP Irp, NTSTATUS Status)
{
    return Status != STATUS_SUCCESS && Status != STATUS_CANCELLED && Status != STATUS_DEVICE_NOT_CONNECTED &&
           !CancelRequested(Irp);
}

// Re-sends by the same rule whether the refusal came at once or after the request pended:
// the request's own final status decides. Every send that pends waits at most Limit; a send
// that runs out of time is cancelled, waited for and reported as STATUS_TIMEOUT.
static NTSTATUS ResendWrite(PSERIAL_DEVICE_EXTENSION ext, PIRP Irp, NTSTATUS Status, PKEVENT Event,
                            PLARGE_INTEGER Limit)
{
    for (int sends = 1; ShouldResend(Irp, Status) && sends < WRITE_MAX_SENDS; ++sends) {
        Status = SendWriteDown(ext, Irp, Event);
        if (Status == STATUS_PENDING) {
            if (KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, Limit) == STATUS_TIMEOUT) {
                IoCancelIrp(Irp);
                KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
                return STATUS_TIMEOUT;
            }
            Status = Irp->IoStatus.Status;
        }
    }
    return Status;
}

// First send; the rest is ResendWrite's.
static NTSTATUS TransmitRequest(PSERIAL_DEVICE_EXTENSION ext, PIRP Irp, ULONG Length)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER limit = WriteTimeLimit(ext, Length);
    NTSTATUS status = SendWriteDown(ext, Irp, &event);
    if (status == STATUS_PENDING) {
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
            IoCancelIrp(Irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            return STATUS_TIMEOUT;
        }
        status = Irp->IoStatus.Status;
    }
    return ResendWrite(ext, Irp, status, &event, &limit);
}

// ============================================================================================
// Dispatch
// ============================================================================================

NTSTATUS SerialWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    if (!CanAcceptRequests(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    if (length == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    if (ext->WritePipeFileObject == NULL) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }

    WriteTicket ticket;
    IncrementWritesInProgress(ext);
    WriteTicketOpen(ext, &ticket);
    NTSTATUS status = TransmitRequest(ext, Irp, length);
    // The bytes the transport reports as sent; nothing for a failed write.
    ULONG_PTR sent = Irp->IoStatus.Information < length ? Irp->IoStatus.Information : length;
    if (NT_ERROR(status)) {
        sent = 0;
    }
    CompleteRequest(Irp, status, sent);
    WriteTicketClose(DeviceObject, &ticket);   // flushes waiting for this write may complete

    // The resets still count as a write in progress, so a close waits for them and the
    // device cannot go away under them.
    if (status == STATUS_TIMEOUT) {
        for (int i = 0; i < WRITE_PIPE_RESETS; ++i) {
            ResetWritePipe(DeviceObject);
        }
    }
    DecrementWritesInProgress(ext);
    return status;
}
