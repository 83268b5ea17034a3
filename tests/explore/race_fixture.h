// The fixture of the driver's race scenarios: an open port, its racing
// parties explored under many schedules, and the proof that the schedules
// raced. Every run must end with every request completed once, no verifier
// report, the port reopenable and, after removal, no pool left.
//
// Race events are named from what the model sees, never from the driver:
//  - requests the I/O manager sends: "open", "close", "cleanup", "read",
//    "write", "flush", "wait", "purge", "set mask", "control", "removal",
//    "surprise removal", "pnp"; at their end "<name> ended" and
//    "<name> ended ok|cancelled|timeout|refused|failed";
//  - routines the model calls: "bulk-in completion", "interrupt completion",
//    "write completion" (of a transfer that succeeded; "... failing" for
//    one that ended in error), "read timeout DPC", "read cancel routine",
//    "write cancel routine", "wait cancel routine", "lower cancel routine",
//    "cancel with no routine" (a cancel that found the request unguarded),
//    "read dispatch", "write dispatch", "control dispatch" (the driver's
//    dispatch routines);
//  - overlaps: "<a> during <b>" when a begins while b is in flight or running.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <kmodel/explore.h>
#include <kmodel/observe.h>
#include <kmodel/pnp.h>

#include "port_fixture.h"

namespace qvtest {

using Strategy = kmodel::ExploreOptions::Strategy;
using Orderings = std::vector<kmodel::RaceOrdering>;

inline kmodel::ExploreOptions Pct(int seeds, int depth = 3) {
    kmodel::ExploreOptions options;
    options.strategy = Strategy::Pct;
    options.seeds = seeds;
    options.depth = depth;
    return options;
}

inline kmodel::ExploreOptions Bounded(int preemptions, int maxSchedules) {
    kmodel::ExploreOptions options;
    options.strategy = Strategy::BoundedPreemption;
    options.preemptions = preemptions;
    options.maxSchedules = maxSchedules;
    return options;
}

inline std::string BudgetName(const kmodel::ExploreOptions& o) {
    return o.strategy == Strategy::Pct
               ? "PCT " + std::to_string(o.seeds) + " seeds, depth " + std::to_string(o.depth)
               : "bounded " + std::to_string(o.preemptions) + " preemptions, " + std::to_string(o.maxSchedules) +
                     " schedules";
}

// Names the race events of the running schedule (see the top of this file).
class RaceWatch {
public:
    void Start(PDEVICE_EXTENSION pdx) {
        pdx_ = pdx;
        kmodel::io::SetRequestObserver([this](const kmodel::io::RequestRecord& r) { OnRequest(r); });
        kmodel::SetRoutineObserver([this](const kmodel::RoutineCall& c) { OnRoutine(c); });
    }
    void Stop() {
        kmodel::io::SetRequestObserver(nullptr);
        kmodel::SetRoutineObserver(nullptr);
        active_.clear();
        ended_.clear();
    }
    // The requests of this schedule by name, in the order their completions
    // reached the I/O manager.
    const std::vector<std::string>& Ended() const { return ended_; }

private:
    static std::string RequestName(const kmodel::io::RequestRecord& r) {
        switch (r.major) {
        case IRP_MJ_CREATE: return "open";
        case IRP_MJ_CLOSE: return "close";
        case IRP_MJ_CLEANUP: return "cleanup";
        case IRP_MJ_READ: return "read";
        case IRP_MJ_WRITE: return "write";
        case IRP_MJ_FLUSH_BUFFERS: return "flush";
        case IRP_MJ_DEVICE_CONTROL:
            switch (r.ioControlCode) {
            case IOCTL_SERIAL_WAIT_ON_MASK: return "wait";
            case IOCTL_SERIAL_PURGE: return "purge";
            case IOCTL_SERIAL_SET_WAIT_MASK: return "set mask";
            default: return "control";
            }
        case IRP_MJ_PNP:
            return r.minor == IRP_MN_REMOVE_DEVICE      ? "removal"
                   : r.minor == IRP_MN_SURPRISE_REMOVAL ? "surprise removal"
                                                        : "pnp";
        default: return "request";
        }
    }
    static const char* Outcome(NTSTATUS status) {
        switch (status) {
        case STATUS_SUCCESS: return "ok";
        case STATUS_CANCELLED: return "cancelled";
        case STATUS_IO_TIMEOUT:
        case STATUS_TIMEOUT: return "timeout";
        case STATUS_DELETE_PENDING: return "refused";
        default: return "failed";
        }
    }
    std::string RoutineName(const kmodel::RoutineCall& c) const {
        auto is = [&](auto fn) { return c.routine == reinterpret_cast<const void*>(fn); };
        switch (c.kind) {
        case kmodel::RoutineCall::Kind::Dpc:
            return is(ReadTimeoutDPC) || is(ReadIntervalTimeoutDPC) ? "read timeout DPC"
                   : is(ReceiveRecoveryDPC)                          ? "receive recovery DPC"
                                                                     : "";
        case kmodel::RoutineCall::Kind::Completion:
            return is(ReadPipeCompletion)     ? "bulk-in completion"
                   : is(StatusPipeCompletion) ? "interrupt completion"
                   : is(OnWriteComplete)      ? "write completion"
                                              : "";
        case kmodel::RoutineCall::Kind::Dispatch:
            return is(DispatchRead)     ? "read dispatch"
                   : is(DispatchWrite)  ? "write dispatch"
                   : is(ModemIoControl) ? "control dispatch"
                                        : "";
        case kmodel::RoutineCall::Kind::Cancel:
            return c.routine == nullptr        ? "cancel with no routine"
                   : is(ReadCancelRoutine)     ? "read cancel routine"
                   : is(WriteCancelRoutine)    ? "write cancel routine"
                   : is(WaitMaskCancelRoutine) ? "wait cancel routine"
                                               : "lower cancel routine";
        }
        return "";
    }
    void Begin(const void* key, const std::string& name) {
        kmodel::MarkRaceEvent(name);
        for (const auto& [other, what] : active_) {
            kmodel::MarkRaceEvent(name + " during " + what);
        }
        active_.emplace(key, name);
    }
    void End(const void* key) {
        auto it = active_.find(key);
        if (it != active_.end()) {
            active_.erase(it);
        }
    }
    void OnRequest(const kmodel::io::RequestRecord& r) {
        auto key = reinterpret_cast<const void*>(static_cast<uintptr_t>(r.id));
        std::string name = RequestName(r);
        if (!r.completed) {
            Begin(key, name);
            return;
        }
        End(key);
        ended_.push_back(name);
        kmodel::MarkRaceEvent(name + " ended");
        kmodel::MarkRaceEvent(name + " ended " + Outcome(r.status));
    }
    void OnRoutine(const kmodel::RoutineCall& c) {
        std::string name = RoutineName(c);
        if (name.empty()) {
            return;
        }
        if (c.kind == kmodel::RoutineCall::Kind::Completion && c.begin &&
            !NT_SUCCESS(static_cast<const IRP*>(c.object)->IoStatus.Status)) {
            name += " failing";
        }
        // Keyed by the routine too: one IRP meets its cancel and its completion.
        const void* key = static_cast<const char*>(c.object) + static_cast<int>(c.kind) + 1;
        if (c.begin) {
            Begin(key, name);
        } else {
            End(key);
        }
    }

    PDEVICE_EXTENSION pdx_ = nullptr;
    std::multimap<const void*, std::string> active_;
    std::vector<std::string> ended_;
};

class RaceTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        ClearNotifications();  // the power-up report is not part of the race
        OpenPort();
        watch.Start(pdx);
    }
    void TearDown() override {
        watch.Stop();
        PortTest::TearDown();
    }

    // Failures the current test has recorded: a forked run fails only by
    // failures of its own, not by ones it inherited.
    static int FailedParts() {
        const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
        int failed = 0;
        for (int i = 0; i < result->total_part_count(); ++i) {
            failed += result->GetTestPartResult(i).failed() ? 1 : 0;
        }
        return failed;
    }

    // Explores `race` under `options`; `race` ends with the scenario's checks.
    kmodel::ExploreResult Explore(const kmodel::ExploreOptions& options, const std::function<void()>& race) {
        return kmodel::Explore(options, race, [before = FailedParts()] { return FailedParts() > before; });
    }

    // The modem's side, without waiting for the driver to take it.
    void Arrive(size_t bytes) {
        std::vector<uint8_t> data = Pattern(bytes);
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().bulkIn.insert(Modem().bulkIn.end(), data.begin(), data.end());
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
    }
    // A notification with DSR and CTS up and the carrier down.
    // A SERIAL_STATE that drops the carrier (DSR stays on): the port's
    // image starts with both, so this raises SERIAL_EV_RLSD.
    void CarrierChange() {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().notifications.push_back({0xA1, 0x20, 0, 0, 0, 0, 0x02, 0, 0x02, 0});
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
    }
    // An unplug as the hardware does it, without the bus's wait for the
    // model to settle between the device's going and its report.
    // An unplug that does not wait for the model to go quiet: the device's
    // transfers fail and the PnP manager is told, racing whatever runs.
    void UnplugNow() {
        child->present = false;
        Stack().DeviceGone();
        if (child->device != nullptr) {
            child->device->present = false;
            kmodel::ReportDeviceMissing(child->device->node);
        } else {
            kmodel::ReportDeviceMissing(child->node);
        }
    }
    void CloseNow() {
        kmodel::io::CloseHandle(file);
        file = nullptr;
    }

    // The checks every scenario ends with.
    void ExpectDone(const Pending& p) { EXPECT_TRUE(p.Done()) << "a request never completed"; }
    void ExpectReopenWorks() {
        kmodel::WaitForQuiescence();
        ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
        kmodel::WaitForQuiescence();
        SetTimeouts(0, 0, 0);
        Feed(Pattern(6));
        Pending read;
        EXPECT_EQ(StartRead(read, 6), STATUS_SUCCESS);
        EXPECT_EQ(read.Information(), 6u);
        ClosePort();
    }
    void ExpectRemovedClean() {
        kmodel::WaitForQuiescence();
        EXPECT_EQ(kmodel::RemoveDevice(child->node), STATUS_SUCCESS);
        ExpectGone();
    }
    void ExpectGone() {
        kmodel::WaitForQuiescence();
        EXPECT_EQ(DriverDevices(), 0u);
        EXPECT_EQ(DriverPool(), 0u);
    }

    // A failure names its replay; a replay is one schedule, so it is not
    // asked to have run more.
    static void ExpectNoRace(const kmodel::ExploreResult& result) {
        EXPECT_FALSE(result.failed) << "QV_SCHEDULE='" << result.replay << "'\n" << result.failure;
        if (!result.replayed) {
            EXPECT_GT(result.schedules, 1);
        }
    }
    // Every budget in turn (PCT seeds, then every schedule within a bound),
    // stopping at the first failure. Each ordering must occur in at least its
    // minimum of the schedules all budgets ran; the counts are printed.
    void ExpectNoRaceWithin(std::initializer_list<kmodel::ExploreOptions> budgets, const std::function<void()>& race,
                            const Orderings& orderings = {}) {
        std::vector<int> reached(orderings.size(), 0);
        bool replayed = false;
        for (kmodel::ExploreOptions budget : budgets) {
            budget.orderings = orderings;
            kmodel::ExploreResult result = Explore(budget, race);
            for (size_t i = 0; i < reached.size(); ++i) {
                reached[i] += result.reached[i];
            }
            std::printf("[ races    ] %s: %d schedules%s\n%s", result.replayed ? "replay" : BudgetName(budget).c_str(),
                        result.schedules, result.failed ? ", failed" : "",
                        kmodel::DescribeOrderings(orderings, result.reached).c_str());
            ExpectNoRace(result);
            replayed = result.replayed;
            if (result.failed || replayed) {
                return;
            }
            EXPECT_TRUE(result.exhausted) << "the bound has more schedules than the budget: raise it";
        }
        for (size_t i = 0; i < orderings.size(); ++i) {
            EXPECT_GE(reached[i], orderings[i].minimum)
                << "the budget did not race as the scenario claims:\n" << kmodel::DescribeOrderings(orderings, reached);
        }
    }

    // A request the setup leaves pending: it lives as long as the fixture,
    // since the teardown's close may still complete it.
    Pending held;
    RaceWatch watch;

    size_t fed_ = 0;
    std::vector<uint8_t> Pattern(size_t n) {
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(fed_++ % 251);
        }
        return bytes;
    }
};

}  // namespace qvtest
