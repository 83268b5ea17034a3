// The scheduler: every thread the model runs, the one lock under which
// dispatcher objects and queues change, and quiescence.
#include <chrono>

#include "model.h"

namespace kmodel::detail {

Scheduler& Sched() {
    static Scheduler scheduler;
    return scheduler;
}

namespace {

int64_t SteadyNow100ns() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

std::vector<std::thread>& KernelThreads() {
    static std::vector<std::thread> threads;
    return threads;
}

void EnterModelThread() {
    Self().modelThread = true;
}

void LeaveModelThread(const char* what) {
    CheckReturnState(what, PASSIVE_LEVEL, 0);
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> guard(s.mutex);
    --s.running;
    s.changed.notify_all();
}

void DpcThread() {
    EnterModelThread();
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        BlockLocked(lock, [&] { return s.stopping || !s.dpcs.empty(); });
        if (s.stopping) {
            break;
        }
        PKDPC dpc = s.dpcs.front();
        s.dpcs.pop_front();
        dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
        PVOID a1 = dpc->SystemArgument1;
        PVOID a2 = dpc->SystemArgument2;
        s.dpcRunning = true;
        lock.unlock();
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            DriverCall call(static_cast<PDRIVER_OBJECT>(dpc->DpcData));
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, a1, a2);
            CheckReturnState("DPC routine", DISPATCH_LEVEL, 0);
            KeLowerIrql(old);
        }
        lock.lock();
        s.dpcRunning = false;
        s.changed.notify_all();
    }
    lock.unlock();
    LeaveModelThread("DPC thread");
}

void WorkerThread() {
    EnterModelThread();
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        BlockLocked(lock, [&] { return s.stopping || !s.work.empty(); });
        if (s.stopping) {
            break;
        }
        Scheduler::WorkEntry entry = s.work.front();
        s.work.pop_front();
        ++s.workRunning;
        lock.unlock();
        {
            DriverCall call(entry.driver);
            entry.item->WorkerRoutine(entry.item->Parameter);
            // A worker routine returns at PASSIVE_LEVEL holding nothing.
            CheckReturnState("worker routine", PASSIVE_LEVEL, 0);
        }
        lock.lock();
        --s.workRunning;
        s.changed.notify_all();
    }
    lock.unlock();
    LeaveModelThread("worker thread");
}

void SystemWorkThread() {
    EnterModelThread();
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        BlockLocked(lock, [&] { return s.stopping || !s.systemWork.empty(); });
        if (s.stopping && s.systemWork.empty()) {
            break;
        }
        Scheduler::SystemWork item = std::move(s.systemWork.front());
        s.systemWork.pop_front();
        ++s.systemRunning;
        lock.unlock();
        {
            KIRQL old;
            KeRaiseIrql(item.irql, &old);
            item.fn();
            CheckReturnState("system work", item.irql, 0);
            KeLowerIrql(old);
        }
        lock.lock();
        --s.systemRunning;
        s.changed.notify_all();
    }
    lock.unlock();
    LeaveModelThread("system work thread");
}

// With the real clock, due timers are fired by this thread.
void RealClockThread() {
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.stopping) {
        FireDueTimersLocked(NowLocked());
        s.changed.notify_all();
        s.changed.wait_for(lock, std::chrono::milliseconds(2));
    }
}

}  // namespace

int64_t NowLocked() {
    Scheduler& s = Sched();
    if (s.clockMode == ClockMode::Manual) {
        return s.manualNow;
    }
    return SteadyNow100ns() - s.realBase;
}

void BlockLocked(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready) {
    Scheduler& s = Sched();
    bool counted = Self().modelThread;
    if (counted) {
        --s.running;
        s.changed.notify_all();
    }
    if (s.clockMode == ClockMode::Real) {
        // Timed waits end by the real clock; poll it.
        while (!ready()) {
            s.changed.wait_for(lock, std::chrono::milliseconds(2));
        }
    } else {
        s.changed.wait(lock, ready);
    }
    if (counted) {
        ++s.running;
    }
}

bool QuiescentLocked() {
    Scheduler& s = Sched();
    if (s.running != 0 || !s.dpcs.empty() || !s.work.empty() || !s.systemWork.empty() || s.activity != 0) {
        return false;
    }
    int64_t now = NowLocked();
    for (const Waiter* w : s.waiters) {
        if (IsSignaled(w->object) || (w->deadline >= 0 && now >= w->deadline)) {
            return false;  // about to run
        }
    }
    return true;
}

void StartKernelThreads(int delayedWorkers) {
    Scheduler& s = Sched();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.stopping = false;
        s.running += 2 + delayedWorkers;
    }
    auto& threads = KernelThreads();
    threads.emplace_back(DpcThread);
    threads.emplace_back(SystemWorkThread);
    for (int i = 0; i < delayedWorkers; ++i) {
        threads.emplace_back(WorkerThread);
    }
    if (s.clockMode == ClockMode::Real) {
        threads.emplace_back(RealClockThread);
    }
}

void StopKernelThreads() {
    Scheduler& s = Sched();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.stopping = true;
        s.changed.notify_all();
    }
    for (std::thread& t : KernelThreads()) {
        t.join();
    }
    KernelThreads().clear();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.dpcs.clear();
    s.work.clear();
    s.systemWork.clear();
    s.timers.clear();
    s.waiters.clear();
    s.running = 0;
    s.activity = 0;
}

}  // namespace kmodel::detail

namespace kmodel {

using namespace detail;

void WaitForQuiescence() {
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lock(s.mutex);
    BlockLocked(lock, [] { return QuiescentLocked(); });
}

void HoldActivity() {
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> guard(s.mutex);
    ++s.activity;
    s.changed.notify_all();
}

void ReleaseActivity() {
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> guard(s.mutex);
    --s.activity;
    s.changed.notify_all();
}

void QueueSystemWork(std::function<void()> work, KIRQL irql) {
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.systemWork.push_back({std::move(work), irql});
    s.changed.notify_all();
}

struct ModelThread::Impl {
    std::thread thread;
};

ModelThread::ModelThread(std::function<void()> body, std::string name) : impl_(new Impl) {
    Scheduler& s = Sched();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        ++s.running;  // counted before it starts, so quiescence cannot miss it
    }
    impl_->thread = std::thread([body = std::move(body), name = std::move(name)] {
        EnterModelThread();
        body();
        std::string what = "thread " + name;
        LeaveModelThread(what.c_str());
    });
}

void ModelThread::Join() {
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

ModelThread::~ModelThread() {
    Join();
    delete impl_;
}

int64_t Now() {
    std::lock_guard<std::mutex> guard(Sched().mutex);
    return NowLocked();
}

void AdvanceClock(int64_t milliseconds) {
    Scheduler& s = Sched();
    if (s.clockMode != ClockMode::Manual) {
        BugCheck("MODEL_MISUSE", "AdvanceClock with the real-time clock");
    }
    WaitForQuiescence();
    int64_t target;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        target = s.manualNow + milliseconds * 10000;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(s.mutex);
            int64_t next = target;
            if (!s.timers.empty()) {
                next = std::min(next, s.timers.begin()->first);
            }
            for (const Waiter* w : s.waiters) {
                if (w->deadline >= 0) {
                    next = std::min(next, w->deadline);
                }
            }
            s.manualNow = std::max(s.manualNow, next);
            FireDueTimersLocked(s.manualNow);
            s.changed.notify_all();
        }
        WaitForQuiescence();
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.manualNow >= target) {
            break;
        }
    }
}

}  // namespace kmodel
