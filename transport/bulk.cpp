// CardRwUsb: bulk reads and writes on pipe handles, carried out in stages of at most StageSize
// bytes. The caller's own request goes down once per stage; one partial descriptor list over
// the caller's buffer describes each stage's window, so no data is copied.
#include "transport/transport.h"

// =============================================================================================
// Stage building
// =============================================================================================

static ULONG Smaller(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

static BOOLEAN IsReadUrb(PURB urb)
{
    return (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 ? TRUE : FALSE;
}

// Fills the lower stack location for the context's URB and sends the caller's request down.
static NTSTATUS SendStage(STAGE_CONTEXT* context);

// The context's URB and stage list for the first window of the caller's buffer; null when the
// request has no buffer or an allocation fails (then nothing is left allocated).
static PURB BuildFirstStage(TRANSPORT_EXTENSION* ext, PIRP Irp, const USBD_PIPE_INFORMATION* Info,
                            STAGE_CONTEXT* context, BOOLEAN read)
{
    PMDL callerMdl = Irp->MdlAddress;
    ULONG total = callerMdl != nullptr ? MmGetMdlByteCount(callerMdl) : 0;
    if (total == 0) {
        return nullptr;
    }
    ULONG stage = Smaller(total, ext->StageSize);
    context->NextVa = static_cast<PUCHAR>(MmGetMdlVirtualAddress(callerMdl));

    context->StageMdl = IoAllocateMdl(context->NextVa, total, FALSE, FALSE, nullptr);
    if (context->StageMdl == nullptr) {
        return nullptr;
    }
    IoBuildPartialMdl(callerMdl, context->StageMdl, context->NextVa, stage);

    PURB urb = static_cast<PURB>(TransportAllocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
    if (urb == nullptr) {
        IoFreeMdl(context->StageMdl);
        context->StageMdl = nullptr;
        return nullptr;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->PipeHandle = Info->PipeHandle;
    transfer->TransferFlags = USBD_SHORT_TRANSFER_OK | (read ? USBD_TRANSFER_DIRECTION_IN : 0);
    transfer->TransferBufferLength = stage;
    transfer->TransferBuffer = nullptr;
    transfer->TransferBufferMDL = context->StageMdl;
    transfer->UrbLink = nullptr;

    context->NextVa += stage;
    context->Remaining = total - stage;
    context->Transferred = 0;
    context->StageLength = stage;
    return urb;
}

// Moves the context to the next window of the caller's buffer.
static void BuildNextStage(STAGE_CONTEXT* context, ULONG stageSize)
{
    ULONG next = Smaller(context->Remaining, stageSize);
    MmPrepareMdlForReuse(context->StageMdl);
    IoBuildPartialMdl(context->Irp->MdlAddress, context->StageMdl, context->NextVa, next);
    context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = next;
    context->StageLength = next;
    context->NextVa += next;
    context->Remaining -= next;
}

static void FreeStageContext(STAGE_CONTEXT* context)
{
    if (context->Urb != nullptr) {
        TransportFree(context->Urb);
    }
    if (context->StageMdl != nullptr) {
        IoFreeMdl(context->StageMdl);
    }
    TransportFree(context);
}

// =============================================================================================
// Stage completion (up to DISPATCH_LEVEL)
// =============================================================================================

// A failed stage marks its direction so that the next request in it restores the pipe first.
// A cancelled or disconnected read marks nothing; a cancelled or disconnected write does.
static void NoteFailedStage(TRANSPORT_EXTENSION* ext, NTSTATUS status, BOOLEAN read)
{
    BOOLEAN gone = (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) ? TRUE : FALSE;
    if (!read) {
        FlagSet(&ext->WriteResetPending);
    } else if (!gone) {
        FlagSet(&ext->ReadResetPending);
    }
}

static NTSTATUS StageCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    STAGE_CONTEXT* context = static_cast<STAGE_CONTEXT*>(Context);
    TRANSPORT_EXTENSION* ext = context->Extension;
    NTSTATUS status = Irp->IoStatus.Status;
    BOOLEAN read = IsReadUrb(context->Urb);

    if (NT_SUCCESS(status)) {
        ULONG reported = Smaller(context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength,
                                 context->StageLength);
        context->Transferred += reported;
        // A short read stage ends the transfer: the bytes so far are contiguous at the start of
        // the caller's buffer, and the next window would leave a gap of stale bytes.
        BOOLEAN shortRead = (read && reported < context->StageLength) ? TRUE : FALSE;
        if (context->Remaining != 0 && !shortRead) {
            BuildNextStage(context, ext->StageSize);
            SendStage(context);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        Irp->IoStatus.Information = context->Transferred;
    } else {
        // The stages before the failed one did move their bytes: report them, so that a
        // writer does not send again what the device already took (the failed stage itself
        // moved nothing the bus reports).
        Irp->IoStatus.Information = context->Transferred;
        NoteFailedStage(ext, status, read);
    }

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    FreeStageContext(context);
    IoCountRelease(ext);   // the transfer's reference: the last touch of the extension
    return status;
}

static NTSTATUS SendStage(STAGE_CONTEXT* context)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(context->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = context->Urb;
    IoSetCompletionRoutine(context->Irp, StageCompletion, context, TRUE, TRUE, TRUE);
    return IoCallDriver(context->Extension->LowerDevice, context->Irp);
}

// =============================================================================================
// Dispatch
// =============================================================================================

static NTSTATUS CompleteTransfer(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Test-and-clear of the direction's reset flag, under ResetFlagLock so that a flag set by a
// completion is consumed by exactly one request.
static BOOLEAN TakeResetFlag(TRANSPORT_EXTENSION* ext, BOOLEAN read)
{
    volatile LONG* flag = read ? &ext->ReadResetPending : &ext->WriteResetPending;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->ResetFlagLock);
    BOOLEAN due = InterlockedExchange(flag, 0) != 0 ? TRUE : FALSE;
    KeReleaseSpinLock(&ext->ResetFlagLock, irql);
    return due;
}

// Reset passes after a stage refused at once (its request is already completed by then).
static void ResetAfterRefusal(TRANSPORT_EXTENSION* ext, const USBD_PIPE_INFORMATION* info, NTSTATUS status)
{
    for (int pass = 0; pass < 3; ++pass) {
        if (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) {
            continue;
        }
        status = ResetPipe(ext, info);
        if (!NT_SUCCESS(status)) {
            status = ResetUpstreamPort(ext);
        }
    }
}

// Sends the first stage; from here the request belongs to StageCompletion.
static NTSTATUS StartTransfer(TRANSPORT_EXTENSION* ext, PIRP Irp, const USBD_PIPE_INFORMATION* info,
                              BOOLEAN read)
{
    STAGE_CONTEXT* context = static_cast<STAGE_CONTEXT*>(TransportAllocate(sizeof(STAGE_CONTEXT)));
    if (context == nullptr) {
        return CompleteTransfer(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(context, sizeof(*context));
    context->Extension = ext;
    PURB urb = BuildFirstStage(ext, Irp, info, context, read);
    if (urb == nullptr) {
        TransportFree(context);
        return CompleteTransfer(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    context->Irp = Irp;
    context->Urb = urb;

    IoMarkIrpPending(Irp);
    IoCountAcquire(ext);   // released by StageCompletion
    NTSTATUS status = SendStage(context);
    if (!NT_SUCCESS(status)) {
        ResetAfterRefusal(ext, info, status);
    }
    return STATUS_PENDING;
}

// Runs at PASSIVE_LEVEL: it may restore the pipe first and reset after a refusal. Holds its
// own reference for its whole run, so the extension outlives the transfer's completion even
// when the transfer finishes before this routine returns.
static NTSTATUS TransferReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN read)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    USBD_PIPE_INFORMATION info;
    NTSTATUS status;

    IoCountAcquire(ext);
    Irp->IoStatus.Information = 0;
    if (!CanAcceptRequests(ext)) {
        status = CompleteTransfer(Irp, STATUS_DELETE_PENDING);
    } else if (!LookupHandlePipe(ext, IoGetCurrentIrpStackLocation(Irp)->FileObject, &info)) {
        // A table released since the test above means a stop or removal came in between.
        status = CompleteTransfer(Irp, CanAcceptRequests(ext) ? STATUS_INVALID_HANDLE : STATUS_DELETE_PENDING);
    } else {
        if (TakeResetFlag(ext, read)) {
            RestorePipe(ext, &info);
        }
        status = StartTransfer(ext, Irp, &info, read);
    }
    IoCountRelease(ext);
    return status;
}

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferReadWrite(DeviceObject, Irp, TRUE);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferReadWrite(DeviceObject, Irp, FALSE);
}
