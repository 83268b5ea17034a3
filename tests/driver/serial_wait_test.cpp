// Waiting for serial events as applications do (SetCommMask, WaitCommEvent
// overlapped and not), what ends a queued wait and with which bits, purge,
// and a port whose device goes away.
#include "serial_port_fixture.h"

#include <atomic>
#include <cstring>

namespace qvtest {
namespace {

// ---- wait mask -------------------------------------------------------------------------------

using SerialWaitMask = SerialPortTest;

TEST_F(SerialWaitMask, MasksUpToEvent2AreAcceptedAndHigherBitsRefused) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, 0x1FFF));
    EXPECT_EQ(pdx->WaitMask, 0x1FFFu);
    for (DWORD refused : {0x2000u, 0x3FFFu, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(SetCommMask(port, refused)) << std::hex << refused;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(pdx->WaitMask, 0x1FFFu);
    }
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_EQ(pdx->WaitMask, 0u);

    // A caller with an output buffer gets the mask echoed.
    ULONG mask = EV_RXCHAR | EV_DSR;
    ULONG echo = 0;
    DWORD bytes = 0;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, &echo, 4, &bytes));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(echo, mask);
    // One whose buffer cannot hold it gets no bytes rather than four.
    uint8_t small[2] = {0xEE, 0xEE};
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, small, 2, &bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(small[0], 0xEE);
    EXPECT_EQ(small[1], 0xEE);
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 3, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(pdx->WaitMask, mask);
}

TEST_F(SerialWaitMask, WithNoMaskAWaitCompletesAtOnce) {
    OpenPort();
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD mask = 0xBAD;
    ASSERT_TRUE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(mask, 0u);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 4u);
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));

    // Too small a buffer is refused, even with a mask set: nothing is queued.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ULONG out = 0;
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &out, 3));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
}

TEST_F(SerialWaitMask, ANewMaskEndsAQueuedWaitWithZero) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    PendingWait wait;
    StartWait(&wait);
    EXPECT_FALSE(Done(&wait));
    EXPECT_FALSE(IsListEmpty(&pdx->WaitIrpQueue));
    // A refused mask changes nothing, the wait included.
    EXPECT_FALSE(SetCommMask(port, 0x2000));
    EXPECT_FALSE(Done(&wait));

    ASSERT_TRUE(SetCommMask(port, EV_CTS));
    EXPECT_TRUE(Done(&wait));  // completed before SetCommMask returned
    DWORD bytes = 0;
    ASSERT_TRUE(Finish(&wait, &bytes));
    EXPECT_EQ(wait.mask, 0u);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(pdx->WaitMask, static_cast<ULONG>(EV_CTS));
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
}

// Lowering DTR is not a carrier change: only the modem's report of one is.
TEST_F(SerialWaitMask, ClrDtrWithNoCallRaisesNoEvent) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RLSD));
    PendingWait wait;
    StartWait(&wait);
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_FALSE(Done(&wait));
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_DCD), 0);
    EXPECT_EQ(Sent(), (Lines{"SET_CONTROL_LINE_STATE 0x0001", "SET_CONTROL_LINE_STATE 0x0000"}));
    ASSERT_TRUE(SetCommMask(port, 0));
    ASSERT_TRUE(Finish(&wait));
}

TEST_F(SerialWaitMask, ReceivedDataEndsAQueuedWaitWithTheReceiveBitsOfTheMask) {
    OpenPort();
    ReadsReturnAtOnce(port);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RXFLAG | EV_RING | EV_BREAK));
    PendingWait wait;
    StartWait(&wait);
    EXPECT_EQ(WriteText(port, "AT\r"), 3u);  // the modem echoes and answers
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(Done(&wait));
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RXCHAR | EV_RXFLAG));
    EXPECT_EQ(ReadText(port), "AT\r\r\nOK\r\n");
}

TEST_F(SerialWaitMask, RX80FullIsReportedOnceTheBufferReachesTheMark) {
    OpenPort();
    ReadsReturnAtOnce(port);
    ASSERT_TRUE(SetCommMask(port, EV_RX80FULL));
    PendingWait wait;
    StartWait(&wait);
    ModemSends(std::string(3072 + 300, 'a'));
    // Three transfers fill 3072 bytes, below the mark, and the engine waits
    // for a reader.
    EXPECT_FALSE(Done(&wait));
    EXPECT_EQ(pdx->ReceiveCount, 3072u);
    // One byte read restarts it; the rest arrives and crosses the mark.
    EXPECT_EQ(ReadText(port, 1), "a");
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->ReceiveCount, 3371u);
    ASSERT_TRUE(Done(&wait));
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RX80FULL));
    EXPECT_EQ(ReadText(port).size(), 3371u);
}

TEST_F(SerialWaitMask, ANotificationEndsAQueuedWaitWithTheLineChangesOfTheMask) {
    using usbsim::kUartRing, usbsim::kUartRxCarrier, usbsim::kUartTxCarrier;
    OpenPort();  // the power-up report: DSR, no carrier
    PendingWait wait;

    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_RING | EV_RXCHAR));
    StartWait(&wait);
    ModemNotifies(kUartTxCarrier | kUartRing);
    ASSERT_TRUE(Done(&wait));
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RING));  // CTS did not change
    EXPECT_EQ(pdx->EventHistory, 0u);

    ASSERT_TRUE(SetCommMask(port, EV_RLSD));
    for (uint16_t state : {uint16_t(kUartTxCarrier | kUartRxCarrier), kUartTxCarrier}) {
        StartWait(&wait);
        ModemNotifies(state);
        ASSERT_TRUE(Done(&wait));
        ASSERT_TRUE(Finish(&wait));
        EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RLSD));
    }

    ASSERT_TRUE(SetCommMask(port, EV_DSR));
    StartWait(&wait);
    ModemNotifies(kUartTxCarrier | kUartRxCarrier);
    EXPECT_FALSE(Done(&wait));
    ModemNotifies(0);
    ASSERT_TRUE(Done(&wait));
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_DSR));
}

// Receive events raised while no wait is queued stay recorded, and the next
// wait completes at once with them; a new mask forgets them.
TEST_F(SerialWaitMask, EventsRecordedBeforeTheWaitAreReportedAtOnce) {
    OpenPort();
    ReadsReturnAtOnce(port);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ModemSends("hello");
    EXPECT_EQ(pdx->EventHistory, static_cast<ULONG>(EV_RXCHAR));
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(pdx->EventHistory, 0u);
    EXPECT_EQ(ReadText(port), "hello");
    // Reported once: the next wait is queued.
    PendingWait wait;
    StartWait(&wait);
    ASSERT_TRUE(SetCommMask(port, 0));
    ASSERT_TRUE(Finish(&wait));

    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ModemSends("again");
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
    EXPECT_EQ(pdx->EventHistory, 0u);
}

TEST_F(SerialWaitMask, ASecondWaitIsRefusedAndTheFirstStays) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    PendingWait wait;
    StartWait(&wait);
    OVERLAPPED ov{};
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ov.hEvent = second;
    DWORD mask = 0xBAD;
    EXPECT_FALSE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(mask, 0xBADu);
    EXPECT_FALSE(Done(&wait));
    ModemSends("x");
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_TRUE(CloseHandle(second));
    ReadsReturnAtOnce(port);
    EXPECT_EQ(ReadText(port), "x");
}

TEST_F(SerialWaitMask, CancelIoEndsAQueuedWaitAndTheNextIsAccepted) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    PendingWait wait;
    StartWait(&wait);
    ASSERT_TRUE(CancelIo(port));
    DWORD bytes = 0xBAD;
    EXPECT_FALSE(Finish(&wait, &bytes));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(wait.mask, 0xDEADBEEFu);
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
    StartWait(&wait);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, 0u);
}

TEST_F(SerialWaitMask, OnASynchronousHandleWaitCommEventBlocksUntilAnEvent) {
    OpenPort(0);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    std::atomic<bool> returned{false};
    BOOL ok = FALSE;
    DWORD mask = 0;
    kmodel::ModelThread application([&] {
        ok = WaitCommEvent(port, &mask, nullptr);
        returned = true;
    });
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(returned);
    ModemSends("RING");
    EXPECT_TRUE(returned);
    if (!returned) {
        CancelIoEx(port, nullptr);  // a failure: let the application go
    }
    application.Join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    ReadsReturnAtOnce(port);
    EXPECT_EQ(ReadText(port), "RING");
}

// ---- purge -------------------------------------------------------------------------------------

using SerialPurge = SerialPortTest;

TEST_F(SerialPurge, RxAbortCancelsAHeldRead) {
    OpenPort();
    COMMTIMEOUTS never{0, 0, 0, 0, 0};  // a read waits for data, however long
    ASSERT_TRUE(SetCommTimeouts(port, &never));
    char buffer[16];
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    DWORD read = 0xBAD;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof(buffer), &read, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // The other purges leave it.
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));

    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    ASSERT_TRUE(HasOverlappedIoCompleted(&ov));
    ASSERT_FALSE(GetOverlappedResult(port, &ov, &read, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));

    // A read queued after it is served by the next data as usual.
    ASSERT_FALSE(ReadFile(port, buffer, 4, &read, &ov));
    ModemSends("data");
    ASSERT_TRUE(HasOverlappedIoCompleted(&ov));
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &read, TRUE));
    EXPECT_EQ(std::string(buffer, read), "data");
}

TEST_F(SerialPurge, RxClearEmptiesTheReceiveBuffer) {
    OpenPort();
    ReadsReturnAtOnce(port);
    ModemSends("abcdef");
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    ModemSends("ghi");
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(pdx->ReceiveCount, 3u);
    ASSERT_TRUE(PurgeComm(port, 0xFFFFFFF0));  // undefined bits are not refused
    ASSERT_TRUE(PurgeComm(port, 0));
    EXPECT_EQ(ReadText(port), "ghi");
    ULONG flags = PURGE_RXABORT;
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_PURGE, &flags, 3, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    DWORD bytes = 0xBAD;
    EXPECT_TRUE(Ioctl(IOCTL_SERIAL_PURGE, &flags, 4, nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Sent(), Lines{});

    // A stalled engine, which no read would now restart, runs again.
    ModemSends(std::string(3072 + 10, 'x'));
    ASSERT_TRUE(pdx->ReceiveStalled);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(port), std::string(10, 'x'));
}

// ---- a device that goes away -------------------------------------------------------------------

using SerialRemoval = SerialPortTest;

// Unplugged: the failed status transfer ends the wait, then every request
// is refused.
TEST_F(SerialRemoval, UnplugEndsAQueuedWaitAndLaterRequestsAreRefused) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    PendingWait wait;
    StartWait(&wait);
    Stack().Unplug(bus.get(), child);
    ASSERT_TRUE(Done(&wait));
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RLSD));
    EXPECT_EQ(pdx->State, SurpriseRemoved);

    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetCommMask(port, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    ClosePort();
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
    deviceLives = false;
}

// Surprise removal reported while the device's transfers still run ends the
// queued wait at once with the carrier-change event; later requests are
// refused.
TEST_F(SerialRemoval, SurpriseRemovalEndsAQueuedWaitWithRlsd) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
    PendingWait wait;
    StartWait(&wait);
    kmodel::ReportDeviceMissing(child->node);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->State, SurpriseRemoved);
    // No early return from here on: the device must still go away.
    EXPECT_TRUE(Done(&wait));
    DWORD bytes = 0;
    if (Finish(&wait, &bytes)) {
        EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RLSD));
        EXPECT_EQ(bytes, 4u);
    }
    EXPECT_EQ(pdx->EventHistory, 0u);

    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // Refused before anything is sent, at either IRQL.
    EXPECT_FALSE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    IrpOutcome atDispatch = SendIrp(DISPATCH_LEVEL, IOCTL_SERIAL_SET_DTR, {}, 0);
    EXPECT_EQ(atDispatch.returned, STATUS_DELETE_PENDING);
    EXPECT_EQ(Sent(), Lines{});

    // Then the hardware goes too, and the last close lets removal finish.
    child->present = false;
    Stack().DeviceGone();
    kmodel::WaitForQuiescence();
    ClosePort();
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
    deviceLives = false;
}

}  // namespace
}  // namespace qvtest
