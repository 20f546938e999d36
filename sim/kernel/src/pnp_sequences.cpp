// The PnP manager's sequences on a built stack: rebalance (query-stop, stop, start), the
// cancelled queries, disable (query-remove, remove; vetoed while an application handle is
// open), surprise removal followed by removal once the last handle is closed, and enable.
#include "pnp_node.h"

namespace sim {
namespace pnp {

namespace {

void SetState(DeviceNode *node, DeviceNodeState state) {
    std::lock_guard<std::mutex> guard(NodeLock());
    node->state = state;
}

bool HasStack(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(NodeLock());
    switch (node->state) {
    case DeviceNodeState::Initialized:
    case DeviceNodeState::Started:
    case DeviceNodeState::QueryStopped:
    case DeviceNodeState::Stopped:
    case DeviceNodeState::QueryRemoved:
        return true;
    default:
        return false;
    }
}

// Windows refuses a removal while applications hold handles, before any request goes out.
bool VetoedByOpenHandles(DeviceNode *node, PnpResult *result) {
    std::lock_guard<std::mutex> guard(NodeLock());
    if (node->openHandles == 0) return false;
    result->vetoed = true;
    result->status = STATUS_ACCESS_DENIED;
    return true;
}

// Query-remove, then remove or (when refused) cancel-remove.
void QueryAndRemove(DeviceNode *node, PnpResult *result) {
    DeviceNodeState before = StateOf(node);
    NTSTATUS status = SendToStack(node, IRP_MN_QUERY_REMOVE_DEVICE, result);
    if (!NT_SUCCESS(status)) {
        SendToStack(node, IRP_MN_CANCEL_REMOVE_DEVICE, result);
        result->status = status;
        return;
    }
    SetState(node, DeviceNodeState::QueryRemoved);
    RemoveStack(node, result);
    SetState(node, DeviceNodeState::Removed);
    result->status = STATUS_SUCCESS;
    (void)before;
}

}  // namespace

// The removal that follows a surprise removal, run once the last handle is closed.
void RunPendingRemoval(DeviceNode *node) {
    AcquireSequenceLock();
    PnpResult result;
    RemoveStack(node, &result);
    {
        std::lock_guard<std::mutex> guard(NodeLock());
        node->state = DeviceNodeState::Removed;
        node->removalResult = result;
    }
    KeSetEvent(&node->removalDone, IO_NO_INCREMENT, FALSE);
    ReleaseSequenceLock();
}

}  // namespace pnp

// =====================================================================================
// Control interface
// =====================================================================================
PnpResult StopAndRestart(DeviceNode *node) {
    PnpResult result;
    pnp::RunSequence([&] {
        if (!pnp::HasStack(node)) {
            result.status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        NTSTATUS status = pnp::SendToStack(node, IRP_MN_QUERY_STOP_DEVICE, &result);
        if (!NT_SUCCESS(status)) {
            pnp::SendToStack(node, IRP_MN_CANCEL_STOP_DEVICE, &result);
            result.status = status;
            return;
        }
        pnp::SetState(node, DeviceNodeState::QueryStopped);
        pnp::SendToStack(node, IRP_MN_STOP_DEVICE, &result);
        pnp::SetState(node, DeviceNodeState::Stopped);
        status = pnp::SendToStack(node, IRP_MN_START_DEVICE, &result);
        if (NT_SUCCESS(status)) {
            pnp::SetState(node, DeviceNodeState::Started);
        } else {
            pnp::SetState(node, DeviceNodeState::StartFailed);
            pnp::RemoveStack(node, &result);
        }
        result.status = status;
    });
    return result;
}

PnpResult QueryStopThenCancel(DeviceNode *node) {
    PnpResult result;
    pnp::RunSequence([&] {
        if (!pnp::HasStack(node)) {
            result.status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        result.status = pnp::SendToStack(node, IRP_MN_QUERY_STOP_DEVICE, &result);
        pnp::SendToStack(node, IRP_MN_CANCEL_STOP_DEVICE, &result);
    });
    return result;
}

PnpResult QueryRemoveThenCancel(DeviceNode *node) {
    PnpResult result;
    pnp::RunSequence([&] {
        if (!pnp::HasStack(node)) {
            result.status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        if (pnp::VetoedByOpenHandles(node, &result)) return;
        result.status = pnp::SendToStack(node, IRP_MN_QUERY_REMOVE_DEVICE, &result);
        pnp::SendToStack(node, IRP_MN_CANCEL_REMOVE_DEVICE, &result);
    });
    return result;
}

PnpResult Disable(DeviceNode *node) {
    PnpResult result;
    pnp::RunSequence([&] {
        if (!pnp::HasStack(node)) {
            result.status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        if (pnp::VetoedByOpenHandles(node, &result)) return;
        pnp::QueryAndRemove(node, &result);
    });
    return result;
}

// The physical device object stays the bus driver's: it sees IRP_MN_REMOVE_DEVICE after its
// device was reported gone, and deletes it then. A report about a device whose PDO is gone
// already changes nothing.
PnpResult SurpriseRemove(DeviceNode *node) {
    PnpResult result;
    pnp::RunSequence([&] {
        {
            std::lock_guard<std::mutex> guard(pnp::NodeLock());
            if (!node->pdoReferenced) {
                result.status = STATUS_NO_SUCH_DEVICE;
                return;
            }
            node->present = false;
            node->surpriseRemovalStarted = true;
        }
        if (!pnp::HasStack(node)) {
            // Disabled or failed: nothing above the physical device object is left.
            pnp::SendToStack(node, IRP_MN_REMOVE_DEVICE, &result);
            pnp::SetState(node, DeviceNodeState::Removed);
            {
                std::lock_guard<std::mutex> guard(pnp::NodeLock());
                node->removalResult = result;
            }
            pnp::ReleasePhysicalDeviceIfDeleted(node);
            KeSetEvent(&node->removalDone, IO_NO_INCREMENT, FALSE);
            return;
        }
        pnp::SetState(node, DeviceNodeState::SurpriseRemoved);
        result.status = pnp::SendToStack(node, IRP_MN_SURPRISE_REMOVAL, &result);
        bool removeNow;
        {
            std::lock_guard<std::mutex> guard(pnp::NodeLock());
            node->surpriseRemovalDone = true;
            removeNow = node->openHandles == 0;
            node->removalPending = !removeNow;
        }
        if (!removeNow) return;
        PnpResult removal;
        pnp::RemoveStack(node, &removal);
        result.steps.insert(result.steps.end(), removal.steps.begin(), removal.steps.end());
        {
            std::lock_guard<std::mutex> guard(pnp::NodeLock());
            node->state = DeviceNodeState::Removed;
            node->removalResult = removal;
        }
        KeSetEvent(&node->removalDone, IO_NO_INCREMENT, FALSE);
    });
    return result;
}

// Returns at once for a node that was never surprise-removed.
PnpResult WaitForRemoval(DeviceNode *node) {
    bool started;
    {
        std::lock_guard<std::mutex> guard(pnp::NodeLock());
        started = node->surpriseRemovalStarted;
    }
    if (started) KeWaitForSingleObject(&node->removalDone, Executive, KernelMode, FALSE, nullptr);
    Thread finished;
    {
        std::lock_guard<std::mutex> guard(pnp::NodeLock());
        finished = std::move(node->removalThread);
    }
    if (finished.Joinable()) finished.Join();
    std::lock_guard<std::mutex> guard(pnp::NodeLock());
    return node->removalResult;
}

PnpResult Enable(DeviceNode *node) {
    PnpResult result;
    pnp::RunSequence([&] {
        DeviceNodeState state = StateOf(node);
        bool present;
        {
            std::lock_guard<std::mutex> guard(pnp::NodeLock());
            present = node->present;
        }
        if (!present || (state != DeviceNodeState::Removed && state != DeviceNodeState::StartFailed)) {
            result.status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        pnp::SetState(node, DeviceNodeState::Initialized);
        pnp::BuildAndStart(node, &result);
    });
    return result;
}

// The end of a test: every device with a stack is removed (query-remove and remove, or surprise
// removal and remove when the query is refused), then the nodes, their registry entries, their
// COM names and their interface registrations are forgotten, and their PDOs released.
void RemoveAllDevices() {
    for (DeviceNode *node : DeviceNodes()) {
        WaitForRemoval(node);
        if (!pnp::HasStack(node)) continue;
        PnpResult result;
        pnp::RunSequence([&] {
            NTSTATUS status = pnp::SendToStack(node, IRP_MN_QUERY_REMOVE_DEVICE, &result);
            if (!NT_SUCCESS(status)) {
                pnp::SendToStack(node, IRP_MN_CANCEL_REMOVE_DEVICE, &result);
                pnp::SendToStack(node, IRP_MN_SURPRISE_REMOVAL, &result);
            }
            pnp::RemoveStack(node, &result);
            pnp::SetState(node, DeviceNodeState::Removed);
        });
    }
    std::vector<DeviceNode *> nodes;
    {
        std::lock_guard<std::mutex> guard(pnp::NodeLock());
        nodes.swap(pnp::NodesLocked());
    }
    for (DeviceNode *node : nodes) {
        RegistryDeleteTree(std::u16string(pnp::kEnumRoot) + u"\\" + node->instancePath);
        RegistryDeleteTree(DriverKeyOf(node));
        pnp::ForgetInterfacesOf(node->instancePath);
        pnp::ReleasePhysicalDevice(node);
        delete node;
    }
}

}  // namespace sim
