// Arrival of a device: the PnP manager asks the bus driver's physical device object for its
// IDs and capabilities, finds the installed drivers, records the device instance in the
// registry, builds the stack (function driver, then upper filters), gives a "Ports" device its
// COM name as the Ports class installer would, and starts it.
#include "pnp_node.h"

#include <set>

namespace sim {
namespace pnp {

// =====================================================================================
// Questions to the bus driver
// =====================================================================================
namespace {

// A multi-string or string answer in bus-driver pool; freed here, as the PnP manager does.
std::vector<std::u16string> TakeIdList(ULONG_PTR information, bool multi) {
    std::vector<std::u16string> ids;
    auto *text = reinterpret_cast<PWSTR>(information);
    if (text == nullptr) return ids;
    for (PWSTR item = text; *item != 0; item += SimWideLength(item) + 1) {
        ids.push_back(item);
        if (!multi) break;
    }
    ExFreePool(text);
    return ids;
}

void SetQueryId(PIO_STACK_LOCATION next, void *context) {
    next->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE *>(context);
}

std::vector<std::u16string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, PnpResult *result) {
    SentRequest answer = SendPnpRequest(pdo, IRP_MN_QUERY_ID, SetQueryId, &type);
    result->steps.push_back(PnpStep{IRP_MN_QUERY_ID, answer.status});
    if (!NT_SUCCESS(answer.status)) return {};
    bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    return TakeIdList(answer.information, multi);
}

void SetCapabilities(PIO_STACK_LOCATION next, void *context) {
    next->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(context);
}

// Preset as the PnP manager does: size, version 1, address and UI number unknown.
DEVICE_CAPABILITIES QueryCapabilities(PDEVICE_OBJECT target, PnpResult *result) {
    DEVICE_CAPABILITIES capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    SentRequest answer = SendPnpRequest(target, IRP_MN_QUERY_CAPABILITIES, SetCapabilities, &capabilities);
    result->steps.push_back(PnpStep{IRP_MN_QUERY_CAPABILITIES, answer.status});
    return capabilities;
}

// =====================================================================================
// Setup classes and the device instance's registry entries
// =====================================================================================
GUID ClassGuidOf(const std::u16string &setupClass) {
    static const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    static const GUID usb = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
    static const GUID other = {0x4D36E97E, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    if (EqualNoCase(setupClass, u"Ports")) return ports;
    if (EqualNoCase(setupClass, u"USB")) return usb;
    return other;
}

std::vector<uint8_t> MultiString(const std::vector<std::u16string> &items) {
    std::u16string joined;
    for (const std::u16string &item : items) joined += item + u'\0';
    joined += u'\0';
    const auto *bytes = reinterpret_cast<const uint8_t *>(joined.data());
    return std::vector<uint8_t>(bytes, bytes + joined.size() * sizeof(char16_t));
}

// The driver key's instance number: the first unused under the class key.
std::u16string NewDriverKey(const GUID &classGuid) {
    for (int number = 0;; number++) {
        char digits[16];
        snprintf(digits, sizeof digits, "%04d", number);
        std::u16string candidate = GuidText(classGuid) + u"\\" + Utf16(digits);
        if (!RegistryKeyExists(std::u16string(kClassRoot) + u"\\" + candidate)) return candidate;
    }
}

void RecordInstance(DeviceNode *node) {
    std::u16string instanceKey = std::u16string(kEnumRoot) + u"\\" + node->instancePath;
    std::vector<uint8_t> ids = MultiString(node->hardwareIds);
    RegistrySetValue(instanceKey, u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size());
    RegistrySetString(instanceKey, u"Service", node->install.functionService);
    RegistrySetString(instanceKey, u"Class", node->install.setupClass);
    RegistrySetString(instanceKey, u"ClassGUID", GuidText(node->classGuid));
    std::optional<std::u16string> driverKey = RegistryGetString(instanceKey, u"Driver");
    node->driverKey = driverKey ? *driverKey : NewDriverKey(node->classGuid);
    RegistrySetString(instanceKey, u"Driver", node->driverKey);
    if (!node->install.upperFilters.empty()) {
        std::vector<uint8_t> filters = MultiString(node->install.upperFilters);
        RegistrySetValue(instanceKey, u"UpperFilters", REG_MULTI_SZ, filters.data(), filters.size());
    }
    pnp::CreateKeyPath(HardwareKeyOf(node));
    pnp::CreateKeyPath(DriverKeyOf(node));
}

// The Ports class installer gives a new port the lowest COM number from 3 that no other
// device instance holds; a device instance that has a "PortName" keeps it, also when it comes
// back (plugged in again: a new node of the same instance, the same hardware key). Nodes of
// removed devices still hold their instances' names, as the COM name database keeps them.
void AssignPortName(DeviceNode *node) {
    if (!EqualNoCase(node->install.setupClass, u"Ports")) return;
    std::u16string key = HardwareKeyOf(node);
    if (RegistryGetString(key, u"PortName")) return;
    std::set<std::u16string> taken;
    {
        std::lock_guard<std::mutex> guard(NodeLock());
        for (DeviceNode *other : NodesLocked()) {
            if (EqualNoCase(other->instancePath, node->instancePath)) continue;
            std::optional<std::u16string> name = RegistryGetString(HardwareKeyOf(other), u"PortName");
            if (name) taken.insert(Upcase(*name));
        }
    }
    for (int number = 3;; number++) {
        std::u16string name = u"COM" + Utf16(std::to_string(number));
        if (taken.count(name) != 0) continue;
        RegistrySetString(key, u"PortName", name);
        return;
    }
}

// =====================================================================================
// Stack building
// =====================================================================================
NTSTATUS AddDeviceOf(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension != nullptr ? driver->DriverExtension->AddDevice : nullptr;
    if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    DriverCall call(driver, "AddDevice", reinterpret_cast<const void *>(addDevice));
    return addDevice(driver, pdo);
}

// Loads each driver of the stack and calls its AddDevice, function driver first.
NTSTATUS BuildStack(DeviceNode *node) {
    std::vector<std::u16string> services{node->install.functionService};
    services.insert(services.end(), node->install.upperFilters.begin(), node->install.upperFilters.end());
    for (const std::u16string &service : services) {
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status = LoadService(service, &driver);
        if (!NT_SUCCESS(status)) return status;
        {
            std::lock_guard<std::mutex> guard(NodeLock());
            node->drivers.push_back(driver);
        }
        status = AddDeviceOf(driver, node->pdo);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

void SetState(DeviceNode *node, DeviceNodeState state) {
    std::lock_guard<std::mutex> guard(NodeLock());
    node->state = state;
}

}  // namespace

// =====================================================================================
// Shared steps
// =====================================================================================
NTSTATUS SendToStack(DeviceNode *node, UCHAR minor, PnpResult *result) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
    SentRequest answer = SendPnpRequest(top, minor, nullptr, nullptr);
    ObfDereferenceObject(top);
    result->steps.push_back(PnpStep{minor, answer.status});
    return answer.status;
}

// After IRP_MN_REMOVE_DEVICE every function and filter device must be detached and deleted;
// interfaces left enabled are withdrawn; a driver that no other node uses unloads; a PDO the bus
// deleted (its device is gone) is released. The removal goes to the top of the stack, referenced
// while it travels; each device below stays while the device above is attached to it, and the
// physical device object while the node holds it. Caller holds the sequence lock.
void RemoveStack(DeviceNode *node, PnpResult *result) {
    ForgetPowerStates(node->pdo);
    SendToStack(node, IRP_MN_REMOVE_DEVICE, result);
    if (!IsDeviceDeleted(node->pdo) && node->pdo->AttachedDevice != nullptr)
        ReportFailure("a device is still attached to the physical device object after IRP_MN_REMOVE_DEVICE");
    WithdrawInterfacesOf(node->pdo);
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::mutex> guard(NodeLock());
        drivers.swap(node->drivers);
    }
    for (size_t i = 0; i < drivers.size(); i++) {
        bool seen = false;  // a service both function driver and filter of this stack unloads once
        for (size_t j = 0; j < i; j++) seen = seen || drivers[j] == drivers[i];
        if (!seen && !DriverInUse(drivers[i])) UnloadUnusedDriver(drivers[i]);
    }
    ReleasePhysicalDeviceIfDeleted(node);
}

// A stack that cannot be built or started is removed again, as Windows does.
void BuildAndStart(DeviceNode *node, PnpResult *result) {
    NTSTATUS status = BuildStack(node);
    if (NT_SUCCESS(status)) {
        AssignPortName(node);
        status = SendToStack(node, IRP_MN_START_DEVICE, result);
    }
    if (NT_SUCCESS(status)) {
        SetState(node, DeviceNodeState::Started);
    } else {
        SetState(node, DeviceNodeState::StartFailed);
        RemoveStack(node, result);
    }
    result->status = status;
}

}  // namespace pnp

// =====================================================================================
// Control interface
// =====================================================================================
DeviceNode *ReportDeviceArrival(PDEVICE_OBJECT pdo, PnpResult *result) {
    PnpResult local;
    if (result == nullptr) result = &local;
    *result = PnpResult{};
    DeviceNode *node = nullptr;
    pnp::RunSequence([&] {
        std::vector<std::u16string> deviceId = pnp::QueryIds(pdo, BusQueryDeviceID, result);
        std::vector<std::u16string> instanceId = pnp::QueryIds(pdo, BusQueryInstanceID, result);
        std::vector<std::u16string> hardwareIds = pnp::QueryIds(pdo, BusQueryHardwareIDs, result);
        std::vector<std::u16string> compatibleIds = pnp::QueryIds(pdo, BusQueryCompatibleIDs, result);
        if (deviceId.empty()) {
            result->status = STATUS_INVALID_DEVICE_REQUEST;
            return;
        }
        if (hardwareIds.empty()) hardwareIds = deviceId;
        DEVICE_CAPABILITIES capabilities = pnp::QueryCapabilities(pdo, result);
        std::vector<std::u16string> ids = hardwareIds;
        ids.insert(ids.end(), compatibleIds.begin(), compatibleIds.end());
        pnp::InstalledDevice install;
        if (!pnp::FindInstalledDevice(ids, &install)) {
            result->status = STATUS_NO_SUCH_DEVICE;
            return;
        }
        node = new DeviceNode;
        KeInitializeEvent(&node->removalDone, NotificationEvent, FALSE);
        node->pdo = pdo;
        pnp::ReferencePhysicalDevice(node);
        node->instancePath = deviceId[0] + u"\\" + (instanceId.empty() ? std::u16string(u"0") : instanceId[0]);
        node->hardwareIds = hardwareIds;
        node->compatibleIds = compatibleIds;
        node->install = install;
        node->classGuid = pnp::ClassGuidOf(install.setupClass);
        node->capabilities = capabilities;
        {
            std::lock_guard<std::mutex> guard(pnp::NodeLock());
            pnp::NodesLocked().push_back(node);
        }
        pnp::RecordInstance(node);
        pnp::BuildAndStart(node, result);
    });
    return node;
}

}  // namespace sim
