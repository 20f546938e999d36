// What a driver may ask the PnP manager about its device: the device's registry keys and its
// registry properties.
#include "pnp_node.h"

namespace sim {
namespace pnp {
namespace {

// The node of a physical device object; other devices are refused as on Windows.
DeviceNode *NodeOfPdo(PDEVICE_OBJECT device) {
    DeviceNode *node = NodeOfDevice(device);
    return node != nullptr && node->pdo == device ? node : nullptr;
}

NTSTATUS ReturnBytes(const void *data, ULONG size, ULONG bufferLength, PVOID buffer, PULONG resultLength) {
    *resultLength = size;
    if (bufferLength < size) return STATUS_BUFFER_TOO_SMALL;
    memcpy(buffer, data, size);
    return STATUS_SUCCESS;
}

NTSTATUS ReturnText(const std::u16string &text, ULONG bufferLength, PVOID buffer, PULONG resultLength) {
    return ReturnBytes(text.c_str(), (ULONG)((text.size() + 1) * sizeof(char16_t)), bufferLength, buffer, resultLength);
}

NTSTATUS ReturnMulti(const std::vector<std::u16string> &items, ULONG bufferLength, PVOID buffer, PULONG resultLength) {
    std::u16string joined;
    for (const std::u16string &item : items) joined += item + u'\0';
    joined += u'\0';
    return ReturnBytes(joined.data(), (ULONG)(joined.size() * sizeof(char16_t)), bufferLength, buffer, resultLength);
}

}  // namespace
}  // namespace pnp
}  // namespace sim

using namespace sim::pnp;

// PLUGPLAY_REGKEY_DEVICE: the instance's "Device Parameters" key; PLUGPLAY_REGKEY_DRIVER: its
// software key under the class. Both are created on first use.
extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey) {
    *DeviceRegKey = nullptr;
    sim::DeviceNode *node = NodeOfPdo(DeviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string key;
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
        key = sim::HardwareKeyOf(node);
        break;
    case PLUGPLAY_REGKEY_DRIVER:
        key = sim::DriverKeyOf(node);
        break;
    case PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
    case PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
        key = std::u16string(kMachineRoot) +
              u"\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Enum\\" +
              node->instancePath;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return OpenKeyHandle(key, true, DeviceRegKey, nullptr);
}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    *ResultLength = 0;
    sim::DeviceNode *node = NodeOfPdo(DeviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    switch (DeviceProperty) {
    case DevicePropertyHardwareID:
        return ReturnMulti(node->hardwareIds, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyCompatibleIDs:
        return ReturnMulti(node->compatibleIds, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyClassName:
        return ReturnText(node->install.setupClass, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyClassGuid:
        return ReturnText(GuidText(node->classGuid), BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDriverKeyName:
        return ReturnText(node->driverKey, BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyEnumeratorName:
        return ReturnText(node->instancePath.substr(0, node->instancePath.find(u'\\')), BufferLength, PropertyBuffer,
                          ResultLength);
    case DevicePropertyPhysicalDeviceObjectName:
        return ReturnText(sim::DeviceName(node->pdo), BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyAddress:
        return ReturnBytes(&node->capabilities.Address, sizeof(ULONG), BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyUINumber:
        return ReturnBytes(&node->capabilities.UINumber, sizeof(ULONG), BufferLength, PropertyBuffer, ResultLength);
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
}
