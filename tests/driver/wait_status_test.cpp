// The wait-on-mask queue and the modem-status notifications that feed it:
// the one-slot rule, cancellation, the exact event rules of a notification,
// the modem-line image, and what a failing interrupt pipe leaves behind.
#include "port_fixture.h"

namespace qvtest {
namespace {

// Notification byte 6: line state; byte 8: carrier.
constexpr UCHAR kLineDsr = 0x02;
constexpr UCHAR kLineRing = 0x08;
constexpr UCHAR kCarrierOn = 3;
constexpr UCHAR kCarrierOffDsr = 2;

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

TEST_F(WaitMaskTest, EventsRaisedWithNoWaitPendingAreLostAtTheNextNotification) {
    SetWaitMask(SERIAL_EV_CTS);
    Notify(kLineDsr, kCarrierOffDsr);
    EXPECT_EQ(pdx->EventHistory, 0u);
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    Notify(kLineDsr, kCarrierOffDsr);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Events(), ULONG(SERIAL_EV_CTS));  // CTS comes with every notification
}

class StatusNotificationTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        ClearNotifications();  // the modem's power-up report: these tests send their own
        OpenPort();
    }
    // Sends a notification with a wait pending; returns the events it got, or
    // ~0 when the wait is still pending (it is then ended by a mask change).
    ULONG EventsOf(UCHAR lineByte, UCHAR carrierByte) {
        Pending wait;
        EXPECT_EQ(StartWait(wait), STATUS_PENDING);
        Notify(lineByte, carrierByte);
        if (wait.Done()) {
            return wait.Events();
        }
        SetWaitMask(pdx->WaitMask);
        EXPECT_TRUE(wait.Done());
        return ~0u;
    }
};

TEST_F(StatusNotificationTest, LineByteSetsDsrAndRingWhichStaySetUntilTheNextOpen) {
    EXPECT_EQ(pdx->ModemLines, 0xB1);  // first open of the device: carrier assumed
    EXPECT_EQ(pdx->ModemStatusSnapshot, 0);  // nothing reported yet
    Notify(kLineDsr | kLineRing, 0);
    EXPECT_EQ(pdx->ModemLines, 0xF1);
    Notify(0x00, 0);
    EXPECT_EQ(pdx->ModemLines, 0xF1);
    EXPECT_EQ(pdx->ModemStatusSnapshot, 0x71);  // carrier byte 0: DCD clear in the snapshot only
    EXPECT_TRUE(pdx->StatusSeen);
    EXPECT_FALSE(pdx->CarrierOn);
    ClosePort();
    OpenPort();
    EXPECT_EQ(pdx->ModemLines, 0x31);  // no carrier at the last report
}

TEST_F(StatusNotificationTest, CarrierOfTheLastReportChoosesTheNextOpensLines) {
    Notify(kLineDsr, kCarrierOn);
    EXPECT_TRUE(pdx->CarrierOn);
    EXPECT_EQ(pdx->ModemStatusSnapshot, 0xB1);
    ULONG status = 0;
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)), STATUS_SUCCESS);
    EXPECT_EQ(status, 0xB1u);
    ClosePort();
    OpenPort();
    EXPECT_EQ(pdx->ModemLines, 0xB1);
    EXPECT_EQ(pdx->ModemStatusSnapshot, 0);

    Notify(kLineDsr, kCarrierOffDsr);
    EXPECT_FALSE(pdx->CarrierOn);
    EXPECT_EQ(pdx->ModemStatusSnapshot, 0x31);
    EXPECT_EQ(pdx->ModemLines, 0xB1);  // the image itself keeps DCD
    ClosePort();
    OpenPort();
    EXPECT_EQ(pdx->ModemLines, 0x31);
}

TEST_F(StatusNotificationTest, CtsAndRingRules) {
    SetWaitMask(SERIAL_EV_CTS);
    EXPECT_EQ(EventsOf(0x00, 0), ULONG(SERIAL_EV_CTS));
    EXPECT_EQ(EventsOf(0x00, kCarrierOn), ULONG(SERIAL_EV_CTS));

    SetWaitMask(SERIAL_EV_RING);
    EXPECT_EQ(EventsOf(kLineDsr, 0), ~0u);  // no ring reported yet
    EXPECT_EQ(EventsOf(kLineRing, 0), ULONG(SERIAL_EV_RING));
    EXPECT_EQ(EventsOf(0x00, 0), ULONG(SERIAL_EV_RING));  // RI stays set
}

TEST_F(StatusNotificationTest, DsrEventOnEachChangeOfTheCarrierBytesDsrBit) {
    SetWaitMask(SERIAL_EV_DSR);
    EXPECT_EQ(EventsOf(0, 2), ~0u);  // the remembered bit starts at 1
    EXPECT_EQ(EventsOf(0, 0), ULONG(SERIAL_EV_DSR));
    EXPECT_EQ(EventsOf(0, 1), ~0u);
    EXPECT_EQ(EventsOf(0, 3), ULONG(SERIAL_EV_DSR));
    EXPECT_EQ(EventsOf(0, 3), ~0u);
    ClosePort();
    OpenPort();
    SetWaitMask(SERIAL_EV_DSR);
    EXPECT_EQ(EventsOf(0, 1), ULONG(SERIAL_EV_DSR));  // back to 1 at the open
}

TEST_F(StatusNotificationTest, CarrierByteTwoRaisesRlsdOnlyForTheExactMask0x0432) {
    SetWaitMask(0x0433);
    EXPECT_EQ(EventsOf(0, kCarrierOffDsr), ~0u);
    SetWaitMask(SERIAL_EV_RLSD);
    EXPECT_EQ(EventsOf(0, kCarrierOffDsr), ~0u);
    EXPECT_EQ(EventsOf(0, kCarrierOn), ~0u);  // carrier changes are not RLSD
    EXPECT_EQ(EventsOf(0, 0), ~0u);
    SetWaitMask(0x0432);
    EXPECT_EQ(EventsOf(0, kCarrierOffDsr), ULONG(SERIAL_EV_RLSD));
}

TEST_F(StatusNotificationTest, WithNoMaskNotificationsKeepTheImageRaiseNothingAndClearTheHistory) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Feed({'a'});
    ASSERT_EQ(pdx->EventHistory, ULONG(SERIAL_EV_RXCHAR));  // no wait to take it
    SetWaitMask(0);
    Notify(kLineRing, kCarrierOn);
    EXPECT_EQ(pdx->ModemLines, 0xF1);
    EXPECT_EQ(pdx->ModemStatusSnapshot, 0xF1);
    EXPECT_TRUE(pdx->CarrierOn);
    // The receive event recorded before was reported, to nobody, and dropped.
    Pending wait;
    ASSERT_EQ(StartWait(wait), STATUS_SUCCESS);  // no mask: answered at once
    EXPECT_EQ(wait.Events(), 0u);
}

TEST_F(StatusNotificationTest, AfterTheHostDropsDtrNotificationsKeepDcdClear) {
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(pdx->ModemLines & MODEM_LINE_DCD, 0);
    Notify(kLineDsr, kCarrierOn);
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
    Notify(kLineRing, kCarrierOn);           // nobody reads it
    EXPECT_EQ(log.Count(usbsim::kInterruptEndpoint), statusTransfers);
    EXPECT_EQ(pdx->ModemLines, 0xB1);

    // Data on the bulk-in pipe withdraws the mark: the port opens again.
    Feed({'x'});
    EXPECT_EQ(pdx->DeviceErrorCode, 0);
    ClosePort();
    OpenPort();
    EXPECT_EQ(pdx->PendingActionCount, 2);
    EXPECT_EQ(pdx->ModemLines, 0xF1);  // the report parked in the device came in
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
