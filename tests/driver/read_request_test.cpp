// Read requests: answered at once from the buffer, or held (one at a time)
// until data, the read timer, a cancel or a purge ends them.
#include "port_fixture.h"

namespace qvtest {
namespace {

class ReadRequestTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        OpenPort();
    }
};

TEST_F(ReadRequestTest, DataInTheBufferIsReturnedAtOnceWithoutWaitingForMore) {
    SetTimeouts(0, 0, 0);  // would hold an empty-buffer read forever
    FeedPattern(10);
    Pending zero;
    ASSERT_EQ(StartRead(zero, 0), STATUS_SUCCESS);
    EXPECT_EQ(zero.Information(), 0u);
    EXPECT_EQ(pdx->ReceiveCount, 10u);

    Pending read;
    ASSERT_EQ(StartRead(read, 100), STATUS_SUCCESS);
    EXPECT_EQ(read.Information(), 10u);
    read.buffer.resize(10);
    EXPECT_EQ(read.buffer, Expected(10));
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 10u);
    ASSERT_EQ(StartRead(zero, 0), STATUS_SUCCESS);  // empty buffer, untimed: still at once

    SetTimeouts(MAXULONG, 0, 0);  // with the buffer now empty: zero bytes at once
    Pending empty;
    ASSERT_EQ(StartRead(empty, 100), STATUS_SUCCESS);
    EXPECT_EQ(empty.Information(), 0u);
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 10u);
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));
}

TEST_F(ReadRequestTest, TotalConstantTimesOutAfterConstantPlus100MsAndNotBefore) {
    SetTimeouts(MAXULONG, MAXULONG, 500);
    Pending read;
    ASSERT_EQ(StartRead(read, 100), STATUS_PENDING);
    kmodel::AdvanceClock(599);
    EXPECT_FALSE(read.Done());
    kmodel::AdvanceClock(1);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(read.Information(), 0u);
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));

    SetTimeouts(0, 0, 1);  // the smallest constant: 101 ms
    Pending shortest;
    ASSERT_EQ(StartRead(shortest, 1), STATUS_PENDING);
    kmodel::AdvanceClock(100);
    EXPECT_FALSE(shortest.Done());
    kmodel::AdvanceClock(1);
    ASSERT_TRUE(shortest.Done());
    EXPECT_EQ(shortest.Status(), STATUS_IO_TIMEOUT);
}

TEST_F(ReadRequestTest, OnlyTheTotalConstantSetsATimeAndAHeldReadEndsWithData) {
    const SERIAL_TIMEOUTS untimed[] = {{0, 0, 0, 0, 0}, {50, 0, 0, 0, 0}, {0, 10, 0, 0, 0}, {MAXULONG, 10, 0, 0, 0}};
    for (const SERIAL_TIMEOUTS& t : untimed) {
        SetTimeouts(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant);
        Pending read;
        ASSERT_EQ(StartRead(read, 100), STATUS_PENDING);
        kmodel::AdvanceClock(60 * 60 * 1000);
        EXPECT_FALSE(read.Done()) << t.ReadIntervalTimeout << "/" << t.ReadTotalTimeoutMultiplier;
        ULONG before = pdx->PerfStats.ReceivedCount;
        FeedPattern(7);
        ASSERT_TRUE(read.Done());
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        ASSERT_EQ(read.Information(), 7u);
        read.buffer.resize(7);
        EXPECT_EQ(read.buffer, Expected(7));
        EXPECT_EQ(pdx->PerfStats.ReceivedCount, before + 7);
    }
}

TEST_F(ReadRequestTest, ConstantNearMaxulongDoesNotWrapToAShortTimeout) {
    SetTimeouts(0, 0, 0xFFFFFFF0);  // + 100 would wrap to 84 ms in 32 bits
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    kmodel::AdvanceClock(24 * 60 * 60 * 1000);
    EXPECT_FALSE(read.Done());
    Cancel(read);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_IO_TIMEOUT);
}

TEST_F(ReadRequestTest, SecondReadIsRefusedAndRestartsTheHeldReadsTimer) {
    SetTimeouts(0, 0, 500);
    Pending first;
    ASSERT_EQ(StartRead(first, 10), STATUS_PENDING);
    kmodel::AdvanceClock(300);
    Pending second;
    EXPECT_EQ(StartRead(second, 10), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.Done());
    // Due at 300 + 600 now, no longer at 600.
    kmodel::AdvanceClock(599);
    EXPECT_FALSE(first.Done());
    kmodel::AdvanceClock(1);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_IO_TIMEOUT);
}

// The timer belongs to the device: data that ends a timed read must stop it,
// or it would later end an untimed read as a time-out.
TEST_F(ReadRequestTest, DataStopsTheReadTimer) {
    SetTimeouts(0, 0, 500);
    Pending timed;
    ASSERT_EQ(StartRead(timed, 10), STATUS_PENDING);
    kmodel::AdvanceClock(100);
    FeedPattern(4);
    ASSERT_TRUE(timed.Done());
    EXPECT_EQ(timed.Information(), 4u);

    SetTimeouts(0, 0, 0);
    Pending untimed;
    ASSERT_EQ(StartRead(untimed, 10), STATUS_PENDING);
    kmodel::AdvanceClock(1000);
    EXPECT_FALSE(untimed.Done());
    Cancel(untimed);
}

TEST_F(ReadRequestTest, CancellingAHeldReadEndsItAsATimeoutAndFreesTheSlot) {
    SetTimeouts(0, 0, 0);
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    Cancel(read);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(read.Information(), 0u);
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));

    Pending next;
    ASSERT_EQ(StartRead(next, 10), STATUS_PENDING);
    FeedPattern(3);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.Information(), 3u);
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 3u);
}

// Data arriving while the I/O manager is already cancelling the held read
// (it has taken the cancel routine, which has not run yet) stays in the
// buffer for the next read; the late cancel routine ends the read as a
// time-out and must not touch a read queued in the meantime.
TEST_F(ReadRequestTest, DataArrivingWhileACancelIsUnderWayWaitsForTheNextRead) {
    SetTimeouts(0, 0, 0);
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    PIRP irp = CONTAINING_RECORD(pdx->ReadIrpQueue.Flink, IRP, Tail.Overlay.ListEntry);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    ASSERT_NE(routine, nullptr);

    FeedPattern(4);
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(ReadNow(10), Expected(4));
    Pending next;
    ASSERT_EQ(StartRead(next, 10), STATUS_PENDING);

    IoAcquireCancelSpinLock(&irp->CancelIrql);
    kmodel::RunAsDriver(driver, [&] { routine(Fdo(child), irp); });
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(IsListEmpty(&pdx->ReadIrpQueue));  // the new read is still held
    FeedPattern(3);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.Information(), 3u);
}

// A read already cancelled when it reaches the queue is taken back out and
// completed there, without being marked pending (the verifier checks the
// mark against the status returned).
TEST_F(ReadRequestTest, ReadCancelledBeforeItIsQueuedCompletesCancelledAtOnce) {
    SetTimeouts(0, 0, 0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR data[16];
    PIRP irp = IoBuildDeviceIoControlRequest(0, Fdo(child), nullptr, 0, data, sizeof(data), FALSE, &event, &iosb);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = sizeof(data);
    irp->Cancel = TRUE;
    EXPECT_EQ(IoCallDriver(Fdo(child), irp), STATUS_CANCELLED);
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));

    Pending next;
    EXPECT_EQ(StartRead(next, 10), STATUS_PENDING);  // the slot is free
    Cancel(next);
}

TEST_F(ReadRequestTest, PurgeRxAbortEndsAHeldReadWithWhatTheBufferHolds) {
    SetTimeouts(0, 0, 0);
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_FALSE(read.Done());
    ASSERT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Information(), 0u);
}

TEST_F(ReadRequestTest, AfterTheBulkInPipeFailsAHeldReadStillEndsByItsTimeoutOrPurge) {
    SetTimeouts(0, 0, 200);
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    Stack().Stall(usbsim::kBulkInEndpoint);
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(read.Done());
    kmodel::AdvanceClock(300);  // the stopped engine left the timer running
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_IO_TIMEOUT);

    // A later read is held and timed as usual, and a purge ends it.
    Pending later;
    ASSERT_EQ(StartRead(later, 10), STATUS_PENDING);
    ASSERT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(later.Done());
    EXPECT_EQ(later.Status(), STATUS_SUCCESS);
    EXPECT_EQ(later.Information(), 0u);
}

}  // namespace
}  // namespace qvtest
