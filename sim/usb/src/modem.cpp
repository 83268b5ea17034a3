// The simulated modem's logic.
#include <usbsim/modem.h>

#include <cctype>

namespace usbsim {

// ---- exchange ------------------------------------------------------------------

void Exchange::Register(const std::string& number, ModemCore* modem) {
    modems_[number] = modem;
}

void Exchange::Unregister(const std::string& number) {
    modems_.erase(number);
}

ModemCore* Exchange::Find(const std::string& number) const {
    auto it = modems_.find(number);
    return it == modems_.end() ? nullptr : it->second;
}

void Exchange::RegisterScript(const std::string& number, LineEnd* end) {
    scripts_[number] = end;
}

LineEnd* Exchange::FindScript(const std::string& number) const {
    auto it = scripts_.find(number);
    return it == scripts_.end() ? nullptr : it->second;
}

// ---- loopback far end ------------------------------------------------------------

class ModemCore::Loopback : public LineEnd {
public:
    explicit Loopback(ModemCore* modem) : modem_(modem) {}
    void FromLine(const std::vector<uint8_t>& bytes, int64_t nowMs) override { modem_->FromLine(bytes, nowMs); }
    void HangUp(int64_t) override {}

private:
    ModemCore* modem_;
};

// ---- modem -------------------------------------------------------------------------

ModemCore::ModemCore(Exchange* exchange, std::string number)
    : exchange_(exchange), number_(std::move(number)), loopback_(new Loopback(this)) {
    if (exchange_ != nullptr) {
        exchange_->Register(number_, this);
    }
    Notify();  // powered up: DSR on, no carrier
}

ModemCore::~ModemCore() {
    if (exchange_ != nullptr) {
        exchange_->Unregister(number_);
    }
    delete loopback_;
}

uint16_t ModemCore::uartState() const {
    uint16_t state = kUartTxCarrier;
    if (carrier()) {
        state |= kUartRxCarrier;
    }
    if (ringIndicator_) {
        state |= kUartRing;
    }
    return state;
}

// A SERIAL_STATE notification whenever the line state changes.
void ModemCore::Notify() {
    uint16_t state = uartState();
    if (state == lastNotified_) {
        return;
    }
    lastNotified_ = state;
    PushState(state);
}

void ModemCore::LineFault(uint16_t irregular) {
    PushState(static_cast<uint16_t>(uartState() | (irregular & kUartIrregular)));
    lastNotified_ = 0xFFFF;
    Notify();
}

void ModemCore::PushState(uint16_t state) {
    std::array<uint8_t, 10> n = {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                                 static_cast<uint8_t>(state & 0xFF), static_cast<uint8_t>(state >> 8)};
    notifications.push_back(n);
}

void ModemCore::Send(const std::string& text) {
    bulkIn.insert(bulkIn.end(), text.begin(), text.end());
}

void ModemCore::Result(const char* verbose, int numeric) {
    if (verbose_) {
        Send(std::string("\r\n") + verbose + "\r\n");
    } else {
        Send(std::to_string(numeric) + "\r");
    }
}

void ModemCore::Reset() {
    echo_ = true;
    verbose_ = true;
    autoAnswerRings_ = 0;
}

// ---- USB class requests ------------------------------------------------------------

bool ModemCore::ControlOut(uint8_t request, uint16_t value, const std::vector<uint8_t>& data, int64_t nowMs) {
    switch (request) {
    case kSetLineCoding:
        if (data.size() < 7) {
            return false;
        }
        lineCoding_.rate = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t(data[3]) << 24);
        lineCoding_.stopBits = data[4];
        lineCoding_.parity = data[5];
        lineCoding_.dataBits = data[6];
        return true;
    case kSetControlLineState: {
        bool hadDtr = dtr_;
        dtr_ = (value & 0x0001) != 0;
        rts_ = (value & 0x0002) != 0;
        // AT&D2: dropping DTR hangs up and returns to command mode.
        if (hadDtr && !dtr_ && mode_ != Mode::Idle) {
            Disconnect(true, nowMs);
            Result("NO CARRIER", 3);
        }
        return true;
    }
    case kSendBreak:
        // The break goes out on the serial side; the modem reports only
        // what it receives.
        if (value != 0 && !breakOn_) {
            ++breaks_;
        }
        breakOn_ = value == 0xFFFF;
        return true;
    default:
        return false;
    }
}

bool ModemCore::ControlIn(uint8_t request, uint16_t, uint16_t length, std::vector<uint8_t>* data) {
    if (request != kGetLineCoding) {
        return false;
    }
    uint32_t r = lineCoding_.rate;
    *data = {static_cast<uint8_t>(r), static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r >> 16),
             static_cast<uint8_t>(r >> 24), lineCoding_.stopBits, lineCoding_.parity, lineCoding_.dataBits};
    if (data->size() > length) {
        data->resize(length);
    }
    return true;
}

// ---- data from the host --------------------------------------------------------------

void ModemCore::BulkOut(const uint8_t* data, size_t length, int64_t nowMs) {
    if (mode_ != Mode::Online) {
        for (size_t i = 0; i < length; ++i) {
            CommandByte(data[i], nowMs);
        }
        return;
    }
    // Online: everything goes down the line; "+++" framed by a guard time
    // of silence on each side returns to command mode.
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = data[i];
        if (c == '+' && ((plusCount_ == 0 && nowMs - lastDataMs_ >= kGuardTimeMs) || (plusCount_ > 0 && plusCount_ < 3))) {
            ++plusCount_;
            escapeDeadline_ = plusCount_ == 3 ? nowMs + kGuardTimeMs : -1;
        } else {
            plusCount_ = 0;
            escapeDeadline_ = -1;
        }
        lastDataMs_ = nowMs;
    }
    if (peer_ != nullptr) {
        peer_->FromLine(std::vector<uint8_t>(data, data + length), nowMs);
    }
}

void ModemCore::CommandByte(uint8_t c, int64_t nowMs) {
    if (echo_) {
        bulkIn.push_back(c);
    }
    if (c == '\r') {
        std::string line = commandLine_;
        commandLine_.clear();
        if (line.size() >= 2 && std::toupper(static_cast<unsigned char>(line[0])) == 'A' &&
            std::toupper(static_cast<unsigned char>(line[1])) == 'T') {
            Execute(line.substr(2), nowMs);
        }
    } else if (c == '\b' || c == 0x7F) {
        if (!commandLine_.empty()) {
            commandLine_.pop_back();
        }
    } else if (c != '\n' && commandLine_.size() < 256) {
        commandLine_.push_back(static_cast<char>(c));
    }
}

void ModemCore::Execute(const std::string& line, int64_t nowMs) {
    std::string commands;
    for (char c : line) {
        if (c != ' ') {
            commands.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    size_t pos = 0;
    while (pos < commands.size()) {
        if (!ExecuteOne(commands, &pos, nowMs)) {
            return;  // the command gave its own result (or ERROR)
        }
    }
    Result("OK", 0);
}

namespace {

int TakeNumber(const std::string& s, size_t* pos, int fallback) {
    if (*pos >= s.size() || !std::isdigit(static_cast<unsigned char>(s[*pos]))) {
        return fallback;
    }
    int value = 0;
    while (*pos < s.size() && std::isdigit(static_cast<unsigned char>(s[*pos]))) {
        value = value * 10 + (s[*pos] - '0');
        ++*pos;
    }
    return value;
}

}  // namespace

// Runs the command at *pos; false when no final OK is to follow.
bool ModemCore::ExecuteOne(const std::string& s, size_t* pos, int64_t nowMs) {
    char c = s[(*pos)++];
    switch (c) {
    case 'Z':
        TakeNumber(s, pos, 0);
        if (mode_ != Mode::Idle) {
            Disconnect(true, nowMs);
        }
        Reset();
        return true;
    case 'E':
        echo_ = TakeNumber(s, pos, 0) != 0;
        return true;
    case 'V':
        verbose_ = TakeNumber(s, pos, 0) != 0;
        return true;
    case 'I':
        TakeNumber(s, pos, 0);
        Send("\r\nQVSIM USB MODEM 1.0\r\n");
        return true;
    case 'H':
        TakeNumber(s, pos, 0);
        if (mode_ != Mode::Idle) {
            Disconnect(true, nowMs);
        }
        return true;
    case 'S': {
        int reg = TakeNumber(s, pos, -1);
        if (*pos < s.size() && s[*pos] == '=') {
            ++*pos;
            int value = TakeNumber(s, pos, 0);
            if (reg == 0) {
                autoAnswerRings_ = value;
            }
            return true;
        }
        if (*pos < s.size() && s[*pos] == '?' && reg == 0) {
            ++*pos;
            Send("\r\n" + std::to_string(autoAnswerRings_) + "\r\n");
            return true;
        }
        Result("ERROR", 4);
        return false;
    }
    case '&':
        if (*pos < s.size()) {
            ++*pos;  // &C, &D, &F, &K ...: accepted as the modem's defaults
            TakeNumber(s, pos, 0);
            return true;
        }
        Result("ERROR", 4);
        return false;
    case 'D': {
        if (*pos < s.size() && (s[*pos] == 'T' || s[*pos] == 'P')) {
            ++*pos;  // tone or pulse: the same on this line
        }
        std::string number;
        for (; *pos < s.size(); ++*pos) {
            char d = s[*pos];
            if (std::isalnum(static_cast<unsigned char>(d))) {
                number.push_back(d);
            }
        }
        Dial(number, nowMs);
        return false;
    }
    case 'A':
        Answer(nowMs);
        return false;
    case 'O':
        TakeNumber(s, pos, 0);
        if (mode_ != Mode::OnlineCommand) {
            Result("NO CARRIER", 3);
            return false;
        }
        mode_ = Mode::Online;
        Result(("CONNECT " + std::to_string(lineCoding_.rate)).c_str(), 1);
        return false;
    default:
        Result("ERROR", 4);
        return false;
    }
}

// ---- calls -------------------------------------------------------------------------

void ModemCore::Dial(const std::string& number, int64_t nowMs) {
    if (mode_ != Mode::Idle) {
        Result("ERROR", 4);
        return;
    }
    if (number == "LOOP") {
        Connect(loopback_, nowMs);
        return;
    }
    if (LineEnd* script = exchange_ != nullptr ? exchange_->FindScript(number) : nullptr) {
        Connect(script, nowMs);
        return;
    }
    ModemCore* callee = exchange_ != nullptr ? exchange_->Find(number) : nullptr;
    if (callee == nullptr) {
        Result("NO CARRIER", 3);
        return;
    }
    if (callee == this || callee->Busy()) {
        Result("BUSY", 7);
        return;
    }
    mode_ = Mode::Dialing;
    dialing_ = callee;
    dialDeadline_ = nowMs + kDialTimeoutMs;
    callee->Ring(this, nowMs);
}

void ModemCore::Ring(ModemCore* caller, int64_t nowMs) {
    ringingFrom_ = caller;
    ringsSeen_ = 1;
    ringIndicator_ = true;
    nextRing_ = nowMs + kRingIntervalMs;
    Notify();
    Result("RING", 2);
    if (autoAnswerRings_ > 0 && ringsSeen_ >= autoAnswerRings_) {
        Answer(nowMs);
    }
}

void ModemCore::Answer(int64_t nowMs) {
    if (ringingFrom_ == nullptr) {
        Result("NO CARRIER", 3);
        return;
    }
    ModemCore* caller = ringingFrom_;
    ringingFrom_ = nullptr;
    ringIndicator_ = false;
    nextRing_ = -1;
    Connect(caller, nowMs);
    caller->Answered(this, nowMs);
}

void ModemCore::Answered(ModemCore* callee, int64_t nowMs) {
    dialing_ = nullptr;
    dialDeadline_ = -1;
    Connect(callee, nowMs);
}

void ModemCore::Connect(LineEnd* peer, int64_t nowMs) {
    peer_ = peer;
    mode_ = Mode::Online;
    plusCount_ = 0;
    escapeDeadline_ = -1;
    lastDataMs_ = nowMs;
    Notify();
    Result(("CONNECT " + std::to_string(lineCoding_.rate)).c_str(), 1);
}

void ModemCore::Disconnect(bool tellPeer, int64_t nowMs) {
    LineEnd* peer = peer_;
    ModemCore* dialing = dialing_;
    peer_ = nullptr;
    dialing_ = nullptr;
    dialDeadline_ = -1;
    mode_ = Mode::Idle;
    escapeDeadline_ = -1;
    plusCount_ = 0;
    Notify();
    if (tellPeer && peer != nullptr) {
        peer->HangUp(nowMs);
    }
    if (dialing != nullptr) {
        dialing->HangUp(nowMs);  // stop its ringing
    }
}

void ModemCore::HangUp(int64_t nowMs) {
    if (ringingFrom_ != nullptr && mode_ == Mode::Idle) {
        // The caller gave up before we answered.
        ringingFrom_ = nullptr;
        ringIndicator_ = false;
        nextRing_ = -1;
        Notify();
        return;
    }
    if (mode_ != Mode::Idle) {
        Disconnect(false, nowMs);
        Result("NO CARRIER", 3);
    }
}

void ModemCore::FromLine(const std::vector<uint8_t>& bytes, int64_t) {
    if (mode_ == Mode::Online) {
        bulkIn.insert(bulkIn.end(), bytes.begin(), bytes.end());
    }
}

// ---- time -----------------------------------------------------------------------------

void ModemCore::Tick(int64_t nowMs) {
    if (escapeDeadline_ >= 0 && nowMs >= escapeDeadline_ && mode_ == Mode::Online) {
        escapeDeadline_ = -1;
        plusCount_ = 0;
        mode_ = Mode::OnlineCommand;
        Result("OK", 0);
    }
    if (nextRing_ >= 0 && nowMs >= nextRing_ && ringingFrom_ != nullptr) {
        ++ringsSeen_;
        nextRing_ = nowMs + kRingIntervalMs;
        Result("RING", 2);
        if (autoAnswerRings_ > 0 && ringsSeen_ >= autoAnswerRings_) {
            Answer(nowMs);
        }
    }
    if (dialDeadline_ >= 0 && nowMs >= dialDeadline_ && mode_ == Mode::Dialing) {
        Disconnect(false, nowMs);
        Result("NO CARRIER", 3);
    }
}

int64_t ModemCore::NextDeadline() const {
    int64_t next = -1;
    for (int64_t t : {escapeDeadline_, ringingFrom_ != nullptr ? nextRing_ : -1,
                      mode_ == Mode::Dialing ? dialDeadline_ : -1}) {
        if (t >= 0 && (next < 0 || t < next)) {
            next = t;
        }
    }
    return next;
}

}  // namespace usbsim
