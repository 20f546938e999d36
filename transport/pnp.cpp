// CardRwUsb: the Plug and Play state machine. Moves Started, StopPending, RemovePending and
// Removed, which every other request path reads through CanAcceptRequests. Requests arrive one
// at a time at PASSIVE_LEVEL; query-remove and removal are the only places that wait for
// other requests.
#include "transport/transport.h"

// =============================================================================================
// Passing requests down
// =============================================================================================

static NTSTATUS CopyDown(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(ext->LowerDevice, Irp);
}

static NTSTATUS SkipDown(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->LowerDevice, Irp);
}

// Sends the request down and waits for the lower drivers to finish it; the request stays with
// the caller, who completes it.
static NTSTATUS CallDownAndWait(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS CompletePnp(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// =============================================================================================
// Stop and removal
// =============================================================================================

// Never fails. Started is cleared first, so that requests arriving meanwhile are refused
// before the pipes go away.
NTSTATUS StopTransport(TRANSPORT_EXTENSION* ext, BOOLEAN Deconfigure)
{
    FlagClear(&ext->Started);
    AbortOpenPipes(ext);
    if (Deconfigure) {
        DeconfigureDevice(ext);
    }
    ReleaseConfiguration(ext);
    FlagClear(&ext->StopPending);
    return STATUS_SUCCESS;
}

NTSTATUS RemoveTransport(PDEVICE_OBJECT DeviceObject)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->InterfaceLinkName);
    NTSTATUS status = IoSetDeviceInterfaceState(&link, FALSE);
    // A failed start may have left a descriptor behind; nothing of the extension outlives it.
    ReleaseConfiguration(ext);
    IoDetachDevice(ext->LowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}

// =============================================================================================
// Sequences
// =============================================================================================

static NTSTATUS StartSequence(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    NTSTATUS status = CallDownAndWait(ext, Irp);
    if (NT_SUCCESS(status)) {
        status = StartTransport(ext);
    }
    CompletePnp(Irp, status);
    IoCountRelease(ext);
    return status;
}

// Waits until every request but the base reference has finished (this one drops its own
// reference while it waits).
static NTSTATUS QueryRemoveSequence(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    FlagSet(&ext->RemovePending);
    IoCountRelease(ext);
    KeWaitForSingleObject(&ext->IoIdleEvent, Executive, KernelMode, FALSE, nullptr);
    IoCountAcquire(ext);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = CopyDown(ext, Irp);
    IoCountRelease(ext);
    return status;
}

// Sets or clears a pending flag, then passes the request down as successful.
static NTSTATUS FlagSequence(TRANSPORT_EXTENSION* ext, PIRP Irp, volatile LONG* flag, BOOLEAN set)
{
    if (set) {
        FlagSet(flag);
    } else {
        FlagClear(flag);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = CopyDown(ext, Irp);
    IoCountRelease(ext);
    return status;
}

static NTSTATUS StopSequence(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    StopTransport(ext, TRUE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = CopyDown(ext, Irp);
    IoCountRelease(ext);
    return status;
}

// The device may be surprise-removed: said before and after the lower drivers answer.
static NTSTATUS CapabilitiesSequence(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->SurpriseRemovalOK = TRUE;
    NTSTATUS status = CallDownAndWait(ext, Irp);
    if (NT_SUCCESS(status)) {
        caps->SurpriseRemovalOK = TRUE;
    }
    Irp->IoStatus.Information = 0;
    CompletePnp(Irp, status);
    IoCountRelease(ext);
    return status;
}

static NTSTATUS SurpriseRemovalSequence(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    IoCountRelease(ext);
    FlagSet(&ext->Removed);
    if (FlagIsSet(&ext->Started)) {
        StopTransport(ext, FALSE);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return CopyDown(ext, Irp);
}

static NTSTATUS RemovalSequence(PDEVICE_OBJECT DeviceObject, TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    IoCountRelease(ext);
    FlagSet(&ext->Removed);
    if (FlagIsSet(&ext->Started)) {
        StopTransport(ext, FALSE);
    }
    NTSTATUS status = CopyDown(ext, Irp);
    IoCountRelease(ext);   // the base reference from AddDevice
    KeWaitForSingleObject(&ext->IoDrainedEvent, Executive, KernelMode, FALSE, nullptr);
    RemoveTransport(DeviceObject);
    return status;
}

// =============================================================================================
// Dispatch
// =============================================================================================

// Query and cancel requests, and capabilities, on a device that is not started: passed
// through without changing any flag.
static NTSTATUS PassThrough(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    NTSTATUS status = SkipDown(ext, Irp);
    IoCountRelease(ext);
    return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    BOOLEAN started = FlagIsSet(&ext->Started);
    NTSTATUS status;

    IoCountAcquire(ext);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return StartSequence(ext, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemovalSequence(DeviceObject, ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemovalSequence(ext, Irp);
    case IRP_MN_STOP_DEVICE:
        return StopSequence(ext, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return started ? QueryRemoveSequence(ext, Irp) : PassThrough(ext, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return started ? FlagSequence(ext, Irp, &ext->RemovePending, FALSE) : PassThrough(ext, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return started ? FlagSequence(ext, Irp, &ext->StopPending, TRUE) : PassThrough(ext, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return started ? FlagSequence(ext, Irp, &ext->StopPending, FALSE) : PassThrough(ext, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return started ? CapabilitiesSequence(ext, Irp) : PassThrough(ext, Irp);
    default:
        status = CopyDown(ext, Irp);
        IoCountRelease(ext);
        return status;
    }
}
