// Test rig of the transport driver (see transport_rig.h).
#include "tests/transport/transport_rig.h"

#include <algorithm>
#include <mutex>
#include <sstream>

namespace transport_test {

// =============================================================================================
// Requests
// =============================================================================================

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
    returned_ = IoCallDriver(target_, irp_);
    return returned_;
}

NTSTATUS Request::Wait()
{
    KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
    return irp_->IoStatus.Status;
}

File::File(const std::u16string &name) : Name(name)
{
    Object.Type = 5;  // IO_TYPE_FILE
    Object.Size = sizeof(FILE_OBJECT);
    Object.FileName.Buffer = Name.empty() ? nullptr : Name.data();
    Object.FileName.Length = static_cast<USHORT>(Name.size() * sizeof(char16_t));
    Object.FileName.MaximumLength = Object.FileName.Length;
}

Transfer::Transfer(PDEVICE_OBJECT target, File *file, UCHAR major, ULONG length)
    : Buffer(length, 0xA5), Req(target)
{
    if (length != 0) {
        Mdl = IoAllocateMdl(Buffer.data(), length, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(Mdl);
        Req.Irp()->MdlAddress = Mdl;
    }
    PIO_STACK_LOCATION stack = Req.Stack();
    stack->MajorFunction = major;
    stack->FileObject = file != nullptr ? &file->Object : nullptr;
    if (major == IRP_MJ_READ) {
        stack->Parameters.Read.Length = length;
    } else {
        stack->Parameters.Write.Length = length;
    }
}

Transfer::~Transfer()
{
    Req.Irp()->MdlAddress = nullptr;
    if (Mdl != nullptr) {
        IoFreeMdl(Mdl);
    }
}

// =============================================================================================
// Lower filter
// =============================================================================================

namespace {

struct FilterExtension {
    PDEVICE_OBJECT Lower;
    const FilterFailure *Failure;
};

std::mutex seenLock;
std::vector<SeenUrb> seenUrbs;       // guarded by seenLock
std::vector<SeenPower> seenPowers;   // guarded by seenLock

void NotePower(PIO_STACK_LOCATION stack)
{
    SeenPower seen;
    seen.System = stack->Parameters.Power.Type == SystemPowerState;
    seen.State = seen.System ? static_cast<ULONG>(stack->Parameters.Power.State.SystemState)
                             : static_cast<ULONG>(stack->Parameters.Power.State.DeviceState);
    std::lock_guard<std::mutex> guard(seenLock);
    seenPowers.push_back(seen);
}

bool IsVendorOrClass(USHORT function)
{
    return (function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_CLASS_ENDPOINT) ||
           function == URB_FUNCTION_CLASS_OTHER || function == URB_FUNCTION_VENDOR_OTHER;
}

void NoteUrb(PURB urb)
{
    SeenUrb seen;
    seen.Function = urb->UrbHeader.Function;
    if (seen.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        seen.TransferFlags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
    } else if (IsVendorOrClass(seen.Function)) {
        seen.TransferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
    } else if (seen.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
               urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr) {
        PUCHAR at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
        PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        while (at < end) {
            auto *iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
            for (ULONG p = 0; p < iface->NumberOfPipes; ++p) {
                seen.MaximumTransferSizes.push_back(iface->Pipes[p].MaximumTransferSize);
            }
            if (iface->Length == 0) {
                break;
            }
            at += iface->Length;
        }
    }
    std::lock_guard<std::mutex> guard(seenLock);
    seenUrbs.push_back(seen);
}

bool Matches(const FilterFailure &failure, PIO_STACK_LOCATION stack)
{
    if (stack->MajorFunction != failure.Major || stack->MinorFunction != failure.Minor) {
        return false;
    }
    return !failure.DevicePowerOnly || stack->Parameters.Power.Type == DevicePowerState;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<FilterExtension *>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool power = stack->MajorFunction == IRP_MJ_POWER;
    if (Matches(*ext->Failure, stack)) {
        if (power) {
            PoStartNextPowerIrp(irp);
        }
        NTSTATUS status = ext->Failure->Status;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    PDEVICE_OBJECT lower = ext->Lower;
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        NoteUrb(static_cast<PURB>(stack->Parameters.Others.Argument1));
    }
    if (power && stack->MinorFunction == IRP_MN_SET_POWER) {
        NotePower(stack);
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        // As a WDM filter does: pass the removal down, detach, delete. The transport above is
        // still attached; its attachment keeps this device object until it detaches too.
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (power) {
        PoStartNextPowerIrp(irp);
        return PoCallDriver(lower, irp);
    }
    return IoCallDriver(lower, irp);
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = FilterDispatch;
    }
    return STATUS_SUCCESS;
}

// The function service the PnP manager finds for the test devices: it adds nothing, so the
// PnP manager starts the bare PDO and the test builds the transport stack above it.
NTSTATUS PlaceholderAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT)
{
    return STATUS_SUCCESS;
}

NTSTATUS PlaceholderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = PlaceholderAddDevice;
    return STATUS_SUCCESS;
}

// One placeholder service for every test device: its driver stays loaded while any of their
// nodes uses it, although it has no device object of its own.
void InstallPlaceholder()
{
    sim::InstallServiceEntry(u"TransportTestPlaceholder", PlaceholderEntry);
    sim::InstallHardwareId(u"USB\\VID_3F7B&PID_0A51&MI_00", u"TransportTestPlaceholder", {}, u"USB");
    sim::InstallHardwareId(u"USB\\VID_3F7B&PID_0A52&MI_00", u"TransportTestPlaceholder", {}, u"USB");
}

}  // namespace

// =============================================================================================
// The rig
// =============================================================================================

Rig::Rig(Rig *sameDriverAs)
{
    if (sameDriverAs != nullptr) {
        driver_ = sameDriverAs->driver_;
        return;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = sim::CreateDriver(u"\\Driver\\CardRwUsb", DriverEntry, &status);
    ownsDriver_ = true;
    EXPECT_EQ(status, STATUS_SUCCESS);
}

Rig::~Rig()
{
    if (device_ != nullptr) {
        // The cable goes, and the PnP manager removes the node the way it does after an unplug:
        // surprise removal, then removal, through whatever of the stack is still there.
        device_->Unplug();
        if (node_ != nullptr) {
            sim::SurpriseRemove(node_);
        }
        fdo_ = nullptr;
    }
    filter_ = nullptr;  // the removal deleted it
    if (filterDriver_ != nullptr) {
        EXPECT_TRUE(sim::CheckDriverLeaks(filterDriver_));
        sim::UnloadDriver(filterDriver_);
    }
    if (driver_ != nullptr && ownsDriver_) {
        EXPECT_TRUE(sim::CheckDriverLeaks(driver_));
        sim::UnloadDriver(driver_);
    }
}

NTSTATUS Rig::Plug(std::shared_ptr<sim::usb::DeviceModel> model, const sim::usb::PlugOptions &options)
{
    InstallPlaceholder();
    device_ = sim::usb::CreateDevice(std::move(model), options);
    PDEVICE_OBJECT pdo = device_->Pdo();
    sim::PnpResult arrival;
    node_ = sim::ReportDeviceArrival(pdo, &arrival);
    EXPECT_NE(node_, nullptr);
    EXPECT_EQ(arrival.status, STATUS_SUCCESS);
    device_->ClearLog();
    NTSTATUS status;
    if (filterDriver_ != nullptr) {
        sim::DriverCall call(filterDriver_, "AddDevice", reinterpret_cast<const void *>(FilterEntry));
        PDEVICE_OBJECT filter = nullptr;
        EXPECT_EQ(IoCreateDevice(filterDriver_, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &filter),
                  STATUS_SUCCESS);
        auto *ext = static_cast<FilterExtension *>(filter->DeviceExtension);
        ext->Failure = &failure_;
        ext->Lower = IoAttachDeviceToDeviceStack(filter, pdo);
        filter->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        filter_ = filter;
    }
    {
        sim::DriverCall call(driver_, "AddDevice", reinterpret_cast<const void *>(AddDevice));
        status = driver_->DriverExtension->AddDevice(driver_, pdo);
    }
    if (NT_SUCCESS(status)) {
        fdo_ = filter_ != nullptr ? filter_->AttachedDevice : pdo->AttachedDevice;
    }
    return status;
}

std::vector<SeenUrb> Rig::SeenUrbs() const
{
    std::lock_guard<std::mutex> guard(seenLock);
    return seenUrbs;
}

void Rig::ClearSeenUrbs()
{
    std::lock_guard<std::mutex> guard(seenLock);
    seenUrbs.clear();
}

std::vector<SeenPower> Rig::SeenPowers() const
{
    std::lock_guard<std::mutex> guard(seenLock);
    return seenPowers;
}

void Rig::ClearSeenPowers()
{
    std::lock_guard<std::mutex> guard(seenLock);
    seenPowers.clear();
}

void Rig::UseLowerFilter(const FilterFailure &failure)
{
    ClearSeenUrbs();
    ClearSeenPowers();
    failure_ = failure;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filterDriver_ = sim::CreateDriver(u"\\Driver\\TransportTestFilter", FilterEntry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

NTSTATUS Rig::PlugCardReader(const sim::usb::PlugOptions &options)
{
    cardReader_ = std::make_shared<sim::usb::CardReaderModel>();
    return Plug(cardReader_, options);
}

NTSTATUS Rig::Pnp(UCHAR minor, PDEVICE_CAPABILITIES capabilities)
{
    Request request(fdo_);
    PIO_STACK_LOCATION stack = request.Stack();
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (capabilities != nullptr) {
        stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
    }
    request.Send();
    NTSTATUS status = request.Wait();
    EXPECT_EQ(request.Completions(), 1);
    return status;
}

NTSTATUS Rig::Remove()
{
    NTSTATUS status = Pnp(IRP_MN_REMOVE_DEVICE);
    fdo_ = nullptr;
    return status;
}

static NTSTATUS SendPower(PDEVICE_OBJECT fdo, POWER_STATE_TYPE type, POWER_STATE state)
{
    Request request(fdo);
    PIO_STACK_LOCATION stack = request.Stack();
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = IRP_MN_SET_POWER;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    request.Send();
    NTSTATUS status = request.Wait();
    EXPECT_EQ(request.Completions(), 1);
    return status;
}

NTSTATUS Rig::SetSystemPower(SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return SendPower(fdo_, SystemPowerState, power);
}

NTSTATUS Rig::SetDevicePower(DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return SendPower(fdo_, DevicePowerState, power);
}

static NTSTATUS SendFileRequest(PDEVICE_OBJECT fdo, File &file, UCHAR major)
{
    Request request(fdo);
    PIO_STACK_LOCATION stack = request.Stack();
    stack->MajorFunction = major;
    stack->FileObject = &file.Object;
    NTSTATUS returned = request.Send();
    NTSTATUS status = request.Wait();
    EXPECT_EQ(returned, status);
    EXPECT_EQ(request.Completions(), 1);
    EXPECT_EQ(request.Information(), 0u);
    return status;
}

NTSTATUS Rig::Open(File &file)
{
    return SendFileRequest(fdo_, file, IRP_MJ_CREATE);
}

NTSTATUS Rig::Close(File &file)
{
    return SendFileRequest(fdo_, file, IRP_MJ_CLOSE);
}

std::unique_ptr<Transfer> Rig::StartTransfer(File *file, UCHAR major, ULONG length)
{
    auto transfer = std::make_unique<Transfer>(fdo_, file, major, length);
    transfer->Req.Send();
    return transfer;
}

std::unique_ptr<Transfer> Rig::StartRead(File &file, ULONG length)
{
    return StartTransfer(&file, IRP_MJ_READ, length);
}

std::unique_ptr<Transfer> Rig::StartWrite(File &file, const Bytes &data)
{
    auto transfer = std::make_unique<Transfer>(fdo_, &file, IRP_MJ_WRITE, static_cast<ULONG>(data.size()));
    std::copy(data.begin(), data.end(), transfer->Buffer.begin());
    transfer->Req.Send();
    return transfer;
}

ControlResult Rig::Control(ULONG code, const Bytes &input, ULONG outputLength, File *file, UCHAR fill)
{
    ControlResult result;
    size_t size = std::max<size_t>(input.size(), outputLength);
    result.Buffer.assign(size, fill);
    std::copy(input.begin(), input.end(), result.Buffer.begin());

    Request request(fdo_);
    PIO_STACK_LOCATION stack = request.Stack();
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = file != nullptr ? &file->Object : nullptr;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    request.Irp()->AssociatedIrp.SystemBuffer = size != 0 ? result.Buffer.data() : nullptr;
    NTSTATUS returned = request.Send();
    result.Status = request.Wait();
    EXPECT_EQ(returned, result.Status) << "a control request returns the status it completed with";
    EXPECT_EQ(request.Completions(), 1);
    result.Information = request.Information();
    return result;
}

// =============================================================================================
// Log helpers and fixture
// =============================================================================================

std::vector<RequestKind> Kinds(const std::vector<LoggedRequest> &log)
{
    std::vector<RequestKind> kinds;
    for (const LoggedRequest &entry : log) {
        kinds.push_back(entry.Kind);
    }
    return kinds;
}

std::vector<ULONG> BulkLengths(const std::vector<LoggedRequest> &log, UCHAR endpoint)
{
    std::vector<ULONG> lengths;
    for (const LoggedRequest &entry : log) {
        if (entry.Kind == RequestKind::BulkOrInterrupt && entry.Endpoint == endpoint) {
            lengths.push_back(entry.Length);
        }
    }
    return lengths;
}

std::string Describe(const std::vector<LoggedRequest> &log)
{
    static const char *names[] = {"GetDescriptor", "SelectConfiguration", "GetStatus", "VendorOrClass",
                                  "BulkOrInterrupt", "ResetPipe", "AbortPipe", "ResetPort"};
    std::ostringstream out;
    for (const LoggedRequest &entry : log) {
        out << names[static_cast<int>(entry.Kind)] << "(ep " << int(entry.Endpoint) << ", len " << entry.Length
            << (entry.Unconfigure ? ", unconfigure" : "") << ") ";
    }
    return out.str();
}

}  // namespace transport_test
