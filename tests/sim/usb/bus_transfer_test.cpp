// The simulated bus as a function driver sees it: descriptors, configuration, bulk transfers
// through MDLs, control requests, cancellation, unplug, scripted faults and the device's log.
#include "tests/sim/usb/usb_test_driver.h"

namespace usb_test {
namespace {

using sim::usb::CardReaderModel;
using sim::usb::Fault;
using sim::usb::FaultAction;
using sim::usb::LoggedRequest;
using sim::usb::RequestKind;
namespace d = sim::usb::descriptors;

constexpr UCHAR kOut = CardReaderModel::BulkOutEndpoint;
constexpr UCHAR kIn = CardReaderModel::BulkInEndpoint;

class BusTransferTest : public BusFixture {
protected:
    void PlugCardReader(const sim::usb::PlugOptions &options = {})
    {
        card_ = std::make_shared<CardReaderModel>();
        Plug(card_, options);
    }
    // Card reader plugged, started and configured with 256-byte pipes.
    void PlugConfigured()
    {
        PlugCardReader();
        ASSERT_EQ(SelectConfiguration(256), STATUS_SUCCESS);
        ASSERT_EQ(pipes_.size(), 2u);
        device_->ClearLog();
    }
    USBD_PIPE_HANDLE OutPipe() const { return pipes_[0].PipeHandle; }
    USBD_PIPE_HANDLE InPipe() const { return pipes_[1].PipeHandle; }
};

// ============================================================================================
// Descriptors and configuration
// ============================================================================================

TEST_F(BusTransferTest, StartSequenceIsLoggedAndPipesGetHandlesAndTheAskedTransferSize)
{
    PlugCardReader();
    Bytes device;
    ASSERT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, d::CardReaderDevice());
    ULONG transferred = 0;
    ASSERT_EQ(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 521, nullptr, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, d::CardReaderConfiguration().size());

    std::vector<USBD_PIPE_INFORMATION> pipes;
    ASSERT_EQ(SelectConfiguration(256, &pipes), STATUS_SUCCESS);
    EXPECT_TRUE(device_->Configured());
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[0].EndpointAddress, kOut);
    EXPECT_EQ(pipes[1].EndpointAddress, kIn);
    for (const USBD_PIPE_INFORMATION &pipe : pipes) {
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(pipe.MaximumPacketSize, 64);
        EXPECT_EQ(pipe.MaximumTransferSize, 256u);
        EXPECT_NE(pipe.PipeHandle, nullptr);
    }
    EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);

    std::vector<LoggedRequest> log = device_->Log();
    ASSERT_EQ(log.size(), 4u); // device, configuration (twice: by the fixture's walk), selection
    EXPECT_EQ(log[0].Kind, RequestKind::GetDescriptor);
    EXPECT_EQ(log[0].Length, 18u);
    EXPECT_EQ(log[0].Setup, (sim::usb::SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18}));
    EXPECT_EQ(log[1].Length, 521u);
    EXPECT_EQ(log[1].Setup.Value, 0x0200);
    EXPECT_EQ(log[3].Kind, RequestKind::SelectConfiguration);
    EXPECT_FALSE(log[3].Unconfigure);
    EXPECT_EQ(log[3].Setup.Value, 1);
}

TEST_F(BusTransferTest, DescriptorReadsFollowTheAskedLength)
{
    auto model = std::make_shared<sim::usb::DescriptorOnlyModel>(d::CardReaderDevice(), d::LongConfiguration(600));
    Plug(model);
    struct Case {
        UCHAR type;
        ULONG asked;
        NTSTATUS status;
        ULONG moved;
    } cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 8, STATUS_SUCCESS, 8},
        {USB_DEVICE_DESCRIPTOR_TYPE, 64, STATUS_SUCCESS, 18},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 521, STATUS_SUCCESS, 521},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 600, STATUS_SUCCESS, 600},
        {USB_STRING_DESCRIPTOR_TYPE, 255, STATUS_UNSUCCESSFUL, 0}, // this model has no strings: stall
    };
    for (const Case &c : cases) {
        ULONG moved = 99;
        EXPECT_EQ(GetDescriptor(c.type, 0, c.asked, nullptr, &moved), c.status);
        EXPECT_EQ(moved, c.moved);
    }
}

TEST_F(BusTransferTest, SelectionFillsEveryListedInterfaceOfTheSet)
{
    struct Case {
        const char *name;
        Bytes set;
        std::vector<UCHAR> endpoints;
    } cases[] = {
        {"two interfaces", d::TwoInterfaces(), {0x02, 0x81, 0x03, 0x84}},
        {"alternate setting, one interface declared", d::AlternateSetting(1), {0x02, 0x81}},
        {"alternate setting listed as a second interface", d::AlternateSetting(2), {0x02, 0x81, 0x03, 0x84}},
        {"long set read twice", d::LongConfiguration(600), {0x02, 0x81}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        Plug(std::make_shared<sim::usb::DescriptorOnlyModel>(d::CardReaderDevice(), c.set));
        std::vector<USBD_PIPE_INFORMATION> pipes;
        ASSERT_EQ(SelectConfiguration(64, &pipes), STATUS_SUCCESS);
        ASSERT_EQ(pipes.size(), c.endpoints.size());
        for (size_t i = 0; i < pipes.size(); i++) {
            EXPECT_EQ(pipes[i].EndpointAddress, c.endpoints[i]);
            EXPECT_EQ(pipes[i].MaximumTransferSize, 64u);
        }
        UnplugAndRemove();
    }
}

TEST_F(BusTransferTest, MalformedSetsAreRefusedWithoutConfiguring)
{
    for (Bytes set : {d::MissingEndpoints(), d::TruncatedEndpoint()}) {
        Plug(std::make_shared<sim::usb::DescriptorOnlyModel>(d::CardReaderDevice(), set));
        // The set declares two endpoints but carries fewer: the library builds the request from
        // bNumEndpoints, the bus finds the endpoints missing.
        EXPECT_EQ(SelectConfiguration(256), STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(device_->Configured());
        UnplugAndRemove();
    }
}

TEST_F(BusTransferTest, StaleAndUnknownRequestsFailWithAUsbdStatus)
{
    PlugConfigured();
    USBD_PIPE_HANDLE old = OutPipe();
    ASSERT_EQ(Unconfigure(), STATUS_SUCCESS);
    EXPECT_FALSE(device_->Configured());
    ASSERT_EQ(device_->Log().back().Unconfigure, true);

    std::unique_ptr<UrbRequest> stale = StartBulk(old, 4, {1, 2, 3, 4});
    EXPECT_EQ(stale->Wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->Urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    ASSERT_EQ(SelectConfiguration(256), STATUS_SUCCESS);
    EXPECT_NE(OutPipe(), old); // a new configuration gives new handles; the old one stays stale
    stale = StartBulk(old, 4, {1, 2, 3, 4});
    EXPECT_EQ(stale->Wait(), STATUS_INVALID_PARAMETER);
    stale = StartBulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 4, {1, 2, 3, 4});
    EXPECT_EQ(stale->Wait(), STATUS_INVALID_PARAMETER);

    struct Case {
        USHORT function;
        USHORT length;
        USBD_STATUS usbd;
    } cases[] = {
        {URB_FUNCTION_ISOCH_TRANSFER, sizeof(URB), USBD_STATUS_INVALID_URB_FUNCTION},
        {0x7777, sizeof(URB), USBD_STATUS_INVALID_URB_FUNCTION},
        {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_HEADER), USBD_STATUS_INVALID_PARAMETER},
        {URB_FUNCTION_CLASS_INTERFACE, 24, USBD_STATUS_INVALID_PARAMETER},
    };
    device_->ClearLog();
    for (const Case &c : cases) {
        UrbRequest u(fdo_, c.length);
        u.Urb()->UrbHeader.Function = c.function;
        EXPECT_EQ(u.Send(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(u.Urb()->UrbHeader.Status, c.usbd);
    }
    EXPECT_TRUE(device_->Log().empty()); // refused by the stack, never seen by the device
}

TEST_F(BusTransferTest, TransfersLargerThanThePipesMaximumAreRefused)
{
    PlugConfigured();
    std::unique_ptr<UrbRequest> big = StartBulk(OutPipe(), 257);
    EXPECT_EQ(big->Wait(), STATUS_INVALID_PARAMETER);
    std::unique_ptr<UrbRequest> fits = StartBulk(OutPipe(), 256);
    EXPECT_EQ(fits->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(fits->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 256u);
}

// ============================================================================================
// Bulk transfers
// ============================================================================================

TEST_F(BusTransferTest, LoopbackMovesBytesThroughMdlsInBothDirections)
{
    PlugConfigured();
    card_->SetLoopback(true);
    Bytes sent = {'%', 'B', '1', '2', '3', '?'};
    ULONG moved = 0;
    Bytes out = sent;
    ASSERT_EQ(Bulk(OutPipe(), &out, false, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sent.size());

    Bytes in(64);
    ASSERT_EQ(Bulk(InPipe(), &in, true, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sent.size());
    EXPECT_EQ(in, sent);
    EXPECT_EQ(card_->ReceivedBytes(), sent);

    std::vector<LoggedRequest> log = device_->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].Endpoint, kOut);
    EXPECT_EQ(log[0].Data, sent);
    EXPECT_EQ(log[1].Endpoint, kIn);
    EXPECT_EQ(log[1].Length, 64u);
}

TEST_F(BusTransferTest, ReadWaitsForDataAndAMessageSpansShortTransfers)
{
    PlugConfigured();
    std::unique_ptr<UrbRequest> read = StartBulk(InPipe(), 4, {}, true);
    EXPECT_FALSE(read->Req().Completed());
    EXPECT_EQ(device_->PendingTransfers(), 1u);

    card_->Send({1, 2, 3, 4, 5, 6});
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(read->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
    EXPECT_EQ(Bytes(read->Buffer.begin(), read->Buffer.end()), (Bytes{1, 2, 3, 4}));

    Bytes rest(64);
    ULONG moved = 0;
    ASSERT_EQ(Bulk(InPipe(), &rest, true, &moved), STATUS_SUCCESS);
    EXPECT_EQ(rest, (Bytes{5, 6})); // the rest of the message, never merged with the next one
}

TEST_F(BusTransferTest, CommandHandlerAnswersEachWrite)
{
    PlugConfigured();
    card_->SetCommandHandler([](const Bytes &command) { return Bytes{command[0], 0x06}; });
    Bytes out = {0x1B, 'r'};
    ULONG moved = 0;
    ASSERT_EQ(Bulk(OutPipe(), &out, false, &moved), STATUS_SUCCESS);
    Bytes in(64);
    ASSERT_EQ(Bulk(InPipe(), &in, true, &moved), STATUS_SUCCESS);
    EXPECT_EQ(in, (Bytes{0x1B, 0x06}));
}

TEST_F(BusTransferTest, PendingReadIsCancelled)
{
    PlugConfigured();
    std::unique_ptr<UrbRequest> read = StartBulk(InPipe(), 64, {}, true);
    EXPECT_EQ(device_->PendingTransfers(), 1u);
    EXPECT_TRUE(read->Req().Cancel());
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read->Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(read->Req().Completions(), 1);
    EXPECT_EQ(device_->PendingTransfers(), 0u);

    // Data sent after the cancel waits for the next read.
    card_->Send({7});
    Bytes in(64);
    ULONG moved = 0;
    ASSERT_EQ(Bulk(InPipe(), &in, true, &moved), STATUS_SUCCESS);
    EXPECT_EQ(in, Bytes{7});
}

TEST_F(BusTransferTest, UnplugCompletesEverythingPendingAndFailsLaterRequests)
{
    PlugConfigured();
    device_->ScriptFault(kOut, Fault::NeverComplete());
    std::unique_ptr<UrbRequest> write = StartBulk(OutPipe(), 8, {1});
    std::unique_ptr<UrbRequest> read = StartBulk(InPipe(), 64, {}, true);
    EXPECT_EQ(device_->PendingTransfers(), 2u);

    device_->Unplug();
    EXPECT_EQ(write->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->Urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(device_->PendingTransfers(), 0u);
    EXPECT_FALSE(device_->Connected());

    size_t logged = device_->Log().size();
    std::unique_ptr<UrbRequest> late = StartBulk(InPipe(), 64, {}, true);
    EXPECT_EQ(late->Req().Completions(), 1);
    EXPECT_EQ(late->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ResetPort(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device_->Log().size(), logged);
}

TEST_F(BusTransferTest, UnplugFromInsideTheDevicesOwnHandler)
{
    PlugConfigured();
    std::unique_ptr<UrbRequest> read = StartBulk(InPipe(), 64, {}, true);
    card_->SetCommandHandler([this](const Bytes &) {
        device_->Unplug();
        return Bytes{1};
    });
    std::unique_ptr<UrbRequest> write = StartBulk(OutPipe(), 2, {1, 2});
    EXPECT_EQ(write->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
}

// ============================================================================================
// Scripted faults
// ============================================================================================

TEST_F(BusTransferTest, EachScriptedFaultOnEachDirection)
{
    struct Case {
        const char *name;
        Fault fault;
        NTSTATUS returned;   // what the dispatch returns
        NTSTATUS status;     // how the transfer completes (STATUS_PENDING: it does not)
        USBD_STATUS usbd;
        ULONG moved;         // of 10 bytes asked (IN: 10 available); a failure moves none
    } cases[] = {
        {"stall", Fault::Stall(), STATUS_PENDING, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
        {"fail at once", Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR), STATUS_IO_DEVICE_ERROR,
         STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 0},
        {"never complete", Fault::NeverComplete(), STATUS_PENDING, STATUS_PENDING, 0, 0},
        {"complete short", Fault::CompleteShort(3), STATUS_PENDING, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 3},
        {"delay", Fault::After(5'000'000), STATUS_PENDING, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10},
    };
    for (const Case &c : cases) {
        for (UCHAR endpoint : {kOut, kIn}) {
            SCOPED_TRACE(std::string(c.name) + (endpoint == kIn ? " IN" : " OUT"));
            PlugConfigured();
            bool in = endpoint == kIn;
            if (in)
                card_->Send(Bytes(10, 0x42));
            device_->ScriptFault(endpoint, c.fault);
            int64_t start = sim::InterruptTime();
            std::unique_ptr<UrbRequest> t = StartBulk(in ? InPipe() : OutPipe(), 10, Bytes(10, 0x24), in);
            EXPECT_EQ(t->Returned, c.returned);
            if (c.status == STATUS_PENDING) {
                EXPECT_EQ(device_->PendingTransfers(), 1u);
                EXPECT_FALSE(t->Req().Completed());
                ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, in ? InPipe() : OutPipe()), STATUS_SUCCESS);
                EXPECT_EQ(t->Wait(), STATUS_CANCELLED);
            } else {
                EXPECT_EQ(t->Wait(), c.status);
                EXPECT_EQ(t->Urb()->UrbHeader.Status, c.usbd);
                EXPECT_EQ(t->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);
            }
            if (c.fault.Action == FaultAction::Delay) {
                EXPECT_GE(sim::InterruptTime() - start, c.fault.Delay);
            }
            if (c.fault.Action == FaultAction::CompleteShort) {
                if (in) {
                    EXPECT_EQ(t->Buffer[2], 0x42);
                    EXPECT_EQ(t->Buffer[3], 0x24); // the rest of the buffer is untouched
                } else {
                    EXPECT_EQ(card_->ReceivedBytes().size(), 3u);
                }
            }
            // The fault was for the next transfer only (a stall leaves the endpoint halted).
            if (c.fault.Action == FaultAction::Stall) {
                ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in ? InPipe() : OutPipe()),
                          STATUS_SUCCESS);
            }
            if (in)
                card_->Send(Bytes(10, 0x43));
            Bytes again(10, 0x11);
            ULONG moved = 0;
            EXPECT_EQ(Bulk(in ? InPipe() : OutPipe(), &again, in, &moved), STATUS_SUCCESS);
            UnplugAndRemove();
        }
    }
}

TEST_F(BusTransferTest, StalledEndpointStaysHaltedUntilReset)
{
    PlugConfigured();
    device_->ScriptFault(kOut, Fault::Stall());
    Bytes data = {1, 2};
    ULONG moved = 0;
    EXPECT_EQ(Bulk(OutPipe(), &data, false, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Bulk(OutPipe(), &data, false, &moved), STATUS_UNSUCCESSFUL);

    Bytes status(2);
    UrbRequest u(fdo_, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
    UsbBuildGetStatusRequest(u.Urb(), URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, kOut, status.data(), nullptr, nullptr);
    u.Send();
    EXPECT_EQ(u.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(status, (Bytes{1, 0}));

    ASSERT_EQ(ResetPort(), STATUS_SUCCESS); // a port reset clears the halt too
    EXPECT_EQ(Bulk(OutPipe(), &data, false, &moved), STATUS_SUCCESS);
    EXPECT_EQ(card_->ReceivedBytes(), (Bytes{1, 2})); // stalled transfers delivered nothing
}

TEST_F(BusTransferTest, EveryAndOrderedFaults)
{
    PlugConfigured();
    device_->ScriptFault(kOut, Fault::CompleteShort(1));
    device_->ScriptFault(kOut, Fault::Fail(USBD_STATUS_XACT_ERROR, STATUS_IO_DEVICE_ERROR, true));
    Bytes data = {1, 2, 3};
    ULONG moved = 0;
    EXPECT_EQ(Bulk(OutPipe(), &data, false, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(Bulk(OutPipe(), &data, false, &moved), STATUS_IO_DEVICE_ERROR);
    device_->ClearFaults();
    EXPECT_EQ(Bulk(OutPipe(), &data, false, &moved), STATUS_SUCCESS);
}

TEST_F(BusTransferTest, DelayedAndNeverCompletingControlRequestsAreCancelled)
{
    PlugConfigured();
    for (Fault fault : {Fault::After(100'000'000), Fault::NeverComplete()}) {
        device_->ScriptFault(0, fault);
        UrbRequest u(fdo_, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        u.Buffer.resize(18);
        UsbBuildGetDescriptorRequest(u.Urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                     0, 0, u.Buffer.data(), nullptr, 18, nullptr);
        EXPECT_EQ(u.Send(), STATUS_PENDING);
        EXPECT_EQ(device_->PendingTransfers(), 1u);
        EXPECT_TRUE(u.Req().Cancel());
        EXPECT_EQ(u.Wait(), STATUS_CANCELLED);
        EXPECT_EQ(u.Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
        // The cancelled delay never fires into the request.
        sim::AdvanceClock(200'000'000);
        EXPECT_EQ(u.Req().Completions(), 1);
        EXPECT_EQ(device_->PendingTransfers(), 0u);
    }
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, nullptr), STATUS_SUCCESS);
}

TEST_F(BusTransferTest, ControlPipeFaultsAndResetFaults)
{
    PlugConfigured();
    device_->ScriptFault(0, Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR));
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, nullptr), STATUS_IO_DEVICE_ERROR);
    device_->ScriptFault(0, Fault::Stall());
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, nullptr), STATUS_SUCCESS); // EP0 never halts

    device_->ScriptResetPipeFault(Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL));
    device_->ScriptResetPortFault(Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR));
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, OutPipe()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ResetPort(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, OutPipe()), STATUS_SUCCESS);
    EXPECT_EQ(ResetPort(), STATUS_SUCCESS);
}

// ============================================================================================
// Control requests
// ============================================================================================

TEST_F(BusTransferTest, SerialClassRequestsReachTheModelInOrder)
{
    PlugConfigured();
    Bytes coding = {0x80, 0x25, 0, 0, 0, 0, 8}; // 9600 8N1, one byte short
    EXPECT_EQ(VendorOrClass(URB_FUNCTION_CLASS_INTERFACE, CardReaderModel::SetLineCoding, 0, 0, false, &coding),
              STATUS_UNSUCCESSFUL);
    coding.push_back(0);
    EXPECT_EQ(VendorOrClass(URB_FUNCTION_CLASS_INTERFACE, CardReaderModel::SetLineCoding, 0, 0, false, &coding),
              STATUS_SUCCESS);
    EXPECT_EQ(VendorOrClass(URB_FUNCTION_CLASS_INTERFACE, CardReaderModel::SetControlLineState, 2, 0, false, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(VendorOrClass(URB_FUNCTION_CLASS_INTERFACE, CardReaderModel::SetControlLineState, 3, 0, false, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(card_->LineCodings(), std::vector<Bytes>{coding});
    EXPECT_EQ(card_->ControlLineStates(), (std::vector<USHORT>{2, 3}));

    std::vector<LoggedRequest> log = device_->Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].Setup, (sim::usb::SetupPacket{0x21, 0x20, 0, 0, 8}));
    EXPECT_EQ(log[1].Data, coding);
    EXPECT_EQ(log[2].Setup, (sim::usb::SetupPacket{0x21, 0x22, 2, 0, 0}));
    EXPECT_EQ(log[3].Setup, (sim::usb::SetupPacket{0x21, 0x22, 3, 0, 0}));
}

TEST_F(BusTransferTest, VendorAndClassFunctionsBuildTheirSetupPackets)
{
    PlugConfigured();
    struct Case {
        USHORT function;
        bool in;
        UCHAR requestType;
    } cases[] = {
        {URB_FUNCTION_VENDOR_DEVICE, false, 0x40},   {URB_FUNCTION_VENDOR_INTERFACE, true, 0xC1},
        {URB_FUNCTION_VENDOR_ENDPOINT, false, 0x42}, {URB_FUNCTION_VENDOR_OTHER, true, 0xC3},
        {URB_FUNCTION_CLASS_DEVICE, true, 0xA0},     {URB_FUNCTION_CLASS_INTERFACE, true, 0xA1},
        {URB_FUNCTION_CLASS_ENDPOINT, false, 0x22},  {URB_FUNCTION_CLASS_OTHER, false, 0x23},
    };
    for (const Case &c : cases) {
        Bytes data(3, 0x5A);
        device_->ClearLog();
        // The card reader knows none of these: the device stalls them.
        EXPECT_EQ(VendorOrClass(c.function, 0x10, 0x1234, 0x0005, c.in, &data), STATUS_UNSUCCESSFUL);
        std::vector<LoggedRequest> log = device_->Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].Kind, RequestKind::VendorOrClass);
        EXPECT_EQ(log[0].Function, c.function);
        EXPECT_EQ(log[0].Setup, (sim::usb::SetupPacket{c.requestType, 0x10, 0x1234, 0x0005, 3}));
        EXPECT_EQ(log[0].Data, c.in ? Bytes{} : data);
    }
}

TEST_F(BusTransferTest, GetStatusOfEachRecipient)
{
    PlugConfigured();
    for (USHORT function : {URB_FUNCTION_GET_STATUS_FROM_DEVICE, URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                            URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, URB_FUNCTION_GET_STATUS_FROM_OTHER}) {
        Bytes status = {0xEE, 0xEE};
        UrbRequest u(fdo_, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
        UsbBuildGetStatusRequest(u.Urb(), function, 0, status.data(), nullptr, nullptr);
        u.Send();
        EXPECT_EQ(u.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(status, (Bytes{0, 0}));
        EXPECT_EQ(u.Urb()->UrbControlGetStatusRequest.TransferBufferLength, 2u);
        LoggedRequest entry = device_->Log().back();
        EXPECT_EQ(entry.Kind, RequestKind::GetStatus);
        EXPECT_EQ(entry.Setup.RequestType & 0x1f, function == URB_FUNCTION_GET_STATUS_FROM_OTHER ? 3 : function - 0x13);
    }
}

} // namespace
} // namespace usb_test
