// Systematic exploration of thread interleavings.
//
// A scenario sets up a running model (driver loaded, device plugged, port
// open), then hands the racy part to Explore. Each schedule runs in a forked
// copy of the process from that point, so setup is paid once and every run
// starts from the same state; a run fails when it stops (a verifier bug
// check, a deadlock, a crash) or when `failed` says so after the body.
//
// Strategies:
//  - PCT (probabilistic concurrency testing, Burckhardt et al., ASPLOS 2010):
//    threads get random priorities, the highest-priority runnable thread
//    runs, and at d-1 random steps the running thread drops below all
//    others. One seed, one schedule.
//  - Bounded preemption (CHESS, Musuvathi and Qadeer): every schedule with at
//    most k departures from the default policy, fewest first.
//
// A failing schedule is named by a replay string; QV_SCHEDULE=<string> in the
// environment makes Explore run that schedule alone, forked like any other
// from the scenario's fresh setup, with the scheduler's report on failure.
//
// Proof of racing: a scenario names the orderings of race events it exists
// for (MarkRaceEvent, usually called from the model's observers); each
// schedule records the events it saw, and the result counts the schedules
// in which each ordering occurred.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kmodel {

// Events that occurred in this order (not necessarily adjacent) in one
// schedule; a step "a|b" is either event. `minimum` is how many schedules
// of the budget must show it.
struct RaceOrdering {
    std::vector<std::string> events;
    int minimum = 1;
};

struct ExploreOptions {
    enum class Strategy { Pct, BoundedPreemption };
    Strategy strategy = Strategy::Pct;
    // PCT
    int seeds = 1000;          // schedules tried: seeds firstSeed .. firstSeed+seeds-1
    uint64_t firstSeed = 1;
    int depth = 3;             // d: bug depth the schedules target
    // Bounded preemption
    int preemptions = 2;       // k
    int maxSchedules = 20000;  // stop early past this many
    // Every run
    int64_t maxSteps = 200000;  // scheduling points before a run counts as a livelock
    // A replay string: run that one schedule (forked, like the others).
    std::string schedule;
    // The orderings whose occurrences the result counts.
    std::vector<RaceOrdering> orderings;
};

struct ExploreResult {
    int schedules = 0;      // runs made
    bool exhausted = true;  // bounded preemption: every schedule within the bound was run
    bool failed = false;
    std::string replay;    // the first failing schedule
    std::string failure;   // what it reported (the end of its error output)
    bool replayed = false; // QV_SCHEDULE named the one schedule that ran
    std::vector<int> reached;  // per ordering, the schedules that showed it
};

// Records a named race event in the schedule now running (nothing outside
// an exploration, or for a name no ordering of the exploration uses).
void MarkRaceEvent(const std::string& name);
// The orderings, their counts and minimums, one line each.
std::string DescribeOrderings(const std::vector<RaceOrdering>& orderings, const std::vector<int>& reached);

// `failed` is asked in the child after `body` returns (a test passes
// ::testing::Test::HasFailure).
ExploreResult Explore(const ExploreOptions& options, const std::function<void()>& body,
                      const std::function<bool()>& failed);

// For the rest of the schedule running now, time moves only when the
// scenario steps the clock. Explorations otherwise move it to the next
// timer whenever every thread waits; with it held, a request that waits for
// time nobody gives stops the run as a DEADLOCK.
void HoldTheClock();

// Runs `body` once under the schedule a replay string names, in this process
// (no fork: for a debugger).
void Replay(const std::string& schedule, const std::function<void()>& body);

}  // namespace kmodel
