// Device interfaces: registered per physical device object, class and reference string under a
// symbolic link name derived from the device instance; enabled and disabled by the drivers of
// the stack; openable by applications while enabled.
//
// Locking: InterfaceLock guards the table; taken only around table accesses (it may be taken
// while the link table's lock is held, never the other way round).
#include "namespace_internal.h"

#include <map>
#include <mutex>

namespace sim {
namespace pnp {

// =====================================================================================
// Interface table
// =====================================================================================
namespace {

struct InterfaceRecord {
    DeviceInterfaceInfo info;
    std::u16string instancePath;  // the device instance it belongs to
    PDRIVER_OBJECT enabledBy = nullptr;
};

struct InterfaceTable {
    std::mutex lock;
    std::map<std::u16string, InterfaceRecord> interfaces;  // by upper-case canonical name
};

InterfaceTable &Interfaces() {
    static InterfaceTable *table = new InterfaceTable;
    return *table;
}

// "\??\USB#VID_0B1E&PID_0A01#5&1&0#{guid}" plus "\reference" when one is given.
std::u16string InterfaceLinkName(const std::u16string &instancePath, const GUID &guid, const std::u16string &reference) {
    std::u16string instance = instancePath;
    for (char16_t &c : instance)
        if (c == u'\\') c = u'#';
    std::u16string name = u"\\??\\" + instance + u"#" + GuidText(guid);
    if (!reference.empty()) name += u"\\" + reference;
    return name;
}

}  // namespace

bool InterfaceNamed(const std::u16string &canonicalName) {
    InterfaceTable &table = Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.interfaces.count(Upcase(canonicalName)) != 0;
}

PDEVICE_OBJECT EnabledInterfaceDevice(const std::u16string &canonicalName) {
    InterfaceTable &table = Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.interfaces.find(Upcase(canonicalName));
    if (found == table.interfaces.end() || !found->second.info.enabled) return nullptr;
    return found->second.info.physicalDeviceObject;
}

// Windows disables what the drivers left enabled when the device goes; here that is also a
// verifier failure, because a driver must withdraw what it published.
void WithdrawInterfacesOf(PDEVICE_OBJECT pdo) {
    std::vector<std::string> leftovers;
    {
        InterfaceTable &table = Interfaces();
        std::lock_guard<std::mutex> guard(table.lock);
        for (auto &entry : table.interfaces) {
            InterfaceRecord &record = entry.second;
            if (record.info.physicalDeviceObject != pdo || !record.info.enabled) continue;
            leftovers.push_back(Utf8(record.info.symbolicLinkName) + " (enabled by " + DriverName(record.enabledBy) + ")");
            record.info.enabled = false;
            record.enabledBy = nullptr;
        }
    }
    for (const std::string &name : leftovers)
        ReportFailure("device interface " + name + " still enabled after the device was removed");
}

// A device instance that is uninstalled takes its interface registrations with it.
void ForgetInterfacesOf(const std::u16string &instancePath) {
    InterfaceTable &table = Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    for (auto it = table.interfaces.begin(); it != table.interfaces.end();) {
        if (EqualNoCase(it->second.instancePath, instancePath)) it = table.interfaces.erase(it);
        else ++it;
    }
}

}  // namespace pnp

// =====================================================================================
// Control interface
// =====================================================================================
std::vector<DeviceInterfaceInfo> DeviceInterfaces(const GUID *classGuid) {
    pnp::InterfaceTable &table = pnp::Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    std::vector<DeviceInterfaceInfo> list;
    for (auto &entry : table.interfaces)
        if (classGuid == nullptr || IsEqualGUID(entry.second.info.classGuid, *classGuid)) list.push_back(entry.second.info);
    return list;
}

}  // namespace sim

// =====================================================================================
// Kernel routines
// =====================================================================================
using namespace sim::pnp;

// Registering again returns the same name. The registration belongs to the device instance: when
// the device comes back (plugged in again, a new PDO for the same instance), the disabled
// interface now leads to the new PDO. The name buffer is the caller's (RtlFreeUnicodeString).
extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                              PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    sim::DeviceNode *node = NodeOfDevice(PhysicalDeviceObject);
    if (node == nullptr || sim::PhysicalDeviceOf(node) != PhysicalDeviceObject) return STATUS_INVALID_DEVICE_REQUEST;
    if (sim::ShouldFail(sim::FaultInterface)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string reference = FromCounted(ReferenceString);
    std::u16string name = InterfaceLinkName(sim::InstancePathOf(node), *InterfaceClassGuid, reference);
    NTSTATUS status = AllocateCountedString(name, SymbolicLinkName);
    if (!NT_SUCCESS(status)) return status;
    InterfaceTable &table = Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    std::u16string key = Upcase(Canonical(name));
    auto found = table.interfaces.find(key);
    if (found == table.interfaces.end()) {
        InterfaceRecord record;
        record.info.symbolicLinkName = name;
        record.info.classGuid = *InterfaceClassGuid;
        record.info.referenceString = reference;
        record.info.physicalDeviceObject = PhysicalDeviceObject;
        record.instancePath = sim::InstancePathOf(node);
        table.interfaces[key] = record;
    } else if (!found->second.info.enabled) {
        found->second.info.physicalDeviceObject = PhysicalDeviceObject;
    }
    return STATUS_SUCCESS;
}

// Enabling an enabled interface answers STATUS_OBJECT_NAME_EXISTS; disabling a disabled one
// STATUS_OBJECT_NAME_NOT_FOUND, as documented.
extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (Enable && sim::ShouldFail(sim::FaultInterface)) return STATUS_INSUFFICIENT_RESOURCES;
    InterfaceTable &table = Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.interfaces.find(Upcase(Canonical(FromCounted(SymbolicLinkName))));
    if (found == table.interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    InterfaceRecord &record = found->second;
    if (Enable) {
        if (record.info.enabled) return STATUS_OBJECT_NAME_EXISTS;
        record.info.enabled = true;
        record.enabledBy = sim::CurrentDriver();
        return STATUS_SUCCESS;
    }
    if (!record.info.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    record.info.enabled = false;
    record.enabledBy = nullptr;
    return STATUS_SUCCESS;
}
