// Test support for the simulated USB bus (see usb_test_driver.h).
#include "tests/sim/usb/usb_test_driver.h"

#include <cstring>

namespace usb_test {

// ============================================================================================
// The test function driver
// ============================================================================================

namespace {

struct TestExtension {
    PDEVICE_OBJECT Lower;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device)
{
    return static_cast<TestExtension *>(device->DeviceExtension)->Lower;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS TestPnp(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return PassDown(device, irp);
    // Passed down first, detached after: the attachment's own reference keeps the lower device
    // object valid for the detach, even when the bus deleted its PDO while handling the removal.
    PDEVICE_OBJECT lower = LowerOf(device);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS TestPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(device), irp);
}

VOID TestUnload(PDRIVER_OBJECT) {}

} // namespace

NTSTATUS TestFunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction)
        dispatch = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = TestPnp;
    driver->MajorFunction[IRP_MJ_POWER] = TestPower;
    driver->DriverExtension->AddDevice = TestAddDevice;
    driver->DriverUnload = TestUnload;
    return STATUS_SUCCESS;
}

NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    static_cast<TestExtension *>(device->DeviceExtension)->Lower = lower;
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT AttachedAbove(PDEVICE_OBJECT device)
{
    return device->AttachedDevice;
}

// ============================================================================================
// Requests
// ============================================================================================

Request::Request(PDEVICE_OBJECT target) : target_(target)
{
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp_->IoStatus.Information = 0;
}

Request::~Request()
{
    IoFreeIrp(irp_);
}

NTSTATUS Request::Done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto *self = static_cast<Request *>(context);
    self->completions_.fetch_add(1);
    KeSetEvent(&self->event_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Request::Send()
{
    IoSetCompletionRoutine(irp_, Done, this, TRUE, TRUE, TRUE);
    return IoCallDriver(target_, irp_);
}

NTSTATUS Request::Wait()
{
    KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
    return irp_->IoStatus.Status;
}

UrbRequest::UrbRequest(PDEVICE_OBJECT target, size_t urbLength)
    : storage_((std::max(urbLength, sizeof(URB)) + 7) / 8, 0), request_(target)
{
    Urb()->UrbHeader.Length = static_cast<USHORT>(urbLength);
    PIO_STACK_LOCATION stack = request_.Stack();
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = Urb();
}

UrbRequest::~UrbRequest()
{
    if (mdl_ != nullptr)
        IoFreeMdl(mdl_);
}

void UrbRequest::UseMdl()
{
    if (Buffer.empty())
        return;
    mdl_ = IoAllocateMdl(Buffer.data(), static_cast<ULONG>(Buffer.size()), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl_);
}

// ============================================================================================
// The fixture
// ============================================================================================

void BusFixture::SetUp()
{
    sim::ResetForTest();
    sim::SetFailureHandler([](const std::string &message) { ADD_FAILURE() << "verifier: " << message; });
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = sim::CreateDriver(u"\\Driver\\UsbTestFunction", TestFunctionEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
}

void BusFixture::TearDown()
{
    if (fdo_ != nullptr)
        UnplugAndRemove();
    if (driver_ != nullptr) {
        EXPECT_TRUE(sim::CheckDriverLeaks(driver_));
        sim::UnloadDriver(driver_);
    }
    device_.reset();
    sim::ResetForTest();
}

void BusFixture::Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::PlugOptions &options)
{
    device_ = sim::usb::CreateDevice(std::move(model), options);
    ASSERT_NE(device_, nullptr);
    PDEVICE_OBJECT pdo = device_->Pdo();
    NTSTATUS status;
    {
        sim::DriverCall call(driver_, "AddDevice", reinterpret_cast<const void *>(TestAddDevice));
        status = TestAddDevice(driver_, pdo);
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    fdo_ = pdo->AttachedDevice;
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
}

NTSTATUS BusFixture::Pnp(UCHAR minor, PIO_STACK_LOCATION *, PIRP *)
{
    Request request(fdo_);
    request.Stack()->MajorFunction = IRP_MJ_PNP;
    request.Stack()->MinorFunction = minor;
    request.Send();
    return request.Wait();
}

void BusFixture::UnplugAndRemove()
{
    // The PnP manager holds a reference on the PDO while the stack above it goes away.
    PDEVICE_OBJECT pdo = device_->Pdo();
    ObReferenceObject(pdo);
    device_->Unplug();
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(sim::IsDeviceDeleted(pdo));
    ObDereferenceObject(pdo);
    fdo_ = nullptr;
    EXPECT_EQ(device_->Pdo(), nullptr);
}

NTSTATUS BusFixture::GetDescriptor(UCHAR type, UCHAR index, ULONG length, Bytes *out, ULONG *transferred)
{
    UrbRequest u(fdo_, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    u.Buffer.assign(length, 0xEE);
    UsbBuildGetDescriptorRequest(u.Urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0,
                                 u.Buffer.data(), nullptr, length, nullptr);
    u.Send();
    NTSTATUS status = u.Wait();
    ULONG moved = u.Urb()->UrbControlDescriptorRequest.TransferBufferLength;
    if (transferred != nullptr)
        *transferred = moved;
    if (out != nullptr)
        out->assign(u.Buffer.begin(), u.Buffer.begin() + std::min<size_t>(moved, u.Buffer.size()));
    return status;
}

NTSTATUS BusFixture::SelectConfiguration(ULONG maximumTransferSize, std::vector<USBD_PIPE_INFORMATION> *pipes)
{
    Bytes config;
    NTSTATUS status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 521, &config);
    if (!NT_SUCCESS(status))
        return status;
    if (sim::usb::TotalLength(config) > config.size()) {
        status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, sim::usb::TotalLength(config), &config);
        if (!NT_SUCCESS(status))
            return status;
    }
    auto *header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    PVOID position = header;
    // As a function driver walks: up to bNumInterfaces interface descriptors, alternate
    // settings included.
    while (list.size() < header->bNumInterfaces) {
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(header, position, -1, -1, -1, -1, -1);
        if (iface == nullptr)
            break;
        list.push_back({iface, nullptr});
        position = reinterpret_cast<PUCHAR>(iface) + sizeof(USB_INTERFACE_DESCRIPTOR);
    }
    list.push_back({});
    PURB urb = USBD_CreateConfigurationRequestEx(header, list.data());
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (auto &entry : list)
        for (ULONG p = 0; entry.Interface != nullptr && p < entry.Interface->NumberOfPipes; p++)
            entry.Interface->Pipes[p].MaximumTransferSize = maximumTransferSize;

    UrbRequest u(fdo_, urb->UrbHeader.Length);
    memcpy(u.Urb(), urb, urb->UrbHeader.Length);
    u.Send();
    status = u.Wait();
    std::vector<USBD_PIPE_INFORMATION> found;
    auto *cursor = reinterpret_cast<PUCHAR>(&u.Urb()->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i + 1 < list.size(); i++) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        for (ULONG p = 0; p < info->NumberOfPipes; p++)
            found.push_back(info->Pipes[p]);
        cursor += info->Length;
    }
    ExFreePool(urb);
    if (NT_SUCCESS(status))
        pipes_ = found;
    if (pipes != nullptr)
        *pipes = found;
    return status;
}

NTSTATUS BusFixture::Unconfigure()
{
    UrbRequest u(fdo_, sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(u.Urb(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    u.Send();
    return u.Wait();
}

std::unique_ptr<UrbRequest> BusFixture::StartBulk(USBD_PIPE_HANDLE pipe, ULONG length, const Bytes &data, bool in)
{
    auto u = std::make_unique<UrbRequest>(fdo_, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    u->Buffer = data;
    u->Buffer.resize(length, 0xEE);
    u->UseMdl();
    UsbBuildInterruptOrBulkTransferRequest(u->Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, nullptr,
                                           u->Mdl(), length,
                                           USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0), nullptr);
    u->Returned = u->Send();
    return u;
}

NTSTATUS BusFixture::Bulk(USBD_PIPE_HANDLE pipe, Bytes *data, bool in, ULONG *transferred)
{
    std::unique_ptr<UrbRequest> u = StartBulk(pipe, static_cast<ULONG>(data->size()), *data, in);
    NTSTATUS status = u->Wait();
    *transferred = u->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (in)
        data->assign(u->Buffer.begin(), u->Buffer.begin() + std::min<size_t>(*transferred, u->Buffer.size()));
    return status;
}

NTSTATUS BusFixture::VendorOrClass(USHORT function, UCHAR request, USHORT value, USHORT index, bool in, Bytes *data,
                                   ULONG *transferred)
{
    UrbRequest u(fdo_, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (data != nullptr)
        u.Buffer = *data;
    ULONG length = static_cast<ULONG>(u.Buffer.size());
    UsbBuildVendorRequest(u.Urb(), function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0), 0, request, value, index,
                          length == 0 ? nullptr : u.Buffer.data(), nullptr, length, nullptr);
    u.Send();
    NTSTATUS status = u.Wait();
    if (transferred != nullptr)
        *transferred = u.Urb()->UrbControlVendorClassRequest.TransferBufferLength;
    if (data != nullptr)
        *data = u.Buffer;
    return status;
}

NTSTATUS BusFixture::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
{
    UrbRequest u(fdo_, sizeof(struct _URB_PIPE_REQUEST));
    u.Urb()->UrbHeader.Function = function;
    u.Urb()->UrbPipeRequest.PipeHandle = pipe;
    u.Send();
    return u.Wait();
}

NTSTATUS BusFixture::ResetPort()
{
    Request r(fdo_);
    r.Stack()->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    r.Stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
    r.Send();
    return r.Wait();
}

} // namespace usb_test
