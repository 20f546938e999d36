// The PnP manager's device node and the routines its files share (pnp_nodes.cpp,
// pnp_arrival.cpp, pnp_sequences.cpp).
//
// Locking: NodeLock (pnp_nodes.cpp) guards the node list and every node's state, handle count
// and removal bookkeeping. It is never held while a driver runs. Sequences are serialised by
// the PnP manager's own lock (a synchronization event, so that waiting for it is a simulated
// wait), held for the whole of a sequence.
#pragma once

#include "loader_internal.h"

#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;         // referenced from its report until a removal ran and
    bool pdoReferenced = false;           //   the bus deleted it, or until the node is forgotten
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    pnp::InstalledDevice install;
    GUID classGuid{};
    std::u16string driverKey;             // "{guid}\0000"
    DEVICE_CAPABILITIES capabilities{};
    std::vector<PDRIVER_OBJECT> drivers;  // function driver, then upper filters
    DeviceNodeState state = DeviceNodeState::Initialized;
    bool present = true;                  // false once its bus reported it gone
    ULONG openHandles = 0;
    bool surpriseRemovalStarted = false;
    bool surpriseRemovalDone = false;
    KEVENT removalDone;                   // signalled once the removal after a surprise removal ran
    bool removalPending = false;          // surprise-removed, removal waits for the last close
    bool removalRunning = false;
    Thread removalThread;
    PnpResult removalResult;
};

namespace pnp {

std::mutex &NodeLock();
std::vector<DeviceNode *> &NodesLocked();

// The PnP manager's reference on a reported physical device object (pnp_nodes.cpp). Released
// once: after a removal in which the bus driver deleted it (the device is gone from the bus), or
// when the node is forgotten.
void ReferencePhysicalDevice(DeviceNode *node);
void ReleasePhysicalDeviceIfDeleted(DeviceNode *node);
void ReleasePhysicalDevice(DeviceNode *node);
// False once the reference is released: nothing can be sent to the PDO any more.
bool HoldsPhysicalDevice(DeviceNode *node);
// True while some node's stack was built with the driver. Caller holds the sequence lock.
bool DriverInUse(PDRIVER_OBJECT driver);

// Runs 'body' in a thread of the PnP manager, holding the PnP manager's lock, and waits for it.
void RunSequence(const std::function<void()> &body);
// The same, from inside a sequence thread of its own making (the removal after the last close).
void AcquireSequenceLock();
void ReleaseSequenceLock();

// Builds the stack on the node's physical device object and starts it (pnp_arrival.cpp).
void BuildAndStart(DeviceNode *node, PnpResult *result);
// Sends one minor function to the top of the node's stack and records it.
NTSTATUS SendToStack(DeviceNode *node, UCHAR minor, PnpResult *result);
// IRP_MN_REMOVE_DEVICE to the stack, then the checks and unloads that follow a removal.
void RemoveStack(DeviceNode *node, PnpResult *result);
// The removal of a surprise-removed node (pnp_sequences.cpp).
void RunPendingRemoval(DeviceNode *node);

}  // namespace pnp
}  // namespace sim
