// The simulated USB bus: plugs device models in as physical device objects (PDOs) at the
// bottom of a device stack, scripts their faults and keeps the log of what each device saw.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/include/sim_pnp.h"
#include "sim/usb/include/usb_device_model.h"

namespace sim::usb {

// ============================================================================================
// The device's request log
// ============================================================================================

enum class RequestKind {
    GetDescriptor,        // URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
    SelectConfiguration,  // URB_FUNCTION_SELECT_CONFIGURATION (Unconfigure: null descriptor)
    GetStatus,            // the four URB_FUNCTION_GET_STATUS_FROM_* functions
    VendorOrClass,        // the vendor and class request functions, every recipient
    BulkOrInterrupt,      // URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
    ResetPipe,            // URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL
    AbortPipe,            // URB_FUNCTION_ABORT_PIPE
    ResetPort,            // IOCTL_INTERNAL_USB_RESET_PORT
};

// One request the device saw, recorded when the bus accepted it (requests refused before
// they reach the device, such as those with a stale pipe handle, are not recorded).
struct LoggedRequest {
    RequestKind Kind = RequestKind::GetDescriptor;
    USHORT Function = 0;      // the URB function (0 for a port reset)
    UCHAR Endpoint = 0;       // endpoint address; 0 for requests on the control pipe
    ULONG Length = 0;         // the transfer length asked for (select configuration: URB length)
    SetupPacket Setup;        // control requests: the setup packet as sent
    UCHAR ReservedBits = 0;   // vendor and class requests: RequestTypeReservedBits
    bool Unconfigure = false; // select configuration with a null configuration descriptor
    Bytes Data;               // OUT data as sent (bulk OUT: the bytes the device took)
};

// ============================================================================================
// Fault scripting
// ============================================================================================

enum class FaultAction {
    Stall,          // USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL; a bulk endpoint stays halted
                    // (every transfer stalls) until a pipe reset or a port reset
    Fail,           // fails at once with the given USBD status and NTSTATUS
    NeverComplete,  // stays pending until cancelled, aborted or unplugged
    CompleteShort,  // moves at most ShortLength bytes, successfully
    Delay,          // is served only after Delay (100 ns units) of virtual time
};

struct Fault {
    FaultAction Action = FaultAction::Fail;
    bool Every = false; // every transfer from now on, instead of only the next one
    USBD_STATUS UsbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    ULONG ShortLength = 0;
    int64_t Delay = 0;

    static Fault Stall(bool every = false);
    static Fault Fail(USBD_STATUS usbdStatus, NTSTATUS status, bool every = false);
    static Fault NeverComplete(bool every = false);
    static Fault CompleteShort(ULONG length, bool every = false);
    static Fault After(int64_t delay100ns, bool every = false);
};

// ============================================================================================
// Plugged devices
// ============================================================================================

struct PlugOptions {
    // The capabilities the PDO reports (IRP_MN_QUERY_CAPABILITIES).
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
        PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    DEVICE_POWER_STATE DeviceWake = PowerDeviceD2;
    SYSTEM_POWER_STATE SystemWake = PowerSystemSleeping3;
    // The hub port (1 and up); 0 takes the lowest port that has no device. A port holds its
    // device until the device's PDO is removed. The device instance follows from the port: a
    // device plugged into the same port again is the same device instance, with its registry
    // keys (and so its COM name), as Windows enumerates it.
    ULONG PortNumber = 0;
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // The PDO, or nullptr once the PnP manager removed it after an unplug.
    virtual PDEVICE_OBJECT Pdo() const = 0;
    virtual DeviceModel &Model() const = 0;

    // PnP identity, as the PDO reports it.
    virtual std::u16string DeviceId() const = 0;
    virtual std::vector<std::u16string> HardwareIds() const = 0;
    virtual std::vector<std::u16string> CompatibleIds() const = 0;
    virtual std::u16string InstanceId() const = 0;

    virtual std::vector<LoggedRequest> Log() const = 0;
    virtual void ClearLog() = 0;

    // Faults for transfers on 'endpointAddress' (0: every request on the control pipe).
    // Scripted faults of one endpoint apply in the order given.
    virtual void ScriptFault(UCHAR endpointAddress, const Fault &fault) = 0;
    // Faults of pipe resets and port resets (Fail only).
    virtual void ScriptResetPipeFault(const Fault &fault) = 0;
    virtual void ScriptResetPortFault(const Fault &fault) = 0;
    virtual void ClearFaults() = 0;

    // Transfers the bus holds (waiting for data, delayed or never completing).
    virtual size_t PendingTransfers() const = 0;
    virtual bool Connected() const = 0;
    virtual bool Configured() const = 0;

    // The cable is pulled: everything pending completes with STATUS_DEVICE_NOT_CONNECTED
    // (STATUS_CANCELLED for what was being cancelled), later requests fail the same way, and
    // the PnP manager is told the device is gone. Safe from any thread, also from inside a
    // model handler.
    virtual void Unplug() = 0;
    // Waits (a simulated wait) until the PnP manager has finished the surprise removal that
    // an unplug started.
    virtual void WaitForPnp() = 0;
    // The PnP manager's node of a device plugged in with PlugIn (nullptr otherwise).
    virtual DeviceNode *Node() const = 0;

    // The device signals remote wake: a held wait-wake request completes with success.
    // False when none was held.
    virtual bool SignalWake() = 0;
};

// Creates the PDO of a device without telling the PnP manager, for tests that build their
// own stack above it (IoAttachDeviceToDeviceStack) and send the PnP requests themselves.
std::shared_ptr<UsbDevice> CreateDevice(std::shared_ptr<DeviceModel> model, const PlugOptions &options = {});

// Plugs a device in through the PnP manager: it enumerates the PDO, loads the drivers
// registered for its hardware IDs in stack order and starts the stack.
std::shared_ptr<UsbDevice> PlugIn(std::shared_ptr<DeviceModel> model, const PlugOptions &options = {});

// The bus driver's driver object (created on first use).
PDRIVER_OBJECT BusDriver();

} // namespace sim::usb
