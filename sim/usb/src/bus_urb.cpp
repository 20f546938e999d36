// The URB functions of the simulated bus: control requests (descriptors, status, vendor and
// class), bulk and interrupt transfers, configuration, pipe reset and abort, port reset.
#include "sim/usb/src/bus_device.h"

#include <algorithm>

#include "sim/kernel/include/sim_kernel.h"
#include "sim/usb/src/descriptor_walk.h"

namespace sim::usb {

namespace {

// ============================================================================================
// Helpers
// ============================================================================================

constexpr ULONG_PTR PipeHandleTag = 0xB5;
constexpr ULONG_PTR InterfaceHandleTag = 0xB6;
constexpr ULONG_PTR ConfigurationHandleTag = 0xB7;

ULONG_PTR OpaqueHandle(ULONG_PTR tag, ULONG serial, ULONG generation, ULONG index)
{
    return tag << 56 | static_cast<ULONG_PTR>(serial & 0xffff) << 40 |
           static_cast<ULONG_PTR>(generation & 0xffffff) << 16 | static_cast<ULONG_PTR>(index & 0xffff);
}

Outcome Failure(NTSTATUS status, USBD_STATUS usbdStatus)
{
    return Outcome{status, usbdStatus, 0, false};
}

// A failed data transfer reports that it moved nothing.
Outcome TransferFailure(NTSTATUS status, USBD_STATUS usbdStatus)
{
    return Outcome{status, usbdStatus, 0, true};
}

// The smallest URB that carries each function's fields.
USHORT MinimumUrbLength(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    default:
        return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    }
}

bool IsControlFunction(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        return true;
    default:
        return false;
    }
}

// Request type bits (type, recipient) of the vendor and class functions.
UCHAR VendorClassRequestType(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: return BMREQUEST_VENDOR << 5 | BMREQUEST_TO_DEVICE;
    case URB_FUNCTION_VENDOR_INTERFACE: return BMREQUEST_VENDOR << 5 | BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_VENDOR_ENDPOINT: return BMREQUEST_VENDOR << 5 | BMREQUEST_TO_ENDPOINT;
    case URB_FUNCTION_VENDOR_OTHER: return BMREQUEST_VENDOR << 5 | BMREQUEST_TO_OTHER;
    case URB_FUNCTION_CLASS_DEVICE: return BMREQUEST_CLASS << 5 | BMREQUEST_TO_DEVICE;
    case URB_FUNCTION_CLASS_INTERFACE: return BMREQUEST_CLASS << 5 | BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_CLASS_ENDPOINT: return BMREQUEST_CLASS << 5 | BMREQUEST_TO_ENDPOINT;
    default: return BMREQUEST_CLASS << 5 | BMREQUEST_TO_OTHER;
    }
}

UCHAR StatusRecipient(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: return BMREQUEST_TO_DEVICE;
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE: return BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: return BMREQUEST_TO_ENDPOINT;
    default: return BMREQUEST_TO_OTHER;
    }
}

// An interface descriptor of the set and its endpoint descriptors, as the selection found them.
struct SelectedInterface {
    PUSBD_INTERFACE_INFORMATION Info = nullptr;
    const USB_INTERFACE_DESCRIPTOR *Descriptor = nullptr;
    std::vector<const USB_ENDPOINT_DESCRIPTOR *> Endpoints;
};

const USB_INTERFACE_DESCRIPTOR *FindInterface(const DescriptorExtent &extent, UCHAR number, UCHAR alternate,
                                              std::vector<const USB_ENDPOINT_DESCRIPTOR *> *endpoints)
{
    const UCHAR *position = extent.begin;
    const UCHAR *after = nullptr;
    const USB_INTERFACE_DESCRIPTOR *found = nullptr;
    while (const USB_COMMON_DESCRIPTOR *common = NextDescriptor(extent, position, &after)) {
        position = after;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            if (found != nullptr)
                break;
            auto *iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(common);
            if (iface->bInterfaceNumber == number && iface->bAlternateSetting == alternate)
                found = iface;
        } else if (found != nullptr && common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints->push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(common));
        }
    }
    return found;
}

// Reads the interface information entries of a select-configuration URB against the set it
// names; false when an entry overruns the URB or does not match the set.
bool ReadSelection(PURB urb, const DescriptorExtent &extent, std::vector<SelectedInterface> *selection)
{
    const USB_CONFIGURATION_DESCRIPTOR *config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    auto *cursor = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    while (selection->size() < config->bNumInterfaces && cursor + header <= end) {
        SelectedInterface entry;
        entry.Info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        if (entry.Info->Length < header || entry.Info->Length > static_cast<size_t>(end - cursor))
            return false;
        entry.Descriptor = FindInterface(extent, entry.Info->InterfaceNumber, entry.Info->AlternateSetting, &entry.Endpoints);
        if (entry.Descriptor == nullptr || entry.Endpoints.size() < entry.Descriptor->bNumEndpoints)
            return false;
        entry.Endpoints.resize(entry.Descriptor->bNumEndpoints);
        if (entry.Info->Length < GET_USBD_INTERFACE_SIZE(entry.Descriptor->bNumEndpoints))
            return false;
        selection->push_back(entry);
        cursor += entry.Info->Length;
    }
    return !selection->empty();
}

} // namespace

// ============================================================================================
// Dispatch of a URB
// ============================================================================================

NTSTATUS BusDevice::SubmitUrb(PIRP irp, PURB urb)
{
    USHORT function = urb->UrbHeader.Function;
    NTSTATUS status;
    if (urb->UrbHeader.Length < MinimumUrbLength(function)) {
        status = STATUS_INVALID_PARAMETER;
        Complete(irp, urb, Failure(status, USBD_STATUS_INVALID_PARAMETER));
    } else if (!Connected()) {
        status = STATUS_DEVICE_NOT_CONNECTED;
        bool data = IsControlFunction(function) || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        Complete(irp, urb, data ? TransferFailure(status, USBD_STATUS_DEVICE_GONE) : Failure(status, USBD_STATUS_DEVICE_GONE));
    } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        status = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr ? Unconfigure(irp, urb)
                                                                                 : SelectConfiguration(irp, urb);
    } else if (IsControlFunction(function)) {
        status = ControlTransfer(irp, urb);
    } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        status = BulkTransfer(irp, urb);
    } else if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE ||
               function == URB_FUNCTION_SYNC_CLEAR_STALL) {
        status = ResetPipe(irp, urb);
    } else if (function == URB_FUNCTION_ABORT_PIPE) {
        status = AbortPipe(irp, urb);
    } else {
        status = STATUS_INVALID_PARAMETER;
        Complete(irp, urb, Failure(status, USBD_STATUS_INVALID_URB_FUNCTION));
    }
    return status;
}

// ============================================================================================
// Control requests
// ============================================================================================

// The setup packet a control URB puts on the wire, and its OUT data.
void BusDevice::ControlSetup(PURB urb, SetupPacket *setup, Bytes *out)
{
    USHORT function = urb->UrbHeader.Function;
    auto &request = urb->UrbControlVendorClassRequest;
    ULONG length = request.TransferBufferLength;
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        auto &d = urb->UrbControlDescriptorRequest;
        *setup = SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d.DescriptorType, d.Index),
                             d.LanguageId, static_cast<USHORT>(std::min<ULONG>(length, 0xffff))};
        return;
    }
    if ((function >= URB_FUNCTION_GET_STATUS_FROM_DEVICE && function <= URB_FUNCTION_GET_STATUS_FROM_ENDPOINT) ||
        function == URB_FUNCTION_GET_STATUS_FROM_OTHER) {
        *setup = SetupPacket{static_cast<UCHAR>(0x80 | StatusRecipient(function)), USB_REQUEST_GET_STATUS, 0,
                             urb->UrbControlGetStatusRequest.Index, static_cast<USHORT>(std::min<ULONG>(length, 0xffff))};
        return;
    }
    bool in = USBD_TRANSFER_DIRECTION_FLAG(request.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    *setup = SetupPacket{static_cast<UCHAR>((in ? 0x80 : 0) | VendorClassRequestType(function)), request.Request,
                         request.Value, request.Index, static_cast<USHORT>(std::min<ULONG>(length, 0xffff))};
    if (!in && length > 0) {
        bool valid = true;
        PUCHAR data = TransferData(request.TransferBufferMDL, request.TransferBuffer, length, &valid);
        if (data != nullptr)
            out->assign(data, data + setup->Length);
    }
}

NTSTATUS BusDevice::ControlTransfer(PIRP irp, PURB urb)
{
    auto &request = urb->UrbControlVendorClassRequest;
    bool valid = true;
    TransferData(request.TransferBufferMDL, request.TransferBuffer, request.TransferBufferLength, &valid);
    if (!valid || request.TransferBufferLength > 0xffff) {
        Complete(irp, urb, TransferFailure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
        return STATUS_INVALID_PARAMETER;
    }
    SetupPacket setup;
    Bytes out;
    ControlSetup(urb, &setup, &out);

    LoggedRequest entry;
    entry.Kind = urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? RequestKind::GetDescriptor
                 : setup.Request == USB_REQUEST_GET_STATUS && setup.Type() == BMREQUEST_STANDARD ? RequestKind::GetStatus
                                                                                                 : RequestKind::VendorOrClass;
    entry.Function = urb->UrbHeader.Function;
    entry.Length = request.TransferBufferLength;
    entry.Setup = setup;
    entry.Data = out;
    if (entry.Kind == RequestKind::VendorOrClass)
        entry.ReservedBits = request.RequestTypeReservedBits;
    return RunTransfer(irp, urb, 0, std::move(entry));
}

// ============================================================================================
// Bulk and interrupt transfers
// ============================================================================================

NTSTATUS BusDevice::BulkTransfer(PIRP irp, PURB urb)
{
    auto &transfer = urb->UrbBulkOrInterruptTransfer;
    PipeState pipe;
    Outcome refused;
    if (!FindPipe(transfer.PipeHandle, &pipe, &refused)) {
        refused.SetLength = true;
        Complete(irp, urb, refused);
        return refused.Status;
    }
    bool valid = true;
    PUCHAR data = TransferData(transfer.TransferBufferMDL, transfer.TransferBuffer, transfer.TransferBufferLength, &valid);
    if (!valid || transfer.TransferBufferLength > pipe.MaximumTransferSize) {
        Complete(irp, urb, TransferFailure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
        return STATUS_INVALID_PARAMETER;
    }
    LoggedRequest entry;
    entry.Kind = RequestKind::BulkOrInterrupt;
    entry.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    entry.Endpoint = pipe.Address;
    entry.Length = transfer.TransferBufferLength;
    if (USB_ENDPOINT_DIRECTION_OUT(pipe.Address) && data != nullptr)
        entry.Data.assign(data, data + transfer.TransferBufferLength);
    return RunTransfer(irp, urb, pipe.Address, std::move(entry));
}

// The common path of a request the device serves (control or bulk): it is recorded, its
// endpoint's next fault applies, then it is served at once or held.
NTSTATUS BusDevice::RunTransfer(PIRP irp, PURB urb, UCHAR endpoint, LoggedRequest entry)
{
    bool bulk = endpoint != 0;
    bool in = bulk && USB_ENDPOINT_DIRECTION_IN(endpoint);
    Fault fault;
    bool faulted = false;
    bool stall = false;
    ULONG limit = ~0u;
    Outcome outcome;
    bool ready = false;
    bool cancelled = false;
    bool gone = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Checked again under the lock that decides the hold: an unplug that completed the
        // held transfers before this one was held would otherwise leave it held for good.
        gone = !connected_;
        stall = !gone && bulk && halted_[endpoint];
        faulted = !gone && !stall && NextFault(endpoint, &fault);
        if (gone) {
            faulted = true;
            fault = Fault::Fail(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        }
        if (faulted && fault.Action == FaultAction::CompleteShort) {
            limit = fault.ShortLength;
            if (!in && entry.Data.size() > limit)
                entry.Data.resize(limit);
        }
        if (!gone)
            Record(entry);
        if (faulted && fault.Action == FaultAction::Fail) {
            outcome = TransferFailure(fault.Status, fault.UsbdStatus);
        } else {
            IoMarkIrpPending(irp);
            if (faulted && fault.Action == FaultAction::Stall) {
                stall = true;
                if (bulk)
                    halted_[endpoint] = true;
            }
            if (stall) {
                outcome = TransferFailure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
                ready = true;
            } else if (faulted && fault.Action == FaultAction::NeverComplete) {
                cancelled = !HoldLocked(irp, urb, endpoint, HeldTransfer::State::Never, limit, nullptr);
            } else if (faulted && fault.Action == FaultAction::Delay) {
                uint64_t serial = 0;
                cancelled = !HoldLocked(irp, urb, endpoint, HeldTransfer::State::Delayed, limit, &serial);
                if (!cancelled) {
                    std::weak_ptr<BusDevice> self = weak_from_this();
                    held_.back().Timer = ScheduleAfter(fault.Delay, [self, serial]() {
                        if (auto device = self.lock())
                            device->ServeDelayed(serial);
                    });
                }
            } else if (in) {
                ready = TakeInMessage(endpoint, urb, limit, &outcome);
                if (!ready)
                    cancelled = !HoldLocked(irp, urb, endpoint, HeldTransfer::State::WaitingForData, limit, nullptr);
            }
        }
    }
    if (faulted && fault.Action == FaultAction::Fail) {
        Complete(irp, urb, outcome);
        return outcome.Status;
    }
    if (cancelled) {
        Complete(irp, urb, Outcome{STATUS_CANCELLED, USBD_STATUS_CANCELED, 0, true});
    } else if (ready) {
        FinishLater(irp, urb, outcome);
    } else if (!in && (!faulted || fault.Action == FaultAction::CompleteShort)) {
        FinishLater(irp, urb, ServeNow(urb, endpoint, limit));
    }
    return STATUS_PENDING;
}

// ============================================================================================
// Configuration
// ============================================================================================

NTSTATUS BusDevice::SelectConfiguration(PIRP irp, PURB urb)
{
    DescriptorExtent extent = DescriptorExtent::OfConfiguration(urb->UrbSelectConfiguration.ConfigurationDescriptor);
    std::vector<SelectedInterface> selection;
    if (extent.Empty() || urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) ||
        !ReadSelection(urb, extent, &selection)) {
        Complete(irp, urb, Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR));
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR value = urb->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue;
    Fault fault;
    bool failed = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        failed = NextFault(0, &fault) && (fault.Action == FaultAction::Fail || fault.Action == FaultAction::Stall);
        LoggedRequest entry;
        entry.Kind = RequestKind::SelectConfiguration;
        entry.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        entry.Length = urb->UrbHeader.Length;
        entry.Setup = SetupPacket{0, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
        Record(entry);
        if (!failed) {
            generation_++;
            pipes_.clear();
            for (SelectedInterface &entry : selection)
                FillInterface(entry.Info, entry.Descriptor, entry.Endpoints);
            urb->UrbSelectConfiguration.ConfigurationHandle =
                reinterpret_cast<USBD_CONFIGURATION_HANDLE>(OpaqueHandle(ConfigurationHandleTag, serial_, generation_, 0));
            configured_ = true;
        }
    }
    if (failed) {
        Complete(irp, urb, Failure(fault.Status, fault.UsbdStatus));
        return fault.Status;
    }
    model_->Configured(value);
    Complete(irp, urb, Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, false});
    return STATUS_SUCCESS;
}

// Fills one interface's information and gives each of its pipes a handle of this
// configuration; the pipe keeps the maximum transfer size the caller asked for. Caller holds lock_.
void BusDevice::FillInterface(PUSBD_INTERFACE_INFORMATION info, const USB_INTERFACE_DESCRIPTOR *iface,
                              const std::vector<const USB_ENDPOINT_DESCRIPTOR *> &endpoints)
{
    info->Class = iface->bInterfaceClass;
    info->SubClass = iface->bInterfaceSubClass;
    info->Protocol = iface->bInterfaceProtocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        OpaqueHandle(InterfaceHandleTag, serial_, generation_, iface->bInterfaceNumber << 8 | iface->bAlternateSetting));
    info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
    for (size_t i = 0; i < endpoints.size(); i++) {
        USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
        pipe.MaximumPacketSize = endpoints[i]->wMaxPacketSize;
        pipe.EndpointAddress = endpoints[i]->bEndpointAddress;
        pipe.Interval = endpoints[i]->bInterval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pipe.PipeHandle = MakePipeHandle(static_cast<ULONG>(pipes_.size()));
        pipes_.push_back(PipeState{pipe.EndpointAddress, static_cast<UCHAR>(pipe.PipeType), pipe.MaximumTransferSize});
    }
}

// The null configuration: the device goes back to its unconfigured state, every pipe handle
// goes stale and transfers still held are cancelled.
NTSTATUS BusDevice::Unconfigure(PIRP irp, PURB urb)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        LoggedRequest entry;
        entry.Kind = RequestKind::SelectConfiguration;
        entry.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        entry.Length = urb->UrbHeader.Length;
        entry.Setup = SetupPacket{0, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
        entry.Unconfigure = true;
        Record(entry);
        generation_++;
        pipes_.clear();
        configured_ = false;
    }
    CompleteHeldWith(0, true, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    model_->Configured(0);
    Complete(irp, urb, Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, false});
    return STATUS_SUCCESS;
}

USBD_PIPE_HANDLE BusDevice::MakePipeHandle(ULONG index) const
{
    return reinterpret_cast<USBD_PIPE_HANDLE>(OpaqueHandle(PipeHandleTag, serial_, generation_, index));
}

// The pipe a request names: a device that left the bus refuses every pipe request as gone,
// whatever its handle. Caller holds lock_ (FindPipeLocked).
bool BusDevice::FindPipeLocked(USBD_PIPE_HANDLE handle, PipeState *pipe, Outcome *refused) const
{
    if (!connected_) {
        *refused = Failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        return false;
    }
    if (!LookUpPipe(handle, pipe)) {
        *refused = Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        return false;
    }
    return true;
}

bool BusDevice::FindPipe(USBD_PIPE_HANDLE handle, PipeState *pipe, Outcome *refused) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return FindPipeLocked(handle, pipe, refused);
}

// A pipe handle is good only for the configuration that issued it.
bool BusDevice::LookUpPipe(USBD_PIPE_HANDLE handle, PipeState *pipe) const
{
    auto value = reinterpret_cast<ULONG_PTR>(handle);
    ULONG index = static_cast<ULONG>(value & 0xffff);
    if (!configured_ || value != OpaqueHandle(PipeHandleTag, serial_, generation_, index) || index >= pipes_.size())
        return false;
    *pipe = pipes_[index];
    return true;
}

// ============================================================================================
// Pipe and port resets, pipe abort
// ============================================================================================

NTSTATUS BusDevice::ResetPipe(PIRP irp, PURB urb)
{
    PipeState pipe;
    Fault fault;
    Outcome refused;
    bool known, failed = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        known = FindPipeLocked(urb->UrbPipeRequest.PipeHandle, &pipe, &refused);
        if (known) {
            LoggedRequest entry;
            entry.Kind = RequestKind::ResetPipe;
            entry.Function = urb->UrbHeader.Function;
            entry.Endpoint = pipe.Address;
            Record(entry);
            failed = !resetPipeFaults_.empty();
            if (failed) {
                fault = resetPipeFaults_.front();
                if (!fault.Every)
                    resetPipeFaults_.pop_front();
            } else {
                halted_[pipe.Address] = false;
            }
        }
    }
    Outcome outcome = !known   ? refused
                      : failed ? Failure(fault.Status, fault.UsbdStatus)
                               : Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, false};
    Complete(irp, urb, outcome);
    return outcome.Status;
}

NTSTATUS BusDevice::AbortPipe(PIRP irp, PURB urb)
{
    PipeState pipe;
    Outcome refused;
    bool known;
    {
        std::lock_guard<std::mutex> guard(lock_);
        known = FindPipeLocked(urb->UrbPipeRequest.PipeHandle, &pipe, &refused);
        if (known) {
            LoggedRequest entry;
            entry.Kind = RequestKind::AbortPipe;
            entry.Function = URB_FUNCTION_ABORT_PIPE;
            entry.Endpoint = pipe.Address;
            Record(entry);
        }
    }
    if (!known) {
        Complete(irp, urb, refused);
        return refused.Status;
    }
    CompleteHeldWith(pipe.Address, false, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    Complete(irp, urb, Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, false});
    return STATUS_SUCCESS;
}

// The upstream port reset: the device keeps its address and configuration; halted endpoints
// are cleared.
NTSTATUS BusDevice::ResetPort()
{
    Fault fault;
    bool failed = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!connected_)
            return STATUS_DEVICE_NOT_CONNECTED;
        LoggedRequest entry;
        entry.Kind = RequestKind::ResetPort;
        Record(entry);
        failed = !resetPortFaults_.empty();
        if (failed) {
            fault = resetPortFaults_.front();
            if (!fault.Every)
                resetPortFaults_.pop_front();
        } else {
            halted_.clear();
        }
    }
    if (failed)
        return fault.Status;
    model_->PortReset();
    return STATUS_SUCCESS;
}

} // namespace sim::usb
