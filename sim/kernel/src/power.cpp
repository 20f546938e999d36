// The power manager: system sleep and wake delivered to every started stack, device power
// requests issued for drivers (PoRequestPowerIrp), and the power states drivers report.
#include "pnp_node.h"

#include <map>

namespace sim {
namespace pnp {

// =====================================================================================
// Reported power states
// =====================================================================================
namespace {

struct ReportedStates {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, std::pair<POWER_STATE, POWER_STATE>> states;  // system, device
    SYSTEM_POWER_STATE system = PowerSystemWorking;
};

ReportedStates &Reported() {
    static ReportedStates *reported = new ReportedStates;
    return *reported;
}

// =====================================================================================
// Requests issued for drivers
// =====================================================================================
struct PowerRequest {
    PDEVICE_OBJECT target;  // the device the requester named (its physical device object)
    PDEVICE_OBJECT top;     // the stack's top, referenced while the request is out
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    PDRIVER_OBJECT requester;
};

// Calls the requester's completion function with the final status, then frees the request.
NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *request = static_cast<PowerRequest *>(context);
    if (request->completion != nullptr) {
        DriverCall call(request->requester, "power completion function", reinterpret_cast<const void *>(request->completion));
        request->completion(request->target, request->minor, request->state, request->context, &irp->IoStatus);
    }
    IoFreeIrp(irp);
    ObfDereferenceObject(request->top);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// =====================================================================================
// System transitions
// =====================================================================================
std::vector<DeviceNode *> StartedNodes() {
    std::vector<DeviceNode *> started;
    std::lock_guard<std::mutex> guard(NodeLock());
    for (DeviceNode *node : NodesLocked())
        if (node->state == DeviceNodeState::Started) started.push_back(node);
    return started;
}

NTSTATUS SendSystemPower(DeviceNode *node, UCHAR minor, SYSTEM_POWER_STATE state, PowerResult *result) {
    POWER_STATE power;
    power.SystemState = state;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
    SentRequest answer = SendPowerRequest(top, minor, SystemPowerState, power);
    ObfDereferenceObject(top);
    result->steps.push_back(PnpStep{minor, answer.status});
    return answer.status;
}

}  // namespace

// The states reported for the devices of a stack that is being removed.
void ForgetPowerStates(PDEVICE_OBJECT pdo) {
    ReportedStates &reported = Reported();
    std::lock_guard<std::mutex> guard(reported.lock);
    for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) reported.states.erase(device);
}

}  // namespace pnp

// =====================================================================================
// Control interface
// =====================================================================================
// Children sleep before their parents: the newest stacks first. When a query is refused, the
// stacks that agreed are told the system stays working, and nothing sleeps.
PowerResult SystemSleep(SYSTEM_POWER_STATE state) {
    PowerResult result;
    pnp::RunSequence([&] {
        std::vector<DeviceNode *> nodes = pnp::StartedNodes();
        std::vector<DeviceNode *> agreed;
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
            NTSTATUS status = pnp::SendSystemPower(*it, IRP_MN_QUERY_POWER, state, &result);
            if (!NT_SUCCESS(status)) {
                for (DeviceNode *node : agreed)
                    pnp::SendSystemPower(node, IRP_MN_SET_POWER, pnp::Reported().system, &result);
                result.status = status;
                return;
            }
            agreed.push_back(*it);
        }
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it)
            pnp::SendSystemPower(*it, IRP_MN_SET_POWER, state, &result);
        std::lock_guard<std::mutex> guard(pnp::Reported().lock);
        pnp::Reported().system = state;
    });
    return result;
}

PowerResult SystemWake() {
    PowerResult result;
    pnp::RunSequence([&] {
        for (DeviceNode *node : pnp::StartedNodes())
            pnp::SendSystemPower(node, IRP_MN_SET_POWER, PowerSystemWorking, &result);
        std::lock_guard<std::mutex> guard(pnp::Reported().lock);
        pnp::Reported().system = PowerSystemWorking;
    });
    return result;
}

SYSTEM_POWER_STATE CurrentSystemPowerState() {
    std::lock_guard<std::mutex> guard(pnp::Reported().lock);
    return pnp::Reported().system;
}

POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
    std::lock_guard<std::mutex> guard(pnp::Reported().lock);
    POWER_STATE none;
    none.DeviceState = PowerDeviceUnspecified;
    auto found = pnp::Reported().states.find(device);
    if (found == pnp::Reported().states.end()) return none;
    return type == SystemPowerState ? found->second.first : found->second.second;
}

}  // namespace sim

// =====================================================================================
// Kernel routines
// =====================================================================================
using namespace sim::pnp;

// Sends a device power request (or a wait-wake) to the top of the device's stack from the
// caller's thread; the completion function runs when it completes. Always STATUS_PENDING once
// the request is out.
extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.SystemContext = 0;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        next->Parameters.Power.ShutdownType = PowerActionNone;
    }
    auto *request = new PowerRequest{DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context,
                                     sim::CurrentDriver()};
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IoCallDriver(DeviceObject, Irp); }

// Power requests are not serialised per device since Windows Vista: nothing to release.
extern "C" VOID PoStartNextPowerIrp(PIRP Irp) { (void)Irp; }

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    ReportedStates &reported = Reported();
    std::lock_guard<std::mutex> guard(reported.lock);
    auto &entry = reported.states[DeviceObject];
    POWER_STATE &slot = Type == SystemPowerState ? entry.first : entry.second;
    POWER_STATE previous = slot;
    slot = State;
    return previous;
}
