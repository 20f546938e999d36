// Device objects of the simulated I/O manager: creation with an optional name and the
// exclusive flag, deletion, device stacks (attach/detach) and the named-device table.
#include "kernel_internal.h"

#include <cstdlib>
#include <map>
#include <unordered_map>

namespace sim {
namespace detail {
namespace {

struct DeviceRecord {
    std::u16string name;
    bool deleted = false;
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
    bool forcePending = false;
};

struct DeviceTable {
    std::mutex lock;  // guards records, names, and the stack links (AttachedDevice, NextDevice)
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> records;
    std::map<std::u16string, PDEVICE_OBJECT> names;  // upper-cased name -> device
};

DeviceTable &Devices() {
    static DeviceTable *table = new DeviceTable;
    return *table;
}

std::u16string Upcased(const std::u16string &name) {
    std::u16string result = name;
    for (char16_t &c : result) c = RtlUpcaseUnicodeChar(c);
    return result;
}

std::u16string FromUnicodeString(PCUNICODE_STRING string) {
    if (string == NULL || string->Buffer == NULL) return std::u16string();
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string &text) {
    std::string result;
    for (char16_t c : text) result += c < 128 ? (char)c : '?';
    return result;
}

void ReleaseDevice(PDEVICE_OBJECT device) {
    {
        DeviceTable &table = Devices();
        std::lock_guard<std::mutex> guard(table.lock);
        table.records.erase(device);
    }
    free(device);
}

// Caller holds the table lock.
void UnlinkFromDriverLocked(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != NULL; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            device->NextDevice = NULL;
            return;
        }
    }
}

}  // namespace

std::vector<std::string> DeviceLeaks(PDRIVER_OBJECT driver) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    std::vector<std::string> leaks;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != NULL; device = device->NextDevice) {
        std::u16string name = table.records[device].name;
        leaks.push_back("device object " + Hex((uint64_t)(uintptr_t)device) +
                        (name.empty() ? std::string() : " (" + Narrow(name) + ")") + " not deleted");
    }
    return leaks;
}

bool IsForcedPending(PDEVICE_OBJECT device) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.records.find(device);
    return found != table.records.end() && found->second.forcePending;
}

void ResetForcedPending() {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    for (auto &entry : table.records) entry.second.forcePending = false;
}

std::string NarrowName(const std::u16string &text) { return Narrow(text); }

}  // namespace detail

// =====================================================================================
// Control interface
// =====================================================================================
using namespace detail;

PDEVICE_OBJECT FindNamedDevice(const std::u16string &name) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.names.find(Upcased(name));
    return found == table.names.end() ? nullptr : found->second;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.records.find(device);
    return found == table.records.end() ? std::u16string() : found->second.name;
}

bool IsDeviceDeleted(PDEVICE_OBJECT device) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.records.find(device);
    return found == table.records.end() || found->second.deleted;
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.records.count(device) != 0;
}

void ForcePending(PDEVICE_OBJECT device, bool on) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.records.find(device);
    if (found != table.records.end()) found->second.forcePending = on;
}

}  // namespace sim

// =====================================================================================
// Kernel interfaces
// =====================================================================================
using namespace sim::detail;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT *DeviceObject) {
    *DeviceObject = NULL;
    if (sim::ShouldFail(sim::FaultDevice)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = FromUnicodeString(DeviceName);
    if (DeviceName != NULL && (DeviceName->Length % 2 != 0 || (!name.empty() && name[0] != u'\\')))
        return STATUS_OBJECT_NAME_INVALID;
    size_t objectSize = ALIGN_UP_BY(sizeof(DEVICE_OBJECT), 16);
    auto device = (PDEVICE_OBJECT)calloc(1, objectSize + DeviceExtensionSize);
    if (device == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(objectSize + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? (PCHAR)device + objectSize : NULL;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->AlignmentRequirement = 0;
    // The object is known to the object manager before anyone can find it by name.
    RegisterObjectWithCount(device, 1, [device] { ReleaseDevice(device); });
    bool collision = false;
    {
        DeviceTable &table = Devices();
        std::lock_guard<std::mutex> guard(table.lock);
        collision = !name.empty() && table.names.count(Upcased(name)) != 0;
        if (!collision) {
            if (!name.empty()) table.names[Upcased(name)] = device;
            table.records[device].name = name;
            device->NextDevice = DriverObject->DeviceObject;
            DriverObject->DeviceObject = device;
        }
    }
    if (collision) {
        ObfDereferenceObject(device);  // releases the object again
        return STATUS_OBJECT_NAME_COLLISION;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// The object lives on while referenced (open files, IoGetAttachedDeviceReference, a device
// still attached above it, whose attachment holds a reference): deletion only marks it delete
// pending. Its name goes at once, and so does its place in the driver's device list; the memory
// goes with the last reference.
extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    bool known = false;
    bool stillAttached = false;
    {
        DeviceTable &table = Devices();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.records.find(DeviceObject);
        if (found != table.records.end() && !found->second.deleted) {
            known = true;
            stillAttached = found->second.lower != nullptr;
            found->second.deleted = true;
            found->second.forcePending = false;
            if (!found->second.name.empty()) table.names.erase(Upcased(found->second.name));
            UnlinkFromDriverLocked(DeviceObject);
        }
    }
    std::string device = " (" + Hex((uint64_t)(uintptr_t)DeviceObject) + ")";
    if (!known) {
        Fail("deletes a device object that does not exist or was deleted before" + device);
        return;
    }
    if (stillAttached) Fail("deletes a device object still attached to a lower device (IoDetachDevice first)" + device);
    ObfDereferenceObject(DeviceObject);  // the creation reference
}

// The attachment references the device attached to, so that it outlives its own deletion until
// the device above detaches. Lock order: the device table, then the object table.
extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != NULL) top = top->AttachedDevice;
    auto found = table.records.find(top);
    if (found == table.records.end() || found->second.deleted) return NULL;
    ObfReferenceObject(top);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    table.records[SourceDevice].lower = top;
    return top;
}

extern "C" NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                                    PDEVICE_OBJECT *AttachedToDeviceObject) {
    // The lower device is known before anything can be sent through the new attachment.
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(SourceDevice, TargetDevice);
    *AttachedToDeviceObject = lower;
    return lower != NULL ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

// Drops the attachment's reference: a lower device deleted meanwhile goes now.
extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    bool attached = false;
    {
        DeviceTable &table = Devices();
        std::lock_guard<std::mutex> guard(table.lock);
        PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
        if (upper != NULL) {
            attached = true;
            auto found = table.records.find(upper);
            if (found != table.records.end()) found->second.lower = nullptr;
            TargetDevice->AttachedDevice = NULL;
        }
    }
    if (!attached) {
        Fail("detaches from a device that has nothing attached (" + Hex((uint64_t)(uintptr_t)TargetDevice) + ")");
        return;
    }
    ObfDereferenceObject(TargetDevice);
}

extern "C" PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    DeviceTable &table = Devices();
    std::lock_guard<std::mutex> guard(table.lock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != NULL) top = top->AttachedDevice;
    return top;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

extern "C" PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    return IoGetAttachedDevice(FileObject->DeviceObject);
}
