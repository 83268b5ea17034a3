// The scheduler's own types: fibers, processors and the strategies that
// choose between runnable fibers. Shared by scheduler.cpp and strategy.cpp.
#pragma once

#include <ucontext.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model.h"

namespace kmodel::detail {

// A model thread's saved processor state (context.cpp).
struct Context {
#if defined(__x86_64__)
    void* sp = nullptr;
#else
    ucontext_t uc{};
#endif
};
// Makes `context` start `entry` on the given stack when first switched to.
void PrepareContext(Context* context, void* stack, size_t size, void (*entry)());
// Saves the running thread into `from` and resumes `to`.
void SwitchContext(Context* from, Context* to);

struct Fiber {
    enum class Kind { Main, Thread, Dpc, Worker, System };
    enum class Status { Runnable, Blocked, Finished };

    int id = 0;
    std::string name;
    Kind kind = Kind::Thread;
    int dpcProcessor = -1;  // Kind::Dpc: the processor whose queue it drains
    ThreadState state;
    std::function<void()> body;

    Status status = Status::Runnable;
    const char* waitingFor = nullptr;  // while blocked, for reports
    std::function<bool()> ready;       // while blocked
    int64_t deadline = -1;             // while blocked in a timed wait
    bool quiescenceWaiter = false;     // runs only once nothing else can

    uint64_t priority = 0;  // PCT

    // Execution context.
    Context context;
    void* stack = nullptr;  // null for the main fiber (the thread's own stack)
    size_t stackSize = 0;
    const void* asanBottom = nullptr;
    size_t asanSize = 0;
    void* asanFakeStack = nullptr;
};

// One decision of a run: a scheduling point where more than one fiber could
// run. Bounded-preemption enumeration reads them back from a run.
// A decision is either which fiber runs, or, while a timer is due, whether
// its clock interrupt lands now and on which processor.
struct Decision {
    uint32_t index;
    uint64_t enabled;  // fiber ids as bits; for an interrupt, processors
    uint8_t chosen;    // for an interrupt, kNoInterrupt: not yet
    bool interrupt;
};
constexpr uint8_t kNoInterrupt = 0xFF;

class Strategy {
public:
    virtual ~Strategy() = default;
    // The replay string of the run.
    virtual std::string Name() const = 0;
    virtual void OnCreate(Fiber* fiber) {}
    // Chooses among `enabled` (ordered by id, never empty). `current` is the
    // fiber that reached the scheduling point; it may be absent from
    // `enabled` (it blocked).
    virtual Fiber* Choose(const std::vector<Fiber*>& enabled, Fiber* current) = 0;
    // The default strategy switches only when it must or a DPC is due, and
    // lets the scheduler skip building the enabled set on its fast path.
    virtual bool Cooperative() const { return false; }
    // The processor an interrupt of simulated hardware (a transfer's
    // completion, a timer's expiry) lands on; `next` is the round-robin one.
    virtual int InterruptProcessor(int count, int next) { return next; }
    // A timer is due and other fibers still run: the processor whose clock
    // interrupt expires it at this scheduling point, or -1 for not yet. Only
    // asked of strategies that are not cooperative.
    virtual int InterruptNow(int processors) { return 0; }
};

// The default policy: the running thread goes on until it blocks, except
// that a queued DPC interrupts passive-level code at once; a blocked thread
// hands over to the first DPC that can run, then to the lowest-numbered
// runnable thread.
Fiber* DefaultChoice(const std::vector<Fiber*>& enabled, Fiber* current);

std::unique_ptr<Strategy> MakeDefaultStrategy();
// Parses a replay string; null if it names no strategy.
std::unique_ptr<Strategy> MakeStrategy(const std::string& schedule);
std::unique_ptr<Strategy> MakePctStrategy(uint64_t seed, int depth, int64_t steps);
// Follows `forced` decisions (index -> fiber id, or -1-p: the clock
// interrupt on processor p) and the non-preemptive policy
// elsewhere; records every decision into `trace` (capacity entries) if given.
std::unique_ptr<Strategy> MakeForcedStrategy(std::vector<std::pair<uint32_t, int>> forced, Decision* trace,
                                             uint32_t* traceCount, uint32_t capacity);

// The scheduler's hooks for strategies and explorations.
void SetStrategy(std::unique_ptr<Strategy> strategy);
void SetAutoAdvanceClock(bool on);  // explorations: time moves when all are blocked
void SetStepLimit(int64_t steps);
int64_t StepsTaken();

}  // namespace kmodel::detail
