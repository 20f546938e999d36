// The port as the common serial libraries use it. Each library has a fixed sequence of Win32
// calls at open, read, flush, purge and close, and gives up on the port when one call in it
// fails; each profile below is that sequence as data, and one interpreter plays it against the
// whole stack: open, a write the device echoes back and its read-back, flush, purge, close,
// a re-open, and finally an unplug while the library's read or event wait is pending, after
// which the error the library next sees must be one it takes for "the port is gone".
#include "tests/stack/stack_rig.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace stack_test {
namespace {

// ============================================================================================
// The calls a profile makes
// ============================================================================================

enum class Call {
    FileTypeIsChar,      // GetFileType: FILE_TYPE_CHAR or FILE_TYPE_UNKNOWN
    Properties,          // GetCommProperties; dwMaxBaud (when not 0) at least the baud rate used
    ModemStatus,         // GetCommModemStatus
    GetState,            // GetCommState
    SetState,            // SetCommState: 9600 8N1, DTR control a, RTS control b
    Escape,              // EscapeCommFunction(a)
    GetTimeouts,         // GetCommTimeouts
    SetTimeouts,         // SetCommTimeouts: read a/b/c, writes without a time-out of their own
    SetMask,             // SetCommMask(a)
    Setup,               // SetupComm(a, b)
    Purge,               // PurgeComm(a)
    ClearError,          // ClearCommError; with a != 0 also cbOutQue must be 0 (a drain)
    Flush,               // FlushFileBuffers
    StartWait,           // overlapped WaitCommEvent, left pending
    ReapWait,            // GetOverlappedResult of that wait: a = 0 success, else the error a
    StartRead,           // overlapped ReadFile of a bytes, left pending
    ReapRead,            // GetOverlappedResult of that read: a = 0 success, else the error a
    CancelIo,            // CancelIo
    CancelIoEx,          // CancelIoEx(handle, NULL)
};

constexpr DWORD kMax = MAXDWORD;
constexpr DWORD kBaud = CBR_9600;
constexpr DWORD kAllPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

struct Step {
    Call call;
    DWORD a = 0, b = 0, c = 0;
};

// How a library reads what the device sent.
enum class ReadStyle {
    AskThenRead,     // ClearCommError for the count, then ReadFile of that many (at least 1)
    EventThenRead,   // the pending wait ends with EV_RXCHAR; read while cbInQue > 0; wait again
    TimedRead,       // ReadFile of what is still missing, under the library's read time-outs
    OneThenRest,     // a 1-byte read at 0/0/0, then the rest at MAXDWORD/0/0
};

struct Profile {
    const char* name;
    std::vector<Step> open;         // after CreateFile (overlapped, read and write)
    ReadStyle readStyle;
    std::vector<Step> beforeRead;   // time-outs the library sets for its reads
    std::vector<Step> close;        // flush, purge and the rest of its close, before CloseHandle
    std::vector<Step> pending;      // leaves the read or wait pending that the unplug meets
    // After the unplug: the pending request is reaped (its result is the library's to judge),
    // then the library goes on with these calls; the first call that fails must fail with one
    // of 'goneErrors' (any error when empty) and none of 'notGone'.
    std::vector<Step> afterUnplug;
    std::vector<DWORD> goneErrors;
    std::vector<DWORD> notGone;
    bool keepsWaitPending = false;   // a wait that ends is started again at once
};

// ============================================================================================
// The six libraries
// ============================================================================================

const Profile kProfiles[] = {
    {"DotNetSerialPort",
     {{Call::FileTypeIsChar}, {Call::Properties}, {Call::ModemStatus}, {Call::GetState},
      {Call::SetState, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE}, {Call::Escape, CLRDTR},
      {Call::SetTimeouts, kMax, kMax, 0xFFFFFFFE}, {Call::SetMask, 0x1FB /* all but EV_TXEMPTY */},
      {Call::StartWait}, {Call::Setup, 4096, 2048}},
     ReadStyle::AskThenRead,
     {},
     {{Call::SetMask, 0}, {Call::ReapWait}, {Call::Escape, CLRDTR}, {Call::Flush},
      {Call::Purge, PURGE_RXABORT | PURGE_RXCLEAR}, {Call::Purge, PURGE_TXABORT | PURGE_TXCLEAR}},
     {},   // its wait loop is pending from the open
     {{Call::StartWait}, {Call::ReapWait}},
     {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, 1617 /* ERROR_DEVICE_REMOVED */},
     {},
     true},
    {"PySerial3",
     {{Call::Setup, 4096, 4096}, {Call::GetTimeouts}, {Call::SetTimeouts, 0, 0, 0}, {Call::SetMask, EV_ERR},
      {Call::GetState}, {Call::SetState, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE}, {Call::Purge, kAllPurge}},
     ReadStyle::AskThenRead,
     {},
     {{Call::ClearError, 1}, {Call::Purge, PURGE_RXCLEAR | PURGE_RXABORT}},
     {{Call::ClearError}, {Call::StartRead, 16}},
     {{Call::ClearError}},
     {},
     {}},
    {"QtSerialPort",
     {{Call::GetState}, {Call::SetState, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE}, {Call::SetTimeouts, kMax, 0, 0},
      {Call::SetMask, EV_RXCHAR}, {Call::StartWait}},
     ReadStyle::EventThenRead,
     {},
     {{Call::Purge, kAllPurge}, {Call::CancelIo}, {Call::ReapWait, ERROR_OPERATION_ABORTED}},
     {},   // its wait is pending from the open
     {{Call::StartWait}, {Call::ReapWait}},
     {},
     {ERROR_IO_PENDING}},
    {"LibSerialPort",
     {{Call::SetTimeouts, 0, 0, 0}, {Call::SetMask, EV_RXCHAR | EV_ERR}, {Call::StartWait}, {Call::GetState},
      {Call::SetState, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE}},
     ReadStyle::TimedRead,
     {{Call::SetTimeouts, kMax, kMax, 1000}},
     {{Call::Flush}, {Call::Purge, kAllPurge}, {Call::CancelIoEx}, {Call::ReapWait, ERROR_OPERATION_ABORTED}},
     {{Call::SetTimeouts, 0, 0, 0}, {Call::StartRead, 16}},
     {{Call::StartRead, 16}, {Call::ReapRead}},
     {},
     {},
     true},
    {"JSerialComm",
     {{Call::Setup, 4096, 4096}, {Call::GetState}, {Call::SetState, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
      {Call::SetTimeouts, kMax, kMax, 500}, {Call::SetMask, EV_RXCHAR}, {Call::Purge, kAllPurge}},
     ReadStyle::TimedRead,
     {},
     {{Call::SetTimeouts, kMax, 0, 0}, {Call::Purge, kAllPurge}, {Call::CancelIoEx}, {Call::SetMask, 0}},
     {{Call::StartWait}},
     {{Call::StartWait}, {Call::ReapWait}},
     {},
     {ERROR_IO_PENDING, ERROR_INVALID_PARAMETER}},
    {"NodeSerialPort",
     {{Call::GetState}, {Call::SetState, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE}, {Call::SetTimeouts, 0, 0, 0},
      {Call::Purge, PURGE_RXCLEAR | PURGE_RXABORT}, {Call::Purge, PURGE_TXCLEAR | PURGE_TXABORT}},
     ReadStyle::OneThenRest,
     {},
     // Its 1-byte read is always out; the close cancels it.
     {{Call::SetTimeouts, 0, 0, 0}, {Call::StartRead, 1}, {Call::Flush}, {Call::CancelIoEx},
      {Call::ReapRead, ERROR_OPERATION_ABORTED}},
     {{Call::SetTimeouts, 0, 0, 0}, {Call::StartRead, 1}},
     {{Call::SetTimeouts, kMax, 0, 0}, {Call::StartRead, 64}, {Call::ReapRead}},
     {},
     {ERROR_OPERATION_ABORTED}},
};

// ============================================================================================
// The interpreter
// ============================================================================================

// One overlapped request of the application: its OVERLAPPED with an event of its own.
struct Overlapped {
    OVERLAPPED ov{};
    bool out = false;
    Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov.hEvent); }
};

class Client {
public:
    explicit Client(const Profile& profile) : profile_(profile) {}

    HANDLE Handle() const { return port_ ? port_->Get() : INVALID_HANDLE_VALUE; }
    DWORD LastError() const { return lastError_; }
    DWORD WaitMask() const { return waitMask_; }

    bool Open(StackRig& rig)
    {
        port_ = std::make_unique<PortHandle>(rig.Open(true));
        if (!port_->Valid()) {
            lastError_ = GetLastError();
            return false;
        }
        return RunAll(profile_.open);
    }

    // Runs the steps in order; false at the first that fails (the failure is recorded).
    bool RunAll(const std::vector<Step>& steps)
    {
        for (const Step& step : steps) {
            if (!Run(step)) {
                return false;
            }
        }
        return true;
    }

    // Runs the steps until one fails; true when one did (its error in LastError()).
    bool RunUntilFailure(const std::vector<Step>& steps)
    {
        for (const Step& step : steps) {
            if (!Run(step)) {
                return true;
            }
        }
        return false;
    }

    bool Run(const Step& step)
    {
        BOOL ok = Perform(step);
        lastError_ = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok) {
            failed_ = step;
        }
        return ok != FALSE;
    }

    Call FailedCall() const { return failed_.call; }

    // The device's echo of 'length' bytes, read back the library's way.
    Bytes ReadBack(size_t length)
    {
        if (!RunAll(profile_.beforeRead)) {
            return {};
        }
        Bytes got;
        for (size_t round = 0; got.size() < length && round <= length; ++round) {
            if (!ReadOnce(length - got.size(), &got)) {
                break;
            }
        }
        // A library that keeps its event wait pending has seen it end with the data, and
        // waits again.
        if (profile_.keepsWaitPending && wait_.out && !StillPending(wait_)) {
            if (!Run({Call::ReapWait}) || !Run({Call::StartWait})) {
                return {};
            }
        }
        return got;
    }

    // The library's own read or wait, pending when the unplug comes; reaped afterwards.
    bool ReapPending()
    {
        if (read_.out) {
            return Run({Call::ReapRead});
        }
        if (wait_.out) {
            return Run({Call::ReapWait});
        }
        return true;
    }
    bool SomethingPending() const { return read_.out || wait_.out; }
    bool StillPending() { return StillPending(read_.out ? read_ : wait_); }
    bool StillPending(Overlapped& o)
    {
        DWORD bytes = 0;
        return !GetOverlappedResult(Handle(), &o.ov, &bytes, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE;
    }

    BOOL Close()
    {
        // A library's close never leaves its requests behind: what is still out ends here.
        if (read_.out || wait_.out) {
            CancelIoEx(Handle(), nullptr);
            DWORD bytes;
            if (read_.out) {
                readThread_.Join();
                GetOverlappedResult(Handle(), &read_.ov, &bytes, TRUE);
                read_.out = false;
            }
            if (wait_.out) {
                GetOverlappedResult(Handle(), &wait_.ov, &bytes, TRUE);
                wait_.out = false;
            }
        }
        return port_ ? port_->Close() : TRUE;
    }

private:
    BOOL Perform(const Step& s)
    {
        HANDLE h = Handle();
        switch (s.call) {
        case Call::FileTypeIsChar: {
            DWORD type = GetFileType(h);
            return type == FILE_TYPE_CHAR || type == FILE_TYPE_UNKNOWN ? TRUE : Fail(ERROR_INVALID_FUNCTION);
        }
        case Call::Properties: {
            COMMPROP prop{};
            if (!GetCommProperties(h, &prop)) {
                return FALSE;
            }
            return prop.dwMaxBaud == 0 || prop.dwMaxBaud >= kBaud ? TRUE : Fail(ERROR_INVALID_PARAMETER);
        }
        case Call::ModemStatus: {
            DWORD modem = 0;
            return GetCommModemStatus(h, &modem);
        }
        case Call::GetState: {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            return GetCommState(h, &dcb);
        }
        case Call::SetState: {
            DCB dcb;
            if (!GetState8N1(h, kBaud, &dcb)) {
                return FALSE;
            }
            dcb.fBinary = 1;
            dcb.fDtrControl = s.a;
            dcb.fRtsControl = s.b;
            return SetCommState(h, &dcb);
        }
        case Call::Escape:
            return EscapeCommFunction(h, s.a);
        case Call::GetTimeouts: {
            COMMTIMEOUTS t{};
            return GetCommTimeouts(h, &t);
        }
        case Call::SetTimeouts: {
            COMMTIMEOUTS t{s.a, s.b, s.c, 0, 0};
            return SetCommTimeouts(h, &t);
        }
        case Call::SetMask:
            return SetCommMask(h, s.a);
        case Call::Setup:
            return SetupComm(h, s.a, s.b);
        case Call::Purge:
            return PurgeComm(h, s.a);
        case Call::ClearError: {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!ClearCommError(h, &errors, &stat)) {
                return FALSE;
            }
            inQueue_ = stat.cbInQue;
            return s.a == 0 || stat.cbOutQue == 0 ? TRUE : Fail(ERROR_IO_DEVICE);
        }
        case Call::Flush:
            return FlushFileBuffers(h);
        case Call::StartWait:
            return StartWait();
        case Call::ReapWait:
            return ReapWait(s.a);
        case Call::StartRead:
            return StartRead(s.a);
        case Call::ReapRead:
            return ReapRead(nullptr, s.a);
        case Call::CancelIo:
            return CancelIo(h);
        case Call::CancelIoEx:
            // Nothing left to cancel is no error to a library that closes.
            return CancelIoEx(h, nullptr) || GetLastError() == ERROR_NOT_FOUND;
        }
        return FALSE;
    }

    static BOOL Fail(DWORD error)
    {
        SetLastError(error);
        return FALSE;
    }

    BOOL StartWait()
    {
        waitMask_ = 0;
        ResetEvent(wait_.ov.hEvent);
        if (WaitCommEvent(Handle(), &waitMask_, &wait_.ov)) {
            wait_.out = true;   // completed at once: reaped like a pending one
            return TRUE;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return FALSE;
        }
        wait_.out = true;
        return TRUE;
    }

    // Expected: success (0) or the given error.
    BOOL ReapWait(DWORD expected)
    {
        if (!wait_.out) {
            return Fail(ERROR_NOT_FOUND);
        }
        DWORD bytes = 0;
        BOOL ok = GetOverlappedResult(Handle(), &wait_.ov, &bytes, TRUE);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        wait_.out = false;
        if (expected != 0) {
            return error == expected ? TRUE : Fail(error == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : error);
        }
        return ok ? TRUE : Fail(error);
    }

    // The library's reading thread issues the read. The port serves a read inside the calling
    // thread's ReadFile, overlapped or not, so that thread stays in ReadFile until the read
    // ends; the test goes on once the read is as far into the stack as it gets.
    BOOL StartRead(DWORD length)
    {
        readBuffer_.assign(length, 0);
        ResetEvent(read_.ov.hEvent);
        read_.ov.Internal = (ULONG_PTR)(LONG_PTR)STATUS_PENDING;
        readIssued_ = false;
        readThread_ = sim::StartThread([this, length] {
            DWORD bytes = 0;
            readIssued_ = true;
            BOOL ok = ReadFile(Handle(), readBuffer_.data(), length, &bytes, &read_.ov);
            readError_ = ok || GetLastError() == ERROR_IO_PENDING ? ERROR_SUCCESS : GetLastError();
        });
        StackRig::SettleUntil([this] { return readIssued_.load(); });
        StackRig::Settle(1);
        read_.out = true;
        return TRUE;
    }

    // Expected: success (0) or the given error.
    BOOL ReapRead(Bytes* into, DWORD expected = 0)
    {
        if (!read_.out) {
            return Fail(ERROR_NOT_FOUND);
        }
        readThread_.Join();
        read_.out = false;
        DWORD bytes = 0;
        BOOL ok = readError_ == ERROR_SUCCESS && GetOverlappedResult(Handle(), &read_.ov, &bytes, TRUE);
        DWORD error = readError_ != ERROR_SUCCESS ? readError_ : ok ? ERROR_SUCCESS : GetLastError();
        if (ok && into != nullptr) {
            into->insert(into->end(), readBuffer_.begin(), readBuffer_.begin() + bytes);
        }
        if (expected != 0) {
            return error == expected ? TRUE : Fail(error == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : error);
        }
        return ok ? TRUE : Fail(error);
    }

    bool Read(DWORD length, Bytes* got)
    {
        return Run({Call::StartRead, length}) && ReapReadInto(got);
    }

    bool ReapReadInto(Bytes* got)
    {
        BOOL ok = ReapRead(got);
        lastError_ = ok ? ERROR_SUCCESS : GetLastError();
        return ok != FALSE;
    }

    bool ReadOnce(size_t missing, Bytes* got)
    {
        switch (profile_.readStyle) {
        case ReadStyle::AskThenRead:
            return Run({Call::ClearError}) && Read(std::max<DWORD>(1, std::min<DWORD>(inQueue_, missing)), got);
        case ReadStyle::EventThenRead:
            if (!Run({Call::ReapWait}) || (waitMask_ & EV_RXCHAR) == 0) {
                return false;
            }
            while (Run({Call::ClearError}) && inQueue_ > 0) {
                if (!Read(inQueue_, got)) {
                    return false;
                }
            }
            return Run({Call::StartWait});
        case ReadStyle::TimedRead:
            return Read(static_cast<DWORD>(missing), got);
        case ReadStyle::OneThenRest:
            return Run({Call::SetTimeouts, 0, 0, 0}) && Read(1, got) && Run({Call::SetTimeouts, kMax, 0, 0}) &&
                   Read(static_cast<DWORD>(missing - 1), got);
        }
        return false;
    }

    const Profile& profile_;
    std::unique_ptr<PortHandle> port_;
    Overlapped wait_;
    Overlapped read_;
    DWORD waitMask_ = 0;
    Bytes readBuffer_;
    sim::Thread readThread_;
    std::atomic<bool> readIssued_{false};
    DWORD readError_ = ERROR_SUCCESS;
    DWORD inQueue_ = 0;
    DWORD lastError_ = ERROR_SUCCESS;
    Step failed_{Call::GetState};
};

// ============================================================================================
// The scenario, for every profile
// ============================================================================================

class ClientProfileTest : public StackTest, public ::testing::WithParamInterface<Profile> {
protected:
    // Writes 'data'; the device echoes it; it is all in the port's receive queue on return.
    void WriteAndEcho(Client& client, const Bytes& data)
    {
        ASSERT_TRUE(WriteAll(client.Handle(), data)) << "error " << GetLastError();
        ASSERT_TRUE(StackRig::SettleUntil([&] {
            COMSTAT stat{};
            DWORD errors = 0;
            return ClearCommError(client.Handle(), &errors, &stat) && stat.cbInQue >= data.size();
        })) << "the echo did not arrive";
    }

    void LoopBack(Client& client, uint32_t seed)
    {
        Bytes data = Pattern(200, seed);
        WriteAndEcho(client, data);
        EXPECT_EQ(client.ReadBack(data.size()), data) << "last error " << client.LastError();
    }
};

TEST_P(ClientProfileTest, OpenEchoCloseReopenAndUnplug)
{
    const Profile& p = GetParam();
    Rig().Model().SetLoopback(true);
    Client client(p);

    // Open as the library does; every call in it must succeed.
    ASSERT_TRUE(client.Open(Rig())) << "open step " << int(client.FailedCall()) << " failed with "
                                    << client.LastError();
    LoopBack(client, 1);
    ASSERT_TRUE(client.RunAll(p.close)) << "close step " << int(client.FailedCall()) << " failed with "
                                        << client.LastError();
    ASSERT_TRUE(client.Close());

    // The port opens again the same way and carries data as before.
    ASSERT_TRUE(client.Open(Rig())) << "re-open step " << int(client.FailedCall()) << " failed with "
                                    << client.LastError();
    LoopBack(client, 2);

    // The device goes while the library's read or wait is pending.
    ASSERT_TRUE(client.RunAll(p.pending)) << "pending step failed with " << client.LastError();
    ASSERT_TRUE(client.SomethingPending());
    ASSERT_TRUE(client.StillPending()) << "the library's request is pending when the device goes";
    Rig().Unplug();

    // What ended the pending request is the library's to judge; the error it sees next, at
    // the latest in the calls it then makes, is the one that tells it the port is gone.
    bool failed = !client.ReapPending() || client.RunUntilFailure(p.afterUnplug);
    ASSERT_TRUE(failed) << "the port still answered after the device went";
    DWORD error = client.LastError();
    if (!p.goneErrors.empty()) {
        EXPECT_NE(std::find(p.goneErrors.begin(), p.goneErrors.end(), error), p.goneErrors.end())
            << "error " << error << " does not tell this library that the port is gone";
    }
    EXPECT_EQ(std::find(p.notGone.begin(), p.notGone.end(), error), p.notGone.end())
        << "error " << error << " keeps this library waiting on a port that is gone";

    EXPECT_TRUE(client.Close());
    Rig().WaitForRemoval();
}

// What pySerial, .NET and Qt see of a burst that the port's receive queue cannot hold: the next
// ClearCommError reports CE_RXOVER once, the queue holds the newest 1024 bytes, and the call
// after that reports no error.
TEST_F(ClientProfileTest, OverflowShowsAsRxOverOnce)
{
    PortHandle port(Rig().Open(true));
    ASSERT_TRUE(port.Valid());
    Bytes burst = Pattern(1100, 7);
    Rig().Model().Send(burst);
    StackRig::Settle(100);

    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port.Get(), &errors, &stat));
    EXPECT_EQ(errors, DWORD(CE_RXOVER));
    EXPECT_EQ(stat.cbInQue, 1024u);
    ASSERT_TRUE(ClearCommError(port.Get(), &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 1024u);

    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.Get(), &immediate));
    EXPECT_EQ(ReadExactly(port.Get(), 1024), Bytes(burst.end() - 1024, burst.end()));
    EXPECT_TRUE(port.Close());
}

// The drain of node-serialport and libserialport (FlushFileBuffers, result checked) while the
// device does not take a write: it returns, with success, when that write has ended (here at
// its 500 ms write time-out), not before and not never.
TEST_F(ClientProfileTest, DrainEndsWithTheWriteInFlight)
{
    PortHandle port(Rig().Open(true));
    ASSERT_TRUE(port.Valid());
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 500};
    ASSERT_TRUE(SetCommTimeouts(port.Get(), &timeouts));
    Rig().StallWritesAfter(0);

    int64_t start = sim::Now();
    int64_t writeEnded = 0;
    sim::Thread writer = sim::StartThread([&] {
        WriteAll(port.Get(), Pattern(10, 3));
        writeEnded = sim::Now();
    });
    StackRig::Settle(10);
    BOOL drained = FlushFileBuffers(port.Get());
    int64_t flushEnded = sim::Now();
    writer.Join();
    EXPECT_TRUE(drained) << "error " << GetLastError();
    EXPECT_EQ(flushEnded - start, 500 * kMs);
    EXPECT_GE(flushEnded, writeEnded);
    Rig().Usb().ClearFaults();
    EXPECT_TRUE(port.Close());
}

INSTANTIATE_TEST_SUITE_P(Libraries, ClientProfileTest, ::testing::ValuesIn(kProfiles),
                         [](const ::testing::TestParamInfo<Profile>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace stack_test
