// Scheduling strategies and the exploration of schedules.
//
// Replay strings:
//   default                    the deterministic default policy
//   pct:<seed>:<d>:<k>         PCT with seed, depth d, over about k steps
//   pb:<i>.<f>,<i>.t<p>,...    the non-preemptive policy except that at
//                              decision i (the i-th scheduling point where
//                              more than one thread could run, or where a
//                              due timer could expire) thread #f runs, or
//                              the clock interrupt lands on processor p
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include <kmodel/explore.h>

#include "schedule.h"

namespace kmodel::detail {

namespace {

class DefaultStrategy : public Strategy {
public:
    std::string Name() const override { return "default"; }
    Fiber* Choose(const std::vector<Fiber*>& enabled, Fiber* current) override {
        return DefaultChoice(enabled, current);
    }
    bool Cooperative() const override { return true; }
};

// PCT: the runnable fiber of highest priority runs. Fibers get priorities
// d, d+1, ... in a random order as they appear; at d-1 change points, chosen
// at random among the first k steps, the running fiber drops to priority
// d-1-j, below every initial one.
class PctStrategy : public Strategy {
public:
    PctStrategy(uint64_t seed, int depth, int64_t steps) : seed_(seed), depth_(depth), steps_(steps), random_(seed) {
        std::uniform_int_distribution<int64_t> at(1, std::max<int64_t>(1, steps));
        for (int j = 0; j < depth - 1; ++j) {
            changes_.push_back(at(random_));
        }
    }
    std::string Name() const override {
        return "pct:" + std::to_string(seed_) + ":" + std::to_string(depth_) + ":" + std::to_string(steps_);
    }
    void OnCreate(Fiber* fiber) override {
        // A random position among the fibers seen so far keeps priorities
        // distinct and uniformly ordered.
        fiber->priority = static_cast<uint64_t>(depth_) * 1000000 + random_() % 1000000 * 64 + fiber->id % 64;
    }
    Fiber* Choose(const std::vector<Fiber*>& enabled, Fiber* current) override {
        ++step_;
        for (size_t j = 0; j < changes_.size(); ++j) {
            if (changes_[j] == step_) {
                current->priority = static_cast<uint64_t>(depth_ - 1 - static_cast<int>(j));
            }
        }
        Fiber* best = enabled.front();
        for (Fiber* f : enabled) {
            if (f->priority > best->priority) {
                best = f;
            }
        }
        return best;
    }
    // Interrupts land where the seed says, so a completion may meet any
    // other DPC on either processor.
    int InterruptProcessor(int count, int) override { return static_cast<int>(random_() % count); }
    // A due timer expires after a number of scheduling points drawn when
    // it first falls due, up to a quarter of the scenario's length.
    int InterruptNow(int processors) override {
        if (lastAsked_ + 1 < step_ || countdown_ < 0) {
            countdown_ = static_cast<int64_t>(random_() % static_cast<uint64_t>(steps_ / 4 + 8));
        }
        lastAsked_ = step_ + 1;  // Choose counts this point next
        if (countdown_-- > 0) {
            return -1;
        }
        countdown_ = -1;
        return static_cast<int>(random_() % static_cast<uint64_t>(processors));
    }

private:
    uint64_t seed_;
    int depth_;
    int64_t steps_;
    std::minstd_rand random_;  // cheap to seed: one per explored schedule
    std::vector<int64_t> changes_;
    int64_t step_ = 0;
    int64_t lastAsked_ = -2;  // the step of the last expiry decision
    int64_t countdown_ = -1;  // scheduling points until the due timer expires
};

class ForcedStrategy : public Strategy {
public:
    ForcedStrategy(std::vector<std::pair<uint32_t, int>> forced, Decision* trace, uint32_t* count, uint32_t capacity)
        : trace_(trace), count_(count), capacity_(capacity) {
        for (auto& [index, fiber] : forced) {
            forced_[index] = fiber;
        }
    }
    std::string Name() const override {
        std::string out = "pb:";
        bool first = true;
        for (auto& [index, fiber] : forced_) {
            std::string what = fiber >= 0 ? std::to_string(fiber) : "t" + std::to_string(-1 - fiber);
            out += (first ? "" : ",") + std::to_string(index) + "." + what;
            first = false;
        }
        return out;
    }
    // The base policy is non-preemptive: the running thread goes on while it
    // can, a DPC included, so a DPC that runs late (on another processor) is
    // the base schedule and one that interrupts costs a preemption.
    Fiber* Choose(const std::vector<Fiber*>& enabled, Fiber* current) override {
        bool currentEnabled = std::find(enabled.begin(), enabled.end(), current) != enabled.end();
        Fiber* preferred = currentEnabled ? current : enabled.front();
        if (enabled.size() < 2) {
            return preferred;
        }
        uint32_t index = decisions_++;
        Fiber* chosen = preferred;
        auto it = forced_.find(index);
        if (it != forced_.end()) {
            chosen = nullptr;
            for (Fiber* f : enabled) {
                if (f->id == it->second) {
                    chosen = f;
                }
            }
            if (chosen == nullptr) {
                Diverged(index, "cannot run thread #" + std::to_string(it->second));
            }
        }
        if (Decision* d = Trace(index, false)) {
            for (Fiber* f : enabled) {
                d->enabled |= uint64_t(1) << (f->id % 64);
            }
            d->chosen = static_cast<uint8_t>(chosen->id);
        }
        return chosen;
    }
    // The base policy leaves a due timer until nothing else can run; an
    // earlier expiry, on either processor, costs a preemption.
    int InterruptNow(int processors) override {
        uint32_t index = decisions_++;
        int processor = -1;
        auto it = forced_.find(index);
        if (it != forced_.end()) {
            if (it->second >= 0) {
                Diverged(index, "is a timer's expiry, not a choice of thread #" + std::to_string(it->second));
            }
            processor = -1 - it->second;
        }
        if (Decision* d = Trace(index, true)) {
            d->enabled = (uint64_t(1) << processors) - 1;
            d->chosen = processor >= 0 ? static_cast<uint8_t>(processor) : kNoInterrupt;
        }
        return processor;
    }

private:
    [[noreturn]] static void Diverged(uint32_t index, const std::string& what) {
        BugCheck("SCHEDULE_DIVERGED",
                 "decision " + std::to_string(index) + " " + what + ": the replay does not match this run");
    }
    Decision* Trace(uint32_t index, bool interrupt) {
        if (trace_ == nullptr || *count_ >= capacity_) {
            return nullptr;
        }
        Decision* d = &trace_[(*count_)++];
        *d = Decision{index, 0, 0, interrupt};
        return d;
    }

    std::map<uint32_t, int> forced_;
    Decision* trace_;
    uint32_t* count_;
    uint32_t capacity_;
    uint32_t decisions_ = 0;
};

}  // namespace

std::unique_ptr<Strategy> MakeDefaultStrategy() {
    return std::make_unique<DefaultStrategy>();
}

std::unique_ptr<Strategy> MakePctStrategy(uint64_t seed, int depth, int64_t steps) {
    return std::make_unique<PctStrategy>(seed, depth, steps);
}

std::unique_ptr<Strategy> MakeForcedStrategy(std::vector<std::pair<uint32_t, int>> forced, Decision* trace,
                                             uint32_t* traceCount, uint32_t capacity) {
    return std::make_unique<ForcedStrategy>(std::move(forced), trace, traceCount, capacity);
}

std::unique_ptr<Strategy> MakeStrategy(const std::string& schedule) {
    if (schedule == "default") {
        return MakeDefaultStrategy();
    }
    if (schedule.rfind("pct:", 0) == 0) {
        unsigned long long seed = 0;
        int depth = 0;
        long long steps = 0;
        if (std::sscanf(schedule.c_str(), "pct:%llu:%d:%lld", &seed, &depth, &steps) == 3 && depth >= 1) {
            return MakePctStrategy(seed, depth, steps);
        }
        return nullptr;
    }
    if (schedule.rfind("pb:", 0) == 0) {
        std::vector<std::pair<uint32_t, int>> forced;
        std::stringstream in(schedule.substr(3));
        std::string item;
        while (std::getline(in, item, ',')) {
            unsigned index = 0;
            int fiber = 0;
            if (std::sscanf(item.c_str(), "%u.t%d", &index, &fiber) == 2 && fiber >= 0) {
                forced.emplace_back(index, -1 - fiber);  // the clock interrupt on processor `fiber`
                continue;
            }
            if (std::sscanf(item.c_str(), "%u.%d", &index, &fiber) != 2 || fiber < 0) {
                return nullptr;
            }
            forced.emplace_back(index, fiber);
        }
        return MakeForcedStrategy(std::move(forced), nullptr, nullptr, 0);
    }
    return nullptr;
}

}  // namespace kmodel::detail

namespace kmodel {

using namespace detail;

namespace {

constexpr uint32_t kTraceCapacity = 1 << 16;
constexpr uint32_t kEventCapacity = 1 << 12;

// What a forked run reports back: its decisions, its length and the race
// events it saw (as indices into the exploration's names).
struct SharedTrace {
    uint32_t count;
    int64_t steps;
    Decision decisions[kTraceCapacity];
    uint32_t eventCount;
    uint16_t events[kEventCapacity];
};

// The names the running exploration's orderings use, and where its runs
// record them; set before the runs fork.
struct RaceLog {
    std::vector<std::string> names;
    SharedTrace* shared = nullptr;
};
RaceLog& Races() {
    static RaceLog log;
    return log;
}

// One step of an ordering: an event name, or several separated by '|'.
std::vector<std::string> Alternatives(const std::string& step) {
    std::vector<std::string> names;
    std::stringstream in(step);
    std::string name;
    while (std::getline(in, name, '|')) {
        names.push_back(name);
    }
    return names;
}

void StartRaceLog(const std::vector<RaceOrdering>& orderings, SharedTrace* shared) {
    RaceLog& log = Races();
    log.names.clear();
    log.shared = shared;
    for (const RaceOrdering& o : orderings) {
        for (const std::string& step : o.events) {
            for (const std::string& name : Alternatives(step)) {
                if (std::find(log.names.begin(), log.names.end(), name) == log.names.end()) {
                    log.names.push_back(name);
                }
            }
        }
    }
}

// Whether one run's events contain the ordering as a subsequence.
bool Shows(const SharedTrace& run, const RaceOrdering& ordering) {
    const auto& names = Races().names;
    size_t next = 0;
    std::vector<std::string> step;
    for (uint32_t i = 0; i < run.eventCount && next < ordering.events.size(); ++i) {
        if (step.empty()) {
            step = Alternatives(ordering.events[next]);
        }
        if (std::find(step.begin(), step.end(), names[run.events[i]]) != step.end()) {
            ++next;
            step.clear();
        }
    }
    return next == ordering.events.size();
}

// One run of `body` in a forked child under `strategy`; true when it passed.
// The child's output goes to a temporary file whose end becomes `failure`.
struct RunOutcome {
    bool passed;
    std::string failure;
};

std::string Tail(int fd) {
    off_t size = lseek(fd, 0, SEEK_END);
    off_t from = std::max<off_t>(0, size - 4000);
    std::string text(static_cast<size_t>(size - from), '\0');
    if (pread(fd, text.data(), text.size(), from) < 0) {
        return {};
    }
    return text;
}

// The children's output, one file reused by every run.
int LogFile() {
    static int fd = memfd_create("explore-log", 0);
    return fd;
}

RunOutcome RunForked(const std::function<std::unique_ptr<Strategy>()>& makeStrategy, const ExploreOptions& options,
                     const std::function<void()>& body, const std::function<bool()>& failed, SharedTrace* shared) {
    std::fflush(stdout);
    std::fflush(stderr);
    int log = LogFile();
    if (ftruncate(log, 0) != 0 || lseek(log, 0, SEEK_SET) != 0) {
        BugCheck("MODEL_MISUSE", "cannot reset the exploration log");
    }
    pid_t pid = fork();
    if (pid < 0) {
        BugCheck("MODEL_MISUSE", "fork failed during an exploration");
    }
    if (pid == 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        shared->count = 0;
        shared->eventCount = 0;
        SetStrategy(makeStrategy());
        SetAutoAdvanceClock(true);
        SetStepLimit(StepsTaken() + options.maxSteps);
        int64_t before = StepsTaken();
        body();
        shared->steps = StepsTaken() - before;
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(failed() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunOutcome outcome{WIFEXITED(status) && WEXITSTATUS(status) == 0, {}};
    if (!outcome.passed) {
        outcome.failure = Tail(log);
        if (WIFSIGNALED(status)) {
            outcome.failure += "\n(the run stopped with signal " + std::to_string(WTERMSIG(status)) + ")";
        }
    }
    return outcome;
}

SharedTrace* MapTrace() {
    void* memory = mmap(nullptr, sizeof(SharedTrace), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        BugCheck("MODEL_MISUSE", "no shared memory for an exploration");
    }
    return static_cast<SharedTrace*>(memory);
}

// One exploration: the scenario, its options and the shared trace; each
// schedule run is counted, and the first failing one recorded.
struct Exploration {
    const ExploreOptions& options;
    const std::function<void()>& body;
    const std::function<bool()>& failed;
    SharedTrace* shared;
    ExploreResult* result;

    // Runs one schedule; false when it failed.
    bool Run(const std::function<std::unique_ptr<Strategy>()>& make) {
        RunOutcome outcome = RunForked(make, options, body, failed, shared);
        ++result->schedules;
        for (size_t i = 0; i < options.orderings.size(); ++i) {
            result->reached[i] += Shows(*shared, options.orderings[i]) ? 1 : 0;
        }
        if (outcome.passed) {
            return true;
        }
        result->failed = true;
        result->replay = make()->Name();
        result->failure = outcome.failure;
        return false;
    }
};

void ExplorePct(Exploration& e) {
    // A run under the default policy measures the scenario's length, over
    // which the priority change points are spread.
    if (!e.Run([] { return MakeDefaultStrategy(); })) {
        return;
    }
    int64_t steps = std::max<int64_t>(1, e.shared->steps);
    for (int i = 0; i < e.options.seeds; ++i) {
        uint64_t seed = e.options.firstSeed + static_cast<uint64_t>(i);
        if (!e.Run([&] { return MakePctStrategy(seed, e.options.depth, steps); })) {
            return;
        }
    }
}

// Every schedule with at most k preemptions, fewest first (iterative
// bounding): each run reports its decisions, and every alternative at a
// decision after the run's last forced one becomes a schedule to try. The
// base policy is non-preemptive; a preemption is any departure from it, a
// switch away from a thread that could go on or another choice where a
// blocked thread hands over (delay bounding). Counting the latter too keeps
// small bounds tractable where many threads wait.
void ExploreBounded(Exploration& e) {
    const ExploreOptions& options = e.options;
    SharedTrace* shared = e.shared;
    using Forced = std::vector<std::pair<uint32_t, int>>;
    std::vector<std::vector<Forced>> byCost(options.preemptions + 1);
    byCost[0].push_back({});
    for (int cost = 0; cost <= options.preemptions; ++cost) {
        std::vector<Forced>& stack = byCost[cost];
        while (!stack.empty()) {
            if (e.result->schedules >= options.maxSchedules) {
                e.result->exhausted = false;
                return;
            }
            Forced forced = std::move(stack.back());
            stack.pop_back();
            if (!e.Run([&] { return MakeForcedStrategy(forced, shared->decisions, &shared->count, kTraceCapacity); })) {
                return;
            }
            uint32_t after = forced.empty() ? 0 : forced.back().first + 1;
            for (uint32_t i = 0; i < shared->count; ++i) {
                const Decision& d = shared->decisions[i];
                int next = cost + 1;
                if (d.index < after || next > options.preemptions) {
                    continue;
                }
                for (int f = 0; f < 64; ++f) {
                    if ((d.enabled >> f & 1) == 0 || f == d.chosen) {
                        continue;
                    }
                    Forced alternative = forced;
                    alternative.emplace_back(d.index, d.interrupt ? -1 - f : f);
                    byCost[next].push_back(std::move(alternative));
                }
            }
        }
    }
}

}  // namespace

ExploreResult Explore(const ExploreOptions& options, const std::function<void()>& body,
                      const std::function<bool()>& failed) {
    ExploreResult result;
    result.reached.assign(options.orderings.size(), 0);
    std::string schedule = options.schedule;
    if (const char* replay = std::getenv("QV_SCHEDULE"); replay != nullptr && *replay != '\0') {
        schedule = replay;
        result.replayed = true;
    }
    SharedTrace* shared = MapTrace();
    StartRaceLog(options.orderings, shared);
    Exploration exploration{options, body, failed, shared, &result};
    if (!schedule.empty()) {
        if (!MakeStrategy(schedule)) {
            BugCheck("MODEL_MISUSE", "no schedule is named '" + schedule + "'");
        }
        exploration.Run([&] { return MakeStrategy(schedule); });
        result.replay = schedule;
    } else if (options.strategy == ExploreOptions::Strategy::Pct) {
        ExplorePct(exploration);
    } else {
        ExploreBounded(exploration);
    }
    Races().shared = nullptr;
    munmap(shared, sizeof(SharedTrace));
    if (result.failed) {
        std::fprintf(stderr, "exploration found a failing schedule after %d runs: QV_SCHEDULE='%s'\n%s\n",
                     result.schedules, result.replay.c_str(), result.failure.c_str());
    }
    return result;
}

void HoldTheClock() {
    SetAutoAdvanceClock(false);
}

void MarkRaceEvent(const std::string& name) {
    RaceLog& log = Races();
    if (log.shared == nullptr) {
        return;
    }
    auto it = std::find(log.names.begin(), log.names.end(), name);
    if (it == log.names.end() || log.shared->eventCount >= kEventCapacity) {
        return;
    }
    log.shared->events[log.shared->eventCount++] = static_cast<uint16_t>(it - log.names.begin());
}

std::string DescribeOrderings(const std::vector<RaceOrdering>& orderings, const std::vector<int>& reached) {
    std::string out;
    for (size_t i = 0; i < orderings.size(); ++i) {
        std::string events;
        for (const std::string& e : orderings[i].events) {
            events += (events.empty() ? "" : " -> ") + e;
        }
        int count = i < reached.size() ? reached[i] : 0;
        out += "  " + std::to_string(count) + " schedules (at least " + std::to_string(orderings[i].minimum) +
               "): " + events + "\n";
    }
    return out;
}

void Replay(const std::string& schedule, const std::function<void()>& body) {
    std::unique_ptr<Strategy> strategy = MakeStrategy(schedule);
    if (!strategy) {
        BugCheck("MODEL_MISUSE", "QV_SCHEDULE names no schedule: '" + schedule + "'");
    }
    SetStrategy(std::move(strategy));
    SetAutoAdvanceClock(true);
    body();
    SetAutoAdvanceClock(Sched().clockMode == ClockMode::Virtual);
    SetStrategy(MakeDefaultStrategy());
}


}  // namespace kmodel
