// The eight control codes: buffer lengths, what goes to the device, what the caller receives.
#include "tests/transport/transport_rig.h"

#include <functional>

namespace transport_test {
namespace {

using sim::usb::CardReaderModel;
using sim::usb::SetupPacket;

// The card reader/writer, taking every host-to-device vendor or class request, answering every
// device-to-host one with three bytes, and stalling requests whose bRequest is 0xEE.
class AnsweringModel : public CardReaderModel {
public:
    USBD_STATUS Control(const SetupPacket &setup, const Bytes &out, Bytes *in) override
    {
        if (setup.Request == 0xEE) {
            return USBD_STATUS_STALL_PID;
        }
        if (setup.Type() != 0) {
            if (setup.IsIn()) {
                *in = {0x11, 0x22, 0x33};
            }
            return USBD_STATUS_SUCCESS;
        }
        return CardReaderModel::Control(setup, out, in);
    }
};

Bytes Header(USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, Bytes data = {})
{
    ControlRequestHeader header{};
    header.Function = function;
    header.TransferFlags = flags;
    header.ReservedBits = 0;
    header.Request = request;
    header.Value = value;
    header.Index = index;
    Bytes bytes(sizeof(header));
    memcpy(bytes.data(), &header, sizeof(header));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

USHORT IndexIn(const Bytes &buffer)
{
    return static_cast<USHORT>(buffer[12] | (buffer[13] << 8));
}

// Information expected to be the length the answer itself gives in its first byte.
constexpr ULONG_PTR kAnswerLength = ~ULONG_PTR(0);

struct ControlCase {
    const char *Name;
    ULONG Code;
    Bytes Input;
    ULONG OutputLength;
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<RequestKind> Sent;
    // Further checks of the request the device saw (the last logged one) and of the buffer.
    std::function<void(const LoggedRequest &, const ControlResult &)> Check;
};

void PrintTo(const ControlCase &c, std::ostream *out)
{
    *out << c.Name;
}

class ControlTable : public TransportTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlTable, ServesTheCode)
{
    const ControlCase &c = GetParam();
    Rig rig;
    ASSERT_EQ(rig.Plug(std::make_shared<AnsweringModel>()), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File pipe(u"if0pipe1");
    ASSERT_EQ(rig.Open(pipe), STATUS_SUCCESS);
    rig.ClearLog();

    ControlResult result = rig.Control(c.Code, c.Input, c.OutputLength, &pipe);
    EXPECT_EQ(result.Status, c.Status);
    if (c.Information == kAnswerLength) {
        ASSERT_FALSE(result.Buffer.empty());
        EXPECT_EQ(result.Information, result.Buffer[0]);
        EXPECT_GT(result.Information, 2u);
    } else {
        EXPECT_EQ(result.Information, c.Information);
    }
    std::vector<LoggedRequest> log = rig.Log();
    EXPECT_EQ(Kinds(log), c.Sent) << Describe(log);
    if (c.Check && !log.empty()) {
        c.Check(log.back(), result);
    }
    EXPECT_EQ(rig.Close(pipe), STATUS_SUCCESS);
}

const auto kNone = std::vector<RequestKind>{};
const auto kDescriptor = std::vector<RequestKind>{RequestKind::GetDescriptor};
const auto kStatus = std::vector<RequestKind>{RequestKind::GetStatus};
const auto kVendor = std::vector<RequestKind>{RequestKind::VendorOrClass};

std::function<void(const LoggedRequest &, const ControlResult &)> StatusFunction(USHORT function)
{
    return [function](const LoggedRequest &r, const ControlResult &) { EXPECT_EQ(r.Function, function); };
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ControlTable,
    ::testing::Values(
        ControlCase{"QueryReady", IOCTL_CARDRW_QUERY_READY, {}, 4, STATUS_SUCCESS, 4, kNone, nullptr},
        ControlCase{"QueryReadyLongOutput", IOCTL_CARDRW_QUERY_READY, {}, 8, STATUS_INVALID_PARAMETER, 0, kNone,
                    nullptr},
        ControlCase{"QueryReadyShortOutput", IOCTL_CARDRW_QUERY_READY, {}, 3, STATUS_INVALID_PARAMETER, 0, kNone,
                    nullptr},
        ControlCase{"DeviceDescriptorDropsLanguage", IOCTL_CARDRW_GET_DESCRIPTOR, {1, 0, 0x09, 0x04}, 18,
                    STATUS_SUCCESS, 18, kDescriptor,
                    [](const LoggedRequest &r, const ControlResult &res) {
                        EXPECT_EQ(r.Setup.Value, 0x0100);
                        EXPECT_EQ(r.Setup.Index, 0);
                        EXPECT_EQ(r.Length, 18u);
                        EXPECT_EQ(res.Buffer[0], 18);
                        EXPECT_EQ(res.Buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);
                    }},
        ControlCase{"StringDescriptorKeepsLanguage", IOCTL_CARDRW_GET_DESCRIPTOR, {3, 2, 0x09, 0x04}, 64,
                    STATUS_SUCCESS, kAnswerLength, kDescriptor,
                    [](const LoggedRequest &r, const ControlResult &res) {
                        EXPECT_EQ(r.Setup.Value, 0x0302);
                        EXPECT_EQ(r.Setup.Index, 0x0409);
                        EXPECT_EQ(r.Length, 64u);
                    }},
        ControlCase{"DescriptorShortInput", IOCTL_CARDRW_GET_DESCRIPTOR, {1, 0, 0}, 18, STATUS_INVALID_PARAMETER,
                    0, kNone, nullptr},
        ControlCase{"DescriptorLongInput", IOCTL_CARDRW_GET_DESCRIPTOR, {1, 0, 0, 0, 0}, 18,
                    STATUS_INVALID_PARAMETER, 0, kNone, nullptr},
        ControlCase{"ResetPipeOfHandle", IOCTL_CARDRW_RESET_PIPE, {}, 0, STATUS_SUCCESS, 0,
                    {RequestKind::ResetPipe},
                    [](const LoggedRequest &r, const ControlResult &) { EXPECT_EQ(r.Endpoint, 0x81); }},
        ControlCase{"ResetPort", IOCTL_CARDRW_RESET_PORT, {}, 0, STATUS_SUCCESS, 0, {RequestKind::ResetPort},
                    nullptr},
        ControlCase{"StatusOfDevice", IOCTL_CARDRW_GET_STATUS, {0, 0, 0, 0}, 2, STATUS_SUCCESS, 2, kStatus,
                    StatusFunction(URB_FUNCTION_GET_STATUS_FROM_DEVICE)},
        ControlCase{"StatusOfInterface", IOCTL_CARDRW_GET_STATUS, {1, 0, 0, 0}, 2, STATUS_SUCCESS, 2, kStatus,
                    StatusFunction(URB_FUNCTION_GET_STATUS_FROM_INTERFACE)},
        ControlCase{"StatusOfEndpoint", IOCTL_CARDRW_GET_STATUS, {2, 0, 0x81, 0}, 2, STATUS_SUCCESS, 2, kStatus,
                    [](const LoggedRequest &r, const ControlResult &) {
                        EXPECT_EQ(r.Function, URB_FUNCTION_GET_STATUS_FROM_ENDPOINT);
                        EXPECT_EQ(r.Setup.Index, 0x81);
                    }},
        ControlCase{"StatusOfOther", IOCTL_CARDRW_GET_STATUS, {7, 0, 0, 0}, 2, STATUS_SUCCESS, 2, kStatus,
                    StatusFunction(URB_FUNCTION_GET_STATUS_FROM_OTHER)},
        ControlCase{"StatusLongOutput", IOCTL_CARDRW_GET_STATUS, {0, 0, 0, 0}, 4, STATUS_INVALID_PARAMETER, 0,
                    kNone, nullptr},
        ControlCase{"StatusShortInput", IOCTL_CARDRW_GET_STATUS, {0, 0}, 2, STATUS_INVALID_PARAMETER, 0, kNone,
                    nullptr},
        ControlCase{"OutWithoutData", IOCTL_CARDRW_CONTROL_OUT,
                    Header(URB_FUNCTION_CLASS_INTERFACE, 2, 0x22, 3, 0), 0, STATUS_SUCCESS, 0, kVendor,
                    [](const LoggedRequest &r, const ControlResult &) {
                        EXPECT_EQ(r.Setup.Length, 0);
                        EXPECT_EQ(r.Setup.Request, 0x22);
                        EXPECT_EQ(r.Setup.Value, 3);
                    }},
        ControlCase{"OutWithDataOverwritesIndex", IOCTL_CARDRW_CONTROL_OUT,
                    Header(URB_FUNCTION_CLASS_INTERFACE, 2, 0x20, 0, 5, {1, 2, 3, 4, 5, 6, 7}), 0, STATUS_SUCCESS,
                    7, kVendor,
                    [](const LoggedRequest &r, const ControlResult &res) {
                        EXPECT_EQ(r.Setup.Index, 0);
                        EXPECT_EQ(IndexIn(res.Buffer), 0);
                        EXPECT_EQ(r.Setup.Length, 7);
                        EXPECT_EQ(r.Data, (Bytes{1, 2, 3, 4, 5, 6, 7}));
                        EXPECT_EQ(r.Function, URB_FUNCTION_CLASS_INTERFACE);
                    }},
        ControlCase{"OutFlagsOneStillHostToDevice", IOCTL_CARDRW_CONTROL_OUT,
                    Header(URB_FUNCTION_VENDOR_DEVICE, 1, 0x40, 0, 0, {9}), 0, STATUS_SUCCESS, 1, kVendor,
                    [](const LoggedRequest &r, const ControlResult &) {
                        EXPECT_FALSE(r.Setup.IsIn());
                        EXPECT_EQ(r.Function, URB_FUNCTION_VENDOR_DEVICE);
                    }},
        ControlCase{"OutFailedKeepsDataLength", IOCTL_CARDRW_CONTROL_OUT,
                    Header(URB_FUNCTION_VENDOR_DEVICE, 2, 0xEE, 0, 0, {1, 2}), 0, STATUS_UNSUCCESSFUL, 2, kVendor,
                    nullptr},
        ControlCase{"OutShortInput", IOCTL_CARDRW_CONTROL_OUT, Bytes(15, 0), 0, STATUS_INVALID_PARAMETER, 0, kNone,
                    nullptr},
        ControlCase{"InReportsTheBytesReturned", IOCTL_CARDRW_CONTROL_IN,
                    Header(URB_FUNCTION_VENDOR_DEVICE, 3, 0x41, 0, 5), 8, STATUS_SUCCESS, 3, kVendor,
                    [](const LoggedRequest &r, const ControlResult &res) {
                        EXPECT_TRUE(r.Setup.IsIn());
                        EXPECT_EQ(r.Setup.Length, 8);
                        EXPECT_EQ(r.Setup.Index, 0);
                        EXPECT_EQ(Bytes(res.Buffer.begin(), res.Buffer.begin() + 3), (Bytes{0x11, 0x22, 0x33}));
                    }},
        ControlCase{"InLongerOutputThanInput", IOCTL_CARDRW_CONTROL_IN,
                    Header(URB_FUNCTION_CLASS_INTERFACE, 3, 0x21, 0, 0), 64, STATUS_SUCCESS, 3, kVendor, nullptr},
        ControlCase{"InFailedReportsNothing", IOCTL_CARDRW_CONTROL_IN,
                    Header(URB_FUNCTION_VENDOR_DEVICE, 3, 0xEE, 0, 0), 8, STATUS_UNSUCCESSFUL, 0, kVendor, nullptr},
        ControlCase{"InShortInput", IOCTL_CARDRW_CONTROL_IN, Bytes(15, 0), 8, STATUS_INVALID_PARAMETER, 0, kNone,
                    nullptr},
        ControlCase{"UnknownCode", CTL_CODE(FILE_DEVICE_UNKNOWN, 8, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 0,
                    STATUS_INVALID_PARAMETER, 0, kNone, nullptr}),
    [](const ::testing::TestParamInfo<ControlCase> &info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------------------------

TEST_F(TransportTest, ControlCodesAnswersThatDependOnTheDevice)
{
    Rig rig;
    ASSERT_EQ(rig.Plug(std::make_shared<sim::usb::DescriptorOnlyModel>(sim::usb::descriptors::CardReaderDevice(),
                                                                       sim::usb::descriptors::TwoInterfaces())),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    Bytes config = sim::usb::descriptors::TwoInterfaces();
    ULONG total = static_cast<ULONG>(config.size());

    ControlResult exact = rig.Control(IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR, {}, total);
    EXPECT_EQ(exact.Status, STATUS_SUCCESS);
    EXPECT_EQ(exact.Information, total);
    EXPECT_EQ(exact.Buffer, config);
    ControlResult shorter = rig.Control(IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR, {}, total - 1);
    EXPECT_EQ(shorter.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(shorter.Information, 0u);

    // Every transfer carries the last interface number, 1 here.
    rig.ClearLog();
    ControlResult out = rig.Control(IOCTL_CARDRW_CONTROL_OUT, Header(URB_FUNCTION_CLASS_INTERFACE, 2, 0x22, 0, 0), 0);
    EXPECT_EQ(IndexIn(out.Buffer), 1);
    ASSERT_EQ(rig.Log().size(), 1u);
    EXPECT_EQ(rig.Log()[0].Setup.Index, 1);

    // Reset-pipe without a pipe handle.
    File device(u"");
    ASSERT_EQ(rig.Open(device), STATUS_SUCCESS);
    EXPECT_EQ(rig.Control(IOCTL_CARDRW_RESET_PIPE, {}, 0, &device).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Control(IOCTL_CARDRW_RESET_PIPE, {}, 0, nullptr).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Close(device), STATUS_SUCCESS);
}

TEST_F(TransportTest, ControlCodesAreRefusedWhileAStopOrRemovalIsPending)
{
    const ULONG codes[] = {IOCTL_CARDRW_QUERY_READY, IOCTL_CARDRW_GET_DESCRIPTOR, IOCTL_CARDRW_RESET_PIPE,
                           IOCTL_CARDRW_RESET_PORT, IOCTL_CARDRW_GET_STATUS, IOCTL_CARDRW_CONTROL_OUT,
                           IOCTL_CARDRW_CONTROL_IN, IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR};
    const UCHAR queries[][2] = {{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
                                {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}};
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    for (const auto &pair : queries) {
        ASSERT_EQ(rig.Pnp(pair[0]), STATUS_SUCCESS);
        rig.ClearLog();
        for (ULONG code : codes) {
            ControlResult result = rig.Control(code, Bytes(16, 0), 4);
            EXPECT_EQ(result.Status, STATUS_DELETE_PENDING) << std::hex << code;
            EXPECT_EQ(result.Information, 0u);
        }
        EXPECT_TRUE(rig.Log().empty()) << Describe(rig.Log());
        ASSERT_EQ(rig.Pnp(pair[1]), STATUS_SUCCESS);
        ControlResult ready = rig.Control(IOCTL_CARDRW_QUERY_READY, {}, 4);
        EXPECT_EQ(ready.Status, STATUS_SUCCESS);
        EXPECT_EQ(ready.Buffer[0], 1);
    }
}

// The transfer flags as they reach the bus: only the short-transfer flag of the header is taken
// over, and the direction comes from the code.
TEST_F(TransportTest, TransferFlagsFollowTheCodeAndTheShortTransferBit)
{
    struct Case {
        ULONG Code;
        ULONG HeaderFlags;
        ULONG UrbFlags;
    } cases[] = {
        {IOCTL_CARDRW_CONTROL_OUT, 2, USBD_SHORT_TRANSFER_OK},
        {IOCTL_CARDRW_CONTROL_OUT, 1, 0},
        {IOCTL_CARDRW_CONTROL_OUT, 3, USBD_SHORT_TRANSFER_OK},
        {IOCTL_CARDRW_CONTROL_OUT, 0xFFFFFFFF, USBD_SHORT_TRANSFER_OK},
        {IOCTL_CARDRW_CONTROL_IN, 3, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN},
        {IOCTL_CARDRW_CONTROL_IN, 0, USBD_TRANSFER_DIRECTION_IN},
        {IOCTL_CARDRW_CONTROL_IN, 0xFFFFFFFD, USBD_TRANSFER_DIRECTION_IN},
    };
    Rig rig;
    rig.UseLowerFilter();
    ASSERT_EQ(rig.Plug(std::make_shared<AnsweringModel>()), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.Code << " flags " << c.HeaderFlags);
        rig.ClearSeenUrbs();
        ControlResult result = rig.Control(c.Code, Header(URB_FUNCTION_VENDOR_DEVICE, c.HeaderFlags, 0x41, 0, 0), 
                                           c.Code == IOCTL_CARDRW_CONTROL_IN ? 8 : 0);
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        std::vector<SeenUrb> seen = rig.SeenUrbs();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].Function, URB_FUNCTION_VENDOR_DEVICE);
        EXPECT_EQ(seen[0].TransferFlags, c.UrbFlags);
    }
}

}  // namespace
}  // namespace transport_test
