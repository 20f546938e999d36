// Waits on the virtual clock: time-outs, KeWaitForMultipleObjects, delays, wake-ups from other
// simulated threads.
#include "test_stack.h"

#include <chrono>
#include <thread>

namespace {

using WaitsTest = sim::KernelTest;

TEST_F(WaitsTest, TwoSecondTimeOutReturnsTimeoutAtOnceInWallTimeAndExactlyInVirtualTime) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = kt::Relative(2000);
    int64_t before = sim::InterruptTime();
    auto wallStart = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(500));
    EXPECT_EQ(sim::InterruptTime() - before, 20000000);
}

TEST_F(WaitsTest, ZeroTimeOutPollsWithoutMovingTheClock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    int64_t before = sim::InterruptTime();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(sim::InterruptTime(), before);
}

TEST_F(WaitsTest, AbsoluteTimeOutEndsAtThatSystemTime) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER now, deadline, after;
    KeQuerySystemTime(&now);
    deadline.QuadPart = now.QuadPart + 30000000;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart, deadline.QuadPart);
}

TEST_F(WaitsTest, SynchronizationEventReleasesOneWaitAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeResetEvent(&event), 1);
}

// Each case: which of three events (n = notification, s = synchronization) start signalled,
// the wait type, the expected status, and the states afterwards.
struct MultipleCase {
    const char *name;
    EVENT_TYPE types[3];
    bool signalled[3];
    WAIT_TYPE waitType;
    NTSTATUS expected;
    LONG statesAfter[3];
};

class WaitMultipleTest : public sim::KernelTest, public ::testing::WithParamInterface<MultipleCase> {};

TEST_P(WaitMultipleTest, SatisfiesAndConsumesAsTheKernelDoes) {
    const MultipleCase &c = GetParam();
    KEVENT events[3];
    PVOID objects[3];
    for (int i = 0; i < 3; i++) {
        KeInitializeEvent(&events[i], c.types[i], c.signalled[i]);
        objects[i] = &events[i];
    }
    LARGE_INTEGER timeout = kt::Relative(100);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, c.waitType, Executive, KernelMode, FALSE, &timeout, nullptr), c.expected);
    for (int i = 0; i < 3; i++) EXPECT_EQ(KeReadStateEvent(&events[i]), c.statesAfter[i]) << "event " << i;
}

const EVENT_TYPE N = NotificationEvent, S = SynchronizationEvent;
INSTANTIATE_TEST_SUITE_P(
    Cases, WaitMultipleTest,
    ::testing::Values(
        MultipleCase{"AnyTakesLowestSignalledIndex", {S, S, S}, {false, true, true}, WaitAny, STATUS_WAIT_1, {0, 0, 1}},
        MultipleCase{"AnyLeavesNotificationSignalled", {N, N, S}, {false, false, true}, WaitAny, STATUS_WAIT_0 + 2, {0, 0, 0}},
        MultipleCase{"AnyTimesOutWhenNoneSignalled", {S, N, S}, {false, false, false}, WaitAny, STATUS_TIMEOUT, {0, 0, 0}},
        MultipleCase{"AllConsumesOnlyWhenAllSignalled", {S, N, S}, {true, true, true}, WaitAll, STATUS_SUCCESS, {0, 1, 0}},
        MultipleCase{"AllTakesNothingWhenOneMissing", {S, N, S}, {true, true, false}, WaitAll, STATUS_TIMEOUT, {1, 1, 0}}),
    [](const ::testing::TestParamInfo<MultipleCase> &info) { return std::string(info.param.name); });

TEST_F(WaitsTest, WaitAllCompletesWhenTheLastObjectIsSignalledByAnotherThread) {
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, TRUE);
    KeInitializeEvent(&second, SynchronizationEvent, FALSE);
    sim::Thread setter = sim::StartThread([&] {
        LARGE_INTEGER delay = kt::Relative(700);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    });
    PVOID objects[2] = {&first, &second};
    LARGE_INTEGER timeout = kt::Relative(5000);
    int64_t before = sim::InterruptTime();
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::InterruptTime() - before, 7000000);
    EXPECT_EQ(KeReadStateEvent(&second), 0);
    setter.Join();
}

TEST_F(WaitsTest, DelaysOfSeveralThreadsEndInVirtualTimeOrder) {
    std::vector<int> order;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::vector<sim::Thread> threads;
    for (int delayMs : {300, 100, 200}) {
        threads.push_back(sim::StartThread([&, delayMs] {
            LARGE_INTEGER delay = kt::Relative(delayMs);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            order.push_back(delayMs);
            KeReleaseSpinLock(&lock, irql);
        }));
    }
    for (sim::Thread &thread : threads) thread.Join();
    EXPECT_EQ(order, (std::vector<int>{100, 200, 300}));
}

TEST_F(WaitsTest, ScheduledCallbacksRunAtTheirVirtualTimeInOrder) {
    std::vector<int64_t> seen;
    KEVENT last;
    KeInitializeEvent(&last, NotificationEvent, FALSE);
    int64_t start = sim::Now();
    sim::ScheduleAfter(30000, [&] {
        seen.push_back(sim::Now() - start);
        KeSetEvent(&last, IO_NO_INCREMENT, FALSE);
    });
    sim::ScheduleAfter(10000, [&] { seen.push_back(sim::Now() - start); });
    uint64_t cancelled = sim::ScheduleAfter(20000, [&] { seen.push_back(-1); });
    EXPECT_TRUE(sim::CancelScheduled(cancelled));
    EXPECT_FALSE(sim::CancelScheduled(cancelled));
    KeWaitForSingleObject(&last, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(seen, (std::vector<int64_t>{10000, 30000}));
}

TEST_F(WaitsTest, SemaphoreCountsReleasesAndWaits) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE), 0);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

}  // namespace

namespace {

// A raw thread takes part after registering; the main thread blocks outside the simulation
// inside a BlockedScope, so the clock can still jump to the raw thread's deadline.
TEST_F(WaitsTest, BlockedScopeLetsTheClockMoveDuringAnOutsideWait) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    int64_t before = sim::InterruptTime();
    std::thread raw([&] {
        sim::RegisterCurrentThread();
        LARGE_INTEGER timeout = kt::Relative(50);
        status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    });
    {
        sim::BlockedScope blocked;
        raw.join();
    }
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(sim::InterruptTime() - before, 500000);
    sim::AdvanceClock(1234);
    EXPECT_EQ(sim::InterruptTime() - before, 501234);
}

TEST_F(WaitsTest, BadWaitsAreReported) {
    KEVENT events[4];
    PVOID objects[4];
    for (int i = 0; i < 4; i++) {
        KeInitializeEvent(&events[i], NotificationEvent, TRUE);
        objects[i] = &events[i];
    }
    sim::VerifierRecorder recorder;
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(recorder.Count("without a wait block array"), 1u);
    int notAnObject[8] = {0x7F};
    EXPECT_EQ(KeWaitForSingleObject(notAnObject, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(recorder.Count("not a dispatcher object"), 1u);
}

}  // namespace
