// Descriptor byte sets: the builder and the named sets of usb_descriptors.h.
#include "sim/usb/include/usb_descriptors.h"

#include <set>

namespace sim::usb {

// ============================================================================================
// Builder
// ============================================================================================

namespace {

void PutWord(Bytes &bytes, USHORT value)
{
    bytes.push_back(static_cast<UCHAR>(value & 0xff));
    bytes.push_back(static_cast<UCHAR>(value >> 8));
}

void AppendInterface(Bytes &bytes, const InterfaceSpec &spec)
{
    bytes.insert(bytes.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, spec.Number, spec.AlternateSetting,
                               static_cast<UCHAR>(spec.Endpoints.size()), spec.Class, spec.SubClass,
                               spec.Protocol, 0});
    bytes.insert(bytes.end(), spec.ClassSpecific.begin(), spec.ClassSpecific.end());
    for (const EndpointSpec &ep : spec.Endpoints) {
        bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, ep.Address, ep.Attributes});
        PutWord(bytes, ep.MaxPacketSize);
        bytes.push_back(ep.Interval);
    }
}

} // namespace

Bytes BuildDeviceDescriptor(USHORT vendorId, USHORT productId, USHORT bcdDevice)
{
    Bytes bytes = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    PutWord(bytes, 0x0200);                     // bcdUSB
    bytes.insert(bytes.end(), {0, 0, 0, 64});   // class per interface, EP0 packet size 64
    PutWord(bytes, vendorId);
    PutWord(bytes, productId);
    PutWord(bytes, bcdDevice);
    bytes.insert(bytes.end(), {1, 2, 3, 1});    // strings, one configuration
    return bytes;
}

Bytes BuildConfiguration(const std::vector<InterfaceSpec> &interfaces, int numInterfaces,
                         UCHAR configurationValue)
{
    std::set<UCHAR> numbers;
    for (const InterfaceSpec &spec : interfaces)
        numbers.insert(spec.Number);
    UCHAR count = numInterfaces >= 0 ? static_cast<UCHAR>(numInterfaces) : static_cast<UCHAR>(numbers.size());
    Bytes bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, count, configurationValue, 0,
                   USB_CONFIG_BUS_POWERED, 50};
    for (const InterfaceSpec &spec : interfaces)
        AppendInterface(bytes, spec);
    SetTotalLength(bytes, static_cast<USHORT>(bytes.size()));
    return bytes;
}

USHORT TotalLength(const Bytes &configuration)
{
    if (configuration.size() < 4)
        return 0;
    return static_cast<USHORT>(configuration[2] | (configuration[3] << 8));
}

void SetTotalLength(Bytes &configuration, USHORT totalLength)
{
    if (configuration.size() < 4)
        return;
    configuration[2] = static_cast<UCHAR>(totalLength & 0xff);
    configuration[3] = static_cast<UCHAR>(totalLength >> 8);
}

// ============================================================================================
// Named sets
// ============================================================================================

namespace descriptors {

namespace {

InterfaceSpec CardReaderInterface()
{
    InterfaceSpec spec;
    spec.Number = 0;
    spec.Class = USB_DEVICE_CLASS_COMMUNICATIONS;
    spec.SubClass = 0x02; // abstract control model
    spec.Protocol = 0x01;
    spec.Endpoints = {{CardReaderModel::BulkOutEndpoint}, {CardReaderModel::BulkInEndpoint}};
    return spec;
}

InterfaceSpec BulkPair(UCHAR number, UCHAR alternate, UCHAR outAddress, UCHAR inAddress)
{
    InterfaceSpec spec;
    spec.Number = number;
    spec.AlternateSetting = alternate;
    spec.Endpoints = {{outAddress}, {inAddress}};
    return spec;
}

} // namespace

Bytes CardReaderDevice()
{
    return BuildDeviceDescriptor(CardReaderModel::VendorId, CardReaderModel::ProductId);
}

Bytes CardReaderConfiguration()
{
    return BuildConfiguration({CardReaderInterface()});
}

Bytes TwoInterfaces()
{
    return BuildConfiguration({BulkPair(0, 0, 0x02, 0x81), BulkPair(1, 0, 0x03, 0x84)});
}

Bytes AlternateSetting(UCHAR numInterfaces)
{
    return BuildConfiguration({BulkPair(0, 0, 0x02, 0x81), BulkPair(0, 1, 0x03, 0x84)}, numInterfaces);
}

Bytes LongConfiguration(USHORT totalLength)
{
    InterfaceSpec spec = CardReaderInterface();
    size_t base = BuildConfiguration({spec}).size();
    // Class-specific descriptors of at most 255 bytes each fill the gap.
    size_t gap = totalLength > base ? totalLength - base : 0;
    while (gap > 0) {
        size_t length = gap > 255 ? 255 : gap;
        if (gap - length == 1)
            length--; // never leave a 1-byte remainder, which cannot be a descriptor
        spec.ClassSpecific.push_back(static_cast<UCHAR>(length));
        spec.ClassSpecific.push_back(0x24); // CS_INTERFACE
        spec.ClassSpecific.insert(spec.ClassSpecific.end(), length - 2, 0xA5);
        gap -= length;
    }
    return BuildConfiguration({spec});
}

Bytes InterruptAndBulk()
{
    InterfaceSpec spec = CardReaderInterface();
    spec.Endpoints.insert(spec.Endpoints.begin(), EndpointSpec{0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 10});
    return BuildConfiguration({spec});
}

Bytes ZeroLengthDescriptor()
{
    InterfaceSpec spec = CardReaderInterface();
    spec.ClassSpecific = {0, 0x24, 0, 0};
    return BuildConfiguration({spec});
}

Bytes TruncatedEndpoint()
{
    Bytes bytes = CardReaderConfiguration();
    SetTotalLength(bytes, static_cast<USHORT>(bytes.size() - 3));
    bytes.resize(bytes.size() - 3);
    return bytes;
}

Bytes MissingEndpoints()
{
    Bytes bytes = CardReaderConfiguration();
    bytes.resize(bytes.size() - 7);
    SetTotalLength(bytes, static_cast<USHORT>(bytes.size()));
    return bytes;
}

Bytes NoInterfaces()
{
    return BuildConfiguration({}, 0);
}

} // namespace descriptors
} // namespace sim::usb
