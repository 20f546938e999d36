// Internal interfaces between the files of the simulated kernel. Not for drivers or tests.
#pragma once

#include "sim/kernel/include/ntddk_sim.h"
#include "sim/kernel/include/sim_kernel.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

// A thread object: a dispatcher object signalled when the thread ends.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    KPRIORITY Priority;
    bool System;                 // created by PsCreateSystemThread
    PDRIVER_OBJECT Driver;       // the driver that created it (system threads)
};

namespace sim {
namespace detail {

// =====================================================================================
// Verifier (verifier.cpp)
// =====================================================================================
// The driver routine running on a thread; a stack, since driver calls nest (a dispatch
// routine calls IoCallDriver, which runs the lower driver's dispatch).
struct Activity {
    PDRIVER_OBJECT driver;
    const char *kind;       // "dispatch IRP_MJ_READ", "completion routine", "DriverEntry" ...
    const void *routine;
    PIRP irp;
    KIRQL expectedIrql;     // IRQL the routine must return at
    int expectedLocks;      // spin locks the thread must hold when the routine returns
    Activity *previous;
};

// Reports a verifier failure, naming the running driver routine.
void Fail(const std::string &what);
// "driver \Driver\X, dispatch IRP_MJ_READ (module+0x1234)" or "no driver code".
std::string DescribeActivity();
std::string Hex(uint64_t value);
const char *MajorName(UCHAR major);

// Enters a driver routine with an explicit expectation on IRQL and spin locks at return
// (a cancel routine is entered holding the cancel spin lock and must release it).
void EnterDriver(Activity &activity, PDRIVER_OBJECT driver, const char *kind, const void *routine, PIRP irp);
void LeaveDriver(Activity &activity);

// =====================================================================================
// Per-thread state and the dispatcher (sync.cpp, clock.cpp)
// =====================================================================================
struct Waiter {
    std::condition_variable cv;
    ULONG count = 0;
    PDISPATCHER_HEADER objects[MAXIMUM_WAIT_OBJECTS] = {};
    WAIT_TYPE type = WaitAny;
    bool hasDeadline = false;
    int64_t deadline = 0;  // interrupt time
    bool satisfied = false;
    bool counted = false;  // counted as blocked (not when the thread already is, in a BlockedScope)
    NTSTATUS result = STATUS_SUCCESS;
    Waiter *next = nullptr;  // in the dispatcher's list of blocked waiters
};

struct ThreadContext {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    Activity *activity = nullptr;
    bool registered = false;
    bool blockedScope = false;
    _KTHREAD *threadObject = nullptr;
    bool ownsThreadObject = false;  // lazily created for a thread that is no system thread
    Waiter waiter;
    ~ThreadContext();
};
ThreadContext &Self();

// The one lock of the dispatcher: guards every dispatcher object's state, the list of
// waiters, the thread registry and the virtual clock.
std::unique_lock<std::mutex> LockDispatcher();
// Wakes every waiter whose wait the state change satisfied. Caller holds the dispatcher lock.
void WakeWaitersLocked();
// Waits for the objects; caller holds the dispatcher lock (released while blocked).
NTSTATUS WaitLocked(std::unique_lock<std::mutex> &lock, ULONG count, PDISPATCHER_HEADER *objects, WAIT_TYPE type,
                    bool hasDeadline, int64_t deadline);
void SignalObjectLocked(PDISPATCHER_HEADER header);

// Thread registry of the virtual clock. A thread created by the simulation is counted by its
// creator (PreRegisterThread) before it starts, so that the clock cannot jump in between.
void RegisterSelf();
void PreRegisterThreadLocked();
void AdoptPreRegistration();   // first thing a pre-registered thread does
void UnregisterSelfLocked();
// Jumps the clock to the earliest deadline when every registered thread waits.
void MaybeAdvanceClockLocked();
int64_t InterruptTimeLocked();
void SetInterruptTimeLocked(int64_t time);
extern const int64_t kSystemTimeBase;  // system time at interrupt time 0
// Timer queue of the timer thread (clock.cpp); times are interrupt times.
uint64_t ScheduleLocked(int64_t interruptTime, std::function<void()> callback);
uint64_t NextScheduleIdLocked();
bool CancelScheduledLocked(uint64_t id);

// =====================================================================================
// Objects and handles (object.cpp), drivers (driver.cpp), devices (device.cpp)
// =====================================================================================
void RegisterObjectWithCount(void *object, LONG count, std::function<void()> release);
bool IsRegisteredObject(void *object);
std::vector<std::string> HandleLeaks(PDRIVER_OBJECT driver);
std::vector<std::string> PoolLeaks(PDRIVER_OBJECT driver);
std::vector<std::string> IrpLeaks(PDRIVER_OBJECT driver);
std::vector<std::string> MdlLeaks(PDRIVER_OBJECT driver);
std::vector<std::string> ThreadLeaks(PDRIVER_OBJECT driver);
std::vector<std::string> DeviceLeaks(PDRIVER_OBJECT driver);
void ForgetDriverResources(PDRIVER_OBJECT driver);
bool IsForcedPending(PDEVICE_OBJECT device);
void ResetForcedPending();
void ResetFaults();
size_t RunningSystemThreads(PDRIVER_OBJECT driver);

// Pool at 'block' is freed: a request the driver had initialised there is gone with it.
void ForgetRequestInFreedPool(void *block);

// MDLs the I/O manager builds for its own requests, not charged to any driver.
PMDL AllocateMdlInternal(PVOID va, ULONG length);
void FreeMdlInternal(PMDL mdl);

}  // namespace detail
}  // namespace sim
