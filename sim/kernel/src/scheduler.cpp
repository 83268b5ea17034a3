// The scheduler: every model thread is a fiber on the one operating-system
// thread that booted the model, and this file alone decides which runs.
//
// Processors. The model has N processors. A thread at DISPATCH_LEVEL or
// above holds one; each processor has its own DPC queue, drained by a DPC
// fiber of its own that runs only while no other thread holds the processor.
// So two DPCs run concurrently on two processors, a DPC never runs beside
// DISPATCH_LEVEL code on its own processor, and passive-level threads run
// only while some processor is free.
//
// Scheduling points. Each DDI entry calls SchedulingPoint; there the
// strategy may switch to any runnable fiber. A fiber that cannot go on
// blocks with a predicate the scheduler evaluates. Nothing switches while a
// fiber holds a model lock (kmodel::Mutex), so the model's own tables need no
// other protection.
//
// Time. With the manual clock time moves only when a test advances it, or,
// in an exploration, when every thread is blocked and a timer is due next.
// Under an exploring strategy a timer the clock has reached expires at a
// scheduling point the strategy chooses, on the processor it chooses, as a
// clock interrupt would among running threads; at the latest it expires
// once nothing else can run.
// With the real clock the scheduler sleeps in the host until the next due
// time when nothing can run.
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

#include "schedule.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define QV_ASAN_FIBERS 1
#endif

namespace kmodel::detail {

Scheduler& Sched() {
    static Scheduler scheduler;
    return scheduler;
}

void Reschedule();

namespace {

constexpr size_t kStackSize = 1 << 20;

struct Processor {
    Fiber* holder = nullptr;  // the fiber at DISPATCH_LEVEL on it
    std::deque<PKDPC> dpcs;
    Fiber* dpcFiber = nullptr;
    uint64_t queued = 0;    // DPCs ever queued here
    uint64_t finished = 0;  // ... that have run or left the queue
};

struct HistoryEntry {
    int fiber;
    const char* what;
};

struct Fibers {
    std::vector<std::unique_ptr<Fiber>> all;  // by id order; finished ones reaped
    Fiber* current = nullptr;
    int nextId = 0;
    std::vector<Processor> processors;
    int nextHardwareProcessor = 0;
    std::unique_ptr<Strategy> strategy;
    bool autoAdvance = false;
    int64_t stepLimit = 0;
    int64_t steps = 0;
    std::array<HistoryEntry, 48> history{};
    ULONG_PTR nextToken = 1;
    ThreadState host;  // outside any running model
    std::vector<Fiber*> enabled;  // Reschedule's scratch
};

Fibers fibers;  // at namespace scope: the hottest lookup of the model, no guard

Fibers& F() {
    return fibers;
}

int64_t SteadyNow100ns() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

const char* KindName(Fiber::Kind kind) {
    switch (kind) {
    case Fiber::Kind::Main: return "main";
    case Fiber::Kind::Thread: return "thread";
    case Fiber::Kind::Dpc: return "dpc";
    case Fiber::Kind::Worker: return "worker";
    case Fiber::Kind::System: return "system";
    }
    return "?";
}

// ---- context switching ------------------------------------------------------

void ReapFinished() {
    auto& all = F().all;
    for (auto it = all.begin(); it != all.end();) {
        Fiber* f = it->get();
        if (f->status == Fiber::Status::Finished && f != F().current && f->kind != Fiber::Kind::Thread) {
            munmap(f->stack, f->stackSize);
            it = all.erase(it);
        } else {
            ++it;
        }
    }
}

void FinishSwitch(Fiber* resumed, Fiber* from) {
#if QV_ASAN_FIBERS
    const void* bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(resumed->asanFakeStack, &bottom, &size);
    if (from != nullptr && from->stack == nullptr) {
        from->asanBottom = bottom;  // the main fiber's stack, learnt on its first switch
        from->asanSize = size;
    }
#else
    (void)resumed;
    (void)from;
#endif
}

void SwitchTo(Fiber* next) {
    Fiber* self = F().current;
    if (next == self) {
        return;
    }
    F().current = next;
#if QV_ASAN_FIBERS
    bool leaving = self->status == Fiber::Status::Finished;
    __sanitizer_start_switch_fiber(leaving ? nullptr : &self->asanFakeStack, next->asanBottom, next->asanSize);
#endif
    SwitchContext(&self->context, &next->context);
    // Resumed.
    FinishSwitch(self, nullptr);
}

void FiberEntry() {
    Fiber* self = F().current;
    FinishSwitch(self, nullptr);
    self->body();
    self->body = nullptr;
    CheckReturnState(("thread " + self->name).c_str(), PASSIVE_LEVEL, 0);
    self->status = Fiber::Status::Finished;
    Reschedule();
    BugCheck("MODEL_MISUSE", "a finished thread was resumed");
}

Fiber* NewFiber(Fiber::Kind kind, std::string name, std::function<void()> body) {
    Fibers& f = F();
    auto fiber = std::make_unique<Fiber>();
    fiber->id = f.nextId++;
    fiber->name = std::move(name);
    fiber->kind = kind;
    fiber->state.token = f.nextToken++;
    fiber->body = std::move(body);
    if (kind != Fiber::Kind::Main) {
        void* stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                           -1, 0);
        if (stack == MAP_FAILED) {
            BugCheck("MODEL_MISUSE", "no memory for a thread stack");
        }
#if QV_ASAN_FIBERS
        // A mapping can land where an earlier thread's stack was: its frames'
        // poison is still in the shadow.
        ASAN_UNPOISON_MEMORY_REGION(stack, kStackSize);
#endif
        fiber->stack = stack;
        fiber->stackSize = kStackSize;
        fiber->asanBottom = stack;
        fiber->asanSize = kStackSize;
        PrepareContext(&fiber->context, stack, kStackSize, FiberEntry);
    }
    Fiber* raw = fiber.get();
    f.all.push_back(std::move(fiber));
    if (f.strategy) {
        f.strategy->OnCreate(raw);
    }
    return raw;
}

// ---- which fibers can run -----------------------------------------------------

bool HoldsProcessor(const Fiber* f) {
    return f->state.processor >= 0;
}

bool FreeProcessor() {
    for (const Processor& p : F().processors) {
        if (p.holder == nullptr) {
            return true;
        }
    }
    return false;
}

bool ProcessorAvailable(const Fiber* f) {
    if (HoldsProcessor(f)) {
        return true;
    }
    if (f->kind == Fiber::Kind::Dpc) {
        return F().processors[f->dpcProcessor].holder == nullptr;
    }
    return FreeProcessor();
}

bool CanGoOn(Fiber* f) {
    switch (f->status) {
    case Fiber::Status::Runnable: return true;
    case Fiber::Status::Finished: return false;
    case Fiber::Status::Blocked: return !f->quiescenceWaiter && f->ready();
    }
    return false;
}

// Fills `enabled` with the fibers that may run now, by id.
void EnabledFibers(std::vector<Fiber*>* enabled) {
    enabled->clear();
    Fiber* quiescent = nullptr;
    for (auto& owned : F().all) {
        Fiber* f = owned.get();
        if (f->status == Fiber::Status::Blocked && f->quiescenceWaiter) {
            if (quiescent == nullptr) {
                quiescent = f;
            }
            continue;
        }
        if (CanGoOn(f) && ProcessorAvailable(f)) {
            enabled->push_back(f);
        }
    }
    // A timer whose expiry waits for the strategy is pending work too.
    bool expiryPending = ExpiriesDeferred() && ExpiryDueLocked();
    if (enabled->empty() && quiescent != nullptr && Sched().activity == 0 && !expiryPending) {
        enabled->push_back(quiescent);
    }
}

// The default policy's fast question: is a DPC waiting for a processor that
// the running fiber does not hold?
bool DpcDue(const Fiber* self) {
    for (const Processor& p : F().processors) {
        if (!p.dpcs.empty() && p.holder == nullptr && p.dpcFiber != self) {
            return true;
        }
    }
    return false;
}

void Record(const char* what) {
    Fibers& f = F();
    f.history[f.steps % f.history.size()] = {f.current != nullptr ? f.current->id : -1, what};
    ++f.steps;
    if (f.stepLimit > 0 && f.steps > f.stepLimit) {
        BugCheck("SCHEDULE_STEP_LIMIT", "the run took more than " + std::to_string(f.stepLimit) +
                                            " scheduling points (a livelock, or a budget too small)");
    }
}

int64_t NextDeadline() {
    int64_t next = -1;
    auto earlier = [&](int64_t t) {
        if (t >= 0 && (next < 0 || t < next)) {
            next = t;
        }
    };
    if (!Sched().timers.empty()) {
        earlier(Sched().timers.begin()->first);
    }
    for (auto& f : F().all) {
        if (f->status == Fiber::Status::Blocked) {
            earlier(f->deadline);
        }
    }
    return next;
}

void FireRealTimers() {
    if (Sched().clockMode == ClockMode::Real) {
        FireDueTimersLocked(NowLocked());
    }
}

// Nothing can run. Time may move (real clock; an exploration's manual
// clock); otherwise the model is deadlocked.
void Idle() {
    Scheduler& s = Sched();
    if (ExpiriesDeferred() && ExpiryDueLocked()) {
        FireDueTimersLocked(NowLocked());  // the latest moment a deferred expiry can have
        return;
    }
    int64_t next = NextDeadline();
    if (s.clockMode == ClockMode::Real) {
        int64_t now = NowLocked();
        int64_t wait = next < 0 ? 100000 : std::min<int64_t>(next - now, 100000);  // at most 10 ms
        if (wait > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(wait / 10));
        }
        FireDueTimersLocked(NowLocked());
        return;
    }
    if (F().autoAdvance && next >= 0) {
        s.manualNow = std::max(s.manualNow, next);
        FireDueTimersLocked(s.manualNow);
        return;
    }
    BugCheck("DEADLOCK", "no model thread can run and nothing will wake one");
}

}  // namespace

// Switches to whatever the strategy chooses among the runnable fibers; the
// caller has already changed its own status if it blocks or finished.
void Reschedule() {
    // Not a local: a finishing fiber leaves through here and never returns.
    std::vector<Fiber*>& enabled = F().enabled;
    if (ExpiriesDeferred() && ExpiryDueLocked()) {
        int processor = F().strategy->InterruptNow(ProcessorCount());
        if (processor >= 0) {
            FireDueTimersLocked(NowLocked(), processor);
        }
    }
    for (;;) {
        FireRealTimers();
        EnabledFibers(&enabled);
        if (!enabled.empty()) {
            break;
        }
        Idle();
    }
    Fiber* self = F().current;
    Fiber* next = F().strategy->Choose(enabled, self);
    if (next->status == Fiber::Status::Blocked) {
        next->status = Fiber::Status::Runnable;
        next->ready = nullptr;
    }
    SwitchTo(next);
    ReapFinished();
}

void SchedulingPoint(const char* what) {
    Fibers& f = F();
    Fiber* self = f.current;
    if (self == nullptr) {
        return;  // no model running
    }
    Record(what);
    if (self->state.modelLocks > 0) {
        return;
    }
    if (f.strategy->Cooperative()) {
        if ((f.steps & 63) == 0) {
            FireRealTimers();
        }
        if (HoldsProcessor(self) || !DpcDue(self)) {
            return;
        }
    }
    Reschedule();
}

void BlockLocked(std::unique_lock<Mutex>& lock, const char* what, std::function<bool()> ready, int64_t deadline) {
    Fiber* self = F().current;
    if (self == nullptr) {
        BugCheck("MODEL_MISUSE", std::string("a wait (") + what + ") with no model running");
    }
    if (ready()) {
        return;
    }
    lock.unlock();
    if (self->state.modelLocks > 0) {
        BugCheck("MODEL_LOCK_HELD_ACROSS_WAIT", std::string("a model thread waits (") + what + ") holding a model lock");
    }
    Record(what);
    self->status = Fiber::Status::Blocked;
    self->waitingFor = what;
    self->ready = std::move(ready);
    self->deadline = deadline;
    Reschedule();
    self->waitingFor = nullptr;
    self->deadline = -1;
    lock.lock();
}

int CurrentProcessor() {
    Fiber* self = F().current;
    if (self == nullptr) {
        return 0;
    }
    if (self->state.processor >= 0) {
        return self->state.processor;
    }
    auto& processors = F().processors;
    for (size_t p = 0; p < processors.size(); ++p) {
        if (processors[p].holder == nullptr) {
            return static_cast<int>(p);
        }
    }
    return 0;
}

void IrqlChanged(KIRQL from, KIRQL to) {
    Fiber* self = F().current;
    if (self == nullptr || self->kind == Fiber::Kind::Dpc) {
        return;  // a DPC fiber holds its processor for as long as it runs a DPC
    }
    auto& processors = F().processors;
    if (from < DISPATCH_LEVEL && to >= DISPATCH_LEVEL) {
        int p = CurrentProcessor();
        processors[p].holder = self;
        self->state.processor = p;
    } else if (from >= DISPATCH_LEVEL && to < DISPATCH_LEVEL && self->state.processor >= 0) {
        processors[self->state.processor].holder = nullptr;
        self->state.processor = -1;
    }
}

void SpinUntilFree(PKSPIN_LOCK lock) {
    Scheduler& s = Sched();
    std::unique_lock<Mutex> guard(s.mutex);
    BlockLocked(guard, "KeAcquireSpinLock (spinning)", [lock] { return InFreedDevice(lock) || *lock == 0; });
}

bool InsertDpcLocked(PKDPC dpc, PVOID a1, PVOID a2) {
    if (dpc->DpcListEntry.Flink != nullptr) {
        return false;  // already queued
    }
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = &dpc->DpcListEntry;
    auto& processors = F().processors;
    // A targeted DPC names its processor; others run where they were queued.
    int target = dpc->Number >= MAXIMUM_PROCESSORS ? dpc->Number - MAXIMUM_PROCESSORS : CurrentProcessor();
    Processor& p = processors[static_cast<size_t>(target) % processors.size()];
    p.dpcs.push_back(dpc);
    ++p.queued;
    return true;
}

bool RemoveDpcLocked(PKDPC dpc) {
    if (dpc->DpcListEntry.Flink == nullptr) {
        return false;
    }
    for (Processor& p : F().processors) {
        p.finished += std::erase(p.dpcs, dpc);
    }
    dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
    return true;
}

std::vector<uint64_t> DpcMarks() {
    std::vector<uint64_t> marks;
    for (const Processor& p : F().processors) {
        marks.push_back(p.queued);
    }
    return marks;
}

bool DpcsPassed(const std::vector<uint64_t>& marks) {
    auto& processors = F().processors;
    for (size_t i = 0; i < marks.size() && i < processors.size(); ++i) {
        if (processors[i].finished < marks[i]) {
            return false;
        }
    }
    return true;
}

std::string ActiveKernelObjectIn(const void* begin, size_t bytes) {
    auto inside = [&](const void* p) {
        auto b = static_cast<const char*>(begin);
        auto q = static_cast<const char*>(p);
        return q >= b && q < b + bytes;
    };
    for (auto& [due, timer] : Sched().timers) {
        if (inside(timer)) {
            return "an armed KTIMER " + Hex(timer);
        }
    }
    for (size_t i = 0; i < F().processors.size(); ++i) {
        for (PKDPC dpc : F().processors[i].dpcs) {
            if (inside(dpc)) {
                return "a KDPC " + Hex(dpc) + " queued on processor " + std::to_string(i);
            }
        }
    }
    return {};
}

// ---- the kernel's own threads -------------------------------------------------

namespace {

// The DPC fiber of one processor: runs its queue at DISPATCH_LEVEL, holding
// the processor for the length of each routine.
struct RunningDpc {
    PKDPC dpc = nullptr;  // may be freed by its own routine: compared, never read
    PVOID context = nullptr;
};
std::vector<RunningDpc>& Running() {
    static std::vector<RunningDpc> running;
    return running;
}

void DpcLoop(int index) {
    Scheduler& s = Sched();
    Processor& p = F().processors[index];
    Fiber* self = F().current;
    std::unique_lock<Mutex> lock(s.mutex);
    for (;;) {
        BlockLocked(lock, "DPC queue", [&] { return s.stopping || (!p.dpcs.empty() && p.holder == nullptr); });
        if (s.stopping) {
            break;
        }
        PKDPC dpc = p.dpcs.front();
        p.dpcs.pop_front();
        dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
        PVOID a1 = dpc->SystemArgument1;
        PVOID a2 = dpc->SystemArgument2;
        p.holder = self;
        self->state.processor = index;
        Running()[index] = {dpc, dpc->DeferredContext};
        lock.unlock();
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            DriverCall call(static_cast<PDRIVER_OBJECT>(dpc->DpcData));
            auto routine = reinterpret_cast<const void*>(dpc->DeferredRoutine);
            ObserveRoutine(RoutineCall::Kind::Dpc, true, routine, dpc);
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, a1, a2);
            ObserveRoutine(RoutineCall::Kind::Dpc, false, routine, dpc);
            CheckReturnState("DPC routine", DISPATCH_LEVEL, 0);
            KeLowerIrql(old);
        }
        lock.lock();
        Running()[index] = {};
        ++p.finished;
        p.holder = nullptr;
        self->state.processor = -1;
    }
}

void WorkerLoop() {
    Scheduler& s = Sched();
    std::unique_lock<Mutex> lock(s.mutex);
    for (;;) {
        BlockLocked(lock, "delayed work queue", [&] { return s.stopping || !s.work.empty(); });
        if (s.stopping) {
            break;
        }
        WorkEntry entry = s.work.front();
        s.work.pop_front();
        lock.unlock();
        {
            DriverCall call(entry.driver);
            entry.item->WorkerRoutine(entry.item->Parameter);
            // A worker routine returns at PASSIVE_LEVEL holding nothing.
            CheckReturnState("worker routine", PASSIVE_LEVEL, 0);
        }
        lock.lock();
    }
}

void SystemLoop() {
    Scheduler& s = Sched();
    std::unique_lock<Mutex> lock(s.mutex);
    for (;;) {
        BlockLocked(lock, "system work queue", [&] { return s.stopping || !s.systemWork.empty(); });
        if (s.stopping && s.systemWork.empty()) {
            break;
        }
        SystemWork item = std::move(s.systemWork.front());
        s.systemWork.pop_front();
        lock.unlock();
        {
            KIRQL old;
            KeRaiseIrql(item.irql, &old);
            item.fn();
            CheckReturnState("system work", item.irql, 0);
            KeLowerIrql(old);
        }
        lock.lock();
    }
}

}  // namespace

std::string RunningDpcIn(const void* begin, size_t bytes) {
    auto inside = [&](const void* p) {
        auto b = static_cast<const char*>(begin);
        auto q = static_cast<const char*>(p);
        return q >= b && q < b + bytes;
    };
    for (size_t i = 0; i < Running().size(); ++i) {
        auto [dpc, context] = Running()[i];
        if (dpc != nullptr && (inside(dpc) || inside(context))) {
            return "DPC routine of KDPC " + Hex(dpc) + " running on processor " + std::to_string(i);
        }
    }
    return {};
}

void StartKernelThreads(const BootOptions& options) {
    Fibers& f = F();
    Scheduler& s = Sched();
    s.stopping = false;
    f.all.clear();
    f.nextId = 0;
    f.steps = 0;
    f.stepLimit = 0;
    f.autoAdvance = options.clock == ClockMode::Virtual;
    f.nextHardwareProcessor = 0;
    if (!f.strategy) {
        f.strategy = MakeDefaultStrategy();
    }
    Fiber* main = NewFiber(Fiber::Kind::Main, "main", nullptr);
    f.current = main;
    int processors = std::max(1, std::min(options.processors, static_cast<int>(MAXIMUM_PROCESSORS)));
    f.processors.assign(processors, Processor{});
    Running().assign(processors, RunningDpc{});
    for (int i = 0; i < processors; ++i) {
        Fiber* dpc = NewFiber(Fiber::Kind::Dpc, "dpc" + std::to_string(i), [i] { DpcLoop(i); });
        dpc->dpcProcessor = i;
        f.processors[i].dpcFiber = dpc;
    }
    NewFiber(Fiber::Kind::System, "system", SystemLoop);
    for (int i = 0; i < std::max(1, options.delayedWorkerThreads); ++i) {
        NewFiber(Fiber::Kind::Worker, "worker" + std::to_string(i), WorkerLoop);
    }
}

void StopKernelThreads() {
    Fibers& f = F();
    Scheduler& s = Sched();
    // Work already queued is done first; a kernel thread still waiting then
    // for something that will never come (a request of a device the test
    // left behind) is abandoned with the model.
    kmodel::WaitForQuiescence();
    {
        std::unique_lock<Mutex> lock(s.mutex);
        s.stopping = true;
        BlockLocked(lock, "kernel threads to stop", [] {
            for (auto& fiber : F().all) {
                bool kernel = fiber->kind != Fiber::Kind::Main && fiber->kind != Fiber::Kind::Thread;
                if (!kernel || fiber->status == Fiber::Status::Finished) {
                    continue;
                }
                bool stuck = fiber->status == Fiber::Status::Blocked && !fiber->ready();
                if (!stuck) {
                    return false;
                }
            }
            return true;
        });
    }
    ReapFinished();
    for (Processor& p : f.processors) {
        for (PKDPC dpc : p.dpcs) {
            dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
        }
    }
    f.processors.clear();
    for (auto& fiber : f.all) {
        if (fiber->stack != nullptr && fiber->kind != Fiber::Kind::Thread) {
            munmap(fiber->stack, fiber->stackSize);
        }
    }
    f.all.clear();
    f.current = nullptr;
    f.strategy.reset();
    s.work.clear();
    s.systemWork.clear();
    s.timers.clear();
    s.activity = 0;
}

// ---- strategies' hooks ----------------------------------------------------------

void SetStrategy(std::unique_ptr<Strategy> strategy) {
    Fibers& f = F();
    f.strategy = std::move(strategy);
    for (auto& fiber : f.all) {
        f.strategy->OnCreate(fiber.get());
    }
}

bool ExpiriesDeferred() {
    return F().strategy && !F().strategy->Cooperative();
}

void SetAutoAdvanceClock(bool on) {
    F().autoAdvance = on;
}

void SetStepLimit(int64_t steps) {
    F().stepLimit = steps;
}

int64_t StepsTaken() {
    return F().steps;
}

Fiber* DefaultChoice(const std::vector<Fiber*>& enabled, Fiber* current) {
    bool currentEnabled = std::find(enabled.begin(), enabled.end(), current) != enabled.end();
    if (currentEnabled && HoldsProcessor(current)) {
        return current;
    }
    for (Fiber* f : enabled) {
        if (f->kind == Fiber::Kind::Dpc) {
            return f;
        }
    }
    return currentEnabled ? current : enabled.front();
}

// The report that follows a bug check: the schedule, the threads and the
// last scheduling points.
std::string ScheduleReport() {
    Fibers& f = F();
    if (f.current == nullptr) {
        return {};
    }
    std::string out = "schedule: " + f.strategy->Name() + "  (replay: QV_SCHEDULE='" + f.strategy->Name() +
                      "' ctest -R <test>)\nthreads:\n";
    for (auto& fiber : f.all) {
        char line[256];
        const char* status = fiber->status == Fiber::Status::Runnable   ? "runnable"
                             : fiber->status == Fiber::Status::Finished ? "finished"
                                                                        : "blocked";
        std::snprintf(line, sizeof(line), "  %s#%-3d %-12s %-6s %-8s irql %d%s%s%s\n", fiber.get() == f.current ? "*" : " ",
                      fiber->id, fiber->name.c_str(), KindName(fiber->kind), status, fiber->state.irql,
                      fiber->state.processor >= 0 ? (" cpu " + std::to_string(fiber->state.processor)).c_str() : "",
                      fiber->waitingFor ? " on " : "", fiber->waitingFor ? fiber->waitingFor : "");
        out += line;
    }
    out += "last scheduling points (oldest first):\n";
    int64_t count = std::min<int64_t>(f.steps, static_cast<int64_t>(f.history.size()));
    for (int64_t i = f.steps - count; i < f.steps; ++i) {
        const HistoryEntry& e = f.history[i % f.history.size()];
        out += "  " + std::to_string(i) + "  #" + std::to_string(e.fiber) + "  " + (e.what ? e.what : "?") + "\n";
    }
    return out;
}

}  // namespace kmodel::detail

namespace kmodel {

using namespace detail;

// ---- model locks --------------------------------------------------------------

void Mutex::lock() {
    ThreadState& self = Self();
    if (owner_ != nullptr) {
        BugCheck("MODEL_LOCK_CONTENTION", owner_ == &self ? "a model lock taken twice by one thread"
                                                          : "a model lock held across a switch of threads");
    }
    owner_ = &self;
    ++self.modelLocks;
}

void Mutex::unlock() {
    auto* owner = static_cast<ThreadState*>(owner_);
    owner_ = nullptr;
    --owner->modelLocks;
}

// ---- threads ------------------------------------------------------------------

void WaitForQuiescence() {
    Fiber* self = F().current;
    if (self == nullptr) {
        return;
    }
    Record("WaitForQuiescence");
    self->status = Fiber::Status::Blocked;
    self->waitingFor = "quiescence";
    self->quiescenceWaiter = true;
    self->ready = [] { return true; };
    Reschedule();
    self->quiescenceWaiter = false;
    self->waitingFor = nullptr;
}

void HoldActivity() {
    std::lock_guard<Mutex> guard(Sched().mutex);
    ++Sched().activity;
}

void ReleaseActivity() {
    std::lock_guard<Mutex> guard(Sched().mutex);
    --Sched().activity;
}

void QueueSystemWork(std::function<void()> work, KIRQL irql) {
    std::lock_guard<Mutex> guard(Sched().mutex);
    Sched().systemWork.push_back({std::move(work), irql});
}

uint64_t CurrentThreadId() {
    Fiber* self = F().current;
    return self == nullptr ? 0 : self->state.token;
}

uintptr_t& ApplicationSlot() {
    return Self().applicationSlot;
}

int ProcessorCount() {
    return std::max<int>(1, static_cast<int>(F().processors.size()));
}

int NextHardwareProcessor() {
    Fibers& f = F();
    int next = f.nextHardwareProcessor;
    f.nextHardwareProcessor = (next + 1) % ProcessorCount();
    return f.strategy ? f.strategy->InterruptProcessor(ProcessorCount(), next) : next;
}

struct ModelThread::Impl {
    Fiber* fiber = nullptr;
    bool joined = false;
};

ModelThread::ModelThread(std::function<void()> body, std::string name) : impl_(new Impl) {
    impl_->fiber = NewFiber(Fiber::Kind::Thread, std::move(name), std::move(body));
}

void ModelThread::Join() {
    if (impl_->joined) {
        return;
    }
    Fiber* fiber = impl_->fiber;
    {
        std::unique_lock<Mutex> lock(Sched().mutex);
        BlockLocked(lock, "a thread to finish", [fiber] { return fiber->status == Fiber::Status::Finished; });
    }
    impl_->joined = true;
    auto& all = F().all;
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it->get() == fiber) {
            munmap(fiber->stack, fiber->stackSize);
            all.erase(it);
            break;
        }
    }
}

ModelThread::~ModelThread() {
    Join();
    delete impl_;
}

// ---- time -----------------------------------------------------------------------

int64_t Now() {
    std::lock_guard<Mutex> guard(Sched().mutex);
    return NowLocked();
}

void AdvanceClock(int64_t milliseconds) {
    Scheduler& s = Sched();
    if (s.clockMode == ClockMode::Real) {
        BugCheck("MODEL_MISUSE", "AdvanceClock with the real-time clock");
    }
    WaitForQuiescence();
    int64_t target = s.manualNow + milliseconds * 10000;
    for (;;) {
        int64_t next = NextDeadline();
        next = next < 0 ? target : std::min(next, target);
        s.manualNow = std::max(s.manualNow, next);
        FireDueTimersLocked(s.manualNow);
        WaitForQuiescence();
        if (s.manualNow >= target) {
            break;
        }
    }
}

void StepClock(int64_t milliseconds) {
    Scheduler& s = Sched();
    if (s.clockMode == ClockMode::Real) {
        BugCheck("MODEL_MISUSE", "StepClock with the real-time clock");
    }
    SchedulingPoint("StepClock");
    std::lock_guard<Mutex> guard(s.mutex);
    s.manualNow += milliseconds * 10000;
    if (!ExpiriesDeferred()) {
        FireDueTimersLocked(s.manualNow);
    }
}

}  // namespace kmodel

namespace kmodel::detail {

int64_t NowLocked() {
    Scheduler& s = Sched();
    if (s.clockMode != ClockMode::Real) {
        return s.manualNow;
    }
    return SteadyNow100ns() - s.realBase;
}

ThreadState& Self() {
    Fiber* self = F().current;
    return self != nullptr ? self->state : F().host;
}

}  // namespace kmodel::detail
