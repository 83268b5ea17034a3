// Races of the event history, explored: events recorded from two completion
// routines at once while an application waits. Every event must be reported
// once: to the wait, or to the next one, never lost and never twice.
#include <gtest/gtest.h>

#include <kmodel/explore.h>

#include "port_fixture.h"

namespace qvtest {
namespace {

class EventRaceTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        ClearNotifications();  // the open assumes DSR and carrier: the report below drops carrier
        OpenPort();
        SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD);
    }

    // The modem's side, without waiting for the driver to take it.
    void DataArrives() {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().bulkIn.push_back('x');
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
    }
    void CarrierGoes() {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().notifications.push_back({0xA1, 0x20, 0, 0, 0, 0, 2, 0, usbsim::kUartTxCarrier, 0});
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
    }

    // The events a wait issued now gets at once, or 0 when it has to wait.
    ULONG EventsAlreadyRecorded() {
        Pending next;
        if (StartWait(next) == STATUS_PENDING) {
            Cancel(next);
            return 0;
        }
        return next.Events();
    }
};

// A notification, a bulk-in completion and a wait, all at once.
TEST_F(EventRaceTest, ANotificationAgainstABulkInCompletionAgainstAWait) {
    kmodel::ExploreOptions pct;
    pct.strategy = kmodel::ExploreOptions::Strategy::Pct;
    pct.seeds = 1000;
    kmodel::ExploreOptions bounded;
    bounded.strategy = kmodel::ExploreOptions::Strategy::BoundedPreemption;
    bounded.preemptions = 1;
    bounded.maxSchedules = 5000;
    for (const kmodel::ExploreOptions& budget : {pct, bounded}) {
        kmodel::ExploreResult result = kmodel::Explore(
            budget,
            [&] {
                Pending wait;
                wait.buffer.assign(sizeof(ULONG), 0xEE);
                kmodel::ModelThread data([&] { DataArrives(); }, "data");
                kmodel::ModelThread line([&] { CarrierGoes(); }, "line");
                wait.returned = kmodel::io::DeviceControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                                          wait.buffer.data(), sizeof(ULONG), &wait.request);
                data.Join();
                line.Join();
                kmodel::WaitForQuiescence();
                ASSERT_TRUE(wait.Done()) << "events were recorded, yet the wait sleeps";
                ULONG first = wait.Events();
                ULONG rest = EventsAlreadyRecorded();
                EXPECT_NE(first, 0u);
                EXPECT_EQ(first & rest, 0u) << "reported twice";
                EXPECT_EQ(first | rest, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD)) << "lost";
                ClosePort();
            },
            [] { return ::testing::Test::HasFailure(); });
        EXPECT_FALSE(result.failed) << "QV_SCHEDULE='" << result.replay << "'\n" << result.failure;
        EXPECT_GT(result.schedules, 1);
        EXPECT_TRUE(result.exhausted) << "the bound has more schedules than the budget: raise it";
    }
}

}  // namespace
}  // namespace qvtest
