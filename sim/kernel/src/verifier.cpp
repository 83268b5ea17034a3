// The verifier's report and the low-resources simulation.
#include <cstdio>
#include <cstdlib>
#include <random>

#include "model.h"

namespace kmodel {

void BugCheck(const char* rule, const std::string& details) {
    std::fprintf(stderr,
                 "\n*** KERNEL MODEL BUG CHECK ***\n"
                 "rule:    %s\n"
                 "details: %s\n"
                 "driver:  %s\n",
                 rule, details.c_str(), detail::Hex(detail::Self().driver).c_str());
    std::fputs(detail::ScheduleReport().c_str(), stderr);
    std::fflush(stderr);
    std::abort();
}

namespace {

struct FaultState {
    Mutex mutex;
    bool active = false;
    FaultPlan plan;
    uint64_t counted = 0;
    uint64_t failed = 0;
    std::mt19937_64 random;
};

FaultState& Faults() {
    static FaultState state;
    return state;
}

}  // namespace

void SetFaultPlan(const FaultPlan& plan) {
    FaultState& f = Faults();
    std::lock_guard<Mutex> guard(f.mutex);
    f.active = true;
    f.plan = plan;
    f.counted = 0;
    f.failed = 0;
    f.random.seed(plan.seed);
}

void ClearFaultPlan() {
    FaultState& f = Faults();
    std::lock_guard<Mutex> guard(f.mutex);
    f.active = false;
}

uint64_t CountedAllocations() {
    std::lock_guard<Mutex> guard(Faults().mutex);
    return Faults().counted;
}

uint64_t FailedAllocations() {
    std::lock_guard<Mutex> guard(Faults().mutex);
    return Faults().failed;
}

bool ShouldFailAllocation(AllocationKind kind) {
    FaultState& f = Faults();
    std::lock_guard<Mutex> guard(f.mutex);
    if (!f.active || (f.plan.kinds & kind) == 0) {
        return false;
    }
    PDRIVER_OBJECT caller = detail::Self().driver;
    if (caller == nullptr || (f.plan.driver != nullptr && f.plan.driver != caller)) {
        return false;
    }
    ++f.counted;
    bool fail = f.counted == f.plan.failNth;
    if (!fail && f.plan.randomShare > 0.0) {
        fail = std::uniform_real_distribution<double>(0.0, 1.0)(f.random) < f.plan.randomShare;
    }
    if (fail) {
        ++f.failed;
    }
    return fail;
}

namespace detail {

void ResetVerifier() {
    ClearFaultPlan();
}

}  // namespace detail
}  // namespace kmodel
