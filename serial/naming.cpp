// CardRwCom: the port's COM name. It is read from the device's hardware key and published in
// three places while the device runs: the DOS-device link \DosDevices\Global\<COM name>, the
// serial device map value named after the device object, and the COM-port device interface.
// A naming worker watches for a renamed port after each open and moves the link.
//
// Locking: every routine that publishes, moves or withdraws a name holds NamingMutex, so the
// start, the stop, an open and the naming worker never interleave their steps. The link that
// exists is always the one recorded in LinkedPortName (SymbolicLinkCreated), and it is the one
// withdrawn: a renamed port never leaves a link of its old name behind.
#include "serial/serial.h"

// GUID_DEVINTERFACE_COMPORT {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
static const GUID SerialComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

#define NAMING_POLL_ATTEMPTS 100
#define NAMING_POLL_INTERVAL (-1000000LL)   // 100 ms, relative, in 100 ns units
#define LINK_NAME_CHARS      160            // "\DosDevices\Global\" + 128 characters + zero

// ============================================================================================
// Wide strings
// ============================================================================================

static ULONG WideLength(const WCHAR* Text, ULONG MaxCount)
{
    ULONG n = 0;
    while (n < MaxCount && Text[n] != 0) {
        ++n;
    }
    return n;
}

// 1 when both zero-terminated strings are equal, 0 otherwise; never reads past MaxCount.
ULONG CompareWideStrings(const WCHAR* A, const WCHAR* B, ULONG MaxCount)
{
    for (ULONG i = 0; i < MaxCount; ++i) {
        if (A[i] != B[i]) {
            return 0;
        }
        if (A[i] == 0) {
            return 1;
        }
    }
    return 1;
}

// ============================================================================================
// Registry
// ============================================================================================

static NTSTATUS OpenHardwareKey(PSERIAL_DEVICE_EXTENSION ext, HANDLE* Key)
{
    return IoOpenDeviceRegistryKey(ext->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                   STANDARD_RIGHTS_READ, Key);
}

// Reads the data of ValueName into Buffer. Data longer than BufferSize counts as missing:
// Buffer stays as it was and the result is a failure.
static NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG BufferSize)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG blockSize = sizeof(KEY_VALUE_FULL_INFORMATION) + name.Length + sizeof(WCHAR) + BufferSize;
    PKEY_VALUE_FULL_INFORMATION info =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(SerialAllocate(PagedPool, blockSize));
    if (info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, blockSize, &resultLength);
    if (NT_SUCCESS(status)) {
        if (info->DataLength > BufferSize || info->DataOffset > blockSize ||
            info->DataLength > blockSize - info->DataOffset) {
            status = STATUS_BUFFER_OVERFLOW;
        } else {
            RtlCopyMemory(Buffer, reinterpret_cast<PUCHAR>(info) + info->DataOffset, info->DataLength);
        }
    }
    SerialFree(info);
    return status;
}

// Reads "PortName", or "Identifier" when that fails, into a new zero-filled port-name buffer
// (at most 128 characters, always zero-terminated). On failure nothing stays allocated.
static NTSTATUS ReadPortName(HANDLE Key, PWCHAR* PortName)
{
    PWCHAR buffer = static_cast<PWCHAR>(SerialAllocate(PagedPool, SERIAL_PORT_NAME_BYTES));
    *PortName = NULL;
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = QueryRegistryValue(Key, TEXT("PortName"), buffer, SERIAL_PORT_NAME_DATA);
    if (!NT_SUCCESS(status)) {
        RtlZeroMemory(buffer, SERIAL_PORT_NAME_BYTES);
        status = QueryRegistryValue(Key, TEXT("Identifier"), buffer, SERIAL_PORT_NAME_DATA);
    }
    if (NT_SUCCESS(status) && buffer[0] == 0) {
        status = STATUS_OBJECT_NAME_INVALID;   // an empty name cannot make a link
    }
    if (!NT_SUCCESS(status)) {
        SerialFree(buffer);
        return status;
    }
    *PortName = buffer;
    return STATUS_SUCCESS;
}

static NTSTATUS ReadPortNameFromDevice(PSERIAL_DEVICE_EXTENSION ext, PWCHAR* PortName)
{
    HANDLE key = NULL;
    *PortName = NULL;
    NTSTATUS status = OpenHardwareKey(ext, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReadPortName(key, PortName);
    ZwClose(key);
    return status;
}

// ============================================================================================
// DOS-device link
// ============================================================================================

// "\DosDevices\Global\<PortName>" in the caller's buffer of LINK_NAME_CHARS characters.
static void BuildDosDeviceName(const WCHAR* PortName, PWCHAR Buffer, PUNICODE_STRING LinkName)
{
    LinkName->Buffer = Buffer;
    LinkName->Length = 0;
    LinkName->MaximumLength = (LINK_NAME_CHARS - 1) * sizeof(WCHAR);
    RtlZeroMemory(Buffer, LINK_NAME_CHARS * sizeof(WCHAR));
    RtlAppendUnicodeToString(LinkName, TEXT("\\DosDevices\\Global\\"));
    RtlAppendUnicodeToString(LinkName, PortName);
}

// Caller holds NamingMutex.
static NTSTATUS CreatePortLink(PSERIAL_DEVICE_EXTENSION ext, const WCHAR* PortName)
{
    WCHAR buffer[LINK_NAME_CHARS];
    UNICODE_STRING link;
    BuildDosDeviceName(PortName, buffer, &link);
    NTSTATUS status = IoCreateSymbolicLink(&link, &ext->DeviceName);
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(ext->LinkedPortName, SERIAL_PORT_NAME_BYTES);
        RtlCopyMemory(ext->LinkedPortName, PortName, WideLength(PortName, 128) * sizeof(WCHAR));
        ext->SymbolicLinkCreated = TRUE;
    }
    return status;
}

// Caller holds NamingMutex. Deletes the link this device made, under the name it made it with.
static void DeletePortLink(PSERIAL_DEVICE_EXTENSION ext)
{
    if (!ext->SymbolicLinkCreated) {
        return;
    }
    WCHAR buffer[LINK_NAME_CHARS];
    UNICODE_STRING link;
    BuildDosDeviceName(ext->LinkedPortName, buffer, &link);
    IoDeleteSymbolicLink(&link);
    ext->SymbolicLinkCreated = FALSE;
}

// ============================================================================================
// Serial device map and COM-port interface
// ============================================================================================

// Caller holds NamingMutex. A copy of the COM name sized to it, so no name of up to 128
// characters is cut or loses its terminating zero; the previous copy is released first.
static NTSTATUS StoreSerialCommName(PSERIAL_DEVICE_EXTENSION ext, const WCHAR* PortName)
{
    ULONG chars = WideLength(PortName, 128);
    USHORT bytes = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
    SerialFree(ext->SerialCommName.Buffer);
    ext->SerialCommName.Buffer = static_cast<PWCHAR>(SerialAllocate(PagedPool, bytes));
    if (ext->SerialCommName.Buffer == NULL) {
        ext->SerialCommName.Length = 0;
        ext->SerialCommName.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(ext->SerialCommName.Buffer, PortName, chars * sizeof(WCHAR));
    ext->SerialCommName.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    ext->SerialCommName.MaximumLength = bytes;
    return STATUS_SUCCESS;
}

static NTSTATUS WriteSerialCommEntry(PSERIAL_DEVICE_EXTENSION ext)
{
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, TEXT("SERIALCOMM"),
                                            ext->DeviceName.Buffer, REG_SZ, ext->SerialCommName.Buffer,
                                            ext->SerialCommName.Length + sizeof(WCHAR));
    if (NT_SUCCESS(status)) {
        ext->SerialCommWritten = TRUE;
    }
    return status;
}

static NTSTATUS EnableComPortInterface(PSERIAL_DEVICE_EXTENSION ext)
{
    NTSTATUS status = IoRegisterDeviceInterface(ext->PhysicalDeviceObject, &SerialComPortInterface,
                                                NULL, &ext->InterfaceName);
    if (!NT_SUCCESS(status)) {
        ext->InterfaceName.Buffer = NULL;
        ext->InterfaceName.Length = 0;
        ext->InterfaceName.MaximumLength = 0;
        return status;
    }
    return IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
}

// Caller holds NamingMutex. Withdraws whatever is published, in reverse order of publishing.
static void WithdrawPortName(PSERIAL_DEVICE_EXTENSION ext)
{
    if (ext->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
        RtlFreeUnicodeString(&ext->InterfaceName);
        ext->InterfaceName.Buffer = NULL;
        ext->InterfaceName.Length = 0;
        ext->InterfaceName.MaximumLength = 0;
    }
    if (ext->SerialCommWritten) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, TEXT("SERIALCOMM"), ext->DeviceName.Buffer);
        ext->SerialCommWritten = FALSE;
    }
    DeletePortLink(ext);
    SerialFree(ext->SerialCommName.Buffer);
    ext->SerialCommName.Buffer = NULL;
    ext->SerialCommName.Length = 0;
    ext->SerialCommName.MaximumLength = 0;
}

// ============================================================================================
// Start, stop and open
// ============================================================================================

// Caller holds NamingMutex.
static NTSTATUS PublishPortName(PSERIAL_DEVICE_EXTENSION ext)
{
    HANDLE key = NULL;
    PWCHAR portName = NULL;
    NTSTATUS status = OpenHardwareKey(ext, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A missing value leaves the setting as an earlier start read it.
    QueryRegistryValue(key, TEXT("SerialSkipExternalNaming"), &ext->SkipExternalNaming,
                       sizeof(ext->SkipExternalNaming));
    if (ext->SkipExternalNaming != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }
    status = ReadPortName(key, &portName);
    ZwClose(key);
    if (NT_SUCCESS(status)) {
        status = StoreSerialCommName(ext, portName);
    }
    if (NT_SUCCESS(status)) {
        status = CreatePortLink(ext, portName);
    }
    if (NT_SUCCESS(status)) {
        status = WriteSerialCommEntry(ext);
    }
    if (NT_SUCCESS(status)) {
        status = EnableComPortInterface(ext);
    }
    if (!NT_SUCCESS(status)) {
        WithdrawPortName(ext);
    }
    SerialFree(portName);
    return status;
}

NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    MutexAcquire(&ext->NamingMutex);
    WithdrawPortName(ext);   // nothing is published here unless a start follows a failed one
    NTSTATUS status = PublishPortName(ext);
    MutexRelease(&ext->NamingMutex);
    return status;
}

void RemovePortName(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    MutexAcquire(&ext->NamingMutex);
    WithdrawPortName(ext);
    MutexRelease(&ext->NamingMutex);
}

// At every open: the link follows the COM name the hardware key holds now.
NTSTATUS RefreshPortLink(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    PWCHAR portName = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    MutexAcquire(&ext->NamingMutex);
    if (ext->SkipExternalNaming != 0) {
        goto done;
    }
    // A stop or removal that began meanwhile has withdrawn the name: publish nothing again.
    if (!FlagTest(&ext->Started) || FlagTest(&ext->Removed)) {
        status = STATUS_DELETE_PENDING;
        goto done;
    }
    status = ReadPortNameFromDevice(ext, &portName);
    if (!NT_SUCCESS(status)) {
        goto done;
    }
    if (ext->SymbolicLinkCreated &&
        CompareWideStrings(portName, ext->LinkedPortName, SERIAL_PORT_NAME_BYTES / sizeof(WCHAR))) {
        goto done;   // the link already carries the current name
    }
    DeletePortLink(ext);
    status = CreatePortLink(ext, portName);

done:
    MutexRelease(&ext->NamingMutex);
    SerialFree(portName);
    return status;
}

// ============================================================================================
// Naming worker
// ============================================================================================

// Caller holds NamingMutex. 0 when the key's COM name differs from the linked one, -1 when it
// is the same or cannot be read.
static LONG PortNameChanged(PSERIAL_DEVICE_EXTENSION ext, const WCHAR* PortName)
{
    if (PortName == NULL) {
        return -1;
    }
    return CompareWideStrings(PortName, ext->LinkedPortName, SERIAL_PORT_NAME_BYTES / sizeof(WCHAR)) ? -1 : 0;
}

// Caller holds NamingMutex. Moves the link to PortName.
static NTSTATUS RelinkPortName(PSERIAL_DEVICE_EXTENSION ext, const WCHAR* PortName)
{
    DeletePortLink(ext);
    return CreatePortLink(ext, PortName);
}

// One polling attempt. TRUE when polling can end: the link was moved, or there is no link
// of this device to watch (external naming off, or the name withdrawn by a stop).
static BOOLEAN CheckForRename(PSERIAL_DEVICE_EXTENSION ext)
{
    PWCHAR portName = NULL;
    BOOLEAN finished = FALSE;
    MutexAcquire(&ext->NamingMutex);
    if (ext->SkipExternalNaming != 0 || !ext->SymbolicLinkCreated) {
        finished = TRUE;
        goto done;
    }
    ReadPortNameFromDevice(ext, &portName);
    if (PortNameChanged(ext, portName) == 0) {
        RelinkPortName(ext, portName);
        finished = TRUE;
    }

done:
    MutexRelease(&ext->NamingMutex);
    SerialFree(portName);
    return finished;
}

// Up to 100 attempts 100 ms apart. A stop request ends the polling at once: TRUE then.
static BOOLEAN PollForRename(PSERIAL_DEVICE_EXTENSION ext)
{
    LARGE_INTEGER interval;
    interval.QuadPart = NAMING_POLL_INTERVAL;
    for (int attempt = 0; attempt < NAMING_POLL_ATTEMPTS; ++attempt) {
        if (CheckForRename(ext)) {
            return FALSE;
        }
        if (KeWaitForSingleObject(&ext->NamingStopEvent, Executive, KernelMode, FALSE, &interval) ==
            STATUS_SUCCESS) {
            return TRUE;
        }
    }
    return FALSE;
}

static void NamingThreadMain(PVOID Context)
{
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Context);
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(device);
    PVOID events[2] = {&ext->NamingRefreshEvent, &ext->NamingStopEvent};
    KeSetPriorityThread(KeGetCurrentThread(), SERIAL_WORKER_PRIORITY);
    for (;;) {
        NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (wait == STATUS_WAIT_1) {
            break;
        }
        if (wait == STATUS_WAIT_0) {
            KeClearEvent(&ext->NamingRefreshEvent);
            if (PollForRename(ext)) {
                break;
            }
        }
    }
    KeClearEvent(&ext->NamingStopEvent);
    KeSetEvent(&ext->NamingExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartNamingThread(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    HANDLE thread = NULL;
    if (FlagTest(&ext->NamingThreadRunning)) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                           NamingThreadMain, DeviceObject);
    if (!NT_SUCCESS(status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The thread object lets the removal wait until the worker has really left the driver.
    if (!NT_SUCCESS(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode,
                                              &ext->NamingThreadObject, NULL))) {
        ext->NamingThreadObject = NULL;
    }
    ZwClose(thread);
    FlagSet(&ext->NamingThreadRunning, TRUE);
    return status;
}

void StopNamingThread(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION ext = SerialExtension(DeviceObject);
    if (!FlagTest(&ext->NamingThreadRunning)) {
        return;
    }
    FlagSet(&ext->NamingThreadRunning, FALSE);
    KeSetEvent(&ext->NamingStopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&ext->NamingExitEvent, Executive, KernelMode, FALSE, NULL);
    if (ext->NamingThreadObject != NULL) {
        KeWaitForSingleObject(ext->NamingThreadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(ext->NamingThreadObject);
        ext->NamingThreadObject = NULL;
    }
}
