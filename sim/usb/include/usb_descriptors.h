// Descriptor byte sets for device models: a small builder and the sets the tests use (the
// card reader/writer, two interfaces, alternate settings, long and malformed configurations).
#pragma once

#include <vector>

#include "sim/usb/include/usb_device_model.h"

namespace sim::usb {

struct EndpointSpec {
    UCHAR Address = 0;
    UCHAR Attributes = USB_ENDPOINT_TYPE_BULK;
    USHORT MaxPacketSize = 64;
    UCHAR Interval = 0;
};

struct InterfaceSpec {
    UCHAR Number = 0;
    UCHAR AlternateSetting = 0;
    UCHAR Class = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    UCHAR SubClass = 0;
    UCHAR Protocol = 0;
    std::vector<EndpointSpec> Endpoints;
    Bytes ClassSpecific; // descriptors placed between the interface and its endpoints
};

Bytes BuildDeviceDescriptor(USHORT vendorId, USHORT productId, USHORT bcdDevice = 0x0100);

// A configuration set with wTotalLength computed; bNumInterfaces is the number of distinct
// interface numbers unless 'numInterfaces' is given (>= 0).
Bytes BuildConfiguration(const std::vector<InterfaceSpec> &interfaces, int numInterfaces = -1,
                         UCHAR configurationValue = 1);

// Reads and writes of little-endian fields in descriptor bytes.
USHORT TotalLength(const Bytes &configuration);
void SetTotalLength(Bytes &configuration, USHORT totalLength);

namespace descriptors {

Bytes CardReaderDevice();
Bytes CardReaderConfiguration();                 // interface 0: bulk OUT 0x02, bulk IN 0x81
Bytes TwoInterfaces();                           // interfaces 0 and 1, two bulk pipes each
Bytes AlternateSetting(UCHAR numInterfaces);     // interface 0 with settings 0 and 1
Bytes LongConfiguration(USHORT totalLength);     // card reader set padded by class-specific bytes
Bytes InterruptAndBulk();                        // interface 0: interrupt IN, bulk OUT, bulk IN

// Malformed sets: each must be refused or read safely, never read outside its bytes.
Bytes ZeroLengthDescriptor();     // a descriptor with bLength 0 after the interface
Bytes TruncatedEndpoint();        // wTotalLength ends inside the last endpoint descriptor
Bytes MissingEndpoints();         // bNumEndpoints 2 but only one endpoint descriptor
Bytes NoInterfaces();             // a configuration header and nothing else

} // namespace descriptors
} // namespace sim::usb
