// System threads of the simulated kernel: real threads, registered with the virtual clock
// from their creation, waitable through their thread object until they end.
#include "kernel_internal.h"

#include <map>
#include <thread>

namespace sim {
namespace detail {
namespace {

// Thrown by PsTerminateSystemThread and caught where the thread started: the thread ends
// without returning through the driver's frames, as on Windows.
struct SystemThreadExit {
    NTSTATUS status;
};

// Running system threads per creating driver; guarded by the dispatcher lock.
std::map<PDRIVER_OBJECT, size_t> &RunningThreads() {
    static auto *running = new std::map<PDRIVER_OBJECT, size_t>;
    return *running;
}

void SystemThreadMain(_KTHREAD *thread, PKSTART_ROUTINE start, PVOID context) {
    AdoptPreRegistration();
    ThreadContext &self = Self();
    self.threadObject = thread;
    Activity activity;
    EnterDriver(activity, thread->Driver, "system thread", (const void *)start, nullptr);
    try {
        start(context);
    } catch (const SystemThreadExit &) {
        self.activity = &activity;  // routines the exit unwound left their records behind
    }
    if (self.irql != PASSIVE_LEVEL || self.spinLocksHeld != 0)
        Fail("system thread ends at IRQL " + std::to_string(self.irql) + " or holding a spin lock");
    self.irql = PASSIVE_LEVEL;
    self.spinLocksHeld = 0;
    LeaveDriver(activity);
    {
        auto lock = LockDispatcher();
        SignalObjectLocked(&thread->Header);
        if (--RunningThreads()[thread->Driver] == 0) RunningThreads().erase(thread->Driver);
        UnregisterSelfLocked();
    }
    self.threadObject = nullptr;
    ObfDereferenceObject(thread);  // the reference the running thread held
}

}  // namespace

size_t RunningSystemThreads(PDRIVER_OBJECT driver) {
    auto lock = LockDispatcher();
    auto found = RunningThreads().find(driver);
    return found == RunningThreads().end() ? 0 : found->second;
}

std::vector<std::string> ThreadLeaks(PDRIVER_OBJECT driver) {
    std::vector<std::string> leaks;
    size_t running = RunningSystemThreads(driver);
    if (running != 0) leaks.push_back(std::to_string(running) + " system thread(s) still running");
    return leaks;
}

}  // namespace detail
}  // namespace sim

using namespace sim::detail;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID ClientId,
                                         PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    RegisterSelf();
    if (Self().irql != PASSIVE_LEVEL) Fail("creates a system thread above PASSIVE_LEVEL");
    if (sim::ShouldFail(sim::FaultThread)) return STATUS_INSUFFICIENT_RESOURCES;
    auto *thread = new _KTHREAD();
    thread->Header.Type = ThreadObject;
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->Priority = 8;
    thread->System = true;
    thread->Driver = sim::CurrentDriver();
    // One reference for the handle, one for the running thread.
    RegisterObjectWithCount(thread, 2, [thread] { delete thread; });
    HANDLE handle = sim::CreateHandle("thread", thread, [thread] { ObfDereferenceObject(thread); });
    {
        auto lock = LockDispatcher();
        PreRegisterThreadLocked();
        RunningThreads()[thread->Driver]++;
    }
    std::thread(SystemThreadMain, thread, StartRoutine, StartContext).detach();
    *ThreadHandle = handle;
    if (ClientId != NULL) {
        ClientId->UniqueProcess = (HANDLE)(uintptr_t)4;
        ClientId->UniqueThread = handle;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    _KTHREAD *thread = Self().threadObject;
    if (thread == nullptr || !thread->System) {
        Fail("calls PsTerminateSystemThread outside a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    throw SystemThreadExit{ExitStatus};
}

extern "C" PKTHREAD KeGetCurrentThread(void) {
    ThreadContext &self = Self();
    if (self.threadObject == nullptr) {
        self.threadObject = new _KTHREAD();
        self.threadObject->Header.Type = ThreadObject;
        InitializeListHead(&self.threadObject->Header.WaitListHead);
        self.threadObject->Priority = 8;
        self.ownsThreadObject = true;
    }
    return self.threadObject;
}

extern "C" PETHREAD PsGetCurrentThread(void) { return KeGetCurrentThread(); }

extern "C" HANDLE PsGetCurrentThreadId(void) { return (HANDLE)KeGetCurrentThread(); }

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (Priority < LOW_PRIORITY + 1 || Priority >= MAXIMUM_PRIORITY) Fail("sets an invalid thread priority " + std::to_string(Priority));
    auto lock = LockDispatcher();
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    return old;
}

extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    auto lock = LockDispatcher();
    return Thread->Priority;
}
