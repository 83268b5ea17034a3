// The transmit path: a write goes down the bulk-out pipe in chunks of at
// most 4096 bytes carried by the caller's IRP; cancellation, failure and
// recovery of the pipe; writes in parallel and from DISPATCH_LEVEL.
#include "port_fixture.h"

namespace qvtest {
namespace {

class TransmitTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        OpenPort();
        // Echo off, so that what the tests write does not come back and move
        // the receive engine's buffers while pool is counted.
        Pending echoOff;
        ASSERT_EQ(WriteAndWait(echoOff, {'A', 'T', 'E', '0', '\r'}), STATUS_SUCCESS);
        SetTimeouts(MAXULONG, 0, 0);
        ReadNow(4096);
        ASSERT_EQ(pdx->ReceiveCount, 0u);
        ASSERT_EQ(Control(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
        log.records.clear();
    }
    static std::vector<uint8_t> Data(size_t n) {
        std::vector<uint8_t> data(n);
        for (size_t i = 0; i < n; ++i) {
            data[i] = static_cast<uint8_t>('a' + (i * 7 + i / 26) % 26);  // no CR: the modem only echoes
        }
        return data;
    }
    std::vector<usbsim::UrbRecord> Chunks() const { return log.Submitted(usbsim::kBulkOutEndpoint); }
    // After the first chunk of a write completes, do this to the pipe.
    void AfterFirstChunk(std::function<void(usbsim::PipeFaults&)> change) {
        log.hook = [this, change, done = false](const usbsim::UrbRecord& r) mutable {
            if (!done && r.completion && r.endpoint == usbsim::kBulkOutEndpoint) {
                done = true;
                change(Stack().faults(usbsim::kBulkOutEndpoint));
            }
        };
    }
    NTSTATUS WriteAndWait(Pending& p, const std::vector<uint8_t>& data) {
        NTSTATUS status = StartWrite(p, data);
        if (status == STATUS_PENDING) {
            status = kmodel::io::Wait(&p.request);
        }
        kmodel::WaitForQuiescence();
        return status;
    }
};

TEST_F(TransmitTest, ZeroByteWriteSucceedsSendsNothingAndGivesEverythingBack) {
    size_t pool = DriverPool();
    Pending write;
    EXPECT_EQ(WriteAndWait(write, {}), STATUS_SUCCESS);
    EXPECT_EQ(write.Information(), 0u);
    EXPECT_TRUE(Chunks().empty());
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);  // the device and the open handle
    EXPECT_EQ(DriverPool(), pool);
}

TEST_F(TransmitTest, WritesAreCutInto4096ByteChunksInOrder) {
    ULONG total = 0;
    for (size_t n : {size_t(4096), size_t(4097), size_t(10000)}) {
        log.records.clear();
        std::vector<uint8_t> data = Data(n);
        Pending write;
        ASSERT_EQ(WriteAndWait(write, data), STATUS_SUCCESS) << n;
        EXPECT_EQ(write.Information(), n);
        total += static_cast<ULONG>(n);
        EXPECT_EQ(pdx->PerfStats.TransmittedCount, total);

        std::vector<usbsim::UrbRecord> chunks = Chunks();
        ASSERT_EQ(chunks.size(), (n + 4095) / 4096) << n;
        size_t offset = 0;
        for (const auto& chunk : chunks) {
            size_t expected = std::min<size_t>(4096, n - offset);
            ASSERT_EQ(chunk.data.size(), expected) << n << " at " << offset;
            EXPECT_TRUE(std::equal(chunk.data.begin(), chunk.data.end(), data.begin() + offset)) << n << " at " << offset;
            offset += expected;
        }
        EXPECT_EQ(offset, n);
    }
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);
}

TEST_F(TransmitTest, CancelDuringTheSecondChunkReportsTheBytesAlreadyAccepted) {
    size_t pool = DriverPool();
    AfterFirstChunk([](usbsim::PipeFaults& f) { f.hold = true; });
    Pending write;
    ASSERT_EQ(StartWrite(write, Data(10000)), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    ASSERT_FALSE(write.Done());
    EXPECT_EQ(Chunks().size(), 2u);
    EXPECT_EQ(pdx->PendingActionCount, 3);

    Cancel(write);
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.Status(), STATUS_CANCELLED);
    EXPECT_EQ(write.Information(), 4096u);
    EXPECT_EQ(Chunks().size(), 2u);  // the third was never sent
    EXPECT_EQ(pdx->PerfStats.TransmittedCount, 0u);
    EXPECT_EQ(pdx->WritePipeError, 0);  // a cancel is not a pipe failure
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);
    EXPECT_EQ(DriverPool(), pool);
}

TEST_F(TransmitTest, FailedChunkEndsTheWriteAndTheNextWriteResetsThePipeFirst) {
    AfterFirstChunk([](usbsim::PipeFaults& f) {
        f.failNext = 1;
        f.failStatus = STATUS_DEVICE_DATA_ERROR;
    });
    Pending failed;
    EXPECT_EQ(WriteAndWait(failed, Data(10000)), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(failed.Information(), 0u);  // not the 4096 the device took
    EXPECT_EQ(Chunks().size(), 2u);
    EXPECT_EQ(pdx->WritePipeError, 1);
    EXPECT_EQ(pdx->PerfStats.TransmittedCount, 0u);
    EXPECT_EQ(pdx->PendingActionCount, 2);

    log.hook = nullptr;
    log.records.clear();
    Pending next;
    EXPECT_EQ(WriteAndWait(next, Data(10)), STATUS_SUCCESS);
    EXPECT_EQ(next.Information(), 10u);
    std::vector<const usbsim::UrbRecord*> submitted;
    for (const auto& r : log.records) {
        if (!r.completion && r.endpoint == usbsim::kBulkOutEndpoint) {
            submitted.push_back(&r);
        }
    }
    ASSERT_EQ(submitted.size(), 2u);
    EXPECT_EQ(submitted[0]->function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(submitted[1]->function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(pdx->WritePipeError, 0);

    // Once recovered, no further reset.
    log.records.clear();
    EXPECT_EQ(WriteAndWait(next = Pending(), Data(10)), STATUS_SUCCESS);
    EXPECT_EQ(log.Count(usbsim::kBulkOutEndpoint, URB_FUNCTION_RESET_PIPE), 0u);
}

// The second write waits for the first, holding its own count and hold on
// the remove lock, and goes out after it.
TEST_F(TransmitTest, TwoWritesBackToBackGoOutOneAfterTheOtherEachWithItsOwnCount) {
    Stack().faults(usbsim::kBulkOutEndpoint).delayMs = 10;
    Pending a, b;
    ASSERT_EQ(StartWrite(a, Data(5000)), STATUS_PENDING);
    ASSERT_EQ(StartWrite(b, Data(3000)), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(Chunks().size(), 1u);
    EXPECT_EQ(pdx->PendingActionCount, 4);
    EXPECT_EQ(pdx->RemoveLock.Usage, 4);

    kmodel::AdvanceClock(10);
    EXPECT_FALSE(a.Done());  // its second chunk is on its way, and b waits
    EXPECT_EQ(Chunks().size(), 2u);
    kmodel::AdvanceClock(10);
    ASSERT_TRUE(a.Done());
    EXPECT_FALSE(b.Done());
    kmodel::WaitForQuiescence();
    kmodel::AdvanceClock(10);
    ASSERT_TRUE(b.Done());
    EXPECT_EQ(a.Status(), STATUS_SUCCESS);
    EXPECT_EQ(a.Information(), 5000u);
    EXPECT_EQ(b.Status(), STATUS_SUCCESS);
    EXPECT_EQ(b.Information(), 3000u);
    std::vector<usbsim::UrbRecord> chunks = Chunks();
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[2].data, Data(3000));
    EXPECT_EQ(pdx->PerfStats.TransmittedCount, 8000u);
    EXPECT_EQ(pdx->PendingActionCount, 2);
}

// A write cancelled while it waits for its turn ends with nothing sent and
// gives back everything it held.
TEST_F(TransmitTest, AWriteCancelledWhileWaitingForItsTurnSendsNothing) {
    size_t pool = DriverPool();
    Stack().faults(usbsim::kBulkOutEndpoint).delayMs = 10;
    Pending a, b;
    ASSERT_EQ(StartWrite(a, Data(100)), STATUS_PENDING);
    ASSERT_EQ(StartWrite(b, Data(100)), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    Cancel(b);
    ASSERT_TRUE(b.Done());
    EXPECT_EQ(b.Status(), STATUS_CANCELLED);
    EXPECT_EQ(b.Information(), 0u);
    kmodel::AdvanceClock(10);
    ASSERT_TRUE(a.Done());
    EXPECT_EQ(a.Status(), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(Chunks().size(), 1u);
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);
    EXPECT_EQ(DriverPool(), pool);
}

TEST_F(TransmitTest, WriteAtDispatchLevelIsRunFromAWorkerThread) {
    size_t pool = DriverPool();
    std::vector<uint8_t> data = Data(100);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0, Fdo(child), data.data(), static_cast<ULONG>(data.size()), nullptr,
                                             0, FALSE, &event, &iosb);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_WRITE;
    stack->Parameters.Write.Length = static_cast<ULONG>(data.size());
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS returned = IoCallDriver(Fdo(child), irp);
    KeLowerIrql(old);
    EXPECT_EQ(returned, STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 100u);
    ASSERT_EQ(Chunks().size(), 1u);
    EXPECT_EQ(Chunks()[0].data, data);
    EXPECT_EQ(DriverPool(), pool);  // the work item's record is gone
}

}  // namespace
}  // namespace qvtest
