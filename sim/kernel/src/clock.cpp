// The virtual clock: system and interrupt time, the registry of simulated threads that decides
// when time may jump, the timer thread that runs scheduled callbacks, kernel timers and DPCs.
//
// Time never follows the wall clock. It moves when every registered thread waits in a
// simulated wait: then it jumps to the earliest pending deadline (a wait's time-out, a delay,
// a scheduled callback) and wakes whoever owns it. Runs are therefore deterministic in virtual
// time, and a 2-second time-out costs no wall time.
#include "kernel_internal.h"

#include <map>
#include <thread>

namespace sim {
namespace detail {

// 2026-01-01 00:00:00 UTC in 100 ns units since 1601: the system time at boot.
const int64_t kSystemTimeBase = 134116992000000000LL;
namespace {
const int64_t kBootInterruptTime = 600000000LL;  // the clock starts one minute after boot
const ULONG kTimeIncrement = 156250;              // 15.625 ms per tick

// Guarded by the dispatcher lock.
struct ClockState {
    int64_t interruptTime = kBootInterruptTime;
    size_t registered = 0;  // threads the clock waits for
    size_t blocked = 0;     // of those, waiting in a simulated wait or a BlockedScope
};

ClockState &Clock() {
    static ClockState *state = new ClockState;
    return *state;
}

}  // namespace

void ExpireDeadlinesLocked(int64_t now);
bool EarliestDeadlineLocked(int64_t *deadline);

// =====================================================================================
// Thread registry (caller holds the dispatcher lock where the name says so)
// =====================================================================================
void NoteWaitBlockedLocked() { Clock().blocked++; }
void NoteWaitUnblockedLocked() { Clock().blocked--; }
bool EveryThreadBlockedLocked() { return Clock().blocked >= Clock().registered; }
std::string RegistrySummaryLocked() {
    return std::to_string(Clock().registered) + " registered threads, " + std::to_string(Clock().blocked) + " waiting";
}

void RegisterSelf() {
    ThreadContext &self = Self();
    if (self.registered) return;
    auto lock = LockDispatcher();
    Clock().registered++;
    self.registered = true;
}

void PreRegisterThreadLocked() { Clock().registered++; }

void AdoptPreRegistration() { Self().registered = true; }

void UnregisterSelfLocked() {
    ThreadContext &self = Self();
    if (!self.registered) return;
    self.registered = false;
    Clock().registered--;
    MaybeAdvanceClockLocked();
}

ThreadContext::~ThreadContext() {
    if (registered) {
        auto lock = LockDispatcher();
        UnregisterSelfLocked();
    }
    if (ownsThreadObject) delete threadObject;
}

void MaybeAdvanceClockLocked() {
    ClockState &clock = Clock();
    if (clock.registered == 0 || clock.blocked < clock.registered) return;
    int64_t deadline;
    if (!EarliestDeadlineLocked(&deadline)) return;
    if (deadline > clock.interruptTime) clock.interruptTime = deadline;
    ExpireDeadlinesLocked(clock.interruptTime);
}

int64_t InterruptTimeLocked() { return Clock().interruptTime; }
void SetInterruptTimeLocked(int64_t time) { Clock().interruptTime = time; }

// =====================================================================================
// Timer thread: runs scheduled callbacks in time order
// =====================================================================================
namespace {

struct TimerQueue {
    std::map<std::pair<int64_t, uint64_t>, std::function<void()>> entries;  // (due, id) -> callback
    std::map<uint64_t, int64_t> dueById;
    uint64_t nextId = 1;
    bool started = false;
    KEVENT kick;  // synchronization event: the queue changed
};

TimerQueue &Timers() {
    static TimerQueue *queue = new TimerQueue;
    return *queue;
}

void TimerThreadMain() {
    AdoptPreRegistration();
    TimerQueue &queue = Timers();
    auto lock = LockDispatcher();
    for (;;) {
        if (!queue.entries.empty() && queue.entries.begin()->first.first <= InterruptTimeLocked()) {
            auto first = queue.entries.begin();
            std::function<void()> callback = std::move(first->second);
            queue.dueById.erase(first->first.second);
            queue.entries.erase(first);
            lock.unlock();
            callback();
            lock.lock();
            continue;
        }
        PDISPATCHER_HEADER kick = &queue.kick.Header;
        bool hasDeadline = !queue.entries.empty();
        int64_t deadline = hasDeadline ? queue.entries.begin()->first.first : 0;
        WaitLocked(lock, 1, &kick, WaitAny, hasDeadline, deadline);
    }
}

void StartTimerThreadLocked() {
    TimerQueue &queue = Timers();
    if (queue.started) return;
    queue.started = true;
    queue.kick.Header.Type = EventSynchronizationObject;
    queue.kick.Header.SignalState = 0;
    PreRegisterThreadLocked();
    std::thread(TimerThreadMain).detach();
}

}  // namespace

uint64_t ScheduleLocked(int64_t interruptTime, std::function<void()> callback) {
    TimerQueue &queue = Timers();
    StartTimerThreadLocked();
    uint64_t id = queue.nextId++;
    queue.entries.emplace(std::make_pair(interruptTime, id), std::move(callback));
    queue.dueById.emplace(id, interruptTime);
    SignalObjectLocked(&queue.kick.Header);
    return id;
}

// The id the next ScheduleLocked will return.
uint64_t NextScheduleIdLocked() { return Timers().nextId; }

bool CancelScheduledLocked(uint64_t id) {
    TimerQueue &queue = Timers();
    auto found = queue.dueById.find(id);
    if (found == queue.dueById.end()) return false;
    queue.entries.erase(std::make_pair(found->second, id));
    queue.dueById.erase(found);
    return true;
}

}  // namespace detail

// =====================================================================================
// Control interface
// =====================================================================================
using namespace detail;

int64_t Now() {
    auto lock = LockDispatcher();
    return kSystemTimeBase + InterruptTimeLocked();
}

int64_t InterruptTime() {
    auto lock = LockDispatcher();
    return InterruptTimeLocked();
}

void AdvanceClock(int64_t delta100ns) {
    auto lock = LockDispatcher();
    if (delta100ns > 0) SetInterruptTimeLocked(InterruptTimeLocked() + delta100ns);
    ExpireDeadlinesLocked(InterruptTimeLocked());
}

uint64_t ScheduleAt(int64_t time, std::function<void()> callback) {
    RegisterSelf();
    auto lock = LockDispatcher();
    return ScheduleLocked(time - kSystemTimeBase, std::move(callback));
}

uint64_t ScheduleAfter(int64_t delay100ns, std::function<void()> callback) {
    RegisterSelf();
    auto lock = LockDispatcher();
    return ScheduleLocked(InterruptTimeLocked() + (delay100ns > 0 ? delay100ns : 0), std::move(callback));
}

bool CancelScheduled(uint64_t id) {
    auto lock = LockDispatcher();
    return CancelScheduledLocked(id);
}

void RegisterCurrentThread() { RegisterSelf(); }

BlockedScope::BlockedScope() {
    RegisterSelf();
    auto lock = LockDispatcher();
    NoteWaitBlockedLocked();
    Self().blockedScope = true;
    MaybeAdvanceClockLocked();
}

BlockedScope::~BlockedScope() {
    auto lock = LockDispatcher();
    NoteWaitUnblockedLocked();
    Self().blockedScope = false;
}

// =====================================================================================
// Application threads
// =====================================================================================
struct ThreadState {
    std::thread thread;
    KEVENT done;  // notification event, set when the body has returned
};

Thread StartThread(std::function<void()> body) {
    RegisterSelf();
    Thread handle;
    handle.state_ = std::make_shared<ThreadState>();
    ThreadState *state = handle.state_.get();
    KeInitializeEvent(&state->done, NotificationEvent, FALSE);
    {
        auto lock = LockDispatcher();
        PreRegisterThreadLocked();
    }
    state->thread = std::thread([state, body = std::move(body)] {
        AdoptPreRegistration();
        body();
        auto lock = LockDispatcher();
        SignalObjectLocked(&state->done.Header);
        UnregisterSelfLocked();
    });
    return handle;
}

Thread::Thread(Thread &&other) noexcept : state_(std::move(other.state_)) {}

Thread &Thread::operator=(Thread &&other) noexcept {
    if (this != &other) {
        Join();
        state_ = std::move(other.state_);
    }
    return *this;
}

Thread::~Thread() { Join(); }

bool Thread::Joinable() const { return state_ && state_->thread.joinable(); }

void Thread::Join() {
    if (!Joinable()) return;
    KeWaitForSingleObject(&state_->done, Executive, KernelMode, FALSE, NULL);
    state_->thread.join();
}

}  // namespace sim

// =====================================================================================
// Kernel time interfaces
// =====================================================================================
using namespace sim::detail;

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    auto lock = LockDispatcher();
    CurrentTime->QuadPart = kSystemTimeBase + InterruptTimeLocked();
}

extern "C" ULONGLONG KeQueryInterruptTime(void) {
    auto lock = LockDispatcher();
    return (ULONGLONG)InterruptTimeLocked();
}

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    auto lock = LockDispatcher();
    TickCount->QuadPart = InterruptTimeLocked() / kTimeIncrement;
}

extern "C" ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

// =====================================================================================
// DPCs and kernel timers: DPC routines run on the timer thread at DISPATCH_LEVEL, as code of
// the driver that queued them.
// =====================================================================================
namespace {

void RunDpc(PKDPC Dpc, PDRIVER_OBJECT driver, PVOID argument1, PVOID argument2) {
    ThreadContext &self = Self();
    KIRQL old = self.irql;
    self.irql = DISPATCH_LEVEL;
    Activity activity;
    EnterDriver(activity, driver, "DPC routine", (const void *)Dpc->DeferredRoutine, nullptr);
    Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, argument1, argument2);
    LeaveDriver(activity);
    self.irql = old;
}

int64_t DueTimeToInterruptTime(LARGE_INTEGER DueTime) {
    if (DueTime.QuadPart < 0) return InterruptTimeLocked() - DueTime.QuadPart;
    return DueTime.QuadPart - kSystemTimeBase;
}

void ArmTimerLocked(PKTIMER Timer, int64_t due, PKDPC Dpc, PDRIVER_OBJECT driver);

// Runs on the timer thread. A timer cancelled or set again after this expiry was taken from
// the queue no longer carries this expiry's id: then nothing happens.
void FireTimer(PKTIMER Timer, uint64_t id, PKDPC Dpc, PDRIVER_OBJECT driver) {
    auto lock = LockDispatcher();
    if (Timer->SimTimerId != id) return;
    SignalObjectLocked(&Timer->Header);
    if (Timer->Period > 0) ArmTimerLocked(Timer, InterruptTimeLocked() + (int64_t)Timer->Period * 10000, Dpc, driver);
    else Timer->SimTimerId = 0;
    lock.unlock();
    if (Dpc != NULL) RunDpc(Dpc, driver, NULL, NULL);
}

void ArmTimerLocked(PKTIMER Timer, int64_t due, PKDPC Dpc, PDRIVER_OBJECT driver) {
    Timer->Dpc = Dpc;
    Timer->DueTime.QuadPart = (ULONGLONG)due;
    uint64_t id = NextScheduleIdLocked();
    Timer->SimTimerId = ScheduleLocked(due, [Timer, id, Dpc, driver] { FireTimer(Timer, id, Dpc, driver); });
}

}  // namespace

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    memset(Dpc, 0, sizeof(*Dpc));
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    PDRIVER_OBJECT driver = sim::CurrentDriver();
    auto lock = LockDispatcher();
    if (Dpc->DpcData != NULL) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    uint64_t id = ScheduleLocked(InterruptTimeLocked(), [Dpc, driver] {
        PVOID argument1, argument2;
        {
            auto inner = LockDispatcher();
            Dpc->DpcData = NULL;
            argument1 = Dpc->SystemArgument1;
            argument2 = Dpc->SystemArgument2;
        }
        RunDpc(Dpc, driver, argument1, argument2);
    });
    Dpc->DpcData = (PVOID)(uintptr_t)id;
    return TRUE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    auto lock = LockDispatcher();
    if (Dpc->DpcData == NULL) return FALSE;
    bool removed = CancelScheduledLocked((uint64_t)(uintptr_t)Dpc->DpcData);
    Dpc->DpcData = NULL;
    return removed;
}

extern "C" VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    auto lock = LockDispatcher();
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    InitializeListHead(&Timer->Header.WaitListHead);
}

extern "C" VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    PDRIVER_OBJECT driver = sim::CurrentDriver();
    auto lock = LockDispatcher();
    BOOLEAN wasSet = Timer->SimTimerId != 0 && CancelScheduledLocked(Timer->SimTimerId);
    Timer->Header.SignalState = 0;
    Timer->Period = Period;
    ArmTimerLocked(Timer, DueTimeToInterruptTime(DueTime), Dpc, driver);
    return wasSet;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer) {
    auto lock = LockDispatcher();
    BOOLEAN wasSet = Timer->SimTimerId != 0 && CancelScheduledLocked(Timer->SimTimerId);
    Timer->SimTimerId = 0;
    return wasSet;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    auto lock = LockDispatcher();
    return Timer->Header.SignalState > 0;
}
