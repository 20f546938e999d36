// The test-only upper filter (see probe_filter.h).
#include "tests/stack/probe_filter.h"

#include "platform/kernel.h"
#include "sim/kernel/include/sim_pnp.h"

#include <atomic>

namespace stack_test {

const char16_t kProbeFilterService[] = u"CardRwStackProbe";

namespace {

struct ProbeExtension {
    PDEVICE_OBJECT Lower;
};

// The gate: Idle -> Armed (test) -> Holding (completing thread) -> Released (test) -> Idle.
enum GateState { GateIdle, GateArmed, GateHolding, GateReleased };
std::atomic<int> g_gate{GateIdle};

// =============================================================================================
// Holding a wait's completion
// =============================================================================================

// Runs in the thread that completes the wait, at PASSIVE_LEVEL here (CardRwCom completes a held
// wait after releasing the cancel spin lock). It waits in virtual time, so the clock moves on
// and every other thread runs as far as it can while the completion is held.
NTSTATUS HoldWaitCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    int armed = GateArmed;
    if (g_gate.compare_exchange_strong(armed, GateHolding)) {
        LARGE_INTEGER step;
        step.QuadPart = -10000;   // 1 ms
        while (g_gate.load() != GateReleased) {
            KeDelayExecutionThread(KernelMode, FALSE, &step);
        }
        g_gate = GateIdle;
    }
    return STATUS_SUCCESS;   // completion goes on
}

// =============================================================================================
// Dispatch: everything goes down
// =============================================================================================

bool IsWaitOnMask(PIO_STACK_LOCATION stack)
{
    return stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK;
}

NTSTATUS ProbeDispatch(PDEVICE_OBJECT device, PIRP Irp)
{
    PDEVICE_OBJECT lower = static_cast<ProbeExtension *>(device->DeviceExtension)->Lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(lower, Irp);
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(lower, Irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    if (IsWaitOnMask(stack)) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, HoldWaitCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(lower, Irp);
}

// The filter looks like the port to the I/O manager: same device type, same transfer method.
NTSTATUS ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ProbeExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    static_cast<ProbeExtension *>(device->DeviceExtension)->Lower = lower;
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = ProbeDispatch;
    }
    driver->DriverExtension->AddDevice = ProbeAddDevice;
    return STATUS_SUCCESS;
}

}  // namespace

void InstallProbeFilter()
{
    g_gate = GateIdle;
    sim::InstallServiceEntry(kProbeFilterService, ProbeEntry);
}

namespace wait_gate {

void Arm()
{
    g_gate = GateArmed;
}

bool Holding()
{
    return g_gate.load() == GateHolding;
}

void Release()
{
    int holding = GateHolding;
    if (!g_gate.compare_exchange_strong(holding, GateReleased)) {
        g_gate = GateIdle;   // nothing was held: just disarm
    }
}

}  // namespace wait_gate

}  // namespace stack_test
