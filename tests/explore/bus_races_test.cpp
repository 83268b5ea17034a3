// Races at the bus driver, explored: the USB device is pulled out while the
// port on the bus's child is open, with reads, a write, a wait and a class
// request in flight. Every run must end with every request completed once,
// no verifier report, both drivers' devices deleted, both device nodes
// removed and no pool left in either driver.
#include <gtest/gtest.h>

#include <kmodel/explore.h>
#include <kmodel/pnp.h>

#include "port_fixture.h"

namespace qvtest {
namespace {

kmodel::ExploreOptions Pct(int seeds) {
    kmodel::ExploreOptions options;
    options.strategy = kmodel::ExploreOptions::Strategy::Pct;
    options.seeds = seeds;
    return options;
}

class BusUnplugRaceTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        OpenPort();
        SetTimeouts(0, 0, 0);  // the read waits for data
        SetWaitMask(SERIAL_EV_RLSD);
        ASSERT_EQ(StartRead(read, 64), STATUS_PENDING);
        ASSERT_EQ(StartWait(wait), STATUS_PENDING);
        Stack().faults(usbsim::kBulkOutEndpoint).hold = true;  // a write chunk in flight, never taken
        ASSERT_EQ(StartWrite(write, std::vector<uint8_t>(100, 'w')), STATUS_PENDING);
    }

    kmodel::ExploreResult Explore(const kmodel::ExploreOptions& options, const std::function<void()>& race) {
        return kmodel::Explore(options, race, [] { return ::testing::Test::HasFailure(); });
    }

    // DTR goes to the modem as SET_CONTROL_LINE_STATE, which the request waits for.
    void RaiseDtr() {
        kmodel::io::Request request;
        dtrStatus = kmodel::io::DeviceControl(file, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &request);
        if (dtrStatus == STATUS_PENDING) {
            dtrStatus = kmodel::io::Wait(&request);
        }
    }

    void CarrierChange() {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().notifications.push_back({0xA1, 0x20, 0, 0, 0, 0, 0x03, 0, 0x01, 0});
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
    }

    void ExpectEverythingGone() {
        kmodel::WaitForQuiescence();
        EXPECT_TRUE(read.Done()) << "the held read never completed";
        EXPECT_TRUE(wait.Done()) << "the wait never completed";
        EXPECT_TRUE(write.Done()) << "the write never completed";
        kmodel::io::CloseHandle(file);
        file = nullptr;
        kmodel::WaitForQuiescence();
        EXPECT_TRUE(kmodel::NodeRemoved(child->node));
        EXPECT_TRUE(kmodel::NodeRemoved(child->device->node));
        EXPECT_EQ(DriverDevices(), 0u);
        EXPECT_EQ(DriverPool(), 0u);
        EXPECT_EQ(busDriver->DeviceObject, nullptr);
        EXPECT_EQ(kmodel::PoolBlocksHeld(busDriver), 0u);
    }

    static void ExpectNoRace(const kmodel::ExploreResult& result) {
        EXPECT_FALSE(result.failed) << "QV_SCHEDULE='" << result.replay << "'\n" << result.failure;
        EXPECT_GT(result.schedules, 1);
    }

    Pending read, wait, write;
    NTSTATUS dtrStatus = STATUS_PENDING;
};

TEST_F(BusUnplugRaceTest, UnplugAgainstAClassRequestANotificationAndTheTransfersInFlight) {
    ExpectNoRace(Explore(Pct(400), [&] {
        kmodel::ModelThread app([&] { RaiseDtr(); }, "app");
        kmodel::ModelThread device([&] { CarrierChange(); }, "device");
        Unplug(child);
        app.Join();
        device.Join();
        EXPECT_NE(dtrStatus, STATUS_PENDING);  // it ended, whichever way
        ExpectEverythingGone();
    }));
}

TEST_F(BusUnplugRaceTest, UnplugAgainstTheCloseAndAnotherWrite) {
    ExpectNoRace(Explore(Pct(400), [&] {
        Pending second;
        kmodel::ModelThread app([&] {
            StartWrite(second, std::vector<uint8_t>(10, 'x'));
            kmodel::io::CloseHandle(file);
        }, "app");
        Unplug(child);
        app.Join();
        file = nullptr;
        kmodel::WaitForQuiescence();
        EXPECT_TRUE(second.Done());
        EXPECT_TRUE(read.Done() && wait.Done() && write.Done());
        EXPECT_TRUE(kmodel::NodeRemoved(child->device->node));
        EXPECT_EQ(busDriver->DeviceObject, nullptr);
        EXPECT_EQ(kmodel::PoolBlocksHeld(busDriver), 0u);
        EXPECT_EQ(DriverPool(), 0u);
    }));
}

}  // namespace
}  // namespace qvtest
