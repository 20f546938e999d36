// CardRwCom: driver entry, device creation, pass-down and power forwarding, the Plug and Play
// request count and the small helpers every other file of the port uses.
#include "serial/serial.h"

// The only global of the driver: device numbers handed out since the driver was loaded.
// Written only by AddDevice, which the Plug and Play manager serialises.
static ULONG DeviceInstanceCounter;

// ============================================================================================
// Pool and request helpers
// ============================================================================================

PVOID SerialAllocate(POOL_TYPE PoolType, SIZE_T Bytes)
{
    PVOID block = ExAllocatePool(PoolType, Bytes);
    if (block != NULL) {
        RtlZeroMemory(block, Bytes);
    }
    return block;
}

void SerialFree(PVOID Block)
{
    if (Block != NULL) {
        ExFreePool(Block);
    }
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ============================================================================================
// Outstanding Plug and Play request count
// ============================================================================================

void IncrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KIRQL irql;
    irql = KeAcquireSpinLockRaiseToDpc(&ext->IoCountLock);
    LONG count = InterlockedIncrement(&ext->OutstandingIo);
    if (count == 2) {
        KeClearEvent(&ext->StopEvent);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
}

LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    KIRQL irql;
    irql = KeAcquireSpinLockRaiseToDpc(&ext->IoCountLock);
    LONG count = InterlockedDecrement(&ext->OutstandingIo);
    if (count == 1) {
        KeSetEvent(&ext->StopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    return count;
}

BOOLEAN CanAcceptRequests(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    return !FlagTest(&ext->Removed) && FlagTest(&ext->Started) && !FlagTest(&ext->RemovePending) &&
           !FlagTest(&ext->StopPending);
}

// ============================================================================================
// Forwarding
// ============================================================================================

NTSTATUS SerialPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(SerialExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// The transport driver is the power policy owner; the port keeps no power state.
NTSTATUS SerialDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(SerialExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// ============================================================================================
// Device creation
// ============================================================================================

void InitDefaultTimeouts(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    ext->Timeouts.ReadIntervalTimeout = 0;
    ext->Timeouts.ReadTotalTimeoutMultiplier = 0;
    ext->Timeouts.ReadTotalTimeoutConstant = 50;
    ext->Timeouts.WriteTotalTimeoutMultiplier = 0;
    ext->Timeouts.WriteTotalTimeoutConstant = 0;
    ext->WaitIrp = NULL;
}

static void InitExtensionObjects(PSERIAL_DEVICE_EXTENSION ext)
{
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->ReadThreadStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->ReadThreadExitEvent, NotificationEvent, FALSE);
    // The idle events follow their counters, which start at 0: both start signalled.
    KeInitializeEvent(&ext->WritesIdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&ext->ReadsIdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&ext->RxDataEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->ReadIrpEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext->PortClosedEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&ext->NamingMutex, SynchronizationEvent, TRUE);
    KeInitializeEvent(&ext->LineRequestMutex, SynchronizationEvent, TRUE);
    KeInitializeEvent(&ext->WorkerMutex, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&ext->WriteLock);
    KeInitializeSpinLock(&ext->ReadLock);
    KeInitializeSpinLock(&ext->IoCountLock);
    KeInitializeSpinLock(&ext->RxLock);
    KeInitializeSpinLock(&ext->SettingsLock);
    InitializeListHead(&ext->WritesInFlight);
    InitializeListHead(&ext->FlushQueue);
}

// Copies Name into a new paged buffer of its length plus a terminating zero.
static NTSTATUS CopyDeviceName(PCUNICODE_STRING Name, PUNICODE_STRING Copy)
{
    USHORT bytes = static_cast<USHORT>(Name->Length + sizeof(WCHAR));
    PWCHAR buffer = static_cast<PWCHAR>(SerialAllocate(PagedPool, bytes));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(buffer, Name->Buffer, Name->Length);
    Copy->Buffer = buffer;
    Copy->Length = Name->Length;
    Copy->MaximumLength = bytes;
    return STATUS_SUCCESS;
}

// Builds "\Device\XWQUsbSerial<n>" in Name (whose buffer the caller provides).
static void BuildDeviceName(PUNICODE_STRING Name, ULONG Number)
{
    WCHAR digits[20];
    UNICODE_STRING numberText;
    numberText.Buffer = digits;
    numberText.Length = 0;
    numberText.MaximumLength = sizeof(digits);
    RtlAppendUnicodeToString(Name, TEXT("\\Device\\XWQUsbSerial"));
    RtlIntegerToUnicodeString(Number, 10, &numberText);
    RtlAppendUnicodeStringToString(Name, &numberText);
}

static NTSTATUS CreateSerialDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject)
{
    NTSTATUS status;
    PDEVICE_OBJECT device = NULL;
    UNICODE_STRING name;
    PWCHAR work = static_cast<PWCHAR>(SerialAllocate(PagedPool, SERIAL_WORK_NAME_BYTES));
    if (work == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    name.Buffer = work;
    name.Length = 0;
    name.MaximumLength = SERIAL_WORK_NAME_BYTES - sizeof(WCHAR);

    // A number once taken is never given back, even when the creation fails.
    BuildDeviceName(&name, DeviceInstanceCounter++);

    status = IoCreateDevice(DriverObject, sizeof(SerialDeviceExtension), &name,
                            FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        goto done;
    }
    RtlZeroMemory(device->DeviceExtension, sizeof(SerialDeviceExtension));
    InitDefaultTimeouts(device);
    InitExtensionObjects(SerialExtension(device));

    status = CopyDeviceName(&name, &SerialExtension(device)->DeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        goto done;
    }
    *DeviceObject = device;

done:
    SerialFree(work);
    return status;
}

static void InitPortSettings(PSERIAL_DEVICE_EXTENSION ext)
{
    ext->BaudRate = 9600;
    ext->LineControl.StopBits = STOP_BIT_1;
    ext->LineControl.Parity = NO_PARITY;
    ext->LineControl.WordLength = 8;
    ext->RtsState = 0;
    ext->DtrState = 0;
    FlagSet(&ext->PortOpen, FALSE);
}

static void InitNamingWorkerState(PSERIAL_DEVICE_EXTENSION ext)
{
    FlagSet(&ext->NamingThreadRunning, FALSE);
    KeInitializeEvent(&ext->NamingRefreshEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->NamingStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->NamingExitEvent, NotificationEvent, FALSE);
}

NTSTATUS SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    NTSTATUS status;
    PDEVICE_OBJECT device = NULL;
    PSERIAL_DEVICE_EXTENSION ext;
    PWCHAR linkedName = static_cast<PWCHAR>(SerialAllocate(PagedPool, SERIAL_PORT_NAME_BYTES));
    if (linkedName == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = CreateSerialDevice(DriverObject, &device);
    if (!NT_SUCCESS(status)) {
        goto fail_name;
    }
    ext = SerialExtension(device);
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

    ext->PhysicalDeviceObject = PhysicalDeviceObject;
    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (ext->LowerDeviceObject == NULL) {
        // Without a device below, the port could never reach the card reader/writer.
        status = STATUS_NO_SUCH_DEVICE;
        goto fail_device;
    }

    InitPortSettings(ext);
    IncrementIoCount(device);           // the base count, 0 -> 1
    ext->LinkedPortName = linkedName;
    InitNamingWorkerState(ext);
    StartNamingThread(device);          // the device works without it; its result is not used

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

fail_device:
    SerialFree(ext->DeviceName.Buffer);
    IoDeleteDevice(device);
fail_name:
    SerialFree(linkedName);
    return status;
}

// ============================================================================================
// Entry and unload
// ============================================================================================

static void SerialUnload(PDRIVER_OBJECT DriverObject)
{
    // Every device released its state at REMOVE_DEVICE.
    UNREFERENCED_PARAMETER(DriverObject);
}

SERIAL_ENTRY_POINT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = SerialPassDown;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = SerialRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = SerialWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = SerialFlush;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = SerialQueryInformation;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = SerialDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = SerialDispatchPnp;
    DriverObject->DriverUnload = SerialUnload;
    DriverObject->DriverExtension->AddDevice = SerialAddDevice;
    return STATUS_SUCCESS;
}
