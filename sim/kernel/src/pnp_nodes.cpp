// The PnP manager's device nodes: the node list, the PnP manager's thread and lock, the node
// accessors of the control interface, and the application-handle count of each node.
#include "pnp_node.h"

namespace sim {
namespace pnp {

// =====================================================================================
// Node list
// =====================================================================================
std::mutex &NodeLock() {
    static std::mutex *lock = new std::mutex;
    return *lock;
}

std::vector<DeviceNode *> &NodesLocked() {
    static std::vector<DeviceNode *> *nodes = new std::vector<DeviceNode *>;
    return *nodes;
}

DeviceNode *NodeOfDevice(PDEVICE_OBJECT device) {
    if (device == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(NodeLock());
    for (DeviceNode *node : NodesLocked()) {
        if (!node->pdoReferenced) continue;  // its PDO is gone: the address may be another's now
        if (node->pdo == device) return node;
        if (node->state == DeviceNodeState::Removed || node->state == DeviceNodeState::StartFailed) continue;
        for (PDEVICE_OBJECT above = node->pdo->AttachedDevice; above != nullptr; above = above->AttachedDevice)
            if (above == device) return node;
    }
    return nullptr;
}

// =====================================================================================
// References on physical device objects, drivers in use
// =====================================================================================
// Windows references the PDOs a bus reports in its relations and keeps them while the device
// node exists; the bus driver deletes a PDO at its removal, and the memory stays until then.
void ReferencePhysicalDevice(DeviceNode *node) {
    ObfReferenceObject(node->pdo);
    std::lock_guard<std::mutex> guard(NodeLock());
    node->pdoReferenced = true;
}

void ReleasePhysicalDeviceIfDeleted(DeviceNode *node) {
    if (HoldsPhysicalDevice(node) && IsDeviceDeleted(node->pdo)) ReleasePhysicalDevice(node);
}

bool HoldsPhysicalDevice(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(NodeLock());
    return node->pdoReferenced;
}

void ReleasePhysicalDevice(DeviceNode *node) {
    bool release;
    {
        std::lock_guard<std::mutex> guard(NodeLock());
        release = node->pdoReferenced;
        node->pdoReferenced = false;
    }
    if (release) ObfDereferenceObject(node->pdo);
}

bool DriverInUse(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(NodeLock());
    for (DeviceNode *node : NodesLocked())
        for (PDRIVER_OBJECT used : node->drivers)
            if (used == driver) return true;
    return false;
}

// =====================================================================================
// The PnP manager's thread and lock
// =====================================================================================
namespace {

KEVENT &SequenceEvent() {
    static KEVENT *event = [] {
        auto *created = new KEVENT;
        KeInitializeEvent(created, SynchronizationEvent, TRUE);
        return created;
    }();
    return *event;
}

}  // namespace

void AcquireSequenceLock() { KeWaitForSingleObject(&SequenceEvent(), Executive, KernelMode, FALSE, nullptr); }

void ReleaseSequenceLock() { KeSetEvent(&SequenceEvent(), IO_NO_INCREMENT, FALSE); }

// PnP requests go out at PASSIVE_LEVEL in a system thread, one sequence at a time.
void RunSequence(const std::function<void()> &body) {
    Thread worker = StartThread([&body] {
        AcquireSequenceLock();
        body();
        ReleaseSequenceLock();
    });
    worker.Join();
}

// =====================================================================================
// Application handles
// =====================================================================================
void NoteHandleOpened(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(NodeLock());
    node->openHandles++;
}

// The close of the last handle lets a removal waiting after surprise removal go ahead, in a
// thread of the PnP manager.
void NoteHandleClosed(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(NodeLock());
    if (node->openHandles > 0) node->openHandles--;
    if (node->openHandles != 0 || !node->removalPending || node->removalRunning) return;
    node->removalPending = false;
    node->removalRunning = true;
    node->removalThread = StartThread([node] { RunPendingRemoval(node); });
}

bool RefusesCreate(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(NodeLock());
    switch (node->state) {
    case DeviceNodeState::Started:
    case DeviceNodeState::QueryStopped:
    case DeviceNodeState::Stopped:
        return false;
    default:
        return true;
    }
}

}  // namespace pnp

// =====================================================================================
// Control interface
// =====================================================================================
NTSTATUS PnpResult::StatusOf(UCHAR minorFunction) const {
    for (const PnpStep &step : steps)
        if (step.minorFunction == minorFunction) return step.status;
    return STATUS_NOT_FOUND;
}

DeviceNodeState StateOf(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(pnp::NodeLock());
    return node->state;
}

PDEVICE_OBJECT PhysicalDeviceOf(DeviceNode *node) { return node->pdo; }

PDEVICE_OBJECT StackTopOf(DeviceNode *node) { return IoGetAttachedDevice(node->pdo); }

std::u16string InstancePathOf(DeviceNode *node) { return node->instancePath; }

std::u16string HardwareKeyOf(DeviceNode *node) {
    return std::u16string(pnp::kEnumRoot) + u"\\" + node->instancePath + u"\\Device Parameters";
}

std::u16string DriverKeyOf(DeviceNode *node) { return std::u16string(pnp::kClassRoot) + u"\\" + node->driverKey; }

DEVICE_CAPABILITIES CapabilitiesOf(DeviceNode *node) { return node->capabilities; }

DeviceNode *NodeOfPhysicalDevice(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(pnp::NodeLock());
    for (DeviceNode *node : pnp::NodesLocked())
        if (node->pdo == pdo && node->present && node->pdoReferenced) return node;
    return nullptr;
}

std::vector<DeviceNode *> DeviceNodes() {
    std::lock_guard<std::mutex> guard(pnp::NodeLock());
    return pnp::NodesLocked();
}

ULONG OpenHandleCount(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(pnp::NodeLock());
    return node->openHandles;
}

}  // namespace sim
