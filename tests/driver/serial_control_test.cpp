// The serial settings as an application drives them through the Win32 comm
// API on the real driver: baud rate, line control, the DTR and RTS lines,
// break, special characters, handflow, timeouts, statistics, the status
// records, and the control codes that succeed without doing anything. What
// reaches the modem is checked on the bus; internal rules in the extension.
#include "serial_port_fixture.h"

#include <cstring>

namespace qvtest {
namespace {

ULONG GetBaud(SerialPortTest* t) {
    SERIAL_BAUD_RATE baud{0xBAD};
    DWORD bytes = 0;
    EXPECT_TRUE(t->Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud), &bytes));
    EXPECT_EQ(bytes, sizeof(SERIAL_BAUD_RATE));
    return baud.BaudRate;
}

// ---- baud rate -----------------------------------------------------------------------------

using SerialBaudRate = SerialPortTest;

// Every rate from 50 to 921600 is taken and reaches the modem in its line
// coding at once; any other leaves both the port and the modem as they were.
struct RateCase {
    ULONG rate;
    bool accepted;
};

const RateCase kRates[] = {
    {9600, true},   {50, true},      {75, true},     {110, true},     {300, true},     {56000, true},
    {128000, true}, {230400, true},  {460800, true}, {921600, true},  {115200, true},  {0, false},
    {49, false},    {921601, false}, {1000000, false}, {0xFFFFFFFF, false},
};

TEST_F(SerialBaudRate, RatesFrom50To921600AreTakenAndSentToTheModem) {
    OpenPort();
    ULONG current = DEFAULT_BAUD_RATE;
    for (const RateCase& c : kRates) {
        SCOPED_TRACE(c.rate);
        Forget();
        DWORD bytes = 0xBAD;
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &c.rate, 4, nullptr, 0, &bytes) != FALSE, c.accepted);
        EXPECT_EQ(bytes, 0u);
        if (c.accepted) {
            current = c.rate;
            EXPECT_EQ(Sent(), Lines{"SET_LINE_CODING " + std::to_string(c.rate) + " 0 0 8"});
        } else {
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
            EXPECT_EQ(Sent(), Lines{});
        }
        EXPECT_EQ(GetBaud(this), current);
        EXPECT_EQ(Stack().modem().lineCoding().rate, current);
    }
}

TEST_F(SerialBaudRate, TheRateTheModemHasIsNotSentAgain) {
    OpenPort();
    ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}));
    Forget();
    ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}));
    EXPECT_EQ(Sent(), Lines{});
    // Too short a buffer is judged before the value.
    ULONG rate = 9600;
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, 2, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    rate = 0;
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, 3, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(SerialBaudRate, ARateTheModemCouldNotBeToldIsNotTaken) {
    OpenPort();
    kmodel::FaultPlan plan;  // no pool for the line coding's transfer
    plan.kinds = kmodel::kPoolAllocation;
    plan.driver = driver;
    plan.failNth = 1;
    kmodel::SetFaultPlan(plan);
    EXPECT_FALSE(IoctlIn(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}));
    kmodel::ClearFaultPlan();
    EXPECT_EQ(Sent(), Lines{});
    EXPECT_EQ(GetBaud(this), ULONG(DEFAULT_BAUD_RATE));
    EXPECT_EQ(pdx->LineCoding.DataRate, ULONG(DEFAULT_BAUD_RATE));
}

TEST_F(SerialBaudRate, EveryOpenStartsAtTheDefaultRateAndTellsTheModem) {
    OpenPort();
    EXPECT_EQ(GetBaud(this), 115200u);
    ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{57600}));
    ClosePort();
    OpenPort();
    EXPECT_EQ(GetBaud(this), 115200u);
    EXPECT_EQ(Stack().modem().lineCoding().rate, 115200u);
}

// "Change one field, keep the rest": the state read back is one the port takes.
TEST_F(SerialBaudRate, GetCommStateThenSetCommStateWithTheSameDcbSucceeds) {
    OpenPort();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    DCB after{};
    ASSERT_TRUE(GetCommState(port, &after));
    EXPECT_EQ(std::memcmp(&after, &dcb, sizeof(DCB)), 0);
}

TEST_F(SerialBaudRate, OpenAt230400AndTheModemRunsAt230400) {
    OpenPort();
    DCB dcb = ApplyCommSettings(port, "baud=230400 parity=N data=8 stop=1");
    EXPECT_EQ(dcb.BaudRate, 230400u);
    EXPECT_EQ(Stack().modem().lineCoding().rate, 230400u);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 230400u);
}

TEST_F(SerialBaudRate, AParityChangeRoundTrips) {
    OpenPort();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.Parity = EVENPARITY;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_EQ(Stack().modem().lineCoding().parity, EVEN_PARITY);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.BaudRate, 115200u);
}

// ---- line control --------------------------------------------------------------------------

using SerialLineControl = SerialPortTest;

TEST_F(SerialLineControl, TheFirstLineRequestOnAFreshDeviceCarriesThePortsRate) {
    OpenPort();
    DWORD bytes = 0xBAD;
    SERIAL_LINE_CONTROL line{STOP_BIT_1, ODD_PARITY, 7};
    EXPECT_TRUE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Sent(), Lines{"SET_LINE_CODING 115200 0 1 7"});
    EXPECT_EQ(Stack().modem().lineCoding().rate, 115200u);
}

TEST_F(SerialLineControl, GetReadsTheModemAndTheNextSetSendsItsRateBack) {
    OpenPort();
    uint8_t out[3] = {0xEE, 0xEE, 0xEE};
    DWORD bytes = 0;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, out, 3, &bytes));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{STOP_BIT_1, NO_PARITY, 8}));
    EXPECT_EQ(Sent(), Lines{"GET_LINE_CODING"});
    EXPECT_EQ(pdx->LineCoding.DataRate, 115200u);

    SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
    ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_LINE_CONTROL, line));
    EXPECT_EQ(Sent(), (Lines{"GET_LINE_CODING", "SET_LINE_CODING 115200 2 2 7"}));
    EXPECT_EQ(Stack().modem().lineCoding().rate, 115200u);
    EXPECT_EQ(Stack().modem().lineCoding().stopBits, STOP_BITS_2);
    EXPECT_EQ(Stack().modem().lineCoding().parity, EVEN_PARITY);
    EXPECT_EQ(Stack().modem().lineCoding().dataBits, 7);

    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, out, 3, &bytes));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{STOP_BITS_2, EVEN_PARITY, 7}));
}

TEST_F(SerialLineControl, EveryValueOfTheTablesIsAccepted) {
    OpenPort();
    for (UCHAR bits : {8, 7, 6, 5}) {
        for (UCHAR stop : {STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2}) {
            for (UCHAR parity : {NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY}) {
                Forget();
                SERIAL_LINE_CONTROL line{stop, parity, bits};
                ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_LINE_CONTROL, line));
                EXPECT_EQ(Sent(), Lines{"SET_LINE_CODING 115200 " + std::to_string(stop) + " " + std::to_string(parity) +
                                        " " + std::to_string(bits)});
            }
        }
    }
}

// The modem runs at the rate the application asked for.
TEST_F(SerialLineControl, SetCommStateSendsTheLineWithTheRateAskedFor) {
    OpenPort();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONE5STOPBITS;
    Forget();
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(Sent(), (Lines{"GET_LINE_CODING", "SET_LINE_CODING 9600 0 0 8", "SET_CONTROL_LINE_STATE 0x0000",
                             "SET_LINE_CODING 9600 1 1 7"}));
    EXPECT_EQ(Stack().modem().lineCoding().rate, 9600u);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 9600u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, ODDPARITY);
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);
}

TEST_F(SerialLineControl, RefusedValuesSendNothingAndLeaveTheRemoveLockFree) {
    OpenPort();
    SERIAL_LINE_CONTROL line{STOP_BITS_2, ODD_PARITY, 6};
    ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_LINE_CONTROL, line));
    Forget();
    const LINE_CODING before = pdx->LineCoding;
    const LONG usage = pdx->RemoveLock.Usage;  // the device's own and the open's
    EXPECT_EQ(usage, 2);

    const SERIAL_LINE_CONTROL refused[] = {
        {STOP_BIT_1, NO_PARITY, 4}, {STOP_BIT_1, NO_PARITY, 9}, {3, NO_PARITY, 8},   {STOP_BIT_1, 5, 8},
        {STOP_BIT_1, NO_PARITY, 0}, {0xFF, 0xFF, 0xFF},          {STOP_BIT_1, 17, 8}, {17, NO_PARITY, 17},
    };
    for (const SERIAL_LINE_CONTROL& bad : refused) {
        DWORD bytes = 0xBAD;
        EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &bad, sizeof(bad), nullptr, 0, &bytes));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(std::memcmp(&pdx->LineCoding, &before, sizeof(LINE_CODING)), 0);
        EXPECT_EQ(pdx->RemoveLock.Usage, usage);
    }
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &line, 2, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    // SetCommState judges the DCB first and sends nothing for a bad one.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    Forget();
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 4;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(pdx->BaudRate, ULONG(DEFAULT_BAUD_RATE));
    EXPECT_EQ(Sent(), Lines{});
    EXPECT_EQ(pdx->RemoveLock.Usage, usage);

    // Nothing was left holding the lock: removal goes through at once.
    ClosePort();
    EXPECT_EQ(pdx->RemoveLock.Usage, 1);
    EXPECT_EQ(kmodel::RemoveDevice(child->node), STATUS_SUCCESS);
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
    deviceLives = false;
}

// ---- DTR and RTS ---------------------------------------------------------------------------

using SerialControlLines = SerialPortTest;

// Each request sends the combined state of both lines, with its own changed.
TEST_F(SerialControlLines, EachRequestSendsBothLinesWithItsOwnChanged) {
    OpenPort();
    auto& modem = Stack().modem();
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    EXPECT_TRUE(modem.dtr());
    EXPECT_FALSE(modem.rts());
    EXPECT_TRUE(pdx->DtrAsserted);
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_RTS), MODEM_LINE_DTR);

    ASSERT_TRUE(EscapeCommFunction(port, SETRTS));  // after DTR: DTR stays up
    EXPECT_TRUE(modem.dtr());
    EXPECT_TRUE(modem.rts());
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_RTS), MODEM_LINE_DTR | MODEM_LINE_RTS);

    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
    EXPECT_TRUE(modem.dtr());
    EXPECT_FALSE(modem.rts());
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_RTS), MODEM_LINE_DTR);

    ASSERT_TRUE(EscapeCommFunction(port, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_FALSE(modem.dtr());
    EXPECT_TRUE(modem.rts());
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_RTS), MODEM_LINE_RTS);

    EXPECT_EQ(Sent(), (Lines{"SET_CONTROL_LINE_STATE 0x0001", "SET_CONTROL_LINE_STATE 0x0003",
                             "SET_CONTROL_LINE_STATE 0x0001", "SET_CONTROL_LINE_STATE 0x0003",
                             "SET_CONTROL_LINE_STATE 0x0002"}));
    DWORD bytes = 0xBAD;
    EXPECT_TRUE(Ioctl(IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(SerialControlLines, ClrDtrBeforeAnySetDtrSendsNothing) {
    OpenPort();
    const USHORT lines = pdx->ModemLines;
    EXPECT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_TRUE(Ioctl(IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0));
    EXPECT_EQ(Sent(), Lines{});
    EXPECT_FALSE(pdx->DtrDroppedByHost);
    EXPECT_EQ(pdx->ModemLines, lines);
}

TEST_F(SerialControlLines, ClrDtrAfterSetDtrDropsDtrAndCarrier) {
    OpenPort();
    ModemNotifies(usbsim::kUartTxCarrier | usbsim::kUartRxCarrier);
    Forget();
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_DCD), MODEM_LINE_DTR | MODEM_LINE_DCD);
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_EQ(Sent(), (Lines{"SET_CONTROL_LINE_STATE 0x0001", "SET_CONTROL_LINE_STATE 0x0000"}));
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_DCD), 0);
    EXPECT_FALSE(pdx->DtrAsserted);
    EXPECT_TRUE(pdx->DtrDroppedByHost);
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_TRUE(stat.fRlsdHold);
    // Lowered once: a second CLR_DTR has nothing to lower.
    Forget();
    EXPECT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_EQ(Sent(), Lines{});
    // A notification reporting carrier leaves DCD clear in the line image
    // while the host keeps DTR down; the modem status still reports it.
    ModemNotifies(usbsim::kUartTxCarrier | usbsim::kUartRxCarrier);
    EXPECT_EQ(pdx->ModemLines & MODEM_LINE_DCD, 0);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_TRUE(status & MS_RLSD_ON);
}

TEST_F(SerialControlLines, TheDtrHandshakeRefusesDtrRequestsAndSendsNothing) {
    OpenPort();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    Forget();
    ASSERT_TRUE(SetCommState(port, &dcb));
    // Under the handshake SetCommState leaves DTR to the driver, whose
    // handflow raises it: this port is always ready to receive.
    EXPECT_EQ(Sent(), (Lines{"GET_LINE_CODING", "SET_LINE_CODING 9600 0 0 8", "SET_CONTROL_LINE_STATE 0x0002",
                             "SET_LINE_CODING 9600 0 0 8", "SET_CONTROL_LINE_STATE 0x0003"}));
    EXPECT_EQ(pdx->HandFlow.ControlHandShake & SERIAL_DTR_MASK, static_cast<ULONG>(SERIAL_DTR_HANDSHAKE));

    Forget();
    EXPECT_FALSE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(EscapeCommFunction(port, CLRDTR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(pdx->DtrAsserted);
    // RTS has no handshake test.
    EXPECT_TRUE(EscapeCommFunction(port, SETRTS));
    EXPECT_EQ(Sent(), Lines{"SET_CONTROL_LINE_STATE 0x0003"});

    // Only the DTR field of ControlHandShake counts.
    for (ULONG control : {0x00000002u, 0x0000000Au, 0xFFFFFFFEu}) {
        ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{control, 0, 0, 0}));
        Forget();
        EXPECT_FALSE(EscapeCommFunction(port, SETDTR)) << control;
        EXPECT_EQ(Sent(), Lines{}) << control;
    }
    for (ULONG control : {0x00000000u, 0x00000001u, 0x00000003u, 0xFFFFFFFDu}) {
        ASSERT_TRUE(IoctlIn(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{control, 0, 0, 0}));
        Forget();
        EXPECT_TRUE(EscapeCommFunction(port, SETDTR)) << control;
        EXPECT_EQ(Sent(), Lines{"SET_CONTROL_LINE_STATE 0x0001"}) << control;  // FlowReplace 0: RTS down
    }
}

// Windows raises RTS, then DTR; the modem ends with both up, as the
// driver's image has them.
TEST_F(SerialControlLines, SetCommStateRaisesRtsThenDtr) {
    OpenPort();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    ASSERT_TRUE(BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &dcb));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    Forget();
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(Sent(), (Lines{"GET_LINE_CODING", "SET_CONTROL_LINE_STATE 0x0002", "SET_CONTROL_LINE_STATE 0x0003",
                             "SET_LINE_CODING 115200 0 0 8"}));
    EXPECT_TRUE(Stack().modem().dtr());
    EXPECT_TRUE(Stack().modem().rts());
    EXPECT_EQ(pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_RTS), MODEM_LINE_DTR | MODEM_LINE_RTS);
    EXPECT_EQ(pdx->BaudRate, 115200u);
}

// ---- break -----------------------------------------------------------------------------------

using SerialBreak = SerialPortTest;

TEST_F(SerialBreak, BreakOnLastsUntilBreakOff) {
    OpenPort();
    ASSERT_TRUE(SetCommBreak(port));
    EXPECT_TRUE(Stack().modem().breakOn());
    ASSERT_TRUE(ClearCommBreak(port));
    EXPECT_FALSE(Stack().modem().breakOn());
    ASSERT_TRUE(EscapeCommFunction(port, SETBREAK));
    EXPECT_TRUE(Stack().modem().breakOn());
    ASSERT_TRUE(EscapeCommFunction(port, CLRBREAK));
    EXPECT_FALSE(Stack().modem().breakOn());
    EXPECT_EQ(Stack().modem().breaks(), 2);
    EXPECT_EQ(Sent(), (Lines{"SEND_BREAK 0xFFFF", "SEND_BREAK 0x0000", "SEND_BREAK 0xFFFF", "SEND_BREAK 0x0000"}));
    DWORD bytes = 0xBAD;
    EXPECT_TRUE(Ioctl(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
}

// ---- special characters, handflow, timeouts ------------------------------------------------

using SerialSettings = SerialPortTest;

TEST_F(SerialSettings, SpecialCharactersAreStoredAndReturnedUnjudged) {
    OpenPort();
    // XonChar equal to XoffChar: not the driver's concern.
    const SERIAL_CHARS chars{0x1A, 0x3F, 0x7E, 0x0D, 0x11, 0x11};
    DWORD bytes = 0xBAD;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
    SERIAL_CHARS back{};
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &back, sizeof(back), &bytes));
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(Bytes(back), Bytes(chars));

    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EvtChar, 0x0D);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x11);
    dcb.BaudRate = CBR_19200;
    dcb.XonChar = 0x12;
    dcb.XoffChar = 0x14;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &back, sizeof(back), &bytes));
    // The DCB has no break character: the one stored stays.
    EXPECT_EQ(Bytes(back), Bytes(SERIAL_CHARS{0x1A, 0x3F, 0x7E, '\n', 0x12, 0x14}));

    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, 5, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &back, 5));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Bytes(pdx->SpecialChars), Bytes(SERIAL_CHARS{0x1A, 0x3F, 0x7E, '\n', 0x12, 0x14}));
}

// Only ControlHandShake and FlowReplace are kept; the limits read as zero,
// never as whatever the request's buffer held.
TEST_F(SerialSettings, HandflowKeepsTwoFieldsAndReportsZeroLimits) {
    OpenPort();
    const SERIAL_HANDFLOW set{0x80000041, 0x12345687, 2048, 512};
    DWORD bytes = 0xBAD;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &set, sizeof(set), nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(pdx->HandFlow.ControlHandShake, 0x80000041u);
    EXPECT_EQ(pdx->HandFlow.FlowReplace, 0x12345687u);

    // The input lands in the same system buffer the reply is built in.
    std::vector<uint8_t> buffer(sizeof(SERIAL_HANDFLOW), 0xEE);
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, buffer.data(), 16, buffer.data(), 16, &bytes));
    EXPECT_EQ(bytes, 16u);
    EXPECT_EQ(buffer, Bytes(SERIAL_HANDFLOW{0x80000041, 0x12345687, 0, 0}));

    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.XonLim, 0);
    EXPECT_EQ(dcb.XoffLim, 0);
    dcb.BaudRate = CBR_9600;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.XonLim, 0);
    EXPECT_EQ(back.XoffLim, 0);
    EXPECT_TRUE(back.fOutxCtsFlow);
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));

    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &set, 15, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, buffer.data(), 15));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(SerialSettings, TimeoutsAreStoredAndReturnedWhole) {
    OpenPort();
    COMMTIMEOUTS set{MAXDWORD, MAXDWORD, MAXDWORD - 1, 7, 0x12345678};  // nothing is judged
    ASSERT_TRUE(SetCommTimeouts(port, &set));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(port, &back));
    EXPECT_EQ(Bytes(back), Bytes(set));
    EXPECT_EQ(Bytes(pdx->Timeouts), Bytes(set));
    DWORD bytes = 0;
    SERIAL_TIMEOUTS raw{};
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &raw, sizeof(raw), &bytes));
    EXPECT_EQ(bytes, 20u);
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &set, 19, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &raw, 19));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Bytes(pdx->Timeouts), Bytes(set));
    EXPECT_EQ(Sent(), Lines{});
}

// Timeouts, characters, handflow and the line coding belong to the device;
// the rate, the mask and the lines start afresh at every open.
TEST_F(SerialSettings, DeviceSettingsOutliveTheOpenAndPerOpenOnesDoNot) {
    OpenPort();
    COMMTIMEOUTS timeouts{10, 20, 30, 40, 50};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_38400;
    dcb.ByteSize = 7;
    dcb.XonChar = 0x21;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = TRUE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));
    ClosePort();

    OpenPort();
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(port, &back));
    EXPECT_EQ(Bytes(back), Bytes(timeouts));
    DCB after{};
    ASSERT_TRUE(GetCommState(port, &after));
    EXPECT_EQ(after.BaudRate, ULONG(DEFAULT_BAUD_RATE));
    EXPECT_EQ(after.ByteSize, 7);
    EXPECT_EQ(after.XonChar, 0x21);
    EXPECT_TRUE(after.fOutxCtsFlow);
    EXPECT_EQ(after.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(pdx->WaitMask, 0u);
    EXPECT_FALSE(pdx->DtrAsserted);
}

// ---- statistics ------------------------------------------------------------------------------

using SerialStats = SerialPortTest;

SERIALPERF_STATS GetStats(SerialPortTest* t) {
    SERIALPERF_STATS stats{};
    std::memset(&stats, 0xEE, sizeof(stats));
    DWORD bytes = 0;
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(DeviceIoControl(t->port, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats), &bytes, nullptr));
    EXPECT_EQ(bytes, 24u);
    return stats;
}

TEST_F(SerialStats, BytesReadAndWrittenAreCountedAndCleared) {
    OpenPort();
    ReadsReturnAtOnce(port);
    DWORD bytes = 0xBAD;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0, nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Bytes(GetStats(this)), Bytes(SERIALPERF_STATS{}));

    EXPECT_EQ(WriteText(port, "AT\r"), 3u);
    kmodel::WaitForQuiescence();
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 9u);
    EXPECT_EQ(ReadText(port, 4), "AT\r\r");
    EXPECT_EQ(ReadText(port), "\nOK\r\n");
    EXPECT_EQ(Bytes(GetStats(this)), Bytes(SERIALPERF_STATS{9, 3, 0, 0, 0, 0}));

    // They belong to the device: a new open keeps counting.
    ClosePort();
    OpenPort();
    ReadsReturnAtOnce(port);
    EXPECT_EQ(WriteText(port, "ATE0\r"), 5u);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(ReadText(port), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Bytes(GetStats(this)), Bytes(SERIALPERF_STATS{20, 8, 0, 0, 0, 0}));

    SERIALPERF_STATS small{};
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &small, 23));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0, nullptr, 0));
    EXPECT_EQ(Bytes(GetStats(this)), Bytes(SERIALPERF_STATS{}));
    EXPECT_EQ(Sent(), Lines{});
}

// ---- communication and modem status ------------------------------------------------------------

using SerialStatus = SerialPortTest;

void SetModemLines(PDEVICE_EXTENSION pdx, USHORT lines) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->ModemLines = lines;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
}

SERIAL_STATUS CommStatus(SerialPortTest* t) {
    SERIAL_STATUS status;
    std::memset(&status, 0xEE, sizeof(status));
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(t->port, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status), &bytes,
                                nullptr));
    EXPECT_EQ(bytes, 20u);
    return status;
}

TEST_F(SerialStatus, HoldReasonsFollowDsrAndCarrierInTheLineImage) {
    OpenPort();
    ModemNotifies(usbsim::kUartTxCarrier | usbsim::kUartRxCarrier);
    EXPECT_EQ(pdx->ModemLines, 0xB0);
    DWORD errors = 0xBAD;
    COMSTAT stat;
    std::memset(&stat, 0xEE, sizeof(stat));
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(Bytes(stat), Bytes(COMSTAT{}));
    EXPECT_EQ(Bytes(CommStatus(this)), Bytes(SERIAL_STATUS{}));

    struct Case {
        USHORT lines;
        ULONG hold;
    };
    const Case cases[] = {
        {0xB1, 0},    // DSR and DCD
        {0xA1, 0},    // CTS is not looked at
        {0x91, 0x2},  // DCD only: waiting for DSR
        {0x31, 0x4},  // DSR only: waiting for DCD
        {0x11, 0x6},  // neither
        {0x00, 0x6},
    };
    for (const Case& c : cases) {
        SetModemLines(pdx, c.lines);
        SERIAL_STATUS status = CommStatus(this);
        EXPECT_EQ(status.HoldReasons, c.hold) << std::hex << c.lines;
        EXPECT_EQ(status.Errors, 0u);
        EXPECT_EQ(status.AmountInOutQueue, 0u);
        EXPECT_FALSE(status.EofReceived);
        EXPECT_FALSE(status.WaitForImmediate);
        ASSERT_TRUE(ClearCommError(port, &errors, &stat));
        EXPECT_EQ(stat.fDsrHold, (c.hold & 0x2) ? 1u : 0u);
        EXPECT_EQ(stat.fRlsdHold, (c.hold & 0x4) ? 1u : 0u);
        EXPECT_EQ(stat.fCtsHold, 0u);
    }
    SetModemLines(pdx, 0xB1);
    SERIAL_STATUS small;
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &small, 19));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

// The carrier went during the last open: the next open starts without DCD,
// which the status reports as a hold.
TEST_F(SerialStatus, ACarrierLostAtTheLastOpenHoldsTheNext) {
    OpenPort();
    ModemNotifies(usbsim::kUartTxCarrier | usbsim::kUartRxCarrier);
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_FALSE(stat.fRlsdHold);
    ModemNotifies(usbsim::kUartTxCarrier);
    ClosePort();
    OpenPort();
    EXPECT_EQ(pdx->ModemLines, 0x30);
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_TRUE(stat.fRlsdHold);
    EXPECT_FALSE(stat.fDsrHold);
    EXPECT_EQ(CommStatus(this).HoldReasons, 0x4u);
}

TEST_F(SerialStatus, TheInputQueueIsWhatAwaitsReading) {
    OpenPort();
    ReadsReturnAtOnce(port);
    ModemSends(std::string(100, 'x'));
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 100u);
    EXPECT_EQ(CommStatus(this).AmountInInQueue, 100u);
    EXPECT_EQ(ReadText(port, 40).size(), 40u);
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 60u);
    EXPECT_EQ(ReadText(port).size(), 60u);
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
}

TEST_F(SerialStatus, ModemStatusIsTheLastNotificationsPicture) {
    // Hold the interrupt pipe so the open sees no notification yet.
    Stack().faults(usbsim::kInterruptEndpoint).hold = true;
    OpenPort();
    DWORD status = 0xBAD;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);  // assumed until the modem reports

    Stack().faults(usbsim::kInterruptEndpoint).hold = false;
    Stack().Poke();
    kmodel::WaitForQuiescence();
    // The power-up notification: DSR, no carrier. Only the modem's lines.
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON);

    ModemNotifies(usbsim::kUartTxCarrier | usbsim::kUartRxCarrier);  // carrier
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

    ModemNotifies(usbsim::kUartTxCarrier | usbsim::kUartRing);  // ring, carrier gone
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RING_ON);
    Forget();

    ULONG raw = 0;
    DWORD bytes = 0;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &raw, 4, &bytes));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(raw, status);
    EXPECT_FALSE(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &raw, 3));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Sent(), Lines{});
}

// ---- every other code ----------------------------------------------------------------------------

using SerialOtherCodes = SerialPortTest;

TEST_F(SerialOtherCodes, SucceedWithNoDataAnUntouchedBufferAndNothingSent) {
    OpenPort();
    const ULONG codes[] = {
        IOCTL_SERIAL_GET_WAIT_MASK,     IOCTL_SERIAL_SET_QUEUE_SIZE,
        IOCTL_SERIAL_IMMEDIATE_CHAR,    IOCTL_SERIAL_RESET_DEVICE,     IOCTL_SERIAL_SET_XOFF,
        IOCTL_SERIAL_SET_XON,           IOCTL_SERIAL_XOFF_COUNTER,     IOCTL_SERIAL_GET_DTRRTS,
        IOCTL_SERIAL_LSRMST_INSERT,     IOCTL_SERIAL_CONFIG_SIZE,      IOCTL_SERIAL_GET_COMMCONFIG,
        IOCTL_SERIAL_SET_COMMCONFIG,    IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL,
        IOCTL_SERIAL_SET_FIFO_CONTROL,  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 63, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    const USHORT lines = pdx->ModemLines;
    for (ULONG code : codes) {
        std::vector<uint8_t> in(16, 0xA5);
        std::vector<uint8_t> out(64, 0x5A);
        DWORD bytes = 0xBAD;
        EXPECT_TRUE(Ioctl(code, in.data(), 16, out.data(), 64, &bytes)) << std::hex << code;
        EXPECT_EQ(bytes, 0u) << std::hex << code;
        EXPECT_EQ(out, std::vector<uint8_t>(64, 0x5A)) << std::hex << code;
        EXPECT_TRUE(Ioctl(code, nullptr, 0, nullptr, 0)) << std::hex << code;
    }
    EXPECT_EQ(pdx->ModemLines, lines);

    // The comm calls that end in them.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RING));
    DWORD mask = 0xBAD;
    ASSERT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(mask, 0u);  // the mask is not reported back...
    EXPECT_EQ(pdx->WaitMask, static_cast<ULONG>(EV_RXCHAR | EV_RING));  // ...though it is kept
    EXPECT_TRUE(SetupComm(port, 4096, 4096));
    EXPECT_TRUE(TransmitCommChar(port, 'A'));
    EXPECT_TRUE(EscapeCommFunction(port, SETXOFF));
    EXPECT_TRUE(EscapeCommFunction(port, SETXON));
    EXPECT_TRUE(EscapeCommFunction(port, RESETDEV));
    EXPECT_EQ(Sent(), Lines{});
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->PerfStats.TransmittedCount, 0u);  // the immediate character went nowhere
}

}  // namespace
}  // namespace qvtest
