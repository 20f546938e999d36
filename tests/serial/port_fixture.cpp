// The started-port fixture (see port_fixture.h).
#include "tests/serial/port_fixture.h"

#include <algorithm>
#include <cstring>

namespace serial_test {

namespace {

const char16_t kComService[] = u"CardRwCom";
const char16_t kHardwareId[] = u"USB\\VID_3F7B&PID_0A51&MI_00";

// Completion of hand-built requests: the request comes back to the sender.
NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request built with IoAllocateIrp whose next stack location the caller filled.
Result SendOwnedIrp(PDEVICE_OBJECT device, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    Result result;
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    return result;
}

// One file object for the test's handle; the port never looks into it.
FILE_OBJECT g_handleFile;

} // namespace

Bytes U32(ULONG value)
{
    Bytes b(4);
    memcpy(b.data(), &value, 4);
    return b;
}

Bytes Timeouts(ULONG ri, ULONG rm, ULONG rc, ULONG wm, ULONG wc)
{
    SERIAL_TIMEOUTS t{ri, rm, rc, wm, wc};
    Bytes b(sizeof(t));
    memcpy(b.data(), &t, sizeof(t));
    return b;
}

ULONG ReadU32(const Bytes& bytes, size_t offset)
{
    ULONG v = 0;
    if (bytes.size() >= offset + 4) {
        memcpy(&v, bytes.data() + offset, 4);
    }
    return v;
}

Bytes Pattern(size_t length, uint8_t seed)
{
    Bytes b(length);
    for (size_t i = 0; i < length; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return b;
}

// ============================================================================================
// Set-up
// ============================================================================================

void SerialPortTest::SetUp()
{
    InstallServices();
    Plug();
}

void SerialPortTest::InstallServices()
{
    sim::ResetForTest();
    sim::SetFailureHandler([](const std::string& message) { ADD_FAILURE() << "verifier: " << message; });
    FakeTransport::Install();
    sim::InstallServiceModule(kComService, CARDRW_COM_MODULE);
    sim::InstallHardwareId(kHardwareId, FakeTransport::kService, {kComService});
    Lower().Reset();
}

bool SerialPortTest::TryPlug()
{
    model_ = std::make_shared<sim::usb::CardReaderModel>();
    usb_ = sim::usb::PlugIn(model_);
    node_ = usb_ != nullptr && usb_->Pdo() != nullptr ? sim::NodeOfPhysicalDevice(usb_->Pdo()) : nullptr;
    port_ = node_ != nullptr && sim::StateOf(node_) == sim::DeviceNodeState::Started ? sim::StackTopOf(node_) : nullptr;
    return port_ != nullptr;
}

void SerialPortTest::RemoveAll()
{
    if (open_ && port_ != nullptr && sim::IsLiveDevice(port_)) {
        Close();
    }
    open_ = false;
    sim::RemoveAllDevices();
    PDRIVER_OBJECT com = sim::LoadedDriver(kComService);
    if (com != nullptr && com->DeviceObject == nullptr) {
        sim::UnloadDriverModule(com);   // reports anything the driver still owns
    }
    usb_.reset();
    node_ = nullptr;
    port_ = nullptr;
    Lower().Reset();
}

void SerialPortTest::Plug()
{
    model_ = std::make_shared<sim::usb::CardReaderModel>();
    usb_ = sim::usb::PlugIn(model_);
    ASSERT_NE(usb_, nullptr);
    node_ = sim::NodeOfPhysicalDevice(usb_->Pdo());
    ASSERT_NE(node_, nullptr);
    port_ = sim::StackTopOf(node_);
    ASSERT_NE(port_, nullptr);
}

void SerialPortTest::Unplug()
{
    usb_->Unplug();
}

void SerialPortTest::TearDown()
{
    sim::ClearFaults();
    RemoveAll();
    sim::UninstallAll();
}

// ============================================================================================
// Requests
// ============================================================================================

Result SerialPortTest::Ioctl(ULONG code, const Bytes& input, ULONG outputLength)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Bytes in = input;
    Result result;
    result.out.assign(outputLength, 0xEE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, port_, in.empty() ? nullptr : in.data(),
                                             static_cast<ULONG>(in.size()),
                                             outputLength ? result.out.data() : nullptr, outputLength, FALSE,
                                             &event, &ioStatus);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    NTSTATUS status = IoCallDriver(port_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    result.status = status;
    result.information = ioStatus.Information;
    return result;
}

static Result ReadOrWrite(PDEVICE_OBJECT port, ULONG major, Bytes* buffer)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    LARGE_INTEGER offset{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Result result;
    PIRP irp = IoBuildSynchronousFsdRequest(major, port, buffer->empty() ? nullptr : buffer->data(),
                                            static_cast<ULONG>(buffer->size()), &offset, &event, &ioStatus);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = &g_handleFile;
    NTSTATUS status = IoCallDriver(port, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    result.status = status;
    result.information = ioStatus.Information;
    return result;
}

Result SerialPortTest::Read(ULONG length)
{
    Bytes buffer(length, 0xEE);
    Result result = ReadOrWrite(port_, IRP_MJ_READ, &buffer);
    if (NT_SUCCESS(result.status)) {
        buffer.resize(result.information);
        result.out = buffer;
    }
    return result;
}

Result SerialPortTest::Write(const Bytes& data)
{
    Bytes buffer = data;
    return ReadOrWrite(port_, IRP_MJ_WRITE, &buffer);
}

Result SerialPortTest::SendMajor(UCHAR major)
{
    PIRP irp = IoAllocateIrp(port_->StackSize, FALSE);
    Result result;
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &g_handleFile;
    result = SendOwnedIrp(port_, irp);
    IoFreeIrp(irp);
    return result;
}

NTSTATUS SerialPortTest::Pnp(UCHAR minor)
{
    PIRP irp = IoAllocateIrp(port_->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    NTSTATUS status = SendOwnedIrp(port_, irp).status;
    IoFreeIrp(irp);
    return status;
}

// Through the application interface when the port has a COM name, so the PnP manager knows
// the handle; by a create sent straight to the port when external naming is off.
NTSTATUS SerialPortTest::Open()
{
    auto com = sim::RegistryGetString(sim::kSerialCommKey, sim::DeviceName(port_));
    NTSTATUS status;
    if (com) {
        std::u16string path = u"\\\\.\\" + *com;
        handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        status = handle_ == INVALID_HANDLE_VALUE ? lastOpenStatus_ : STATUS_SUCCESS;
        if (handle_ == INVALID_HANDLE_VALUE) {
            handle_ = nullptr;
            status = SendMajor(IRP_MJ_CREATE).status;   // the port's own answer
        }
    } else {
        status = SendMajor(IRP_MJ_CREATE).status;
    }
    if (NT_SUCCESS(status)) {
        open_ = true;
    }
    return status;
}

NTSTATUS SerialPortTest::Cleanup()
{
    return SendMajor(IRP_MJ_CLEANUP).status;
}

NTSTATUS SerialPortTest::Close()
{
    open_ = false;
    if (handle_ != nullptr) {
        HANDLE h = handle_;
        handle_ = nullptr;
        return CloseHandle(h) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    Cleanup();
    return SendMajor(IRP_MJ_CLOSE).status;
}

Result SerialPortTest::QueryInformation(ULONG informationClass, ULONG length)
{
    Result result;
    PIRP irp = IoAllocateIrp(port_->StackSize, FALSE);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    Bytes buffer(length + 8, 0xEE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_QUERY_INFORMATION;
    next->FileObject = &g_handleFile;
    // Parameters.QueryFile: Length at offset 0, FileInformationClass at offset 8.
    ULONG* parameters = reinterpret_cast<ULONG*>(&next->Parameters);
    parameters[0] = length;
    parameters[2] = informationClass;
    irp->AssociatedIrp.SystemBuffer = buffer.data();
    result = SendOwnedIrp(port_, irp);
    IoFreeIrp(irp);
    result.out.assign(buffer.begin(), buffer.begin() + length + 8);
    return result;
}

// ============================================================================================
// Requests the port holds
// ============================================================================================

// A request the test allocates and owns: it comes back to the test after completion, so it
// can be cancelled at any moment until Finish releases it.
struct SerialPortTest::PendingIoctl {
    KEVENT event;
    Bytes buffer;
    ULONG outputLength = 0;
    PIRP irp = nullptr;
};

std::shared_ptr<SerialPortTest::PendingIoctl> SerialPortTest::StartIoctl(ULONG code, const Bytes& input,
                                                                          ULONG outputLength)
{
    return StartOwned(IRP_MJ_DEVICE_CONTROL, code, input, outputLength);
}

std::shared_ptr<SerialPortTest::PendingIoctl> SerialPortTest::StartRequest(UCHAR major)
{
    return StartOwned(major, 0, {}, 0);
}

std::shared_ptr<SerialPortTest::PendingIoctl> SerialPortTest::StartOwned(UCHAR major, ULONG code, const Bytes& input,
                                                                          ULONG outputLength)
{
    auto p = std::make_shared<PendingIoctl>();
    KeInitializeEvent(&p->event, NotificationEvent, FALSE);
    p->buffer = input;
    p->buffer.resize(std::max<size_t>(input.size(), outputLength) + 1, 0xEE);
    p->outputLength = outputLength;
    p->irp = IoAllocateIrp(port_->StackSize, FALSE);
    if (p->irp == nullptr) {
        ADD_FAILURE() << "no request";
        KeSetEvent(&p->event, IO_NO_INCREMENT, FALSE);
        return p;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(p->irp);
    next->MajorFunction = major;
    next->FileObject = &g_handleFile;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        p->irp->AssociatedIrp.SystemBuffer = p->buffer.data();
    }
    p->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(p->irp, SignalCompletion, &p->event, TRUE, TRUE, TRUE);
    IoCallDriver(port_, p->irp);   // the outcome arrives through the event
    return p;
}

bool SerialPortTest::IsDone(const std::shared_ptr<PendingIoctl>& p) const
{
    return KeReadStateEvent(&p->event) != 0;
}

Result SerialPortTest::Finish(const std::shared_ptr<PendingIoctl>& p)
{
    KeWaitForSingleObject(&p->event, Executive, KernelMode, FALSE, nullptr);
    Result result;
    if (p->irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    result.status = p->irp->IoStatus.Status;
    result.information = p->irp->IoStatus.Information;
    size_t n = std::min<size_t>(result.information, p->outputLength);
    result.out.assign(p->buffer.begin(), p->buffer.begin() + n);
    IoFreeIrp(p->irp);
    p->irp = nullptr;
    return result;
}

void SerialPortTest::Cancel(const std::shared_ptr<PendingIoctl>& p)
{
    if (p->irp != nullptr) {
        IoCancelIrp(p->irp);
    }
}

} // namespace serial_test
