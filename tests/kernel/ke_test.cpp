// The kernel's dispatcher with the manual clock: timers and their DPCs,
// waits with time-outs, the two kinds of events, work items, and the
// quiescence tests rely on instead of sleeping.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <wdm.h>

#include <kmodel/system.h>

namespace {

constexpr LONGLONG kMs = 10000;  // 100 ns units per millisecond

LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * kMs;
    return t;
}

int64_t NowMs() {
    return kmodel::Now() / kMs;
}

// A timer's DPC that records when and how it ran.
struct Ticker {
    KTIMER timer;
    KDPC dpc;
    std::vector<int64_t> firedAtMs;
    std::vector<KIRQL> irql;
    bool rearm = false;  // re-arms itself 10 ms after each firing

    Ticker() {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Run, this);
    }
    static VOID NTAPI Run(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<Ticker*>(context);
        self->firedAtMs.push_back(static_cast<int64_t>(KeQueryInterruptTime()) / kMs);
        self->irql.push_back(KeGetCurrentIrql());
        if (self->rearm) {
            KeSetTimer(&self->timer, RelativeMs(10), &self->dpc);
        }
    }
};

TEST(Timers, FireTheirDpcAtDispatchLevelOnlyWhenTheClockReachesTheDueTime) {
    kmodel::System system;
    Ticker t;
    EXPECT_FALSE(KeSetTimer(&t.timer, RelativeMs(10), &t.dpc));
    kmodel::AdvanceClock(9);
    EXPECT_TRUE(t.firedAtMs.empty());
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    kmodel::AdvanceClock(1);
    ASSERT_EQ(t.firedAtMs.size(), 1u);
    EXPECT_EQ(t.firedAtMs[0], 10);
    EXPECT_EQ(t.irql[0], DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    kmodel::AdvanceClock(100);
    EXPECT_EQ(t.firedAtMs.size(), 1u);  // one-shot
    EXPECT_FALSE(KeCancelTimer(&t.timer));
}

TEST(Timers, AbsoluteDueTimeIsSystemTime) {
    kmodel::System system;
    Ticker t;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER due;
    due.QuadPart = now.QuadPart + 25 * kMs;
    KeSetTimer(&t.timer, due, &t.dpc);
    kmodel::AdvanceClock(24);
    EXPECT_TRUE(t.firedAtMs.empty());
    kmodel::AdvanceClock(10);
    EXPECT_EQ(t.firedAtMs, (std::vector<int64_t>{25}));
}

TEST(Timers, RearmingReplacesTheEarlierDueTime) {
    kmodel::System system;
    Ticker t;
    KeSetTimer(&t.timer, RelativeMs(10), &t.dpc);
    kmodel::AdvanceClock(5);
    EXPECT_TRUE(KeSetTimer(&t.timer, RelativeMs(20), &t.dpc));  // it was still armed
    kmodel::AdvanceClock(15);  // past the first due time
    EXPECT_TRUE(t.firedAtMs.empty());
    kmodel::AdvanceClock(10);
    EXPECT_EQ(t.firedAtMs, (std::vector<int64_t>{25}));
    EXPECT_FALSE(KeSetTimer(&t.timer, RelativeMs(5), &t.dpc));  // it had expired
    kmodel::AdvanceClock(5);
    EXPECT_EQ(t.firedAtMs, (std::vector<int64_t>{25, 35}));
}

TEST(Timers, CancelStopsTheTimerAndSaysWhetherItWasArmed) {
    kmodel::System system;
    Ticker t;
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    KeSetTimer(&t.timer, RelativeMs(10), &t.dpc);
    kmodel::AdvanceClock(5);
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    kmodel::AdvanceClock(50);
    EXPECT_TRUE(t.firedAtMs.empty());
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
}

TEST(Timers, PeriodicTimerFiresEveryPeriodUntilCancelled) {
    kmodel::System system;
    Ticker t;
    KeSetTimerEx(&t.timer, RelativeMs(10), 5, &t.dpc);
    kmodel::AdvanceClock(22);
    EXPECT_EQ(t.firedAtMs, (std::vector<int64_t>{10, 15, 20}));
    EXPECT_TRUE(KeCancelTimer(&t.timer));  // a periodic timer stays armed
    kmodel::AdvanceClock(50);
    EXPECT_EQ(t.firedAtMs.size(), 3u);
}

TEST(Timers, DpcRearmingItsTimerFiresAtEachDueTimeWithinOneAdvance) {
    kmodel::System system;
    Ticker t;
    t.rearm = true;
    KeSetTimer(&t.timer, RelativeMs(10), &t.dpc);
    kmodel::AdvanceClock(35);
    EXPECT_EQ(t.firedAtMs, (std::vector<int64_t>{10, 20, 30}));
    EXPECT_EQ(NowMs(), 35);
    t.rearm = false;
    KeCancelTimer(&t.timer);
}

// A due time already reached when the timer is set means it has expired:
// the timer is signalled and its DPC queued without waiting for time to move.
TEST(Timers, TimerSetToAnExpiredDueTimeFiresWithoutTheClockMoving) {
    kmodel::System system;
    Ticker t;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KeSetTimer(&t.timer, now, &t.dpc);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(t.firedAtMs.size(), 1u);
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
}

TEST(Dpcs, QueuedDpcIsQueuedOnceRunsWithTheFirstArgumentsAndCanBeRemoved) {
    kmodel::System system;
    struct Seen {
        KSPIN_LOCK lock;
        int runs = 0;
        PVOID arg = nullptr;
    } seen;
    KeInitializeSpinLock(&seen.lock);
    KDPC blocker, dpc, removed;
    // The blocker runs first and spins on a lock the test holds, so the DPC
    // under test stays queued while the test inserts it again.
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* s = static_cast<Seen*>(context);
            KeAcquireSpinLockAtDpcLevel(&s->lock);
            KeReleaseSpinLockFromDpcLevel(&s->lock);
        },
        &seen);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID a1, PVOID) {
            auto* s = static_cast<Seen*>(context);
            s->runs++;
            s->arg = a1;
        },
        &seen);
    KeInitializeDpc(
        &removed, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<Seen*>(context)->runs += 100; }, &seen);
    KIRQL old;
    KeAcquireSpinLock(&seen.lock, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(2), nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&removed, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&removed));  // taken off the queue before it ran
    EXPECT_FALSE(KeRemoveQueueDpc(&removed));
    KeReleaseSpinLock(&seen.lock, old);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.arg, reinterpret_cast<PVOID>(1));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(3), nullptr));  // may queue again once run
    kmodel::WaitForQuiescence();
    EXPECT_EQ(seen.runs, 2);
    EXPECT_EQ(seen.arg, reinterpret_cast<PVOID>(3));
}

// ---- waits ----------------------------------------------------------------------

struct Waiter {
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
};

TEST(Waits, RelativeTimeOutEndsTheWaitOnlyWhenTheClockPassesIt) {
    kmodel::System system;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiter w;
    kmodel::ModelThread thread([&] {
        LARGE_INTEGER timeout = RelativeMs(50);
        w.status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        w.done = true;
    });
    kmodel::AdvanceClock(49);
    EXPECT_FALSE(w.done);
    kmodel::AdvanceClock(1);
    EXPECT_TRUE(w.done);
    EXPECT_EQ(w.status, STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Waits, SignalBeforeTheTimeOutEndsTheWaitWithSuccess) {
    kmodel::System system;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiter w;
    kmodel::ModelThread thread([&] {
        LARGE_INTEGER timeout = RelativeMs(50);
        w.status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        w.done = true;
    });
    kmodel::AdvanceClock(20);
    EXPECT_FALSE(w.done);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);  // the previous state
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(w.done);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(NowMs(), 20);
}

TEST(Waits, ZeroTimeOutPollsAndDelayEndsWithTheClock) {
    kmodel::System system;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // the satisfied poll consumed the signal

    Waiter w;
    kmodel::ModelThread thread([&] {
        LARGE_INTEGER interval = RelativeMs(30);
        w.status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
        w.done = true;
    });
    kmodel::AdvanceClock(29);
    EXPECT_FALSE(w.done);
    kmodel::AdvanceClock(1);
    EXPECT_TRUE(w.done);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
}

TEST(Waits, ThreadWaitingOnATimerWakesAtItsDueTime) {
    kmodel::System system;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, RelativeMs(40), nullptr);
    Waiter w;
    kmodel::ModelThread thread([&] {
        w.status = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        w.done = true;
    });
    kmodel::AdvanceClock(39);
    EXPECT_FALSE(w.done);
    kmodel::AdvanceClock(1);
    EXPECT_TRUE(w.done);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer));  // a notification timer stays signalled
}

// Two threads wait on one event; count how many a single KeSetEvent releases.
int ReleasedBySingleSet(EVENT_TYPE type, LONG* stateAfter, int* releasedBySecondSet) {
    kmodel::System system;
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<int> released{0};
    auto body = [&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        released++;
    };
    kmodel::ModelThread a(body), b(body);
    kmodel::WaitForQuiescence();
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kmodel::WaitForQuiescence();
    int first = released;
    *stateAfter = KeReadStateEvent(&event);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kmodel::WaitForQuiescence();
    *releasedBySecondSet = released - first;
    return first;
}

TEST(Events, NotificationReleasesEveryWaiterAndStaysSignalled) {
    LONG state;
    int second;
    EXPECT_EQ(ReleasedBySingleSet(NotificationEvent, &state, &second), 2);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(second, 0);
}

TEST(Events, SynchronizationReleasesOneWaiterAndResetsItself) {
    LONG state;
    int second;
    EXPECT_EQ(ReleasedBySingleSet(SynchronizationEvent, &state, &second), 1);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(second, 1);
}

TEST(Events, SetAndResetReturnThePreviousState) {
    kmodel::System system;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
}

// ---- work items and quiescence ---------------------------------------------------

struct Work {
    WORK_QUEUE_ITEM item;
    KEVENT gate;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    KIRQL irql = 0xFF;
    uint64_t thread = 0;
    bool waitAtGate = false;

    Work() {
        ExInitializeWorkItem(&item, Run, this);
        KeInitializeEvent(&gate, NotificationEvent, FALSE);
    }
    static VOID NTAPI Run(PVOID context) {
        auto* self = static_cast<Work*>(context);
        self->irql = KeGetCurrentIrql();
        self->thread = kmodel::CurrentThreadId();
        self->started = true;
        if (self->waitAtGate) {
            KeWaitForSingleObject(&self->gate, Executive, KernelMode, FALSE, nullptr);
        }
        self->finished = true;
    }
};

TEST(WorkItems, RunAtPassiveLevelInAWorkerThreadAndQuiescenceWaitsForThem) {
    kmodel::System system;
    Work work;
    work.waitAtGate = true;
    ExQueueWorkItem(&work.item, DelayedWorkQueue);
    kmodel::WaitForQuiescence();
    // A worker blocked in a wait nothing will satisfy is quiescent.
    EXPECT_TRUE(work.started);
    EXPECT_FALSE(work.finished);
    KeSetEvent(&work.gate, IO_NO_INCREMENT, FALSE);
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(work.finished);
    EXPECT_EQ(work.irql, PASSIVE_LEVEL);
    EXPECT_NE(work.thread, kmodel::CurrentThreadId());
}

// Timer -> DPC at DISPATCH_LEVEL -> work item at PASSIVE_LEVEL -> model thread:
// one AdvanceClock, then one quiescence, sees the whole chain through.
struct Chain {
    KTIMER timer;
    KDPC dpc;
    Work work;
    std::atomic<int> threadSteps{0};
};

TEST(Quiescence, WaitsForTheWholeChainOfDeferredWork) {
    kmodel::System system;
    Chain chain;
    KeInitializeTimer(&chain.timer);
    KeInitializeDpc(
        &chain.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            ExQueueWorkItem(&static_cast<Chain*>(context)->work.item, DelayedWorkQueue);
        },
        &chain);
    KeSetTimer(&chain.timer, RelativeMs(5), &chain.dpc);
    kmodel::AdvanceClock(5);
    EXPECT_TRUE(chain.work.finished);
    EXPECT_EQ(chain.work.irql, PASSIVE_LEVEL);

    kmodel::ModelThread thread([&] {
        for (int i = 0; i < 1000; ++i) {
            chain.threadSteps++;
        }
    });
    kmodel::WaitForQuiescence();
    EXPECT_EQ(chain.threadSteps, 1000);
}

}  // namespace
