// System threads, kernel timers and DPCs on the virtual clock.
#include "test_stack.h"

namespace {

using ThreadsTimersTest = sim::KernelTest;

// A driver with a worker thread: the worker waits for work with a time-out and ends on a stop
// event, the unload stops it and waits for the thread object, as drivers do.
struct Worker {
    KEVENT stop;
    HANDLE handle;
    PVOID thread;
    int timeouts;
    KIRQL irql;
    KPRIORITY priority;
    PVOID pool;
};
Worker worker;

VOID WorkerMain(PVOID) {
    worker.irql = KeGetCurrentIrql();
    worker.priority = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    worker.pool = ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'krkW');
    for (;;) {
        LARGE_INTEGER timeout = kt::Relative(100);
        if (KeWaitForSingleObject(&worker.stop, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) break;
        worker.timeouts++;
    }
    ExFreePool(worker.pool);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID WorkerUnload(PDRIVER_OBJECT) {
    KeSetEvent(&worker.stop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(worker.thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(worker.thread);
}

NTSTATUS WorkerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = WorkerUnload;
    worker = Worker();
    KeInitializeEvent(&worker.stop, NotificationEvent, FALSE);
    NTSTATUS status = PsCreateSystemThread(&worker.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerMain, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = ObReferenceObjectByHandle(worker.handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &worker.thread, nullptr);
    ZwClose(worker.handle);
    return status;
}

TEST_F(ThreadsTimersTest, SystemThreadRunsAsDriverCodeAndIsWaitedForAtUnload) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Worker", WorkerEntry);
    ASSERT_NE(driver, nullptr);
    int64_t start = sim::InterruptTime();
    LARGE_INTEGER wait = kt::Relative(350);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(sim::InterruptTime() - start, 3500000);
    sim::UnloadDriver(driver);  // leak checks: the worker's pool, handle and thread are gone
    EXPECT_EQ(worker.timeouts, 3);
    EXPECT_EQ(worker.irql, PASSIVE_LEVEL);
    EXPECT_EQ(worker.priority, 8);
}

TEST_F(ThreadsTimersTest, ThreadStillRunningAtUnloadIsALeak) {
    PDRIVER_OBJECT driver = sim::CreateDriver(u"\\Driver\\Worker", [](PDRIVER_OBJECT driver, PUNICODE_STRING path) {
        NTSTATUS status = WorkerEntry(driver, path);
        driver->DriverUnload = nullptr;  // forgets to stop its worker
        return status;
    });
    {
        sim::VerifierRecorder recorder;
        sim::UnloadDriver(driver);
        EXPECT_EQ(recorder.Count("1 system thread(s) still running"), 1u);
    }
    WorkerUnload(nullptr);
}

struct TimerContext {
    KEVENT fired;
    KIRQL irql;
    int64_t at;
    int count;
};

VOID TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto *timer = (TimerContext *)context;
    timer->irql = KeGetCurrentIrql();
    timer->at = sim::InterruptTime();
    timer->count++;
    KeSetEvent(&timer->fired, IO_NO_INCREMENT, FALSE);
}

TEST_F(ThreadsTimersTest, TimerSignalsAndRunsItsDpcAtDispatchLevelWhenDue) {
    TimerContext context{};
    KeInitializeEvent(&context.fired, SynchronizationEvent, FALSE);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, TimerDpc, &context);
    int64_t start = sim::InterruptTime();
    EXPECT_FALSE(KeSetTimer(&timer, kt::Relative(1000), &dpc));
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(sim::InterruptTime() - start, 10000000);
    KeWaitForSingleObject(&context.fired, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(context.irql, DISPATCH_LEVEL);
    EXPECT_EQ(context.at - start, 10000000);
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(ThreadsTimersTest, CancelledTimerNeverFires) {
    TimerContext context{};
    KeInitializeEvent(&context.fired, SynchronizationEvent, FALSE);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeInitializeDpc(&dpc, TimerDpc, &context);
    KeSetTimer(&timer, kt::Relative(1000), &dpc);
    EXPECT_TRUE(KeSetTimer(&timer, kt::Relative(500), &dpc));  // set again: the first expiry is gone
    LARGE_INTEGER wait = kt::Relative(3000);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &wait), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer));  // a synchronization timer gives its signal to one wait
    KeSetTimer(&timer, kt::Relative(1000), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &wait), STATUS_TIMEOUT);
    EXPECT_EQ(context.count, 1);
}

TEST_F(ThreadsTimersTest, QueuedDpcRunsAtDispatchLevelWithItsArguments) {
    TimerContext context{};
    KeInitializeEvent(&context.fired, SynchronizationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, TimerDpc, &context);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)1, (PVOID)2));
    KeWaitForSingleObject(&context.fired, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(context.count, 1);
    EXPECT_EQ(dpc.SystemArgument1, (PVOID)1);
    EXPECT_EQ(dpc.SystemArgument2, (PVOID)2);
    EXPECT_EQ(context.irql, DISPATCH_LEVEL);
}

TEST_F(ThreadsTimersTest, TimeStartsAtAFixedValueAndTicksFollowIt) {
    LARGE_INTEGER system, ticks;
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart - (int64_t)KeQueryInterruptTime(), 134116992000000000LL);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, (int64_t)KeQueryInterruptTime() / KeQueryTimeIncrement());
}

}  // namespace
