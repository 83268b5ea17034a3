// The simulated modem's own logic: a CDC-ACM device with a Hayes-style
// command interpreter. Plain C++ driven by events in and bytes out: no
// threads, no OS calls, no clock of its own (callers pass the time).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace usbsim {

// CDC PSTN class requests.
inline constexpr uint8_t kSetLineCoding = 0x20;
inline constexpr uint8_t kGetLineCoding = 0x21;
inline constexpr uint8_t kSetControlLineState = 0x22;
inline constexpr uint8_t kSendBreak = 0x23;

// UART state bits of a SERIAL_STATE notification.
inline constexpr uint16_t kUartRxCarrier = 0x01;  // DCD
inline constexpr uint16_t kUartTxCarrier = 0x02;  // DSR
inline constexpr uint16_t kUartBreak = 0x04;    // break received on the serial side
inline constexpr uint16_t kUartRing = 0x08;
inline constexpr uint16_t kUartFraming = 0x10;  // a character received with a framing error
inline constexpr uint16_t kUartParity = 0x20;   // ... with a parity error
inline constexpr uint16_t kUartOverrun = 0x40;  // characters lost to an overrun
// The irregular bits: events, not lines; sent once and then cleared.
inline constexpr uint16_t kUartIrregular = kUartBreak | kUartFraming | kUartParity | kUartOverrun;

struct LineCodingState {
    uint32_t rate = 115200;
    uint8_t stopBits = 0;  // 0: 1, 1: 1.5, 2: 2
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t dataBits = 8;
};

class ModemCore;

// The other end of a modem's line once it is connected.
class LineEnd {
public:
    virtual ~LineEnd() = default;
    virtual void FromLine(const std::vector<uint8_t>& bytes, int64_t nowMs) = 0;
    virtual void HangUp(int64_t nowMs) = 0;
};

// Where modems find each other by number. Dialing "LOOP" connects a modem
// to a loopback that returns what it is sent; a test can register a scripted
// far end under any number.
class Exchange {
public:
    void Register(const std::string& number, ModemCore* modem);
    void Unregister(const std::string& number);
    ModemCore* Find(const std::string& number) const;
    void RegisterScript(const std::string& number, LineEnd* end);
    LineEnd* FindScript(const std::string& number) const;

private:
    std::map<std::string, ModemCore*> modems_;
    std::map<std::string, LineEnd*> scripts_;
};

class ModemCore : public LineEnd {
public:
    ModemCore(Exchange* exchange, std::string number);
    ~ModemCore() override;

    // ---- the host side (USB) ----
    // Class requests on the default pipe; false means the modem stalls.
    bool ControlOut(uint8_t request, uint16_t value, const std::vector<uint8_t>& data, int64_t nowMs);
    bool ControlIn(uint8_t request, uint16_t value, uint16_t length, std::vector<uint8_t>* data);
    // Bytes written to the bulk-out pipe.
    void BulkOut(const uint8_t* data, size_t length, int64_t nowMs);
    // The passage of time: the escape guard time, ringing, unanswered calls.
    void Tick(int64_t nowMs);
    // The next time Tick has something to do, or -1.
    int64_t NextDeadline() const;

    // Output towards the host.
    std::deque<uint8_t> bulkIn;                        // bytes for the bulk-in pipe
    std::deque<std::array<uint8_t, 10>> notifications; // SERIAL_STATE notifications

    // ---- the line side ----
    void FromLine(const std::vector<uint8_t>& bytes, int64_t nowMs) override;
    void HangUp(int64_t nowMs) override;
    void Ring(ModemCore* caller, int64_t nowMs);  // an incoming call
    void Answered(ModemCore* callee, int64_t nowMs);
    // A fault on the modem's serial side: a break received, or characters
    // garbled (kUartFraming, kUartParity, kUartOverrun). Reported in one
    // notification with those bits, then one without them.
    void LineFault(uint16_t irregular);
    bool Busy() const { return mode_ != Mode::Idle || ringingFrom_ != nullptr; }

    // ---- state as the device sees it ----
    const LineCodingState& lineCoding() const { return lineCoding_; }
    bool dtr() const { return dtr_; }
    bool rts() const { return rts_; }
    bool breakOn() const { return breakOn_; }
    int breaks() const { return breaks_; }
    bool carrier() const { return mode_ == Mode::Online || mode_ == Mode::OnlineCommand; }
    bool online() const { return mode_ == Mode::Online; }
    bool echo() const { return echo_; }
    uint16_t uartState() const;
    const std::string& number() const { return number_; }

private:
    enum class Mode { Idle, Dialing, Online, OnlineCommand };

    void CommandByte(uint8_t c, int64_t nowMs);
    void Execute(const std::string& line, int64_t nowMs);
    bool ExecuteOne(const std::string& command, size_t* pos, int64_t nowMs);
    void Dial(const std::string& number, int64_t nowMs);
    void Answer(int64_t nowMs);
    void Connect(LineEnd* peer, int64_t nowMs);
    void Disconnect(bool tellPeer, int64_t nowMs);
    void Result(const char* verbose, int numeric);
    void Send(const std::string& text);
    void Notify();
    void PushState(uint16_t state);
    void Reset();

    Exchange* exchange_;
    std::string number_;
    LineCodingState lineCoding_;
    bool dtr_ = false;
    bool rts_ = false;
    bool breakOn_ = false;
    int breaks_ = 0;
    bool echo_ = true;
    bool verbose_ = true;
    int autoAnswerRings_ = 0;  // S0
    Mode mode_ = Mode::Idle;
    std::string commandLine_;
    LineEnd* peer_ = nullptr;
    ModemCore* dialing_ = nullptr;      // the modem being called
    ModemCore* ringingFrom_ = nullptr;  // the modem calling us
    int ringsSeen_ = 0;
    int64_t nextRing_ = -1;
    int64_t dialDeadline_ = -1;
    bool ringIndicator_ = false;
    uint16_t lastNotified_ = 0xFFFF;
    // Escape sequence: guard time of silence, "+++", guard time of silence.
    int64_t lastDataMs_ = -1000000;
    int plusCount_ = 0;
    int64_t escapeDeadline_ = -1;
    class Loopback;
    Loopback* loopback_ = nullptr;
};

inline constexpr int64_t kGuardTimeMs = 1000;
inline constexpr int64_t kRingIntervalMs = 2000;
inline constexpr int64_t kDialTimeoutMs = 30000;

}  // namespace usbsim
