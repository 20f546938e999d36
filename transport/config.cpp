// CardRwUsb: device configuration. Reads the device and configuration descriptors at start,
// selects the first configuration with every interface, builds the interface and pipe table,
// and puts the device back into the unconfigured state at stop. Also the synchronous channel
// through which every URB goes to the USB stack.
#include "transport/transport.h"

// =============================================================================================
// Synchronous URB submission
// =============================================================================================

// Waits for the USB stack, so PASSIVE_LEVEL only. The URB stays with the caller, who reads its
// answer fields afterwards.
NTSTATUS SubmitUrbSync(TRANSPORT_EXTENSION* ext, PURB Urb, BOOLEAN* Sent)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    if (Sent != nullptr) {
        *Sent = FALSE;
    }

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->LowerDevice,
                                             nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Sent != nullptr) {
        *Sent = TRUE;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// =============================================================================================
// Descriptor reads
// =============================================================================================

static PURB AllocateUrb()
{
    PURB urb = static_cast<PURB>(TransportAllocate(sizeof(URB)));
    if (urb != nullptr) {
        RtlZeroMemory(urb, sizeof(URB));
    }
    return urb;
}

// Reads descriptor (type, index 0, language 0) into buffer; *returned gets the length the USB
// stack reported.
static NTSTATUS ReadDeviceDescriptor(TRANSPORT_EXTENSION* ext, UCHAR type, PVOID buffer,
                                     ULONG length, ULONG* returned)
{
    PURB urb = AllocateUrb();
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &urb->UrbControlDescriptorRequest;
    request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    request->DescriptorType = type;
    request->Index = 0;
    request->LanguageId = 0;
    request->TransferBuffer = buffer;
    request->TransferBufferMDL = nullptr;
    request->TransferBufferLength = length;
    request->UrbLink = nullptr;

    NTSTATUS status = SubmitUrbSync(ext, urb);
    *returned = request->TransferBufferLength;
    TransportFree(urb);
    return status;
}

NTSTATUS StartTransport(TRANSPORT_EXTENSION* ext)
{
    ULONG returned = 0;
    PVOID device = TransportAllocate(sizeof(USB_DEVICE_DESCRIPTOR));
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The device descriptor is read for the device's sake; its content is not used.
    NTSTATUS status = ReadDeviceDescriptor(ext, USB_DEVICE_DESCRIPTOR_TYPE, device,
                                           sizeof(USB_DEVICE_DESCRIPTOR), &returned);
    TransportFree(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = ReadConfigDescriptor(ext);
    if (!NT_SUCCESS(status)) {
        // Nothing of a failed start stays behind: a later start reads everything afresh.
        ReleaseConfiguration(ext);
        return status;
    }
    FlagSet(&ext->Started);
    return STATUS_SUCCESS;
}

// A configuration descriptor is used only when it is whole and walkable: the header is there,
// wTotalLength is exactly what the device returned, and every descriptor in it has a length
// that stays inside it (interface descriptors at least 9 bytes, endpoints at least 7), so that
// neither the walk of SelectConfiguration nor the USB library can read past the buffer.
BOOLEAN ConfigDescriptorIsWellFormed(const UCHAR* Descriptor, ULONG Length)
{
    if (Length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return FALSE;
    }
    const USB_CONFIGURATION_DESCRIPTOR* config =
        reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(Descriptor);
    if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength != Length) {
        return FALSE;
    }
    ULONG position = 0;
    while (position < Length) {
        if (Length - position < 2) {
            return FALSE;
        }
        ULONG length = Descriptor[position];
        UCHAR type = Descriptor[position + 1];
        if (length < 2 || length > Length - position) {
            return FALSE;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return FALSE;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            return FALSE;
        }
        position += length;
    }
    return TRUE;
}

static USHORT TotalLengthOf(const UCHAR* descriptor, ULONG returned)
{
    if (returned < 4) {
        return 0;
    }
    return static_cast<USHORT>(descriptor[2] | (descriptor[3] << 8));
}

// Reads the configuration descriptor into a fresh ConfigDescriptor: first 521 bytes, then once
// more with exactly wTotalLength bytes when the device says it is longer.
static NTSTATUS FetchConfigDescriptor(TRANSPORT_EXTENSION* ext, ULONG* returned)
{
    ULONG length = TRANSPORT_CONFIG_FIRST_READ;
    for (int attempt = 0; attempt < 2; ++attempt) {
        ext->ConfigDescriptor = static_cast<PUCHAR>(TransportAllocate(length));
        if (ext->ConfigDescriptor == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(ext->ConfigDescriptor, length);
        NTSTATUS status = ReadDeviceDescriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                               ext->ConfigDescriptor, length, returned);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (*returned > length) {
            return STATUS_DEVICE_DATA_ERROR;   // the stack cannot have written more than asked
        }
        USHORT total = TotalLengthOf(ext->ConfigDescriptor, *returned);
        if (*returned == 0 || total <= length || attempt == 1) {
            return STATUS_SUCCESS;
        }
        length = total;
        TransportFree(ext->ConfigDescriptor);
        ext->ConfigDescriptor = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReadConfigDescriptor(TRANSPORT_EXTENSION* ext)
{
    ULONG returned = 0;
    NTSTATUS status = FetchConfigDescriptor(ext, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!ConfigDescriptorIsWellFormed(ext->ConfigDescriptor, returned)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    return SelectConfiguration(ext, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ext->ConfigDescriptor));
}

// =============================================================================================
// Configuration selection and the table
// =============================================================================================

// Lists up to bNumInterfaces interface descriptors (alternate settings included) in descriptor
// order into list, which has room for that many plus the terminator. Returns the count.
static ULONG ListInterfaces(TRANSPORT_EXTENSION* ext, PUSB_CONFIGURATION_DESCRIPTOR descriptor,
                            PUSBD_INTERFACE_LIST_ENTRY list, ULONG wanted)
{
    PUCHAR position = reinterpret_cast<PUCHAR>(descriptor);
    ULONG found = 0;
    while (found < wanted) {
        PUSB_INTERFACE_DESCRIPTOR iface =
            USBD_ParseConfigurationDescriptorEx(descriptor, position, -1, -1, -1, -1, -1);
        if (iface == nullptr) {
            break;
        }
        list[found].InterfaceDescriptor = iface;
        list[found].Interface = nullptr;
        ext->InterfaceNumber = iface->bInterfaceNumber;
        ++found;
        // The fixed length of an interface descriptor: the well-formedness check guarantees
        // every interface descriptor is at least this long, so this stays inside the buffer.
        position = reinterpret_cast<PUCHAR>(iface) + sizeof(USB_INTERFACE_DESCRIPTOR);
    }
    list[found].InterfaceDescriptor = nullptr;
    list[found].Interface = nullptr;
    return found;
}

static void FreeTable(INTERFACE_ENTRY* interfaces, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        if (interfaces[i].Pipes != nullptr) {
            TransportFree(interfaces[i].Pipes);
        }
    }
    TransportFree(interfaces);
}

// Builds the table from the selection's answer and publishes it under a new generation.
static NTSTATUS BuildTable(TRANSPORT_EXTENSION* ext, PUSBD_INTERFACE_LIST_ENTRY list, ULONG count)
{
    INTERFACE_ENTRY* interfaces =
        static_cast<INTERFACE_ENTRY*>(TransportAllocate(count * sizeof(INTERFACE_ENTRY)));
    if (interfaces == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(interfaces, count * sizeof(INTERFACE_ENTRY));

    for (ULONG i = 0; i < count; ++i) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        ULONG pipes = info->NumberOfPipes;
        if (pipes == 0) {
            continue;
        }
        interfaces[i].Pipes = static_cast<PIPE_ENTRY*>(TransportAllocate(pipes * sizeof(PIPE_ENTRY)));
        if (interfaces[i].Pipes == nullptr) {
            FreeTable(interfaces, count);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        interfaces[i].PipeCount = pipes;
        for (ULONG p = 0; p < pipes; ++p) {
            interfaces[i].Pipes[p].OpenCount = 0;
            interfaces[i].Pipes[p].Info = info->Pipes[p];
        }
    }

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->PipeTableLock);
    ext->Interfaces = interfaces;
    ext->InterfaceCount = count;
    ++ext->TableGeneration;
    KeReleaseSpinLock(&ext->PipeTableLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(TRANSPORT_EXTENSION* ext, PUSB_CONFIGURATION_DESCRIPTOR Descriptor)
{
    ULONG wanted = Descriptor->bNumInterfaces;
    SIZE_T listBytes = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(TransportAllocate(listBytes));
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, listBytes);

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = nullptr;
    ULONG found = ListInterfaces(ext, Descriptor, list, wanted);
    if (found == 0) {
        goto free_list;
    }
    urb = USBD_CreateConfigurationRequestEx(Descriptor, list);
    if (urb == nullptr) {
        goto free_list;
    }
    for (ULONG i = 0; i < found; ++i) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            info->Pipes[p].MaximumTransferSize = ext->StageSize;
        }
    }

    status = SubmitUrbSync(ext, urb);
    if (NT_SUCCESS(status)) {
        status = BuildTable(ext, list, found);
    }
    ExFreePool(urb);   // built by the USB library, which allocates it from the pool
free_list:
    TransportFree(list);
    return status;
}

NTSTATUS DeconfigureDevice(TRANSPORT_EXTENSION* ext)
{
    PURB urb = AllocateUrb();
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.Hdr.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    NTSTATUS status = SubmitUrbSync(ext, urb);
    TransportFree(urb);
    return status;
}

// Withdraws the table and the descriptor under PipeTableLock, so no handle look-up or
// descriptor copy can reach them any more, then releases them. Handles of the withdrawn table
// hold no pipe from now on, so no pipe is open.
void ReleaseConfiguration(TRANSPORT_EXTENSION* ext)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->PipeTableLock);
    INTERFACE_ENTRY* interfaces = ext->Interfaces;
    ULONG count = ext->InterfaceCount;
    PUCHAR descriptor = ext->ConfigDescriptor;
    ext->Interfaces = nullptr;
    ext->InterfaceCount = 0;
    ext->ConfigDescriptor = nullptr;
    if (interfaces != nullptr) {
        ++ext->TableGeneration;
        InterlockedExchange(&ext->OpenPipeCount, 0);
    }
    KeReleaseSpinLock(&ext->PipeTableLock, irql);

    if (interfaces != nullptr) {
        FreeTable(interfaces, count);
    }
    if (descriptor != nullptr) {
        TransportFree(descriptor);
    }
}
