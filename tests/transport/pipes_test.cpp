// Pipe handles: names, opens of open pipes with their resets, the device handle, and handles
// that outlive the table they were opened on.
#include "tests/transport/transport_rig.h"

namespace transport_test {
namespace {

// ---------------------------------------------------------------------------------------------
// Pipe names
// ---------------------------------------------------------------------------------------------

struct NameCase {
    std::u16string Name;
    bool Valid;
    ULONG Interface;
    ULONG Pipe;
};

TEST(PipeNameScan, ReadsTheFirstTwoDigitRuns)
{
    const NameCase cases[] = {
        {u"if0pipe1", true, 0, 1},
        {u"\\if0pipe1", true, 0, 1},
        {u"\\3-12", true, 3, 12},
        {u"12x34", true, 12, 34},
        {u"7 8 9", true, 7, 8},
        {u"if01pipe007tail", true, 1, 7},
        {u"4294967297x1", true, 1, 1},   // wraps in 32 bits
        {u"a1b", false, 0, 0},
        {u"pipe5", false, 0, 0},
        {u"if0", false, 0, 0},
        {u"12", false, 0, 0},
        {u"ifpipe", false, 0, 0},
        {u"", false, 0, 0},
        {std::u16string(u"if0\0pipe1", 9), false, 0, 0},   // the name ends at a zero character
    };
    for (const NameCase &c : cases) {
        ULONG iface = 99;
        ULONG pipe = 99;
        BOOLEAN valid = ParsePipeNameIndices(c.Name.data(), static_cast<ULONG>(c.Name.size()), &iface, &pipe);
        EXPECT_EQ(valid != FALSE, c.Valid) << std::string(c.Name.begin(), c.Name.end());
        if (c.Valid && valid) {
            EXPECT_EQ(iface, c.Interface);
            EXPECT_EQ(pipe, c.Pipe);
        }
    }
    // The length bounds the scan: "if0pipe1" cut after 5 characters has one run only.
    ULONG iface = 0;
    ULONG pipe = 0;
    EXPECT_FALSE(ParsePipeNameIndices(u"if0pipe1", 5, &iface, &pipe));
}

struct OpenCase {
    const char16_t *Name;
    NTSTATUS Status;
};

TEST_F(TransportTest, OpensByNameAgainstTheTable)
{
    const OpenCase cases[] = {
        {u"if0pipe1", STATUS_SUCCESS},
        {u"if0pipe0", STATUS_SUCCESS},
        {u"if0pipe2", STATUS_INVALID_PARAMETER},
        {u"if1pipe0", STATUS_INVALID_PARAMETER},
        {u"\\3-12", STATUS_INVALID_PARAMETER},
        {u"12x34", STATUS_INVALID_PARAMETER},
        {u"a1b", STATUS_INVALID_PARAMETER},
        {u"pipe5", STATUS_INVALID_PARAMETER},
    };
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    rig.ClearLog();
    for (const OpenCase &c : cases) {
        File file(c.Name);
        EXPECT_EQ(rig.Open(file), c.Status) << std::string(file.Name.begin(), file.Name.end());
        if (c.Status == STATUS_SUCCESS) {
            EXPECT_NE(file.Object.FsContext, nullptr);
            EXPECT_EQ(rig.Close(file), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(file.Object.FsContext, nullptr);
        }
    }
    EXPECT_TRUE(rig.Log().empty()) << Describe(rig.Log());
    EXPECT_EQ(rig.Ext()->OpenPipeCount, 0);
}

TEST_F(TransportTest, NothingOpensOnADeviceThatIsNotStarted)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    File pipe(u"if0pipe1");
    File device(u"");
    EXPECT_EQ(rig.Open(pipe), STATUS_DELETE_PENDING);
    EXPECT_EQ(rig.Open(device), STATUS_DELETE_PENDING);
    EXPECT_TRUE(rig.Log().empty()) << Describe(rig.Log());
}

// ---------------------------------------------------------------------------------------------
// Open of an open pipe
// ---------------------------------------------------------------------------------------------

struct ReopenCase {
    const char *Name;
    bool PipeResetsFail;
    std::vector<RequestKind> Expected;
};

TEST_F(TransportTest, OpenOfAnOpenPipeFailsAndRestoresThePipe)
{
    const ReopenCase cases[] = {
        {"ResetsSucceed", false, {RequestKind::ResetPipe, RequestKind::ResetPipe, RequestKind::ResetPipe}},
        {"ResetsFail", true,
         {RequestKind::ResetPipe, RequestKind::ResetPort, RequestKind::ResetPipe, RequestKind::ResetPort,
          RequestKind::ResetPipe, RequestKind::ResetPort}},
    };
    for (const ReopenCase &c : cases) {
        SCOPED_TRACE(c.Name);
        Rig rig;
        ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        File first(u"if0pipe1");
        File second(u"if0pipe1");
        ASSERT_EQ(rig.Open(first), STATUS_SUCCESS);
        rig.Ext()->ReadResetPending = 1;
        rig.Ext()->WriteResetPending = 1;
        rig.ClearLog();
        if (c.PipeResetsFail) {
            rig.Device().ScriptResetPipeFault(
                sim::usb::Fault::Fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL, true));
        }

        EXPECT_EQ(rig.Open(second), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Kinds(rig.Log()), c.Expected) << Describe(rig.Log());
        for (const LoggedRequest &entry : rig.Log()) {
            if (entry.Kind == RequestKind::ResetPipe) {
                EXPECT_EQ(entry.Endpoint, 0x81);
            }
        }
        EXPECT_EQ(rig.Ext()->ReadResetPending, 0);
        EXPECT_EQ(rig.Ext()->WriteResetPending, 0);
        EXPECT_EQ(rig.Ext()->Interfaces[0].Pipes[1].OpenCount, 1);
        EXPECT_EQ(rig.Ext()->OpenPipeCount, 1);
        EXPECT_EQ(second.Object.FsContext, nullptr);
        EXPECT_EQ(rig.Close(first), STATUS_SUCCESS);
        EXPECT_EQ(rig.Ext()->OpenPipeCount, 0);
    }
}

TEST_F(TransportTest, OneDeviceHandleAtATime)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File first(u"");
    File second(u"");
    File third(u"");
    EXPECT_EQ(rig.Open(first), STATUS_SUCCESS);
    EXPECT_EQ(rig.Open(second), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Ext()->DeviceOpenCount, 1);
    EXPECT_EQ(rig.Close(first), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->DeviceOpenCount, 0);
    EXPECT_EQ(rig.Open(third), STATUS_SUCCESS);
    EXPECT_EQ(rig.Close(third), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Handles that outlive their table
// ---------------------------------------------------------------------------------------------

TEST_F(TransportTest, HandleOfAReleasedTableHoldsNothing)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File stale(u"if0pipe0");
    File other(u"if0pipe1");
    ASSERT_EQ(rig.Open(stale), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(other), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->OpenPipeCount, 2);

    // Stop (the abort of the open pipes, the deconfiguration), then a new table.
    rig.ClearLog();
    ASSERT_EQ(rig.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(rig.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Kinds(rig.Log()), (std::vector<RequestKind>{RequestKind::AbortPipe, RequestKind::AbortPipe,
                                                           RequestKind::SelectConfiguration}))
        << Describe(rig.Log());
    EXPECT_EQ(rig.Ext()->OpenPipeCount, 0);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);

    // The old handles reach nothing: transfers and resets through them are refused and their
    // closes change no count, even after the same pipe was opened anew.
    File fresh(u"if0pipe0");
    ASSERT_EQ(rig.Open(fresh), STATUS_SUCCESS);
    rig.ClearLog();
    auto write = rig.StartWrite(stale, Bytes(8, 1));
    EXPECT_EQ(write->Req.Wait(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(rig.Control(IOCTL_CARDRW_RESET_PIPE, {}, 0, &stale).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(rig.Log().empty()) << Describe(rig.Log());

    EXPECT_EQ(rig.Close(stale), STATUS_SUCCESS);
    EXPECT_EQ(rig.Close(other), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->OpenPipeCount, 1);
    EXPECT_EQ(rig.Ext()->Interfaces[0].Pipes[0].OpenCount, 1);
    EXPECT_EQ(rig.Close(fresh), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->OpenPipeCount, 0);
}

TEST_F(TransportTest, HandleClosedAfterRemovalOfItsTableChangesNoCount)
{
    Rig rig;
    ASSERT_EQ(rig.PlugCardReader(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    File pipe(u"if0pipe1");
    File device(u"");
    ASSERT_EQ(rig.Open(pipe), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(device), STATUS_SUCCESS);
    rig.Device().Unplug();
    ASSERT_EQ(rig.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->Interfaces, nullptr);
    EXPECT_EQ(rig.Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->OpenPipeCount, 0);
    EXPECT_EQ(rig.Close(device), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ext()->DeviceOpenCount, 0);
}

}  // namespace
}  // namespace transport_test
