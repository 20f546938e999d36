// Start of the transport: descriptor reads, configuration selection and the table, including
// configuration descriptors that are malformed and must be refused without reading outside them.
#include "tests/transport/transport_rig.h"

namespace transport_test {
namespace {

namespace d = sim::usb::descriptors;

// The lengths of the descriptor reads, in order, and whether a configuration was selected.
struct StartTrace {
    std::vector<ULONG> DescriptorLengths;
    int Selections = 0;
};

StartTrace TraceOf(const std::vector<LoggedRequest> &log)
{
    StartTrace trace;
    for (const LoggedRequest &entry : log) {
        if (entry.Kind == RequestKind::GetDescriptor) {
            trace.DescriptorLengths.push_back(entry.Length);
        } else if (entry.Kind == RequestKind::SelectConfiguration) {
            ++trace.Selections;
        } else {
            ADD_FAILURE() << "unexpected request at start: " << Describe(log);
        }
    }
    return trace;
}

Bytes WithHeaderLength(Bytes bytes, UCHAR bLength)
{
    bytes[0] = bLength;
    return bytes;
}

Bytes WithTotalLength(Bytes bytes, int delta)
{
    sim::usb::SetTotalLength(bytes, static_cast<USHORT>(sim::usb::TotalLength(bytes) + delta));
    return bytes;
}

struct StartCase {
    const char *Name;
    Bytes Configuration;
    NTSTATUS Status;
    std::vector<ULONG> DescriptorLengths;   // device descriptor first, then the configuration reads
    bool Selected;
    std::vector<sim::usb::Fault> ControlFaults = {};   // scripted on the control pipe, in order
};

void PrintTo(const StartCase &c, std::ostream *out)
{
    *out << c.Name;
}

class StartTable : public TransportTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartTable, ReadsSelectsOrRefuses)
{
    const StartCase &c = GetParam();
    Rig rig;
    ASSERT_EQ(rig.Plug(std::make_shared<sim::usb::DescriptorOnlyModel>(d::CardReaderDevice(), c.Configuration)),
              STATUS_SUCCESS);
    for (const sim::usb::Fault &fault : c.ControlFaults) {
        rig.Device().ScriptFault(0, fault);
    }
    EXPECT_EQ(rig.Start(), c.Status);

    StartTrace trace = TraceOf(rig.Log());
    EXPECT_EQ(trace.DescriptorLengths, c.DescriptorLengths) << Describe(rig.Log());
    EXPECT_EQ(trace.Selections, c.Selected ? 1 : 0) << Describe(rig.Log());
    EXPECT_EQ(FlagIsSet(&rig.Ext()->Started), NT_SUCCESS(c.Status));
    if (!NT_SUCCESS(c.Status)) {
        // Nothing of a failed start stays behind, and the device refuses requests.
        EXPECT_EQ(rig.Ext()->ConfigDescriptor, nullptr);
        EXPECT_EQ(rig.Ext()->Interfaces, nullptr);
        File pipe(u"if0pipe0");
        EXPECT_EQ(rig.Open(pipe), STATUS_DELETE_PENDING);
    }
}

const Bytes kCard = d::CardReaderConfiguration();

INSTANTIATE_TEST_SUITE_P(
    Configurations, StartTable,
    ::testing::Values(
        StartCase{"CardReader", kCard, STATUS_SUCCESS, {18, 521}, true},
        StartCase{"Exactly521", d::LongConfiguration(521), STATUS_SUCCESS, {18, 521}, true},
        StartCase{"Longer600ReadTwice", d::LongConfiguration(600), STATUS_SUCCESS, {18, 521, 600}, true},
        StartCase{"TwoInterfaces", d::TwoInterfaces(), STATUS_SUCCESS, {18, 521}, true},
        StartCase{"NoInterfaceDescriptor", d::NoInterfaces(), STATUS_INSUFFICIENT_RESOURCES, {18, 521}, false},
        StartCase{"ZeroBytesNotAskedAgain", kCard, STATUS_DEVICE_DATA_ERROR, {18, 521}, false,
                  {sim::usb::Fault::After(0), sim::usb::Fault::CompleteShort(0)}},
        StartCase{"ConfigurationStalled", Bytes{}, STATUS_UNSUCCESSFUL, {18, 521}, false},
        StartCase{"ShorterThanHeader", Bytes{9, 2, 4, 0}, STATUS_DEVICE_DATA_ERROR, {18, 521}, false},
        StartCase{"HeaderLengthZero", WithHeaderLength(kCard, 0), STATUS_DEVICE_DATA_ERROR, {18, 521}, false},
        StartCase{"DescriptorLengthZero", d::ZeroLengthDescriptor(), STATUS_DEVICE_DATA_ERROR, {18, 521}, false},
        StartCase{"TruncatedEndpoint", d::TruncatedEndpoint(), STATUS_DEVICE_DATA_ERROR, {18, 521}, false},
        StartCase{"TotalLongerThanReturned", WithTotalLength(kCard, 8), STATUS_DEVICE_DATA_ERROR, {18, 521}, false},
        StartCase{"TotalShorterThanReturned", WithTotalLength(kCard, -3), STATUS_DEVICE_DATA_ERROR, {18, 521},
                  false},
        StartCase{"TotalBeyondDeviceBytes", WithTotalLength(d::LongConfiguration(600), 40),
                  STATUS_DEVICE_DATA_ERROR, {18, 521, 640}, false}),
    [](const ::testing::TestParamInfo<StartCase> &info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------------------------

TEST_F(TransportTest, TableFollowsTheSelectionAndTheLastInterfaceNumber)
{
    Rig rig;
    ASSERT_EQ(rig.Plug(std::make_shared<sim::usb::DescriptorOnlyModel>(d::CardReaderDevice(), d::TwoInterfaces())),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    TRANSPORT_EXTENSION *ext = rig.Ext();
    ASSERT_EQ(ext->InterfaceCount, 2u);
    EXPECT_EQ(ext->InterfaceNumber, 1u);
    for (ULONG i = 0; i < ext->InterfaceCount; ++i) {
        ASSERT_EQ(ext->Interfaces[i].PipeCount, 2u);
        for (ULONG p = 0; p < 2; ++p) {
            EXPECT_EQ(ext->Interfaces[i].Pipes[p].Info.MaximumTransferSize, 256u);
            EXPECT_EQ(ext->Interfaces[i].Pipes[p].OpenCount, 0);
        }
    }
    EXPECT_EQ(ext->Interfaces[1].Pipes[0].Info.EndpointAddress, 0x03);
    EXPECT_EQ(ext->Interfaces[1].Pipes[1].Info.EndpointAddress, 0x84);
}

TEST_F(TransportTest, EveryPipeIsSelectedWithAMaximumTransferSizeOf256)
{
    // Interrupt and bulk pipes alike, as the selection request goes down.
    Rig rig;
    rig.UseLowerFilter();
    ASSERT_EQ(rig.Plug(std::make_shared<sim::usb::DescriptorOnlyModel>(d::CardReaderDevice(), d::InterruptAndBulk())),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    std::vector<ULONG> sizes;
    for (const SeenUrb &urb : rig.SeenUrbs()) {
        if (urb.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            sizes = urb.MaximumTransferSizes;
        }
    }
    EXPECT_EQ(sizes, (std::vector<ULONG>{256, 256, 256}));
    EXPECT_EQ(rig.Ext()->Interfaces[0].PipeCount, 3u);
}

TEST_F(TransportTest, AlternateSettingsAreListedUpToTheDeclaredInterfaceCount)
{
    struct Case {
        UCHAR NumInterfaces;
        ULONG Entries;
    };
    for (Case c : {Case{1, 1}, Case{2, 2}}) {
        SCOPED_TRACE(int(c.NumInterfaces));
        Rig rig;
        ASSERT_EQ(rig.Plug(std::make_shared<sim::usb::DescriptorOnlyModel>(d::CardReaderDevice(),
                                                                           d::AlternateSetting(c.NumInterfaces))),
                  STATUS_SUCCESS);
        NTSTATUS status = rig.Start();
        if (c.Entries == 1) {
            ASSERT_EQ(status, STATUS_SUCCESS);
        }
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(rig.Ext()->InterfaceCount, c.Entries);
            EXPECT_EQ(rig.Ext()->InterfaceNumber, 0u);
        }
    }
}

TEST_F(TransportTest, FailedDescriptorOrSelectionRequestFailsTheStartWithItsStatus)
{
    // The control pipe fails the Nth request of the start: device descriptor, configuration
    // descriptor or selection.
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        Rig rig;
        ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
        for (int i = 0; i < failing; ++i) {
            rig.Device().ScriptFault(0, sim::usb::Fault::After(0));
        }
        rig.Device().ScriptFault(0, sim::usb::Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR));
        EXPECT_EQ(rig.Start(), STATUS_IO_DEVICE_ERROR);
        EXPECT_FALSE(FlagIsSet(&rig.Ext()->Started));
        EXPECT_EQ(rig.Ext()->Interfaces, nullptr);

        // A later start builds everything afresh.
        rig.Device().ClearFaults();
        rig.ClearLog();
        EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
        EXPECT_EQ(TraceOf(rig.Log()).DescriptorLengths, (std::vector<ULONG>{18, 521}));
    }
}

TEST_F(TransportTest, WellFormednessCheckStaysInsideTheBuffer)
{
    // Cases the bus cannot produce: the walk itself on hand-made bytes.
    Bytes card = d::CardReaderConfiguration();
    EXPECT_TRUE(ConfigDescriptorIsWellFormed(card.data(), static_cast<ULONG>(card.size())));
    EXPECT_FALSE(ConfigDescriptorIsWellFormed(card.data(), static_cast<ULONG>(card.size()) - 1));
    Bytes wrongType = card;
    wrongType[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_FALSE(ConfigDescriptorIsWellFormed(wrongType.data(), static_cast<ULONG>(wrongType.size())));
    // An interface descriptor that claims fewer than 9 bytes would move the walk past its end.
    Bytes shortInterface = card;
    shortInterface[9] = 5;
    EXPECT_FALSE(ConfigDescriptorIsWellFormed(shortInterface.data(), static_cast<ULONG>(shortInterface.size())));
    // One trailing byte cannot hold a descriptor header.
    Bytes trailing = card;
    trailing.push_back(0);
    sim::usb::SetTotalLength(trailing, static_cast<USHORT>(trailing.size()));
    EXPECT_FALSE(ConfigDescriptorIsWellFormed(trailing.data(), static_cast<ULONG>(trailing.size())));
}

}  // namespace
}  // namespace transport_test
