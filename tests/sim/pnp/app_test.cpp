// The application side of the I/O manager: opening by name through the DOS-device links,
// exclusive devices, buffered transfers, overlapped requests with their results and
// cancellation, and the close that waits for the file's last request.
#include "tests/sim/pnp/test_world.h"

using namespace pt;
using Lines = std::vector<std::string>;

namespace {

class AppTest : public PnpTest {
protected:
    void SetUp() override {
        PnpTest::SetUp();
        node_ = Arrive(0);
        TakeLog();
    }
    HANDLE Open(const char16_t *name, DWORD flags = 0) {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    sim::DeviceNode *node_ = nullptr;
};

// =====================================================================================
// Open and close
// =====================================================================================
TEST_F(AppTest, PortOpensThroughEverySpellingOfItsName) {
    for (const char16_t *name : {u"\\\\.\\COM3", u"\\\\.\\Global\\COM3", u"\\\\?\\COM3", u"COM3", u"\\\\.\\com3"}) {
        HANDLE port = Open(name);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetFileType(port), (DWORD)FILE_TYPE_CHAR);
        EXPECT_TRUE(CloseHandle(port));
    }
    EXPECT_EQ(Only(TakeLog(), "Port").size(), 15u);  // CREATE, CLEANUP, CLOSE for each
}

TEST_F(AppTest, MissingNamesAndClosedHandlesFailWithTheirWin32Errors) {
    struct {
        const char16_t *name;
        DWORD error;
    } cases[] = {{u"\\\\.\\COM4", ERROR_FILE_NOT_FOUND}, {u"\\\\.\\", ERROR_FILE_NOT_FOUND}, {u"COMX", ERROR_FILE_NOT_FOUND}};
    for (auto &c : cases) {
        EXPECT_EQ(Open(c.name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    HANDLE port = Open(u"\\\\.\\COM3");
    ASSERT_TRUE(CloseHandle(port));
    DWORD bytes = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(AppTest, ExclusiveDeviceRefusesASecondOpenWithoutAskingTheDriver) {
    HANDLE first = Open(u"\\\\.\\COM3");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(u"\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"CREATE"}));
    EXPECT_EQ(sim::OpenHandleCount(node_), 1u);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = Open(u"\\\\.\\COM3");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(AppTest, TheRestOfTheNameReachesTheDriverAsTheFileName) {
    std::u16string path = u"\\\\?\\" + sim::DeviceInterfaces(&GUID_DEVINTERFACE_COMPORT)[0].symbolicLinkName.substr(4) +
                          u"\\if0pipe0";
    HANDLE pipe = Open(path.c_str());
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"CREATE with a file name"}));
    CloseHandle(pipe);
}

// =====================================================================================
// Transfers
// =====================================================================================
TEST_F(AppTest, BufferedReadCopiesOnlyWhatTheDriverReturned) {
    PortOf(node_)->readData = {'a', 'b', 'c'};
    HANDLE port = Open(u"\\\\.\\COM3");
    char buffer[8] = "-------";
    DWORD bytes = 99;
    ASSERT_TRUE(ReadFile(port, buffer, 8, &bytes, nullptr));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(std::string(buffer, 7), "abc----");
    ASSERT_TRUE(WriteFile(port, "hello", 5, &bytes, nullptr));
    EXPECT_EQ(bytes, 5u);
    EXPECT_TRUE(FlushFileBuffers(port));
    CloseHandle(port);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"CREATE", "READ", "WRITE 5", "FLUSH", "CLEANUP", "CLOSE"}));
}

TEST_F(AppTest, ControlOutputIsBoundedByTheCallersBufferAndShortBuffersAreRefused) {
    HANDLE port = Open(u"\\\\.\\COM3");
    SERIAL_BAUD_RATE baud{0};
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &bytes, nullptr));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(baud.BaudRate, 9600u);
    UCHAR small[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, small, sizeof small, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small[0], 0xEE);
    CloseHandle(port);
}

// =====================================================================================
// Overlapped requests
// =====================================================================================
TEST_F(AppTest, OverlappedReadPendsUntilCancelIoAndReportsTheAbort) {
    HANDLE port = Open(u"\\\\.\\COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    char buffer[4];
    DWORD bytes = 0;
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(event, 100), (DWORD)WAIT_TIMEOUT);  // 100 ms of simulated time

    ASSERT_TRUE(CancelIo(port));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), (DWORD)WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(CancelIoEx(port, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    CloseHandle(port);
    CloseHandle(event);
}

TEST_F(AppTest, CancelIoLeavesOtherThreadsRequestsAndCancelIoExTakesThem) {
    HANDLE port = Open(u"\\\\.\\COM3", FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    char buffer[4];
    sim::Thread reader = sim::StartThread([&] {
        EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &overlapped));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    });
    reader.Join();
    ASSERT_TRUE(CancelIo(port));  // this thread has none out
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    ASSERT_TRUE(CancelIoEx(port, &overlapped));
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &bytes, TRUE));  // waits on the file itself
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(port);
}

// A request still out at CloseHandle keeps the file: the cleanup goes at once, the close only
// after the driver has completed that request.
TEST_F(AppTest, CloseWaitsForTheFilesLastRequest) {
    PortDevice *device = PortOf(node_);
    device->keepReadsAtCleanup = true;
    HANDLE port = Open(u"\\\\.\\COM3", FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    char buffer[4];
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &overlapped));
    ASSERT_TRUE(CloseHandle(port));
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"CREATE", "READ", "CLEANUP"}));
    EXPECT_EQ(sim::OpenHandleCount(node_), 1u);
    FinishHeldRead(device);
    EXPECT_EQ((NTSTATUS)overlapped.Internal, STATUS_CANCELLED);
    KeWaitForSingleObject(&device->portClosed, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Only(TakeLog(), "Port"), (Lines{"CLOSE"}));
}

TEST_F(AppTest, OverlappedRequestThatCompletesAtOnceSucceedsAndSignals) {
    PortOf(node_)->readData = {'z'};
    HANDLE port = Open(u"\\\\.\\COM3", FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    char buffer[4];
    DWORD bytes = 0;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &bytes, &overlapped));
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 1u);
    CloseHandle(port);
    CloseHandle(event);
}

TEST(StatusMapping, DriverStatusesBecomeTheirWin32Errors) {
    struct {
        NTSTATUS status;
        ULONG error;
    } cases[] = {{STATUS_SUCCESS, ERROR_SUCCESS},
                 {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
                 {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
                 {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
                 {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
                 {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
                 {STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
                 {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
                 {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
                 {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
                 {(NTSTATUS)0xC0DE0001, ERROR_MR_MID_NOT_FOUND}};
    for (auto &c : cases) EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error) << std::hex << c.status;
}

}  // namespace
