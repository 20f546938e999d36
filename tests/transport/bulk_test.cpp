// Bulk reads and writes in stages: stage windows and lengths, short stages, refusals, and the
// reset flags that failed, cancelled and disconnected transfers leave for the next transfer.
#include "tests/transport/transport_rig.h"

namespace transport_test {
namespace {

using sim::usb::CardReaderModel;
using sim::usb::Fault;

constexpr UCHAR kOut = CardReaderModel::BulkOutEndpoint;
constexpr UCHAR kIn = CardReaderModel::BulkInEndpoint;

Bytes Pattern(size_t length, UCHAR seed = 0)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<UCHAR>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

class BulkTest : public TransportTest {
protected:
    void SetUp() override
    {
        TransportTest::SetUp();
        rig_ = std::make_unique<Rig>();
        ASSERT_EQ(rig_->PlugCardReader(), STATUS_SUCCESS);
        ASSERT_EQ(rig_->Start(), STATUS_SUCCESS);
        ASSERT_EQ(rig_->Open(write_), STATUS_SUCCESS);
        ASSERT_EQ(rig_->Open(read_), STATUS_SUCCESS);
        rig_->ClearLog();
    }
    void TearDown() override
    {
        rig_.reset();
        TransportTest::TearDown();
    }

    std::unique_ptr<Rig> rig_;
    File write_{u"if0pipe0"};
    File read_{u"if0pipe1"};
};

// ---------------------------------------------------------------------------------------------
// Stages
// ---------------------------------------------------------------------------------------------

struct WriteCase {
    const char *Name;
    ULONG Length;
    std::vector<Fault> Faults;          // scripted on the OUT endpoint, in order
    std::vector<ULONG> Stages;
    ULONG_PTR Information;
};

TEST_F(BulkTest, WritesGoDownInStagesOf256)
{
    const WriteCase cases[] = {
        {"One", 1, {}, {1}, 1},
        {"Exactly256", 256, {}, {256}, 256},
        {"Six00", 600, {}, {256, 256, 88}, 600},
        {"ShortStageDoesNotEndAWrite", 600, {Fault::CompleteShort(10)}, {256, 256, 88}, 10 + 256 + 88},
    };
    for (const WriteCase &c : cases) {
        SCOPED_TRACE(c.Name);
        rig_->ClearLog();
        for (const Fault &fault : c.Faults) {
            rig_->Device().ScriptFault(kOut, fault);
        }
        Bytes data = Pattern(c.Length);
        auto transfer = rig_->StartWrite(write_, data);
        EXPECT_EQ(transfer->Req.Returned(), STATUS_PENDING);
        EXPECT_EQ(transfer->Req.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(transfer->Req.Information(), c.Information);
        EXPECT_EQ(BulkLengths(rig_->Log(), kOut), c.Stages) << Describe(rig_->Log());
        EXPECT_EQ(transfer->Req.Completions(), 1);
    }
    // The device took each window of the caller's buffer in order.
    Bytes received = rig_->CardReader().ReceivedBytes();
    Bytes six00 = Pattern(600);
    ASSERT_GE(received.size(), 1u + 256u + 600u);
    EXPECT_TRUE(std::equal(six00.begin(), six00.end(), received.begin() + 1 + 256));
}

struct ReadCase {
    const char *Name;
    ULONG Length;
    ULONG Sent;                 // bytes the device sends, as one message
    std::vector<ULONG> Stages;
    ULONG_PTR Information;
};

TEST_F(BulkTest, ReadsEndAtTheFirstShortStage)
{
    const ReadCase cases[] = {
        {"Read64Gets10", 64, 10, {64}, 10},
        {"Read64Gets64", 64, 64, {64}, 64},
        {"Read600Gets600", 600, 600, {256, 256, 88}, 600},
        {"Read600FirstStageShort", 600, 10, {256}, 10},
        {"Read600SecondStageShort", 600, 300, {256, 256}, 300},
    };
    for (const ReadCase &c : cases) {
        SCOPED_TRACE(c.Name);
        rig_->ClearLog();
        auto transfer = rig_->StartRead(read_, c.Length);
        EXPECT_EQ(transfer->Req.Returned(), STATUS_PENDING);
        Bytes data = Pattern(c.Sent, 3);
        rig_->CardReader().Send(data);
        EXPECT_EQ(transfer->Req.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(transfer->Req.Information(), c.Information);
        EXPECT_EQ(BulkLengths(rig_->Log(), kIn), c.Stages) << Describe(rig_->Log());
        // What is reported is contiguous data; the rest of the buffer is untouched.
        EXPECT_TRUE(std::equal(data.begin(), data.end(), transfer->Buffer.begin()));
        for (size_t i = c.Information; i < c.Length; ++i) {
            ASSERT_EQ(transfer->Buffer[i], 0xA5) << "byte " << i;
        }
    }
}

TEST_F(BulkTest, RequestsThatSendNothing)
{
    File device(u"");
    ASSERT_EQ(rig_->Open(device), STATUS_SUCCESS);
    struct Case {
        const char *Name;
        File *Handle;
        UCHAR Major;
        ULONG Length;
        NTSTATUS Status;
    } cases[] = {
        {"ZeroLengthRead", &read_, IRP_MJ_READ, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"ZeroLengthWrite", &write_, IRP_MJ_WRITE, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"ReadThroughDeviceHandle", &device, IRP_MJ_READ, 64, STATUS_INVALID_HANDLE},
        {"WriteThroughDeviceHandle", &device, IRP_MJ_WRITE, 64, STATUS_INVALID_HANDLE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        auto transfer = rig_->StartTransfer(c.Handle, c.Major, c.Length);
        EXPECT_EQ(transfer->Req.Returned(), c.Status);
        EXPECT_EQ(transfer->Req.Wait(), c.Status);
        EXPECT_EQ(transfer->Req.Information(), 0u);
    }
    EXPECT_TRUE(rig_->Log().empty()) << Describe(rig_->Log());
    EXPECT_EQ(rig_->Close(device), STATUS_SUCCESS);
}

TEST_F(TransportTest, BulkUrbsCarryTheDirectionAndShortTransfers)
{
    Rig rig;
    rig.UseLowerFilter();
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File write(u"if0pipe0");
    File read(u"if0pipe1");
    ASSERT_EQ(rig.Open(write), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(read), STATUS_SUCCESS);
    rig.ClearSeenUrbs();
    auto writing = rig.StartWrite(write, Bytes(300, 1));
    EXPECT_EQ(writing->Req.Wait(), STATUS_SUCCESS);
    rig.CardReader().Send(Bytes(4, 2));
    auto reading = rig.StartRead(read, 4);
    EXPECT_EQ(reading->Req.Wait(), STATUS_SUCCESS);
    std::vector<ULONG> flags;
    for (const SeenUrb &urb : rig.SeenUrbs()) {
        EXPECT_EQ(urb.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        flags.push_back(urb.TransferFlags);
    }
    const ULONG out = USBD_SHORT_TRANSFER_OK;
    const ULONG in = USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN;
    EXPECT_EQ(flags, (std::vector<ULONG>{out, out, in}));
}

// ---------------------------------------------------------------------------------------------
// Reset flags
// ---------------------------------------------------------------------------------------------

enum class Ending { DeviceError, Stall, Cancel };

struct FlagCase {
    const char *Name;
    bool Read;
    Ending How;
    NTSTATUS Status;
    bool NextRestores;    // the next transfer in the direction resets the pipe three times first
};

TEST_F(BulkTest, FailedStagesMarkTheirDirection)
{
    const FlagCase cases[] = {
        {"ReadDeviceError", true, Ending::DeviceError, STATUS_IO_DEVICE_ERROR, true},
        {"ReadStall", true, Ending::Stall, STATUS_UNSUCCESSFUL, true},
        {"ReadCancelled", true, Ending::Cancel, STATUS_CANCELLED, false},
        {"WriteDeviceError", false, Ending::DeviceError, STATUS_IO_DEVICE_ERROR, true},
        {"WriteCancelled", false, Ending::Cancel, STATUS_CANCELLED, true},
    };
    for (const FlagCase &c : cases) {
        SCOPED_TRACE(c.Name);
        UCHAR endpoint = c.Read ? kIn : kOut;
        File &file = c.Read ? read_ : write_;
        if (c.How == Ending::DeviceError) {
            rig_->Device().ScriptFault(endpoint, Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR));
        } else if (c.How == Ending::Stall) {
            rig_->Device().ScriptFault(endpoint, Fault::Stall());
        } else if (!c.Read) {
            rig_->Device().ScriptFault(endpoint, Fault::NeverComplete());
        }
        auto first = rig_->StartTransfer(&file, c.Read ? IRP_MJ_READ : IRP_MJ_WRITE, 64);
        if (c.How == Ending::Cancel) {
            EXPECT_EQ(first->Req.Returned(), STATUS_PENDING);
            EXPECT_TRUE(first->Req.Cancel());
        }
        EXPECT_EQ(first->Req.Wait(), c.Status);
        EXPECT_EQ(first->Req.Information(), 0u);
        EXPECT_EQ(first->Req.Completions(), 1);
        EXPECT_EQ(FlagIsSet(c.Read ? &rig_->Ext()->ReadResetPending : &rig_->Ext()->WriteResetPending),
                  c.NextRestores);

        // The next transfer in the same direction: the pipe resets come before its stage.
        rig_->Device().ClearFaults();
        rig_->ClearLog();
        auto next = rig_->StartTransfer(&file, c.Read ? IRP_MJ_READ : IRP_MJ_WRITE, 64);
        std::vector<RequestKind> expected;
        if (c.NextRestores) {
            expected = {RequestKind::ResetPipe, RequestKind::ResetPipe, RequestKind::ResetPipe};
        }
        expected.push_back(RequestKind::BulkOrInterrupt);
        EXPECT_EQ(Kinds(rig_->Log()), expected) << Describe(rig_->Log());
        if (c.Read) {
            rig_->CardReader().Send(Bytes(64, 1));
        }
        EXPECT_EQ(next->Req.Wait(), STATUS_SUCCESS);
        EXPECT_FALSE(FlagIsSet(&rig_->Ext()->ReadResetPending));
        EXPECT_FALSE(FlagIsSet(&rig_->Ext()->WriteResetPending));
    }
}

TEST_F(BulkTest, StageRefusedAtOnceIsFollowedByResetPasses)
{
    rig_->Device().ScriptFault(kOut, Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR));
    auto transfer = rig_->StartWrite(write_, Bytes(16, 2));
    EXPECT_EQ(transfer->Req.Returned(), STATUS_PENDING);
    EXPECT_EQ(transfer->Req.Wait(), STATUS_IO_DEVICE_ERROR);
    std::vector<RequestKind> kinds = Kinds(rig_->Log());
    // Whether the bus logs the refused stage or not, three pipe resets follow it.
    std::vector<RequestKind> resets(kinds.end() - std::min<size_t>(kinds.size(), 3), kinds.end());
    EXPECT_EQ(resets, (std::vector<RequestKind>(3, RequestKind::ResetPipe))) << Describe(rig_->Log());
}

TEST_F(BulkTest, DisconnectMarksOnlyTheWriteDirection)
{
    rig_->Device().ScriptFault(kOut, Fault::NeverComplete());
    auto write = rig_->StartWrite(write_, Bytes(32, 3));
    auto read = rig_->StartRead(read_, 64);
    rig_->Device().Unplug();
    EXPECT_EQ(write->Req.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->Req.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(FlagIsSet(&rig_->Ext()->WriteResetPending));
    EXPECT_FALSE(FlagIsSet(&rig_->Ext()->ReadResetPending));
    EXPECT_EQ(rig_->Ext()->OutstandingIo, 1);
}

}  // namespace
}  // namespace transport_test
