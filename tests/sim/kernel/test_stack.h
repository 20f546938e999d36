// Small in-process test drivers for the kernel contract tests: a stack of devices, one driver
// per level, whose dispatch behaviour each test supplies as a function.
#pragma once

#include "sim/kernel/include/sim_gtest.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kt {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

// The device extension of every test device points to its behaviour.
struct Behaviour {
    Handler dispatch;
    PDEVICE_OBJECT lower = nullptr;
};

inline Behaviour &BehaviourOf(PDEVICE_OBJECT device) { return **(Behaviour **)device->DeviceExtension; }

inline NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp) { return BehaviourOf(device).dispatch(device, irp); }

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = TestDispatch;
    return STATUS_SUCCESS;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completion routine whose behaviour is a function; the context points to it.
using CompletionFn = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;
inline NTSTATUS CompletionThunk(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return (*(CompletionFn *)context)(device, irp);
}

// A device stack, level 0 at the bottom; each level has its own driver named
// \Driver\Level<n>. The destructor tears it down as the PnP manager would and unloads the
// drivers, so the verifier reports anything a test driver leaked.
class Stack {
public:
    explicit Stack(int levels) {
        for (int level = 0; level < levels; level++) {
            std::u16string name = u"\\Driver\\Level" + std::u16string(1, (char16_t)(u'0' + level));
            PDRIVER_OBJECT driver = sim::CreateDriver(name, TestDriverEntry);
            PDEVICE_OBJECT device = nullptr;
            IoCreateDevice(driver, sizeof(Behaviour *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            behaviours_.push_back(std::make_unique<Behaviour>());
            *(Behaviour **)device->DeviceExtension = behaviours_.back().get();
            if (level > 0) behaviours_.back()->lower = IoAttachDeviceToDeviceStack(device, devices_.back());
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            behaviours_.back()->dispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
            drivers_.push_back(driver);
            devices_.push_back(device);
        }
    }
    ~Stack() {
        for (size_t level = devices_.size(); level-- > 0;) {
            if (behaviours_[level]->lower != nullptr) IoDetachDevice(behaviours_[level]->lower);
            IoDeleteDevice(devices_[level]);
            sim::UnloadDriver(drivers_[level]);
        }
    }
    PDEVICE_OBJECT Device(int level) const { return devices_[level]; }
    PDRIVER_OBJECT Driver(int level) const { return drivers_[level]; }
    PDEVICE_OBJECT Top() const { return devices_.back(); }
    void On(int level, Handler handler) { behaviours_[level]->dispatch = std::move(handler); }

private:
    std::vector<PDRIVER_OBJECT> drivers_;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<std::unique_ptr<Behaviour>> behaviours_;
};

// A request as a driver would originate it: IoAllocateIrp, its own completion routine in the
// top location that keeps the request (STATUS_MORE_PROCESSING_REQUIRED), signals 'done' and
// records what it saw. The destructor frees the request.
struct OwnRequest {
    PIRP irp = nullptr;
    KEVENT done;
    bool pendingReturned = false;
    PDEVICE_OBJECT routineDevice = reinterpret_cast<PDEVICE_OBJECT>(1);
    CompletionFn routine;

    OwnRequest(PDEVICE_OBJECT target, UCHAR major, CCHAR extraLocations = 0) {
        irp = IoAllocateIrp((CCHAR)(target->StackSize + extraLocations), FALSE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        routine = [this](PDEVICE_OBJECT device, PIRP request) {
            pendingReturned = request->PendingReturned;
            routineDevice = device;
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        };
        IoSetCompletionRoutine(irp, CompletionThunk, &routine, TRUE, TRUE, TRUE);
    }
    ~OwnRequest() {
        if (irp != nullptr) IoFreeIrp(irp);
    }
    bool Completed() { return KeReadStateEvent(&done) != 0; }
    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
};

inline LARGE_INTEGER Relative(int64_t milliseconds) {
    LARGE_INTEGER value;
    value.QuadPart = -milliseconds * 10000;
    return value;
}

}  // namespace kt
