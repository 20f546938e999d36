// A small world for the PnP, power, registry and application tests: an in-process bus driver
// whose children are plugged by the test, a function driver that plays a COM port (publishes
// its name from "PortName", keeps serial settings, holds reads), and an upper filter. Every
// driver writes what it sees to one log, so tests assert on the order across the stack.
#pragma once

#include "sim/kernel/include/sim_app.h"
#include "sim/kernel/include/sim_gtest.h"
#include "sim/kernel/include/sim_pnp.h"

#include <mutex>
#include <string>
#include <vector>

namespace pt {

// =====================================================================================
// The log
// =====================================================================================
void Log(const std::string &line);
// Everything logged since the last call, then forgets it.
std::vector<std::string> TakeLog();
// The lines of one driver ("Bus", "Port", "Filter"), without the driver's name.
std::vector<std::string> Only(const std::vector<std::string> &lines, const std::string &driver);
std::string PnpName(UCHAR minor);
std::string IoctlName(ULONG code);

// =====================================================================================
// Bus driver: children with the card reader/writer's IDs
// =====================================================================================
struct Child {
    PDEVICE_OBJECT pdo = nullptr;
    bool gone = false;                 // reported missing: the next removal deletes the PDO
    NTSTATUS queryPowerAnswer = STATUS_SUCCESS;
    PIRP waitWake = nullptr;           // held wait-wake request
};
// A new child PDO "\Device\TestBusPdo<n>" with instance ID "<n>".
Child *PlugChild(int number);
// Completes the held wait-wake request of a child (the device signalled wake).
void SignalWake(Child *child);
extern const char16_t kHardwareId[];   // installed for the port function driver and the filter

// =====================================================================================
// Port function driver and filter
// =====================================================================================
struct PortSettings {
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{0, 0, 8};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
    SERIAL_TIMEOUTS timeouts{};
    ULONG waitMask = 0;
    ULONG modemControl = 0;  // DTR bit 0, RTS bit 1
};
struct PortDevice {
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    UNICODE_STRING deviceName{};
    UNICODE_STRING linkName{};       // \DosDevices\Global\<PortName> while published
    UNICODE_STRING interfaceName{};
    PortSettings settings;
    KSPIN_LOCK lock;                 // guards heldRead
    PIRP heldRead = nullptr;
    std::vector<UCHAR> readData;     // the next read completes at once with these bytes
    ULONG receiveQueue = 0;          // reported as AmountInInQueue
    bool holdSurpriseUntilClose = false;
    bool keepReadsAtCleanup = false;
    KEVENT surpriseArrived;          // signalled when IRP_MN_SURPRISE_REMOVAL arrives
    KEVENT portClosed;               // signalled while no handle is open
};
// Completes a held read with STATUS_CANCELLED, as the driver would (the device went quiet).
void FinishHeldRead(PortDevice *port);
// Services "TestPort" and "TestFilter" and the hardware ID, installed as in-process drivers.
void InstallDrivers(bool withFilter = true);
// The port device of a node (the device the port driver created).
PortDevice *PortOf(sim::DeviceNode *node);

// =====================================================================================
// Fixture
// =====================================================================================
class PnpTest : public sim::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Plugs child 'number' and lets the PnP manager build and start its stack.
    sim::DeviceNode *Arrive(int number, sim::PnpResult *result = nullptr);
};

}  // namespace pt
