// The wait-on-mask queue and the modem-status notifications that feed it:
// the one-slot rule, cancellation, the SERIAL_STATE decoding and its events,
// the modem-line image, and what a failing interrupt pipe leaves behind.
#include "port_fixture.h"

namespace qvtest {
namespace {

// UART state bits of a SERIAL_STATE notification.
constexpr USHORT kDcd = usbsim::kUartRxCarrier;
constexpr USHORT kDsr = usbsim::kUartTxCarrier;
constexpr USHORT kRing = usbsim::kUartRing;

class WaitMaskTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        OpenPort();
    }
};

TEST_F(WaitMaskTest, OneWaitAtATimeAndASecondIsRefusedWithoutDisturbingTheFirst) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Pending first, second;
    ASSERT_EQ(StartWait(first), STATUS_PENDING);
    EXPECT_EQ(StartWait(second), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.Done());
    Feed({'a'});
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Events(), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(WaitMaskTest, CancelledWaitEndsCancelledAndTheNextWaitIsAccepted) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    Cancel(wait);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));

    Pending next;
    ASSERT_EQ(StartWait(next), STATUS_PENDING);
    Feed({'a'});
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.Events(), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(WaitMaskTest, WaitCancelledBeforeItIsQueuedComesBackCancelled) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG events = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, Fdo(child), nullptr, 0, &events,
                                             sizeof(events), FALSE, &event, &iosb);
    irp->Cancel = TRUE;
    EXPECT_EQ(IoCallDriver(Fdo(child), irp), STATUS_CANCELLED);
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
    Pending next;
    EXPECT_EQ(StartWait(next), STATUS_PENDING);
    Cancel(next);
}

// Events reported while the I/O manager is already cancelling the wait (it
// has taken the cancel routine, which has not run yet): the report skips the
// wait, and the late cancel routine's unlink must not touch a wait queued
// in the meantime.
TEST_F(WaitMaskTest, EventsReportedWhileACancelIsUnderWaySkipTheWait) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    PIRP irp = CONTAINING_RECORD(pdx->WaitIrpQueue.Flink, IRP, Tail.Overlay.ListEntry);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    ASSERT_NE(routine, nullptr);

    kmodel::RunAsDriver(driver, [&] { CompletePendingWaitIrps(pdx, SERIAL_EV_RXCHAR); });
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(wait.Done());
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
    Pending next;
    ASSERT_EQ(StartWait(next), STATUS_PENDING);

    IoAcquireCancelSpinLock(&irp->CancelIrql);
    kmodel::RunAsDriver(driver, [&] { routine(Fdo(child), irp); });
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
    EXPECT_FALSE(IsListEmpty(&pdx->WaitIrpQueue));  // the new wait is still there
    Feed({'a'});
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.Events(), ULONG(SERIAL_EV_RXCHAR));
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
}

TEST_F(WaitMaskTest, SettingTheMaskEndsAPendingWaitWithNoEvents) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    SetWaitMask(SERIAL_EV_CTS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Information(), 4u);
    EXPECT_EQ(wait.Events(), 0u);
}

TEST_F(WaitMaskTest, EventsRecordedWithNoWaitPendingAreTakenByTheNextWaitOnce) {
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
    Feed({'a'});
    Notify(0);  // DSR goes: recorded beside the receive event
    EXPECT_EQ(pdx->EventHistory, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));
    Pending first, second;
    ASSERT_EQ(StartWait(first), STATUS_SUCCESS);
    EXPECT_EQ(first.Events(), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));
    ASSERT_EQ(StartWait(second), STATUS_PENDING);  // taken once, not again
    Cancel(second);
}

TEST_F(WaitMaskTest, ANewMaskClearsTheHistory) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Feed({'a'});
    SetWaitMask(SERIAL_EV_RXCHAR);
    EXPECT_EQ(pdx->EventHistory, 0u);
    Pending wait;
    EXPECT_EQ(StartWait(wait), STATUS_PENDING);
    Cancel(wait);
}

TEST_F(WaitMaskTest, EventsOutsideTheMaskAreNotRecorded) {
    SetWaitMask(SERIAL_EV_RING);
    Feed({'a'});
    Notify(kDsr | kDcd);
    EXPECT_EQ(pdx->EventHistory, 0u);
}

class StatusNotificationTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        ClearNotifications();  // the modem's power-up report: these tests send their own
        OpenPort();
    }
    ULONG ModemStatus() {
        ULONG status = 0xDEAD;
        EXPECT_EQ(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)), STATUS_SUCCESS);
        return status;
    }
    ULONG Errors() {
        SERIAL_STATUS status{};
        EXPECT_EQ(Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status)), STATUS_SUCCESS);
        return status.Errors;
    }
};

// One notification after another: the lines it leaves, the modem status
// GET_MODEMSTATUS reads, the events a wait for every event gets and the
// errors GET_COMMSTATUS then reports.
struct DecodingCase {
    const char* what;
    USHORT before;  // the UART state already reported
    USHORT state;   // the one that comes
    USHORT lines;   // ModemLines and GET_MODEMSTATUS afterwards
    ULONG events;
    ULONG errors;
};

const DecodingCase kDecoding[] = {
    {"carrier comes", kDsr, kDsr | kDcd, 0xB0, SERIAL_EV_RLSD, 0},
    {"the far end hangs up", kDsr | kDcd, kDsr, 0x30, SERIAL_EV_RLSD, 0},
    {"DSR goes", kDsr, 0, 0x10, SERIAL_EV_DSR, 0},
    {"DSR comes", 0, kDsr, 0x30, SERIAL_EV_DSR, 0},
    {"ring comes", kDsr, kDsr | kRing, 0x70, SERIAL_EV_RING, 0},
    {"ring goes: no event", kDsr | kRing, kDsr, 0x30, 0, 0},
    {"nothing changes: no event", kDsr | kDcd, kDsr | kDcd, 0xB0, 0, 0},
    {"break", kDsr, kDsr | usbsim::kUartBreak, 0x30, SERIAL_EV_BREAK, SERIAL_ERROR_BREAK},
    {"framing error", kDsr, kDsr | usbsim::kUartFraming, 0x30, SERIAL_EV_ERR, SERIAL_ERROR_FRAMING},
    {"parity error", kDsr, kDsr | usbsim::kUartParity, 0x30, SERIAL_EV_ERR, SERIAL_ERROR_PARITY},
    {"overrun", kDsr, kDsr | usbsim::kUartOverrun, 0x30, SERIAL_EV_ERR, SERIAL_ERROR_OVERRUN},
    {"carrier and DSR at once", 0, kDsr | kDcd, 0xB0, SERIAL_EV_DSR | SERIAL_EV_RLSD, 0},
};

TEST_F(StatusNotificationTest, SerialStateDecoding) {
    for (const DecodingCase& c : kDecoding) {
        SCOPED_TRACE(c.what);
        SetWaitMask(0);
        Notify(c.before);
        Errors();  // forget the last case's
        SetWaitMask(0x1FFF);
        Pending wait;
        ASSERT_EQ(StartWait(wait), STATUS_PENDING);
        Notify(c.state);
        if (c.events == 0) {
            EXPECT_FALSE(wait.Done());
            Cancel(wait);
        } else {
            ASSERT_TRUE(wait.Done());
            EXPECT_EQ(wait.Events(), c.events);
        }
        EXPECT_EQ(pdx->ModemLines, c.lines);
        EXPECT_EQ(ModemStatus(), ULONG(c.lines));
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(Errors(), 0u);  // cleared by reading them
    }
}

TEST_F(StatusNotificationTest, ErrorsAreCountedInTheStatistics) {
    Notify(kDsr | usbsim::kUartFraming | usbsim::kUartParity | usbsim::kUartOverrun);
    SERIALPERF_STATS stats{};
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)), STATUS_SUCCESS);
    EXPECT_EQ(stats.FrameErrorCount, 1u);
    EXPECT_EQ(stats.ParityErrorCount, 1u);
    EXPECT_EQ(stats.SerialOverrunErrorCount, 1u);
}

TEST_F(StatusNotificationTest, TheLinesOfTheLastReportOutliveTheOpen) {
    EXPECT_EQ(pdx->ModemLines, 0xB0);  // first open of the device: DSR and carrier assumed
    EXPECT_EQ(ModemStatus(), 0xB0u);
    Notify(kDsr | kDcd | kRing);
    ClosePort();
    OpenPort();
    EXPECT_EQ(pdx->ModemLines, 0xF0);
    EXPECT_EQ(ModemStatus(), 0xF0u);  // a call under way is seen at once
    Notify(kDsr);
    ClosePort();
    OpenPort();
    EXPECT_EQ(ModemStatus(), 0x30u);
    EXPECT_FALSE(pdx->CarrierOn);
}

TEST_F(StatusNotificationTest, WhatIsNotAWholeSerialStateChangesNothing) {
    Notify(kDsr);
    KIRQL irql;
    KeAcquireSpinLock(&world->lock, &irql);
    Modem().notifications.push_back({0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0});  // RESPONSE_AVAILABLE
    KeReleaseSpinLock(&world->lock, irql);
    Stack().faults(usbsim::kInterruptEndpoint).zeroLengthNext = 1;
    Stack().Poke();
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ModemStatus(), 0x30u);
}

TEST_F(StatusNotificationTest, AfterTheHostDropsDtrNotificationsKeepDcdClear) {
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(pdx->ModemLines & MODEM_LINE_DCD, 0);
    Notify(kDsr | kDcd);
    EXPECT_EQ(pdx->ModemLines & MODEM_LINE_DCD, 0);
    EXPECT_EQ(pdx->ModemStatusSnapshot & MODEM_LINE_DCD, MODEM_LINE_DCD);
}

TEST_F(StatusNotificationTest, FailedInterruptPipeMarksTheDeviceUntilDataOrTheNextOpenRecovers) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    size_t statusTransfers = log.Count(usbsim::kInterruptEndpoint);
    Stack().Stall(usbsim::kInterruptEndpoint);
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Events(), ULONG(SERIAL_EV_RLSD));
    EXPECT_EQ(pdx->DeviceErrorCode, DEVICE_ERROR_STATUS_PIPE_FAILED);
    EXPECT_EQ(pdx->EventHistory, 0u);
    EXPECT_EQ(pdx->PendingActionCount, 1);  // only the bulk-in transfer
    Notify(kDsr | kDcd | kRing);             // nobody reads it
    EXPECT_EQ(log.Count(usbsim::kInterruptEndpoint), statusTransfers);
    EXPECT_EQ(pdx->ModemLines, 0xB0);

    // Data on the bulk-in pipe withdraws the mark: the port opens again.
    Feed({'x'});
    EXPECT_EQ(pdx->DeviceErrorCode, 0);
    ClosePort();
    OpenPort();
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(pdx->ModemLines, 0xF0);  // the report parked in the device came in
    EXPECT_TRUE(pdx->CarrierOn);

    // Without that, the next open resets the interrupt pipe and goes on.
    Stack().Stall(usbsim::kInterruptEndpoint);
    kmodel::WaitForQuiescence();
    ClosePort();
    EXPECT_EQ(pdx->DeviceErrorCode, DEVICE_ERROR_STATUS_PIPE_FAILED);
    log.records.clear();
    OpenPort();
    EXPECT_EQ(log.Count(usbsim::kInterruptEndpoint, URB_FUNCTION_RESET_PIPE), 2u);  // recovery, then the open's own
    EXPECT_EQ(pdx->DeviceErrorCode, 0);
    EXPECT_EQ(pdx->PendingActionCount, 2);
}

}  // namespace
}  // namespace qvtest
