// Control interface of the simulated kernel's world around I/O, for tests, the simulated buses
// and the demo: the registry, the object namespace, the driver loader, the installed-driver
// database, the Plug and Play manager and the power manager. Ordinary C++17: drivers never
// include it.
#pragma once

#include "sim/kernel/include/ntddk_sim.h"
#include "sim/kernel/include/sim_kernel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// =====================================================================================
// Registry
// =====================================================================================
// Key paths are full native paths ("\Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM"); key and
// value names compare case-insensitively, as on Windows. Writing a value creates its key.
struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

extern const char16_t kSerialCommKey[];  // \Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM

void RegistrySetValue(const std::u16string &key, const std::u16string &name, ULONG type, const void *data,
                      size_t size);
// REG_SZ with its terminating zero, as the registry editor stores it.
void RegistrySetString(const std::u16string &key, const std::u16string &name, const std::u16string &text);
void RegistrySetDword(const std::u16string &key, const std::u16string &name, ULONG value);
std::optional<RegistryValue> RegistryGetValue(const std::u16string &key, const std::u16string &name);
// The text of a REG_SZ value without its terminating zero; nullopt when missing or not a string.
std::optional<std::u16string> RegistryGetString(const std::u16string &key, const std::u16string &name);
std::optional<ULONG> RegistryGetDword(const std::u16string &key, const std::u16string &name);
bool RegistryDeleteValue(const std::u16string &key, const std::u16string &name);
bool RegistryKeyExists(const std::u16string &key);
// Value names of a key in the order they were first written.
std::vector<std::u16string> RegistryValueNames(const std::u16string &key);
// Deletes a key with its subkeys and values.
void RegistryDeleteTree(const std::u16string &key);
// Registry key handles open now (by any driver).
size_t RegistryOpenHandleCount();

// =====================================================================================
// Object namespace
// =====================================================================================
// Link names are kept in their global form: \DosDevices\COM3, \DosDevices\Global\COM3,
// \??\COM3 and \GLOBAL??\COM3 all name the link \GLOBAL??\COM3.
std::u16string CanonicalObjectName(const std::u16string &name);
// The target of one symbolic link, nullopt when there is none.
std::optional<std::u16string> SymbolicLinkTarget(const std::u16string &link);
// Every symbolic link (global form), sorted.
std::vector<std::u16string> SymbolicLinks();

struct DeviceInterfaceInfo {
    std::u16string symbolicLinkName;  // "\??\USB#VID_0B1E&PID_0A01#5&1&0#{86e0d1e0-...}"
    GUID classGuid{};
    std::u16string referenceString;
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    bool enabled = false;
};
// Registered interfaces, of one class or of all (nullptr).
std::vector<DeviceInterfaceInfo> DeviceInterfaces(const GUID *classGuid = nullptr);

// Resolves an object name through symbolic links to a device: the top of that device's stack
// is where a create goes. 'remainder' receives what follows the device's name ("\if0pipe0").
// Interfaces resolve to their physical device object while enabled. nullptr when nothing is there.
PDEVICE_OBJECT ResolveDeviceName(const std::u16string &name, std::u16string *remainder = nullptr);

// =====================================================================================
// Driver loader and installed drivers
// =====================================================================================
// Loads a driver module (dlopen, local symbols, immediate binding), creates its driver object
// "\Driver\<service>" and calls its DriverEntry with the service's registry path. nullptr with
// *status set when the module cannot be loaded or DriverEntry fails (then it is unloaded).
PDRIVER_OBJECT LoadDriverModule(const std::string &path, const std::u16string &service = u"",
                                NTSTATUS *status = nullptr);
// Unloads a driver whose devices are all gone: DriverUnload, leak check, dlclose.
void UnloadDriverModule(PDRIVER_OBJECT driver);

// Installed-driver database, as an installed INF leaves it: a service runs either a module or
// an in-process entry point.
void InstallServiceModule(const std::u16string &service, const std::string &modulePath);
void InstallServiceEntry(const std::u16string &service, PDRIVER_INITIALIZE entry);
// A hardware ID served by a function driver and upper filters (bottom to top), in a setup
// class ("Ports" gets a COM name from the class installer).
void InstallHardwareId(const std::u16string &hardwareId, const std::u16string &functionService,
                       const std::vector<std::u16string> &upperFilters = {},
                       const std::u16string &setupClass = u"Ports");
// The loaded driver object of a service, nullptr when not loaded.
PDRIVER_OBJECT LoadedDriver(const std::u16string &service);
// Forgets installed services and hardware IDs (loaded drivers stay until their devices go).
void UninstallAll();

// =====================================================================================
// Plug and Play manager
// =====================================================================================
// One device instance: the physical device object a bus reported and the stack above it.
struct DeviceNode;

enum class DeviceNodeState {
    Initialized,       // stack built, not started
    Started,
    QueryStopped,
    Stopped,
    QueryRemoved,
    SurpriseRemoved,   // surprise removal done, removal waits for the last handle
    Removed,           // removal done: the stack's function and filter devices are gone
    StartFailed,       // start failed; the stack was removed
};

// What one call sent and how the drivers answered, in order.
struct PnpStep {
    UCHAR minorFunction;
    NTSTATUS status;
};
struct PnpResult {
    std::vector<PnpStep> steps;
    bool vetoed = false;            // refused before any request went out (open handles)
    NTSTATUS status = STATUS_SUCCESS;  // the overall outcome
    NTSTATUS StatusOf(UCHAR minorFunction) const;  // STATUS_NOT_FOUND when not sent
};

// A bus driver reports a new child: the PnP manager references the PDO (until a removal in which
// the bus deleted it, or until RemoveAllDevices forgets the node), queries its IDs and
// capabilities, loads the function driver and the upper filters of the first installed hardware
// ID, calls their AddDevice in stack order, gives a "Ports" device its "PortName" (kept by its
// device instance, also across an unplug) and starts it. Returns the
// node (also when the start failed, see StateOf), nullptr when no driver is installed or the
// stack could not be built; *result reports the requests sent.
DeviceNode *ReportDeviceArrival(PDEVICE_OBJECT pdo, PnpResult *result = nullptr);

// Sequences, each in the PnP manager's own thread. They return when the sequence is done. A
// driver unloads (DriverUnload, then the leak check) once no node's stack uses it any more.
// Sequences on a node without a stack answer STATUS_INVALID_DEVICE_STATE.
PnpResult StopAndRestart(DeviceNode *node);   // rebalance: query-stop, stop, start
PnpResult QueryStopThenCancel(DeviceNode *node);
PnpResult QueryRemoveThenCancel(DeviceNode *node);
// Disable: query-remove and remove, vetoed while an application handle is open.
PnpResult Disable(DeviceNode *node);
// The device is gone from its bus: surprise removal at once; the removal follows when the last
// application handle is closed, or within this call when none is open (its steps are then
// added to the result). A driver may hold the surprise removal until handles close: then call
// this from a thread of its own. A node whose PDO the bus already deleted answers
// STATUS_NO_SUCH_DEVICE and nothing is sent.
PnpResult SurpriseRemove(DeviceNode *node);
// Waits (a simulated wait) until the removal that follows a surprise removal has run, and
// returns what it sent; at once for a node that was never surprise-removed. Close the
// application's handles first.
PnpResult WaitForRemoval(DeviceNode *node);
// Starts a stopped or disabled device again (a disabled device gets a new stack).
PnpResult Enable(DeviceNode *node);

DeviceNodeState StateOf(DeviceNode *node);
PDEVICE_OBJECT PhysicalDeviceOf(DeviceNode *node);
PDEVICE_OBJECT StackTopOf(DeviceNode *node);
std::u16string InstancePathOf(DeviceNode *node);           // "USB\VID_0B1E&PID_0A01\5&1&0"
std::u16string HardwareKeyOf(DeviceNode *node);            // ...\Enum\<instance>\Device Parameters
std::u16string DriverKeyOf(DeviceNode *node);              // ...\Control\Class\{guid}\0000
DEVICE_CAPABILITIES CapabilitiesOf(DeviceNode *node);
DeviceNode *NodeOfPhysicalDevice(PDEVICE_OBJECT pdo);
std::vector<DeviceNode *> DeviceNodes();
// Application handles open on the node's stack.
ULONG OpenHandleCount(DeviceNode *node);
// The last power state each driver reported for a device with PoSetPowerState.
POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type);

// Removes every node still present (surprise removal and removal) and forgets removed nodes:
// the end of a test. Application handles must be closed before.
void RemoveAllDevices();

// =====================================================================================
// Power manager
// =====================================================================================
struct PowerResult {
    std::vector<PnpStep> steps;  // minor functions IRP_MN_QUERY_POWER / IRP_MN_SET_POWER
    NTSTATUS status = STATUS_SUCCESS;
};
// System sleep: IRP_MN_QUERY_POWER then IRP_MN_SET_POWER for 'state' to the top of every
// started stack (newest first). A refused query stops the transition and nothing is set.
PowerResult SystemSleep(SYSTEM_POWER_STATE state);
// Back to S0: IRP_MN_SET_POWER PowerSystemWorking to every started stack (oldest first).
PowerResult SystemWake();
// The system power state the power manager last set.
SYSTEM_POWER_STATE CurrentSystemPowerState();

}  // namespace sim
