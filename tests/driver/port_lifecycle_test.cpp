// Opening and closing the port on a modem: what an open starts and a close
// ends, what survives from one open to the next, readers that cannot be
// started, removal and unplugging with the port open, and every allocation
// failing in turn.
#include "port_fixture.h"

namespace qvtest {
namespace {

class PortLifecycleTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        ClearNotifications();  // the modem's power-up report would race the open
    }
    static std::vector<uint8_t> SubmittedOrder(const UrbLog& log) {
        std::vector<uint8_t> order;
        for (const auto& r : log.records) {
            if (!r.completion && r.endpoint != 0) {
                order.push_back(r.endpoint);
            }
        }
        return order;
    }
};

TEST_F(PortLifecycleTest, OpenResetsThePipesThenStartsTheStatusReaderAndTheEngine) {
    OpenPort();
    using usbsim::kBulkInEndpoint, usbsim::kBulkOutEndpoint, usbsim::kInterruptEndpoint;
    EXPECT_EQ(SubmittedOrder(log), std::vector<uint8_t>({kBulkInEndpoint, kBulkOutEndpoint, kInterruptEndpoint,
                                                         kInterruptEndpoint, kBulkInEndpoint}));
    EXPECT_EQ(log.Count(kInterruptEndpoint, URB_FUNCTION_RESET_PIPE), 1u);
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(pdx->OpenCount, 1);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);
    EXPECT_EQ(pdx->ModemLines, 0xB0);  // DSR and carrier assumed until the modem reports
    EXPECT_EQ(pdx->ModemStatusSnapshot, 0xB0);
    EXPECT_NE(pdx->ReadTransferBuffer, nullptr);
}

TEST_F(PortLifecycleTest, CloseDropsDtrAndRtsAbortsThePipesAndDiscardsUnreadBytes) {
    size_t pool = DriverPool();
    OpenPort();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_TRUE(Modem().dtr());
    FeedPattern(100);
    log.records.clear();

    ClosePort();
    EXPECT_FALSE(Modem().dtr());
    EXPECT_FALSE(Modem().rts());
    std::vector<usbsim::UrbRecord> lines = log.Submitted(0, URB_FUNCTION_CLASS_INTERFACE);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].setup[1], usbsim::kSetControlLineState);
    EXPECT_EQ(lines[0].setup[2], 0);  // neither line
    for (uint8_t ep : {usbsim::kBulkInEndpoint, usbsim::kBulkOutEndpoint, usbsim::kInterruptEndpoint}) {
        EXPECT_EQ(log.Count(ep, URB_FUNCTION_ABORT_PIPE), 1u) << int(ep);
    }
    EXPECT_EQ(pdx->PendingActionCount, 0);  // both readers ended
    EXPECT_EQ(pdx->ReceiveCount, 0u);
    EXPECT_EQ(pdx->ReceiveReadOffset, 0u);
    EXPECT_EQ(pdx->ReceiveWriteOffset, 0u);
    EXPECT_EQ(DriverPool(), pool);

    OpenPort();
    SetTimeouts(MAXULONG, 0, 0);
    EXPECT_TRUE(ReadNow(100).empty());  // the old bytes did not reach the new open
    FeedPattern(5);
    EXPECT_EQ(ReadNow(100).size(), 5u);
}

TEST_F(PortLifecycleTest, ReopenStartsTheEmulationAfreshButKeepsTheSettings) {
    OpenPort();
    SetTimeouts(MAXULONG, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR);
    FeedPattern(72);
    ReadNow(72);
    FeedPattern(3072 + 10);  // stalled, with 10 bytes left in the device
    ASSERT_TRUE(pdx->ReceiveStalled);
    ClosePort();

    OpenPort();
    EXPECT_FALSE(pdx->ReceiveStalled);
    EXPECT_EQ(pdx->WaitMask, 0u);
    EXPECT_EQ(pdx->EventHistory, 0u);
    EXPECT_EQ(pdx->Timeouts.ReadIntervalTimeout, MAXULONG);
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 72u);
    EXPECT_EQ(pdx->PendingActionCount, 2);
    Pending wait;
    EXPECT_EQ(StartWait(wait), STATUS_SUCCESS);  // no mask any more: answered at once
    EXPECT_EQ(wait.Events(), 0u);
    EXPECT_EQ(ReadNow(100).size(), 10u);  // what the device still held
}

TEST_F(PortLifecycleTest, WithoutPoolForItsBufferTheEngineSendsNothingAndCountsNothing) {
    size_t pool = DriverPool();
    kmodel::FaultPlan plan;
    plan.driver = driver;
    plan.kinds = kmodel::kPoolAllocation;
    plan.failNth = 1;  // the open's only pool: the first transfer buffer
    kmodel::SetFaultPlan(plan);
    OpenPort();
    EXPECT_EQ(kmodel::FailedAllocations(), 1u);
    kmodel::ClearFaultPlan();

    EXPECT_EQ(log.Count(usbsim::kBulkInEndpoint), 0u);
    EXPECT_EQ(log.Count(usbsim::kInterruptEndpoint), 1u);
    EXPECT_EQ(pdx->PendingActionCount, 1);
    EXPECT_EQ(pdx->ReadTransferBuffer, nullptr);
    EXPECT_EQ(DriverPool(), pool);
    FeedPattern(10);
    EXPECT_EQ(pdx->ReceiveCount, 0u);  // stopped until the next open

    ClosePort();
    EXPECT_EQ(pdx->PendingActionCount, 0);
    OpenPort();
    EXPECT_EQ(pdx->PendingActionCount, 2);
    SetTimeouts(MAXULONG, 0, 0);
    EXPECT_EQ(ReadNow(100), Expected(10));
}

TEST_F(PortLifecycleTest, ReaderWhoseTransferCannotBeSentGivesBackItsCountAndBuffer) {
    size_t pool = DriverPool();
    kmodel::FaultPlan count;
    count.driver = driver;
    count.kinds = kmodel::kIrpAllocation;
    kmodel::SetFaultPlan(count);
    OpenPort();
    uint64_t irps = kmodel::CountedAllocations();  // three resets, then the status and bulk-in transfers
    kmodel::ClearFaultPlan();
    ClosePort();
    ASSERT_GE(irps, 2u);

    struct Case {
        uint64_t failNth;
        uint8_t stopped;
        uint8_t running;
    };
    for (Case c : {Case{irps, usbsim::kBulkInEndpoint, usbsim::kInterruptEndpoint},
                   Case{irps - 1, usbsim::kInterruptEndpoint, usbsim::kBulkInEndpoint}}) {
        log.records.clear();
        kmodel::FaultPlan plan = count;
        plan.failNth = c.failNth;
        kmodel::SetFaultPlan(plan);
        OpenPort();
        EXPECT_EQ(kmodel::FailedAllocations(), 1u);
        kmodel::ClearFaultPlan();
        EXPECT_EQ(log.Count(c.stopped), 0u) << int(c.stopped);
        EXPECT_EQ(log.Count(c.running), 1u) << int(c.stopped);
        EXPECT_EQ(pdx->PendingActionCount, 1) << int(c.stopped);
        ClosePort();
        EXPECT_EQ(pdx->PendingActionCount, 0) << int(c.stopped);
        EXPECT_EQ(DriverPool(), pool) << int(c.stopped);
    }
}

// A stack that fails a transfer at once, with the same status that means
// "no IRP" to the readers: the completion routine has already given back
// what the transfer held, and nothing may be given back twice.
TEST_F(PortLifecycleTest, TransferRefusedAtOnceForLackOfResourcesIsGivenBackOnce) {
    Stack().set_inline_completion(true);
    for (uint8_t ep : {usbsim::kBulkInEndpoint, usbsim::kInterruptEndpoint}) {
        Stack().faults(ep).failNext = 1;
        Stack().faults(ep).failStatus = STATUS_INSUFFICIENT_RESOURCES;
    }
    OpenPort();
    EXPECT_EQ(log.Count(usbsim::kBulkInEndpoint), 1u);
    EXPECT_EQ(log.Count(usbsim::kInterruptEndpoint), 1u);
    EXPECT_EQ(pdx->PendingActionCount, 1);  // both readers stopped, each counted back once; the retry waits
    EXPECT_EQ(pdx->ReadTransferBuffer, nullptr);
    kmodel::AdvanceClock(10);  // the bulk-in reader is retried after its back-off
    EXPECT_EQ(log.Count(usbsim::kBulkInEndpoint), 2u);
    EXPECT_EQ(log.Count(usbsim::kInterruptEndpoint), 1u);
    EXPECT_EQ(pdx->PendingActionCount, 1);  // its new transfer
    ClosePort();
    EXPECT_EQ(pdx->PendingActionCount, 0);
    EXPECT_EQ(KeReadStateEvent(&pdx->PendingActionEvent), 0);  // the removal's drain is not cut short
}

TEST_F(PortLifecycleTest, RemovalWithThePortOpenEndsTheReadersAndWaitsForTheClose) {
    OpenPort();
    Pending write;
    Stack().faults(usbsim::kBulkOutEndpoint).delayMs = 50;
    ASSERT_EQ(StartWrite(write, std::vector<uint8_t>(6000, 'w')), STATUS_PENDING);
    kmodel::WaitForQuiescence();

    NTSTATUS removal = STATUS_PENDING;
    kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); });
    kmodel::WaitForQuiescence();
    EXPECT_EQ(removal, STATUS_PENDING);
    EXPECT_EQ(log.Count(usbsim::kBulkInEndpoint, URB_FUNCTION_ABORT_PIPE), 1u);
    EXPECT_EQ(log.Count(usbsim::kInterruptEndpoint, URB_FUNCTION_ABORT_PIPE), 1u);
    // The abort of the bulk-out pipe reaches the delayed chunk: the write
    // ends with nothing sent instead of holding the removal.
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.Information(), 0u);
    kmodel::AdvanceClock(100);
    EXPECT_EQ(removal, STATUS_PENDING);  // now only the handle holds it
    EXPECT_EQ(DriverDevices(), 1u);

    ClosePort();
    pnp.Join();
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
}

// A close that can send nothing (no IRP for the control lines or any abort)
// still ends both readers, by cancelling their transfers: the next open
// must not start a second transfer on a URB still in flight.
TEST_F(PortLifecycleTest, ACloseThatCannotAbortStillEndsBothReaders) {
    OpenPort();
    kmodel::FaultPlan plan;
    plan.driver = driver;
    plan.kinds = kmodel::kIrpAllocation;
    plan.randomShare = 1.0;
    kmodel::SetFaultPlan(plan);
    ClosePort();
    kmodel::ClearFaultPlan();
    EXPECT_EQ(log.Count(usbsim::kBulkInEndpoint, URB_FUNCTION_ABORT_PIPE), 0u);
    EXPECT_EQ(pdx->PendingActionCount, 0);  // both readers ended

    OpenPort();
    SetTimeouts(MAXULONG, 0, 0);
    FeedPattern(100);
    EXPECT_EQ(ReadNow(200), Expected(100));
    ClosePort();

    NTSTATUS removal = kmodel::RemoveDevice(child->node);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(DriverPool(), 0u);
}

TEST_F(PortLifecycleTest, UnplugWithThePortOpenEndsTheWaitAndTheHeldRead) {
    OpenPort();
    SetTimeouts(0, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR);
    Pending wait, read;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);

    Unplug(child);
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Events(), ULONG(SERIAL_EV_RLSD));
    EXPECT_EQ(pdx->State, SurpriseRemoved);
    EXPECT_EQ(pdx->PendingActionCount, 0);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(read.Information(), 0u);

    Pending late;
    EXPECT_EQ(StartRead(late, 10), STATUS_DELETE_PENDING);
    EXPECT_EQ(StartWrite(late, {1, 2, 3}), STATUS_DELETE_PENDING);
    ClosePort();  // the removal follows the last close
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
    EXPECT_EQ(DriverPool(), 0u);
}

// Open, write, receive, read and close with each of the driver's allocations
// failing in turn: every request ends with a sensible status, nothing is
// left counted or allocated, and the verifier stays quiet.
TEST_F(PortLifecycleTest, EveryAllocationFailingInTurnOverOpenWriteReadAndClose) {
    size_t pool = DriverPool();
    const std::vector<uint8_t> text(5000, 'q');  // echoed back by the modem
    uint64_t nth = 1;
    for (; nth < 500; ++nth) {
        log.records.clear();
        kmodel::FaultPlan plan;
        plan.driver = driver;
        plan.failNth = nth;
        kmodel::SetFaultPlan(plan);

        ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS) << nth;
        kmodel::WaitForQuiescence();
        SetTimeouts(MAXULONG, 0, 0);
        Pending write;
        NTSTATUS written = StartWrite(write, text);
        if (written == STATUS_PENDING) {
            written = kmodel::io::Wait(&write.request);
        }
        kmodel::WaitForQuiescence();
        if (written == STATUS_SUCCESS) {
            EXPECT_EQ(write.Information(), text.size()) << nth;
        } else {
            EXPECT_EQ(written, STATUS_INSUFFICIENT_RESOURCES) << nth;
        }
        FeedPattern(100);
        size_t received = 0;
        for (int i = 0; i < 8; ++i) {
            received += ReadNow(1000).size();
        }
        EXPECT_LE(received, text.size() + 100) << nth;
        ClosePort();

        uint64_t failed = kmodel::FailedAllocations();
        kmodel::ClearFaultPlan();
        ASSERT_EQ(pdx->PendingActionCount, 0) << nth;
        ASSERT_EQ(pdx->OpenCount, 0) << nth;
        ASSERT_EQ(pdx->RemoveLock.Usage, 1) << nth;
        ASSERT_EQ(DriverPool(), pool) << nth;
        {
            KIRQL irql;
            KeAcquireSpinLock(&world->lock, &irql);
            Modem().bulkIn.clear();
            KeReleaseSpinLock(&world->lock, irql);
        }
        if (failed == 0) {
            EXPECT_EQ(received, text.size() + 100);  // the echo and the bytes fed: nothing lost
            break;  // the scenario ran through: every allocation has had its turn
        }
    }
    EXPECT_GT(nth, 10u);
    EXPECT_LT(nth, 500u);
}

}  // namespace
}  // namespace qvtest
