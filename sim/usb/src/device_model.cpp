// Device models: the common model behaviour and the card reader/writer's serial function.
#include "sim/usb/include/usb_descriptors.h"
#include "sim/usb/include/usb_device_model.h"

namespace sim::usb {

// ============================================================================================
// DeviceModel
// ============================================================================================

USBD_STATUS DeviceModel::Control(const SetupPacket &setup, const Bytes &out, Bytes *in)
{
    // A device answers GET_STATUS with two zero bytes (bus-powered, no remote wake-up).
    if (setup.Type() == BMREQUEST_STANDARD && setup.Request == USB_REQUEST_GET_STATUS && setup.IsIn()) {
        *in = {0, 0};
        return USBD_STATUS_SUCCESS;
    }
    return USBD_STATUS_STALL_PID;
}

void DeviceModel::Connect(DevicePort *port)
{
    std::lock_guard<std::mutex> guard(portLock_);
    port_ = port;
}

DevicePort *DeviceModel::Port() const
{
    std::lock_guard<std::mutex> guard(portLock_);
    return port_;
}

// ============================================================================================
// CardReaderModel
// ============================================================================================

namespace {

Bytes StringOf(const char *text)
{
    Bytes bytes = {0, USB_STRING_DESCRIPTOR_TYPE};
    for (const char *p = text; *p != '\0'; p++) {
        bytes.push_back(static_cast<UCHAR>(*p));
        bytes.push_back(0);
    }
    bytes[0] = static_cast<UCHAR>(bytes.size());
    return bytes;
}

} // namespace

void CardReaderModel::SetLoopback(bool on)
{
    std::lock_guard<std::mutex> guard(lock_);
    loopback_ = on;
}

void CardReaderModel::SetCommandHandler(CommandHandler handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    handler_ = std::move(handler);
}

void CardReaderModel::Send(const Bytes &message)
{
    if (DevicePort *port = Port())
        port->SendIn(BulkInEndpoint, message);
}

std::vector<Bytes> CardReaderModel::LineCodings() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return lineCodings_;
}

std::vector<USHORT> CardReaderModel::ControlLineStates() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return controlLineStates_;
}

Bytes CardReaderModel::ReceivedBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

Bytes CardReaderModel::DeviceDescriptor() const
{
    return descriptors::CardReaderDevice();
}

Bytes CardReaderModel::ConfigurationDescriptor(UCHAR index) const
{
    return index == 0 ? descriptors::CardReaderConfiguration() : Bytes{};
}

Bytes CardReaderModel::StringDescriptor(UCHAR index, USHORT languageId) const
{
    switch (index) {
    case 0:
        return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}; // English (United States)
    case 1:
        return StringOf("Tervalinx");
    case 2:
        return StringOf("Card Reader/Writer");
    case 3:
        return StringOf("0001");
    default:
        return {};
    }
}

// The serial function's class requests go to its interface (recipient interface, wIndex 0).
USBD_STATUS CardReaderModel::Control(const SetupPacket &setup, const Bytes &out, Bytes *in)
{
    bool toInterface = setup.Type() == BMREQUEST_CLASS && setup.Recipient() == BMREQUEST_TO_INTERFACE;
    if (!toInterface || setup.IsIn())
        return DeviceModel::Control(setup, out, in);
    std::lock_guard<std::mutex> guard(lock_);
    switch (setup.Request) {
    case SetLineCoding:
        if (out.size() != 8)
            return USBD_STATUS_STALL_PID;
        lineCodings_.push_back(out);
        return USBD_STATUS_SUCCESS;
    case SetControlLineState:
        if (!out.empty())
            return USBD_STATUS_STALL_PID;
        controlLineStates_.push_back(setup.Value);
        return USBD_STATUS_SUCCESS;
    default:
        return USBD_STATUS_STALL_PID;
    }
}

// Runs without the model's lock while answering, so that a handler may send, unplug or
// reconfigure the model.
void CardReaderModel::BulkOut(UCHAR endpointAddress, const Bytes &data)
{
    bool loopback;
    CommandHandler handler;
    {
        std::lock_guard<std::mutex> guard(lock_);
        received_.insert(received_.end(), data.begin(), data.end());
        loopback = loopback_;
        handler = handler_;
    }
    if (endpointAddress != BulkOutEndpoint)
        return;
    if (loopback) {
        Send(data);
        return;
    }
    if (handler) {
        Bytes reply = handler(data);
        if (!reply.empty())
            Send(reply);
    }
}

// ============================================================================================
// DescriptorOnlyModel
// ============================================================================================

void DescriptorOnlyModel::BulkOut(UCHAR endpointAddress, const Bytes &data)
{
    std::lock_guard<std::mutex> guard(lock_);
    received_.insert(received_.end(), data.begin(), data.end());
}

Bytes DescriptorOnlyModel::ReceivedBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

} // namespace sim::usb
