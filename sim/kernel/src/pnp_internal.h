// Internal interfaces between the registry, namespace, loader, PnP, power and application
// files of the simulated kernel. Not for drivers or tests.
#pragma once

#include "sim/kernel/include/ntddk_sim.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/kernel/include/sim_pnp.h"

#include <string>

namespace sim {
namespace pnp {

// =====================================================================================
// Strings (pnp_strings.cpp)
// =====================================================================================
// Upper case for case-insensitive comparison of object, key and value names (ASCII letters,
// which is all the names of this system use).
std::u16string Upcase(const std::u16string &text);
bool EqualNoCase(const std::u16string &a, const std::u16string &b);
std::u16string FromCounted(PCUNICODE_STRING text);
std::u16string FromWide(PCWSTR text);
std::string Utf8(const std::u16string &text);
std::u16string Utf16(const std::string &text);
// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}" in lower case, as interface names carry it.
std::u16string GuidText(const GUID &guid);
// Allocates a counted copy from paged pool (charged to the current driver), terminated.
NTSTATUS AllocateCountedString(const std::u16string &text, PUNICODE_STRING out);

// =====================================================================================
// Registry (registry_store.cpp)
// =====================================================================================
// Creates the key (and its parents) when missing; false when fault injection refused it.
bool CreateKeyPath(const std::u16string &key);
// Key paths: well-known roots.
extern const char16_t kMachineRoot[];      // \Registry\Machine
extern const char16_t kEnumRoot[];         // \Registry\Machine\System\CurrentControlSet\Enum
extern const char16_t kServicesRoot[];     // ...\CurrentControlSet\Services
extern const char16_t kClassRoot[];        // ...\CurrentControlSet\Control\Class

// Opens a key handle charged to the current driver (registry_handles.cpp).
NTSTATUS OpenKeyHandle(const std::u16string &key, bool create, PHANDLE handle, PULONG disposition);

// =====================================================================================
// PnP manager internals (pnp_nodes.cpp)
// =====================================================================================
// The node whose physical device object or stack contains 'device', nullptr if none.
DeviceNode *NodeOfDevice(PDEVICE_OBJECT device);
// Application handles: the I/O manager counts opens and closes per node. The close of the last
// handle lets a removal waiting after surprise removal proceed.
void NoteHandleOpened(DeviceNode *node);
void NoteHandleClosed(DeviceNode *node);
// True while creates must fail: the node is being removed or has been.
bool RefusesCreate(DeviceNode *node);

// Device interfaces of a removed node are withdrawn (namespace_interfaces.cpp).
void WithdrawInterfacesOf(PDEVICE_OBJECT pdo);
// Registrations go when the device instance is forgotten.
void ForgetInterfacesOf(const std::u16string &instancePath);

// Power states reported for a stack's devices are forgotten when the stack goes (power.cpp).
void ForgetPowerStates(PDEVICE_OBJECT pdo);

// Sends one PnP or power request to a device and waits for it (pnp_requests.cpp): the way the
// PnP and power managers do, from a thread at PASSIVE_LEVEL. 'setup' fills the stack location.
struct SentRequest {
    NTSTATUS status;
    ULONG_PTR information;
};
SentRequest SendPnpRequest(PDEVICE_OBJECT target, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void *),
                           void *context);
SentRequest SendPowerRequest(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

}  // namespace pnp
}  // namespace sim
