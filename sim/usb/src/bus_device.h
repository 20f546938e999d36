// One device on the simulated bus: its PDO, its state as the USB stack sees it (connected,
// configured, pipes, halted endpoints), the transfers it holds, its faults and its log.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <mutex>

#include "sim/kernel/include/sim_kernel.h"

#include "sim/usb/include/usb_bus.h"

namespace sim::usb {

// A configured pipe: what the select-configuration request reported for it.
struct PipeState {
    UCHAR Address = 0;
    UCHAR Type = USB_ENDPOINT_TYPE_BULK;
    ULONG MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
};

// A transfer the bus holds. It is armed (the bus's cancel routine installed) while it waits
// here; whoever takes it out must first disarm it, except the cancel routine, which owns it.
struct HeldTransfer {
    enum class State { WaitingForData, Never, Delayed, Cancelling };
    uint64_t Serial = 0;     // identifies it to its delay timer
    PIRP Irp = nullptr;
    PURB Urb = nullptr;
    UCHAR Endpoint = 0;      // 0: the control pipe
    State Phase = State::WaitingForData;
    uint64_t Timer = 0;      // Delayed: the scheduled callback, 0 once it ran
    ULONG Limit = ~0u;       // most bytes it may move (a CompleteShort fault)
};

// The outcome of a request, applied to its URB and IRP when it completes.
struct Outcome {
    NTSTATUS Status = STATUS_SUCCESS;
    USBD_STATUS UsbdStatus = USBD_STATUS_SUCCESS;
    ULONG Length = 0;        // bytes moved, written to the URB's TransferBufferLength
    bool SetLength = false;
};

class BusDevice : public UsbDevice, public DevicePort, public std::enable_shared_from_this<BusDevice> {
public:
    BusDevice(std::shared_ptr<DeviceModel> model, const PlugOptions &options, ULONG serial);
    ~BusDevice() override;

    NTSTATUS CreatePdo();
    void AttachNode(DeviceNode *node);
    ULONG Port() const;            // the hub port it is plugged into
    void SetPort(ULONG port);
    static BusDevice *FromPdo(PDEVICE_OBJECT pdo);

    // ---- UsbDevice ----
    PDEVICE_OBJECT Pdo() const override;
    DeviceModel &Model() const override { return *model_; }
    std::u16string DeviceId() const override;
    std::vector<std::u16string> HardwareIds() const override;
    std::vector<std::u16string> CompatibleIds() const override;
    std::u16string InstanceId() const override;
    std::vector<LoggedRequest> Log() const override;
    void ClearLog() override;
    void ScriptFault(UCHAR endpointAddress, const Fault &fault) override;
    void ScriptResetPipeFault(const Fault &fault) override;
    void ScriptResetPortFault(const Fault &fault) override;
    void ClearFaults() override;
    size_t PendingTransfers() const override;
    bool Connected() const override;
    bool Configured() const override;
    void Unplug() override;
    void WaitForPnp() override;
    DeviceNode *Node() const override;
    bool SignalWake() override;

    // ---- DevicePort ----
    void SendIn(UCHAR endpointAddress, Bytes message) override;

    // ---- The PDO's requests (bus_pdo.cpp) ----
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchInternalControl(PIRP irp);
    void CancelHeld(PIRP irp);
    void CancelHeldWaitWake(PIRP irp);

    // ---- URBs (bus_urb.cpp) ----
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS ResetPort();

private:
    // ---- PnP and power (bus_pdo.cpp) ----
    NTSTATUS QueryId(PIRP irp);
    NTSTATUS QueryCapabilities(PIRP irp);
    NTSTATUS QueryDeviceText(PIRP irp);
    NTSTATUS QueryTargetRelation(PIRP irp);
    NTSTATUS Remove();
    NTSTATUS HoldWaitWake(PIRP irp);
    bool FailWaitWake(NTSTATUS status);
    void ReportUnplugToPnp();

    // ---- URB functions (bus_urb.cpp) ----
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    void FillInterface(PUSBD_INTERFACE_INFORMATION info, const USB_INTERFACE_DESCRIPTOR *iface,
                       const std::vector<const USB_ENDPOINT_DESCRIPTOR *> &endpoints); // caller holds lock_
    NTSTATUS Unconfigure(PIRP irp, PURB urb);
    NTSTATUS ResetPipe(PIRP irp, PURB urb);
    NTSTATUS AbortPipe(PIRP irp, PURB urb);
    NTSTATUS ControlTransfer(PIRP irp, PURB urb);
    NTSTATUS BulkTransfer(PIRP irp, PURB urb);
    NTSTATUS RunTransfer(PIRP irp, PURB urb, UCHAR endpoint, LoggedRequest entry);
    static void ControlSetup(PURB urb, SetupPacket *setup, Bytes *out);

    // ---- Transfers (bus_transfers.cpp) ----
    Outcome ServeNow(PURB urb, UCHAR endpoint, ULONG limit);
    Outcome ServeControl(PURB urb, const SetupPacket &setup, const Bytes &out, ULONG limit);
    Outcome ServeBulkOut(UCHAR endpoint, const Bytes &data);
    bool TakeInMessage(UCHAR endpoint, PURB urb, ULONG limit, Outcome *outcome); // caller holds lock_
    void ServeHeldIn(UCHAR endpoint);
    void ServeDelayed(uint64_t serial);
    bool HoldLocked(PIRP irp, PURB urb, UCHAR endpoint, HeldTransfer::State phase, ULONG limit,
                    uint64_t *serial); // caller holds lock_
    bool Disarm(HeldTransfer &held);   // caller holds lock_
    void CompleteHeldWith(UCHAR endpoint, bool allEndpoints, NTSTATUS status, USBD_STATUS usbdStatus);
    static void FinishLater(PIRP irp, PURB urb, const Outcome &outcome);
    static void Complete(PIRP irp, PURB urb, const Outcome &outcome);
    bool NextFault(UCHAR endpoint, Fault *fault); // caller holds lock_
    void Record(LoggedRequest entry);             // caller holds lock_

    // ---- Helpers ----
    static PUCHAR TransferData(PMDL mdl, PVOID buffer, ULONG length, bool *valid);
    bool LookUpPipe(USBD_PIPE_HANDLE handle, PipeState *pipe) const; // caller holds lock_
    bool FindPipeLocked(USBD_PIPE_HANDLE handle, PipeState *pipe, Outcome *refused) const; // caller holds lock_
    bool FindPipe(USBD_PIPE_HANDLE handle, PipeState *pipe, Outcome *refused) const;
    USBD_PIPE_HANDLE MakePipeHandle(ULONG index) const;              // caller holds lock_

    std::shared_ptr<DeviceModel> model_;
    PlugOptions options_;
    ULONG serial_;
    std::mutex pnpThreadLock_; // guards pnpThread_: an unplug may come from any thread
    Thread pnpThread_;         // reports an unplug to the PnP manager

    mutable std::mutex lock_; // guards everything below; never held while a model, a driver
                              // or the PnP manager runs
    PDEVICE_OBJECT pdo_ = nullptr;
    DeviceNode *node_ = nullptr;
    ULONG port_ = 0;
    bool connected_ = true;
    bool configured_ = false;
    bool removed_ = false;    // the PDO was deleted at its removal after an unplug
    ULONG generation_ = 0;    // counts configurations; pipe handles carry it
    std::vector<PipeState> pipes_;
    std::map<UCHAR, bool> halted_;
    std::map<UCHAR, std::deque<Bytes>> inMessages_;
    std::list<HeldTransfer> held_;
    PIRP waitWake_ = nullptr;
    std::map<UCHAR, std::deque<Fault>> faults_;
    std::deque<Fault> resetPipeFaults_;
    std::deque<Fault> resetPortFaults_;
    std::vector<LoggedRequest> log_;
};

// The PDO's device extension: the device it stands for.
struct PdoExtension {
    BusDevice *Device;
};

// The bus driver's registry of live devices, so that a PDO finds its device, and the hub's
// ports they occupy (requestedPort 0: the lowest free one).
bool RegisterBusDevice(const std::shared_ptr<BusDevice> &device, ULONG requestedPort);
void ForgetBusDevice(BusDevice *device);

} // namespace sim::usb
