// Dispatcher objects and waits (events, semaphores, thread and timer objects), spin locks and
// IRQL of the simulated kernel.
//
// One dispatcher lock guards the state of every dispatcher object and the list of blocked
// waiters, as in the real kernel. A signal satisfies the waits it completes right away (the
// signaller consumes synchronization events on behalf of the waiter), so a satisfied waiter
// no longer counts as blocked for the virtual clock even before its thread runs again.
#include "kernel_internal.h"

#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace detail {

// =====================================================================================
// Per-thread state
// =====================================================================================
ThreadContext &Self() {
    static thread_local ThreadContext context;
    return context;
}

// =====================================================================================
// Object state (caller holds the dispatcher lock)
// =====================================================================================
namespace {

bool IsDispatcherObject(PDISPATCHER_HEADER header) {
    switch (header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return true;
    default:
        return false;
    }
}

bool IsSignalled(PDISPATCHER_HEADER header) { return header->SignalState > 0; }

// The side effect of a satisfied wait: auto-reset objects give their signal to one waiter.
void Consume(PDISPATCHER_HEADER header) {
    switch (header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        header->SignalState = 0;
        break;
    case SemaphoreObject:
        header->SignalState--;
        break;
    default:
        break;
    }
}

// Satisfies the wait if it can be satisfied now; true when it was.
bool TrySatisfy(Waiter &waiter) {
    if (waiter.type == WaitAll) {
        for (ULONG i = 0; i < waiter.count; i++)
            if (!IsSignalled(waiter.objects[i])) return false;
        for (ULONG i = 0; i < waiter.count; i++) Consume(waiter.objects[i]);
        waiter.result = STATUS_SUCCESS;
        return true;
    }
    for (ULONG i = 0; i < waiter.count; i++) {
        if (IsSignalled(waiter.objects[i])) {
            Consume(waiter.objects[i]);
            waiter.result = STATUS_WAIT_0 + (NTSTATUS)i;
            return true;
        }
    }
    return false;
}

struct Dispatcher {
    std::mutex lock;
    Waiter *waiters = nullptr;  // blocked, unsatisfied waits in arrival order
    uint64_t progress = 0;      // bumped on every wake, for the hang check
    int hangTimeoutSeconds = 30;
};

Dispatcher &TheDispatcher() {
    static Dispatcher *dispatcher = new Dispatcher;  // never destroyed (threads outlive main)
    return *dispatcher;
}

void AppendWaiterLocked(Waiter *waiter) {
    Waiter **link = &TheDispatcher().waiters;
    while (*link != nullptr) link = &(*link)->next;
    waiter->next = nullptr;
    *link = waiter;
}

}  // namespace

std::unique_lock<std::mutex> LockDispatcher() { return std::unique_lock<std::mutex>(TheDispatcher().lock); }

// Counters of the clock's thread registry live in clock.cpp.
void NoteWaitBlockedLocked();
void NoteWaitUnblockedLocked();
bool EveryThreadBlockedLocked();
std::string RegistrySummaryLocked();

void WakeWaitersLocked() {
    Dispatcher &dispatcher = TheDispatcher();
    Waiter **link = &dispatcher.waiters;
    while (*link != nullptr) {
        Waiter *waiter = *link;
        if (TrySatisfy(*waiter)) {
            *link = waiter->next;
            waiter->satisfied = true;
            if (waiter->counted) NoteWaitUnblockedLocked();
            dispatcher.progress++;
            waiter->cv.notify_one();
        } else {
            link = &waiter->next;
        }
    }
}

// Times out every waiter whose deadline has come (called by the clock).
void ExpireDeadlinesLocked(int64_t now) {
    Dispatcher &dispatcher = TheDispatcher();
    Waiter **link = &dispatcher.waiters;
    while (*link != nullptr) {
        Waiter *waiter = *link;
        if (waiter->hasDeadline && waiter->deadline <= now) {
            *link = waiter->next;
            waiter->satisfied = true;
            waiter->result = STATUS_TIMEOUT;
            if (waiter->counted) NoteWaitUnblockedLocked();
            dispatcher.progress++;
            waiter->cv.notify_one();
        } else {
            link = &waiter->next;
        }
    }
}

bool EarliestDeadlineLocked(int64_t *deadline) {
    bool found = false;
    for (Waiter *waiter = TheDispatcher().waiters; waiter != nullptr; waiter = waiter->next) {
        if (waiter->hasDeadline && (!found || waiter->deadline < *deadline)) {
            *deadline = waiter->deadline;
            found = true;
        }
    }
    return found;
}

void SignalObjectLocked(PDISPATCHER_HEADER header) {
    header->SignalState = 1;
    WakeWaitersLocked();
}

void SetHangTimeoutLocked(int seconds) { TheDispatcher().hangTimeoutSeconds = seconds; }

namespace {

// Every simulated thread waits and no deadline is pending: nothing inside the simulation can
// wake anybody. Wait a while on the wall clock for threads outside it, then report the hang.
void WaitOrReportHang(std::unique_lock<std::mutex> &lock, Waiter &waiter) {
    Dispatcher &dispatcher = TheDispatcher();
    uint64_t progress = dispatcher.progress;
    bool woken = waiter.cv.wait_for(lock, std::chrono::seconds(dispatcher.hangTimeoutSeconds),
                                    [&] { return waiter.satisfied || dispatcher.progress != progress; });
    int64_t deadline;
    if (woken || !EveryThreadBlockedLocked() || EarliestDeadlineLocked(&deadline)) return;
    std::string message = "hang: every simulated thread waits and no deadline is pending (" +
                          RegistrySummaryLocked() + ")";
    lock.unlock();
    Fail(message);
    fprintf(stderr, "simulated kernel: %s\n", message.c_str());
    abort();
}

}  // namespace

NTSTATUS WaitLocked(std::unique_lock<std::mutex> &lock, ULONG count, PDISPATCHER_HEADER *objects, WAIT_TYPE type,
                    bool hasDeadline, int64_t deadline) {
    Waiter &waiter = Self().waiter;
    waiter.count = count;
    for (ULONG i = 0; i < count; i++) waiter.objects[i] = objects[i];
    waiter.type = type;
    waiter.satisfied = false;
    if (count > 0 && TrySatisfy(waiter)) return waiter.result;
    if (hasDeadline && deadline <= InterruptTimeLocked()) return STATUS_TIMEOUT;
    waiter.hasDeadline = hasDeadline;
    waiter.deadline = deadline;
    AppendWaiterLocked(&waiter);
    waiter.counted = !Self().blockedScope;
    if (waiter.counted) NoteWaitBlockedLocked();
    MaybeAdvanceClockLocked();
    while (!waiter.satisfied) {
        int64_t earliest;
        if (EveryThreadBlockedLocked() && !EarliestDeadlineLocked(&earliest)) WaitOrReportHang(lock, waiter);
        else waiter.cv.wait(lock);
    }
    return waiter.result;
}

}  // namespace detail

void SetHangTimeout(int seconds) {
    auto lock = detail::LockDispatcher();
    detail::SetHangTimeoutLocked(seconds);
}

}  // namespace sim

using namespace sim::detail;

// =====================================================================================
// Waits
// =====================================================================================
namespace {

// A relative time-out is negative (100 ns units), an absolute one positive (system time).
bool DeadlineFromTimeout(PLARGE_INTEGER timeout, int64_t now, int64_t *deadline) {
    if (timeout == NULL) return false;
    LONGLONG value = timeout->QuadPart;
    if (value < 0) *deadline = now - value;
    else *deadline = value - kSystemTimeBase;
    return true;
}

bool CheckWaitIrql(PLARGE_INTEGER timeout) {
    bool blocking = timeout == NULL || timeout->QuadPart != 0;
    if (blocking && Self().irql >= DISPATCH_LEVEL) {
        Fail("waits at IRQL " + std::to_string(Self().irql) + " (DISPATCH_LEVEL or above)");
        return false;
    }
    return true;
}

}  // namespace

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                             KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                                             PVOID WaitBlockArray) {
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        Fail("waits on " + std::to_string(Count) + " objects (1 to 64 allowed)");
        return STATUS_INVALID_PARAMETER;
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL)
        Fail("waits on more than THREAD_WAIT_OBJECTS objects without a wait block array");
    if (WaitType != WaitAll && WaitType != WaitAny) {
        Fail("waits with an invalid wait type");
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < Count; i++) {
        if (Object[i] == NULL || !IsDispatcherObject((PDISPATCHER_HEADER)Object[i])) {
            Fail("waits on something that is not a dispatcher object (" + Hex((uint64_t)(uintptr_t)Object[i]) + ")");
            return STATUS_INVALID_PARAMETER;
        }
    }
    CheckWaitIrql(Timeout);
    RegisterSelf();
    auto lock = LockDispatcher();
    int64_t deadline = 0;
    bool hasDeadline = DeadlineFromTimeout(Timeout, InterruptTimeLocked(), &deadline);
    return WaitLocked(lock, Count, (PDISPATCHER_HEADER *)Object, WaitType, hasDeadline, deadline);
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    PVOID objects[1] = {Object};
    return KeWaitForMultipleObjects(1, objects, WaitAny, WaitReason, WaitMode, Alertable, Timeout, NULL);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    CheckWaitIrql(Interval);
    RegisterSelf();
    auto lock = LockDispatcher();
    int64_t deadline = 0;
    DeadlineFromTimeout(Interval, InterruptTimeLocked(), &deadline);
    if (deadline <= InterruptTimeLocked()) {
        lock.unlock();
        sched_yield();
        return STATUS_SUCCESS;
    }
    WaitLocked(lock, 0, nullptr, WaitAny, true, deadline);
    return STATUS_SUCCESS;
}

// =====================================================================================
// Events and semaphores
// =====================================================================================
extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    auto lock = LockDispatcher();
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    auto lock = LockDispatcher();
    LONG previous = Event->Header.SignalState;
    SignalObjectLocked(&Event->Header);
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) {
    auto lock = LockDispatcher();
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    auto lock = LockDispatcher();
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    auto lock = LockDispatcher();
    return Event->Header.SignalState;
}

extern "C" VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    auto lock = LockDispatcher();
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    Semaphore->Header.SignalState = Count;
    Semaphore->Limit = Limit;
    InitializeListHead(&Semaphore->Header.WaitListHead);
}

extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
    auto lock = LockDispatcher();
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous + (int64_t)Adjustment > Semaphore->Limit) {
        lock.unlock();
        Fail("releases a semaphore beyond its limit");
        return previous;
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    WakeWaitersLocked();
    return previous;
}

extern "C" LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    auto lock = LockDispatcher();
    return Semaphore->Header.SignalState;
}

// =====================================================================================
// IRQL
// =====================================================================================
extern "C" KIRQL KeGetCurrentIrql(void) { return Self().irql; }

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    ThreadContext &self = Self();
    if (NewIrql < self.irql) Fail("raises IRQL to " + std::to_string(NewIrql) + " from the higher " + std::to_string(self.irql));
    *OldIrql = self.irql;
    self.irql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
    ThreadContext &self = Self();
    if (NewIrql > self.irql) Fail("lowers IRQL to " + std::to_string(NewIrql) + " from the lower " + std::to_string(self.irql));
    if (NewIrql < DISPATCH_LEVEL && self.spinLocksHeld > 0) Fail("lowers IRQL below DISPATCH_LEVEL while holding a spin lock");
    self.irql = NewIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

extern "C" VOID KeEnterCriticalRegion(void) {}
extern "C" VOID KeLeaveCriticalRegion(void) {}

// =====================================================================================
// Spin locks: real locks. The lock word holds the owning thread's context, so that a
// recursive acquisition (a certain deadlock) and a release by a non-owner are reported.
// =====================================================================================
namespace {

void AcquireLockWord(PKSPIN_LOCK SpinLock) {
    ULONG_PTR self = (ULONG_PTR)&Self();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self) {
        Fail("acquires a spin lock it already holds (deadlock)");
        abort();
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 0) sched_yield();
    }
    Self().spinLocksHeld++;
}

void ReleaseLockWord(PKSPIN_LOCK SpinLock) {
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != (ULONG_PTR)&Self()) {
        Fail("releases a spin lock it does not hold");
        return;
    }
    Self().spinLocksHeld--;
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

void CheckAtDispatch(const char *routine) {
    if (Self().irql != DISPATCH_LEVEL) Fail(std::string("calls ") + routine + " at IRQL " + std::to_string(Self().irql));
}

}  // namespace

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE); }

extern "C" VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) { *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock); }

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    ThreadContext &self = Self();
    if (self.irql > DISPATCH_LEVEL) Fail("acquires a spin lock above DISPATCH_LEVEL");
    KIRQL old = self.irql;
    self.irql = DISPATCH_LEVEL;
    AcquireLockWord(SpinLock);
    return old;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseLockWord(SpinLock);
    KeLowerIrql(NewIrql);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    CheckAtDispatch("KeAcquireSpinLockAtDpcLevel");
    AcquireLockWord(SpinLock);
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    CheckAtDispatch("KeReleaseSpinLockFromDpcLevel");
    ReleaseLockWord(SpinLock);
}

extern "C" BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }
