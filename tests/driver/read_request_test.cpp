// Read requests: held in order until their length, a time-out, a cancel,
// a purge or the cleanup of their file ends them.
#include "port_fixture.h"

namespace qvtest {
namespace {

class ReadRequestTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        OpenPort();
        poolWhileOpen = DriverPool();
    }
    size_t poolWhileOpen = 0;
};

TEST_F(ReadRequestTest, AZeroLengthReadEndsAtOnceWhateverTheBufferAndTimeoutsHold) {
    SetTimeouts(0, 0, 0);  // would hold any other read until its length came
    Pending zero;
    ASSERT_EQ(StartRead(zero, 0), STATUS_SUCCESS);
    FeedPattern(10);
    ASSERT_EQ(StartRead(zero, 0), STATUS_SUCCESS);
    EXPECT_EQ(zero.Information(), 0u);
    EXPECT_EQ(pdx->ReceiveCount, 10u);
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 0u);
    EXPECT_EQ(ReadNow(100), Expected(10));
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 10u);
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));
}

TEST_F(ReadRequestTest, TotalTimeoutEndsTheReadWithStatusTimeoutAtItsTimeAndNotBefore) {
    SetTimeouts(0, 0, 500);
    Pending read;
    ASSERT_EQ(StartRead(read, 100), STATUS_PENDING);
    kmodel::AdvanceClock(499);
    EXPECT_FALSE(read.Done());
    kmodel::AdvanceClock(1);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read.Information(), 0u);
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));
    EXPECT_EQ(DriverPool(), poolWhileOpen);  // its context went with it
}

TEST_F(ReadRequestTest, ConstantNearMaxulongDoesNotWrapToAShortTimeout) {
    SetTimeouts(0, 0, 0xFFFFFFF0);
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    kmodel::AdvanceClock(24 * 60 * 60 * 1000);
    EXPECT_FALSE(read.Done());
    Cancel(read);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

TEST_F(ReadRequestTest, ASecondReadQueuesBehindTheFirstAndTakesTheBytesAfterIt) {
    SetTimeouts(0, 0, 0);
    Pending first, second;
    ASSERT_EQ(StartRead(first, 3), STATUS_PENDING);
    ASSERT_EQ(StartRead(second, 4), STATUS_PENDING);
    FeedPattern(2);
    EXPECT_FALSE(first.Done());  // a read partly filled keeps what it has
    FeedPattern(4);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Information(), 3u);
    first.buffer.resize(3);
    EXPECT_EQ(first.buffer, Expected(3));
    EXPECT_FALSE(second.Done());
    FeedPattern(1);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.buffer, Expected(4));
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 7u);
}

// A timer belongs to its read: the read that data ended takes its timer
// with it, and a later untimed read is not ended by it.
TEST_F(ReadRequestTest, ATimerEndsOnlyTheReadItWasArmedFor) {
    SetTimeouts(0, 0, 500);
    Pending timed;
    ASSERT_EQ(StartRead(timed, 4), STATUS_PENDING);
    kmodel::AdvanceClock(100);
    FeedPattern(4);
    ASSERT_TRUE(timed.Done());
    EXPECT_EQ(timed.Status(), STATUS_SUCCESS);

    SetTimeouts(0, 0, 0);
    Pending untimed;
    ASSERT_EQ(StartRead(untimed, 10), STATUS_PENDING);
    kmodel::AdvanceClock(1000);
    EXPECT_FALSE(untimed.Done());
    Cancel(untimed);
    EXPECT_EQ(untimed.Status(), STATUS_CANCELLED);
}

TEST_F(ReadRequestTest, CancellingAHeldReadEndsItCancelledWithTheBytesSoFar) {
    SetTimeouts(0, 0, 0);
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    FeedPattern(3);
    Cancel(read);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Information(), 3u);
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, 0u);  // nothing reached the application
    Expected(3);

    Pending next;
    ASSERT_EQ(StartRead(next, 3), STATUS_PENDING);
    FeedPattern(3);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.buffer, Expected(3));
}

// Data arriving while the I/O manager is already cancelling the first read
// (it has taken the cancel routine, which has not run yet) stays in the
// buffer; the late cancel routine ends that read and hands the bytes to the
// read queued behind it.
TEST_F(ReadRequestTest, DataArrivingWhileACancelIsUnderWayGoesToTheNextRead) {
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
    EXPECT_EQ(pdx->ReceiveCount, 4u);
    Pending next;
    ASSERT_EQ(StartRead(next, 4), STATUS_PENDING);

    IoAcquireCancelSpinLock(&irp->CancelIrql);
    kmodel::RunAsDriver(driver, [&] { routine(Fdo(child), irp); });
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Information(), 0u);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.buffer, Expected(4));
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

TEST_F(ReadRequestTest, PurgeRxAbortCancelsEveryHeldRead) {
    SetTimeouts(0, 0, 300);
    Pending first, second;
    ASSERT_EQ(StartRead(first, 10), STATUS_PENDING);
    ASSERT_EQ(StartRead(second, 10), STATUS_PENDING);
    ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_FALSE(first.Done());
    ASSERT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    for (Pending* p : {&first, &second}) {
        ASSERT_TRUE(p->Done());
        EXPECT_EQ(p->Status(), STATUS_CANCELLED);
    }
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));
    EXPECT_EQ(DriverPool(), poolWhileOpen);  // no timer left behind with its read
}

// While the engine waits out a failed transfer's back-off, a held read
// keeps its own time-out.
TEST_F(ReadRequestTest, AHeldReadKeepsItsTimeoutWhileTheEngineRecovers) {
    SetTimeouts(0, 0, 200);
    Pending read;
    ASSERT_EQ(StartRead(read, 10), STATUS_PENDING);
    Stack().faults(usbsim::kBulkInEndpoint).failNext = 3;
    FeedPattern(2);
    EXPECT_FALSE(read.Done());
    kmodel::AdvanceClock(199);
    EXPECT_FALSE(read.Done());
    kmodel::AdvanceClock(1);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read.Information(), 2u);
    EXPECT_EQ(pdx->ReceiveFailures, 3);  // three failed in a row, the fourth waits for data
}

// Requests sent on another thread as the handle closed reach the driver
// after their file's cleanup: each is refused at once, since one held would
// keep the file from ever being closed.
TEST_F(ReadRequestTest, RequestsArrivingAfterTheirFilesCleanupAreCancelledAtOnce) {
    SetTimeouts(0, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR);
    PFILE_OBJECT closing = file;
    ObReferenceObject(closing);  // the requests' own reference to the file
    ClosePort();
    Pending read, write, wait, flush;
    read.buffer.assign(8, 0);
    write.buffer.assign(8, 'w');
    wait.buffer.assign(sizeof(ULONG), 0);
    EXPECT_EQ(kmodel::io::Read(closing, read.buffer.data(), 8, &read.request), STATUS_CANCELLED);
    EXPECT_EQ(kmodel::io::Write(closing, write.buffer.data(), 8, &write.request), STATUS_CANCELLED);
    EXPECT_EQ(kmodel::io::DeviceControl(closing, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, wait.buffer.data(),
                                        sizeof(ULONG), &wait.request),
              STATUS_CANCELLED);
    EXPECT_EQ(kmodel::io::Simple(closing, IRP_MJ_FLUSH_BUFFERS, &flush.request), STATUS_CANCELLED);
    ObDereferenceObject(closing);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->OpenCount, 0);  // the close came
}

}  // namespace
}  // namespace qvtest
