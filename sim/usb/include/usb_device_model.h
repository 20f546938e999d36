// Device models for the simulated USB bus: a model gives its descriptors as bytes and answers
// the control requests and bulk data of its function. The bus serves the USB protocol around
// it (descriptor reads, configuration, pipes, faults, the request log).
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "sim/usb/include/usb_sim.h"

namespace sim::usb {

using Bytes = std::vector<UCHAR>;

// A setup packet as the device receives it.
struct SetupPacket {
    UCHAR RequestType = 0;
    UCHAR Request = 0;
    USHORT Value = 0;
    USHORT Index = 0;
    USHORT Length = 0;

    bool IsIn() const { return (RequestType & 0x80) != 0; }
    UCHAR Type() const { return (RequestType >> 5) & 3; }      // BMREQUEST_STANDARD/CLASS/VENDOR
    UCHAR Recipient() const { return RequestType & 0x1f; }     // BMREQUEST_TO_*
    bool operator==(const SetupPacket &o) const
    {
        return RequestType == o.RequestType && Request == o.Request && Value == o.Value && Index == o.Index &&
               Length == o.Length;
    }
};

// The bus side of a plugged device, which a model uses to send data and to leave the bus.
// Both calls may be made from any thread, also from inside the model's own handlers.
class DevicePort {
public:
    virtual ~DevicePort() = default;
    // Queues one message on a bulk or interrupt IN endpoint: pending IN transfers receive it
    // in order; a transfer shorter than the message leaves the rest for the next transfer.
    virtual void SendIn(UCHAR endpointAddress, Bytes message) = 0;
    // Pulls the device off the bus, as a user pulling the cable.
    virtual void Unplug() = 0;
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    virtual Bytes DeviceDescriptor() const = 0;
    // The whole set of configuration 'index': configuration, interface, endpoint and
    // class-specific descriptors, exactly the bytes the device returns.
    virtual Bytes ConfigurationDescriptor(UCHAR index) const = 0;
    virtual Bytes StringDescriptor(UCHAR index, USHORT languageId) const { return {}; }

    // A control request the bus does not serve itself (vendor, class, and the standard
    // GET_STATUS to the device or an interface). For an IN request the model fills 'in' (the
    // bus returns at most setup.Length bytes). A failure status stalls the request.
    virtual USBD_STATUS Control(const SetupPacket &setup, const Bytes &out, Bytes *in);

    // Bytes the host sent on a bulk or interrupt OUT endpoint; the model takes all of them.
    virtual void BulkOut(UCHAR endpointAddress, const Bytes &data) {}

    // Bus events: the configuration was set (0: unconfigured) or the upstream port was reset.
    virtual void Configured(UCHAR configurationValue) {}
    virtual void PortReset() {}

    // The port is set while the device is plugged in, and cleared when it leaves the bus.
    void Connect(DevicePort *port);
    DevicePort *Port() const;

private:
    mutable std::mutex portLock_;
    DevicePort *port_ = nullptr;
};

// ============================================================================================
// The card reader/writer's serial function
// ============================================================================================

class CardReaderModel : public DeviceModel {
public:
    static constexpr USHORT VendorId = 0x3F7B;
    static constexpr USHORT ProductId = 0x0A51;
    static constexpr UCHAR BulkOutEndpoint = 0x02; // pipe 0
    static constexpr UCHAR BulkInEndpoint = 0x81;  // pipe 1
    static constexpr UCHAR SetLineCoding = 0x20;
    static constexpr UCHAR SetControlLineState = 0x22;

    // What the device does with the bytes it receives: nothing (they are only recorded),
    // send them back (loopback), or answer each OUT transfer with what the handler returns
    // (no answer when it returns no bytes).
    using CommandHandler = std::function<Bytes(const Bytes &command)>;
    void SetLoopback(bool on);
    void SetCommandHandler(CommandHandler handler);

    // The device sends bytes of its own accord (e.g. a card was swiped).
    void Send(const Bytes &message);

    // What the device received.
    std::vector<Bytes> LineCodings() const;      // each SET_LINE_CODING's 8 bytes
    std::vector<USHORT> ControlLineStates() const; // each SET_CONTROL_LINE_STATE's wValue
    Bytes ReceivedBytes() const;                 // all bulk OUT bytes, in order

    Bytes DeviceDescriptor() const override;
    Bytes ConfigurationDescriptor(UCHAR index) const override;
    Bytes StringDescriptor(UCHAR index, USHORT languageId) const override;
    USBD_STATUS Control(const SetupPacket &setup, const Bytes &out, Bytes *in) override;
    void BulkOut(UCHAR endpointAddress, const Bytes &data) override;

private:
    mutable std::mutex lock_; // guards everything below
    bool loopback_ = false;
    CommandHandler handler_;
    std::vector<Bytes> lineCodings_;
    std::vector<USHORT> controlLineStates_;
    Bytes received_;
};

// A model that serves fixed descriptor bytes and nothing else: for descriptor and
// configuration tests (two interfaces, alternate settings, long or malformed sets).
class DescriptorOnlyModel : public DeviceModel {
public:
    DescriptorOnlyModel(Bytes device, Bytes configuration)
        : device_(std::move(device)), configuration_(std::move(configuration)) {}
    Bytes DeviceDescriptor() const override { return device_; }
    Bytes ConfigurationDescriptor(UCHAR index) const override { return index == 0 ? configuration_ : Bytes{}; }
    void BulkOut(UCHAR endpointAddress, const Bytes &data) override;
    Bytes ReceivedBytes() const;

private:
    Bytes device_;
    Bytes configuration_;
    mutable std::mutex lock_;
    Bytes received_;
};

} // namespace sim::usb
