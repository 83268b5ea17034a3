// The schedule explorer finds races seeded into small drivers, with every
// strategy, and passes the correct version of each; a found schedule
// replays to the same failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

#include <kmodel/explore.h>
#include <kmodel/system.h>
#include <kmodel/verifier.h>

namespace {

constexpr ULONG kTag = 0x65726F54;  // 'Tore'

kmodel::ExploreResult Explore(kmodel::ExploreOptions options, const std::function<void()>& body) {
    return kmodel::Explore(options, body, [] { return ::testing::Test::HasFailure(); });
}

// ---- an unlocked check-then-act between a thread and a DPC -----------------

struct Once {
    KSPIN_LOCK lock;
    KDPC dpc;
    LONG touched;
    bool started;
    int runs;
    bool locked;
};

void StartOnce(Once* once) {
    KIRQL irql = PASSIVE_LEVEL;
    if (once->locked) {
        KeAcquireSpinLock(&once->lock, &irql);
    }
    if (!once->started) {
        InterlockedIncrement(&once->touched);  // some work between the test and the act
        once->started = true;
        ++once->runs;
    }
    if (once->locked) {
        KeReleaseSpinLock(&once->lock, irql);
    }
}

VOID NTAPI OnceDpc(PKDPC, PVOID context, PVOID, PVOID) {
    StartOnce(static_cast<Once*>(context));
}

void CheckThenAct(bool locked) {
    static Once once;
    once = Once{};
    once.locked = locked;
    KeInitializeSpinLock(&once.lock);
    KeInitializeDpc(&once.dpc, OnceDpc, &once);
    kmodel::ModelThread thread([] { StartOnce(&once); }, "starter");
    KeInsertQueueDpc(&once.dpc, nullptr, nullptr);
    thread.Join();
    kmodel::WaitForQuiescence();
    EXPECT_EQ(once.runs, 1);
}

// ---- a periodic timer re-armed after its owner stopped it ---------------------

struct Ticker {
    KTIMER timer;
    KDPC dpc;
    KSPIN_LOCK lock;
    bool stopping;
    bool locked;
};

VOID NTAPI TickerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ticker = static_cast<Ticker*>(context);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    if (ticker->locked) {
        KeAcquireSpinLockAtDpcLevel(&ticker->lock);
    }
    bool rearm = !ticker->stopping;
    if (rearm) {
        KeSetTimer(&ticker->timer, due, &ticker->dpc);
    }
    if (ticker->locked) {
        KeReleaseSpinLockFromDpcLevel(&ticker->lock);
    }
}

void TimerLeftArmed(bool locked) {
    auto* ticker = static_cast<Ticker*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Ticker), kTag));
    *ticker = Ticker{};
    ticker->locked = locked;
    KeInitializeSpinLock(&ticker->lock);
    KeInitializeTimer(&ticker->timer);
    KeInitializeDpc(&ticker->dpc, TickerDpc, ticker);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    KeSetTimer(&ticker->timer, due, &ticker->dpc);
    LARGE_INTEGER wait;
    wait.QuadPart = -10 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);  // meets the first tick
    // Stop: the correct owner decides under the lock the DPC decides under,
    // and waits for a DPC already running before freeing its memory.
    KIRQL irql;
    KeAcquireSpinLock(&ticker->lock, &irql);
    ticker->stopping = true;
    KeCancelTimer(&ticker->timer);
    KeReleaseSpinLock(&ticker->lock, irql);
    if (locked) {
        KeFlushQueuedDpcs();
    }
    ExFreePool(ticker);
}

// ---- a reader that resubmits its URB after a close ----------------------------

// The lower device completes each transfer from its DPC: with data while it
// has some, then with an error that ends the reader's chain.
struct Reader {
    PDEVICE_OBJECT lower;
    URB urb;
    KSPIN_LOCK lock;
    KEVENT idle;
    LONG inFlight;
    bool closing;
    bool locked;
    int data;
    std::vector<PIRP> queued;  // the lower device's transfers
    KDPC completeDpc;
};
Reader reader;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&reader.lock, &irql);
    reader.queued.push_back(irp);
    KeReleaseSpinLock(&reader.lock, irql);
    KeInsertQueueDpc(&reader.completeDpc, nullptr, nullptr);
    return STATUS_PENDING;
}

VOID NTAPI CompleteDpc(PKDPC, PVOID, PVOID, PVOID) {
    for (;;) {
        KeAcquireSpinLockAtDpcLevel(&reader.lock);
        if (reader.queued.empty()) {
            KeReleaseSpinLockFromDpcLevel(&reader.lock);
            return;
        }
        PIRP irp = reader.queued.front();
        reader.queued.erase(reader.queued.begin());
        bool data = reader.data > 0;
        reader.data -= data ? 1 : 0;
        KeReleaseSpinLockFromDpcLevel(&reader.lock);
        irp->IoStatus.Status = data ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &reader.lower);
}

void Submit();

// The racy reader tests `closing` without the lock its closer sets it
// under, and its closer does not wait for the chain to end.
NTSTATUS NTAPI ReadComplete(PDEVICE_OBJECT, PIRP irp, PVOID) {
    bool ok = NT_SUCCESS(irp->IoStatus.Status);
    IoFreeIrp(irp);
    KIRQL irql = PASSIVE_LEVEL;
    if (reader.locked) {
        KeAcquireSpinLock(&reader.lock, &irql);
    }
    bool again = ok && !reader.closing;
    if (!again && InterlockedDecrement(&reader.inFlight) == 0) {
        KeSetEvent(&reader.idle, IO_NO_INCREMENT, FALSE);
    }
    if (reader.locked) {
        KeReleaseSpinLock(&reader.lock, irql);
    }
    if (again) {
        Submit();
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Submit() {
    PIRP irp = IoAllocateIrp(reader.lower->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &reader.urb;
    IoSetCompletionRoutine(irp, ReadComplete, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(reader.lower, irp);
}

void StartReader() {
    KIRQL irql;
    KeAcquireSpinLock(&reader.lock, &irql);
    reader.closing = false;
    reader.inFlight = 1;
    KeClearEvent(&reader.idle);
    KeReleaseSpinLock(&reader.lock, irql);
    Submit();
}

void CloseReader() {
    KIRQL irql;
    KeAcquireSpinLock(&reader.lock, &irql);
    reader.closing = true;
    KeReleaseSpinLock(&reader.lock, irql);
    if (reader.locked) {
        KeWaitForSingleObject(&reader.idle, Executive, KernelMode, FALSE, nullptr);
    }
}

// Open, close and open again while the first transfer completes with data.
void UrbResubmitted(bool locked, PDRIVER_OBJECT lower) {
    reader.locked = locked;
    reader.data = 2;
    kmodel::RunAsDriver(lower, [] {
        StartReader();
        CloseReader();
        StartReader();
        CloseReader();
    });
    kmodel::WaitForQuiescence();
    EXPECT_EQ(reader.inFlight, 0);
}

// ---- a device deleted while its DPC still runs --------------------------------

// The DPC signals its owner, then still touches the device extension.
struct Signaller {
    KDPC dpc;
    KEVENT* done;
    LONG touches;
};

VOID NTAPI SignalThenTouch(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<Signaller*>(context);
    KeSetEvent(s->done, IO_NO_INCREMENT, FALSE);
    InterlockedIncrement(&s->touches);
}

void DeleteBesideRunningDpc(bool flush, PDRIVER_OBJECT driver) {
    kmodel::RunAsDriver(driver, [flush, driver] {
        PDEVICE_OBJECT device;
        ASSERT_EQ(IoCreateDevice(driver, sizeof(Signaller), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* s = static_cast<Signaller*>(device->DeviceExtension);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        s->done = &done;
        KeInitializeDpc(&s->dpc, SignalThenTouch, s);
        KeInsertQueueDpc(&s->dpc, nullptr, nullptr);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        if (flush) {
            KeFlushQueuedDpcs();
        }
        IoDeleteDevice(device);
    });
}

// A DPC on another processor, in pool with its context (as a read's timers
// are), that takes the spin lock of a device the owner deletes meanwhile; only a flush
// orders the two. The deleted extension is kept filled, so the late acquire
// is caught.
struct PoolDpc {
    KDPC dpc;
    PKSPIN_LOCK lock;  // in the device extension
};

VOID NTAPI TakeTheExtensionsLock(PKDPC, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<PoolDpc*>(context);
    KeAcquireSpinLockAtDpcLevel(p->lock);
    KeReleaseSpinLockFromDpcLevel(p->lock);
    ExFreePool(p);
}

void DeleteBeforeAPoolDpcTakesTheLock(bool flush, PDRIVER_OBJECT driver) {
    kmodel::RunAsDriver(driver, [flush, driver] {
        PDEVICE_OBJECT device;
        ASSERT_EQ(IoCreateDevice(driver, sizeof(KSPIN_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* p = static_cast<PoolDpc*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PoolDpc), 0x54647063));
        p->lock = static_cast<PKSPIN_LOCK>(device->DeviceExtension);
        KeInitializeSpinLock(p->lock);
        KeInitializeDpc(&p->dpc, TakeTheExtensionsLock, p);
        KeSetTargetProcessorDpc(&p->dpc, 1);  // as a timer's DPC runs where the clock interrupt came
        KeInsertQueueDpc(&p->dpc, nullptr, nullptr);
        if (flush) {
            KeFlushQueuedDpcs();
        }
        IoDeleteDevice(device);
    });
    kmodel::WaitForQuiescence();
}

// ---- a timer that expires while its owner tears down ----------------------------

// The owner cancels the timer and deletes the device while the clock
// reaches the due time on another thread; without a flush, a timer that
// expired just before the cancel leaves its DPC queued on a deleted device.
struct Ticking {
    KTIMER timer;
    KDPC dpc;
    LONG touches;
};

VOID NTAPI TouchDpc(PKDPC, PVOID context, PVOID, PVOID) {
    InterlockedIncrement(&static_cast<Ticking*>(context)->touches);
}

void TeardownAsTheTimerExpires(bool flush, PDRIVER_OBJECT driver) {
    kmodel::RunAsDriver(driver, [flush, driver] {
        PDEVICE_OBJECT device;
        ASSERT_EQ(IoCreateDevice(driver, sizeof(Ticking), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* t = static_cast<Ticking*>(device->DeviceExtension);
        KeInitializeTimer(&t->timer);
        KeInitializeDpc(&t->dpc, TouchDpc, t);
        LARGE_INTEGER due;
        due.QuadPart = -10 * 10000;
        KeSetTimer(&t->timer, due, &t->dpc);
        kmodel::ModelThread clock([] { kmodel::StepClock(10); }, "clock");
        KeCancelTimer(&t->timer);
        if (flush) {
            KeFlushQueuedDpcs();
        }
        IoDeleteDevice(device);
        clock.Join();
    });
}

struct Toy {
    const char* name;
    std::function<void(bool locked)> scenario;
};

class ExploreToys : public ::testing::Test {
protected:
    void SetUp() override {
        system = std::make_unique<kmodel::System>();
        reader.~Reader();
        new (&reader) Reader{};
        KeInitializeSpinLock(&reader.lock);
        KeInitializeEvent(&reader.idle, NotificationEvent, FALSE);
        KeInitializeDpc(&reader.completeDpc, CompleteDpc, nullptr);
        ASSERT_EQ(kmodel::LoadDriver(u"lower", LowerEntry, &lower), STATUS_SUCCESS);
    }

    std::vector<Toy> Toys() {
        return {{"check-then-act", CheckThenAct},
                {"timer left armed", TimerLeftArmed},
                {"URB resubmitted", [this](bool locked) { UrbResubmitted(locked, lower); }},
                {"timer expiring in a teardown", [this](bool locked) { TeardownAsTheTimerExpires(locked, lower); }}};
    }

    std::unique_ptr<kmodel::System> system;
    PDRIVER_OBJECT lower = nullptr;
};

kmodel::ExploreOptions Pct() {
    kmodel::ExploreOptions options;
    options.strategy = kmodel::ExploreOptions::Strategy::Pct;
    options.seeds = 300;
    return options;
}

kmodel::ExploreOptions Bounded() {
    kmodel::ExploreOptions options;
    options.strategy = kmodel::ExploreOptions::Strategy::BoundedPreemption;
    options.preemptions = 2;
    options.maxSchedules = 2000;
    return options;
}

TEST_F(ExploreToys, EveryStrategyFindsEachSeededRaceAndItsReplayFailsTheSameWay) {
    for (const Toy& toy : Toys()) {
        for (const auto& options : {Pct(), Bounded()}) {
            SCOPED_TRACE(std::string(toy.name) + (options.strategy == kmodel::ExploreOptions::Strategy::Pct ? " / PCT"
                                                                                                          : " / bounded"));
            kmodel::ExploreResult found = Explore(options, [&] { toy.scenario(false); });
            ASSERT_TRUE(found.failed) << found.schedules << " schedules";
            kmodel::ExploreOptions again = options;
            again.schedule = found.replay;
            for (int i = 0; i < 2; ++i) {
                kmodel::ExploreResult replay = Explore(again, [&] { toy.scenario(false); });
                EXPECT_TRUE(replay.failed);
                EXPECT_EQ(replay.schedules, 1);
            }
        }
    }
}

TEST_F(ExploreToys, TheCorrectVersionOfEachPassesEveryStrategy) {
    for (const Toy& toy : Toys()) {
        for (const auto& options : {Pct(), Bounded()}) {
            SCOPED_TRACE(toy.name);
            kmodel::ExploreResult result = Explore(options, [&] { toy.scenario(true); });
            EXPECT_FALSE(result.failed) << result.replay << "\n" << result.failure;
            EXPECT_GT(result.schedules, 1);
        }
    }
}

// The failing runs above stop on these verifier rules; each names the race.
TEST_F(ExploreToys, TheReportNamesTheRuleAndTheReplay) {
    kmodel::ExploreResult timer = Explore(Bounded(), [] { TimerLeftArmed(false); });
    ASSERT_TRUE(timer.failed);
    EXPECT_NE(timer.failure.find(kmodel::rule::kTimerOrDpcInvalid), std::string::npos) << timer.failure;
    EXPECT_NE(timer.failure.find("QV_SCHEDULE='" + timer.replay + "'"), std::string::npos) << timer.failure;
    EXPECT_NE(timer.failure.find("last scheduling points"), std::string::npos);
    kmodel::ExploreResult urb = Explore(Bounded(), [this] { UrbResubmitted(false, lower); });
    ASSERT_TRUE(urb.failed);
    EXPECT_NE(urb.failure.find(kmodel::rule::kUrbInFlight), std::string::npos) << urb.failure;
}

TEST_F(ExploreToys, ADeviceDeletedBesideItsRunningDpcIsFoundAndAFlushMendsIt) {
    kmodel::ExploreResult racy = Explore(Bounded(), [this] { DeleteBesideRunningDpc(false, lower); });
    ASSERT_TRUE(racy.failed);
    EXPECT_NE(racy.failure.find(kmodel::rule::kDeleteWhileDpcRuns), std::string::npos) << racy.failure;
    kmodel::ExploreResult mended = Explore(Bounded(), [this] { DeleteBesideRunningDpc(true, lower); });
    EXPECT_FALSE(mended.failed) << mended.replay << "\n" << mended.failure;
}

TEST_F(ExploreToys, ADpcTakingADeletedExtensionsLockIsFoundAndAFlushMendsIt) {
    kmodel::ExploreResult racy = Explore(Bounded(), [this] { DeleteBeforeAPoolDpcTakesTheLock(false, lower); });
    ASSERT_TRUE(racy.failed) << racy.schedules << " schedules";
    EXPECT_NE(racy.failure.find(kmodel::rule::kFreedMemoryUsed), std::string::npos) << racy.failure;
    kmodel::ExploreResult mended = Explore(Bounded(), [this] { DeleteBeforeAPoolDpcTakesTheLock(true, lower); });
    EXPECT_FALSE(mended.failed) << mended.replay << "\n" << mended.failure;
}

// Under the default strategy a timer the clock reaches expires at once, and
// its DPC runs before the owner goes on: the racy teardown passes there.
TEST_F(ExploreToys, TheDefaultStrategyExpiresATimerWhenTheClockReachesIt) {
    TeardownAsTheTimerExpires(false, lower);
    kmodel::WaitForQuiescence();
}

// Bounded search finds the teardown race (a switch to the clock's thread,
// then an early expiry), and its replay string names that interrupt.
TEST_F(ExploreToys, AnEarlyExpiryIsADecisionOfBoundedSearch) {
    kmodel::ExploreResult found = Explore(Bounded(), [this] { TeardownAsTheTimerExpires(false, lower); });
    ASSERT_TRUE(found.failed);
    EXPECT_NE(found.replay.find(".t"), std::string::npos) << found.replay;
}

// A QV_SCHEDULE replay runs that one schedule from the fresh setup: it
// passes when the schedule passes, fails when it fails.
TEST_F(ExploreToys, AReplayRunsExactlyItsScheduleAndPassesWhenItPasses) {
    kmodel::ExploreResult found = Explore(Bounded(), [] { CheckThenAct(false); });
    ASSERT_TRUE(found.failed);
    for (bool locked : {false, true}) {
        setenv("QV_SCHEDULE", locked ? "default" : found.replay.c_str(), 1);
        kmodel::ExploreResult replay = Explore(Pct(), [locked] { CheckThenAct(locked); });
        unsetenv("QV_SCHEDULE");
        EXPECT_TRUE(replay.replayed);
        EXPECT_EQ(replay.schedules, 1);
        EXPECT_EQ(replay.failed, !locked) << replay.failure;
    }
}

// Each schedule's race events are matched against the orderings: both
// orders of the thread and the DPC occur, an order never made does not.
TEST_F(ExploreToys, AnExplorationCountsTheOrderingsItsSchedulesShowed) {
    static Once once;
    kmodel::ExploreOptions options = Pct();
    options.orderings = {{{"thread", "dpc"}, 1}, {{"dpc", "thread"}, 1}, {{"thread|dpc", "neither"}, 1}};
    kmodel::ExploreResult result = Explore(options, [] {
        once = Once{};
        KeInitializeDpc(&once.dpc, [](PKDPC, PVOID, PVOID, PVOID) { kmodel::MarkRaceEvent("dpc"); }, nullptr);
        kmodel::ModelThread thread([] { kmodel::MarkRaceEvent("thread"); }, "thread");
        KeInsertQueueDpc(&once.dpc, nullptr, nullptr);
        thread.Join();
        kmodel::WaitForQuiescence();
    });
    ASSERT_FALSE(result.failed) << result.failure;
    ASSERT_EQ(result.reached.size(), 3u);
    EXPECT_GT(result.reached[0], 0);
    EXPECT_GT(result.reached[1], 0);
    EXPECT_EQ(result.reached[0] + result.reached[1], result.schedules);
    EXPECT_EQ(result.reached[2], 0);
}

}  // namespace
