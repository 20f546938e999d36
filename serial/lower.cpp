// CardRwCom: the request channel to the transport driver below and to the port's own device.
// The port's own control transfers and pipe resets are sent to its own device object, so they
// pass the same acceptance test as an application's request and leave by the pass-through rule.
#include "serial/serial.h"

// ============================================================================================
// Synchronous device-control requests
// ============================================================================================

NTSTATUS SendIoctlSynchronous(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID InputBuffer,
                              ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceObject, InputBuffer, InputLength,
                                             OutputBuffer, OutputLength, FALSE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(DeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// One host-to-device class request: a ControlRequestHeader followed by Length data bytes.
// The block is non-paged because the transport's completion path reads it.
NTSTATUS SendClassRequest(PDEVICE_OBJECT DeviceObject, UCHAR Function, UCHAR Request, USHORT Value,
                          USHORT Index, USHORT Length, const void* Buffer)
{
    ULONG total = sizeof(ControlRequestHeader) + Length;
    PUCHAR block = static_cast<PUCHAR>(SerialAllocate(NonPagedPool, total));
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ControlRequestHeader* header = reinterpret_cast<ControlRequestHeader*>(block);
    header->Function = Function;
    header->TransferFlags = CARDRW_TRANSFER_FLAGS_TAKEN;   // host to device
    header->ReservedBits = 0;
    header->Request = Request;
    header->Value = Value;
    header->Index = Index;
    if (Length != 0) {
        RtlCopyMemory(block + sizeof(ControlRequestHeader), Buffer, Length);
    }
    NTSTATUS status = SendIoctlSynchronous(DeviceObject, IOCTL_CARDRW_CONTROL_OUT, block, total, NULL, 0);
    SerialFree(block);
    return status;
}

NTSTATUS ResetWritePipe(PDEVICE_OBJECT DeviceObject)
{
    return SendIoctlSynchronous(DeviceObject, IOCTL_CARDRW_RESET_PIPE, NULL, 0, NULL, 0);
}

// ============================================================================================
// Serial line requests to the port's own device (open and close)
// ============================================================================================

static NTSTATUS CallDriverAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, PKEVENT Event)
{
    NTSTATUS status = IoCallDriver(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
    }
    return status;
}

static NTSTATUS SendSelfIoctl(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PKEVENT Event,
                              PIO_STATUS_BLOCK IoStatusBlock)
{
    KeClearEvent(Event);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceObject, NULL, 0, NULL, 0, FALSE,
                                             Event, IoStatusBlock);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    NTSTATUS status = CallDriverAndWait(DeviceObject, irp, Event);
    return status != STATUS_SUCCESS ? status : IoStatusBlock->Status;
}

static NTSTATUS SendLineRequest(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    return SendSelfIoctl(IoControlCode, DeviceObject, &event, &ioStatus);
}

NTSTATUS RaiseRts(PDEVICE_OBJECT DeviceObject) { return SendLineRequest(DeviceObject, IOCTL_SERIAL_SET_RTS); }
NTSTATUS DropRts(PDEVICE_OBJECT DeviceObject) { return SendLineRequest(DeviceObject, IOCTL_SERIAL_CLR_RTS); }
NTSTATUS RaiseDtr(PDEVICE_OBJECT DeviceObject) { return SendLineRequest(DeviceObject, IOCTL_SERIAL_SET_DTR); }
NTSTATUS DropDtr(PDEVICE_OBJECT DeviceObject) { return SendLineRequest(DeviceObject, IOCTL_SERIAL_CLR_DTR); }

// ============================================================================================
// Pipe bindings
// ============================================================================================

NTSTATUS SendCreateToLower(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KEVENT event;
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(ext->LowerDeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CREATE;
    next->MinorFunction = 0;
    next->FileObject = FileObject;

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// A pseudo file object: only FileName is set; the transport keeps its pipe entry in FsContext.
static PFILE_OBJECT MakePipeFileObject(PCWSTR PipeName)
{
    PFILE_OBJECT file = static_cast<PFILE_OBJECT>(SerialAllocate(PagedPool, sizeof(FILE_OBJECT)));
    if (file != NULL) {
        RtlInitUnicodeString(&file->FileName, PipeName);
    }
    return file;
}

// Sends a create for each pipe, the receive pipe first. The first creates bind the pipes; the
// transport refuses later ones and resets the pipe, so every open starts with clean pipes.
NTSTATUS OpenPipes(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (ext->ReadPipeFileObject == NULL) {
        ext->ReadPipeFileObject = MakePipeFileObject(TEXT("if0pipe1"));
    }
    if (ext->ReadPipeFileObject != NULL) {
        SendCreateToLower(DeviceObject, ext->ReadPipeFileObject);
    }
    if (ext->WritePipeFileObject == NULL) {
        ext->WritePipeFileObject = MakePipeFileObject(TEXT("if0pipe0"));
    }
    if (ext->WritePipeFileObject != NULL) {
        status = SendCreateToLower(DeviceObject, ext->WritePipeFileObject);
    }
    return status;
}

// Called once the device is detached: the transport no longer holds pipe entries in them.
void ReleasePipeFileObjects(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    SerialFree(ext->ReadPipeFileObject);
    SerialFree(ext->WritePipeFileObject);
    ext->ReadPipeFileObject = NULL;
    ext->WritePipeFileObject = NULL;
}

// ============================================================================================
// Transport codes passed through the port
// ============================================================================================

BOOLEAN IsPassThroughCode(ULONG IoControlCode)
{
    switch (IoControlCode) {
    case IOCTL_CARDRW_GET_DESCRIPTOR:
    case IOCTL_CARDRW_RESET_PIPE:
    case IOCTL_CARDRW_CONTROL_OUT:
    case IOCTL_CARDRW_CONTROL_IN:
    case IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR:
        return TRUE;
    default:
        return FALSE;
    }
}

// The transport completes the request; the port sets no completion routine. A pipe reset
// always names the transmit pipe, whatever file object the sender used.
NTSTATUS PassThroughToLower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG IoControlCode)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    if (IoControlCode == IOCTL_CARDRW_RESET_PIPE && ext->WritePipeFileObject == NULL) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (IoControlCode == IOCTL_CARDRW_RESET_PIPE) {
        IoGetNextIrpStackLocation(Irp)->FileObject = ext->WritePipeFileObject;
    }
    return IoCallDriver(ext->LowerDeviceObject, Irp);
}
