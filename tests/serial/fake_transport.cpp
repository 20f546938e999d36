// The fake transport below the serial port (see fake_transport.h).
#include "tests/serial/fake_transport.h"

#include "sim/kernel/include/sim_pnp.h"

#include <algorithm>

namespace serial_test {

namespace {

struct FakeExtension {
    PDEVICE_OBJECT Lower;
};

std::u16string PipeName(PFILE_OBJECT file)
{
    if (file == nullptr || file->FileName.Buffer == nullptr) {
        return u"";
    }
    return std::u16string(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
}

PUCHAR MdlBytes(PIRP irp)
{
    return irp->MdlAddress != nullptr
               ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
               : nullptr;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FakeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FakeExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* ext = static_cast<FakeExtension*>(device->DeviceExtension);
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    FakeTransport::Get().Attached();
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = FakeTransport::Dispatch;
    }
    driver->DriverExtension->AddDevice = FakeAddDevice;
    return STATUS_SUCCESS;
}

} // namespace

FakeTransport::FakeTransport()
{
    KeInitializeEvent(&readParked_, NotificationEvent, FALSE);
    KeInitializeEvent(&writeHeld_, NotificationEvent, FALSE);
}

FakeTransport& FakeTransport::Get()
{
    static FakeTransport* instance = new FakeTransport();   // lives for the whole process
    return *instance;
}

void FakeTransport::Install()
{
    sim::InstallServiceEntry(kService, FakeEntry);
}

void FakeTransport::Reset()
{
    std::lock_guard<std::mutex> guard(lock_);
    requests_.clear();
    pending_.clear();
    failReads_ = 0;
    writeScript_.clear();
    controlStatus_ = STATUS_SUCCESS;
    written_.clear();
    bound_.clear();
    gone_ = false;
    UpdateParkedLocked();
}

void FakeTransport::Attached()
{
    std::lock_guard<std::mutex> guard(lock_);
    bound_.clear();
    gone_ = false;
}

void FakeTransport::Record(const LowerRequest& request)
{
    requests_.push_back(request);
}

// ============================================================================================
// Receive pipe
// ============================================================================================

// Caller holds lock_. Takes the held read if bytes are waiting for it.
void FakeTransport::DeliverLocked(PIRP* complete, ULONG_PTR* information)
{
    *complete = nullptr;
    if (heldRead_ == nullptr || pending_.empty()) {
        return;
    }
    PIRP irp = heldRead_;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return;   // being cancelled: the cancel routine completes it
    }
    heldRead_ = nullptr;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    PUCHAR out = MdlBytes(irp);
    ULONG n = 0;
    while (n < length && !pending_.empty()) {
        out[n++] = pending_.front();
        pending_.pop_front();
    }
    *complete = irp;
    *information = n;
}

void FakeTransport::UpdateParkedLocked()
{
    if (heldRead_ != nullptr && pending_.empty()) {
        KeSetEvent(&readParked_, IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(&readParked_);
    }
}

void FakeTransport::Feed(const Bytes& bytes)
{
    PIRP irp = nullptr;
    ULONG_PTR information = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        DeliverLocked(&irp, &information);
        UpdateParkedLocked();
    }
    if (irp != nullptr) {
        Complete(irp, STATUS_SUCCESS, information);
    }
}

void FakeTransport::FailHeldRead(NTSTATUS status)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (heldRead_ != nullptr && IoSetCancelRoutine(heldRead_, nullptr) != nullptr) {
            irp = heldRead_;
        }
        heldRead_ = nullptr;
        UpdateParkedLocked();
    }
    if (irp != nullptr) {
        Complete(irp, status, 0);
    }
}

void FakeTransport::FailReads(NTSTATUS status, int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    failReadStatus_ = status;
    failReads_ = count;
}

void FakeTransport::WaitReadParked()
{
    KeWaitForSingleObject(&readParked_, Executive, KernelMode, FALSE, nullptr);
}

size_t FakeTransport::ReadsHeld()
{
    std::lock_guard<std::mutex> guard(lock_);
    return heldRead_ != nullptr ? 1 : 0;
}

void FakeTransport::CancelRead(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakeTransport& self = Get();
    {
        std::lock_guard<std::mutex> guard(self.lock_);
        if (self.heldRead_ == irp) {
            self.heldRead_ = nullptr;
        }
        self.UpdateParkedLocked();
    }
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS FakeTransport::OnRead(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LowerRequest request;
    request.kind = LowerRequest::Read;
    request.pipe = PipeName(stack->FileObject);
    request.code = stack->Parameters.Read.Length;
    NTSTATUS immediate = STATUS_PENDING;
    PIRP deliver = nullptr;
    ULONG_PTR information = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (gone_) {
            immediate = STATUS_DEVICE_NOT_CONNECTED;
        } else if (request.pipe != u"if0pipe1" ||
                   std::find(bound_.begin(), bound_.end(), request.pipe) == bound_.end()) {
            immediate = STATUS_INVALID_HANDLE;
        } else if (failReads_ > 0) {
            --failReads_;
            immediate = failReadStatus_;
        } else if (heldRead_ != nullptr) {
            immediate = STATUS_DEVICE_BUSY;   // the port keeps one read outstanding at most
        } else {
            heldRead_ = irp;
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelRead);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                heldRead_ = nullptr;
                immediate = STATUS_CANCELLED;
            } else {
                DeliverLocked(&deliver, &information);
            }
        }
        request.answer = immediate;
        Record(request);
        UpdateParkedLocked();
    }
    if (immediate != STATUS_PENDING) {
        if (immediate == STATUS_CANCELLED) {
            Complete(irp, immediate, 0);
            return STATUS_PENDING;   // marked pending above
        }
        return Complete(irp, immediate, 0);
    }
    if (deliver != nullptr) {
        Complete(deliver, STATUS_SUCCESS, information);
    }
    return STATUS_PENDING;
}

// ============================================================================================
// Transmit pipe
// ============================================================================================

void FakeTransport::ScriptWrites(const std::vector<WriteStep>& steps)
{
    std::lock_guard<std::mutex> guard(lock_);
    writeScript_.assign(steps.begin(), steps.end());
}

void FakeTransport::WaitWriteHeld()
{
    KeWaitForSingleObject(&writeHeld_, Executive, KernelMode, FALSE, nullptr);
}

void FakeTransport::WaitWritesHeld(size_t count)
{
    LARGE_INTEGER tick;
    tick.QuadPart = -10000;   // 1 ms of virtual time
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (heldWrites_.size() >= count) {
                return;
            }
        }
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
    }
}

void FakeTransport::CompleteHeldWrite(NTSTATUS status, ULONG_PTR information)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!heldWrites_.empty()) {
            PIRP oldest = heldWrites_.front();
            heldWrites_.pop_front();
            if (IoSetCancelRoutine(oldest, nullptr) != nullptr) {
                irp = oldest;
            }
        }
        if (heldWrites_.empty()) {
            KeClearEvent(&writeHeld_);
        }
    }
    if (irp != nullptr) {
        Complete(irp, status, information);
    }
}

Bytes FakeTransport::WrittenBytes()
{
    std::lock_guard<std::mutex> guard(lock_);
    return written_;
}

void FakeTransport::CancelWrite(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakeTransport& self = Get();
    {
        std::lock_guard<std::mutex> guard(self.lock_);
        auto held = std::find(self.heldWrites_.begin(), self.heldWrites_.end(), irp);
        if (held != self.heldWrites_.end()) {
            self.heldWrites_.erase(held);
        }
        if (self.heldWrites_.empty()) {
            KeClearEvent(&self.writeHeld_);
        }
    }
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS FakeTransport::OnWrite(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LowerRequest request;
    request.kind = LowerRequest::Write;
    request.pipe = PipeName(stack->FileObject);
    ULONG length = stack->Parameters.Write.Length;
    PUCHAR in = MdlBytes(irp);
    if (in != nullptr) {
        request.data.assign(in, in + length);
    }
    WriteStep step;
    NTSTATUS result = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!writeScript_.empty()) {
            step = writeScript_.front();
            writeScript_.pop_front();
        }
        if (gone_) {
            step.action = WriteStep::Refuse;
            step.status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (request.pipe != u"if0pipe0") {
            step.action = WriteStep::Refuse;
            step.status = STATUS_INVALID_HANDLE;
        }
        switch (step.action) {
        case WriteStep::Accept:
            written_.insert(written_.end(), request.data.begin(), request.data.end());
            result = STATUS_SUCCESS;
            break;
        case WriteStep::Refuse:
            result = step.status;
            break;
        case WriteStep::Hold:
            heldWrites_.push_back(irp);
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelWrite);
            KeSetEvent(&writeHeld_, IO_NO_INCREMENT, FALSE);
            result = STATUS_PENDING;
            break;
        }
        request.answer = result;
        Record(request);
    }
    if (result == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    return Complete(irp, result, NT_SUCCESS(result) ? length : 0);
}

// ============================================================================================
// Creates and control codes
// ============================================================================================

NTSTATUS FakeTransport::OnCreate(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    LowerRequest request;
    request.kind = LowerRequest::Create;
    request.pipe = PipeName(file);
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // As the transport: the first create binds the pipe, a later one is refused.
        if (std::find(bound_.begin(), bound_.end(), request.pipe) == bound_.end()) {
            bound_.push_back(request.pipe);
            status = STATUS_SUCCESS;
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        request.answer = status;
        Record(request);
    }
    return Complete(irp, status, 0);
}

void FakeTransport::FailControlOut(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(lock_);
    controlStatus_ = status;
}

NTSTATUS FakeTransport::OnControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    LowerRequest request;
    request.code = code;
    request.pipe = PipeName(stack->FileObject);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::lock_guard<std::mutex> guard(lock_);
    if (code == IOCTL_CARDRW_CONTROL_OUT && inLength >= sizeof(ControlRequestHeader)) {
        request.kind = LowerRequest::ControlOut;
        memcpy(&request.header, buffer, sizeof(ControlRequestHeader));
        request.data.assign(buffer + sizeof(ControlRequestHeader), buffer + inLength);
        status = gone_ ? STATUS_DEVICE_NOT_CONNECTED : controlStatus_;
        information = inLength - sizeof(ControlRequestHeader);
    } else if (code == IOCTL_CARDRW_RESET_PIPE) {
        request.kind = LowerRequest::ResetPipe;
    } else {
        // Other pass-through codes: answer with a recognisable pattern in the output.
        request.kind = LowerRequest::OtherControl;
        request.data.assign(buffer, buffer + inLength);
        for (ULONG i = 0; i < outLength; ++i) {
            buffer[i] = static_cast<UCHAR>(0xA0 + i);
        }
        information = outLength;
    }
    request.answer = status;
    Record(request);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::vector<USHORT> FakeTransport::ControlLineWords()
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<USHORT> words;
    for (const auto& r : requests_) {
        if (r.kind == LowerRequest::ControlOut && r.header.Request == 0x22) {
            words.push_back(r.header.Value);
        }
    }
    return words;
}

std::vector<Bytes> FakeTransport::LineCodings()
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Bytes> codings;
    for (const auto& r : requests_) {
        if (r.kind == LowerRequest::ControlOut && r.header.Request == 0x20) {
            codings.push_back(r.data);
        }
    }
    return codings;
}

size_t FakeTransport::Count(LowerRequest::Kind kind)
{
    std::lock_guard<std::mutex> guard(lock_);
    return std::count_if(requests_.begin(), requests_.end(), [kind](const LowerRequest& r) { return r.kind == kind; });
}

std::vector<LowerRequest> FakeTransport::Requests()
{
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void FakeTransport::ClearRequests()
{
    std::lock_guard<std::mutex> guard(lock_);
    requests_.clear();
}

// ============================================================================================
// Plug and Play, power and dispatch
// ============================================================================================

NTSTATUS FakeTransport::OnPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto* ext = static_cast<FakeExtension*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        PIRP read = nullptr;
        std::vector<PIRP> writes;
        {
            std::lock_guard<std::mutex> guard(lock_);
            gone_ = true;
            if (heldRead_ != nullptr && IoSetCancelRoutine(heldRead_, nullptr) != nullptr) {
                read = heldRead_;
            }
            for (PIRP held : heldWrites_) {
                if (IoSetCancelRoutine(held, nullptr) != nullptr) {
                    writes.push_back(held);
                }
            }
            heldRead_ = nullptr;
            heldWrites_.clear();
            KeClearEvent(&writeHeld_);
            UpdateParkedLocked();
        }
        if (read != nullptr) {
            Complete(read, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
        for (PIRP write : writes) {
            Complete(write, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(ext->Lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS FakeTransport::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    FakeTransport& self = Get();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* ext = static_cast<FakeExtension*>(device->DeviceExtension);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return self.OnCreate(irp);
    case IRP_MJ_READ:
        return self.OnRead(irp);
    case IRP_MJ_WRITE:
        return self.OnWrite(irp);
    case IRP_MJ_DEVICE_CONTROL:
        return self.OnControl(irp);
    case IRP_MJ_PNP:
        return self.OnPnp(device, irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->Lower, irp);
    default: {
        LowerRequest request;
        request.kind = LowerRequest::Other;
        request.code = stack->MajorFunction;
        {
            std::lock_guard<std::mutex> guard(self.lock_);
            self.Record(request);
        }
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    }
}

} // namespace serial_test
