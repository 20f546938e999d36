// CardRwUsb: pipe handles. A file opened with a pipe name holds that pipe of the current table;
// a file opened without a name is the one device handle. Also the pipe-level USB operations:
// reset, abort, abort of every open pipe, upstream port reset and the three-pass restoration.
#include "transport/transport.h"

// =============================================================================================
// Pipe names
// =============================================================================================

static BOOLEAN IsDigit(WCHAR c)
{
    return c >= TEXT('0') && c <= TEXT('9');
}

// Reads the first two runs of decimal digits of Name (wrapping 32-bit accumulation), ending at
// a zero character or after LengthChars characters. FALSE unless both runs are there.
BOOLEAN ParsePipeNameIndices(const WCHAR* Name, ULONG LengthChars, ULONG* InterfaceIndex,
                             ULONG* PipeIndex)
{
    ULONG values[2] = {0, 0};
    ULONG at = 0;
    for (ULONG run = 0; run < 2; ++run) {
        while (at < LengthChars && Name[at] != 0 && !IsDigit(Name[at])) {
            ++at;
        }
        if (at >= LengthChars || Name[at] == 0) {
            return FALSE;
        }
        while (at < LengthChars && IsDigit(Name[at])) {
            values[run] = values[run] * 10u + static_cast<ULONG>(Name[at] - TEXT('0'));
            ++at;
        }
    }
    *InterfaceIndex = values[0];
    *PipeIndex = values[1];
    return TRUE;
}

// Caller must hold PipeTableLock: the range checks read the current table.
BOOLEAN ParsePipeName(TRANSPORT_EXTENSION* ext, PCUNICODE_STRING Name, ULONG* InterfaceIndex,
                      ULONG* PipeIndex)
{
    if (Name->Buffer == nullptr ||
        !ParsePipeNameIndices(Name->Buffer, Name->Length / sizeof(WCHAR), InterfaceIndex, PipeIndex)) {
        return FALSE;
    }
    if (ext->Interfaces == nullptr || *InterfaceIndex >= ext->InterfaceCount) {
        return FALSE;
    }
    return *PipeIndex < ext->Interfaces[*InterfaceIndex].PipeCount ? TRUE : FALSE;
}

// =============================================================================================
// Handle look-up
// =============================================================================================

// The pipe entry a handle holds, or null when it holds none of the current table (a device
// handle, or a handle that outlived a stop or removal). Caller must hold PipeTableLock.
static PIPE_ENTRY* HandleEntryLocked(TRANSPORT_EXTENSION* ext, PFILE_OBJECT FileObject)
{
    if (FileObject == nullptr || FileObject->FsContext == nullptr || ext->Interfaces == nullptr) {
        return nullptr;
    }
    if (reinterpret_cast<ULONG_PTR>(FileObject->FsContext2) != ext->TableGeneration) {
        return nullptr;
    }
    return static_cast<PIPE_ENTRY*>(FileObject->FsContext);
}

// Copies the pipe information of the handle's pipe, so that the caller can use it without the
// lock and without reaching into a table that a stop may release meanwhile.
BOOLEAN LookupHandlePipe(TRANSPORT_EXTENSION* ext, PFILE_OBJECT FileObject, USBD_PIPE_INFORMATION* Info)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->PipeTableLock);
    PIPE_ENTRY* entry = HandleEntryLocked(ext, FileObject);
    if (entry != nullptr) {
        *Info = entry->Info;
    }
    KeReleaseSpinLock(&ext->PipeTableLock, irql);
    return entry != nullptr ? TRUE : FALSE;
}

// =============================================================================================
// Create and close
// =============================================================================================

enum class PipeOpenResult { Opened, AlreadyOpen, InvalidName };

// Names, claims and binds a pipe under PipeTableLock, so that a stop cannot release the entry
// between the claim and the bind. Info receives the pipe's information in both found cases.
static PipeOpenResult OpenNamedPipe(TRANSPORT_EXTENSION* ext, PFILE_OBJECT FileObject,
                                    USBD_PIPE_INFORMATION* Info)
{
    ULONG iface = 0;
    ULONG pipe = 0;
    PipeOpenResult result = PipeOpenResult::InvalidName;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->PipeTableLock);
    if (ParsePipeName(ext, &FileObject->FileName, &iface, &pipe)) {
        PIPE_ENTRY* entry = &ext->Interfaces[iface].Pipes[pipe];
        *Info = entry->Info;
        if (InterlockedIncrement(&entry->OpenCount) > 1) {
            InterlockedDecrement(&entry->OpenCount);   // the existing handle keeps the pipe
            result = PipeOpenResult::AlreadyOpen;
        } else {
            FileObject->FsContext = entry;
            FileObject->FsContext2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(ext->TableGeneration));
            InterlockedIncrement(&ext->OpenPipeCount);
            result = PipeOpenResult::Opened;
        }
    }
    KeReleaseSpinLock(&ext->PipeTableLock, irql);
    return result;
}

static NTSTATUS OpenDeviceHandle(TRANSPORT_EXTENSION* ext, PFILE_OBJECT FileObject)
{
    if (InterlockedIncrement(&ext->DeviceOpenCount) > 1) {
        InterlockedDecrement(&ext->DeviceOpenCount);
        return STATUS_INVALID_PARAMETER;
    }
    FileObject->FsContext = nullptr;
    FileObject->FsContext2 = nullptr;
    IdlePowerPolicy(ext, FALSE);
    return STATUS_SUCCESS;
}

static void ClearResetFlags(TRANSPORT_EXTENSION* ext)
{
    FlagClear(&ext->WriteResetPending);
    FlagClear(&ext->ReadResetPending);
}

static NTSTATUS OpenPipeHandle(TRANSPORT_EXTENSION* ext, PFILE_OBJECT FileObject)
{
    USBD_PIPE_INFORMATION info;
    switch (OpenNamedPipe(ext, FileObject, &info)) {
    case PipeOpenResult::Opened:
        ClearResetFlags(ext);
        IdlePowerPolicy(ext, FALSE);
        return STATUS_SUCCESS;
    case PipeOpenResult::AlreadyOpen:
        RestorePipe(ext, &info);
        ClearResetFlags(ext);
        return STATUS_INVALID_PARAMETER;
    default:
        // No table since the dispatch's test means a stop or removal came in between.
        return CanAcceptRequests(ext) ? STATUS_INVALID_PARAMETER : STATUS_DELETE_PENDING;
    }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS status;

    IoCountAcquire(ext);
    if (!CanAcceptRequests(ext)) {
        status = STATUS_DELETE_PENDING;
    } else if (file == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (file->FileName.Length == 0) {
        status = OpenDeviceHandle(ext, file);
    } else {
        status = OpenPipeHandle(ext, file);
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoCountRelease(ext);
    return status;
}

// Gives back what the handle holds. A handle of a released table holds nothing: its close
// changes no count and never touches the released entry.
static void ReleaseHandle(TRANSPORT_EXTENSION* ext, PFILE_OBJECT FileObject)
{
    if (FileObject == nullptr) {
        return;
    }
    if (FileObject->FsContext == nullptr) {
        InterlockedDecrement(&ext->DeviceOpenCount);
        return;
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->PipeTableLock);
    PIPE_ENTRY* entry = HandleEntryLocked(ext, FileObject);
    if (entry != nullptr && InterlockedCompareExchange(&entry->OpenCount, 0, 0) != 0) {
        InterlockedDecrement(&ext->OpenPipeCount);
        InterlockedDecrement(&entry->OpenCount);
    }
    KeReleaseSpinLock(&ext->PipeTableLock, irql);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    IoCountAcquire(ext);
    ReleaseHandle(ext, IoGetCurrentIrpStackLocation(Irp)->FileObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    // The reference is held over the idle policy too, so that a removal cannot delete the
    // extension under it.
    IdlePowerPolicy(ext, TRUE);
    IoCountRelease(ext);
    return STATUS_SUCCESS;
}

// =============================================================================================
// Pipe and port operations (PASSIVE_LEVEL: they wait for the USB stack)
// =============================================================================================

static NTSTATUS SubmitPipeRequest(TRANSPORT_EXTENSION* ext, USHORT function, USBD_PIPE_HANDLE pipe)
{
    PURB urb = static_cast<PURB>(TransportAllocate(sizeof(struct _URB_PIPE_REQUEST)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbPipeRequest.Hdr.Function = function;
    urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipe;
    NTSTATUS status = SubmitUrbSync(ext, urb);
    TransportFree(urb);
    return status;
}

NTSTATUS ResetPipe(TRANSPORT_EXTENSION* ext, const USBD_PIPE_INFORMATION* Info)
{
    return SubmitPipeRequest(ext, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Info->PipeHandle);
}

NTSTATUS AbortPipe(TRANSPORT_EXTENSION* ext, PIPE_ENTRY* Entry)
{
    NTSTATUS status = SubmitPipeRequest(ext, URB_FUNCTION_ABORT_PIPE, Entry->Info.PipeHandle);
    if (NT_SUCCESS(status)) {
        InterlockedExchange(&Entry->OpenCount, 0);
    }
    return status;
}

// Runs in the Plug and Play thread, which alone releases the table, so the table stays put
// while this walks it without PipeTableLock (the aborts wait and cannot run under it).
NTSTATUS AbortOpenPipes(TRANSPORT_EXTENSION* ext)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (ext->Interfaces == nullptr) {
        return status;
    }
    for (ULONG i = 0; i < ext->InterfaceCount; ++i) {
        INTERFACE_ENTRY* iface = &ext->Interfaces[i];
        for (ULONG p = 0; p < iface->PipeCount; ++p) {
            PIPE_ENTRY* entry = &iface->Pipes[p];
            if (InterlockedCompareExchange(&entry->OpenCount, 0, 0) == 0) {
                continue;
            }
            status = AbortPipe(ext, entry);
            if (status == STATUS_SUCCESS) {
                InterlockedDecrement(&ext->OpenPipeCount);
            }
        }
    }
    return status;
}

NTSTATUS ResetUpstreamPort(TRANSPORT_EXTENSION* ext)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, ext->LowerDevice,
                                             nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// Three passes whatever their results; a failed pipe reset is followed by a port reset.
void RestorePipe(TRANSPORT_EXTENSION* ext, const USBD_PIPE_INFORMATION* Info)
{
    for (int pass = 0; pass < 3; ++pass) {
        if (!NT_SUCCESS(ResetPipe(ext, Info))) {
            ResetUpstreamPort(ext);
        }
    }
}
