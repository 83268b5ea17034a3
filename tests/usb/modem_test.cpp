// The modem's own logic, driven directly: the AT dialogue, calls between
// two modems, the escape sequence, control lines and notifications.
#include <gtest/gtest.h>

#include <string>

#include <usbsim/modem.h>

namespace usbsim {
namespace {

class ModemTest : public ::testing::Test {
protected:
    Exchange exchange;
    ModemCore a{&exchange, "5551000"};
    ModemCore b{&exchange, "5552000"};
    int64_t now = 10000;

    void Type(ModemCore& m, const std::string& text) {
        m.BulkOut(reinterpret_cast<const uint8_t*>(text.data()), text.size(), now);
    }
    static std::string Take(ModemCore& m) {
        std::string out(m.bulkIn.begin(), m.bulkIn.end());
        m.bulkIn.clear();
        return out;
    }
    void Advance(int64_t ms) {
        now += ms;
        a.Tick(now);
        b.Tick(now);
    }
    static uint8_t LastUartState(ModemCore& m) {
        EXPECT_FALSE(m.notifications.empty());
        return m.notifications.empty() ? 0xFF : m.notifications.back()[8];
    }
};

TEST_F(ModemTest, CommandsAnswerWithEchoAndResultCodes) {
    Type(a, "AT\r");
    EXPECT_EQ(Take(a), "AT\r\r\nOK\r\n");
    Type(a, "ATE0\r");
    EXPECT_EQ(Take(a), "ATE0\r\r\nOK\r\n");  // echoed before it took effect
    Type(a, "ATI\r");
    EXPECT_EQ(Take(a), "\r\nQVSIM USB MODEM 1.0\r\n\r\nOK\r\n");
    Type(a, "ATV0\r");
    EXPECT_EQ(Take(a), "0\r");
    Type(a, "ATQQ\r");
    EXPECT_EQ(Take(a), "4\r");
    Type(a, "ATZ\r");
    EXPECT_EQ(Take(a), "\r\nOK\r\n");
    EXPECT_TRUE(a.echo());
    Type(a, "hello\r");  // not a command: echoed, no result
    EXPECT_EQ(Take(a), "hello\r");
    Type(a, "AT&D2S0=2\r");
    Take(a);
    Type(a, "ATS0?\r");
    EXPECT_EQ(Take(a), "ATS0?\r\r\n2\r\n\r\nOK\r\n");
}

TEST_F(ModemTest, TwoModemsCallEachOtherAndExchangeData) {
    Type(a, "ATE0\r");
    Type(b, "ATE0\r");
    Take(a);
    Take(b);
    a.notifications.clear();
    b.notifications.clear();

    Type(a, "ATDT5552000\r");
    EXPECT_EQ(Take(a), "");
    EXPECT_EQ(Take(b), "\r\nRING\r\n");
    EXPECT_EQ(LastUartState(b), kUartTxCarrier | kUartRing);
    Advance(kRingIntervalMs);
    EXPECT_EQ(Take(b), "\r\nRING\r\n");

    Type(b, "ATA\r");
    EXPECT_EQ(Take(b), "\r\nCONNECT 115200\r\n");
    EXPECT_EQ(Take(a), "\r\nCONNECT 115200\r\n");
    EXPECT_TRUE(a.carrier());
    EXPECT_EQ(LastUartState(a), kUartTxCarrier | kUartRxCarrier);
    EXPECT_EQ(LastUartState(b), kUartTxCarrier | kUartRxCarrier);

    Advance(50);
    Type(a, "hello over there");
    EXPECT_EQ(Take(b), "hello over there");
    Type(b, "and back");
    EXPECT_EQ(Take(a), "and back");

    // Escape: guard time, "+++", guard time.
    Advance(kGuardTimeMs);
    Type(a, "+++");
    EXPECT_EQ(Take(b), "+++");  // the escape characters travel as data
    Advance(kGuardTimeMs);
    EXPECT_EQ(Take(a), "\r\nOK\r\n");
    EXPECT_FALSE(a.online());
    EXPECT_TRUE(a.carrier());
    Type(a, "ATH\r");
    EXPECT_EQ(Take(a), "\r\nOK\r\n");
    EXPECT_EQ(Take(b), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(b.carrier());
    EXPECT_EQ(LastUartState(b), kUartTxCarrier);
}

TEST_F(ModemTest, PlusesWithoutGuardTimeStayData) {
    Type(a, "ATDLOOP\r");
    Take(a);
    Advance(10);
    Type(a, "a+++");
    Advance(kGuardTimeMs * 2);
    EXPECT_EQ(Take(a), "a+++");  // looped back, still online
    EXPECT_TRUE(a.online());
}

TEST_F(ModemTest, BusyNoCarrierAndUnansweredCalls) {
    Type(a, "ATE0\r");
    Take(a);
    Type(a, "ATD5559999\r");
    EXPECT_EQ(Take(a), "\r\nNO CARRIER\r\n");
    Type(a, "ATD5551000\r");
    EXPECT_EQ(Take(a), "\r\nBUSY\r\n");  // itself

    Type(a, "ATD5552000\r");
    Take(b);
    ModemCore c{&exchange, "5553000"};
    Type(c, "ATE0\r");
    Take(c);
    Type(c, "ATD5552000\r");
    EXPECT_EQ(Take(c), "\r\nBUSY\r\n");  // b is ringing

    Advance(kDialTimeoutMs);
    EXPECT_EQ(Take(a), "\r\nNO CARRIER\r\n");
    b.notifications.clear();
    Type(b, "ATA\r");
    EXPECT_EQ(Take(b), "ATA\r\r\nNO CARRIER\r\n");  // the call is gone
}

TEST_F(ModemTest, DtrDropHangsUpAndAutoAnswerAnswers) {
    Type(b, "ATS0=1\r");
    Take(b);
    std::vector<uint8_t> none;
    ASSERT_TRUE(a.ControlOut(kSetControlLineState, 0x0003, none, now));
    EXPECT_TRUE(a.dtr());
    EXPECT_TRUE(a.rts());
    Type(a, "ATD5552000\r");
    EXPECT_TRUE(a.carrier());
    EXPECT_TRUE(b.carrier());
    Take(a);
    Take(b);
    ASSERT_TRUE(a.ControlOut(kSetControlLineState, 0x0002, none, now));
    EXPECT_FALSE(a.carrier());
    EXPECT_EQ(Take(a), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Take(b), "\r\nNO CARRIER\r\n");
}

TEST_F(ModemTest, LineCodingAndBreakAsTheDeviceSeesThem) {
    std::vector<uint8_t> coding = {0x80, 0x25, 0x00, 0x00, 2, 2, 7, 0};  // 9600, 2 stop, even, 7 bits
    ASSERT_TRUE(a.ControlOut(kSetLineCoding, 0, coding, now));
    EXPECT_EQ(a.lineCoding().rate, 9600u);
    EXPECT_EQ(a.lineCoding().stopBits, 2);
    EXPECT_EQ(a.lineCoding().parity, 2);
    EXPECT_EQ(a.lineCoding().dataBits, 7);
    std::vector<uint8_t> back;
    ASSERT_TRUE(a.ControlIn(kGetLineCoding, 0, 8, &back));
    EXPECT_EQ(back, std::vector<uint8_t>({0x80, 0x25, 0x00, 0x00, 2, 2, 7}));
    EXPECT_FALSE(a.ControlOut(kSetLineCoding, 0, {1, 2, 3}, now));  // too short: stall
    EXPECT_FALSE(a.ControlIn(0x55, 0, 8, &back));                  // unknown request: stall

    size_t notes = a.notifications.size();
    ASSERT_TRUE(a.ControlOut(kSendBreak, 0xFFFF, {}, now));
    EXPECT_TRUE(a.breakOn());
    ASSERT_TRUE(a.ControlOut(kSendBreak, 0, {}, now));
    EXPECT_FALSE(a.breakOn());
    EXPECT_EQ(a.breaks(), 1);
    EXPECT_EQ(a.notifications.size(), notes);  // a break sent is not a break received
}

// A break or garbled characters on the serial side: reported once, then cleared.
TEST_F(ModemTest, LineFaultsAreIrregularSignals) {
    a.notifications.clear();
    a.LineFault(kUartBreak | kUartParity);
    ASSERT_EQ(a.notifications.size(), 2u);
    EXPECT_EQ(a.notifications[0][8], kUartTxCarrier | kUartBreak | kUartParity);
    EXPECT_EQ(a.notifications[1][8], kUartTxCarrier);
}

TEST_F(ModemTest, NotificationsAreStandardSerialStatePackets) {
    ASSERT_FALSE(a.notifications.empty());  // the state at power-up
    const auto& n = a.notifications.front();
    EXPECT_EQ(n[0], 0xA1);
    EXPECT_EQ(n[1], 0x20);
    EXPECT_EQ(n[2] | (n[3] << 8), 0);  // wValue
    EXPECT_EQ(n[6] | (n[7] << 8), 2);  // wLength
    EXPECT_EQ(n[8], kUartTxCarrier);
    size_t count = a.notifications.size();
    Type(a, "AT\r");
    EXPECT_EQ(a.notifications.size(), count);  // no change, no notification
}

}  // namespace
}  // namespace usbsim
