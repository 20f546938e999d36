// The Win32 serial API over a test port driver that records every control request: the
// requests Windows sends for each call, in order, and the settings read back.
#include "tests/sim/pnp/test_world.h"

using namespace pt;
using Lines = std::vector<std::string>;

namespace {

class SerialApiTest : public PnpTest {
protected:
    void SetUp() override {
        PnpTest::SetUp();
        node_ = Arrive(0);
        port_ = CreateFileW(u"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        TakeLog();
    }
    void TearDown() override {
        CloseHandle(port_);
        PnpTest::TearDown();
    }
    static DCB Dcb9600_8N1(DWORD dtr, DWORD rts) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = CBR_9600;
        dcb.fBinary = 1;
        dcb.fDtrControl = dtr;
        dcb.fRtsControl = rts;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        return dcb;
    }
    sim::DeviceNode *node_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(SerialApiTest, SetCommStateSendsTheSettingsAndTheLineRequestsInWindowsOrder) {
    DCB dcb = Dcb9600_8N1(DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE);
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(Only(TakeLog(), "Port"),
              (Lines{"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW", "SET_BAUD_RATE 9600", "SET_RTS",
                     "SET_DTR", "SET_LINE_CONTROL 0,0,8", "SET_CHARS", "SET_HANDFLOW 1,40"}));
    const PortSettings &s = PortOf(node_)->settings;
    EXPECT_EQ(s.chars.XonChar, 0x11);
    EXPECT_EQ(s.chars.XoffChar, 0x13);
    EXPECT_EQ(s.handflow.XonLimit, 2048);
    EXPECT_EQ(s.handflow.XoffLimit, 512);
    EXPECT_EQ(s.modemControl, 3u);

    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW"}));
    EXPECT_EQ(back.DCBlength, sizeof(DCB));
    EXPECT_EQ(back.BaudRate, 9600u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(back.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);
    EXPECT_EQ(back.fBinary, 1u);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XonLim, 2048);
}

// The line requests each DTR and RTS mode calls for: none under handshake or toggle.
struct LineModeCase {
    DWORD dtr, rts;
    Lines lineRequests;
    const char *handflow;
};

class LineModeTest : public SerialApiTest, public ::testing::WithParamInterface<LineModeCase> {};

TEST_P(LineModeTest, ModesBecomeLineRequestsAndHandshakeBits) {
    const LineModeCase &c = GetParam();
    DCB dcb = Dcb9600_8N1(c.dtr, c.rts);
    ASSERT_TRUE(SetCommState(port_, &dcb));
    Lines lines;
    for (const std::string &line : Only(TakeLog(), "Port"))
        if (line.find("_DTR") != std::string::npos || line.find("_RTS") != std::string::npos) lines.push_back(line);
        else if (line.rfind("SET_HANDFLOW", 0) == 0) EXPECT_EQ(line, std::string("SET_HANDFLOW ") + c.handflow);
    EXPECT_EQ(lines, c.lineRequests);
    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.fDtrControl, c.dtr);
    EXPECT_EQ(back.fRtsControl, c.rts);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LineModeTest,
    ::testing::Values(LineModeCase{DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, {"CLR_RTS", "CLR_DTR"}, "0,0"},
                      LineModeCase{DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, {"SET_DTR"}, "1,80"},
                      LineModeCase{DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, {}, "2,c0"},
                      LineModeCase{DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, {"SET_RTS"}, "2,40"}));

TEST_F(SerialApiTest, RefusedSettingRestoresThePreviousOnesAndFails) {
    DCB dcb = Dcb9600_8N1(DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE);
    dcb.BaudRate = 19200;
    dcb.ByteSize = 9;  // the driver refuses the line control
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    Lines log = Only(TakeLog(), "Port");
    ASSERT_GE(log.size(), 9u);
    EXPECT_EQ(log[7], "SET_LINE_CONTROL 0,0,9");
    EXPECT_EQ(log[8], "SET_BAUD_RATE 9600");  // the previous rate goes back first
    EXPECT_EQ(PortOf(node_)->settings.baud.BaudRate, 9600u);
}

TEST_F(SerialApiTest, TimeoutsMaskPurgeQueueAndModemCallsUseTheirRequests) {
    COMMTIMEOUTS timeouts{0xFFFFFFFF, 0, 0, 10, 2000};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(port_, &back));
    EXPECT_EQ(memcmp(&back, &timeouts, sizeof back), 0);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_BREAK));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_RXABORT));
    ASSERT_TRUE(SetupComm(port_, 4096, 4096));
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem, (DWORD)(MS_CTS_ON | MS_DSR_ON));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR));
    ASSERT_TRUE(SetCommBreak(port_));
    EXPECT_FALSE(EscapeCommFunction(port_, 10));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Only(TakeLog(), "Port"),
              (Lines{"SET_TIMEOUTS", "GET_TIMEOUTS", "SET_WAIT_MASK", "GET_WAIT_MASK", "PURGE", "SET_QUEUE_SIZE",
                     "GET_MODEMSTATUS", "CLR_DTR", "SET_BREAK_ON"}));
}

TEST_F(SerialApiTest, ClearCommErrorTranslatesStatusIntoErrorsAndComstat) {
    PortOf(node_)->receiveQueue = 17;
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, (DWORD)(CE_OVERRUN | CE_BREAK));
    EXPECT_EQ(stat.cbInQue, 17u);
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.cbOutQue, 0u);
}

// GetFileType classifies by the device type alone, without a request to the driver.
TEST_F(SerialApiTest, SerialPortIsACharacterDevice) {
    EXPECT_EQ(GetFileType(port_), (DWORD)FILE_TYPE_CHAR);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(TakeLog().empty());
    EXPECT_EQ(GetFileType((HANDLE)(uintptr_t)0x7FF0), (DWORD)FILE_TYPE_UNKNOWN);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(SerialApiTest, PropertiesAndFlushUseTheirRequests) {
    COMMPROP prop{};
    ASSERT_TRUE(GetCommProperties(port_, &prop));
    ASSERT_TRUE(FlushFileBuffers(port_));
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"GET_PROPERTIES", "FLUSH"}));
    EXPECT_FALSE(GetCommProperties(port_, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// A flush needs a handle with write access; without it nothing reaches the driver.
TEST_F(SerialApiTest, FlushOfAReadOnlyHandleIsRefused) {
    CloseHandle(port_);
    port_ = CreateFileW(u"\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    TakeLog();
    EXPECT_FALSE(FlushFileBuffers(port_));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Only(TakeLog(), "Port").empty());
}

TEST_F(SerialApiTest, SerialCallsWaitForTheirRequestsOnOverlappedHandlesToo) {
    CloseHandle(port_);
    port_ = CreateFileW(u"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    sim::ForcePending(PortOf(node_)->self, true);
    DCB dcb{};
    EXPECT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    sim::ForcePending(PortOf(node_)->self, false);
    sim::DrainForcedPending();
}

}  // namespace
