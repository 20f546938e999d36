// The application's file I/O, as the I/O manager serves it: open by name (create request on
// the top of the device's stack), close (cleanup at once, close after the file's last request),
// read, write and device control with buffered, direct and neither transfers, overlapped
// requests and their cancellation.
#include "app_internal.h"
#include "kernel_internal.h"

#include <map>

namespace sim {
namespace app {

// =====================================================================================
// Requests in flight
// =====================================================================================
// One request of the application. Two references: the issuer's, dropped once it has its
// answer (or has left a pending overlapped request), and the completion's. Cancellers take
// one more while they call IoCancelIrp. The file's lock guards the count.
struct AppRequest {
    std::shared_ptr<OpenFile> file;
    PIRP irp = nullptr;
    PVOID systemBuffer = nullptr;
    PMDL mdl = nullptr;
    PVOID userOutput = nullptr;     // where buffered output goes at completion
    ULONG userOutputLength = 0;
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<EventObject> userEvent;
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::thread::id thread;
    int references = 2;
};

namespace {

// Opens per device object, for exclusive devices (the I/O manager's reference count).
std::mutex g_openLock;
std::map<PDEVICE_OBJECT, ULONG> g_opens;

void FreeRequest(AppRequest *request) {
    if (request->systemBuffer != nullptr) ExFreePool(request->systemBuffer);
    if (request->mdl != nullptr) {
        if (request->mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(request->mdl);
        detail::FreeMdlInternal(request->mdl);
    }
    request->irp->MdlAddress = nullptr;
    IoFreeIrp(request->irp);
    delete request;
}

// Drops one reference; the last one frees the request and, when the file is closing and this
// was its last request, has the close request sent from the simulation's worker.
void Release(AppRequest *request) {
    std::shared_ptr<OpenFile> file = request->file;
    bool last, sendClose = false;
    {
        std::lock_guard<std::mutex> guard(file->lock);
        last = --request->references == 0;
        if (last) {
            file->outstanding.remove(request);
            sendClose = file->closing && file->outstanding.empty() && !file->closeSent;
        }
    }
    if (!last) return;
    FreeRequest(request);
    if (sendClose) ScheduleAfter(0, [file] { SendClose(file); });
}

// Runs when the request completes, at whatever IRQL the completer is at.
NTSTATUS AppRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *request = static_cast<AppRequest *>(context);
    request->status = irp->IoStatus.Status;
    request->information = irp->IoStatus.Information;
    if (request->userOutput != nullptr && request->systemBuffer != nullptr && !NT_ERROR(request->status)) {
        ULONG_PTR bytes = request->information < request->userOutputLength ? request->information
                                                                            : request->userOutputLength;
        memcpy(request->userOutput, request->systemBuffer, bytes);
    }
    if (request->overlapped != nullptr) {
        __atomic_store_n(&request->overlapped->InternalHigh, request->information, __ATOMIC_RELEASE);
        __atomic_store_n(&request->overlapped->Internal, (ULONG_PTR)(LONG_PTR)request->status, __ATOMIC_RELEASE);
    }
    KeSetEvent(request->userEvent ? &request->userEvent->event : &request->file->fileEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    Release(request);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// =====================================================================================
// Transfer buffers
// =====================================================================================
enum class Transfer { Buffered, Direct, Neither };

Transfer TransferOf(PDEVICE_OBJECT top, const IoParameters &parameters) {
    if (parameters.major == IRP_MJ_DEVICE_CONTROL || parameters.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        switch (METHOD_FROM_CTL_CODE(parameters.ioControlCode)) {
        case METHOD_BUFFERED: return Transfer::Buffered;
        case METHOD_NEITHER: return Transfer::Neither;
        default: return Transfer::Direct;
        }
    }
    if (top->Flags & DO_BUFFERED_IO) return Transfer::Buffered;
    if (top->Flags & DO_DIRECT_IO) return Transfer::Direct;
    return Transfer::Neither;
}

// The MDL of a direct transfer describes the application's buffer with its pages locked, as
// the I/O manager probes and locks them before the driver sees the request; they are unlocked
// when the request is freed.
PMDL LockedMdlFor(PVOID buffer, ULONG length, bool deviceWrites) {
    PMDL mdl = detail::AllocateMdlInternal(buffer, length);
    if (mdl != nullptr && !(mdl->MdlFlags & MDL_PAGES_LOCKED))
        MmProbeAndLockPages(mdl, UserMode, deviceWrites ? IoWriteAccess : IoReadAccess);
    return mdl;
}

PVOID AllocateSystemBuffer(ULONG size, const void *copyFrom, ULONG copyLength) {
    auto *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, 0x20206F49 /* 'Io  ' */));
    if (buffer == nullptr) return nullptr;
    memset(buffer, 0, size);
    if (copyFrom != nullptr && copyLength != 0) memcpy(buffer, copyFrom, copyLength);
    return buffer;
}

// Fills the request's buffers and stack parameters; false when an allocation failed.
bool PrepareTransfer(AppRequest *request, PDEVICE_OBJECT top, const IoParameters &p, LPOVERLAPPED overlapped) {
    PIRP irp = request->irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    Transfer transfer = TransferOf(top, p);
    bool control = p.major == IRP_MJ_DEVICE_CONTROL || p.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (control) {
        next->Parameters.DeviceIoControl.OutputBufferLength = p.outputLength;
        next->Parameters.DeviceIoControl.InputBufferLength = p.inputLength;
        next->Parameters.DeviceIoControl.IoControlCode = p.ioControlCode;
        irp->UserBuffer = p.output;
        if (transfer == Transfer::Neither) {
            next->Parameters.DeviceIoControl.Type3InputBuffer = p.input;
            return true;
        }
        ULONG size = transfer == Transfer::Buffered && p.outputLength > p.inputLength ? p.outputLength : p.inputLength;
        if (size != 0) {
            request->systemBuffer = AllocateSystemBuffer(size, p.input, p.inputLength);
            if (request->systemBuffer == nullptr) return false;
            irp->AssociatedIrp.SystemBuffer = request->systemBuffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (transfer == Transfer::Buffered && p.outputLength != 0) {
            request->userOutput = p.output;
            request->userOutputLength = p.outputLength;
            irp->Flags |= IRP_INPUT_OPERATION;
        } else if (transfer == Transfer::Direct && p.outputLength != 0) {
            request->mdl = LockedMdlFor(p.output, p.outputLength, true);
            if (request->mdl == nullptr) return false;
            irp->MdlAddress = request->mdl;
        }
        return true;
    }
    bool read = p.major == IRP_MJ_READ;
    PVOID data = read ? p.output : p.input;
    ULONG length = read ? p.outputLength : p.inputLength;
    LARGE_INTEGER offset;
    offset.QuadPart = overlapped != nullptr ? ((LONGLONG)overlapped->OffsetHigh << 32) | overlapped->Offset : 0;
    next->Parameters.Read.Length = length;
    next->Parameters.Read.ByteOffset = offset;
    irp->UserBuffer = data;
    if (transfer == Transfer::Buffered && length != 0) {
        request->systemBuffer = AllocateSystemBuffer(length, read ? nullptr : data, read ? 0 : length);
        if (request->systemBuffer == nullptr) return false;
        irp->AssociatedIrp.SystemBuffer = request->systemBuffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (read ? IRP_INPUT_OPERATION : 0);
        if (read) {
            request->userOutput = data;
            request->userOutputLength = length;
        }
    } else if (transfer == Transfer::Direct && length != 0) {
        request->mdl = LockedMdlFor(data, length, read);
        if (request->mdl == nullptr) return false;
        irp->MdlAddress = request->mdl;
    }
    irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    return true;
}

// =====================================================================================
// Requests outside the application's I/O: create, cleanup, close
// =====================================================================================
NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendFileRequest(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major, ULONG options, USHORT share,
                         ULONG_PTR *information) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Flags = IRP_SYNCHRONOUS_API | (major == IRP_MJ_CREATE ? IRP_CREATE_OPERATION : 0) |
                 (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    if (major == IRP_MJ_CREATE) {
        next->Parameters.Create.Options = options;
        next->Parameters.Create.ShareAccess = share;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information != nullptr) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

// =====================================================================================
// Names
// =====================================================================================
// "\\.\COM3" and "\\?\..." name the DOS-device directory; a bare "COMn" is a device too.
bool NativeNameOf(const std::u16string &name, std::u16string *native) {
    if (name.size() > 4 && (name.compare(0, 4, u"\\\\.\\") == 0 || name.compare(0, 4, u"\\\\?\\") == 0)) {
        *native = u"\\??\\" + name.substr(4);
        return true;
    }
    std::u16string upper = pnp::Upcase(name);
    if (upper.size() > 3 && upper.compare(0, 3, u"COM") == 0 &&
        upper.find_first_not_of(u"0123456789", 3) == std::u16string::npos) {
        *native = u"\\??\\" + name;
        return true;
    }
    return false;
}

ULONG DispositionOf(DWORD creation) {
    switch (creation) {
    case CREATE_NEW: return 2;         // FILE_CREATE
    case CREATE_ALWAYS: return 5;      // FILE_OVERWRITE_IF
    case OPEN_ALWAYS: return 3;        // FILE_OPEN_IF
    case TRUNCATE_EXISTING: return 4;  // FILE_OVERWRITE
    default: return 1;                 // FILE_OPEN
    }
}

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, const std::u16string &remainder, bool synchronous, DWORD access,
                           DWORD share) {
    auto *file = static_cast<PFILE_OBJECT>(calloc(1, sizeof(FILE_OBJECT)));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->Flags = synchronous ? 0x00000002 /* FO_SYNCHRONOUS_IO */ : 0;
    file->ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    file->SharedRead = (share & FILE_SHARE_READ) != 0;
    file->SharedWrite = (share & FILE_SHARE_WRITE) != 0;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    if (!remainder.empty()) {
        size_t bytes = remainder.size() * sizeof(WCHAR);
        file->FileName.Buffer = static_cast<PWSTR>(calloc(1, bytes + sizeof(WCHAR)));
        memcpy(file->FileName.Buffer, remainder.data(), bytes);
        file->FileName.Length = (USHORT)bytes;
        file->FileName.MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    }
    RegisterObject(file, [file] {
        free(file->FileName.Buffer);
        free(file);
    });
    return file;
}

bool ClaimOpen(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_openLock);
    if ((device->Flags & DO_EXCLUSIVE) && g_opens[device] != 0) return false;
    g_opens[device]++;
    return true;
}

void ReleaseOpen(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_openLock);
    if (--g_opens[device] == 0) g_opens.erase(device);
}

}  // namespace

// =====================================================================================
// Issuing requests
// =====================================================================================
NTSTATUS IssueRequest(const std::shared_ptr<OpenFile> &file, const IoParameters &parameters, LPOVERLAPPED overlapped,
                      ULONG_PTR *information) {
    bool wait = !file->overlapped || overlapped == nullptr;
    if (!file->overlapped) KeWaitForSingleObject(&file->synchronousLock, Executive, UserMode, FALSE, nullptr);
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file->file);
    ObfReferenceObject(top);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    auto *request = new AppRequest;
    request->file = file;
    request->thread = std::this_thread::get_id();
    request->overlapped = overlapped;
    if (overlapped != nullptr && overlapped->hEvent != nullptr)
        request->userEvent = EventOf((HANDLE)((uintptr_t)overlapped->hEvent & ~(uintptr_t)1));
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    request->irp = IoAllocateIrp(top->StackSize, FALSE);
    if (request->irp == nullptr) {
        delete request;
    } else if (!PrepareTransfer(request, top, parameters, overlapped)) {
        FreeRequest(request);
    } else {
        PIRP irp = request->irp;
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = file->file;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = parameters.major;
        next->FileObject = file->file;
        IoSetCompletionRoutine(irp, AppRequestDone, request, TRUE, TRUE, TRUE);
        {
            std::lock_guard<std::mutex> guard(file->lock);
            file->outstanding.push_back(request);
        }
        if (overlapped != nullptr) {
            overlapped->Internal = (ULONG_PTR)(LONG_PTR)STATUS_PENDING;
            overlapped->InternalHigh = 0;
        }
        if (request->userEvent) KeClearEvent(&request->userEvent->event);
        KeClearEvent(&file->fileEvent);
        status = IoCallDriver(top, irp);
        if (wait || status != STATUS_PENDING) {
            KeWaitForSingleObject(&request->done, Executive, UserMode, FALSE, nullptr);
            status = request->status;
            if (information != nullptr) *information = request->information;
        }
        Release(request);
    }
    ObfDereferenceObject(top);
    if (!file->overlapped) KeSetEvent(&file->synchronousLock, IO_NO_INCREMENT, FALSE);
    return status;
}

void SendClose(const std::shared_ptr<OpenFile> &file) {
    {
        std::lock_guard<std::mutex> guard(file->lock);
        if (file->closeSent) return;
        file->closeSent = true;
    }
    SendFileRequest(file->top, file->file, IRP_MJ_CLOSE, 0, 0, nullptr);
    ReleaseOpen(file->device);
    if (file->node != nullptr) pnp::NoteHandleClosed(file->node);
    ObfDereferenceObject(file->file);
    ObfDereferenceObject(file->top);
    ObfDereferenceObject(file->device);
}

// =====================================================================================
// Cancellation
// =====================================================================================
namespace {

// Cancels the file's requests that 'match' accepts; how many there were.
template <typename Match>
size_t CancelMatching(const std::shared_ptr<OpenFile> &file, Match match) {
    std::vector<AppRequest *> chosen;
    {
        std::lock_guard<std::mutex> guard(file->lock);
        for (AppRequest *request : file->outstanding) {
            if (!match(request)) continue;
            request->references++;
            chosen.push_back(request);
        }
    }
    for (AppRequest *request : chosen) {
        IoCancelIrp(request->irp);
        Release(request);
    }
    return chosen.size();
}

}  // namespace

}  // namespace app
}  // namespace sim

using namespace sim::app;

// =====================================================================================
// Win32: files
// =====================================================================================
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    std::u16string native, remainder;
    if (lpFileName == nullptr || !NativeNameOf(lpFileName, &native)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    PDEVICE_OBJECT device = sim::ResolveDeviceName(native, &remainder);
    if (device == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    sim::DeviceNode *node = sim::pnp::NodeOfDevice(device);
    if (node != nullptr && sim::pnp::RefusesCreate(node)) {
        FailWith(STATUS_DELETE_PENDING);
        return INVALID_HANDLE_VALUE;
    }
    if (!ClaimOpen(device)) {
        FailWith(STATUS_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    auto file = std::make_shared<OpenFile>();
    ObfReferenceObject(device);
    file->device = device;
    file->top = IoGetAttachedDeviceReference(device);
    file->node = node;
    file->overlapped = overlapped;
    KeInitializeEvent(&file->fileEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&file->synchronousLock, SynchronizationEvent, TRUE);
    file->file = NewFileObject(device, remainder, !overlapped, dwDesiredAccess, dwShareMode);
    ULONG options = (DispositionOf(dwCreationDisposition) << 24) | (overlapped ? 0 : 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */);
    if (node != nullptr) sim::pnp::NoteHandleOpened(node);
    NTSTATUS status = SendFileRequest(file->top, file->file, IRP_MJ_CREATE, options, (USHORT)dwShareMode, nullptr);
    if (!NT_SUCCESS(status)) {
        if (node != nullptr) sim::pnp::NoteHandleClosed(node);
        ReleaseOpen(device);
        ObfDereferenceObject(file->file);
        ObfDereferenceObject(file->top);
        ObfDereferenceObject(device);
        FailWith(status);
        return INVALID_HANDLE_VALUE;
    }
    return InsertFile(file);
}

// Cleanup goes at once; the close follows when the file's last request has finished.
BOOL CloseHandle(HANDLE hObject) {
    std::shared_ptr<OpenFile> file;
    std::shared_ptr<EventObject> event;
    RemoveHandle(hObject, &file, &event);
    if (event) return TRUE;
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    SendFileRequest(file->top, file->file, IRP_MJ_CLEANUP, 0, 0, nullptr);
    bool idle;
    {
        std::lock_guard<std::mutex> guard(file->lock);
        file->closing = true;
        idle = file->outstanding.empty();
    }
    if (idle) SendClose(file);
    return TRUE;
}

namespace {

// The common end of ReadFile, WriteFile and DeviceIoControl.
BOOL FinishTransfer(const std::shared_ptr<OpenFile> &file, const IoParameters &parameters, LPDWORD bytes,
                    LPOVERLAPPED overlapped) {
    if (bytes != nullptr) *bytes = 0;
    ULONG_PTR information = 0;
    NTSTATUS status = IssueRequest(file, parameters, overlapped, &information);
    if (status == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (bytes != nullptr && !NT_ERROR(status)) *bytes = (DWORD)information;
    if (NT_ERROR(status) || NT_WARNING(status)) return FailWith(status);
    return TRUE;
}

}  // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    IoParameters parameters;
    parameters.major = IRP_MJ_READ;
    parameters.output = lpBuffer;
    parameters.outputLength = nNumberOfBytesToRead;
    return FinishTransfer(file, parameters, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    IoParameters parameters;
    parameters.major = IRP_MJ_WRITE;
    parameters.input = const_cast<LPVOID>(lpBuffer);
    parameters.inputLength = nNumberOfBytesToWrite;
    return FinishTransfer(file, parameters, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<OpenFile> file = FileOf(hDevice);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    IoParameters parameters;
    parameters.major = IRP_MJ_DEVICE_CONTROL;
    parameters.ioControlCode = dwIoControlCode;
    parameters.input = lpInBuffer;
    parameters.inputLength = lpInBuffer != nullptr ? nInBufferSize : 0;
    parameters.output = lpOutBuffer;
    parameters.outputLength = lpOutBuffer != nullptr ? nOutBufferSize : 0;
    return FinishTransfer(file, parameters, lpBytesReturned, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    auto pending = [lpOverlapped] {
        return (NTSTATUS)__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING;
    };
    if (pending()) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        std::shared_ptr<EventObject> event;
        if (lpOverlapped->hEvent != nullptr) event = EventOf((HANDLE)((uintptr_t)lpOverlapped->hEvent & ~(uintptr_t)1));
        PKEVENT object = event ? &event->event : &file->fileEvent;
        while (pending()) KeWaitForSingleObject(object, UserRequest, UserMode, FALSE, nullptr);
    }
    NTSTATUS status = (NTSTATUS)__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE);
    if (lpNumberOfBytesTransferred != nullptr) *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
    if (NT_ERROR(status) || NT_WARNING(status)) return FailWith(status);
    return TRUE;
}

// The calling thread's requests on the handle.
BOOL CancelIo(HANDLE hFile) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    std::thread::id self = std::this_thread::get_id();
    CancelMatching(file, [self](AppRequest *request) { return request->thread == self; });
    return TRUE;
}

// Every request on the handle, or the one of 'lpOverlapped'; ERROR_NOT_FOUND when none is out.
BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    size_t cancelled = CancelMatching(file, [lpOverlapped](AppRequest *request) {
        return lpOverlapped == nullptr || request->overlapped == lpOverlapped;
    });
    if (cancelled == 0) return FailWith(STATUS_NOT_FOUND);
    return TRUE;
}

// Waits for the flush on overlapped handles too, as NtFlushBuffersFile does; a handle opened
// without write access is refused before any request is sent.
BOOL FlushFileBuffers(HANDLE hFile) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    if (!file->file->WriteAccess) return FailWith(STATUS_ACCESS_DENIED);
    IoParameters parameters;
    parameters.major = IRP_MJ_FLUSH_BUFFERS;
    NTSTATUS status = IssueRequest(file, parameters, nullptr, nullptr);
    return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

// Character devices by their device type, as kernelbase classifies them.
DWORD GetFileType(HANDLE hFile) {
    std::shared_ptr<OpenFile> file = FileOf(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    switch (file->device->DeviceType) {
    case 0x0b:  // FILE_DEVICE_KEYBOARD
    case 0x0f:  // FILE_DEVICE_MOUSE
    case 0x15:  // FILE_DEVICE_NULL
    case 0x16:  // FILE_DEVICE_PARALLEL_PORT
    case 0x18:  // FILE_DEVICE_PRINTER
    case FILE_DEVICE_SERIAL_PORT:
    case 0x1c:  // FILE_DEVICE_SCREEN
    case 0x1d:  // FILE_DEVICE_SOUND
    case 0x2b:  // FILE_DEVICE_MODEM
    case 0x50:  // FILE_DEVICE_CONSOLE
        return FILE_TYPE_CHAR;
    case 0x11:  // FILE_DEVICE_NAMED_PIPE
        return FILE_TYPE_PIPE;
    case 0x02:  // FILE_DEVICE_CD_ROM
    case 0x07:  // FILE_DEVICE_DISK
    case 0x08:  // FILE_DEVICE_DISK_FILE_SYSTEM
        return FILE_TYPE_DISK;
    default:
        return FILE_TYPE_UNKNOWN;
    }
}
