// Races of the driver, explored: each scenario sets up an open port, runs
// its racing parties under its budget of schedules, and names the orderings
// of race events its schedules must reach (race_fixture.h).
#include "race_fixture.h"

namespace qvtest {
namespace {

// ---- close against the readers --------------------------------------------------

// A reader's completion must not resubmit after the close stopped it, nor
// run beside the reopen's reader on the same URB.
TEST_F(RaceTest, CloseAgainstTheBulkInCompletion) {
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 5000), Bounded(2, 40000)},
        [&] {
            kmodel::ModelThread device([&] { Arrive(8); }, "device");
            CloseNow();
            device.Join();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"bulk-in completion during close"}, 1000}});
}

TEST_F(RaceTest, CloseAgainstTheInterruptCompletion) {
    ExpectNoRaceWithin(
        {Pct(4000, 4), Bounded(1, 5000)},
        [&] {
            kmodel::ModelThread device([&] { CarrierChange(); }, "device");
            CloseNow();
            device.Join();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"interrupt completion during close"}, 750}});
}

TEST_F(RaceTest, CloseAndReopenAgainstBothCompletions) {
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 5000)},
        [&] {
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
        },
        {{{"bulk-in completion during close|interrupt completion during close"}, 300},
         {{"close", "bulk-in completion during open|interrupt completion during open"}, 20}});
}

// An open while the close waits for its readers to stop (by the interface's
// name, which the I/O manager does not hold exclusive): it is refused while
// the handle is still counted, or it starts readers of its own once the
// close has given it up; either way the port works afterwards.
TEST_F(RaceTest, AnOpenDuringACloseThatWaitsForItsReaders) {
    std::u16string byInterface = kmodel::FromUnicodeString(pdx->InterfaceName);
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 3000)},
        [&] {
            PFILE_OBJECT second = nullptr;
            NTSTATUS opened = STATUS_PENDING;
            kmodel::ModelThread device([&] { Arrive(8); }, "device");
            kmodel::ModelThread opener([&] { opened = kmodel::io::Open(byInterface, &second); }, "opener");
            CloseNow();
            opener.Join();
            device.Join();
            EXPECT_TRUE(opened == STATUS_SUCCESS || opened == STATUS_ACCESS_DENIED) << std::hex << opened;
            if (opened == STATUS_SUCCESS) {
                kmodel::io::CloseHandle(second);
            }
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"open during close"}, 100}, {{"bulk-in completion during close|bulk-in completion during open"}, 250}});
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
    ExpectNoRaceWithin(
        {Pct(500)},
        [&] {
            kmodel::ModelThread device([&] { CarrierChange(); }, "device");
            UnplugNow();
            device.Join();
            ExpectAllEnded();
            CloseNow();
            ExpectGone();
        },
        {{{"interrupt completion during surprise removal|interrupt completion failing during surprise removal|"
           "surprise removal during interrupt completion"},
          80},
         {{"surprise removal", "read ended refused"}, 160}});
}

TEST_F(RemovalRaceTest, OrderlyRemovalAgainstTheReadersAHeldReadAWaitAndAWrite) {
    ExpectNoRaceWithin(
        {Pct(500)},
        [&] {
            NTSTATUS removal = STATUS_PENDING;
            kmodel::ModelThread device([&] { Arrive(4); }, "device");
            kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); }, "pnp");
            CloseNow();
            device.Join();
            pnp.Join();
            ExpectAllEnded();
            EXPECT_EQ(removal, STATUS_SUCCESS);
            ExpectGone();
        },
        {{{"bulk-in completion during removal|bulk-in completion during cleanup|bulk-in completion during close"}, 80},
         {{"removal during cleanup|removal during close|cleanup during removal|close during removal"}, 160}});
}

// A read issued while the device is unplugged: it is refused, or it is
// held and ended by the removal; it never stays held after it.
TEST_F(RaceTest, AReadIssuedDuringAnUnplug) {
    SetTimeouts(0, 0, 0);
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 3000)},
        [&] {
            Pending read;
            read.buffer.assign(8, 0);
            kmodel::ModelThread unplug([&] { UnplugNow(); }, "unplug");
            read.returned = kmodel::io::Read(file, read.buffer.data(), 8, &read.request);
            unplug.Join();
            kmodel::WaitForQuiescence();
            // A refusal comes back as the call's own status.
            EXPECT_TRUE(read.Done() || read.returned != STATUS_PENDING) << "a request never completed";
            if (!read.Done() && read.returned == STATUS_PENDING) {
                kmodel::io::Cancel(file, &read.request);
            }
            CloseNow();
            ExpectGone();
        },
        {{{"read dispatch during surprise removal|surprise removal during read dispatch"}, 200},
         {{"surprise removal", "read ended refused"}, 350}});
}

// ---- requests against their completions --------------------------------------------

// A held read with a total timeout: its cancel, the data that would end it
// and its timeout DPC, all at once. The clock reaches the due time while
// the others run.
TEST_F(RaceTest, CancelAgainstDataAgainstTheReadTimeout) {
    SetTimeouts(0, 0, 10);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 16), STATUS_PENDING);
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            kmodel::ModelThread device([&] { Arrive(4); }, "device");
            kmodel::ModelThread clock([&] { kmodel::StepClock(110); }, "clock");
            kmodel::io::Cancel(file, &read.request);
            device.Join();
            clock.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(read);
            ClosePort();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"read cancel routine"}, 280},
         {{"read timeout DPC during bulk-in completion|bulk-in completion during read timeout DPC|"
           "read timeout DPC during read cancel routine|read cancel routine during read timeout DPC"},
          20}});
}

// The read-timeout DPC against a completing read: the data's completion
// and the timer's expiry on two processors.
TEST_F(RaceTest, TheReadTimeoutAgainstACompletingRead) {
    SetTimeouts(0, 0, 10);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 4), STATUS_PENDING);
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 3000)},
        [&] {
            kmodel::ModelThread device([&] { Arrive(4); }, "device");
            kmodel::StepClock(110);
            device.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(read);
            EXPECT_TRUE(read.Status() == STATUS_SUCCESS || read.Status() == STATUS_TIMEOUT);
            ClosePort();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"read timeout DPC during bulk-in completion|bulk-in completion during read timeout DPC"}, 4},
         {{"read timeout DPC", "read ended timeout"}, 25},
         {{"bulk-in completion", "read ended ok"}, 350}});
}

// A read with an interval time-out whose timer was armed again, because a
// byte came after it was set: the bytes that end the read arrive as the
// timer expires again. The read ends once, with all its bytes or by its
// interval with the two it had, and its context with both timers goes.
TEST_F(RaceTest, TheReArmedIntervalTimerAgainstTheBytesThatEndTheRead) {
    SetTimeouts(10, 0, 0);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 8), STATUS_PENDING);
    Feed(Pattern(1));  // arms the interval timer
    kmodel::StepClock(5);
    Feed(Pattern(1));
    kmodel::StepClock(5);  // the timer fires 5 ms after the last byte and is armed again
    ASSERT_FALSE(read.Done()) << "the interval ran from the first byte, not the last";
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 3000)},
        [&] {
            kmodel::ModelThread device([&] { Arrive(6); }, "device");
            kmodel::StepClock(5);
            device.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(read);
            EXPECT_TRUE((read.Status() == STATUS_SUCCESS && read.Information() == 8) ||
                        (read.Status() == STATUS_TIMEOUT && read.Information() == 2))
                << std::hex << read.Status() << " with " << read.Information() << " bytes";
            ClosePort();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"read timeout DPC during bulk-in completion|bulk-in completion during read timeout DPC"}, 30},
         {{"read timeout DPC", "read ended timeout"}, 200}});
}

// A request cancelled while its dispatch is queuing it, before its cancel
// routine is set: the cancel finds no routine, so the queuing must see the
// flag and end the request; left queued, only the cleanup would end it.
TEST_F(RaceTest, ARequestCancelledAsItIsQueued) {
    struct Shape {
        const char* name;
        std::function<NTSTATUS(Pending&)> send;
        const char* proof;
    };
    const Shape shapes[] = {
        {"read",
         [&](Pending& p) {
             p.buffer.assign(8, 0);
             return kmodel::io::Read(file, p.buffer.data(), 8, &p.request);
         },
         "cancel with no routine during read dispatch"},
        {"wait",
         [&](Pending& p) {
             p.buffer.assign(sizeof(ULONG), 0);
             return kmodel::io::DeviceControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, p.buffer.data(),
                                              sizeof(ULONG), &p.request);
         },
         "cancel with no routine during control dispatch"},
        {"queued write",
         [&](Pending& p) {
             p.buffer.assign(16, 'q');
             return kmodel::io::Write(file, p.buffer.data(), 16, &p.request);
         },
         "cancel with no routine during write"},
    };
    SetTimeouts(0, 0, 0);  // the read waits for data
    SetWaitMask(SERIAL_EV_RLSD);
    Stack().faults(usbsim::kBulkOutEndpoint).hold = true;  // the write ahead stays on the wire
    Pending ahead;
    ASSERT_EQ(StartWrite(ahead, std::vector<uint8_t>(8, 'a')), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        ExpectNoRaceWithin(
            {Pct(150)},
            [&] {
                Pending p;
                kmodel::ModelThread canceller([&] { kmodel::io::Cancel(file, &p.request); }, "canceller");
                p.returned = shape.send(p);
                canceller.Join();
                kmodel::WaitForQuiescence();
                if (!p.Done() && p.returned == STATUS_PENDING) {
                    // Legitimate only if the cancel came before the request existed.
                    EXPECT_FALSE(p.request.Irp != nullptr && p.request.Irp->Cancel)
                        << "a cancelled request stayed queued";
                    kmodel::io::Cancel(file, &p.request);
                    kmodel::WaitForQuiescence();
                }
                if (p.returned == STATUS_PENDING) {
                    ExpectDone(p);
                } else {
                    EXPECT_EQ(p.returned, STATUS_CANCELLED);  // ended by its dispatch, seeing the flag
                }
            },
            {{{shape.proof}, 20}});
    }
    ClosePort();
    ExpectDone(ahead);
}

// Carrier, DSR and CTS come in one notification; CTS is in the mask, so
// the notification raises an event unless the cancel came first.
TEST_F(RaceTest, AWaitCancelAgainstANotification) {
    SetWaitMask(SERIAL_EV_RLSD);
    Pending& wait = held;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            kmodel::ModelThread device([&] { CarrierChange(); }, "device");
            kmodel::io::Cancel(file, &wait.request);
            device.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(wait);
            ClosePort();
            ExpectRemovedClean();
        },
        {{{"wait ended ok"}, 90}, {{"wait cancel routine"}, 240}});
}

// A wait-on-mask request sent as the event arrives: the event is reported
// to it, or the wait is still held once the notification has come and gone.
TEST_F(RaceTest, AWaitOnMaskSentAsAnEventArrives) {
    SetWaitMask(SERIAL_EV_RLSD);
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 3000)},
        [&] {
            Pending wait;
            wait.buffer.assign(sizeof(ULONG), 0);
            kmodel::ModelThread device([&] { CarrierChange(); }, "device");
            kmodel::io::DeviceControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, wait.buffer.data(), sizeof(ULONG),
                                      &wait.request);
            device.Join();
            kmodel::WaitForQuiescence();
            if (wait.Done()) {
                EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
                EXPECT_NE(wait.Events() & SERIAL_EV_RLSD, 0u);
            } else {
                kmodel::io::Cancel(file, &wait.request);
                kmodel::WaitForQuiescence();
                ExpectDone(wait);
            }
            ClosePort();
            ExpectRemovedClean();
        },
        {{{"interrupt completion during wait|wait during interrupt completion"}, 350}, {{"wait ended ok"}, 170}});
}

// The read has both time-outs, far off: ended by its data or by the purge,
// it ends at once, its timers stopped, without the clock moving.
TEST_F(RaceTest, PurgeAgainstACompletingRead) {
    SetTimeouts(60000, 0, 60000);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 16), STATUS_PENDING);
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            kmodel::ModelThread device([&] { Arrive(16); }, "device");
            EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
            device.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(read);
            ClosePort();
            ExpectRemovedClean();
        },
        {{{"bulk-in completion during purge|purge during bulk-in completion"}, 200}, {{"read ended ok"}, 330}});
}

// The receive engine stalled at the high-water mark: a purge and a read
// that drains the buffer each restart it; only one of them may.
TEST_F(RaceTest, APurgeAgainstAStalledReceiveEngine) {
    SetTimeouts(MAXULONG, 0, 0);  // reads return at once
    for (int i = 0; i < 4; ++i) {
        Feed(Pattern(RECEIVE_TRANSFER_SIZE));
    }
    ASSERT_TRUE(pdx->ReceiveStalled);
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 3000)},
        [&] {
            Pending read;
            read.buffer.assign(2048, 0);
            kmodel::ModelThread reader([&] { kmodel::io::Read(file, read.buffer.data(), 2048, &read.request); },
                                       "reader");
            EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
            reader.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(read);
            EXPECT_FALSE(pdx->ReceiveStalled);
            ClosePort();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"read dispatch during purge|purge during read dispatch"}, 340}});
}

// A byte landing between the read's look at the buffer and its queuing must
// still end the read.
TEST_F(RaceTest, AReadAgainstOneArrivingByte) {
    SetTimeouts(0, 0, 0);
    ExpectNoRaceWithin(
        {Pct(2000), Bounded(2, 5000)},
        [&] {
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
        },
        {{{"bulk-in completion during read dispatch"}, 250}});
}

// A timed read cancelled while the receive engine is stopped, a close, and
// a removal while the clock reaches the read's due time: the read timer and
// its DPC must not outlive the device.
TEST_F(RaceTest, TheReadTimerAgainstRemoval) {
    SetTimeouts(0, 0, 50);
    Pending& read = held;
    ASSERT_EQ(StartRead(read, 16), STATUS_PENDING);
    ExpectNoRaceWithin(
        {Pct(500), Bounded(1, 3000)},
        [&] {
            kmodel::ModelThread unplug([&] { UnplugNow(); }, "unplug");
            kmodel::StepClock(150);
            unplug.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(read);
            EXPECT_TRUE(read.Status() == STATUS_TIMEOUT || read.Status() == STATUS_DELETE_PENDING);
            CloseNow();
            ExpectGone();
        },
        {{{"read timeout DPC during surprise removal|surprise removal during read timeout DPC"}, 20},
         {{"read timeout DPC", "read ended timeout"}, 25},
         {{"surprise removal", "read ended refused"}, 25}});
}

// The handle closes while a read and a wait are held and the modem sends
// data and a notification: the cleanup ends whatever they did not.
TEST_F(RaceTest, CleanupAgainstDataAndANotificationWithAHeldReadAndWait) {
    SetTimeouts(0, 0, 0);
    SetWaitMask(SERIAL_EV_CTS);
    Pending read, wait;
    ASSERT_EQ(StartRead(read, 64), STATUS_PENDING);
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    ExpectNoRaceWithin(
        {Pct(500)},
        [&] {
            kmodel::ModelThread device(
                [&] {
                    CarrierChange();
                    Arrive(2);
                },
                "device");
            CloseNow();
            device.Join();
            kmodel::WaitForQuiescence();
            ExpectDone(read);
            ExpectDone(wait);
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"interrupt completion during cleanup|bulk-in completion during cleanup"}, 50},
         {{"cleanup", "wait ended cancelled"}, 50}});
    ClosePort();  // while the held requests are still in scope
}

// A read sent on another thread as the handle closes (it holds the file,
// not the handle, so the cleanup runs beside its dispatch): it is served,
// refused or ended by the cleanup, and the close comes; a read held after
// its file's cleanup would keep the port open for ever.
TEST_F(RaceTest, AReadArrivingDuringItsFilesCleanup) {
    SetTimeouts(0, 0, 0);
    ExpectNoRaceWithin(
        {Pct(1000), Bounded(1, 3000)},
        [&] {
            Pending read;
            read.buffer.assign(8, 0);
            PFILE_OBJECT closing = file;
            ObReferenceObject(closing);  // the read's own reference to the file
            kmodel::ModelThread reader(
                [&] { read.returned = kmodel::io::Read(closing, read.buffer.data(), 8, &read.request); }, "reader");
            CloseNow();
            reader.Join();
            kmodel::WaitForQuiescence();
            EXPECT_TRUE(read.Done() || read.returned != STATUS_PENDING) << "a read stayed held after its cleanup";
            if (!read.Done() && read.returned == STATUS_PENDING) {
                kmodel::io::Cancel(closing, &read.request);
                kmodel::WaitForQuiescence();
            }
            ObDereferenceObject(closing);
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"read dispatch during cleanup|cleanup during read dispatch"}, 100}, {{"cleanup", "read ended cancelled"}, 100}});
}

// ---- queued reads, cleanup and the receive recovery ---------------------------------

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

// The bulk-in transfer fails (its back-off begins, the clock reaching its
// end among the racers) as the handle closes. The close may wait for a
// back-off it did not cancel, but the next open retries from the first
// back-off again.
TEST_F(RaceTest, TheReceiveRecoveryAgainstClose) {
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            kmodel::ModelThread device([&] { Stack().Stall(usbsim::kBulkInEndpoint); }, "device");
            kmodel::ModelThread clock([&] { kmodel::StepClock(10); }, "clock");
            CloseNow();
            device.Join();
            clock.Join();
            kmodel::WaitForQuiescence();
            kmodel::HoldTheClock();
            OpenPort();
            Stack().Stall(usbsim::kBulkInEndpoint);
            kmodel::WaitForQuiescence();
            kmodel::StepClock(10);  // the first back-off of this open
            SetTimeouts(MAXULONG, 0, 0);
            Feed(Pattern(3));
            Pending read;
            EXPECT_EQ(StartRead(read, 3), STATUS_SUCCESS);
            EXPECT_EQ(read.Information(), 3u) << "the reopened port did not retry after its first back-off";
            ClosePort();
            ExpectReopenWorks();
            ExpectRemovedClean();
        },
        {{{"bulk-in completion failing during cleanup|bulk-in completion failing during close|"
           "cleanup during bulk-in completion failing|close during bulk-in completion failing"},
          30},
         {{"receive recovery DPC during close|close during receive recovery DPC|"
           "receive recovery DPC during cleanup|cleanup during receive recovery DPC"},
          5}});
}

// The bulk-in transfer fails as the port closes and the device is removed,
// with the clock held: a back-off armed before the removal is taken back by
// it, and none is armed after, so neither the close nor the removal waits
// for time to pass.
TEST_F(RaceTest, TheReceiveRecoveryAgainstRemoval) {
    ExpectNoRaceWithin(
        {Pct(1000)},
        [&] {
            kmodel::HoldTheClock();
            NTSTATUS removal = STATUS_PENDING;
            kmodel::ModelThread device([&] { Stack().Stall(usbsim::kBulkInEndpoint); }, "device");
            kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); }, "pnp");
            CloseNow();
            device.Join();
            pnp.Join();
            EXPECT_EQ(removal, STATUS_SUCCESS);
            ExpectGone();
        },
        {{{"bulk-in completion failing during removal|removal during bulk-in completion failing"}, 30},
         {{"bulk-in completion failing", "removal"}, 100}});
}

}  // namespace
}  // namespace qvtest
