// The modem's lines and events as a modem application sees them through the
// comm API: a call the far end hangs up, a ring, closing the port in a call,
// the handflow driving DTR and RTS, line errors, the transmit-empty event,
// the port's properties, and an open that belongs to its own file.
#include "port_fixture.h"
#include "serial_port_fixture.h"

#include <cstring>

namespace qvtest {
namespace {

class ModemLines : public SerialPortTest {
protected:
    // COM6, on a second modem, for the far end of a call.
    HANDLE OpenPeer() {
        EXPECT_NE(PlugAnotherModem(u"COM6", "5552000"), nullptr);
        peer = CreateFileW(u"\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(peer, INVALID_HANDLE_VALUE);
        ApplyCommSettings(peer, "baud=115200 parity=N data=8 stop=1");
        ReadsReturnAtOnce(peer);
        return peer;
    }
    // COM6 calls COM5, which answers.
    void CallUp() {
        OpenPeer();
        ReadsReturnAtOnce(port);
        WriteText(peer, "ATE0D5551000\r");
        kmodel::WaitForQuiescence();
        WriteText(port, "ATA\r");
        kmodel::WaitForQuiescence();
        ASSERT_TRUE(Stack(0).modem().carrier());
        ReadText(port);
        ReadText(peer);
    }
    DWORD ModemStatus() {
        DWORD status = 0xBAD;
        EXPECT_TRUE(GetCommModemStatus(port, &status));
        return status;
    }
    void ModemLineFault(uint16_t irregular) {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Stack(0).modem().LineFault(irregular);
        KeReleaseSpinLock(&world->lock, irql);
        Stack(0).Poke();
        kmodel::WaitForQuiescence();
    }
    void TearDown() override {
        if (peer != INVALID_HANDLE_VALUE) {
            CloseHandle(peer);
            kmodel::WaitForQuiescence();
        }
        SerialPortTest::TearDown();
    }
    HANDLE peer = INVALID_HANDLE_VALUE;
};

TEST_F(ModemLines, AHangUpByTheFarEndWakesAWaitForEvRlsd) {
    OpenPort();
    ApplyCommSettings(port, "baud=115200 parity=N data=8 stop=1");
    CallUp();
    EXPECT_TRUE(ModemStatus() & MS_RLSD_ON);
    ASSERT_TRUE(SetCommMask(port, EV_RLSD));
    PendingWait wait;
    StartWait(&wait);
    ASSERT_TRUE(CloseHandle(peer));  // its DTR drops: the far end hangs up
    peer = INVALID_HANDLE_VALUE;
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RLSD));
    EXPECT_FALSE(ModemStatus() & MS_RLSD_ON);
    EXPECT_EQ(ReadText(port), "\r\nNO CARRIER\r\n");
}

TEST_F(ModemLines, ARingIsSeenAsEvRingAndMsRingOn) {
    OpenPort();
    OpenPeer();
    ASSERT_TRUE(SetCommMask(port, EV_RING | EV_RLSD));
    PendingWait wait;
    StartWait(&wait);
    WriteText(peer, "ATD5551000\r");
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RING));
    EXPECT_TRUE(ModemStatus() & MS_RING_ON);
    // Answered: ring goes (no event), carrier comes.
    StartWait(&wait);
    WriteText(port, "ATA\r");
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_RLSD));
    EXPECT_EQ(ModemStatus() & (MS_RING_ON | MS_RLSD_ON), static_cast<DWORD>(MS_RLSD_ON));
}

// AT&D2: the modem hangs up when DTR drops, which closing the port does.
TEST_F(ModemLines, ClosingThePortInACallHangsUp) {
    OpenPort();
    ApplyCommSettings(port, "baud=115200 parity=N data=8 stop=1");
    ReadsReturnAtOnce(port);
    WriteText(port, "AT&D2\r");
    kmodel::WaitForQuiescence();
    CallUp();
    ClosePort();
    EXPECT_FALSE(Stack(0).modem().carrier());
    EXPECT_FALSE(Stack(1).modem().carrier());
    EXPECT_EQ(ReadText(peer), "\r\nNO CARRIER\r\n");
}

// A port opened again in a call (DTR never raised, so the close left the
// call up) reports the call's lines at once.
TEST_F(ModemLines, AReopenReportsTheLinesOfTheCallUnderWay) {
    OpenPort();
    CallUp();
    ClosePort();
    ASSERT_TRUE(Stack(0).modem().carrier());
    OpenPort();
    EXPECT_EQ(ModemStatus(), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
}

// The lines a SET_HANDFLOW asks for, and the one SET_CONTROL_LINE_STATE
// (both lines) that a change of them sends.
struct HandflowCase {
    ULONG controlHandShake;
    ULONG flowReplace;
    bool dtr;
    bool rts;
};

const HandflowCase kHandflows[] = {
    {SERIAL_DTR_CONTROL, 0, true, false},
    {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, true, true},
    {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, true, true},
    {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, true, true},
    {0, SERIAL_RTS_HANDSHAKE, false, true},
    {0, SERIAL_TRANSMIT_TOGGLE, false, false},
    {SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, true, false},
    {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_XOFF_CONTINUE, true, true},
    {0, 0, false, false},
};

TEST_F(ModemLines, TheHandflowDrivesDtrAndRts) {
    OpenPort();
    bool dtr = false, rts = false;
    for (const HandflowCase& c : kHandflows) {
        SCOPED_TRACE(testing::Message() << std::hex << c.controlHandShake << " " << c.flowReplace);
        Forget();
        ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{c.controlHandShake, c.flowReplace, 0, 0}));
        if (c.dtr == dtr && c.rts == rts) {
            EXPECT_EQ(Sent(), Lines{});
        } else {
            char line[40];
            std::snprintf(line, sizeof(line), "SET_CONTROL_LINE_STATE 0x%04X", (c.dtr ? 1 : 0) | (c.rts ? 2 : 0));
            EXPECT_EQ(Sent(), Lines{line});
        }
        dtr = c.dtr;
        rts = c.rts;
        EXPECT_EQ(Stack(0).modem().dtr(), c.dtr);
        EXPECT_EQ(Stack(0).modem().rts(), c.rts);
        EXPECT_EQ(pdx->DtrAsserted != FALSE, c.dtr);
        SERIAL_HANDFLOW back{};
        ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &back, sizeof(back)));
        EXPECT_EQ(back.ControlHandShake, c.controlHandShake);
        EXPECT_EQ(back.FlowReplace, c.flowReplace);
    }
}

TEST_F(ModemLines, LineErrorsAndBreaksAreEventsAndComErrorsReportedOnce) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_ERR | EV_BREAK | EV_RXCHAR));
    PendingWait wait;
    StartWait(&wait);
    ModemLineFault(usbsim::kUartBreak | usbsim::kUartFraming | usbsim::kUartOverrun);
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_ERR | EV_BREAK));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN));
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    ModemLineFault(usbsim::kUartParity);
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXPARITY));
}

TEST_F(ModemLines, EvTxEmptyFollowsTheLastWrite) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_TXEMPTY));
    PendingWait wait;
    StartWait(&wait);
    EXPECT_EQ(WriteText(port, "AT\r"), 3u);
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(Finish(&wait));
    EXPECT_EQ(wait.mask, static_cast<DWORD>(EV_TXEMPTY));
}

TEST_F(ModemLines, ThePropertiesAreThoseOfAModemPort) {
    OpenPort();
    COMMPROP prop;
    std::memset(&prop, 0x5A, sizeof(prop));
    ASSERT_TRUE(GetCommProperties(port, &prop));
    EXPECT_EQ(prop.wPacketLength, sizeof(SERIAL_COMMPROP));
    EXPECT_EQ(prop.wPacketVersion, 2);
    EXPECT_EQ(prop.dwServiceMask, static_cast<DWORD>(SP_SERIALCOMM));
    EXPECT_EQ(prop.dwMaxTxQueue, 0u);
    EXPECT_EQ(prop.dwMaxRxQueue, static_cast<DWORD>(RECEIVE_BUFFER_SIZE));
    EXPECT_EQ(prop.dwMaxBaud, static_cast<DWORD>(BAUD_USER));
    EXPECT_EQ(prop.dwProvSubType, static_cast<DWORD>(PST_MODEM));
    EXPECT_EQ(prop.dwProvCapabilities, static_cast<DWORD>(PCF_DTRDSR | PCF_RLSD | PCF_TOTALTIMEOUTS));
    EXPECT_EQ(prop.dwSettableParams,
              static_cast<DWORD>(SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS));
    for (DWORD baud : {BAUD_075, BAUD_300, BAUD_9600, BAUD_115200, BAUD_128K, BAUD_USER}) {
        EXPECT_TRUE(prop.dwSettableBaud & baud) << std::hex << baud;
    }
    EXPECT_EQ(prop.wSettableData, DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8);
    EXPECT_EQ(prop.wSettableStopParity, STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                                            PARITY_EVEN | PARITY_MARK | PARITY_SPACE);
    EXPECT_EQ(prop.dwCurrentTxQueue, 0u);
    EXPECT_EQ(prop.dwCurrentRxQueue, static_cast<DWORD>(RECEIVE_BUFFER_SIZE));
}

// ---- the open belongs to its file -------------------------------------------------------------

// A cleanup and close for a file whose create the driver never accepted
// (Wine sends them for a refused create) must leave the open alone.
class StrayFileTest : public PortTest {
protected:
    static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID context) {
        *static_cast<bool*>(context) = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    NTSTATUS SendForFile(UCHAR major, PFILE_OBJECT stray) {
        PDEVICE_OBJECT fdo = Fdo(child);
        PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->FileObject = stray;
        bool done = false;
        IoSetCompletionRoutine(irp, Done, &done, TRUE, TRUE, TRUE);
        IoCallDriver(fdo, irp);
        kmodel::WaitForQuiescence();
        EXPECT_TRUE(done);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }
};

TEST_F(StrayFileTest, CleanupAndCloseOfAnotherFileTouchNothing) {
    OpenPort();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    SetTimeouts(MAXULONG, 0, 0);
    FILE_OBJECT stray{};
    EXPECT_EQ(SendForFile(IRP_MJ_CLEANUP, &stray), STATUS_SUCCESS);
    EXPECT_EQ(SendForFile(IRP_MJ_CLOSE, &stray), STATUS_SUCCESS);
    EXPECT_EQ(pdx->OpenCount, 1);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);
    EXPECT_FALSE(pdx->Closing);
    EXPECT_TRUE(Modem().dtr());
    Feed({'o', 'k'});
    EXPECT_EQ(ReadNow(2), (std::vector<uint8_t>{'o', 'k'}));
    ClosePort();
    EXPECT_EQ(pdx->OpenCount, 0);
    OpenPort();  // and the port opens again
}

}  // namespace
}  // namespace qvtest
