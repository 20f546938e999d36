// Device objects (names, exclusive flag, references, stacks) and memory descriptor lists.
#include "test_stack.h"

namespace {

using DevicesTest = sim::KernelTest;

TEST_F(DevicesTest, NamedDevicesAreFoundCaseInsensitivelyAndNamesAreUnique) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Named", kt::TestDriverEntry);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\XWQUsbSerial0");
    PDEVICE_OBJECT device = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &device), STATUS_SUCCESS);
    EXPECT_EQ(sim::FindNamedDevice(u"\\device\\xwqusbserial0"), device);
    EXPECT_EQ(sim::DeviceName(device), u"\\Device\\XWQUsbSerial0");
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(((PUCHAR)device->DeviceExtension)[7], 0);  // zero-filled
    EXPECT_EQ(driver->DeviceObject, device);
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    IoDeleteDevice(device);
    EXPECT_EQ(sim::FindNamedDevice(u"\\Device\\XWQUsbSerial0"), nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    sim::UnloadDriver(driver);
}

TEST_F(DevicesTest, DeletedDeviceLivesWhileReferenced) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Held", kt::TestDriverEntry);
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(IoGetAttachedDeviceReference(device), device);
    IoDeleteDevice(device);
    EXPECT_TRUE(sim::IsLiveDevice(device));
    EXPECT_TRUE(sim::IsDeviceDeleted(device));
    ObDereferenceObject(device);
    EXPECT_FALSE(sim::IsLiveDevice(device));
    sim::UnloadDriver(driver);
}

// An attachment references the device attached to. A lower device deleted while a device is
// still attached above it (a bus driver deleting its PDO while the removal passes through it)
// stays, delete pending, until the device above detaches: the detach is safe, and references
// others take meanwhile work as on any object.
TEST_F(DevicesTest, LowerDeviceDeletedUnderAnAttachedDeviceLivesUntilTheDetach) {
    PDRIVER_OBJECT lowerDriver = sim::CreateDriver(u"\\Driver\\Lower", kt::TestDriverEntry);
    PDRIVER_OBJECT upperDriver = sim::CreateDriver(u"\\Driver\\Upper", kt::TestDriverEntry);
    PDEVICE_OBJECT lower = nullptr, upper = nullptr, late = nullptr, attachedTo = nullptr;
    ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(upper, lower, &attachedTo), STATUS_SUCCESS);
    EXPECT_EQ(attachedTo, lower);
    EXPECT_EQ(ObReferenceObject(lower), 3);  // creation, attachment, this one
    ObDereferenceObject(lower);

    IoDeleteDevice(lower);
    EXPECT_TRUE(sim::IsDeviceDeleted(lower));
    EXPECT_TRUE(sim::IsLiveDevice(lower));
    EXPECT_EQ(lowerDriver->DeviceObject, nullptr);
    EXPECT_EQ(lower->AttachedDevice, upper);
    EXPECT_EQ(ObReferenceObject(lower), 2);
    EXPECT_EQ(ObDereferenceObject(lower), 1);

    IoDetachDevice(lower);
    EXPECT_FALSE(sim::IsLiveDevice(lower)) << "the detach dropped the last reference";

    // Nothing attaches to a device being deleted.
    ASSERT_EQ(IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &late), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObject(upper), 2) << "the detached device holds no reference of its own";
    IoDeleteDevice(upper);
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(late, upper, &attachedTo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(attachedTo, nullptr);
    EXPECT_EQ(upper->AttachedDevice, nullptr);
    ObDereferenceObject(upper);
    EXPECT_FALSE(sim::IsLiveDevice(upper));
    IoDeleteDevice(late);
    sim::UnloadDriver(upperDriver);
    sim::UnloadDriver(lowerDriver);
}

TEST_F(DevicesTest, DeletingAnAttachedDeviceIsReported) {
    kt::Stack stack(1);
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Upper", kt::TestDriverEntry);
    PDEVICE_OBJECT upper = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, stack.Device(0)), stack.Device(0));
    sim::VerifierRecorder recorder;
    IoDeleteDevice(upper);
    EXPECT_EQ(recorder.Count("still attached to a lower device"), 1u);
    IoDetachDevice(stack.Device(0));
    sim::UnloadDriver(driver);
}

using MdlTest = sim::KernelTest;

TEST_F(MdlTest, PartialMdlDescribesPartOfItsSource) {
    alignas(4096) static UCHAR buffer[3 * PAGE_SIZE];
    PMDL source = IoAllocateMdl(buffer + 100, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(source), (PVOID)(buffer + 100));
    EXPECT_EQ(MmGetMdlByteOffset(source), 100u);
    MmBuildMdlForNonPagedPool(source);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(source, NormalPagePriority), (PVOID)(buffer + 100));

    PMDL part = IoAllocateMdl(buffer + 100, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, part, buffer + 300, 256);
    EXPECT_EQ(MmGetMdlVirtualAddress(part), (PVOID)(buffer + 300));
    EXPECT_EQ(MmGetMdlByteCount(part), 256u);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), (PVOID)(buffer + 300));
    IoBuildPartialMdl(source, part, buffer + 300, 0);  // 0: to the end of the source
    EXPECT_EQ(MmGetMdlByteCount(part), 2u * PAGE_SIZE - 200);
    {
        sim::VerifierRecorder recorder;
        IoBuildPartialMdl(source, part, buffer + 2 * PAGE_SIZE, 512);
        EXPECT_EQ(recorder.Count("outside its source MDL"), 1u);
    }
    IoFreeMdl(part);
    IoFreeMdl(source);
}

TEST_F(MdlTest, MappingNeedsLockedPagesAndSecondaryMdlsChain) {
    UCHAR buffer[64];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(buffer, 32, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(buffer + 32, 32, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    {
        sim::VerifierRecorder recorder;
        MmGetSystemAddressForMdlSafe(first, NormalPagePriority);
        EXPECT_EQ(recorder.Count("not locked"), 1u);
    }
    MmProbeAndLockPages(second, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(second, NormalPagePriority), (PVOID)(buffer + 32));
    MmUnlockPages(second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

}  // namespace

namespace {

using HandlesTest = sim::KernelTest;

TEST_F(HandlesTest, HandlesOfOtherKindsCloseThroughZwClose) {
    int object = 0;
    int closes = 0;
    HANDLE handle = sim::CreateHandle("key", &object, [&] { closes++; });
    EXPECT_EQ(sim::LookupHandle(handle, "key"), &object);
    EXPECT_EQ(sim::LookupHandle(handle, "thread"), nullptr);
    PVOID referenced = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &referenced, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(closes, 1);
    sim::VerifierRecorder recorder;
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(recorder.Count("closes a handle that is not open"), 1u);
    EXPECT_EQ(closes, 1);
}

TEST_F(HandlesTest, ObjectsOfOtherPartsAreReleasedWithTheLastReference) {
    int object = 0;
    int releases = 0;
    sim::RegisterObject(&object, [&] { releases++; });
    EXPECT_EQ(ObReferenceObject(&object), 2);
    EXPECT_EQ(ObDereferenceObject(&object), 1);
    EXPECT_EQ(releases, 0);
    EXPECT_EQ(ObDereferenceObject(&object), 0);
    EXPECT_EQ(releases, 1);
    sim::VerifierRecorder recorder;
    ObDereferenceObject(&object);
    EXPECT_EQ(recorder.Count("dereferences an object that does not exist"), 1u);
}

}  // namespace
