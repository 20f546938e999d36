// The bus driver's PDO: its PnP identity and requests, power requests and the internal
// device-control requests of the USB stack.
#include "sim/usb/src/bus_device.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "sim/kernel/include/sim_kernel.h"
#include "sim/kernel/include/sim_pnp.h"
#include "sim/usb/include/usb_descriptors.h"
#include "sim/usb/src/descriptor_walk.h"

namespace sim::usb {

namespace {

// ============================================================================================
// Dispatch routines of the bus driver object
// ============================================================================================

NTSTATUS PdoDispatchPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    return BusDevice::FromPdo(pdo)->DispatchPnp(irp);
}

NTSTATUS PdoDispatchPower(PDEVICE_OBJECT pdo, PIRP irp)
{
    return BusDevice::FromPdo(pdo)->DispatchPower(irp);
}

NTSTATUS PdoDispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    return BusDevice::FromPdo(pdo)->DispatchInternalControl(irp);
}

// A PDO completes what it does not handle with the status the request already carries.
NTSTATUS PdoDispatchSystemControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PdoDispatchUnsupported(PDEVICE_OBJECT pdo, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction)
        dispatch = PdoDispatchUnsupported;
    driver->MajorFunction[IRP_MJ_PNP] = PdoDispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = PdoDispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PdoDispatchInternalControl;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PdoDispatchSystemControl;
    return STATUS_SUCCESS;
}

DRIVER_CANCEL CancelWaitWake;

VOID CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp)
{
    KIRQL irql = irp->CancelIrql;
    IoReleaseCancelSpinLock(irql);
    BusDevice::FromPdo(pdo)->CancelHeldWaitWake(irp);
}

// ---- Identity strings ----

std::u16string Widen(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Hex(unsigned value, int digits, bool upper)
{
    char buffer[16];
    snprintf(buffer, sizeof buffer, upper ? "%0*X" : "%0*x", digits, value);
    return buffer;
}

// A REG_MULTI_SZ (or, with one string, a REG_SZ) in paged pool: the PnP manager frees it.
PWCHAR PoolStrings(const std::vector<std::u16string> &strings, bool multi)
{
    size_t chars = multi ? 1 : 0;
    for (const std::u16string &s : strings)
        chars += s.size() + 1;
    auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 0x20627355));
    if (buffer == nullptr)
        return nullptr;
    PWCHAR cursor = buffer;
    for (const std::u16string &s : strings) {
        std::copy(s.begin(), s.end(), cursor);
        cursor += s.size();
        *cursor++ = 0;
    }
    if (multi)
        *cursor = 0;
    return buffer;
}

} // namespace

// ============================================================================================
// The bus driver object
// ============================================================================================

PDRIVER_OBJECT BusDriver()
{
    static PDRIVER_OBJECT driver = CreateDriver(u"\\Driver\\usbhub", BusDriverEntry);
    return driver;
}

// ============================================================================================
// PnP identity
// ============================================================================================

namespace {

struct Identity {
    USHORT VendorId = 0, ProductId = 0, Revision = 0;
    UCHAR Interface = 0, Class = 0, SubClass = 0, Protocol = 0;
};

Identity IdentityOf(const DeviceModel &model)
{
    Identity id;
    Bytes device = model.DeviceDescriptor();
    if (device.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
        auto *d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR *>(device.data());
        id.VendorId = d->idVendor;
        id.ProductId = d->idProduct;
        id.Revision = d->bcdDevice;
    }
    Bytes config = model.ConfigurationDescriptor(0);
    if (config.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && TotalLength(config) <= config.size()) {
        auto *header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(config.data());
        if (auto *iface = USBD_ParseConfigurationDescriptorEx(const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(header),
                                                              const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(header),
                                                              -1, -1, -1, -1, -1)) {
            id.Interface = iface->bInterfaceNumber;
            id.Class = iface->bInterfaceClass;
            id.SubClass = iface->bInterfaceSubClass;
            id.Protocol = iface->bInterfaceProtocol;
        }
    }
    return id;
}

std::string VidPid(const Identity &id)
{
    return "USB\\VID_" + Hex(id.VendorId, 4, true) + "&PID_" + Hex(id.ProductId, 4, true);
}

std::string Mi(const Identity &id)
{
    return "&MI_" + Hex(id.Interface, 2, true);
}

} // namespace

std::u16string BusDevice::DeviceId() const
{
    Identity id = IdentityOf(*model_);
    return Widen(VidPid(id) + Mi(id));
}

std::vector<std::u16string> BusDevice::HardwareIds() const
{
    Identity id = IdentityOf(*model_);
    return {Widen(VidPid(id) + "&REV_" + Hex(id.Revision, 4, true) + Mi(id)), Widen(VidPid(id) + Mi(id))};
}

std::vector<std::u16string> BusDevice::CompatibleIds() const
{
    Identity id = IdentityOf(*model_);
    std::string cls = "USB\\Class_" + Hex(id.Class, 2, false);
    std::string sub = cls + "&SubClass_" + Hex(id.SubClass, 2, false);
    return {Widen(sub + "&Prot_" + Hex(id.Protocol, 2, false)), Widen(sub), Widen(cls)};
}

namespace {

// The hub's instance of a device in one of its ports, "5&1c3f2a0&0&<port>" (the location-based
// ID Windows gives a device it does not tell apart by serial number).
std::string ParentInstance(ULONG port)
{
    return "5&1c3f2a0&0&" + std::to_string(port);
}

// The "7&xxxxxxxx" prefix Windows derives from the parent's instance path (FNV-1a here).
unsigned ParentPrefix(const std::string &parentInstance)
{
    uint32_t hash = 2166136261u;
    for (char c : parentInstance)
        hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    return hash;
}

} // namespace

// A composite function's instance ID in the form Windows gives it: the parent prefix, then the
// interface. It depends on the port and the device alone, so a device plugged into the same
// port again is the same device instance.
std::u16string BusDevice::InstanceId() const
{
    Identity id = IdentityOf(*model_);
    std::string parent = VidPid(id) + "\\" + ParentInstance(Port());
    return Widen("7&" + Hex(ParentPrefix(parent), 8, false) + "&0&" + Hex(id.Interface, 4, true));
}

// ============================================================================================
// PnP requests
// ============================================================================================

NTSTATUS BusDevice::QueryId(PIRP irp)
{
    PWCHAR text = nullptr;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        text = PoolStrings({DeviceId()}, false);
        break;
    case BusQueryHardwareIDs:
        text = PoolStrings(HardwareIds(), true);
        break;
    case BusQueryCompatibleIDs:
        text = PoolStrings(CompatibleIds(), true);
        break;
    case BusQueryInstanceID:
        text = PoolStrings({InstanceId()}, false);
        break;
    default:
        return irp->IoStatus.Status;
    }
    if (text == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
    return STATUS_SUCCESS;
}

NTSTATUS BusDevice::QueryCapabilities(PIRP irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1)
        return STATUS_UNSUCCESSFUL;
    for (int i = 0; i < PowerSystemMaximum; i++)
        caps->DeviceState[i] = options_.DeviceState[i];
    caps->DeviceWake = options_.DeviceWake;
    caps->SystemWake = options_.SystemWake;
    caps->DeviceD1 = 1;
    caps->DeviceD2 = 1;
    caps->WakeFromD0 = options_.DeviceWake >= PowerDeviceD0;
    caps->WakeFromD1 = options_.DeviceWake >= PowerDeviceD1;
    caps->WakeFromD2 = options_.DeviceWake >= PowerDeviceD2;
    caps->WakeFromD3 = options_.DeviceWake >= PowerDeviceD3;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 0;
    caps->UniqueID = 0;
    caps->Address = Port();
    caps->UINumber = Port();
    return STATUS_SUCCESS;
}

NTSTATUS BusDevice::QueryDeviceText(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::u16string text;
    if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        Bytes product = model_->StringDescriptor(2, 0x0409);
        for (size_t i = 2; i + 1 < product.size() && i + 1 < product[0]; i += 2)
            text.push_back(static_cast<char16_t>(product[i] | product[i + 1] << 8));
        if (text.empty())
            text = u"USB Device";
    } else if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation) {
        text = Widen("Port_#" + Hex(Port(), 4, true) + ".Hub_#0001");
    } else {
        return irp->IoStatus.Status;
    }
    PWCHAR buffer = PoolStrings({text}, false);
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return STATUS_SUCCESS;
}

NTSTATUS BusDevice::QueryTargetRelation(PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
        return irp->IoStatus.Status;
    auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x20627355));
    if (relations == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    relations->Count = 1;
    relations->Objects[0] = Pdo();
    ObReferenceObject(relations->Objects[0]);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

// Removal: what is still held fails; a device no longer on the bus loses its PDO, one still
// plugged in (disabled) keeps it for a later start.
NTSTATUS BusDevice::Remove()
{
    CompleteHeldWith(0, true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    FailWaitWake(STATUS_NO_SUCH_DEVICE);
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (connected_)
            return STATUS_SUCCESS;
        pdo = pdo_;
        pdo_ = nullptr;
        removed_ = true;
    }
    IoDeleteDevice(pdo);
    return STATUS_SUCCESS;
}

NTSTATUS BusDevice::DispatchPnp(PIRP irp)
{
    std::shared_ptr<BusDevice> self = shared_from_this(); // a removal may drop the last reference
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        status = Remove();
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(irp);
        break;
    case IRP_MN_QUERY_ID:
        status = QueryId(irp);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        status = QueryDeviceText(irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        status = QueryTargetRelation(irp);
        break;
    default:
        status = irp->IoStatus.Status;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    bool removed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        removed = removed_;
    }
    if (removed)
        ForgetBusDevice(this);
    return status;
}

// ============================================================================================
// Power requests
// ============================================================================================

// A wait-wake request stays with the bus until the device signals wake, the request is
// cancelled, or the device goes away.
NTSTATUS BusDevice::HoldWaitWake(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.WaitWake.PowerState > options_.SystemWake)
        return STATUS_INVALID_DEVICE_STATE;
    std::lock_guard<std::mutex> guard(lock_);
    if (!connected_)
        return STATUS_NO_SUCH_DEVICE;
    if (waitWake_ != nullptr)
        return STATUS_DEVICE_BUSY;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
        return STATUS_CANCELLED;
    waitWake_ = irp;
    return STATUS_PENDING;
}

void BusDevice::CancelHeldWaitWake(PIRP irp)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (waitWake_ != irp)
            return;
        waitWake_ = nullptr;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completes the held wait-wake request unless its cancel routine already owns it.
bool BusDevice::FailWaitWake(NTSTATUS status)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (waitWake_ == nullptr || IoSetCancelRoutine(waitWake_, nullptr) == nullptr)
            return false;
        irp = waitWake_;
        waitWake_ = nullptr;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

bool BusDevice::SignalWake()
{
    DriverCall call(BusDriver(), "USB remote wake", reinterpret_cast<const void *>(&CancelWaitWake));
    return FailWaitWake(STATUS_SUCCESS);
}

NTSTATUS BusDevice::DispatchPower(PIRP irp)
{
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_WAIT_WAKE:
        status = HoldWaitWake(irp);
        if (status == STATUS_PENDING)
            return status;
        break;
    default:
        status = irp->IoStatus.Status;
        break;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ============================================================================================
// Internal device-control requests
// ============================================================================================

NTSTATUS BusDevice::DispatchInternalControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto *urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb != nullptr)
            return SubmitUrb(irp, urb);
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        status = ResetPort();
        break;
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto *portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        status = portStatus != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        if (portStatus != nullptr)
            *portStatus = Connected() ? 0x3 : 0; // enabled and connected
        break;
    }
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace sim::usb
