// CardRwUsb: the eight IOCTL_CARDRW_ control codes. All are METHOD_BUFFERED: the input is in
// the system buffer when a handler starts, and the caller receives as many bytes from the
// buffer's start as the information field says. Every URB here is allocated per request,
// submitted synchronously and released after its answer fields have been read.
#include "transport/transport.h"

// What a handler gets: the request's shared buffer, its lengths, and where its answer goes.
struct CONTROL_CALL {
    TRANSPORT_EXTENSION* Extension;
    PFILE_OBJECT FileObject;
    PUCHAR Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;
};

// =============================================================================================
// Helpers
// =============================================================================================

static PURB AllocateControlUrb(SIZE_T bytes)
{
    PURB urb = static_cast<PURB>(TransportAllocate(bytes));
    if (urb != nullptr) {
        RtlZeroMemory(urb, bytes);
    }
    return urb;
}

// The length the USB stack reported, never more than the caller's output. A URB that never
// reached the stack reports nothing (its length field still holds what was asked).
static ULONG_PTR NoMoreThan(ULONG reported, ULONG limit)
{
    return reported < limit ? reported : limit;
}

// =============================================================================================
// Handlers
// =============================================================================================

static NTSTATUS QueryReady(CONTROL_CALL* call)
{
    if (call->OutputLength != sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ready = CanAcceptRequests(call->Extension) ? 1u : 0u;
    RtlCopyMemory(call->Buffer, &ready, sizeof(ready));
    call->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// Input: type (u8), index (u8), language (u16). The language only goes out for strings.
static NTSTATUS GetDescriptor(CONTROL_CALL* call)
{
    if (call->InputLength != 4) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR type = call->Buffer[0];
    UCHAR index = call->Buffer[1];
    if (type != USB_STRING_DESCRIPTOR_TYPE) {
        call->Buffer[2] = 0;
        call->Buffer[3] = 0;
    }
    USHORT language = static_cast<USHORT>(call->Buffer[2] | (call->Buffer[3] << 8));

    PURB urb = AllocateControlUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &urb->UrbControlDescriptorRequest;
    request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request->Hdr.Length = sizeof(*request);
    request->DescriptorType = type;
    request->Index = index;
    request->LanguageId = language;
    request->TransferBuffer = call->Buffer;
    request->TransferBufferMDL = nullptr;
    request->TransferBufferLength = call->OutputLength;
    request->UrbLink = nullptr;

    BOOLEAN sent = FALSE;
    NTSTATUS status = SubmitUrbSync(call->Extension, urb, &sent);
    call->Information = sent ? NoMoreThan(request->TransferBufferLength, call->OutputLength) : 0;
    TransportFree(urb);
    return status;
}

static USHORT StatusFunctionFor(USHORT recipient)
{
    switch (recipient) {
    case 0: return URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    case 1: return URB_FUNCTION_GET_STATUS_FROM_INTERFACE;
    case 2: return URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    default: return URB_FUNCTION_GET_STATUS_FROM_OTHER;
    }
}

// Input: recipient (u16), index (u16). Output: the 2-byte status.
static NTSTATUS GetStatus(CONTROL_CALL* call)
{
    if (call->InputLength != 4 || call->OutputLength != 2) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT recipient = static_cast<USHORT>(call->Buffer[0] | (call->Buffer[1] << 8));
    USHORT index = static_cast<USHORT>(call->Buffer[2] | (call->Buffer[3] << 8));

    PURB urb = AllocateControlUrb(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_CONTROL_GET_STATUS_REQUEST* request = &urb->UrbControlGetStatusRequest;
    request->Hdr.Function = StatusFunctionFor(recipient);
    request->Hdr.Length = sizeof(*request);
    request->TransferBufferLength = 2;
    request->TransferBuffer = call->Buffer;
    request->TransferBufferMDL = nullptr;
    request->Index = index;
    request->UrbLink = nullptr;

    BOOLEAN sent = FALSE;
    NTSTATUS status = SubmitUrbSync(call->Extension, urb, &sent);
    call->Information = sent ? NoMoreThan(request->TransferBufferLength, call->OutputLength) : 0;
    TransportFree(urb);
    return status;
}

// Builds the vendor or class request the header names. The header's Index is overwritten in
// the caller's buffer with the interface number first, so every transfer carries it.
static PURB BuildHeaderRequest(CONTROL_CALL* call, ULONG flags, PVOID data, ULONG length)
{
    ControlRequestHeader header;
    USHORT index = static_cast<USHORT>(call->Extension->InterfaceNumber & 0xFFFF);
    RtlCopyMemory(call->Buffer + offsetof(ControlRequestHeader, Index), &index, sizeof(index));
    RtlCopyMemory(&header, call->Buffer, sizeof(header));

    PURB urb = AllocateControlUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == nullptr) {
        return nullptr;
    }
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
    request->Hdr.Function = header.Function;
    request->Hdr.Length = sizeof(*request);
    request->TransferFlags = (header.TransferFlags & CARDRW_TRANSFER_FLAGS_TAKEN) | flags;
    request->TransferBufferLength = length;
    request->TransferBuffer = length != 0 ? data : nullptr;
    request->TransferBufferMDL = nullptr;
    request->UrbLink = nullptr;
    request->RequestTypeReservedBits = header.ReservedBits;
    request->Request = header.Request;
    request->Value = header.Value;
    request->Index = header.Index;
    return urb;
}

static NTSTATUS ControlOut(CONTROL_CALL* call)
{
    if (call->InputLength < sizeof(ControlRequestHeader)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG length = call->InputLength - sizeof(ControlRequestHeader);
    PURB urb = BuildHeaderRequest(call, 0, call->Buffer + sizeof(ControlRequestHeader), length);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BOOLEAN sent = FALSE;
    NTSTATUS status = SubmitUrbSync(call->Extension, urb, &sent);
    call->Information = sent ? length : 0;   // whatever the device answered, once it was asked
    TransportFree(urb);
    return status;
}

// The answer overwrites the header in place. The caller receives exactly the bytes the device
// returned, never the rest of the shared buffer.
static NTSTATUS ControlIn(CONTROL_CALL* call)
{
    if (call->InputLength < sizeof(ControlRequestHeader)) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = BuildHeaderRequest(call, USBD_TRANSFER_DIRECTION_IN, call->Buffer, call->OutputLength);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrbSync(call->Extension, urb);
    call->Information = status == STATUS_SUCCESS
        ? NoMoreThan(urb->UrbControlVendorClassRequest.TransferBufferLength, call->OutputLength)
        : 0;
    TransportFree(urb);
    return status;
}

static NTSTATUS ResetHandlePipe(CONTROL_CALL* call)
{
    USBD_PIPE_INFORMATION info;
    if (!LookupHandlePipe(call->Extension, call->FileObject, &info)) {
        // A table released since the dispatch's test means a stop or removal came in between.
        return CanAcceptRequests(call->Extension) ? STATUS_INVALID_PARAMETER : STATUS_DELETE_PENDING;
    }
    ResetPipe(call->Extension, &info);
    return STATUS_SUCCESS;
}

// The descriptor was checked at start: its wTotalLength is the length of the stored buffer.
// The copy runs under PipeTableLock, so a stop cannot release the buffer under it.
static NTSTATUS GetConfigDescriptor(CONTROL_CALL* call)
{
    TRANSPORT_EXTENSION* ext = call->Extension;
    NTSTATUS status = STATUS_DEVICE_DATA_ERROR;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->PipeTableLock);
    const UCHAR* descriptor = ext->ConfigDescriptor;
    if (descriptor != nullptr) {
        ULONG total = static_cast<ULONG>(descriptor[2] | (descriptor[3] << 8));
        status = STATUS_INVALID_PARAMETER;
        if (call->OutputLength >= total) {
            RtlCopyMemory(call->Buffer, descriptor, total);
            call->Information = total;
            status = STATUS_SUCCESS;
        }
    }
    KeReleaseSpinLock(&ext->PipeTableLock, irql);
    return status;
}

static NTSTATUS RunControlCode(ULONG code, CONTROL_CALL* call)
{
    switch (code) {
    case IOCTL_CARDRW_QUERY_READY: return QueryReady(call);
    case IOCTL_CARDRW_GET_DESCRIPTOR: return GetDescriptor(call);
    case IOCTL_CARDRW_RESET_PIPE: return ResetHandlePipe(call);
    case IOCTL_CARDRW_RESET_PORT: return ResetUpstreamPort(call->Extension);
    case IOCTL_CARDRW_GET_STATUS: return GetStatus(call);
    case IOCTL_CARDRW_CONTROL_OUT: return ControlOut(call);
    case IOCTL_CARDRW_CONTROL_IN: return ControlIn(call);
    case IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR: return GetConfigDescriptor(call);
    default: return STATUS_INVALID_PARAMETER;
    }
}

// =============================================================================================
// Dispatch
// =============================================================================================

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_DELETE_PENDING;
    CONTROL_CALL call = {};

    IoCountAcquire(ext);
    if (CanAcceptRequests(ext)) {
        call.Extension = ext;
        call.FileObject = stack->FileObject;
        call.Buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
        call.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        call.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        status = RunControlCode(stack->Parameters.DeviceIoControl.IoControlCode, &call);
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = call.Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoCountRelease(ext);
    return status;
}
