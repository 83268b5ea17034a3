// Races of the driver, explored: each scenario sets up an open port, then
// runs its racing parties under many schedules. Every run must end with
// every request completed once, no verifier report, the port reopenable
// and, after removal, no pool left.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <kmodel/explore.h>
#include <kmodel/pnp.h>

#include "port_fixture.h"

namespace qvtest {
namespace {

using Strategy = kmodel::ExploreOptions::Strategy;

kmodel::ExploreOptions Pct(int seeds) {
    kmodel::ExploreOptions options;
    options.strategy = Strategy::Pct;
    options.seeds = seeds;
    return options;
}

kmodel::ExploreOptions Bounded(int preemptions, int maxSchedules) {
    kmodel::ExploreOptions options;
    options.strategy = Strategy::BoundedPreemption;
    options.preemptions = preemptions;
    options.maxSchedules = maxSchedules;
    return options;
}

class RaceTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        ClearNotifications();  // the power-up report is not part of the race
        OpenPort();
    }

    // Explores `race` under `options`; `race` ends with the scenario's checks.
    kmodel::ExploreResult Explore(const kmodel::ExploreOptions& options, const std::function<void()>& race) {
        return kmodel::Explore(options, race, [] { return ::testing::Test::HasFailure(); });
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
    void CarrierChange() {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().notifications.push_back({0xA1, 0x20, 0, 0, 0, 0, 0x03, 0, 0x01, 0});
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
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

    static void ExpectNoRace(const kmodel::ExploreResult& result) {
        EXPECT_FALSE(result.failed) << "QV_SCHEDULE='" << result.replay << "'\n" << result.failure;
        EXPECT_GT(result.schedules, 1);
    }
    // Every budget in turn: PCT seeds, then every schedule within a bound.
    void ExpectNoRaceWithin(std::initializer_list<kmodel::ExploreOptions> budgets, const std::function<void()>& race) {
        for (const kmodel::ExploreOptions& budget : budgets) {
            kmodel::ExploreResult result = Explore(budget, race);
            ExpectNoRace(result);
            EXPECT_TRUE(result.exhausted) << "the bound has more schedules than the budget: raise it";
        }
    }

    // A request the setup leaves pending: it lives as long as the fixture,
    // since the teardown's close may still complete it.
    Pending held;

    size_t fed_ = 0;
    std::vector<uint8_t> Pattern(size_t n) {
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(fed_++ % 251);
        }
        return bytes;
    }
};

// ---- close against the readers --------------------------------------------------

// A reader's completion must not resubmit after the close stopped it, nor
// run beside the reopen's reader on the same URB.
TEST_F(RaceTest, CloseAgainstTheBulkInCompletion) {
    ExpectNoRaceWithin({Pct(1000), Bounded(1, 5000), Bounded(2, 40000)}, [&] {
        kmodel::ModelThread device([&] { Arrive(8); }, "device");
        CloseNow();
        device.Join();
        ExpectReopenWorks();
        ExpectRemovedClean();
    });
}

TEST_F(RaceTest, CloseAgainstTheInterruptCompletion) {
    kmodel::ExploreOptions options = Pct(4000);
    options.depth = 4;
    ExpectNoRaceWithin({options, Bounded(1, 5000)}, [&] {
        kmodel::ModelThread device([&] { CarrierChange(); }, "device");
        CloseNow();
        device.Join();
        ExpectReopenWorks();
        ExpectRemovedClean();
    });
}

TEST_F(RaceTest, CloseAndReopenAgainstBothCompletions) {
    ExpectNoRaceWithin({Pct(1000), Bounded(1, 5000)}, [&] {
        kmodel::ModelThread device(
            [&] {
                Arrive(8);
                CarrierChange();
            },
            "device");
        CloseNow();
        ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
        device.Join();
        ClosePort();
        ExpectReopenWorks();
        ExpectRemovedClean();
    });
}

// ---- removal against everything in flight ----------------------------------------

class RemovalRaceTest : public RaceTest {
protected:
    void SetUp() override {
        RaceTest::SetUp();
        SetTimeouts(0, 0, 0);  // the read waits for data
        SetWaitMask(SERIAL_EV_RLSD);
        ASSERT_EQ(StartRead(read, 64), STATUS_PENDING);
        ASSERT_EQ(StartWait(wait), STATUS_PENDING);
        Stack().faults(usbsim::kBulkOutEndpoint).hold = true;  // a write chunk in flight, never echoed
        ASSERT_EQ(StartWrite(write, std::vector<uint8_t>(100, 'w')), STATUS_PENDING);
    }
    void ExpectAllEnded() {
        kmodel::WaitForQuiescence();
        ExpectDone(read);
        ExpectDone(wait);
        ExpectDone(write);
    }
    Pending read, wait, write;
};

TEST_F(RemovalRaceTest, SurpriseRemovalAgainstTheReadersAHeldReadAWaitAndAWrite) {
    ExpectNoRace(Explore(Pct(500), [&] {
        kmodel::ModelThread device([&] { CarrierChange(); }, "device");
        bus->Unplug(child);
        device.Join();
        ExpectAllEnded();
        CloseNow();
        ExpectGone();
    }));
}

TEST_F(RemovalRaceTest, OrderlyRemovalAgainstTheReadersAHeldReadAWaitAndAWrite) {
    ExpectNoRace(Explore(Pct(500), [&] {
        NTSTATUS removal = STATUS_PENDING;
        kmodel::ModelThread device([&] { Arrive(4); }, "device");
        kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); }, "pnp");
        CloseNow();
        device.Join();
        pnp.Join();
        ExpectAllEnded();
        EXPECT_EQ(removal, STATUS_SUCCESS);
        ExpectGone();
    }));
}

// ---- requests against their completions --------------------------------------------

// A held read with a total timeout: its cancel, the data that would end it
// and its timeout DPC, all at once.
TEST_F(RaceTest, CancelAgainstDataAgainstTheReadTimeout) {
    SetTimeouts(0, 0, 10);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 16), STATUS_PENDING);
    ExpectNoRace(Explore(Pct(1000), [&] {
        kmodel::ModelThread device([&] { Arrive(4); }, "device");
        kmodel::io::Cancel(file, &read.request);
        device.Join();
        LARGE_INTEGER later;
        later.QuadPart = -20 * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &later);  // past the timeout
        ExpectDone(read);
        ClosePort();
        ExpectReopenWorks();
        ExpectRemovedClean();
    }));
}

TEST_F(RaceTest, AWriteChunkCompletionAgainstItsCancel) {
    ExpectNoRace(Explore(Pct(1000), [&] {
        Pending write;
        StartWrite(write, std::vector<uint8_t>(10000, 'w'));
        kmodel::io::Cancel(file, &write.request);
        kmodel::WaitForQuiescence();
        ExpectDone(write);
        EXPECT_LE(write.Information(), 10000u);
        ClosePort();
        ExpectRemovedClean();
    }));
}

TEST_F(RaceTest, AWaitCancelAgainstANotification) {
    SetWaitMask(SERIAL_EV_RLSD);
    Pending& wait = held;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    ExpectNoRace(Explore(Pct(1000), [&] {
        kmodel::ModelThread device([&] { CarrierChange(); }, "device");
        kmodel::io::Cancel(file, &wait.request);
        device.Join();
        kmodel::WaitForQuiescence();
        ExpectDone(wait);
        ClosePort();
        ExpectRemovedClean();
    }));
}

TEST_F(RaceTest, PurgeAgainstACompletingRead) {
    SetTimeouts(0, 0, 0);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 16), STATUS_PENDING);
    ExpectNoRace(Explore(Pct(1000), [&] {
        kmodel::ModelThread device([&] { Arrive(16); }, "device");
        EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
        device.Join();
        kmodel::WaitForQuiescence();
        ExpectDone(read);
        ClosePort();
        ExpectRemovedClean();
    }));
}

// A byte landing between the read's look at the buffer and its queuing must
// still end the read.
TEST_F(RaceTest, AReadAgainstOneArrivingByte) {
    SetTimeouts(0, 0, 0);
    ExpectNoRaceWithin({Pct(2000), Bounded(2, 5000)}, [&] {
        Pending read;
        kmodel::ModelThread device([&] { Arrive(1); }, "device");
        read.buffer.assign(1, 0);
        kmodel::io::Read(file, read.buffer.data(), 1, &read.request);
        device.Join();
        kmodel::WaitForQuiescence();
        ExpectDone(read);
        if (!read.Done()) {
            kmodel::io::Cancel(file, &read.request);
        }
        ClosePort();
        ExpectRemovedClean();
    });
}

// A timed read cancelled while the receive engine is stopped, a close, and
// a removal inside the timeout: the read timer must not outlive the device.
TEST_F(RaceTest, TheReadTimerAgainstRemoval) {
    Stack().Stall(usbsim::kBulkInEndpoint);  // the failed transfer stops the engine
    kmodel::WaitForQuiescence();
    SetTimeouts(0, 0, 50);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 16), STATUS_PENDING);
    ExpectNoRace(Explore(Bounded(1, 300), [&] {
        kmodel::io::Cancel(file, &read.request);
        ClosePort();
        ExpectDone(read);
        ExpectRemovedClean();
    }));
}

// ---- queued reads, cleanup, flush and the receive recovery --------------------------

// Two reads queued in order, the data that serves them and both cancels.
class QueuedReadsRaceTest : public RaceTest {
protected:
    void SetUp() override {
        RaceTest::SetUp();
        SetTimeouts(0, 0, 0);
        ASSERT_EQ(StartRead(first, 3), STATUS_PENDING);
        ASSERT_EQ(StartRead(second, 3), STATUS_PENDING);
    }
    Pending first, second;
};

TEST_F(QueuedReadsRaceTest, TwoQueuedReadsAgainstArrivingDataAndTheirCancels) {
    ExpectNoRace(Explore(Pct(1000), [&] {
        kmodel::ModelThread device([&] { Arrive(4); }, "device");
        kmodel::ModelThread canceller([&] { kmodel::io::Cancel(file, &second.request); }, "canceller");
        kmodel::io::Cancel(file, &first.request);
        device.Join();
        canceller.Join();
        kmodel::WaitForQuiescence();
        ExpectDone(first);
        ExpectDone(second);
        // Served in order: a first read that got its three bytes got the first three.
        if (first.Status() == STATUS_SUCCESS) {
            EXPECT_EQ(first.buffer, std::vector<uint8_t>({0, 1, 2}));
        }
        ClosePort();
        ExpectReopenWorks();
        ExpectRemovedClean();
    }));
}

TEST_F(RaceTest, CleanupAgainstACompletingWriteChunk) {
    ExpectNoRace(Explore(Pct(1000), [&] {
        Pending write, queued;
        StartWrite(write, std::vector<uint8_t>(10000, 'w'));
        StartWrite(queued, std::vector<uint8_t>(10, 'q'));
        CloseNow();
        kmodel::WaitForQuiescence();
        ExpectDone(write);
        ExpectDone(queued);
        EXPECT_LE(write.Information(), 10000u);
        ExpectReopenWorks();
        ExpectRemovedClean();
    }));
}

TEST_F(RaceTest, AFlushAgainstAWritesLastChunk) {
    ExpectNoRace(Explore(Pct(1000), [&] {
        Pending write;
        StartWrite(write, std::vector<uint8_t>(5000, 'w'));
        kmodel::io::Request flush;
        NTSTATUS flushed = kmodel::io::Simple(file, IRP_MJ_FLUSH_BUFFERS, &flush);
        if (flushed == STATUS_PENDING) {
            flushed = kmodel::io::Wait(&flush);
        }
        EXPECT_EQ(flushed, STATUS_SUCCESS);
        EXPECT_EQ(pdx->OutQueueBytes, 0u) << "the flush ended before the write was sent";
        kmodel::WaitForQuiescence();
        ExpectDone(write);
        EXPECT_EQ(write.Information(), 5000u);
        ClosePort();
        ExpectRemovedClean();
    }));
}

TEST_F(RaceTest, TheReceiveRecoveryAgainstClose) {
    ExpectNoRace(Explore(Pct(1000), [&] {
        kmodel::ModelThread device([&] { Stack().Stall(usbsim::kBulkInEndpoint); }, "device");
        CloseNow();
        device.Join();
        ExpectReopenWorks();
        ExpectRemovedClean();
    }));
}

TEST_F(RaceTest, TheReceiveRecoveryAgainstRemoval) {
    ExpectNoRace(Explore(Pct(1000), [&] {
        NTSTATUS removal = STATUS_PENDING;
        kmodel::ModelThread device([&] { Stack().Stall(usbsim::kBulkInEndpoint); }, "device");
        kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); }, "pnp");
        LARGE_INTEGER later;
        later.QuadPart = -15 * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &later);  // into the back-off
        CloseNow();
        device.Join();
        pnp.Join();
        EXPECT_EQ(removal, STATUS_SUCCESS);
        ExpectGone();
    }));
}

}  // namespace
}  // namespace qvtest
