// The test world's drivers: bus, COM port function driver, upper filter.
#include "tests/sim/pnp/test_world.h"

#include <memory>
#include <new>

namespace pt {

// =====================================================================================
// Log and names
// =====================================================================================
namespace {
std::mutex g_logLock;
std::vector<std::string> g_log;
}  // namespace

void Log(const std::string &line) {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_log.push_back(line);
}

std::vector<std::string> TakeLog() {
    std::lock_guard<std::mutex> guard(g_logLock);
    std::vector<std::string> lines;
    lines.swap(g_log);
    return lines;
}

std::vector<std::string> Only(const std::vector<std::string> &lines, const std::string &driver) {
    std::vector<std::string> mine;
    std::string prefix = driver + ": ";
    for (const std::string &line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) mine.push_back(line.substr(prefix.size()));
    return mine;
}

std::string PnpName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "PNP_" + std::to_string(minor);
    }
}

std::string IoctlName(ULONG code) {
    static const std::pair<ULONG, const char *> names[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"}, {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"},
        {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"}, {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"},
        {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"}, {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"},
        {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"}, {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"},
        {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"}, {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
        {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"}, {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"},
        {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"}, {IOCTL_SERIAL_PURGE, "PURGE"},
        {IOCTL_SERIAL_SET_DTR, "SET_DTR"}, {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
        {IOCTL_SERIAL_SET_RTS, "SET_RTS"}, {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},
        {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"}, {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"},
        {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"}, {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},
        {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"}, {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"},
        {IOCTL_SERIAL_SET_XON, "SET_XON"}, {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"},
    };
    for (auto &name : names)
        if (name.first == code) return name.second;
    char text[16];
    snprintf(text, sizeof text, "0x%x", code);
    return text;
}

namespace {

std::string PowerText(PIO_STACK_LOCATION stack) {
    std::string minor = stack->MinorFunction == IRP_MN_SET_POWER     ? "SET_POWER"
                        : stack->MinorFunction == IRP_MN_QUERY_POWER ? "QUERY_POWER"
                        : stack->MinorFunction == IRP_MN_WAIT_WAKE   ? "WAIT_WAKE"
                                                                     : "POWER_" + std::to_string(stack->MinorFunction);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) return minor;
    if (stack->Parameters.Power.Type == SystemPowerState)
        return minor + " S" + std::to_string(stack->Parameters.Power.State.SystemState - 1);
    return minor + " D" + std::to_string(stack->Parameters.Power.State.DeviceState - 1);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower drivers to finish it; the caller completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

PWSTR PoolText(const std::u16string &text) {
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (text.size() + 1) * sizeof(WCHAR), 0x74736554));
    if (buffer == nullptr) return nullptr;
    memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return buffer;
}

}  // namespace

// =====================================================================================
// Bus driver
// =====================================================================================
const char16_t kHardwareId[] = u"USB\\VID_0B1E&PID_0A01";

namespace {

PDRIVER_OBJECT g_bus = nullptr;
std::vector<std::unique_ptr<Child>> g_children;

Child *ChildOf(PDEVICE_OBJECT pdo) { return *static_cast<Child **>(pdo->DeviceExtension); }

NTSTATUS BusQueryId(PDEVICE_OBJECT pdo, PIRP irp) {
    std::u16string text;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: text = kHardwareId; break;
    case BusQueryInstanceID: text = sim::DeviceName(pdo).substr(sim::DeviceName(pdo).size() - 1); break;
    case BusQueryHardwareIDs: text = std::u16string(kHardwareId) + u"&REV_0100" + u'\0' + kHardwareId + u'\0'; break;
    case BusQueryCompatibleIDs: text = std::u16string(u"USB\\Class_02") + u'\0'; break;
    default: return Complete(irp, irp->IoStatus.Status);
    }
    PWSTR buffer = PoolText(text);
    if (buffer == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)buffer);
}

NTSTATUS BusCapabilities(PIRP irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; s++) caps->DeviceState[s] = PowerDeviceD3;
    caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps->DeviceWake = PowerDeviceD2;
    caps->SystemWake = PowerSystemSleeping3;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 1;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS BusPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    Log("Bus: " + PnpName(minor));
    switch (minor) {
    case IRP_MN_QUERY_ID: return BusQueryId(pdo, irp);
    case IRP_MN_QUERY_CAPABILITIES: return BusCapabilities(irp);
    case IRP_MN_REMOVE_DEVICE: {
        Complete(irp, STATUS_SUCCESS);
        Child *child = ChildOf(pdo);
        if (child->gone) {
            IoDeleteDevice(pdo);
            child->pdo = nullptr;
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

void WakeCancelled(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ChildOf(pdo)->waitWake = nullptr;
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS BusPower(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Log("Bus: " + PowerText(stack));
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        IoMarkIrpPending(irp);
        ChildOf(pdo)->waitWake = irp;
        IoSetCancelRoutine(irp, WakeCancelled);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            ChildOf(pdo)->waitWake = nullptr;
            Complete(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    NTSTATUS status = stack->MinorFunction == IRP_MN_QUERY_POWER ? ChildOf(pdo)->queryPowerAnswer : STATUS_SUCCESS;
    return Complete(irp, status);
}

NTSTATUS BusDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP: return BusPnp(pdo, irp);
    case IRP_MJ_POWER: return BusPower(pdo, irp);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = BusDispatch;
    return STATUS_SUCCESS;
}

}  // namespace

Child *PlugChild(int number) {
    auto child = std::make_unique<Child>();
    std::u16string name = u"\\Device\\TestBusPdo" + std::u16string(1, (char16_t)(u'0' + number));
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name.c_str());
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status;
    {
        sim::DriverCall call(g_bus, "bus enumeration", reinterpret_cast<const void *>(&PlugChild));
        status = IoCreateDevice(g_bus, sizeof(Child *), &text, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                FALSE, &pdo);
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    *static_cast<Child **>(pdo->DeviceExtension) = child.get();
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    child->pdo = pdo;
    g_children.push_back(std::move(child));
    return g_children.back().get();
}

void SignalWake(Child *child) {
    PIRP irp = child->waitWake;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return;
    child->waitWake = nullptr;
    sim::DriverCall call(g_bus, "wake signal", reinterpret_cast<const void *>(&SignalWake));
    Complete(irp, STATUS_SUCCESS);
}

// =====================================================================================
// Port function driver
// =====================================================================================
namespace {

int g_portNumber = 0;

PortDevice *Port(PDEVICE_OBJECT device) { return static_cast<PortDevice *>(device->DeviceExtension); }

void FreeCounted(UNICODE_STRING *text) {
    if (text->Buffer != nullptr) ExFreePool(text->Buffer);
    *text = UNICODE_STRING{};
}

// Reads "PortName" from the hardware key into 'name'.
NTSTATUS ReadPortName(PortDevice *port, std::u16string *name) {
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, u"PortName");
    ULONG buffer[40];
    ULONG length = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &length);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    *name = std::u16string(reinterpret_cast<const char16_t *>(info->Data), info->DataLength / 2 - 1);
    return STATUS_SUCCESS;
}

NTSTATUS Publish(PortDevice *port) {
    std::u16string name;
    NTSTATUS status = ReadPortName(port, &name);
    if (!NT_SUCCESS(status)) return status;
    PWSTR link = PoolText(u"\\DosDevices\\Global\\" + name);
    RtlInitUnicodeString(&port->linkName, link);
    status = IoCreateSymbolicLink(&port->linkName, &port->deviceName);
    if (!NT_SUCCESS(status)) {
        FreeCounted(&port->linkName);
        return status;
    }
    status = IoRegisterDeviceInterface(port->pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &port->interfaceName);
    if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&port->interfaceName, TRUE);
    return status;
}

void Withdraw(PortDevice *port) {
    if (port->linkName.Buffer != nullptr) {
        IoDeleteSymbolicLink(&port->linkName);
        FreeCounted(&port->linkName);
    }
    if (port->interfaceName.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&port->interfaceName, FALSE);
        RtlFreeUnicodeString(&port->interfaceName);
        port->interfaceName = UNICODE_STRING{};
    }
}

NTSTATUS PortPnp(PDEVICE_OBJECT device, PIRP irp) {
    PortDevice *port = Port(device);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    Log("Port: " + PnpName(minor));
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(port->lower, irp);
        if (NT_SUCCESS(status)) status = Publish(port);
        return Complete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        KeSetEvent(&port->surpriseArrived, IO_NO_INCREMENT, FALSE);
        if (port->holdSurpriseUntilClose)
            KeWaitForSingleObject(&port->portClosed, Executive, KernelMode, FALSE, nullptr);
        Withdraw(port);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(port->lower, irp);
    case IRP_MN_STOP_DEVICE:
        Withdraw(port);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(port->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        Withdraw(port);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(port->lower, irp);
        IoDetachDevice(port->lower);
        FreeCounted(&port->deviceName);
        port->~PortDevice();
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(port->lower, irp);
    default:
        return PassDown(port->lower, irp);
    }
}

void ReadCancelled(PDEVICE_OBJECT device, PIRP irp) {
    PortDevice *port = Port(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&port->lock, &irql);
    if (port->heldRead == irp) port->heldRead = nullptr;
    KeReleaseSpinLock(&port->lock, irql);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS PortRead(PortDevice *port, PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (!port->readData.empty()) {
        ULONG n = length < port->readData.size() ? length : (ULONG)port->readData.size();
        memcpy(irp->AssociatedIrp.SystemBuffer, port->readData.data(), n);
        port->readData.erase(port->readData.begin(), port->readData.begin() + n);
        return Complete(irp, STATUS_SUCCESS, n);
    }
    KIRQL irql;
    KeAcquireSpinLock(&port->lock, &irql);
    IoMarkIrpPending(irp);
    port->heldRead = irp;
    IoSetCancelRoutine(irp, ReadCancelled);
    bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
    if (cancelled) port->heldRead = nullptr;
    KeReleaseSpinLock(&port->lock, irql);
    if (cancelled) Complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

void CancelHeldRead(PortDevice *port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->lock, &irql);
    PIRP irp = port->heldRead;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) irp = nullptr;
    if (irp != nullptr) port->heldRead = nullptr;
    KeReleaseSpinLock(&port->lock, irql);
    if (irp != nullptr) Complete(irp, STATUS_CANCELLED);
}

// Copies 'size' bytes of 'value' out (a GET request) or in (a SET request) of the system buffer.
NTSTATUS Exchange(PIRP irp, void *value, ULONG size, bool set) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    if (set) {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < size) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        memcpy(value, buffer, size);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < size) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    memcpy(buffer, value, size);
    return Complete(irp, STATUS_SUCCESS, size);
}

NTSTATUS PortControl(PortDevice *port, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PortSettings &s = port->settings;
    std::string line = "Port: " + IoctlName(code);
    if (code == IOCTL_SERIAL_SET_BAUD_RATE) line += " " + std::to_string(*(ULONG *)irp->AssociatedIrp.SystemBuffer);
    if (code == IOCTL_SERIAL_SET_LINE_CONTROL) {
        auto *lc = (PSERIAL_LINE_CONTROL)irp->AssociatedIrp.SystemBuffer;
        line += " " + std::to_string(lc->StopBits) + "," + std::to_string(lc->Parity) + "," + std::to_string(lc->WordLength);
    }
    if (code == IOCTL_SERIAL_SET_HANDFLOW) {
        auto *hf = (PSERIAL_HANDFLOW)irp->AssociatedIrp.SystemBuffer;
        char text[32];
        snprintf(text, sizeof text, " %x,%x", hf->ControlHandShake, hf->FlowReplace);
        line += text;
    }
    Log(line);
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: return Exchange(irp, &s.baud, sizeof s.baud, true);
    case IOCTL_SERIAL_GET_BAUD_RATE: return Exchange(irp, &s.baud, sizeof s.baud, false);
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        auto *lc = (PSERIAL_LINE_CONTROL)irp->AssociatedIrp.SystemBuffer;
        if (lc->WordLength < 5 || lc->WordLength > 8) return Complete(irp, STATUS_INVALID_PARAMETER);
        return Exchange(irp, &s.line, sizeof s.line, true);
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL: return Exchange(irp, &s.line, sizeof s.line, false);
    case IOCTL_SERIAL_SET_CHARS: return Exchange(irp, &s.chars, sizeof s.chars, true);
    case IOCTL_SERIAL_GET_CHARS: return Exchange(irp, &s.chars, sizeof s.chars, false);
    case IOCTL_SERIAL_SET_HANDFLOW: return Exchange(irp, &s.handflow, sizeof s.handflow, true);
    case IOCTL_SERIAL_GET_HANDFLOW: return Exchange(irp, &s.handflow, sizeof s.handflow, false);
    case IOCTL_SERIAL_SET_TIMEOUTS: return Exchange(irp, &s.timeouts, sizeof s.timeouts, true);
    case IOCTL_SERIAL_GET_TIMEOUTS: return Exchange(irp, &s.timeouts, sizeof s.timeouts, false);
    case IOCTL_SERIAL_SET_WAIT_MASK: return Exchange(irp, &s.waitMask, sizeof s.waitMask, true);
    case IOCTL_SERIAL_GET_WAIT_MASK: return Exchange(irp, &s.waitMask, sizeof s.waitMask, false);
    case IOCTL_SERIAL_SET_DTR: s.modemControl |= 1; return Complete(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_CLR_DTR: s.modemControl &= ~1u; return Complete(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_SET_RTS: s.modemControl |= 2; return Complete(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_CLR_RTS: s.modemControl &= ~2u; return Complete(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
        ULONG modem = SERIAL_CTS_STATE | SERIAL_DSR_STATE;
        return Exchange(irp, &modem, sizeof modem, false);
    }
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        SERIAL_STATUS status{};
        status.Errors = SERIAL_ERROR_OVERRUN | SERIAL_ERROR_BREAK;
        status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS;
        status.AmountInInQueue = port->receiveQueue;
        status.EofReceived = TRUE;
        return Exchange(irp, &status, sizeof status, false);
    }
    default:
        return Complete(irp, STATUS_SUCCESS);
    }
}

NTSTATUS PortDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortDevice *port = Port(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP: return PortPnp(device, irp);
    case IRP_MJ_POWER:
        Log("Port: " + PowerText(stack));
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(port->lower, irp);
    case IRP_MJ_CREATE:
        Log("Port: CREATE" + std::string(stack->FileObject->FileName.Length != 0 ? " with a file name" : ""));
        KeClearEvent(&port->portClosed);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP:
        Log("Port: CLEANUP");
        if (!port->keepReadsAtCleanup) CancelHeldRead(port);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        Log("Port: CLOSE");
        KeSetEvent(&port->portClosed, IO_NO_INCREMENT, FALSE);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_READ: Log("Port: READ"); return PortRead(port, irp);
    case IRP_MJ_WRITE:
        Log("Port: WRITE " + std::to_string(stack->Parameters.Write.Length));
        return Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    case IRP_MJ_FLUSH_BUFFERS: Log("Port: FLUSH"); return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL: return PortControl(port, irp);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS PortAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Log("Port: AddDevice");
    UNICODE_STRING name;
    std::u16string text = u"\\Device\\TestSerial" + std::u16string(1, (char16_t)(u'0' + g_portNumber++));
    RtlInitUnicodeString(&name, PoolText(text));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PortDevice), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        ExFreePool(name.Buffer);
        return status;
    }
    PortDevice *port = new (device->DeviceExtension) PortDevice;
    port->self = device;
    port->pdo = pdo;
    port->deviceName = name;
    KeInitializeSpinLock(&port->lock);
    KeInitializeEvent(&port->surpriseArrived, NotificationEvent, FALSE);
    KeInitializeEvent(&port->portClosed, NotificationEvent, TRUE);
    port->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = PortDispatch;
    driver->DriverExtension->AddDevice = PortAddDevice;
    return STATUS_SUCCESS;
}

// =====================================================================================
// Upper filter
// =====================================================================================
NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        Log("Filter: " + PnpName(stack->MinorFunction));
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            NTSTATUS status = PassDown(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        }
    } else if (stack->MajorFunction == IRP_MJ_POWER) {
        Log("Filter: " + PowerText(stack));
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    return PassDown(lower, irp);
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Log("Filter: AddDevice");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension) = lower;
    device->Flags |= (lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = FilterDispatch;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    return STATUS_SUCCESS;
}

}  // namespace

void FinishHeldRead(PortDevice *port) {
    sim::DriverCall call(port->self->DriverObject, "test completion", reinterpret_cast<const void *>(&FinishHeldRead));
    CancelHeldRead(port);
}

void InstallDrivers(bool withFilter) {
    sim::InstallServiceEntry(u"TestPort", PortEntry);
    sim::InstallServiceEntry(u"TestFilter", FilterEntry);
    std::vector<std::u16string> filters;
    if (withFilter) filters.push_back(u"TestFilter");
    sim::InstallHardwareId(kHardwareId, u"TestPort", filters, u"Ports");
}

PortDevice *PortOf(sim::DeviceNode *node) {
    for (PDEVICE_OBJECT device = sim::PhysicalDeviceOf(node)->AttachedDevice; device != nullptr;
         device = device->AttachedDevice)
        if (device->DeviceType == FILE_DEVICE_SERIAL_PORT) return Port(device);
    return nullptr;
}

// =====================================================================================
// Fixture
// =====================================================================================
void PnpTest::SetUp() {
    sim::KernelTest::SetUp();
    g_portNumber = 0;
    g_bus = sim::CreateDriver(u"\\Driver\\TestBus", BusEntry);
    InstallDrivers();
    TakeLog();
}

void PnpTest::TearDown() {
    sim::RemoveAllDevices();
    for (auto &child : g_children) {
        if (child->pdo == nullptr) continue;
        sim::DriverCall call(g_bus, "bus teardown", reinterpret_cast<const void *>(&PlugChild));
        IoDeleteDevice(child->pdo);
    }
    g_children.clear();
    sim::UnloadDriver(g_bus);
    sim::UninstallAll();
    EXPECT_EQ(sim::OpenApplicationHandles(), 0u);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    TakeLog();
    sim::KernelTest::TearDown();
}

sim::DeviceNode *PnpTest::Arrive(int number, sim::PnpResult *result) {
    Child *child = PlugChild(number);
    sim::DeviceNode *node = sim::ReportDeviceArrival(child->pdo, result);
    return node;
}

}  // namespace pt
