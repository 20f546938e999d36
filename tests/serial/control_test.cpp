// Serial control requests: every row of the control-code table with short buffers, the
// validation of settings, the device's class requests and the transport codes passed through.
#include "tests/serial/port_fixture.h"

namespace serial_test {
namespace {

using ControlTest = SerialPortTest;

struct Row {
    const char* name;
    ULONG code;
    ULONG minimumInput;    // 0: none
    ULONG minimumOutput;   // 0: none
};

const Row kRows[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
    {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 6, 0},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
    {"PURGE", IOCTL_SERIAL_PURGE, 4, 0},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 0, 6},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 0, 4},
};

// A buffer one byte short fails before the handler runs: nothing stored, nothing sent, nothing
// written to the output.
TEST_F(ControlTest, EveryRowRefusesAShortBuffer)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        Lower().ClearRequests();
        Bytes input(row.minimumInput ? row.minimumInput - 1 : 0, 0x01);
        ULONG output = row.minimumOutput ? row.minimumOutput - 1 : 0;
        Result r = Ioctl(row.code, input, output);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(Lower().Requests().empty());
    }
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).out), 9600u);
}

// The read-back rows, with the sizes they report.
TEST_F(ControlTest, ReadBackRows)
{
    struct Case {
        const char* name;
        ULONG code;
        ULONG length;
        Bytes expected;
    } cases[] = {
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 4, U32(9600)},
        {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 3, {0, 0, 8}},
        {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 6, Bytes(6, 0)},
        {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 4, U32(0)},
        {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 4, U32(0x30)},
        {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 4, U32(0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result r = Ioctl(c.code, {}, c.length + 4);   // a larger buffer gets only the value
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.information, c.length);
        EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + c.length), c.expected);
    }
}

TEST_F(ControlTest, CommStatusAndProperties)
{
    Result st = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
    ASSERT_EQ(st.information, 20u);
    EXPECT_EQ(ReadU32(st.out, 0), 0u);    // Errors
    EXPECT_EQ(ReadU32(st.out, 8), 0u);    // AmountInInQueue (no handle open)
    EXPECT_EQ(st.out[16], 1);             // EofReceived
    EXPECT_EQ(st.out[17], 0);             // WaitForImmediate

    Result p = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, 64);
    ASSERT_EQ(p.information, 64u);
    SERIAL_COMMPROP prop;
    memcpy(&prop, p.out.data(), sizeof(prop));
    EXPECT_EQ(prop.PacketLength, 64);
    EXPECT_EQ(prop.PacketVersion, 2);
    EXPECT_EQ(prop.ServiceMask, ULONG(SERIAL_SP_SERIALCOMM));
    EXPECT_EQ(prop.MaxBaud, ULONG(SERIAL_BAUD_USER));
    EXPECT_EQ(prop.ProvSubType, ULONG(SERIAL_SP_RS232));
    EXPECT_EQ(prop.SettableBaud, ULONG(SERIAL_BAUD_USER));
    EXPECT_EQ(prop.MaxTxQueue, 0u);
    EXPECT_EQ(prop.ProvCapabilities, 0u);
}

// 9600 baud, one stop bit, no parity, 8 data bits: 80 25 00 00 00 00 08, in an 8-byte block.
TEST_F(ControlTest, LineCodingBytes)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, U32(9600)).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{2, 2, 7}).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, U32(0)).status, STATUS_SUCCESS);
    auto codings = Lower().LineCodings();
    ASSERT_EQ(codings.size(), 3u);
    EXPECT_EQ(Bytes(codings[0].begin(), codings[0].begin() + 7), (Bytes{0x80, 0x25, 0, 0, 0, 0, 8}));
    EXPECT_EQ(codings[0].size(), 8u);
    EXPECT_EQ(Bytes(codings[1].begin(), codings[1].begin() + 7), (Bytes{0x80, 0x25, 0, 0, 2, 2, 7}));
    EXPECT_EQ(Bytes(codings[2].begin(), codings[2].begin() + 7), (Bytes{0, 0, 0, 0, 2, 2, 7}));
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).out), 0u);
    for (const auto& r : Lower().Requests()) {
        if (r.kind == LowerRequest::ControlOut) {
            EXPECT_EQ(r.header.Function, 0x1B);
            EXPECT_EQ(r.header.TransferFlags, 2u);
            EXPECT_EQ(r.header.ReservedBits, 0);
            EXPECT_EQ(r.header.Value, 0);
            EXPECT_EQ(r.header.Index, 0);
        }
    }
}

TEST_F(ControlTest, LineControlValidation)
{
    struct Case {
        UCHAR stopBits, parity, wordLength;
        bool accepted;
    } cases[] = {
        {0, 0, 8, true},  {1, 0, 8, false}, {1, 0, 5, true},  {2, 0, 5, false}, {2, 0, 7, true},
        {0, 0, 9, false}, {0, 0, 4, false}, {0, 5, 8, false}, {0, 4, 6, true},  {3, 0, 8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.stopBits) << "/" << int(c.parity) << "/" << int(c.wordLength));
        Lower().ClearRequests();
        Bytes before = Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).out;
        Result r = Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{c.stopBits, c.parity, c.wordLength});
        Bytes after = Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).out;
        if (c.accepted) {
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(after, (Bytes{c.stopBits, c.parity, c.wordLength}));
            EXPECT_EQ(Lower().LineCodings().size(), 1u);
        } else {
            EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(after, before);
            EXPECT_TRUE(Lower().Requests().empty());
        }
    }
}

TEST_F(ControlTest, HandFlowAndTimeoutValidation)
{
    auto handflow = [](ULONG control, ULONG flow) {
        Bytes b(16, 0);
        memcpy(b.data(), &control, 4);
        memcpy(b.data() + 4, &flow, 4);
        return b;
    };
    struct Case {
        const char* name;
        ULONG code;
        Bytes input;
        NTSTATUS status;
    } cases[] = {
        {"DTR field 3", IOCTL_SERIAL_SET_HANDFLOW, handflow(3, 0), STATUS_INVALID_PARAMETER},
        {"invalid control bit", IOCTL_SERIAL_SET_HANDFLOW, handflow(0x80, 0), STATUS_INVALID_PARAMETER},
        {"invalid flow bit", IOCTL_SERIAL_SET_HANDFLOW, handflow(0, 0x20), STATUS_INVALID_PARAMETER},
        {"DTR handshake", IOCTL_SERIAL_SET_HANDFLOW, handflow(SERIAL_DTR_HANDSHAKE, 0), STATUS_SUCCESS},
        {"all read time-outs MAXULONG", IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(MAXULONG, MAXULONG, MAXULONG, 0, 0),
         STATUS_INVALID_PARAMETER},
        {"immediate reads", IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(MAXULONG, 0, 0, 0, 0), STATUS_SUCCESS},
        {"chars unchecked", IOCTL_SERIAL_SET_CHARS, Bytes{1, 2, 3, 4, 5, 6}, STATUS_SUCCESS},
        {"queue size ignored", IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(8, 0xFF), STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Ioctl(c.code, c.input).status, c.status);
    }
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).out, Timeouts(MAXULONG, 0, 0, 0, 0));
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_CHARS, {}, 6).out, (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).out, handflow(SERIAL_DTR_HANDSHAKE, 0));

    // Under DTR handshake the DTR requests are refused and change nothing.
    Lower().ClearRequests();
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Lower().Requests().empty());
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{2}));
}

// Every line request repeats the other line's state; RTS handshake and transmit toggle refuse
// the RTS requests.
TEST_F(ControlTest, ControlLineWords)
{
    struct Step {
        ULONG code;
        NTSTATUS status;
        int word;   // -1: nothing sent
    } steps[] = {
        {IOCTL_SERIAL_SET_DTR, STATUS_SUCCESS, 1}, {IOCTL_SERIAL_SET_RTS, STATUS_SUCCESS, 3},
        {IOCTL_SERIAL_CLR_DTR, STATUS_SUCCESS, 2}, {IOCTL_SERIAL_CLR_RTS, STATUS_SUCCESS, 0},
        {IOCTL_SERIAL_SET_RTS, STATUS_SUCCESS, 2}, {IOCTL_SERIAL_SET_DTR, STATUS_SUCCESS, 3},
        {IOCTL_SERIAL_CLR_RTS, STATUS_SUCCESS, 1},
    };
    for (const Step& s : steps) {
        Lower().ClearRequests();
        EXPECT_EQ(Ioctl(s.code).status, s.status);
        EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{USHORT(s.word)}));
    }
    for (ULONG flow : {0x80u, 0xC0u}) {
        Bytes hf(16, 0);
        memcpy(hf.data() + 4, &flow, 4);
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, hf).status, STATUS_SUCCESS);
        Lower().ClearRequests();
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS).status, STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(Lower().Requests().empty());
    }
}

// IOCTL_SERIAL_GET_DTRRTS reports the line states the port last set, as SERIAL_DTR_STATE and
// SERIAL_RTS_STATE, in 4 bytes; a refused request leaves them, a failed transfer does not.
TEST_F(ControlTest, DtrRtsReportsTheLinesLastSet)
{
    struct Step {
        ULONG code;
        NTSTATUS transfer;   // what the device answers the control transfer with
        ULONG lines;         // GET_DTRRTS afterwards
    } steps[] = {
        {0, STATUS_SUCCESS, 0},
        {IOCTL_SERIAL_SET_DTR, STATUS_SUCCESS, SERIAL_DTR_STATE},
        {IOCTL_SERIAL_SET_RTS, STATUS_SUCCESS, SERIAL_DTR_STATE | SERIAL_RTS_STATE},
        {IOCTL_SERIAL_CLR_DTR, STATUS_SUCCESS, SERIAL_RTS_STATE},
        {IOCTL_SERIAL_SET_DTR, STATUS_UNSUCCESSFUL, SERIAL_DTR_STATE | SERIAL_RTS_STATE},
        {IOCTL_SERIAL_CLR_RTS, STATUS_SUCCESS, SERIAL_DTR_STATE},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.code);
        Lower().FailControlOut(s.transfer);
        if (s.code != 0) {
            Ioctl(s.code);
        }
        Lower().FailControlOut(STATUS_SUCCESS);
        Lower().ClearRequests();
        Result r = Ioctl(IOCTL_SERIAL_GET_DTRRTS, {}, 8);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(ReadU32(r.out), s.lines);
        EXPECT_TRUE(Lower().Requests().empty()) << "answered from what the port stored";
    }

    // Under DTR handshake a refused SET_DTR changes nothing.
    Bytes hf(16, 0);
    ULONG control = SERIAL_DTR_HANDSHAKE;
    memcpy(hf.data(), &control, 4);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, hf).status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_DTRRTS, {}, 4).out), ULONG(SERIAL_DTR_STATE));
}

// A failing control transfer: the line requests report it, the settings requests do not; the
// stored values stay in both cases.
TEST_F(ControlTest, FailedClassRequests)
{
    Lower().FailControlOut(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, U32(115200)).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadU32(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).out), 115200u);
    Lower().FailControlOut(STATUS_SUCCESS);
    Lower().ClearRequests();
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(Lower().ControlLineWords(), (std::vector<USHORT>{3})) << "the DTR bit stayed set";
}

// Standard codes the table lacks do nothing and succeed; of the transport's codes five pass
// through unchanged (the pipe reset always for the transmit pipe), the other three are unknown.
TEST_F(ControlTest, UnknownAndPassThroughCodes)
{
    for (ULONG code : {ULONG(IOCTL_SERIAL_SET_BREAK_ON), ULONG(IOCTL_CARDRW_QUERY_READY),
                       ULONG(IOCTL_CARDRW_RESET_PORT), ULONG(IOCTL_CARDRW_GET_STATUS)}) {
        SCOPED_TRACE(code);
        Lower().ClearRequests();
        Result r = Ioctl(code, U32(0), 4);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(Lower().Requests().empty());
    }

    Lower().ClearRequests();
    Bytes header(16, 0);
    header[9] = 0x42;
    Result in = Ioctl(IOCTL_CARDRW_CONTROL_IN, header, 8);
    EXPECT_EQ(in.status, STATUS_SUCCESS);
    EXPECT_EQ(in.information, 8u);
    EXPECT_EQ(in.out, (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    auto requests = Lower().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, ULONG(IOCTL_CARDRW_CONTROL_IN));
    EXPECT_EQ(requests[0].data, header);

    for (ULONG code : {ULONG(IOCTL_CARDRW_GET_DESCRIPTOR), ULONG(IOCTL_CARDRW_GET_CONFIG_DESCRIPTOR)}) {
        Lower().ClearRequests();
        EXPECT_EQ(Ioctl(code, U32(1), 2).information, 2u);
        EXPECT_EQ(Lower().Requests().size(), 1u);
    }

    Lower().ClearRequests();
    EXPECT_EQ(Ioctl(IOCTL_CARDRW_RESET_PIPE).status, STATUS_SUCCESS);
    requests = Lower().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, LowerRequest::ResetPipe);
    EXPECT_EQ(requests[0].pipe, u"if0pipe0");
}

} // namespace
} // namespace serial_test
