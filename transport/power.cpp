// CardRwUsb: power management. The transport is the power policy owner of the device stack:
// it maps system power changes onto device power states, records the device state as device
// power requests pass, handles wait-wake, and powers the device down to IdlePowerLevel while
// no pipe is open. Power requests arrive at PASSIVE_LEVEL (DO_POWER_PAGABLE); the completion
// routine and the two completion functions run at up to DISPATCH_LEVEL and only set fields,
// signal PowerUpEvent, pass the held request down and release references.
#include "transport/transport.h"

// =============================================================================================
// Helpers
// =============================================================================================

static BOOLEAN IdleLevelLetsPolicyAct(LONG level)
{
    return (level == PowerDeviceD1 || level == PowerDeviceD2 || level == PowerDeviceD3) ? TRUE : FALSE;
}

// Passes a power request down unchanged and drops the dispatch's reference.
static NTSTATUS PassPowerDown(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(ext->LowerDevice, Irp);
    IoCountRelease(ext);
    return status;
}

static NTSTATUS CompletePower(PIRP Irp, NTSTATUS status)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Records a power-down as it passes; a power-up to D0 is recorded on its way back.
static BOOLEAN NoteDevicePower(TRANSPORT_EXTENSION* ext, DEVICE_POWER_STATE state)
{
    if (state == PowerDeviceD0) {
        return TRUE;
    }
    if (state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3) {
        InterlockedExchange(&ext->CurrentDevicePower, state);
    }
    return FALSE;
}

// =============================================================================================
// Device power requests the driver issues
// =============================================================================================

static void DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                   POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(IoStatus);
    TRANSPORT_EXTENSION* ext = static_cast<TRANSPORT_EXTENSION*>(Context);
    if (PowerState.DeviceState == PowerDeviceD0 ||
        PowerState.DeviceState < ReadLong(&ext->IdlePowerLevel)) {
        KeSetEvent(&ext->PowerUpEvent, IO_NO_INCREMENT, FALSE);
    }
    IoCountRelease(ext);
}

// Issues a device set-power request for State. A power-up waits until the request is done; a
// power-down does not. When the request cannot be issued nothing stays behind: the flag is
// cleared and the reference released.
NTSTATUS RequestDevicePower(TRANSPORT_EXTENSION* ext, DEVICE_POWER_STATE State)
{
    if (ReadLong(&ext->CurrentDevicePower) == State) {
        return STATUS_SUCCESS;
    }
    BOOLEAN raises = (State == PowerDeviceD0 || State < ReadLong(&ext->IdlePowerLevel)) ? TRUE : FALSE;
    IoCountAcquire(ext);   // released by DevicePowerRequestDone
    FlagSet(&ext->PowerRequestActive);
    if (raises) {
        KeClearEvent(&ext->PowerUpEvent);
    }

    POWER_STATE power;
    power.DeviceState = State;
    NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, power,
                                        DevicePowerRequestDone, ext, nullptr);
    if (status != STATUS_PENDING) {
        FlagClear(&ext->PowerRequestActive);
        IoCountRelease(ext);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    if (raises) {
        KeWaitForSingleObject(&ext->PowerUpEvent, Executive, KernelMode, FALSE, nullptr);
    }
    FlagClear(&ext->PowerRequestActive);
    return STATUS_SUCCESS;
}

NTSTATUS IdlePowerPolicy(TRANSPORT_EXTENSION* ext, BOOLEAN PowerDown)
{
    if (!CanAcceptRequests(ext)) {
        return STATUS_DELETE_PENDING;
    }
    LONG level = ReadLong(&ext->IdlePowerLevel);
    LONG openPipes = ReadLong(&ext->OpenPipeCount);
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PendingSystemPowerIrp),
                                          nullptr, nullptr) != nullptr ||
        FlagIsSet(&ext->PowerRequestActive) ||
        (PowerDown && openPipes != 0) || (!PowerDown && openPipes == 0) ||
        !IdleLevelLetsPolicyAct(level)) {
        return STATUS_SUCCESS;
    }
    return RequestDevicePower(ext, PowerDown ? static_cast<DEVICE_POWER_STATE>(level) : PowerDeviceD0);
}

// =============================================================================================
// System set-power
// =============================================================================================

// Passes the held system request down once the device request it caused is done.
static void SystemPowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                   POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    TRANSPORT_EXTENSION* ext = static_cast<TRANSPORT_EXTENSION*>(Context);
    PIRP held = static_cast<PIRP>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&ext->PendingSystemPowerIrp), nullptr));
    if (held != nullptr) {
        IoCopyCurrentIrpStackLocationToNext(held);
        PoStartNextPowerIrp(held);
        PoCallDriver(ext->LowerDevice, held);
    }
    IoCountRelease(ext);   // the reference the held request took in DispatchPower
}

static DEVICE_POWER_STATE MapSystemState(TRANSPORT_EXTENSION* ext, SYSTEM_POWER_STATE state)
{
    if (state == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    if (FlagIsSet(&ext->WaitWakeActive) && state > PowerSystemUnspecified && state < PowerSystemMaximum) {
        return ext->Capabilities.DeviceState[state];
    }
    return PowerDeviceD3;
}

// Holds the system request while the device goes to the mapped state. If that device request
// cannot be issued, the system request is not held: it goes down unchanged at once.
static NTSTATUS SystemSetPower(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE mapped = MapSystemState(ext, system);
    if (mapped == ReadLong(&ext->CurrentDevicePower)) {
        return PassPowerDown(ext, Irp);
    }

    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PendingSystemPowerIrp), Irp);
    IoMarkIrpPending(Irp);
    POWER_STATE power;
    power.DeviceState = mapped;
    NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, power,
                                        SystemPowerRequestDone, ext, nullptr);
    if (status != STATUS_PENDING) {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PendingSystemPowerIrp), nullptr);
        PassPowerDown(ext, Irp);
    }
    return STATUS_PENDING;
}

// =============================================================================================
// Device set-power
// =============================================================================================

// A power-up reaches its originator as a success whatever the lower drivers reported, and the
// device is recorded in D0.
static NTSTATUS PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    TRANSPORT_EXTENSION* ext = static_cast<TRANSPORT_EXTENSION*>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    InterlockedExchange(&ext->CurrentDevicePower, PowerDeviceD0);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCountRelease(ext);
    return STATUS_SUCCESS;
}

static NTSTATUS DeviceSetPower(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    BOOLEAN powerUp = NoteDevicePower(ext, state);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (powerUp) {
        IoSetCompletionRoutine(Irp, PowerUpCompletion, ext, TRUE, TRUE, TRUE);
    }
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(ext->LowerDevice, Irp);
    if (!powerUp) {
        IoCountRelease(ext);
    }
    return status;
}

// =============================================================================================
// Wait-wake
// =============================================================================================

static NTSTATUS WaitWake(TRANSPORT_EXTENSION* ext, PIRP Irp)
{
    LONG wake = ext->Capabilities.DeviceWake;
    InterlockedExchange(&ext->IdlePowerLevel, wake);
    LONG current = ReadLong(&ext->CurrentDevicePower);
    if (current == PowerDeviceD0 || wake > current) {
        CompletePower(Irp, STATUS_INVALID_DEVICE_STATE);
        IoCountRelease(ext);
        return STATUS_INVALID_DEVICE_STATE;
    }

    FlagSet(&ext->WaitWakeActive);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(ext->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    status = Irp->IoStatus.Status;

    IdlePowerPolicy(ext, FALSE);
    FlagClear(&ext->WaitWakeActive);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoCountRelease(ext);
    return status;
}

// =============================================================================================
// Dispatch
// =============================================================================================

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TRANSPORT_EXTENSION* ext = TransportExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IoCountAcquire(ext);

    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return WaitWake(ext, Irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) {
            return SystemSetPower(ext, Irp);
        }
        return DeviceSetPower(ext, Irp);
    default:
        return PassPowerDown(ext, Irp);
    }
}
