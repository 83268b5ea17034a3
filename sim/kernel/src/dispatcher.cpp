// Dispatcher objects (events and timers) and waiting on them. An event,
// timer or DPC in a deleted device stops the run where it is used (see
// device.cpp).
#include "model.h"

namespace kmodel::detail {

bool IsSignaled(const DISPATCHER_HEADER* h) {
    return h->SignalState > 0;
}

// A satisfied wait consumes a synchronization object's signal.
void SatisfyWait(DISPATCHER_HEADER* h) {
    if (h->Type == EventSynchronizationObject || h->Type == TimerSynchronizationObject) {
        h->SignalState = 0;
    }
}

}  // namespace kmodel::detail

using namespace kmodel;
using namespace kmodel::detail;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    EnterDdiOn("KeSetEvent", Event);
    RequireIrqlAtMost("KeSetEvent", DISPATCH_LEVEL);
    std::lock_guard<Mutex> guard(Sched().mutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    EnterDdiOn("KeResetEvent", Event);
    RequireIrqlAtMost("KeResetEvent", DISPATCH_LEVEL);
    std::lock_guard<Mutex> guard(Sched().mutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    EnterDdiOn("KeClearEvent", Event);
    std::lock_guard<Mutex> guard(Sched().mutex);
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<Mutex> guard(Sched().mutex);
    return Event->Header.SignalState;
}

namespace {

// Model time counts from a fixed boot moment (2026-01-01 in system time).
constexpr int64_t kBootSystemTime = 134116992000000000LL;

// A negative time-out is relative (100 ns units), a positive one absolute
// system time.
int64_t ModelTimeOf(int64_t when, int64_t now) {
    return when < 0 ? now - when : std::max<int64_t>(now, when - kBootSystemTime);
}

int64_t DeadlineOf(PLARGE_INTEGER timeout) {
    if (timeout == nullptr) {
        return -1;
    }
    return ModelTimeOf(timeout->QuadPart, NowLocked());
}

}  // namespace

// Rules WAIT_AT_DISPATCH_LEVEL and SPIN_LOCK_HELD_ACROSS_WAIT: a thread may
// wait (with a non-zero time-out) only below DISPATCH_LEVEL, and never while
// it holds a spin lock.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    EnterDdiOn("KeWaitForSingleObject", Object);
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    ThreadState& self = Self();
    if (!poll && !self.heldLocks.empty()) {
        BugCheck(rule::kSpinLockHeldAcrossWait, "KeWaitForSingleObject while holding spin lock " + Hex(self.heldLocks.back()));
    }
    if (!poll && self.irql >= DISPATCH_LEVEL) {
        BugCheck(rule::kWaitAtDispatch, "KeWaitForSingleObject on " + Hex(Object) + " at IRQL " + std::to_string(self.irql));
    }
    RequireIrqlAtMost("KeWaitForSingleObject", DISPATCH_LEVEL);
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    std::unique_lock<Mutex> lock(Sched().mutex);
    if (IsSignaled(header)) {
        SatisfyWait(header);
        return STATUS_SUCCESS;
    }
    if (poll) {
        return STATUS_TIMEOUT;
    }
    int64_t deadline = DeadlineOf(Timeout);
    BlockLocked(
        lock, "KeWaitForSingleObject",
        [header, deadline] { return IsSignaled(header) || (deadline >= 0 && NowLocked() >= deadline); }, deadline);
    if (IsSignaled(header)) {
        SatisfyWait(header);
        return STATUS_SUCCESS;
    }
    return STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    RequireIrqlAtMost("KeDelayExecutionThread", APC_LEVEL);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, Interval);
    return STATUS_SUCCESS;
}

// ---- timers -------------------------------------------------------------------

namespace kmodel::detail {

namespace {

void RemoveTimerLocked(PKTIMER timer) {
    auto& timers = Sched().timers;
    auto range = timers.equal_range(static_cast<int64_t>(timer->DueTime.QuadPart));
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == timer) {
            timers.erase(it);
            break;
        }
    }
    timer->Header.Inserted = FALSE;
}

}  // namespace

namespace {

// One timer expires: signalled, re-armed if periodic, its DPC queued.
void ExpireLocked(std::multimap<int64_t, PKTIMER>::iterator entry, int processor) {
    auto& timers = Sched().timers;
    PKTIMER timer = entry->second;
    int64_t due = entry->first;
    timers.erase(entry);
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        timer->DueTime.QuadPart = static_cast<ULONGLONG>(due + int64_t(timer->Period) * 10000);
        timer->Header.Inserted = TRUE;
        timers.emplace(static_cast<int64_t>(timer->DueTime.QuadPart), timer);
    }
    if (timer->Dpc == nullptr) {
        return;
    }
    // The clock interrupt that expires timers moves from processor to
    // processor, so timer DPCs meet transfer completions.
    PKDPC dpc = timer->Dpc;
    if (dpc->Number < MAXIMUM_PROCESSORS) {
        UCHAR saved = dpc->Number;
        int target = processor >= 0 ? processor : NextHardwareProcessor();
        dpc->Number = static_cast<UCHAR>(MAXIMUM_PROCESSORS + target);
        InsertDpcLocked(dpc, nullptr, nullptr);
        dpc->Number = saved;
    } else {
        InsertDpcLocked(dpc, nullptr, nullptr);
    }
}

}  // namespace

bool ExpiryDueLocked() {
    auto& timers = Sched().timers;
    return !timers.empty() && timers.begin()->first <= NowLocked();
}

void FireDueTimersLocked(int64_t now, int processor) {
    auto& timers = Sched().timers;
    while (!timers.empty() && timers.begin()->first <= now) {
        ExpireLocked(timers.begin(), processor);
    }
}

}  // namespace kmodel::detail

VOID KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = FALSE;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

// Re-arming a timer replaces its earlier due time and DPC; the return value
// says whether it was still armed.
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    EnterDdiOn("KeSetTimerEx", Timer);
    RequireIrqlAtMost("KeSetTimerEx", DISPATCH_LEVEL);
    Scheduler& s = Sched();
    std::lock_guard<Mutex> guard(s.mutex);
    BOOLEAN wasArmed = Timer->Header.Inserted;
    if (wasArmed) {
        RemoveTimerLocked(Timer);
    }
    int64_t due = ModelTimeOf(DueTime.QuadPart, NowLocked());
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    Timer->Header.Inserted = TRUE;
    auto entry = s.timers.emplace(due, Timer);
    // A due time already reached expires at once. Other due timers expire
    // here too, unless an exploring strategy decides when they do.
    if (!ExpiriesDeferred()) {
        FireDueTimersLocked(NowLocked());
    } else if (due <= NowLocked()) {
        ExpireLocked(entry, -1);
    }
    return wasArmed;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    EnterDdiOn("KeCancelTimer", Timer);
    RequireIrqlAtMost("KeCancelTimer", DISPATCH_LEVEL);
    std::lock_guard<Mutex> guard(Sched().mutex);
    BOOLEAN wasArmed = Timer->Header.Inserted;
    if (wasArmed) {
        RemoveTimerLocked(Timer);
    }
    return wasArmed;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<Mutex> guard(Sched().mutex);
    return Timer->Header.SignalState > 0;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    std::lock_guard<Mutex> guard(Sched().mutex);
    CurrentTime->QuadPart = kBootSystemTime + NowLocked();
}

ULONGLONG KeQueryInterruptTime() {
    std::lock_guard<Mutex> guard(Sched().mutex);
    return static_cast<ULONGLONG>(NowLocked());
}

// ---- DPCs and work items ------------------------------------------------------

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = 0x13;
    Dpc->Number = 0;
    Dpc->Importance = MediumImportance;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = Self().driver;  // whose code the DPC runs
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    EnterDdiOn("KeInsertQueueDpc", Dpc);
    std::lock_guard<Mutex> guard(Sched().mutex);
    return InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    SchedulingPoint("KeRemoveQueueDpc");
    std::lock_guard<Mutex> guard(Sched().mutex);
    return RemoveDpcLocked(Dpc);
}

// The processor a DPC runs on, encoded as Windows does: numbers at or above
// MAXIMUM_PROCESSORS name a target.
VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
    Dpc->Number = static_cast<UCHAR>(MAXIMUM_PROCESSORS + Number);
}

// Returns once every DPC queued on any processor before the call has run.
VOID KeFlushQueuedDpcs() {
    SchedulingPoint("KeFlushQueuedDpcs");
    RequireIrqlExactly("KeFlushQueuedDpcs", PASSIVE_LEVEL);
    std::unique_lock<Mutex> lock(Sched().mutex);
    std::vector<uint64_t> marks = DpcMarks();
    BlockLocked(lock, "KeFlushQueuedDpcs", [marks] { return DpcsPassed(marks); });
}

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    SchedulingPoint("ExQueueWorkItem");
    RequireIrqlAtMost("ExQueueWorkItem", DISPATCH_LEVEL);
    Scheduler& s = Sched();
    std::lock_guard<Mutex> guard(s.mutex);
    s.work.push_back({WorkItem, Self().driver});
}
