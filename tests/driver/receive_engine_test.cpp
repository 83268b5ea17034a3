// The receive engine: one 1024-byte bulk-in transfer in flight, the linear
// 4096-byte buffer, the stall at the high-water mark, compaction and
// restart, and the receive events.
#include <random>

#include "port_fixture.h"

namespace qvtest {
namespace {

class ReceiveEngineTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        OpenPort();
        SetTimeouts(MAXULONG, 0, 0);  // reads return at once, with or without data
    }
    size_t BulkInTransfers() const { return log.Count(usbsim::kBulkInEndpoint); }
    void ExpectOffsets(ULONG read, ULONG write, BOOLEAN stalled) {
        EXPECT_EQ(pdx->ReceiveReadOffset, read);
        EXPECT_EQ(pdx->ReceiveWriteOffset, write);
        EXPECT_EQ(pdx->ReceiveCount, write - read);
        EXPECT_EQ(pdx->ReceiveStalled, stalled);
    }
};

TEST_F(ReceiveEngineTest, WithNoReaderThreeFullTransfersStallTheEngineAt3072) {
    ASSERT_EQ(BulkInTransfers(), 1u);
    ASSERT_EQ(pdx->PendingActionCount, 2);  // status and bulk-in transfers
    for (ULONG n = 1; n <= 3; ++n) {
        FeedPattern(1024);
        ExpectOffsets(0, 1024 * n, n == 3);
    }
    // 1024 bytes are still free at the end, but no fourth transfer is started
    // and the device keeps what it has not sent.
    FeedPattern(500);
    EXPECT_EQ(BulkInTransfers(), 3u);
    EXPECT_EQ(pdx->PendingActionCount, 1);
    EXPECT_EQ(Modem().bulkIn.size(), 500u);
    EXPECT_EQ(pdx->ReceiveCount, 3072u);

    // A read that leaves less than 3072 restarts it: the device's 500 bytes
    // come in and stall it again. Nothing was lost or reordered.
    EXPECT_EQ(ReadNow(1), Expected(1));
    EXPECT_EQ(BulkInTransfers(), 4u);
    EXPECT_TRUE(Modem().bulkIn.empty());
    ExpectOffsets(0, 3071 + 500, TRUE);
    EXPECT_EQ(ReadNow(4096), Expected(3571));
    ExpectOffsets(0, 0, FALSE);
    EXPECT_EQ(BulkInTransfers(), 5u);
    EXPECT_EQ(pdx->PendingActionCount, 2);
}

TEST_F(ReceiveEngineTest, WriteOffsetNearTheEndStallsBelowTheMarkAndAReadCompactsAndRestarts) {
    FeedPattern(1024);
    FeedPattern(1024);
    EXPECT_EQ(ReadNow(100), Expected(100));
    ExpectOffsets(100, 2048, FALSE);
    FeedPattern(1024);
    ExpectOffsets(100, 3072, FALSE);  // 3072 + 1024 still fits
    FeedPattern(28);
    // 3000 bytes held, below the mark, but 3100 + 1024 > 4096.
    ExpectOffsets(100, 3100, TRUE);
    size_t transfers = BulkInTransfers();

    EXPECT_EQ(ReadNow(1), Expected(1));
    ExpectOffsets(0, 2999, FALSE);  // moved to the start
    EXPECT_EQ(BulkInTransfers(), transfers + 1);
    EXPECT_EQ(pdx->PendingActionCount, 2);
    FeedPattern(1024);
    EXPECT_EQ(ReadNow(4096), Expected(4023));
}

TEST_F(ReceiveEngineTest, TheBufferNeverHoldsMoreThan4095AndStaysStalledUntilBelowTheMark) {
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL);
    FeedPattern(1024);
    FeedPattern(1024);
    FeedPattern(1023);
    ExpectOffsets(0, 3071, FALSE);  // 3071 + 1024 fits: one more transfer
    FeedPattern(3000);
    ExpectOffsets(0, 4095, TRUE);
    EXPECT_EQ(Modem().bulkIn.size(), 3000u - 1024u);

    // A read that leaves 3095 keeps the engine stalled and reports the
    // receive events again, since no transfer will.
    Pending history, wait;
    ASSERT_EQ(StartWait(history), STATUS_SUCCESS);  // what the transfers raised
    EXPECT_EQ(history.Events(), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    EXPECT_EQ(ReadNow(1000), Expected(1000));
    ExpectOffsets(1000, 4095, TRUE);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Events(), ULONG(SERIAL_EV_RXCHAR));  // 3095 is below 80%
    size_t transfers = BulkInTransfers();
    EXPECT_EQ(ReadNow(23), Expected(23));  // exactly 3072 left: still stalled
    ExpectOffsets(1023, 4095, TRUE);
    EXPECT_EQ(BulkInTransfers(), transfers);

    EXPECT_EQ(ReadNow(77), Expected(77));  // 2995 left: compact and restart
    EXPECT_EQ(BulkInTransfers(), transfers + 1);
    EXPECT_EQ(pdx->ReceiveReadOffset, 0u);
    EXPECT_LE(pdx->ReceiveCount, 4095u);
    std::vector<uint8_t> rest;
    for (int i = 0; i < 8 && rest.size() < 2995u + 1976u; ++i) {
        std::vector<uint8_t> chunk = ReadNow(4096);
        rest.insert(rest.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(rest, Expected(2995 + 1976));
}

TEST_F(ReceiveEngineTest, Rx80FullAt3276Not3275) {
    SetWaitMask(SERIAL_EV_RX80FULL);
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    FeedPattern(1024);
    FeedPattern(1024);
    FeedPattern(1023);
    FeedPattern(204);
    EXPECT_EQ(pdx->ReceiveCount, 3275u);
    EXPECT_FALSE(wait.Done());

    EXPECT_EQ(ReadNow(204), Expected(204));  // 3071: restarted
    FeedPattern(205);
    EXPECT_EQ(pdx->ReceiveCount, 3276u);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Information(), 4u);
    EXPECT_EQ(wait.Events(), ULONG(SERIAL_EV_RX80FULL));
}

TEST_F(ReceiveEngineTest, RxFlagMeansAnyDataWhateverTheEventCharacter) {
    SERIAL_CHARS chars{};
    chars.EventChar = 'Z';
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)), STATUS_SUCCESS);
    SetWaitMask(SERIAL_EV_RXFLAG);
    Pending flag;
    ASSERT_EQ(StartWait(flag), STATUS_PENDING);
    Feed({'a', 'b', 'c'});
    ASSERT_TRUE(flag.Done());
    EXPECT_EQ(flag.Events(), ULONG(SERIAL_EV_RXFLAG));

    ReadNow(3);
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    Pending both;
    ASSERT_EQ(StartWait(both), STATUS_PENDING);  // the bit reported above went with its wait
    Feed({'q'});
    ASSERT_TRUE(both.Done());
    EXPECT_EQ(both.Events(), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
}

TEST_F(ReceiveEngineTest, ZeroLengthTransferGivesAHeldReadNothingRaisesNothingAndGoesOn) {
    SetTimeouts(0, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    Pending wait, read;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    ASSERT_EQ(StartRead(read, 1), STATUS_PENDING);
    size_t transfers = BulkInTransfers();

    Stack().faults(usbsim::kBulkInEndpoint).zeroLengthNext = 1;
    Stack().Poke();
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(pdx->EventHistory, 0u);
    EXPECT_EQ(BulkInTransfers(), transfers + 1);
    EXPECT_EQ(pdx->PendingActionCount, 2);

    Feed({'x'});
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Events(), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Information(), 1u);
}

TEST_F(ReceiveEngineTest, AFailedTransferIsRetriedAfterItsBackOffWithThePipeReset) {
    Stack().Stall(usbsim::kBulkInEndpoint);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->ReadPipeError, 1);
    EXPECT_EQ(pdx->ReadTransferBuffer, nullptr);
    EXPECT_EQ(pdx->PendingActionCount, 2);  // the status reader and the retry to come
    size_t transfers = BulkInTransfers();
    size_t resets = log.Count(usbsim::kBulkInEndpoint, URB_FUNCTION_RESET_PIPE);
    FeedPattern(10);
    EXPECT_EQ(BulkInTransfers(), transfers);
    EXPECT_EQ(pdx->ReceiveCount, 0u);

    kmodel::AdvanceClock(10);  // the reset clears the stall; the next transfer gets the bytes
    EXPECT_EQ(log.Count(usbsim::kBulkInEndpoint, URB_FUNCTION_RESET_PIPE), resets + 1);
    EXPECT_EQ(pdx->ReadPipeError, 0);
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(ReadNow(10), Expected(10));
}

// A long random stream, random transfer sizes and a slow reader of random
// lengths: every byte arrives once and in order, and the buffer's invariants
// hold after every step.
TEST_F(ReceiveEngineTest, LongRandomStreamWithASlowReaderLosesAndReordersNothing) {
    std::mt19937 random(20240611);
    const size_t total = 60000;
    KIRQL irql;
    KeAcquireSpinLock(&world->lock, &irql);
    std::vector<uint8_t> stream = Pattern(total);
    Modem().bulkIn.insert(Modem().bulkIn.end(), stream.begin(), stream.end());
    KeReleaseSpinLock(&world->lock, irql);

    std::vector<uint8_t> received;
    for (int step = 0; received.size() < total && step < 20000; ++step) {
        Stack().faults(usbsim::kBulkInEndpoint).maxInChunk = 1 + random() % 1024;
        Stack().Poke();
        kmodel::WaitForQuiescence();
        ASSERT_LE(pdx->ReceiveCount, 4095u);
        ASSERT_LE(pdx->ReceiveWriteOffset, 4096u);
        ASSERT_EQ(pdx->ReceiveCount, pdx->ReceiveWriteOffset - pdx->ReceiveReadOffset);
        // A stalled engine always has something for the reader to drain.
        ASSERT_TRUE(!pdx->ReceiveStalled || pdx->ReceiveCount > 0);
        std::vector<uint8_t> chunk = ReadNow(1 + random() % 700);
        received.insert(received.end(), chunk.begin(), chunk.end());
    }
    ASSERT_EQ(received.size(), total);
    EXPECT_EQ(received, Expected(total));
    EXPECT_EQ(pdx->PerfStats.ReceivedCount, total);
}

// A transfer failed by the device in mid-stream: the engine resets the pipe
// and reads on; the bytes after the failure arrive, once each and in order.
TEST_F(ReceiveEngineTest, AFailureInMidStreamIsRecoveredWithNothingLostOrDoubled) {
    Stack().faults(usbsim::kBulkInEndpoint).maxInChunk = 100;
    FeedPattern(100);  // the transfer in flight takes these
    Stack().faults(usbsim::kBulkInEndpoint).failNext = 1;
    FeedPattern(300);  // the next transfer fails before it takes any
    EXPECT_EQ(pdx->ReceiveFailures, 1);
    EXPECT_LT(pdx->ReceiveCount, 400u);
    kmodel::AdvanceClock(10);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->ReceiveFailures, 0);
    EXPECT_EQ(ReadNow(1000), Expected(400));
}

// Failures in a row back off 10, 20, 40 and 80 ms; the sixth gives up and
// tells the wait; a purge of the receive buffer starts the engine again.
TEST_F(ReceiveEngineTest, RepeatedFailuresBackOffThenGiveUpWithALineError) {
    SetWaitMask(SERIAL_EV_ERR | SERIAL_EV_RXCHAR);
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    size_t transfers = BulkInTransfers();
    Stack().faults(usbsim::kBulkInEndpoint).failNext = 5;  // the five retries after it
    Stack().Stall(usbsim::kBulkInEndpoint);  // the transfer in flight fails: the first of six
    kmodel::WaitForQuiescence();
    for (int64_t delay : {10, 20, 40, 80, 160}) {
        SCOPED_TRACE(delay);
        size_t before = BulkInTransfers();
        kmodel::AdvanceClock(delay - 1);
        EXPECT_EQ(BulkInTransfers(), before);
        kmodel::AdvanceClock(1);
        EXPECT_EQ(BulkInTransfers(), before + 1);
        EXPECT_FALSE(wait.Done() && delay < 160);
    }
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Events(), ULONG(SERIAL_EV_ERR));
    EXPECT_EQ(BulkInTransfers(), transfers + 5);
    EXPECT_TRUE(pdx->ReceiveGivenUp);
    EXPECT_EQ(pdx->PendingActionCount, 1);  // the status reader only
    kmodel::AdvanceClock(10000);
    EXPECT_EQ(BulkInTransfers(), transfers + 5);

    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(BulkInTransfers(), transfers + 6);
    FeedPattern(5);
    EXPECT_EQ(ReadNow(5), Expected(5));
}

// A close during the back-off does not wait for it: cleanup drops it.
TEST_F(ReceiveEngineTest, CloseDuringTheBackOffEndsItAndTheNextOpenReads) {
    Stack().Stall(usbsim::kBulkInEndpoint);
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(pdx->ReceiveRecoveryArmed);
    ClosePort();
    EXPECT_FALSE(pdx->ReceiveRecoveryArmed);
    EXPECT_EQ(pdx->PendingActionCount, 0);
    kmodel::AdvanceClock(100);
    OpenPort();
    SetTimeouts(MAXULONG, 0, 0);
    FeedPattern(3);
    EXPECT_EQ(ReadNow(3), Expected(3));
}

}  // namespace
}  // namespace qvtest
