// Thread requests (IoBuildDeviceIoControlRequest, IoBuildSynchronousFsdRequest): the I/O
// manager copies buffered output, sets the status block and the event, and frees the request,
// all only once the request has completed.
#include "test_stack.h"

#include <cstring>

namespace {

const ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kOutDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

class ThreadRequestTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb.Status = (NTSTATUS)0x12345678;
        iosb.Information = 77;
        memset(output, 0xEE, sizeof output);
    }
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    UCHAR output[16];
    UCHAR input[4] = {1, 2, 3, 4};
};

// The lower driver reads the input from the system buffer, writes 'written' bytes of answer and
// keeps the request pending; the test completes it later with a status.
struct OutputCase {
    const char *name;
    NTSTATUS status;
    ULONG written;
    bool copied;
};

class BufferedOutputTest : public ThreadRequestTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(BufferedOutputTest, OutputIsCopiedAndEventSetOnlyAfterCompletion) {
    const OutputCase &c = GetParam();
    kt::Stack stack(1);
    PIRP held = nullptr;
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
        EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 16u);
        auto *buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        EXPECT_EQ(memcmp(buffer, input, 4), 0);
        for (ULONG i = 0; i < c.written; i++) buffer[i] = (UCHAR)(0x40 + i);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.Top(), input, 4, output, 16, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(output[0], 0xEE);
    EXPECT_EQ(iosb.Status, (NTSTATUS)0x12345678);

    kt::Complete(held, c.status, c.written);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, c.status);
    EXPECT_EQ(iosb.Information, c.written);
    for (ULONG i = 0; i < 16; i++) {
        UCHAR expected = (c.copied && i < c.written) ? (UCHAR)(0x40 + i) : 0xEE;
        EXPECT_EQ(output[i], expected) << "byte " << i;
    }
    EXPECT_EQ(sim::LiveIrpCount(), 0u);  // the I/O manager freed the request
}

INSTANTIATE_TEST_SUITE_P(Cases, BufferedOutputTest,
                         ::testing::Values(OutputCase{"SuccessCopiesInformationBytes", STATUS_SUCCESS, 6, true},
                                           OutputCase{"WarningStillCopies", STATUS_BUFFER_OVERFLOW, 16, true},
                                           OutputCase{"ErrorCopiesNothing", STATUS_IO_DEVICE_ERROR, 6, false},
                                           OutputCase{"NothingWritten", STATUS_SUCCESS, 0, true}),
                         [](const ::testing::TestParamInfo<OutputCase> &info) { return std::string(info.param.name); });

TEST_F(ThreadRequestTest, InformationBeyondTheOutputBufferIsReportedAndClipped) {
    kt::Stack stack(1);
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) { return kt::Complete(irp, STATUS_SUCCESS, 17); });
    UCHAR guard[8];
    memset(guard, 0x5A, sizeof guard);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.Top(), input, 4, output, 16, FALSE, &event, &iosb);
    sim::VerifierRecorder recorder;
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_EQ(recorder.Count("larger than its output buffer of 16 bytes"), 1u);
    EXPECT_EQ(guard[0], 0x5A);
}

TEST_F(ThreadRequestTest, DirectOutputIsDescribedByALockedMdl) {
    kt::Stack stack(1);
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_NE(irp->MdlAddress, nullptr);
        EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 16u);
        EXPECT_EQ(MmGetMdlVirtualAddress(irp->MdlAddress), (PVOID)output);
        auto *target = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        target[0] = 0x11;
        EXPECT_EQ(memcmp(irp->AssociatedIrp.SystemBuffer, input, 4), 0);
        return kt::Complete(irp, STATUS_SUCCESS, 1);
    });
    PIRP irp = IoBuildDeviceIoControlRequest(kOutDirectCode, stack.Top(), input, 4, output, 16, TRUE, &event, &iosb);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_EQ(output[0], 0x11);
    EXPECT_EQ(iosb.Information, 1u);
}

TEST_F(ThreadRequestTest, BufferedReadOfSynchronousFsdRequestCopiesBack) {
    kt::Stack stack(1);
    stack.Device(0)->Flags |= DO_BUFFERED_IO;
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 16u);
        memset(irp->AssociatedIrp.SystemBuffer, 0x33, 3);
        return kt::Complete(irp, STATUS_SUCCESS, 3);
    });
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, stack.Top(), output, 16, nullptr, &event, &iosb);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_EQ(output[2], 0x33);
    EXPECT_EQ(output[3], 0xEE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

// A synchronous caller inside a driver: the upper driver sends a control request down, waits
// on its event when the answer is pending, and completes its own request with the answer.
// With forced pending on the lower device, the wait path runs.
class SynchronousCallerTest : public ThreadRequestTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SynchronousCallerTest, GetsTheLowerStatusAndBuffer) {
    bool forced = GetParam();
    kt::Stack stack(2);
    bool sawPending = false;
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
        memcpy(irp->AssociatedIrp.SystemBuffer, "answer", 6);
        return kt::Complete(irp, STATUS_BUFFER_OVERFLOW, 6);
    });
    stack.On(1, [&](PDEVICE_OBJECT device, PIRP irp) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK status;
        UCHAR answer[8] = {};
        PIRP lower = IoBuildDeviceIoControlRequest(kBufferedCode, kt::BehaviourOf(device).lower, nullptr, 0, answer,
                                                   sizeof answer, FALSE, &done, &status);
        NTSTATUS result = IoCallDriver(kt::BehaviourOf(device).lower, lower);
        if (result == STATUS_PENDING) {
            sawPending = true;
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            result = status.Status;
        }
        memcpy(irp->AssociatedIrp.SystemBuffer, answer, status.Information);
        return kt::Complete(irp, result, status.Information);
    });
    sim::ForcePending(stack.Device(0), forced);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.Top(), nullptr, 0, output, 16, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sawPending, forced);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(memcmp(output, "answer", 6), 0);
}

INSTANTIATE_TEST_SUITE_P(ForcedPending, SynchronousCallerTest, ::testing::Bool());

}  // namespace
