// Test support for the simulated USB bus: a small in-process function driver that attaches
// above a PDO and passes every request down, and requests sent through it the way a USB
// function driver builds them.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/usb/include/usb_bus.h"
#include "sim/usb/include/usb_descriptors.h"

namespace usb_test {

using sim::usb::Bytes;

// The test function driver: AddDevice attaches a device that forwards everything to the PDO.
NTSTATUS TestFunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// The device a test driver attached above 'pdo' (or above its own attached devices).
PDEVICE_OBJECT AttachedAbove(PDEVICE_OBJECT device);

// One request through a device: allocated with IoAllocateIrp, finished by a completion
// routine that signals an event and keeps the request for the test.
class Request {
public:
    explicit Request(PDEVICE_OBJECT target);
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    PIRP Irp() const { return irp_; }
    PIO_STACK_LOCATION Stack() const { return IoGetNextIrpStackLocation(irp_); }
    NTSTATUS Send();           // what the dispatch returned
    NTSTATUS Wait();           // a simulated wait for completion; the final status
    bool Completed() const { return completions_.load() != 0; }
    int Completions() const { return completions_.load(); }
    NTSTATUS Status() const { return irp_->IoStatus.Status; }
    bool Cancel() { return IoCancelIrp(irp_) != FALSE; }

private:
    static NTSTATUS Done(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    PDEVICE_OBJECT target_;
    PIRP irp_;
    KEVENT event_;
    std::atomic<int> completions_{0};
};

// A URB submitted with IOCTL_INTERNAL_USB_SUBMIT_URB; its transfer buffer, when it has one,
// is described by an MDL as the staged transfers of a function driver do.
class UrbRequest {
public:
    UrbRequest(PDEVICE_OBJECT target, size_t urbLength = sizeof(URB));
    ~UrbRequest();
    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    Request &Req() { return request_; }
    Bytes Buffer;               // the transfer buffer
    NTSTATUS Returned = STATUS_PENDING; // what the dispatch returned (StartBulk)
    void UseMdl();              // describes Buffer with an MDL instead of a pointer
    PMDL Mdl() const { return mdl_; }
    NTSTATUS Send() { return request_.Send(); }
    NTSTATUS Wait() { return request_.Wait(); }

private:
    std::vector<uint64_t> storage_;
    PMDL mdl_ = nullptr;
    Request request_;
};

// A card reader (or any model) on a PDO with the test function driver above it, started.
class BusFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::PlugOptions &options = {});
    NTSTATUS Pnp(UCHAR minor, PIO_STACK_LOCATION *stackOut = nullptr, PIRP *irpOut = nullptr);
    void UnplugAndRemove();

    // Requests a function driver makes.
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, ULONG length, Bytes *out, ULONG *transferred = nullptr);
    // Selects the device's configuration with every interface; each pipe asks for
    // 'maximumTransferSize'. Fills the pipes found.
    NTSTATUS SelectConfiguration(ULONG maximumTransferSize, std::vector<USBD_PIPE_INFORMATION> *pipes = nullptr);
    NTSTATUS Unconfigure();
    std::unique_ptr<UrbRequest> StartBulk(USBD_PIPE_HANDLE pipe, ULONG length, const Bytes &data = {}, bool in = false);
    NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, Bytes *data, bool in, ULONG *transferred);
    NTSTATUS VendorOrClass(USHORT function, UCHAR request, USHORT value, USHORT index, bool in, Bytes *data,
                           ULONG *transferred = nullptr);
    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe);
    NTSTATUS ResetPort();

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::shared_ptr<sim::usb::UsbDevice> device_;
    std::shared_ptr<sim::usb::CardReaderModel> card_;
    std::vector<USBD_PIPE_INFORMATION> pipes_; // after SelectConfiguration
};

} // namespace usb_test
