// The verifier names the faults of driver code: each case provokes one fault in a small test
// driver and expects exactly that report.
#include "test_stack.h"

namespace {

using VerifierTest = sim::KernelTest;

NTSTATUS LeakyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPoolNx, 24, 'kaeL');
    return STATUS_SUCCESS;
}

TEST_F(VerifierTest, PoolLeftAtUnloadIsReportedWithSizeAndTag) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Leaky", LeakyEntry);
    EXPECT_EQ(sim::PoolUsageOf(driver).blocks, 1u);
    sim::VerifierRecorder recorder;
    sim::UnloadDriver(driver);
    ASSERT_EQ(recorder.Failures().size(), 1u);
    EXPECT_EQ(recorder.Count("\\Driver\\Leaky leaks non-paged pool block of 24 bytes, tag 'Leak'"), 1u);
}

TEST_F(VerifierTest, FailedEntryMustLeaveNothingBehind) {
    sim::VerifierRecorder recorder;
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Broken", [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
        PDEVICE_OBJECT device;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        return STATUS_UNSUCCESSFUL;
    }, &status);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(recorder.Count("leaks device object"), 1u);
}

// A driver unloaded with a device object left behind is reported; the device stays usable as
// far as the kernel goes (its driver object is kept), so deleting it later is no fault.
TEST_F(VerifierTest, DeviceLeftAtUnloadIsReportedAndItsDriverObjectKept) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Forgetful", kt::TestDriverEntry);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    {
        sim::VerifierRecorder recorder;
        sim::UnloadDriver(driver);
        EXPECT_EQ(recorder.Count("\\Driver\\Forgetful leaks device object"), 1u);
    }
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(sim::DriverName(driver), "\\Driver\\Forgetful");
    sim::VerifierRecorder recorder;
    IoDeleteDevice(device);
    EXPECT_TRUE(recorder.Failures().empty());
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(VerifierTest, DoubleCompletionIsReported) {
    kt::Stack stack(1);
    stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
        kt::Complete(irp, STATUS_SUCCESS);
        return kt::Complete(irp, STATUS_SUCCESS);
    });
    kt::OwnRequest request(stack.Top(), IRP_MJ_WRITE);
    sim::VerifierRecorder recorder;
    IoCallDriver(stack.Top(), request.irp);
    EXPECT_EQ(recorder.Count("twice"), 1u);
    EXPECT_EQ(recorder.Count("driver \\Driver\\Level0, dispatch IRP_MJ_WRITE"), 1u);
}

TEST_F(VerifierTest, WaitAtDispatchLevelIsReported) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    sim::VerifierRecorder recorder;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);  // polling is allowed
    KeLowerIrql(old);
    EXPECT_EQ(recorder.Failures().size(), 1u);
    EXPECT_EQ(recorder.Count("waits at IRQL 2"), 1u);
}

// Faults of dispatch routines: each handler misbehaves in one way.
struct DispatchFault {
    const char *name;
    kt::Handler handler;
    const char *report;
};

KSPIN_LOCK strayLock = 0;

class DispatchFaultTest : public sim::KernelTest, public ::testing::WithParamInterface<DispatchFault> {};

TEST_P(DispatchFaultTest, IsReportedNamingTheRoutine) {
    const DispatchFault &c = GetParam();
    kt::Stack stack(1);
    stack.On(0, c.handler);
    kt::OwnRequest request(stack.Top(), IRP_MJ_DEVICE_CONTROL);
    sim::VerifierRecorder recorder;
    IoCallDriver(stack.Top(), request.irp);
    if (!request.Completed()) kt::Complete(request.irp, STATUS_SUCCESS);  // as the driver would later
    EXPECT_EQ(recorder.Count(c.report), 1u) << ::testing::PrintToString(recorder.Failures());
    EXPECT_EQ(recorder.Count("dispatch IRP_MJ_DEVICE_CONTROL"), recorder.Failures().size());
    if (!KeTestSpinLock(&strayLock)) {  // left held by the faulty routine
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        KeReleaseSpinLock(&strayLock, irql);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DispatchFaultTest,
    ::testing::Values(
        DispatchFault{"PendingWithoutMark", [](PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; },
                      "returned STATUS_PENDING but the request completed without its location marked pending"},
        DispatchFault{"MarkedButFinalStatus",
                      [](PDEVICE_OBJECT, PIRP irp) {
                          IoMarkIrpPending(irp);
                          kt::Complete(irp, STATUS_SUCCESS);
                          return STATUS_SUCCESS;
                      },
                      "marks the request pending but returns 0x0"},
        DispatchFault{"CompletedWithPendingStatus",
                      [](PDEVICE_OBJECT, PIRP irp) {
                          IoMarkIrpPending(irp);
                          kt::Complete(irp, STATUS_PENDING);
                          return STATUS_PENDING;
                      },
                      "with STATUS_PENDING"},
        DispatchFault{"CompletedWithCancelRoutineSet",
                      [](PDEVICE_OBJECT, PIRP irp) {
                          IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
                          return kt::Complete(irp, STATUS_SUCCESS);
                      },
                      "while its cancel routine is still set"},
        DispatchFault{"ReturnsHoldingSpinLock",
                      [](PDEVICE_OBJECT, PIRP irp) {
                          KIRQL irql;
                          KeAcquireSpinLock(&strayLock, &irql);
                          return kt::Complete(irp, STATUS_SUCCESS);
                      },
                      "returned holding 1 spin lock(s)"},
        DispatchFault{"ReturnsAtRaisedIrql",
                      [](PDEVICE_OBJECT, PIRP irp) {
                          KIRQL irql;
                          KeRaiseIrql(DISPATCH_LEVEL, &irql);
                          return kt::Complete(irp, STATUS_SUCCESS);
                      },
                      "returned at IRQL 2"}),
    [](const ::testing::TestParamInfo<DispatchFault> &info) { return std::string(info.param.name); });

TEST_F(VerifierTest, SendingPastTheLastStackLocationIsReported) {
    kt::Stack stack(2);
    stack.On(1, [](PDEVICE_OBJECT device, PIRP irp) {
        // Forgets that the request was allocated for this device alone.
        return kt::Complete(irp, IoCallDriver(kt::BehaviourOf(device).lower, irp));
    });
    kt::OwnRequest request(stack.Top(), IRP_MJ_READ, -1);
    sim::VerifierRecorder recorder;
    IoCallDriver(stack.Top(), request.irp);
    EXPECT_EQ(recorder.Count("calls past the last stack location"), 1u);
    EXPECT_TRUE(request.Completed());
}

TEST_F(VerifierTest, RequestToDeletedDeviceIsReported) {
    kt::Stack stack(1);
    PDEVICE_OBJECT extra = nullptr;
    ASSERT_EQ(IoCreateDevice(stack.Driver(0), sizeof(void *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra), STATUS_SUCCESS);
    *(kt::Behaviour **)extra->DeviceExtension = &kt::BehaviourOf(stack.Device(0));
    ObReferenceObject(extra);  // an open file would hold it like this
    IoDeleteDevice(extra);
    EXPECT_TRUE(sim::IsDeviceDeleted(extra));
    {
        kt::OwnRequest request(extra, IRP_MJ_READ);
        sim::VerifierRecorder recorder;
        IoCallDriver(extra, request.irp);
        EXPECT_EQ(recorder.Count("to a deleted device object"), 1u);
    }
    ObDereferenceObject(extra);
    EXPECT_FALSE(sim::IsLiveDevice(extra));
}

TEST_F(VerifierTest, BadFreesAreReported) {
    sim::VerifierRecorder recorder;
    PVOID block = ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
    ExFreePoolWithTag(block, 'tseT');
    ExFreePoolWithTag(block, 'tseT');
    int local = 0;
    ExFreePool(&local);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    PMDL mdl = IoAllocateMdl(&local, sizeof local, FALSE, FALSE, nullptr);
    IoFreeMdl(mdl);
    IoFreeMdl(mdl);
    EXPECT_EQ(recorder.Count("frees pool that is not allocated"), 2u);
    EXPECT_EQ(recorder.Count("that is not allocated (freed twice?)"), 2u);
    EXPECT_EQ(recorder.Failures().size(), 4u);
}

TEST_F(VerifierTest, DriverAllocatedRequestMustBeStoppedByItsCompletionRoutine) {
    kt::Stack stack(1);
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    sim::VerifierRecorder recorder;
    IoCallDriver(stack.Top(), irp);
    EXPECT_EQ(recorder.Count("ran past the top"), 1u);
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, PagedPoolAtDispatchLevelIsReported) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    sim::VerifierRecorder recorder;
    PVOID block = ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
    KeLowerIrql(old);
    ExFreePool(block);
    EXPECT_EQ(recorder.Count("allocates paged pool at IRQL 2"), 1u);
}

HANDLE carelessThread = nullptr;

TEST_F(VerifierTest, UnclosedThreadHandleAndRequestsAreLeaks) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Careless", [](PDRIVER_OBJECT, PUNICODE_STRING) {
        PsCreateSystemThread(&carelessThread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
        IoAllocateIrp(2, FALSE);
        return STATUS_SUCCESS;
    });
    sim::VerifierRecorder recorder;
    sim::UnloadDriver(driver);
    EXPECT_EQ(recorder.Count("thread handle"), 1u);
    EXPECT_EQ(recorder.Count("allocated by IoAllocateIrp not freed"), 1u);
    // The leaked thread must have ended before the next test: a driver object created later
    // at the same address would otherwise be charged with it.
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(carelessThread, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(carelessThread);
}

TEST_F(VerifierTest, LeakSourcesOfOtherPartsAreAsked) {
    PDRIVER_OBJECT seen = nullptr;
    sim::RegisterLeakSource("test links", [&](PDRIVER_OBJECT driver) {
        seen = driver;
        return std::vector<std::string>{"link \\DosDevices\\X"};
    });
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Linker", kt::TestDriverEntry);
    sim::VerifierRecorder recorder;
    sim::UnloadDriver(driver);
    EXPECT_EQ(seen, driver);
    EXPECT_EQ(recorder.Count("leaks test links: link \\DosDevices\\X"), 1u);
    sim::UnregisterLeakSource("test links");
}

}  // namespace

namespace {

TEST_F(VerifierTest, BuiltRequestNeverSentIsALeakOfItsBuilder) {
    kt::Stack stack(1);
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Builder", kt::TestDriverEntry);
    {
        sim::DriverCall call(driver, "test routine", nullptr);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), stack.Top(),
                                      nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    }
    sim::VerifierRecorder recorder;
    sim::UnloadDriver(driver);
    EXPECT_EQ(recorder.Count("built but never sent"), 1u);
}

TEST_F(VerifierTest, RequestInTheDriversOwnMemoryTravelsAndStaysTheDrivers) {
    kt::Stack stack(1);
    size_t liveBefore = sim::LiveIrpCount();
    USHORT size = (USHORT)IoSizeOfIrp(stack.Top()->StackSize);
    auto irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, size, 'prIO');
    IoInitializeIrp(irp, size, stack.Top()->StackSize);
    kt::CompletionFn keep = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, kt::CompletionThunk, &keep, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    {
        sim::VerifierRecorder recorder;
        IoFreeIrp(irp);
        EXPECT_EQ(recorder.Count("lives in the driver's own memory"), 1u);
    }
    ExFreePool(irp);
    EXPECT_EQ(sim::LiveIrpCount(), liveBefore);
}

}  // namespace
