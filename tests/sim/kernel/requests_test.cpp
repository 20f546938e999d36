// The completion contract of IoCallDriver and IoCompleteRequest: stack locations, completion
// routines bottom-up with their invoke flags, STATUS_MORE_PROCESSING_REQUIRED, PendingReturned.
#include "test_stack.h"

#include <string>
#include <vector>

namespace {

using RequestsTest = sim::KernelTest;

TEST_F(RequestsTest, AttachingGivesEachUpperDeviceOneMoreStackLocation) {
    kt::Stack stack(3);
    EXPECT_EQ(stack.Device(0)->StackSize, 1);
    EXPECT_EQ(stack.Device(1)->StackSize, 2);
    EXPECT_EQ(stack.Device(2)->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(stack.Device(0)), stack.Top());
    EXPECT_EQ(stack.Device(0)->AttachedDevice, stack.Device(1));
}

TEST_F(RequestsTest, EachDriverSeesItsOwnStackLocation) {
    kt::Stack stack(2);
    std::vector<PDEVICE_OBJECT> seen;
    stack.On(1, [&](PDEVICE_OBJECT device, PIRP irp) {
        seen.push_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
        EXPECT_EQ(irp->CurrentLocation, 2);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = (PVOID)0x1234;
        return IoCallDriver(kt::BehaviourOf(device).lower, irp);
    });
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        seen.push_back(location->DeviceObject);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.Others.Argument1, (PVOID)0x1234);
        EXPECT_EQ(irp->CurrentLocation, 1);
        return kt::Complete(irp, STATUS_SUCCESS);
    });
    kt::OwnRequest request(stack.Top(), IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<PDEVICE_OBJECT>{stack.Device(1), stack.Device(0)}));
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.routineDevice, nullptr);  // the allocator's routine runs without a device
}

// Levels 1 and 2 each set a completion routine; one of them may stop completion. The stopper
// later resumes completion with IoCompleteRequest, as a driver that finished its own work does.
struct StopCase {
    const char *name;
    int stopAt;  // level whose routine returns STATUS_MORE_PROCESSING_REQUIRED, 0 for none
    std::vector<std::string> beforeResume;
};

class CompletionOrderTest : public sim::KernelTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CompletionOrderTest, RunsRoutinesBottomUpAndStopsWhereAsked) {
    const StopCase &c = GetParam();
    kt::Stack stack(3);
    std::vector<std::string> order;
    kt::CompletionFn routines[3];
    PIRP stopped = nullptr;
    for (int level = 1; level <= 2; level++) {
        routines[level] = [&, level](PDEVICE_OBJECT device, PIRP irp) {
            order.push_back("level" + std::to_string(level));
            EXPECT_EQ(device, stack.Device(level));
            if (level == c.stopAt) {
                stopped = irp;
                return STATUS_MORE_PROCESSING_REQUIRED;
            }
            return STATUS_SUCCESS;
        };
        stack.On(level, [&, level](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, kt::CompletionThunk, &routines[level], TRUE, TRUE, TRUE);
            return IoCallDriver(kt::BehaviourOf(device).lower, irp);
        });
    }
    kt::OwnRequest request(stack.Top(), IRP_MJ_READ);
    IoCallDriver(stack.Top(), request.irp);
    EXPECT_EQ(order, c.beforeResume);
    EXPECT_EQ(request.Completed(), c.stopAt == 0);
    if (stopped != nullptr) {
        order.clear();
        IoCompleteRequest(stopped, IO_NO_INCREMENT);
        std::vector<std::string> rest;
        for (int level = c.stopAt + 1; level <= 2; level++) rest.push_back("level" + std::to_string(level));
        EXPECT_EQ(order, rest);
        EXPECT_TRUE(request.Completed());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CompletionOrderTest,
                         ::testing::Values(StopCase{"NoStop", 0, {"level1", "level2"}},
                                           StopCase{"StopAtLowest", 1, {"level1"}},
                                           StopCase{"StopAtUpper", 2, {"level1", "level2"}}),
                         [](const ::testing::TestParamInfo<StopCase> &info) { return std::string(info.param.name); });

// Level 1's routine asks for some of success, error, cancel; level 0 completes with a status,
// possibly after the request was cancelled.
struct InvokeCase {
    const char *name;
    NTSTATUS status;
    bool cancelled;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

class InvokeFlagsTest : public sim::KernelTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeFlagsTest, RoutineRunsOnlyForTheOutcomesItAskedFor) {
    const InvokeCase &c = GetParam();
    kt::Stack stack(2);
    bool invoked = false;
    kt::CompletionFn routine = [&](PDEVICE_OBJECT, PIRP) {
        invoked = true;
        return STATUS_SUCCESS;
    };
    stack.On(1, [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, kt::CompletionThunk, &routine, c.onSuccess, c.onError, c.onCancel);
        return IoCallDriver(kt::BehaviourOf(device).lower, irp);
    });
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = c.cancelled;
        return kt::Complete(irp, c.status);
    });
    kt::OwnRequest request(stack.Top(), IRP_MJ_WRITE);
    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), c.status);
    EXPECT_EQ(invoked, c.invoked);
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.irp->IoStatus.Status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InvokeFlagsTest,
    ::testing::Values(InvokeCase{"SuccessWanted", STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{"SuccessNotWanted", STATUS_SUCCESS, false, false, true, true, false},
                      InvokeCase{"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvokeCase{"ErrorNotWanted", STATUS_IO_DEVICE_ERROR, false, true, false, false, false},
                      InvokeCase{"ErrorWanted", STATUS_IO_DEVICE_ERROR, false, false, true, false, true},
                      InvokeCase{"CancelWanted", STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{"CancelNotWanted", STATUS_CANCELLED, true, true, false, false, false}),
    [](const ::testing::TestParamInfo<InvokeCase> &info) { return std::string(info.param.name); });

// Level 0 completes at once, or marks pending and is completed later by the test; level 1
// forwards with a completion routine, or skips its location; the lower device may be forced
// to pend by the verifier.
struct PendingCase {
    const char *name;
    bool lowerPends;
    bool middleSkips;
    bool forced;
};

class PendingReturnedTest : public sim::KernelTest, public ::testing::WithParamInterface<PendingCase> {};

TEST_P(PendingReturnedTest, ReachesEveryRoutineAboveAPendingLocation) {
    const PendingCase &c = GetParam();
    kt::Stack stack(2);
    PIRP held = nullptr;
    bool middleSaw = false;
    kt::CompletionFn middle = [&](PDEVICE_OBJECT, PIRP irp) {
        middleSaw = irp->PendingReturned;
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    stack.On(1, [&](PDEVICE_OBJECT device, PIRP irp) {
        if (c.middleSkips) {
            IoSkipCurrentIrpStackLocation(irp);
        } else {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, kt::CompletionThunk, &middle, TRUE, TRUE, TRUE);
        }
        return IoCallDriver(kt::BehaviourOf(device).lower, irp);
    });
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        if (!c.lowerPends) return kt::Complete(irp, STATUS_SUCCESS, 5);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    sim::ForcePending(stack.Device(0), c.forced);
    bool pending = c.lowerPends || c.forced;
    kt::OwnRequest request(stack.Top(), IRP_MJ_READ);
    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), pending ? STATUS_PENDING : STATUS_SUCCESS);
    if (c.lowerPends) {
        EXPECT_FALSE(request.Completed());
        kt::Complete(held, STATUS_SUCCESS, 5);
    }
    request.Wait();
    EXPECT_EQ(request.pendingReturned, pending);
    if (!c.middleSkips) {
        EXPECT_EQ(middleSaw, pending);
    }
    EXPECT_EQ(request.irp->IoStatus.Information, 5u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PendingReturnedTest,
                         ::testing::Values(PendingCase{"Synchronous", false, false, false},
                                           PendingCase{"LowerPends", true, false, false},
                                           PendingCase{"LowerPendsBelowSkippedLocation", true, true, false},
                                           PendingCase{"SynchronousSkipped", false, true, false},
                                           PendingCase{"ForcedPending", false, false, true},
                                           PendingCase{"ForcedPendingBelowSkippedLocation", false, true, true}),
                         [](const ::testing::TestParamInfo<PendingCase> &info) { return std::string(info.param.name); });

TEST_F(RequestsTest, UnhandledMajorFunctionIsRefusedByTheIoManager) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Bare", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    {
        kt::OwnRequest request(device, IRP_MJ_FLUSH_BUFFERS);
        EXPECT_EQ(IoCallDriver(device, request.irp), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(request.irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    }
    IoDeleteDevice(device);
    sim::UnloadDriver(driver);
}

TEST_F(RequestsTest, ReusedRequestTravelsAgain) {
    kt::Stack stack(1);
    int calls = 0;
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) { return kt::Complete(irp, STATUS_SUCCESS, ++calls); });
    kt::OwnRequest request(stack.Top(), IRP_MJ_READ);
    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), STATUS_SUCCESS);
    IoReuseIrp(request.irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(request.irp->CurrentLocation, request.irp->StackCount + 1);
    IoGetNextIrpStackLocation(request.irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(request.irp, kt::CompletionThunk, &request.routine, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), STATUS_SUCCESS);
    EXPECT_EQ(request.irp->IoStatus.Information, 2u);
}

}  // namespace
