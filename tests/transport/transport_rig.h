// Test rig of the transport driver: a simulated USB device with the transport device on top,
// and helpers that send the transport the requests its clients and the Plug and Play and power
// managers send, the way they build them.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/kernel/include/sim_gtest.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/kernel/include/sim_pnp.h"
#include "sim/usb/include/usb_bus.h"
#include "sim/usb/include/usb_descriptors.h"
#include "transport/transport.h"

namespace transport_test {

using sim::usb::Bytes;
using sim::usb::LoggedRequest;
using sim::usb::RequestKind;

// ---------------------------------------------------------------------------------------------
// One request sent to the transport: built with IoAllocateIrp, finished by a completion routine
// that counts completions and keeps the request for the test.
// ---------------------------------------------------------------------------------------------
class Request {
public:
    explicit Request(PDEVICE_OBJECT target);
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    PIRP Irp() const { return irp_; }
    PIO_STACK_LOCATION Stack() const { return IoGetNextIrpStackLocation(irp_); }

    // Sends the request; returns what the dispatch routine returned.
    NTSTATUS Send();
    // Waits (a simulated wait) until the request has completed; returns its final status.
    NTSTATUS Wait();
    bool Completed() const { return completions_.load() != 0; }
    int Completions() const { return completions_.load(); }
    NTSTATUS Status() const { return irp_->IoStatus.Status; }
    ULONG_PTR Information() const { return irp_->IoStatus.Information; }
    NTSTATUS Returned() const { return returned_; }
    bool Cancel() { return IoCancelIrp(irp_) != FALSE; }

private:
    static NTSTATUS Done(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PDEVICE_OBJECT target_;
    PIRP irp_;
    KEVENT event_;
    std::atomic<int> completions_{0};
    NTSTATUS returned_ = STATUS_PENDING;
};

// A file object of the transport: a pipe handle or the device handle, owned by the test.
struct File {
    explicit File(const std::u16string &name);
    FILE_OBJECT Object{};
    std::u16string Name;
};

// A bulk transfer in flight with its caller buffer and memory descriptor list.
struct Transfer {
    Transfer(PDEVICE_OBJECT target, File *file, UCHAR major, ULONG length);
    ~Transfer();
    std::vector<UCHAR> Buffer;
    PMDL Mdl = nullptr;
    Request Req;
};

// The result of a control request: status, information and the bytes the caller receives.
struct ControlResult {
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    std::vector<UCHAR> Buffer;   // the whole shared system buffer after completion
};

// ---------------------------------------------------------------------------------------------
// A lower filter between the bus device and the transport that passes everything down, except
// one scripted request it fails itself (a lower driver that refuses a start or a power-up).
// ---------------------------------------------------------------------------------------------
// A URB as the filter saw it on its way to the bus.
struct SeenUrb {
    USHORT Function = 0;
    ULONG TransferFlags = 0;                 // bulk and vendor or class requests
    std::vector<ULONG> MaximumTransferSizes; // select configuration: every pipe, in order
};

// A set-power request as the filter saw it: system (S1 = 2 ...) or device (D0 = 1 ...) state.
struct SeenPower {
    bool System = false;
    ULONG State = 0;
    bool operator==(const SeenPower &o) const { return System == o.System && State == o.State; }
};

struct FilterFailure {
    UCHAR Major = 0xFF;              // none
    UCHAR Minor = 0;
    bool DevicePowerOnly = false;    // IRP_MN_SET_POWER of a device power state only
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
};

// ---------------------------------------------------------------------------------------------
// The rig
// ---------------------------------------------------------------------------------------------
class Rig {
public:
    // A rig of its own driver object, or a second device of another rig's driver.
    explicit Rig(Rig *sameDriverAs = nullptr);
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // Plugs a device in and adds the transport device on top of its PDO. The PnP manager knows
    // the device (so that interfaces can be registered on it) but leaves the stack above the PDO
    // to the test, which sends the transport every Plug and Play request itself.
    NTSTATUS Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::PlugOptions &options = {});
    NTSTATUS PlugCardReader(const sim::usb::PlugOptions &options = {});
    // Before Plug: put the lower filter under the transport, failing 'failure'.
    void UseLowerFilter(const FilterFailure &failure = {});
    // The URBs the lower filter passed down, in order.
    std::vector<SeenUrb> SeenUrbs() const;
    void ClearSeenUrbs();
    // The set-power requests the lower filter passed down, in order.
    std::vector<SeenPower> SeenPowers() const;
    void ClearSeenPowers();

    PDRIVER_OBJECT Driver() const { return driver_; }
    PDEVICE_OBJECT Fdo() const { return fdo_; }
    TRANSPORT_EXTENSION *Ext() const { return TransportExtension(fdo_); }
    sim::usb::UsbDevice &Device() const { return *device_; }
    sim::usb::CardReaderModel &CardReader() const { return *cardReader_; }
    bool Removed() const { return fdo_ == nullptr; }

    // Plug and Play.
    NTSTATUS Pnp(UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr);
    NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE); }
    // IRP_MN_REMOVE_DEVICE while the device is still plugged in; the device object is gone
    // afterwards. (A rig that is not removed is removed by the PnP manager at its end.)
    NTSTATUS Remove();

    // Power: a set-power or wait-wake request as the power manager sends it.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);

    // Handles.
    NTSTATUS Open(File &file);
    NTSTATUS Close(File &file);

    // Bulk transfers: synchronous forms wait for completion.
    std::unique_ptr<Transfer> StartRead(File &file, ULONG length);
    std::unique_ptr<Transfer> StartWrite(File &file, const Bytes &data);
    std::unique_ptr<Transfer> StartTransfer(File *file, UCHAR major, ULONG length);

    // Control codes (METHOD_BUFFERED): the input is copied into a system buffer of
    // max(input, output) bytes; 'fill' pads the rest of the buffer.
    ControlResult Control(ULONG code, const Bytes &input, ULONG outputLength, File *file = nullptr,
                          UCHAR fill = 0xEE);

    // The device's log, and the log reduced to (kind, length) pairs.
    std::vector<LoggedRequest> Log() const { return device_->Log(); }
    void ClearLog() { device_->ClearLog(); }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    bool ownsDriver_ = false;
    PDRIVER_OBJECT filterDriver_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    sim::DeviceNode *node_ = nullptr;
    FilterFailure failure_;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::shared_ptr<sim::usb::UsbDevice> device_;
    std::shared_ptr<sim::usb::CardReaderModel> cardReader_;
};

// The kinds of the logged requests, in order.
std::vector<RequestKind> Kinds(const std::vector<LoggedRequest> &log);
// The (kind, length) pairs of bulk transfers, in order.
std::vector<ULONG> BulkLengths(const std::vector<LoggedRequest> &log, UCHAR endpoint);
// Printable form of a log, for failure messages.
std::string Describe(const std::vector<LoggedRequest> &log);

// The test fixture: a fresh kernel state, verifier failures reported as test failures.
class TransportTest : public sim::KernelTest {};

}  // namespace transport_test
