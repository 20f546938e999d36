// Fault injection: any allocation or creation call can be made to fail, by count, by kind, for
// one driver, or at random with a seed; the failure reaches the caller as the kernel's own.
#include "test_stack.h"

namespace {

using FaultsTest = sim::KernelTest;

// A driver whose entry acquires five resources and unwinds in reverse order on any failure.
struct UnwinderExtension {
    PVOID first;
    PIRP irp;
    PMDL mdl;
    PVOID second;
};
UCHAR unwinderBuffer[64];

VOID UnwinderUnload(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT device = driver->DeviceObject;
    auto *extension = (UnwinderExtension *)device->DeviceExtension;
    ExFreePool(extension->second);
    IoFreeMdl(extension->mdl);
    IoFreeIrp(extension->irp);
    ExFreePool(extension->first);
    IoDeleteDevice(device);
}

NTSTATUS UnwinderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = UnwinderUnload;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(UnwinderExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *extension = (UnwinderExtension *)device->DeviceExtension;
    status = STATUS_INSUFFICIENT_RESOURCES;
    extension->first = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'twnU');
    if (extension->first == nullptr) goto noFirst;
    extension->irp = IoAllocateIrp(2, FALSE);
    if (extension->irp == nullptr) goto noIrp;
    extension->mdl = IoAllocateMdl(unwinderBuffer, sizeof unwinderBuffer, FALSE, FALSE, nullptr);
    if (extension->mdl == nullptr) goto noMdl;
    extension->second = ExAllocatePoolWithTag(PagedPool, 32, 'twnU');
    if (extension->second == nullptr) goto noSecond;
    return STATUS_SUCCESS;
noSecond:
    IoFreeMdl(extension->mdl);
noMdl:
    IoFreeIrp(extension->irp);
noIrp:
    ExFreePool(extension->first);
noFirst:
    IoDeleteDevice(device);
    return status;
}

TEST_F(FaultsTest, EveryFailurePointOfAScenarioIsReachable) {
    sim::SetFaultPlan(sim::FaultPlan());  // count only
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Unwinder", UnwinderEntry);
    ASSERT_NE(driver, nullptr);
    uint64_t calls = sim::InjectableCalls();
    sim::UnloadDriver(driver);
    EXPECT_EQ(calls, 5u);
    for (uint64_t k = 1; k <= calls; k++) {
        SCOPED_TRACE("failing call " + std::to_string(k));
        sim::FaultPlan plan;
        plan.failNth = k;
        sim::SetFaultPlan(plan);
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(sim::CreateDriver(u"\\Driver\\Unwinder", UnwinderEntry, &status), nullptr);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(sim::InjectedFailures(), 1u);
        // Any leak of the unwinding is reported by the verifier and fails this test.
    }
}

// Each kind of call, made to fail as the first call of its kind.
struct KindCase {
    const char *name;
    sim::FaultKind kind;
    std::function<bool()> failsToCreate;  // makes the call, cleans up, tells whether it failed
};

class FaultKindTest : public sim::KernelTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(FaultKindTest, FailsOnlyTheChosenKindOfCall) {
    const KindCase &c = GetParam();
    sim::FaultPlan plan;
    plan.kinds = c.kind;
    plan.failNth = 1;
    sim::SetFaultPlan(plan);
    PVOID unrelated = c.kind == sim::FaultPool ? nullptr : ExAllocatePoolWithTag(NonPagedPoolNx, 4, 'tseT');
    if (c.kind != sim::FaultPool) {
        EXPECT_NE(unrelated, nullptr);
        ExFreePool(unrelated);
    }
    EXPECT_TRUE(c.failsToCreate());
    EXPECT_FALSE(c.failsToCreate());  // only the first one
    EXPECT_EQ(sim::InjectableCalls(), 2u);
}

UCHAR kindBuffer[8];

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultKindTest,
    ::testing::Values(
        KindCase{"Pool", sim::FaultPool,
                 [] {
                     PVOID p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, 'tseT');
                     if (p != nullptr) ExFreePool(p);
                     return p == nullptr;
                 }},
        KindCase{"Irp", sim::FaultIrp,
                 [] {
                     PIRP irp = IoAllocateIrp(1, FALSE);
                     if (irp != nullptr) IoFreeIrp(irp);
                     return irp == nullptr;
                 }},
        KindCase{"Mdl", sim::FaultMdl,
                 [] {
                     PMDL mdl = IoAllocateMdl(kindBuffer, sizeof kindBuffer, FALSE, FALSE, nullptr);
                     if (mdl != nullptr) IoFreeMdl(mdl);
                     return mdl == nullptr;
                 }},
        KindCase{"BuildRequest", sim::FaultBuildRequest,
                 [] {
                     kt::Stack stack(1);
                     KEVENT event;
                     KeInitializeEvent(&event, NotificationEvent, FALSE);
                     IO_STATUS_BLOCK iosb;
                     PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, stack.Top(), nullptr, 0, nullptr,
                                                             &event, &iosb);
                     if (irp != nullptr) IoCallDriver(stack.Top(), irp);
                     return irp == nullptr;
                 }},
        KindCase{"Device", sim::FaultDevice,
                 [] {
                     PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Kind", kt::TestDriverEntry);
                     PDEVICE_OBJECT device = nullptr;
                     NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
                     if (NT_SUCCESS(status)) IoDeleteDevice(device);
                     sim::UnloadDriver(driver);
                     return status == STATUS_INSUFFICIENT_RESOURCES && device == nullptr;
                 }},
        KindCase{"Thread", sim::FaultThread,
                 [] {
                     HANDLE handle = nullptr;
                     NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                            [](PVOID) {}, nullptr);
                     if (!NT_SUCCESS(status)) return status == STATUS_INSUFFICIENT_RESOURCES;
                     PVOID thread;
                     ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
                     ZwClose(handle);
                     KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
                     ObDereferenceObject(thread);
                     return false;
                 }},
        KindCase{"SymbolicLinkHook", sim::FaultSymbolicLink, [] { return sim::ShouldFail(sim::FaultSymbolicLink); }}),
    [](const ::testing::TestParamInfo<KindCase> &info) { return std::string(info.param.name); });

TEST_F(FaultsTest, PlanForOneDriverIgnoresEveryoneElse) {
    PDRIVER_OBJECT target = sim::CreateDriver(u"\\Driver\\Target", kt::TestDriverEntry);
    sim::FaultPlan plan;
    plan.driver = target;
    plan.failNth = 1;
    plan.failAllAfterNth = true;
    sim::SetFaultPlan(plan);
    PVOID mine = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseT');
    EXPECT_NE(mine, nullptr);
    ExFreePool(mine);
    {
        sim::DriverCall call(target, "test routine", nullptr);
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseT'), nullptr);
        EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    }
    EXPECT_EQ(sim::InjectableCalls(), 2u);
    EXPECT_EQ(sim::InjectedFailures(), 2u);
    sim::UnloadDriver(target);
}

TEST_F(FaultsTest, RandomFailuresRepeatForTheSameSeed) {
    auto pattern = [](uint32_t seed) {
        sim::FaultPlan plan;
        plan.randomSeed = seed;
        plan.randomPerMille = 300;
        sim::SetFaultPlan(plan);
        std::string failed;
        for (int i = 0; i < 64; i++) {
            PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseT');
            failed += p == nullptr ? '1' : '0';
            if (p != nullptr) ExFreePool(p);
        }
        return failed;
    };
    std::string first = pattern(7);
    EXPECT_EQ(pattern(7), first);
    EXPECT_NE(pattern(8), first);
    EXPECT_NE(first.find('1'), std::string::npos);
    EXPECT_NE(first.find('0'), std::string::npos);
}

}  // namespace
