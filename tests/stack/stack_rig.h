// The whole card reader/writer stack on the simulated platform, as Windows builds it from the
// installed INF: the simulated USB bus at the bottom with the card reader/writer plugged in,
// CardRwUsb as the function driver (loaded from its module) and CardRwCom as the upper filter
// that presents the COM port. Tests talk to the port only through the Win32 serial API on its
// COM name; the rig gives them that name, the device node, the device model (what the device
// sends and what it saw) and the Plug and Play and power events of a device's life.
//
// Typical use:
//     class MyTest : public stack_test::StackTest {};
//     TEST_F(MyTest, Echo) {
//         HANDLE port = Rig().Open();                 // "\\.\COM3"
//         Rig().Model().SetLoopback(true);
//         ... WriteFile / ReadFile / WaitCommEvent ...
//         CloseHandle(port);
//     }                                               // removal, unload and leak check follow
#pragma once

#include "sim/kernel/include/sim_app.h"
#include "sim/kernel/include/sim_gtest.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/kernel/include/sim_pnp.h"
#include "sim/usb/include/usb_bus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stack_test {

using sim::usb::Bytes;

inline constexpr int64_t kMs = 10000;  // one millisecond of virtual time, in 100 ns units

// Where the port's COM name is published. Every field is empty or false once it is withdrawn.
struct Publication {
    std::optional<std::u16string> LinkTarget;     // target of \DosDevices\Global\<COM name>
    std::optional<std::u16string> SerialCommName; // the SERIALCOMM value whose data is the COM name
    bool InterfaceEnabled = false;                // a COM-port interface of the device, enabled
    bool Withdrawn() const { return !LinkTarget && !SerialCommName && !InterfaceEnabled; }
};

// ---------------------------------------------------------------------------------------------
// The rig. Creating it installs the drivers; destroying it removes every device, lets the two
// drivers unload (the verifier reports anything they still own as a test failure) and checks
// that the application closed every handle.
// ---------------------------------------------------------------------------------------------
class StackRig {
public:
    // 'testFiltersAboveCom': services of test-only upper filters to load above CardRwCom
    // (installed by the test), bottom to top.
    explicit StackRig(const std::vector<std::u16string> &testFiltersAboveCom = {});
    ~StackRig();
    StackRig(const StackRig &) = delete;
    StackRig &operator=(const StackRig &) = delete;

    // ---- The device's life ----
    // Plugs a new card reader/writer in; the PnP manager builds and starts the stack. True when
    // the port started. A second call after Unplug plugs the device in again.
    bool Plug();
    // Pulls the cable and returns once the PnP manager has finished the surprise removal
    // (the removal itself follows when the application has closed its handle). From the test's
    // thread; a device that pulls its own cable from a model handler runs Usb().Unplug() there,
    // and the test joins the bus's PnP thread (Usb().WaitForPnp()) only after that thread ended.
    void Unplug();
    // Waits until the removal that follows an unplug has run; returns what it sent.
    sim::PnpResult WaitForRemoval();
    // Rebalance: query-stop, stop, start.
    sim::PnpResult Rebalance();
    // System sleep (query and set) and wake, through the power manager.
    sim::PowerResult Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    sim::PowerResult Wake();
    // The device takes the next 'stagesTaken' bulk OUT transfers and then stops answering: the
    // transfer after them stays with it until cancelled (ClearFaults on Usb() ends the script).
    void StallWritesAfter(int stagesTaken);

    // ---- What the test looks at ----
    sim::usb::CardReaderModel &Model() const { return *model_; }  // the plugged device
    sim::usb::UsbDevice &Usb() const { return *usb_; }
    sim::DeviceNode *Node() const { return node_; }
    sim::DeviceNodeState State() const { return sim::StateOf(node_); }
    std::u16string ComName() const;       // "COM3": the PortName the class installer gave the device
    std::u16string PortPath() const;      // "\\.\COM3"
    Publication Published() const;        // where that COM name is published now
    PDRIVER_OBJECT UsbDriver() const;     // the loaded drivers, nullptr once unloaded
    PDRIVER_OBJECT ComDriver() const;

    // ---- Application side ----
    // Opens the port by its COM name (read and write, exclusive); overlapped when asked.
    // INVALID_HANDLE_VALUE with the last error set when the open fails.
    HANDLE Open(bool overlapped = false) const;

    // Lets virtual time pass: returns once every other simulated thread has been waiting and
    // 'ms' of virtual time went by. After it, a request another thread sent is as far into the
    // stack as it can get without further events.
    static void Settle(int ms = 1);
    // Settles until 'done' holds, at most 'ms' of virtual time; returns 'done()'.
    static bool SettleUntil(const std::function<bool()> &done, int ms = 10000);

private:
    void ForgetDevice();

    std::shared_ptr<sim::usb::CardReaderModel> model_;
    std::shared_ptr<sim::usb::UsbDevice> usb_;
    std::vector<std::shared_ptr<sim::usb::UsbDevice>> unplugged_;  // kept until the rig ends
    sim::DeviceNode *node_ = nullptr;
};

// An application handle closed when the guard goes (also when an assertion leaves the test).
class PortHandle {
public:
    explicit PortHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~PortHandle() { Close(); }
    PortHandle(const PortHandle &) = delete;
    PortHandle &operator=(const PortHandle &) = delete;
    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    // CloseHandle's result; TRUE when there was nothing to close.
    BOOL Close();

private:
    HANDLE handle_;
};

// The fixture: a fresh kernel, the stack installed and the card reader/writer plugged in and
// started. The test closes its handles; the fixture removes the device and checks for leaks.
class StackTest : public sim::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    StackRig &Rig() { return *rig_; }
    // A fixture that needs test-only filters above the port names their services here.
    virtual std::vector<std::u16string> TestFiltersAboveCom() { return {}; }

private:
    std::unique_ptr<StackRig> rig_;
};

// ---- Small helpers for tests ----
// 'length' bytes of a pattern that does not repeat within 64 KiB, different per seed.
Bytes Pattern(size_t length, uint32_t seed);
// Reads the port's state into *dcb and sets 'baud' 8N1 in it (not yet sent to the port).
bool GetState8N1(HANDLE port, DWORD baud, DCB *dcb);
// The port set to 'baud' 8N1 with the given time-outs (read interval, read multiplier, read
// constant, write multiplier, write constant in ms). False when a call failed.
bool SetPort(HANDLE port, DWORD baud, const COMMTIMEOUTS &timeouts);
// One ReadFile or WriteFile on a synchronous or overlapped handle, waited for the way an
// application waits for an overlapped request (GetOverlappedResult); the result of the call
// with its last error.
BOOL TransferAndWait(HANDLE port, bool write, void *buffer, DWORD length, DWORD *done);
// Reads until 'length' bytes arrived, a read failed, or a read returned nothing after its whole
// total time-out (ReadTotalTimeoutConstant) of virtual time; returns what arrived. A read that
// returns nothing before its time-out has run out is read again and counted in *earlyEmpty.
// Works on synchronous and overlapped handles alike.
Bytes ReadExactly(HANDLE port, size_t length, size_t *earlyEmpty = nullptr);
// One write of all of 'data'; true when the port reports every byte written.
bool WriteAll(HANDLE port, const Bytes &data);
// Printable COM name and such, for messages.
std::string Narrow(const std::u16string &text);

}  // namespace stack_test
