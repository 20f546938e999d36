// Transfers on the simulated bus: how a request is served, held, completed, cancelled and
// failed by a scripted fault or an unplug.
//
// Locking: lock_ guards the device's state. It is never held while a model, a driver
// (completion routines) or the PnP manager runs. A held transfer carries the bus's cancel
// routine; whoever takes it out of held_ first removes that routine (Disarm). When that fails
// the cancel routine is already running: the transfer is left in held_, marked Cancelling,
// and only the cancel routine completes it.
#include "sim/usb/src/bus_device.h"

#include <algorithm>
#include <atomic>

#include "sim/kernel/include/sim_kernel.h"

namespace sim::usb {

namespace {

DRIVER_CANCEL CancelHeldTransfer;

// Runs with the cancel spin lock held; the transfer is still in held_ and nobody else may
// complete it, so the request stays valid after the lock is released.
VOID CancelHeldTransfer(PDEVICE_OBJECT pdo, PIRP irp)
{
    KIRQL irql = irp->CancelIrql;
    IoReleaseCancelSpinLock(irql);
    BusDevice::FromPdo(pdo)->CancelHeld(irp);
}

uint64_t NextSerial()
{
    static std::atomic<uint64_t> serial{1};
    return serial++;
}

} // namespace

// ============================================================================================
// Completion
// ============================================================================================

// Writes the outcome into the URB and completes the request at DISPATCH_LEVEL, as the host
// controller's completion does.
void BusDevice::Complete(PIRP irp, PURB urb, const Outcome &outcome)
{
    urb->UrbHeader.Status = outcome.UsbdStatus;
    if (outcome.SetLength)
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = outcome.Length;
    irp->IoStatus.Status = outcome.Status;
    irp->IoStatus.Information = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

// Completes a request that its dispatch already marked pending, from the bus's completion
// context (the simulation's timer thread) rather than from inside the dispatch, so that a
// caller that sends its next stage from its completion routine never recurses.
void BusDevice::FinishLater(PIRP irp, PURB urb, const Outcome &outcome)
{
    ScheduleAfter(0, [irp, urb, outcome]() {
        DriverCall call(BusDriver(), "USB completion", reinterpret_cast<const void *>(&BusDevice::Complete), irp);
        Complete(irp, urb, outcome);
    });
}

// ============================================================================================
// Held transfers
// ============================================================================================

bool BusDevice::Disarm(HeldTransfer &held)
{
    if (IoSetCancelRoutine(held.Irp, nullptr) != nullptr)
        return true;
    held.Phase = HeldTransfer::State::Cancelling;
    return false;
}

// Holds a transfer that cannot be served now. Caller holds lock_ and has marked the request
// pending. Returns false when the request was cancelled before it could be held: the caller
// then completes it with STATUS_CANCELLED.
bool BusDevice::HoldLocked(PIRP irp, PURB urb, UCHAR endpoint, HeldTransfer::State phase, ULONG limit,
                           uint64_t *serial)
{
    IoSetCancelRoutine(irp, CancelHeldTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
        return false;
    HeldTransfer held;
    held.Serial = NextSerial();
    held.Irp = irp;
    held.Urb = urb;
    held.Endpoint = endpoint;
    held.Phase = phase;
    held.Limit = limit;
    held_.push_back(held);
    if (serial != nullptr)
        *serial = held.Serial;
    return true;
}

void BusDevice::CancelHeld(PIRP irp)
{
    PURB urb = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = std::find_if(held_.begin(), held_.end(), [irp](const HeldTransfer &h) { return h.Irp == irp; });
        if (it == held_.end())
            return;
        if (it->Timer != 0)
            CancelScheduled(it->Timer);
        urb = it->Urb;
        held_.erase(it);
    }
    Complete(irp, urb, Outcome{STATUS_CANCELLED, USBD_STATUS_CANCELED, 0, true});
}

// Completes the held transfers of one endpoint (or all) with the given status; those being
// cancelled are left to their cancel routine.
void BusDevice::CompleteHeldWith(UCHAR endpoint, bool allEndpoints, NTSTATUS status, USBD_STATUS usbdStatus)
{
    std::vector<HeldTransfer> done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = held_.begin(); it != held_.end();) {
            bool matches = allEndpoints || it->Endpoint == endpoint;
            if (!matches || it->Phase == HeldTransfer::State::Cancelling || !Disarm(*it)) {
                ++it;
                continue;
            }
            if (it->Timer != 0)
                CancelScheduled(it->Timer);
            done.push_back(*it);
            it = held_.erase(it);
        }
    }
    for (const HeldTransfer &held : done)
        Complete(held.Irp, held.Urb, Outcome{status, usbdStatus, 0, true});
}

size_t BusDevice::PendingTransfers() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return held_.size();
}

// ============================================================================================
// Serving requests
// ============================================================================================

PUCHAR BusDevice::TransferData(PMDL mdl, PVOID buffer, ULONG length, bool *valid)
{
    *valid = true;
    if (length == 0)
        return nullptr;
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length) {
            *valid = false;
            return nullptr;
        }
        auto *data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        *valid = data != nullptr;
        return data;
    }
    *valid = buffer != nullptr;
    return static_cast<PUCHAR>(buffer);
}

// Takes the next scripted fault of an endpoint. Caller holds lock_.
bool BusDevice::NextFault(UCHAR endpoint, Fault *fault)
{
    auto it = faults_.find(endpoint);
    if (it == faults_.end() || it->second.empty())
        return false;
    *fault = it->second.front();
    if (!fault->Every)
        it->second.pop_front();
    return true;
}

void BusDevice::Record(LoggedRequest entry)
{
    log_.push_back(std::move(entry));
}

// The answer to a control request, from the bus (descriptors, endpoint status) or the model.
Outcome BusDevice::ServeControl(PURB urb, const SetupPacket &setup, const Bytes &out, ULONG limit)
{
    auto &request = urb->UrbControlVendorClassRequest;
    bool valid = true;
    PUCHAR data = TransferData(request.TransferBufferMDL, request.TransferBuffer, request.TransferBufferLength, &valid);
    Bytes in;
    USBD_STATUS answer = USBD_STATUS_SUCCESS;
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        UCHAR type = static_cast<UCHAR>(setup.Value >> 8), index = static_cast<UCHAR>(setup.Value & 0xff);
        if (type == USB_DEVICE_DESCRIPTOR_TYPE)
            in = model_->DeviceDescriptor();
        else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            in = model_->ConfigurationDescriptor(index);
        else if (type == USB_STRING_DESCRIPTOR_TYPE)
            in = model_->StringDescriptor(index, setup.Index);
        answer = in.empty() ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
    } else if (urb->UrbHeader.Function == URB_FUNCTION_GET_STATUS_FROM_ENDPOINT) {
        std::lock_guard<std::mutex> guard(lock_);
        in = {static_cast<UCHAR>(halted_[static_cast<UCHAR>(setup.Index)] ? 1 : 0), 0};
    } else {
        answer = model_->Control(setup, out, &in);
    }
    if (!Connected())
        return Outcome{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0, true};
    if (USBD_ERROR(answer))
        return Outcome{STATUS_UNSUCCESSFUL, answer, 0, true};
    ULONG length = setup.IsIn() ? static_cast<ULONG>(std::min<size_t>(in.size(), setup.Length))
                                : static_cast<ULONG>(out.size());
    length = std::min(length, limit);
    if (setup.IsIn() && length > 0)
        memcpy(data, in.data(), length);
    return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, length, true};
}

Outcome BusDevice::ServeBulkOut(UCHAR endpoint, const Bytes &data)
{
    model_->BulkOut(endpoint, data);
    if (!Connected())
        return Outcome{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0, true};
    return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, static_cast<ULONG>(data.size()), true};
}

// Moves the front message of an IN endpoint into a transfer: at most the transfer's length
// (and its short limit); the rest of the message stays for the next transfer. Caller holds lock_.
bool BusDevice::TakeInMessage(UCHAR endpoint, PURB urb, ULONG limit, Outcome *outcome)
{
    auto &queue = inMessages_[endpoint];
    if (queue.empty())
        return false;
    auto &transfer = urb->UrbBulkOrInterruptTransfer;
    bool valid = true;
    PUCHAR data = TransferData(transfer.TransferBufferMDL, transfer.TransferBuffer, transfer.TransferBufferLength, &valid);
    Bytes &message = queue.front();
    ULONG length = static_cast<ULONG>(std::min<size_t>({message.size(), transfer.TransferBufferLength, limit}));
    if (length > 0)
        memcpy(data, message.data(), length);
    message.erase(message.begin(), message.begin() + length);
    if (message.empty())
        queue.pop_front();
    *outcome = Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, length, true};
    return true;
}

void BusDevice::SendIn(UCHAR endpointAddress, Bytes message)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!connected_)
            return;
        inMessages_[endpointAddress].push_back(std::move(message));
    }
    ServeHeldIn(endpointAddress);
}

// Gives queued messages to the transfers waiting on an IN endpoint, oldest first.
void BusDevice::ServeHeldIn(UCHAR endpoint)
{
    std::vector<std::pair<HeldTransfer, Outcome>> done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = held_.begin(); it != held_.end() && !inMessages_[endpoint].empty();) {
            if (it->Endpoint != endpoint || it->Phase != HeldTransfer::State::WaitingForData || !Disarm(*it)) {
                ++it;
                continue;
            }
            Outcome outcome;
            TakeInMessage(endpoint, it->Urb, it->Limit, &outcome);
            done.emplace_back(*it, outcome);
            it = held_.erase(it);
        }
    }
    DriverCall call(BusDriver(), "USB completion", reinterpret_cast<const void *>(&BusDevice::Complete));
    for (const auto &[held, outcome] : done)
        Complete(held.Irp, held.Urb, outcome);
}

// A delayed transfer's time has come: it is served now as if it had just arrived (an IN
// transfer without data goes on waiting).
void BusDevice::ServeDelayed(uint64_t serial)
{
    HeldTransfer held;
    Outcome outcome;
    bool served = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = std::find_if(held_.begin(), held_.end(), [serial](const HeldTransfer &h) { return h.Serial == serial; });
        if (it == held_.end() || it->Phase != HeldTransfer::State::Delayed)
            return;
        it->Timer = 0;
        bool in = USB_ENDPOINT_DIRECTION_IN(it->Endpoint) && it->Urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        if (in && inMessages_[it->Endpoint].empty()) {
            it->Phase = HeldTransfer::State::WaitingForData;
            return;
        }
        if (!Disarm(*it))
            return;
        held = *it;
        held_.erase(it);
        if (!connected_) {
            outcome = Outcome{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0, true};
            served = true;
        } else if (in) {
            served = TakeInMessage(held.Endpoint, held.Urb, held.Limit, &outcome);
        }
    }
    DriverCall call(BusDriver(), "USB completion", reinterpret_cast<const void *>(&BusDevice::Complete), held.Irp);
    if (!served)
        outcome = ServeNow(held.Urb, held.Endpoint, held.Limit);
    Complete(held.Irp, held.Urb, outcome);
}

// Serves a control or bulk OUT request that was held (delayed): rebuilds what its dispatch
// had worked out from the URB.
Outcome BusDevice::ServeNow(PURB urb, UCHAR endpoint, ULONG limit)
{
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto &transfer = urb->UrbBulkOrInterruptTransfer;
        bool valid = true;
        PUCHAR data = TransferData(transfer.TransferBufferMDL, transfer.TransferBuffer, transfer.TransferBufferLength, &valid);
        ULONG length = std::min(transfer.TransferBufferLength, limit);
        return ServeBulkOut(endpoint, Bytes(data, data + length));
    }
    SetupPacket setup;
    Bytes out;
    ControlSetup(urb, &setup, &out);
    return ServeControl(urb, setup, out, limit);
}

// ============================================================================================
// Faults and unplug
// ============================================================================================

void BusDevice::ScriptFault(UCHAR endpointAddress, const Fault &fault)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_[endpointAddress].push_back(fault);
}

void BusDevice::ScriptResetPipeFault(const Fault &fault)
{
    std::lock_guard<std::mutex> guard(lock_);
    resetPipeFaults_.push_back(fault);
}

void BusDevice::ScriptResetPortFault(const Fault &fault)
{
    std::lock_guard<std::mutex> guard(lock_);
    resetPortFaults_.push_back(fault);
}

void BusDevice::ClearFaults()
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.clear();
    resetPipeFaults_.clear();
    resetPortFaults_.clear();
}

void BusDevice::Unplug()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!connected_)
            return;
        connected_ = false;
        configured_ = false;
        inMessages_.clear();
    }
    model_->Connect(nullptr);
    {
        DriverCall call(BusDriver(), "USB unplug", reinterpret_cast<const void *>(&BusDevice::Complete));
        CompleteHeldWith(0, true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        FailWaitWake(STATUS_NO_SUCH_DEVICE);
    }
    ReportUnplugToPnp();
}

Fault Fault::Stall(bool every)
{
    Fault f;
    f.Action = FaultAction::Stall;
    f.Every = every;
    f.UsbdStatus = USBD_STATUS_STALL_PID;
    f.Status = STATUS_UNSUCCESSFUL;
    return f;
}

Fault Fault::Fail(USBD_STATUS usbdStatus, NTSTATUS status, bool every)
{
    Fault f;
    f.Action = FaultAction::Fail;
    f.Every = every;
    f.UsbdStatus = usbdStatus;
    f.Status = status;
    return f;
}

Fault Fault::NeverComplete(bool every)
{
    Fault f;
    f.Action = FaultAction::NeverComplete;
    f.Every = every;
    return f;
}

Fault Fault::CompleteShort(ULONG length, bool every)
{
    Fault f;
    f.Action = FaultAction::CompleteShort;
    f.Every = every;
    f.ShortLength = length;
    return f;
}

Fault Fault::After(int64_t delay100ns, bool every)
{
    Fault f;
    f.Action = FaultAction::Delay;
    f.Every = every;
    f.Delay = delay100ns;
    return f;
}

} // namespace sim::usb
