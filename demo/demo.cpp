// Demonstration of the card reader/writer host software on the simulated Windows platform.
// For now it boots the simulated kernel, plugs a device on a tiny bus, lets the PnP manager
// load a trivial COM port driver for it, talks to the port as an application would, unplugs
// the device, and prints what happened at each step.
#include "sim/kernel/include/sim_app.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/kernel/include/sim_pnp.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// =====================================================================================
// What the drivers saw, printed as it happens
// =====================================================================================
void Say(const std::string &who, const std::string &what) { std::printf("  %-12s %s\n", who.c_str(), what.c_str()); }

std::string Narrow(const std::u16string &text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? (char)c : '?';
    return out;
}

const char *PnpName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    case IRP_MN_QUERY_ID: return "IRP_MN_QUERY_ID";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    default: return "another PnP request";
    }
}

const char *StatusName(NTSTATUS status) { return NT_SUCCESS(status) ? "STATUS_SUCCESS" : "a failure status"; }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// =====================================================================================
// A tiny bus driver: one child with the card reader/writer's hardware ID
// =====================================================================================
const char16_t kHardwareId[] = u"USB\\VID_0B1E&PID_0A01";

NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP) return Complete(irp, STATUS_SUCCESS);
    if (stack->MinorFunction == IRP_MN_QUERY_ID) {
        std::u16string id = stack->Parameters.QueryId.IdType == BusQueryInstanceID ? u"1" : kHardwareId;
        id += u'\0';  // hardware IDs are a list ending in an empty string
        auto *text = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (id.size() + 1) * 2, 0x6F6D6544));
        if (text == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        memcpy(text, id.c_str(), (id.size() + 1) * 2);
        return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)text);
    }
    if (stack->MinorFunction != IRP_MN_QUERY_CAPABILITIES) Say("bus", std::string("saw ") + PnpName(stack->MinorFunction));
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = BusDispatch;
    return STATUS_SUCCESS;
}

// =====================================================================================
// A trivial COM port driver: publishes its port name, answers the baud rate, takes writes
// =====================================================================================
struct DemoPort {
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
    ULONG baud;
    WCHAR linkText[64];
};

NTSTATUS PublishName(PDEVICE_OBJECT device, DemoPort *port) {
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->lower, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PortName");
    ULONG buffer[32];
    ULONG length = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    std::u16string link = u"\\DosDevices\\Global\\" + std::u16string(reinterpret_cast<char16_t *>(info->Data));
    memcpy(port->linkText, link.c_str(), (link.size() + 1) * 2);
    RtlInitUnicodeString(&port->link, port->linkText);
    UNICODE_STRING target;
    RtlInitUnicodeString(&target, u"\\Device\\DemoSerial0");
    Say("driver", "publishes " + Narrow(link) + " -> \\Device\\DemoSerial0");
    return IoCreateSymbolicLink(&port->link, &target);
}

NTSTATUS PortDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto *port = static_cast<DemoPort *>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP: {
        UCHAR minor = stack->MinorFunction;
        Say("driver", std::string("saw ") + PnpName(minor));
        if (minor == IRP_MN_START_DEVICE) {
            IoSkipCurrentIrpStackLocation(irp);
            IoCallDriver(port->lower, irp);  // the bus completes the start at once
            return PublishName(device, port);
        }
        if ((minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) && port->link.Buffer != nullptr) {
            IoDeleteSymbolicLink(&port->link);
            port->link.Buffer = nullptr;
        }
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(port->lower, irp);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            IoDetachDevice(port->lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    case IRP_MJ_CREATE: Say("driver", "opened by an application"); return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE: Say("driver", "closed by the application"); return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_WRITE:
        Say("driver", "received " + std::to_string(stack->Parameters.Write.Length) + " bytes: \"" +
                          std::string((const char *)irp->AssociatedIrp.SystemBuffer, stack->Parameters.Write.Length) +
                          "\"");
        return Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    case IRP_MJ_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_BAUD_RATE) {
            port->baud = *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer);
            Say("driver", "baud rate set to " + std::to_string(port->baud));
        } else if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_BAUD_RATE) {
            *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer) = port->baud;
            return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
        }
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_SUCCESS);
    }
}

NTSTATUS PortAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\DemoSerial0");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DemoPort), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *port = static_cast<DemoPort *>(device->DeviceExtension);
    port->lower = IoAttachDeviceToDeviceStack(device, pdo);
    port->baud = 9600;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Say("driver", "AddDevice: created \\Device\\DemoSerial0 on the bus device");
    return STATUS_SUCCESS;
}

NTSTATUS PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = PortDispatch;
    driver->DriverExtension->AddDevice = PortAddDevice;
    Say("driver", "DriverEntry, service key " + Narrow(std::u16string(registryPath->Buffer, registryPath->Length / 2)));
    return STATUS_SUCCESS;
}

}  // namespace

// =====================================================================================
// The story
// =====================================================================================
int main() {
    std::printf("Card reader/writer demo on the simulated Windows platform\n\n");
    sim::RegisterCurrentThread();

    std::printf("1. Boot: install a COM port driver for the device's hardware ID\n");
    sim::InstallServiceEntry(u"DemoPort", PortEntry);
    sim::InstallHardwareId(kHardwareId, u"DemoPort", {}, u"Ports");
    PDRIVER_OBJECT bus = sim::CreateDriver(u"\\Driver\\DemoBus", BusEntry);
    Say("kernel", "bus driver \\Driver\\DemoBus loaded");

    std::printf("\n2. Plug in the device: the PnP manager builds and starts its stack\n");
    PDEVICE_OBJECT pdo = nullptr;
    UNICODE_STRING pdoName;
    RtlInitUnicodeString(&pdoName, u"\\Device\\DemoBusPdo1");
    {
        sim::DriverCall call(bus, "enumeration", nullptr);
        IoCreateDevice(bus, 0, &pdoName, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    sim::DeviceNode *node = sim::ReportDeviceArrival(pdo);
    if (node == nullptr) {
        std::printf("the device could not be started\n");
        return 1;
    }
    Say("pnp", "instance " + Narrow(sim::InstancePathOf(node)) + " got PortName " +
                   Narrow(sim::RegistryGetString(sim::HardwareKeyOf(node), u"PortName").value_or(u"?")));

    std::printf("\n3. An application opens COM3, sets 19200 baud and writes\n");
    HANDLE port = CreateFileW(u"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("CreateFileW failed with error %u\n", GetLastError());
        return 1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = CBR_19200;
    SetCommState(port, &dcb);
    DWORD written = 0;
    WriteFile(port, "hello", 5, &written, nullptr);
    HANDLE second = CreateFileW(u"\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Say("app", std::string("a second open ") + (second == INVALID_HANDLE_VALUE ? "is refused: the port is exclusive"
                                                                                : "succeeded"));

    std::printf("\n4. Unplug the device while the port is open\n");
    sim::PnpResult surprise = sim::SurpriseRemove(node);
    Say("pnp", std::string("surprise removal answered ") + StatusName(surprise.status) +
                   "; the removal waits for the application");
    CloseHandle(port);
    sim::PnpResult removal = sim::WaitForRemoval(node);
    Say("pnp", std::string("removal answered ") + StatusName(removal.StatusOf(IRP_MN_REMOVE_DEVICE)));
    Say("kernel", std::string("driver DemoPort is ") + (sim::LoadedDriver(u"DemoPort") ? "still loaded" : "unloaded"));

    {
        sim::DriverCall call(bus, "teardown", nullptr);
        IoDeleteDevice(pdo);
    }
    sim::RemoveAllDevices();
    sim::UnloadDriver(bus);
    std::printf("\nDone: the verifier found no leaks and no misuse.\n");
    return 0;
}
