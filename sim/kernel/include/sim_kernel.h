// Control interface of the simulated Windows kernel, for tests and for the other parts of the
// simulation (object namespace, PnP manager, USB bus). Ordinary C++17: drivers never include it.
#pragma once

#include "sim/kernel/include/ntddk_sim.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// =====================================================================================
// Verifier
// =====================================================================================
// The verifier is always on. Every failure names the driver, the routine that was running
// and the request concerned. By default a failure goes to the failure handler, which prints
// it and aborts the process; tests install a handler that fails the running test instead
// (sim_gtest.h does this).
using FailureHandler = std::function<void(const std::string &message)>;
void SetFailureHandler(FailureHandler handler);

// Reports a verifier failure from another part of the simulation (for example the PnP manager),
// decorated with the driver routine that is running on this thread.
void ReportFailure(const std::string &what);

// While a recorder exists, failures are recorded instead of being reported, so that a test can
// expect them. Recorders do not nest.
class VerifierRecorder {
public:
    VerifierRecorder();
    ~VerifierRecorder();
    VerifierRecorder(const VerifierRecorder &) = delete;
    VerifierRecorder &operator=(const VerifierRecorder &) = delete;
    std::vector<std::string> Failures() const;
    // Number of recorded failures whose text contains 'fragment'.
    size_t Count(const std::string &fragment) const;
};
// Every failure recorded since the current recorder was created.
std::vector<std::string> VerifierFailures();

// =====================================================================================
// Drivers
// =====================================================================================
// Creates a driver object named 'name' (for example u"\\Driver\\TestLower") and enters
// 'init' as its DriverEntry. Returns nullptr, with *status set, when the entry fails; the
// driver object is then gone.
PDRIVER_OBJECT CreateDriver(const std::u16string &name, PDRIVER_INITIALIZE init, NTSTATUS *status = nullptr,
                            const std::u16string &registryPath = u"");
// Calls DriverUnload (if any), reports the driver's leaks, and frees the driver object.
// The driver's devices must be deleted before.
void UnloadDriver(PDRIVER_OBJECT driver);
// Resources still owned by 'driver': one line each ("pool block of 64 bytes, tag 'XyzT'").
std::vector<std::string> DriverLeaks(PDRIVER_OBJECT driver);
// Reports every leak of 'driver' as a verifier failure; true when there were none.
bool CheckDriverLeaks(PDRIVER_OBJECT driver);
// Other parts of the simulation register their own per-driver resources (symbolic links,
// device interfaces, registry handles): the function returns one line per leaked resource.
using LeakSource = std::function<std::vector<std::string>(PDRIVER_OBJECT driver)>;
void RegisterLeakSource(const std::string &name, LeakSource source);
void UnregisterLeakSource(const std::string &name);
// The driver whose code is running on this thread, nullptr outside driver code.
PDRIVER_OBJECT CurrentDriver();
// Printable name of a driver ("\Driver\TestLower" as UTF-8).
std::string DriverName(PDRIVER_OBJECT driver);

// Runs 'call' as driver code of 'driver' (attribution of allocations, naming in failures,
// checks of IRQL and spin locks on return). The simulation uses it around every entry into a
// driver routine it makes itself (AddDevice, PnP notifications, power callbacks).
class DriverCall {
public:
    DriverCall(PDRIVER_OBJECT driver, const char *routineKind, const void *routine, PIRP irp = nullptr);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

private:
    void *saved_;
};

// Loader support: the module handle (dlopen) that belongs to a driver object, closed after unload.
void SetDriverModule(PDRIVER_OBJECT driver, void *module);

// =====================================================================================
// Devices and objects
// =====================================================================================
// The device object created under 'name' (case-insensitive), or nullptr. No reference is taken.
PDEVICE_OBJECT FindNamedDevice(const std::u16string &name);
// The name given to IoCreateDevice, empty for an unnamed device.
std::u16string DeviceName(PDEVICE_OBJECT device);
// True once IoDeleteDevice ran for the device (the object lives on while referenced, also by a
// device still attached above it, until the last reference goes).
bool IsDeviceDeleted(PDEVICE_OBJECT device);
// True while the device object exists (created and not yet released).
bool IsLiveDevice(PDEVICE_OBJECT device);
// Objects of other parts of the simulation join the reference counting of ObReferenceObject
// and ObDereferenceObject: 'release' runs when the count reaches zero. The count starts at 1.
void RegisterObject(void *object, std::function<void()> release);

// Handles (ZwClose, ObReferenceObjectByHandle): other parts of the simulation create handles
// of their own kind ("key" for registry keys). The handle is charged to the current driver.
HANDLE CreateHandle(const std::string &kind, void *object, std::function<void()> close);
// The object behind 'handle' if it is of 'kind', else nullptr.
void *LookupHandle(HANDLE handle, const std::string &kind);

// =====================================================================================
// Requests
// =====================================================================================
// With forced pending on for a device, IoCallDriver marks the request pending in that
// device's stack location, returns STATUS_PENDING to the caller at once, and runs the
// device's dispatch routine on a separate simulated thread. The caller therefore always takes
// its pending path (waits for its event, or finishes in its completion routine), and
// PendingReturned reaches every completion routine above, exactly as when a real lower
// driver queues the request and completes it later from another thread.
void ForcePending(PDEVICE_OBJECT device, bool on);
// Waits (as a simulated wait) until every dispatch started by forced pending has returned.
void DrainForcedPending();
// Number of live requests allocated by the driver (or by anyone, for nullptr).
size_t LiveIrpCount(PDRIVER_OBJECT driver = nullptr);

// =====================================================================================
// Virtual clock, simulated threads and timers
// =====================================================================================
// The virtual clock in 100 ns units since 1601 (the system time). Interrupt time is the same
// clock counted from boot.
int64_t Now();
int64_t InterruptTime();
// Moves the clock forward by 'delta' (100 ns), firing every deadline that falls inside.
void AdvanceClock(int64_t delta100ns);

// A simulated application thread: registered with the clock from creation, its Join is a
// simulated wait.
class Thread {
public:
    Thread() = default;
    Thread(Thread &&other) noexcept;
    Thread &operator=(Thread &&other) noexcept;
    ~Thread();  // joins
    void Join();
    bool Joinable() const;

private:
    friend Thread StartThread(std::function<void()> body);
    std::shared_ptr<struct ThreadState> state_;
};
Thread StartThread(std::function<void()> body);

// Registers the calling thread with the clock (the test's main thread is registered on its first
// call into the simulation; call this explicitly when a raw thread takes part in a scenario).
// Threads unregister when they end.
void RegisterCurrentThread();
// While a BlockedScope exists, this thread counts as waiting for the clock: use it around a
// blocking wait outside the simulation whose wake-up comes from another simulated thread.
class BlockedScope {
public:
    BlockedScope();
    ~BlockedScope();
};

// Runs 'callback' on the simulation's timer thread once the virtual clock reaches 'time' (a
// system time, the scale of Now()), or after 'delay100ns' from now. A pending callback is a deadline the clock can jump to. The
// callback runs as code of no driver at PASSIVE_LEVEL; it may take locks and call drivers.
// Returns an id for CancelScheduled.
uint64_t ScheduleAt(int64_t time, std::function<void()> callback);
uint64_t ScheduleAfter(int64_t delay100ns, std::function<void()> callback);
// True when the callback was still pending and will not run.
bool CancelScheduled(uint64_t id);

// Wall-clock seconds after which a state with every simulated thread waiting and no deadline
// pending is reported as a hang (then the process aborts). Default 30.
void SetHangTimeout(int seconds);

// =====================================================================================
// Fault injection
// =====================================================================================
enum FaultKind : unsigned {
    FaultPool = 1u << 0,          // ExAllocatePool*
    FaultIrp = 1u << 1,           // IoAllocateIrp
    FaultMdl = 1u << 2,           // IoAllocateMdl
    FaultBuildRequest = 1u << 3,  // IoBuildDeviceIoControlRequest, IoBuildSynchronousFsdRequest
    FaultDevice = 1u << 4,        // IoCreateDevice
    FaultThread = 1u << 5,        // PsCreateSystemThread
    FaultSymbolicLink = 1u << 6,  // IoCreateSymbolicLink (object namespace)
    FaultRegistry = 1u << 7,      // registry writes and key creation
    FaultInterface = 1u << 8,     // IoRegisterDeviceInterface, IoSetDeviceInterfaceState
    FaultAll = 0xFFFFFFFFu,
};

struct FaultPlan {
    unsigned kinds = FaultAll;         // which calls count and may fail
    PDRIVER_OBJECT driver = nullptr;   // only calls made by this driver's code; nullptr: any
    uint64_t failNth = 0;              // fail the Nth matching call (1-based), 0: none
    bool failAllAfterNth = false;      // fail every matching call from the Nth on
    uint32_t randomSeed = 0;           // with randomPerMille > 0: fail at random, deterministically
    uint32_t randomPerMille = 0;
};
// Arms a plan and resets the counters.
void SetFaultPlan(const FaultPlan &plan);
// Disarms fault injection (counting goes on).
void ClearFaults();
// Matching injectable calls since the plan was set, and how many of them were failed.
uint64_t InjectableCalls();
uint64_t InjectedFailures();
// Asked by every injectable call: true when this call must fail. Counts the call.
bool ShouldFail(FaultKind kind);

// =====================================================================================
// Accounting
// =====================================================================================
struct PoolUsage {
    size_t blocks = 0;
    size_t bytes = 0;
};
PoolUsage PoolUsageOf(PDRIVER_OBJECT driver);

// Puts the kernel back into a fresh state between tests: faults disarmed, forced pending off.
// Objects still alive stay alive; the virtual clock keeps its time.
void ResetForTest();

}  // namespace sim
