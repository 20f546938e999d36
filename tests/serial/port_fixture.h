// A started serial port over the fake transport, in one line: the card reader/writer's PDO
// on the simulated USB bus, the fake transport as its function driver and CardRwCom (loaded
// as a module, as the PnP manager loads it) on top. Requests go straight to the port's device
// object, as the I/O manager would send them.
#pragma once

#include "serial/serial.h"
#include "sim/kernel/include/sim_app.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/kernel/include/sim_pnp.h"
#include "sim/usb/include/usb_bus.h"
#include "tests/serial/fake_transport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace serial_test {

inline constexpr int64_t kMs = 10000;   // one millisecond in 100 ns units

struct Result {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes out;
};

// Little-endian encoders for request buffers.
Bytes U32(ULONG value);
Bytes Timeouts(ULONG ri, ULONG rm, ULONG rc, ULONG wm, ULONG wc);
ULONG ReadU32(const Bytes& bytes, size_t offset = 0);
Bytes Pattern(size_t length, uint8_t seed = 0);

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Installs the fake transport and CardRwCom for the card reader/writer's hardware ID.
    void InstallServices();
    // Plugs the device in again (after a surprise removal or a disable).
    void Plug();
    // Plugs in and reports whether the port started (for runs with injected failures).
    bool TryPlug();
    // Removes every device and unloads CardRwCom, which reports anything it still owns.
    void RemoveAll();
    void Unplug();

    PDEVICE_OBJECT Port() const { return port_; }
    SerialDeviceExtension* Ext() const { return SerialExtension(port_); }
    FakeTransport& Lower() const { return FakeTransport::Get(); }
    sim::DeviceNode* Node() const { return node_; }
    std::u16string HardwareKey() const { return sim::HardwareKeyOf(node_); }

    // Requests to the port, each waited for.
    Result Ioctl(ULONG code, const Bytes& input = {}, ULONG outputLength = 0);
    Result Read(ULONG length);
    Result Write(const Bytes& data);
    NTSTATUS Open();
    NTSTATUS Close();
    NTSTATUS Cleanup();
    Result QueryInformation(ULONG informationClass, ULONG length);
    Result SendMajor(UCHAR major);
    // A Plug and Play request sent straight to the port, outside the PnP manager's sequences
    // (for states such as a pending query-stop that the manager passes through at once).
    NTSTATUS Pnp(UCHAR minor);

    // Sends a request and returns at once: for requests the port holds.
    struct PendingIoctl;
    std::shared_ptr<PendingIoctl> StartIoctl(ULONG code, const Bytes& input, ULONG outputLength);
    // A request without parameters of the given major function (a flush), sent the same way.
    std::shared_ptr<PendingIoctl> StartRequest(UCHAR major);
    Result Finish(const std::shared_ptr<PendingIoctl>& pending);
    std::shared_ptr<PendingIoctl> StartOwned(UCHAR major, ULONG code, const Bytes& input, ULONG outputLength);
    bool IsDone(const std::shared_ptr<PendingIoctl>& pending) const;
    void Cancel(const std::shared_ptr<PendingIoctl>& pending);

    std::shared_ptr<sim::usb::UsbDevice> usb_;
    std::shared_ptr<sim::usb::CardReaderModel> model_;
    sim::DeviceNode* node_ = nullptr;
    PDEVICE_OBJECT port_ = nullptr;
    bool open_ = false;
    HANDLE handle_ = nullptr;                       // the application's handle, when opened so
    NTSTATUS lastOpenStatus_ = STATUS_UNSUCCESSFUL;
};

// A port already open, its read worker parked on the first read, the requests so far forgotten.
class OpenPortTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        Lower().WaitReadParked();
        Lower().ClearRequests();
    }
};

} // namespace serial_test
