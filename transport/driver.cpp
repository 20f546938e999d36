// CardRwUsb: driver entry, AddDevice, the outstanding-request count, the event-signalling
// completion routine, system control and unload.
#include "transport/transport.h"

// Device interface class of the transport: {5C0B7E41-2D96-4F3A-B1E8-7A94D20C6F15}.
static const GUID GUID_CARDRW_USB_INTERFACE =
    {0x5c0b7e41, 0x2d96, 0x4f3a, {0xb1, 0xe8, 0x7a, 0x94, 0xd2, 0x0c, 0x6f, 0x15}};

// =============================================================================================
// Driver entry and unload
// =============================================================================================

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = TransportUnload;
    return STATUS_SUCCESS;
}

// Every device object is gone by the time the driver unloads; nothing is left to release.
void TransportUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

// =============================================================================================
// Outstanding-request count
// =============================================================================================

// IoCountLock is held only for one change of the count and the event update that goes with it,
// so that a waiter never sees the count and its event disagree.
void IoCountAcquire(TRANSPORT_EXTENSION* ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->IoCountLock);
    if (InterlockedIncrement(&ext->OutstandingIo) == 2) {
        KeClearEvent(&ext->IoIdleEvent);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
}

// The drained event is set after the lock is released and is the last touch of the extension:
// removal may delete the device object as soon as it is signalled.
LONG IoCountRelease(TRANSPORT_EXTENSION* ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->IoCountLock);
    LONG count = InterlockedDecrement(&ext->OutstandingIo);
    if (count == 1) {
        KeSetEvent(&ext->IoIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    if (count == 0) {
        KeSetEvent(&ext->IoDrainedEvent, IO_NO_INCREMENT, FALSE);
    }
    return count;
}

BOOLEAN CanAcceptRequests(TRANSPORT_EXTENSION* ext)
{
    return FlagIsSet(&ext->Started) && !FlagIsSet(&ext->Removed) &&
           !FlagIsSet(&ext->RemovePending) && !FlagIsSet(&ext->StopPending);
}

// Keeps the request with the routine that waits for it on the event in Context.
NTSTATUS SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// =============================================================================================
// Capabilities and the idle power level
// =============================================================================================

NTSTATUS QueryLowerCapabilities(PDEVICE_OBJECT LowerDevice, PDEVICE_CAPABILITIES Capabilities)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
    Capabilities->Version = 1;
    Capabilities->Address = 0xFFFFFFFF;
    Capabilities->UINumber = 0xFFFFFFFF;

    PIRP irp = IoAllocateIrp(LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    // The completion routine kept the request, so its final status is always in the request.
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// The deepest of S1..S3 whose device state stays above D3; 0 when none does.
ULONG ComputeIdlePowerLevel(const DEVICE_CAPABILITIES* Capabilities)
{
    static const SYSTEM_POWER_STATE sleeping[] = {
        PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3};
    ULONG level = 0;
    for (SYSTEM_POWER_STATE state : sleeping) {
        DEVICE_POWER_STATE mapped = Capabilities->DeviceState[state];
        if (mapped < PowerDeviceD3) {
            level = static_cast<ULONG>(mapped);
        }
    }
    return level;
}

// =============================================================================================
// AddDevice
// =============================================================================================

// Copies the interface's link name into the fixed field; a name that does not fit (with its
// terminator) is refused rather than cut, since a cut name would disable the wrong interface.
NTSTATUS StoreInterfaceLinkName(TRANSPORT_EXTENSION* ext, PCUNICODE_STRING Link)
{
    ULONG chars = Link->Length / sizeof(WCHAR);
    if (chars >= TRANSPORT_LINK_NAME_CHARS) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlCopyMemory(ext->InterfaceLinkName, Link->Buffer, chars * sizeof(WCHAR));
    ext->InterfaceLinkName[chars] = 0;
    return STATUS_SUCCESS;
}

static void InitialiseExtension(TRANSPORT_EXTENSION* ext)
{
    RtlZeroMemory(ext, sizeof(*ext));
    ext->StageSize = TRANSPORT_STAGE_SIZE;
    KeInitializeEvent(&ext->IoDrainedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->IoIdleEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->PowerUpEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&ext->IoCountLock);
    KeInitializeSpinLock(&ext->ResetFlagLock);
    KeInitializeSpinLock(&ext->PipeTableLock);
}

// Registers and enables the interface. On failure nothing stays registered as enabled.
static NTSTATUS EnableTransportInterface(PDEVICE_OBJECT pdo, PUNICODE_STRING link)
{
    NTSTATUS status = IoRegisterDeviceInterface(pdo, &GUID_CARDRW_USB_INTERFACE, nullptr, link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoSetDeviceInterfaceState(link, TRUE);
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(link);
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING link = {};
    PDEVICE_OBJECT device = nullptr;
    TRANSPORT_EXTENSION* ext = nullptr;

    NTSTATUS status = EnableTransportInterface(PhysicalDeviceObject, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = IoCreateDevice(DriverObject, sizeof(TRANSPORT_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        goto disable_interface;
    }

    ext = TransportExtension(device);
    InitialiseExtension(ext);
    status = StoreInterfaceLinkName(ext, &link);
    if (!NT_SUCCESS(status)) {
        goto delete_device;
    }

    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    ext->PhysicalDevice = PhysicalDeviceObject;
    ext->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (ext->LowerDevice == nullptr) {
        status = STATUS_NO_SUCH_DEVICE;
        goto delete_device;
    }

    // A failed query leaves only the preset fields, so every device state is 0 and the idle
    // policy stays off.
    QueryLowerCapabilities(ext->LowerDevice, &ext->Capabilities);
    InterlockedExchange(&ext->IdlePowerLevel, static_cast<LONG>(ComputeIdlePowerLevel(&ext->Capabilities)));

    IoCountAcquire(ext);   // the base reference, dropped by removal
    RtlFreeUnicodeString(&link);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

delete_device:
    IoDeleteDevice(device);
disable_interface:
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
    return status;
}

// =============================================================================================
// System control
// =============================================================================================

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCountAcquire(ext);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
    IoCountRelease(ext);
    return status;
}
