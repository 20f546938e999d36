// Bounded walk over the descriptors of a configuration: the one place that decides where a
// descriptor set ends, so that no reader of device-supplied bytes leaves the buffer.
#pragma once

#include "sim/usb/include/usb_sim.h"

namespace sim::usb {

// The extent of a configuration descriptor set: from its first byte up to wTotalLength, or
// nothing when the header itself is not a configuration header of at least 9 bytes.
struct DescriptorExtent {
    const UCHAR *begin = nullptr;
    const UCHAR *end = nullptr;

    bool Empty() const { return begin == end; }

    // Trusts wTotalLength as the caller's buffer length, as the platform's library does; the
    // header must at least cover itself.
    static DescriptorExtent OfConfiguration(const USB_CONFIGURATION_DESCRIPTOR *config)
    {
        DescriptorExtent extent;
        if (config == nullptr || config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
            return extent;
        extent.begin = reinterpret_cast<const UCHAR *>(config);
        extent.end = extent.begin + config->wTotalLength;
        return extent;
    }

    bool Contains(const void *p, size_t length) const
    {
        // Compared as addresses: 'p' may come from anywhere, not only from this buffer.
        auto q = reinterpret_cast<uintptr_t>(p);
        auto b = reinterpret_cast<uintptr_t>(begin), e = reinterpret_cast<uintptr_t>(end);
        return q >= b && q <= e && length <= e - q;
    }
};

// The next well-formed descriptor at or after 'position' (which must lie inside the extent),
// or null. A descriptor whose bLength is below 2 or runs past the end stops the walk: the
// remaining bytes cannot be framed, and walking on would loop forever or leave the buffer.
inline const USB_COMMON_DESCRIPTOR *NextDescriptor(const DescriptorExtent &extent, const UCHAR *position,
                                                   const UCHAR **after)
{
    if (!extent.Contains(position, sizeof(USB_COMMON_DESCRIPTOR)))
        return nullptr;
    auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(position);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || !extent.Contains(position, common->bLength))
        return nullptr;
    *after = position + common->bLength;
    return common;
}

} // namespace sim::usb
