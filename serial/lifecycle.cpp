// CardRwCom: the life of the device and of its one open handle. Plug and Play requests
// (start, stop, query and cancel of stop and removal, surprise removal, removal), open, close,
// cleanup and query-information, and the start and stop of the read worker.
#include "serial/serial.h"

// ============================================================================================
// Read worker start and stop (WorkerMutex)
// ============================================================================================

// Reads are served from the moment this returns: the worker is marked running before it is
// created, so a close right after the open always finds and stops it.
NTSTATUS StartReadThread(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE thread = NULL;
    PUCHAR ring = NULL;
    MutexAcquire(&ext->WorkerMutex);
    if (ext->ReadWorkerStarted) {
        goto done;
    }
    ring = static_cast<PUCHAR>(SerialAllocate(NonPagedPool, SERIAL_RX_RING_SIZE));
    if (ring == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RxRingAttach(ext, ring);
    KeClearEvent(&ext->ReadThreadStopEvent);
    KeClearEvent(&ext->ReadThreadExitEvent);
    FlagSet(&ext->ReadThreadRunning, TRUE);

    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, ReadThreadMain, DeviceObject);
    if (!NT_SUCCESS(status)) {
        FlagSet(&ext->ReadThreadRunning, FALSE);
        SerialFree(RxRingDetach(ext));
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    ext->ReadWorkerStarted = TRUE;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode,
                                              &ext->ReadThreadObject, NULL))) {
        ext->ReadThreadObject = NULL;   // the exit event alone then tells when it ended
    }
    ZwClose(thread);

done:
    MutexRelease(&ext->WorkerMutex);
    return status;
}

// Ends the worker (it cancels or finishes its outstanding read), releases readers, waits until
// no read is in progress and only then releases the ring. Safe to call again at any time.
NTSTATUS StopReadThread(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    MutexAcquire(&ext->WorkerMutex);
    FlagSet(&ext->ReadThreadRunning, FALSE);
    if (ext->ReadWorkerStarted) {
        KeSetEvent(&ext->ReadThreadStopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&ext->ReadThreadExitEvent, Executive, KernelMode, FALSE, NULL);
        if (ext->ReadThreadObject != NULL) {
            KeWaitForSingleObject(ext->ReadThreadObject, Executive, KernelMode, FALSE, NULL);
            ObDereferenceObject(ext->ReadThreadObject);
            ext->ReadThreadObject = NULL;
        }
        ext->ReadWorkerStarted = FALSE;
    }
    KeSetEvent(&ext->RxDataEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&ext->ReadsIdleEvent, Executive, KernelMode, FALSE, NULL);
    SerialFree(RxRingDetach(ext));
    MutexRelease(&ext->WorkerMutex);
    return STATUS_SUCCESS;
}

// ============================================================================================
// Start, stop and removal steps
// ============================================================================================

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    OpenPipes(DeviceObject);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->SettingsLock);
    ext->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    ext->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    KeReleaseSpinLock(&ext->SettingsLock, irql);
    FlagSet(&ext->Started, TRUE);
    NTSTATUS status = CreatePortName(DeviceObject);
    if (!NT_SUCCESS(status)) {
        // A device that failed to start accepts nothing until the removal that follows.
        FlagSet(&ext->Started, FALSE);
    }
    return status;
}

// Ends what runs on the port: the read worker and its readers, and a held wait.
static void QuiescePort(PDEVICE_OBJECT DeviceObject)
{
    StopReadThread(DeviceObject);
    CompleteWaitIrp(DeviceObject, SERIAL_EV_STOPPED);
}

// STOP_DEVICE and REMOVE_DEVICE: waits until the application has closed its handle.
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    QuiescePort(DeviceObject);
    KeWaitForSingleObject(&ext->PortClosedEvent, Executive, KernelMode, FALSE, NULL);
    FlagSet(&ext->Started, FALSE);
    FlagSet(&ext->StopPending, FALSE);
    RemovePortName(DeviceObject);
    return STATUS_SUCCESS;
}

// SURPRISE_REMOVAL: the device is gone. Nothing waits for the application: its pending
// requests end now, the COM name is withdrawn at once so a re-plugged device can have it
// back, and the application's later close releases the rest.
static void SurpriseStopDevice(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    QuiescePort(DeviceObject);
    FlagSet(&ext->Started, FALSE);
    FlagSet(&ext->StopPending, FALSE);
    RemovePortName(DeviceObject);
}

// The device is already detached (see RemovalSequence).
static void RemoveDevice(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    ReleasePipeFileObjects(DeviceObject);
    SerialFree(ext->DeviceName.Buffer);
    ext->DeviceName.Buffer = NULL;
    SerialFree(ext->SerialCommName.Buffer);
    ext->SerialCommName.Buffer = NULL;
    SerialFree(ext->LinkedPortName);
    ext->LinkedPortName = NULL;
    IoDeleteDevice(DeviceObject);
}

// ============================================================================================
// Plug and Play dispatch
// ============================================================================================

static NTSTATUS PassDownPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(SerialExtension(DeviceObject)->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return status;
}

// A failure this driver decided is completed here; anything else goes down.
static NTSTATUS ForwardPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    if (!NT_SUCCESS(Status)) {
        CompleteRequest(Irp, Status, Irp->IoStatus.Information);
        DecrementIoCount(DeviceObject);
        return Status;
    }
    Irp->IoStatus.Status = Status;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(SerialExtension(DeviceObject)->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return status;
}

// The lower drivers start first; the port starts on their success.
static NTSTATUS StartSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(SerialExtension(DeviceObject)->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        status = StartDevice(DeviceObject);
    }
    CompleteRequest(Irp, status, Irp->IoStatus.Information);
    DecrementIoCount(DeviceObject);
    return status;
}

// Waits until no other Plug and Play request is in progress.
static NTSTATUS QueryRemoveSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    FlagSet(&ext->RemovePending, TRUE);
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&ext->StopEvent, Executive, KernelMode, FALSE, NULL);
    IncrementIoCount(DeviceObject);
    return ForwardPnp(DeviceObject, Irp, STATUS_SUCCESS);
}

static NTSTATUS SurpriseRemovalSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    DecrementIoCount(DeviceObject);
    FlagSet(&ext->Removed, TRUE);
    if (FlagTest(&ext->Started)) {
        SurpriseStopDevice(DeviceObject);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(ext->LowerDeviceObject, Irp);
}

// Windows sends the removal only once no handle is open, so the wait for the close below
// returns at once there; it keeps the device alive for a close that is still running.
static NTSTATUS RemovalSequence(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    DecrementIoCount(DeviceObject);
    FlagSet(&ext->Removed, TRUE);
    StopNamingThread(DeviceObject);
    if (FlagTest(&ext->Started)) {
        StopDevice(DeviceObject);
    } else {
        QuiescePort(DeviceObject);
        KeWaitForSingleObject(&ext->PortClosedEvent, Executive, KernelMode, FALSE, NULL);
        RemovePortName(DeviceObject);
    }
    // Every request still inside the port ends before the removal goes down, so none of them
    // reaches the device below once it is gone. Then the removal goes down, and the port
    // detaches and deletes itself; the attachment kept the device below alive until here.
    DecrementIoCount(DeviceObject);   // the base count: reaches 0
    KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    PDEVICE_OBJECT lower = ext->LowerDeviceObject;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    IoDetachDevice(lower);
    ext->LowerDeviceObject = NULL;
    RemoveDevice(DeviceObject);
    return status;
}

NTSTATUS SerialDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    IncrementIoCount(DeviceObject);
    BOOLEAN started = FlagTest(&ext->Started);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartSequence(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (!started) {
            return PassDownPnp(DeviceObject, Irp);
        }
        FlagSet(&ext->StopPending, TRUE);
        return ForwardPnp(DeviceObject, Irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (!started) {
            return PassDownPnp(DeviceObject, Irp);
        }
        FlagSet(&ext->StopPending, FALSE);
        return ForwardPnp(DeviceObject, Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        return ForwardPnp(DeviceObject, Irp, StopDevice(DeviceObject));
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (!started) {
            return PassDownPnp(DeviceObject, Irp);
        }
        return QueryRemoveSequence(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (!started) {
            return PassDownPnp(DeviceObject, Irp);
        }
        FlagSet(&ext->RemovePending, FALSE);
        return ForwardPnp(DeviceObject, Irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemovalSequence(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemovalSequence(DeviceObject, Irp);
    default:
        return PassDownPnp(DeviceObject, Irp);
    }
}

// ============================================================================================
// Open, close, cleanup, query-information
// ============================================================================================

NTSTATUS SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    // One handle at a time; the claim is atomic so two racing opens cannot both succeed.
    if (InterlockedCompareExchange(&ext->PortOpen, 1, 0) != 0) {
        return CompleteRequest(Irp, STATUS_INVALID_HANDLE, 0);
    }
    if (!CanAcceptRequests(DeviceObject)) {
        FlagSet(&ext->PortOpen, FALSE);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    ResetWaitState(DeviceObject);
    KeClearEvent(&ext->PortClosedEvent);
    RefreshPortLink(DeviceObject);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);

    // The open has succeeded; what follows reports nothing.
    KeSetEvent(&ext->NamingRefreshEvent, IO_NO_INCREMENT, FALSE);
    OpenPipes(DeviceObject);
    StartReadThread(DeviceObject);
    RaiseRts(DeviceObject);
    RaiseDtr(DeviceObject);
    return STATUS_SUCCESS;
}

// Always succeeds. Drops the lines (the device sees 1 then 0), stops the worker, ends a held
// wait; signalling PortClosedEvent is its last touch of the device.
NTSTATUS SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KeWaitForSingleObject(&ext->WritesIdleEvent, Executive, KernelMode, FALSE, NULL);
    DropRts(DeviceObject);
    DropDtr(DeviceObject);
    StopReadThread(DeviceObject);
    CompleteWaitIrp(DeviceObject, 0);
    FlagSet(&ext->PortOpen, FALSE);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    KeSetEvent(&ext->PortClosedEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

// The handle is gone: a held wait would otherwise keep the file object, and with it the close,
// from ever coming. It ends with the event mask 0, as at close.
NTSTATUS SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CompleteWaitIrp(DeviceObject, 0);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Both answers are all zeros: a COM port has no size and no position.
static NTSTATUS AnswerZeros(PIRP Irp, ULONG Length, ULONG Bytes)
{
    if (Length < Bytes) {
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, Bytes);
    return CompleteRequest(Irp, STATUS_SUCCESS, Bytes);
}

NTSTATUS SerialQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.QueryFile.Length;
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
        return AnswerZeros(Irp, length, sizeof(FILE_STANDARD_INFORMATION));
    case FilePositionInformation:
        return AnswerZeros(Irp, length, sizeof(FILE_POSITION_INFORMATION));
    default:
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}
