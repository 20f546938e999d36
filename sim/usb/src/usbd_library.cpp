// The USB driver library routines for the host build: locating interfaces in a configuration
// descriptor and building the select-configuration request for them. Both are handed bytes
// that came from a device, so every read is bounded by the descriptor set's own extent.
#include "platform/kernel.h"
#include "sim/usb/src/descriptor_walk.h"

using sim::usb::DescriptorExtent;
using sim::usb::NextDescriptor;

namespace {

// ============================================================================================
// Helpers
// ============================================================================================

constexpr ULONG UsbdPoolTag = 0x44425355; // "USBD" as it reads in a pool dump

bool MatchesCriterion(LONG wanted, UCHAR actual)
{
    return wanted == -1 || wanted == static_cast<LONG>(actual);
}

bool InterfaceMatches(const USB_INTERFACE_DESCRIPTOR *iface, LONG number, LONG alternate, LONG cls,
                      LONG subClass, LONG protocol)
{
    return MatchesCriterion(number, iface->bInterfaceNumber) &&
           MatchesCriterion(alternate, iface->bAlternateSetting) &&
           MatchesCriterion(cls, iface->bInterfaceClass) &&
           MatchesCriterion(subClass, iface->bInterfaceSubClass) &&
           MatchesCriterion(protocol, iface->bInterfaceProtocol);
}

// An interface the caller listed must be a whole interface descriptor inside the set.
bool IsListedInterfaceValid(const DescriptorExtent &extent, const USB_INTERFACE_DESCRIPTOR *iface)
{
    return extent.Contains(iface, sizeof(USB_INTERFACE_DESCRIPTOR)) &&
           iface->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           iface->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE;
}

// Size of the request for the listed interfaces, or 0 when the list is empty, malformed or
// the request would not fit the URB header's 16-bit length.
size_t SelectConfigurationSize(const DescriptorExtent &extent, const USBD_INTERFACE_LIST_ENTRY *list)
{
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    size_t count = 0;
    for (; list[count].InterfaceDescriptor != nullptr; count++) {
        const USB_INTERFACE_DESCRIPTOR *iface = list[count].InterfaceDescriptor;
        if (!IsListedInterfaceValid(extent, iface))
            return 0;
        size += GET_USBD_INTERFACE_SIZE(iface->bNumEndpoints);
        if (size > 0xFFFF)
            return 0;
    }
    return count == 0 ? 0 : size;
}

void FillInterfaceInformation(USBD_INTERFACE_INFORMATION *info, const USB_INTERFACE_DESCRIPTOR *iface)
{
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(iface->bNumEndpoints));
    info->InterfaceNumber = iface->bInterfaceNumber;
    info->AlternateSetting = iface->bAlternateSetting;
    info->NumberOfPipes = iface->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; i++)
        info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
}

} // namespace

// ============================================================================================
// Library routines
// ============================================================================================

extern "C" PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                              PVOID StartPosition, LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr)
        return nullptr;
    DescriptorExtent extent;
    extent.begin = static_cast<const UCHAR *>(DescriptorBuffer);
    extent.end = extent.begin + TotalLength;
    const UCHAR *position = static_cast<const UCHAR *>(StartPosition);
    const UCHAR *after = nullptr;
    while (const USB_COMMON_DESCRIPTOR *common = NextDescriptor(extent, position, &after)) {
        if (common->bDescriptorType == DescriptorType)
            return const_cast<PUSB_COMMON_DESCRIPTOR>(common);
        position = after;
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    DescriptorExtent extent = DescriptorExtent::OfConfiguration(ConfigurationDescriptor);
    if (extent.Empty())
        return nullptr;
    const UCHAR *position = static_cast<const UCHAR *>(StartPosition);
    const UCHAR *after = nullptr;
    while (const USB_COMMON_DESCRIPTOR *common = NextDescriptor(extent, position, &after)) {
        position = after;
        if (common->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
            common->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
            continue;
        auto *iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(common);
        if (InterfaceMatches(iface, InterfaceNumber, AlternateSetting, InterfaceClass, InterfaceSubClass,
                             InterfaceProtocol))
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(iface);
    }
    return nullptr;
}

// Allocates (non-paged, owned by the caller, released with ExFreePool) and formats the
// select-configuration request for every listed interface; each list entry's Interface then
// points at that interface's information inside the request. Null when the configuration or
// the list is malformed, or when the allocation fails.
extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (InterfaceList == nullptr)
        return nullptr;
    DescriptorExtent extent = DescriptorExtent::OfConfiguration(ConfigurationDescriptor);
    if (extent.Empty())
        return nullptr;
    size_t size = SelectConfigurationSize(extent, InterfaceList);
    if (size == 0)
        return nullptr;
    auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, UsbdPoolTag));
    if (urb == nullptr)
        return nullptr;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto *cursor = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        FillInterfaceInformation(info, entry->InterfaceDescriptor);
        entry->Interface = info;
        cursor += info->Length;
    }
    return urb;
}

extern "C" VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    if (VersionInformation == nullptr)
        return;
    VersionInformation->USBDI_Version = 0x00000600;
    VersionInformation->Supported_USB_Version = 0x00000200;
}
