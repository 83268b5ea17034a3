// The serial comm API: each call as the serial device controls Windows sends
// for it, and the driver's answers turned back into the Win32 records.
#include <win32/comm.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <kmodel/system.h>
#include <ntddser.h>

#include "objects.h"

using namespace win32sim::detail;

// The Win32 records and values that are the serial interface's own, bit for bit.
static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));
static_assert(DTR_CONTROL_ENABLE == SERIAL_DTR_CONTROL && DTR_CONTROL_HANDSHAKE == SERIAL_DTR_HANDSHAKE);
static_assert(RTS_CONTROL_ENABLE * SERIAL_RTS_CONTROL == SERIAL_RTS_CONTROL &&
              RTS_CONTROL_HANDSHAKE * SERIAL_RTS_CONTROL == SERIAL_RTS_HANDSHAKE &&
              RTS_CONTROL_TOGGLE * SERIAL_RTS_CONTROL == SERIAL_TRANSMIT_TOGGLE);
static_assert(NOPARITY == NO_PARITY && SPACEPARITY == SPACE_PARITY);
static_assert(ONESTOPBIT == STOP_BIT_1 && TWOSTOPBITS == STOP_BITS_2);
static_assert(MS_CTS_ON == SERIAL_CTS_STATE && MS_RLSD_ON == SERIAL_DCD_STATE);

namespace {

// ---- requests ----------------------------------------------------------------------

// One device control of a comm call, waited for; sets the last error on failure.
BOOL Control(HANDLE file, ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
    DWORD returned = 0;
    return DeviceIoControl(file, code, const_cast<void*>(input), inputLength, output, outputLength, &returned,
                           nullptr);
}

// A record the driver fills; zero where it answers with fewer bytes.
template <typename T>
BOOL Get(HANDLE file, ULONG code, T* record) {
    *record = T{};
    return Control(file, code, nullptr, 0, record, sizeof(T));
}

template <typename T>
BOOL Set(HANDLE file, ULONG code, const T& record) {
    return Control(file, code, &record, sizeof(T), nullptr, 0);
}

BOOL Send(HANDLE file, ULONG code) {
    return Control(file, code, nullptr, 0, nullptr, 0);
}

// ---- the state a DCB stands for ------------------------------------------------------

struct Settings {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

BOOL ReadSettings(HANDLE file, Settings* settings) {
    return Get(file, IOCTL_SERIAL_GET_BAUD_RATE, &settings->baud) &&
           Get(file, IOCTL_SERIAL_GET_LINE_CONTROL, &settings->line) &&
           Get(file, IOCTL_SERIAL_GET_CHARS, &settings->chars) &&
           Get(file, IOCTL_SERIAL_GET_HANDFLOW, &settings->handflow);
}

// The lines the handshake leaves to the application are raised or dropped
// explicitly; under handshake or toggle the driver drives them itself.
// With stopAtFailure false every request is sent and failures are ignored.
BOOL WriteSettings(HANDLE file, const Settings& s, bool stopAtFailure) {
    std::vector<std::function<BOOL()>> steps;
    steps.emplace_back([&] { return Set(file, IOCTL_SERIAL_SET_BAUD_RATE, s.baud); });
    ULONG rts = s.handflow.FlowReplace & SERIAL_RTS_MASK;
    if (rts == SERIAL_RTS_CONTROL) {
        steps.emplace_back([&] { return Send(file, IOCTL_SERIAL_SET_RTS); });
    } else if (rts == 0) {
        steps.emplace_back([&] { return Send(file, IOCTL_SERIAL_CLR_RTS); });
    }
    ULONG dtr = s.handflow.ControlHandShake & SERIAL_DTR_MASK;
    if (dtr == SERIAL_DTR_CONTROL) {
        steps.emplace_back([&] { return Send(file, IOCTL_SERIAL_SET_DTR); });
    } else if (dtr == 0) {
        steps.emplace_back([&] { return Send(file, IOCTL_SERIAL_CLR_DTR); });
    }
    steps.emplace_back([&] { return Set(file, IOCTL_SERIAL_SET_LINE_CONTROL, s.line); });
    steps.emplace_back([&] { return Set(file, IOCTL_SERIAL_SET_CHARS, s.chars); });
    steps.emplace_back([&] { return Set(file, IOCTL_SERIAL_SET_HANDFLOW, s.handflow); });
    for (const auto& step : steps) {
        if (!step() && stopAtFailure) {
            return FALSE;
        }
    }
    return TRUE;
}

// The DCB has no break character: the device keeps the one it has.
Settings SettingsFromDcb(const DCB& dcb, UCHAR breakChar) {
    Settings s;
    s.baud.BaudRate = dcb.BaudRate;
    s.line.WordLength = dcb.ByteSize;
    s.line.Parity = dcb.Parity;
    s.line.StopBits = dcb.StopBits;
    s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    s.chars.BreakChar = breakChar;
    s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);

    ULONG control = dcb.fDtrControl;  // DTR_CONTROL_* are the SERIAL_DTR_* bits
    if (dcb.fOutxCtsFlow) {
        control |= SERIAL_CTS_HANDSHAKE;
    }
    if (dcb.fOutxDsrFlow) {
        control |= SERIAL_DSR_HANDSHAKE;
    }
    if (dcb.fDsrSensitivity) {
        control |= SERIAL_DSR_SENSITIVITY;
    }
    if (dcb.fAbortOnError) {
        control |= SERIAL_ERROR_ABORT;
    }
    ULONG flow = static_cast<ULONG>(dcb.fRtsControl) * SERIAL_RTS_CONTROL;  // RTS_CONTROL_* in the RTS bits
    if (dcb.fOutX) {
        flow |= SERIAL_AUTO_TRANSMIT;
    }
    if (dcb.fInX) {
        flow |= SERIAL_AUTO_RECEIVE;
    }
    if (dcb.fErrorChar) {
        flow |= SERIAL_ERROR_CHAR;
    }
    if (dcb.fNull) {
        flow |= SERIAL_NULL_STRIPPING;
    }
    if (dcb.fTXContinueOnXoff) {
        flow |= SERIAL_XOFF_CONTINUE;
    }
    s.handflow.ControlHandShake = control;
    s.handflow.FlowReplace = flow;
    s.handflow.XonLimit = dcb.XonLim;
    s.handflow.XoffLimit = dcb.XoffLim;
    return s;
}

// The serial interface has no switch for parity checking: the driver checks
// whenever the line has parity, so fParity reads TRUE, as does fBinary.
DCB DcbFromSettings(const Settings& s) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.baud.BaudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    ULONG control = s.handflow.ControlHandShake;
    ULONG flow = s.handflow.FlowReplace;
    dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb.fDtrControl = control & SERIAL_DTR_MASK;
    dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb.fRtsControl = (flow & SERIAL_RTS_MASK) / SERIAL_RTS_CONTROL;
    dcb.XonLim = static_cast<WORD>(s.handflow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(s.handflow.XoffLimit);
    dcb.ByteSize = s.line.WordLength;
    dcb.Parity = s.line.Parity;
    dcb.StopBits = s.line.StopBits;
    dcb.XonChar = static_cast<char>(s.chars.XonChar);
    dcb.XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb.EofChar = static_cast<char>(s.chars.EofChar);
    dcb.EvtChar = static_cast<char>(s.chars.EventChar);
    return dcb;
}

// What Windows checks before sending anything; DCBlength is not looked at.
bool IsValidDcb(const DCB& dcb) {
    return dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS;
}

// ---- BuildCommDCB ---------------------------------------------------------------------

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lowered(std::string text) {
    for (char& c : text) {
        c = Lower(c);
    }
    return text;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == separator) {
            parts.push_back(Trimmed(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    return parts;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (IsSpace(c)) {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

// The mode command's two-digit abbreviations stand for these rates.
bool ParseBaud(const std::string& text, DWORD* baud) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    DWORD value = 0;
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
        value = value * 10 + static_cast<DWORD>(c - '0');
    }
    switch (value) {
    case 11: value = CBR_110; break;
    case 15: value = 150; break;
    case 30: value = CBR_300; break;
    case 60: value = CBR_600; break;
    case 12: value = CBR_1200; break;
    case 24: value = CBR_2400; break;
    case 48: value = CBR_4800; break;
    case 96: value = CBR_9600; break;
    case 19: value = CBR_19200; break;
    default: break;
    }
    *baud = value;
    return true;
}

bool ParseParity(const std::string& text, BYTE* parity) {
    static const std::string kLetters = "noems";  // in NOPARITY.. SPACEPARITY order
    if (text.size() != 1 || kLetters.find(text[0]) == std::string::npos) {
        return false;
    }
    *parity = static_cast<BYTE>(kLetters.find(text[0]));
    return true;
}

bool ParseDataBits(const std::string& text, BYTE* bits) {
    if (text.size() != 1 || text[0] < '5' || text[0] > '8') {
        return false;
    }
    *bits = static_cast<BYTE>(text[0] - '0');
    return true;
}

bool ParseStopBits(const std::string& text, BYTE* stop) {
    if (text == "1") {
        *stop = ONESTOPBIT;
    } else if (text == "1.5") {
        *stop = ONE5STOPBITS;
    } else if (text == "2") {
        *stop = TWOSTOPBITS;
    } else {
        return false;
    }
    return true;
}

bool ParseOnOff(const std::string& text, bool* on) {
    if (text != "on" && text != "off") {
        return false;
    }
    *on = text == "on";
    return true;
}

struct LineFields {
    bool haveBaud = false;
    bool haveStop = false;
};

void SetParity(DCB* dcb, BYTE parity) {
    dcb->Parity = parity;
    dcb->fParity = parity != NOPARITY;
}

// A baud rate of 110 without stop bits gets two, as the mode command gives it.
void FinishLine(DCB* dcb, const LineFields& fields) {
    if (fields.haveBaud && !fields.haveStop && dcb->BaudRate == CBR_110) {
        dcb->StopBits = TWOSTOPBITS;
    }
}

void SetFlowControl(DCB* dcb, bool xonXoff, bool hardware) {
    dcb->fInX = xonXoff;
    dcb->fOutX = xonXoff;
    dcb->fOutxCtsFlow = hardware;
    dcb->fOutxDsrFlow = hardware;
    dcb->fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb->fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
}

// "9600,n,8,1[,x|p]": empty fields leave their members as they are.
bool ParseOldForm(const std::string& text, DCB* dcb) {
    std::vector<std::string> fields = Split(text, ',');
    if (fields.size() > 5 || fields[0].empty()) {
        return false;
    }
    fields.resize(5);
    LineFields seen;
    BYTE value = 0;
    if (!ParseBaud(fields[0], &dcb->BaudRate)) {
        return false;
    }
    seen.haveBaud = true;
    if (!fields[1].empty()) {
        if (!ParseParity(fields[1], &value)) {
            return false;
        }
        SetParity(dcb, value);
    }
    if (!fields[2].empty() && !ParseDataBits(fields[2], &dcb->ByteSize)) {
        return false;
    }
    if (!fields[3].empty()) {
        if (!ParseStopBits(fields[3], &dcb->StopBits)) {
            return false;
        }
        seen.haveStop = true;
    }
    if (fields[4].empty()) {
        SetFlowControl(dcb, false, false);
    } else if (fields[4] == "x") {
        SetFlowControl(dcb, true, false);
    } else if (fields[4] == "p") {
        SetFlowControl(dcb, false, true);
    } else {
        return false;
    }
    FinishLine(dcb, seen);
    return true;
}

// "baud=1200 parity=n data=8 stop=1 to=off xon=off odsr=off octs=off dtr=on
// rts=on idsr=off": flow control is off unless a keyword turns it on.
bool ParseNewForm(const std::string& text, DCB* dcb) {
    SetFlowControl(dcb, false, false);
    LineFields seen;
    for (const std::string& word : Words(text)) {
        size_t equals = word.find('=');
        if (equals == std::string::npos) {
            return false;
        }
        std::string key = word.substr(0, equals);
        std::string value = word.substr(equals + 1);
        bool on = false;
        BYTE parity = 0;
        bool ok = true;
        if (key == "baud") {
            ok = ParseBaud(value, &dcb->BaudRate);
            seen.haveBaud = true;
        } else if (key == "parity") {
            ok = ParseParity(value, &parity);
            if (ok) {
                SetParity(dcb, parity);
            }
        } else if (key == "data") {
            ok = ParseDataBits(value, &dcb->ByteSize);
        } else if (key == "stop") {
            ok = ParseStopBits(value, &dcb->StopBits);
            seen.haveStop = true;
        } else if (key == "to") {
            ok = ParseOnOff(value, &on);  // a time-out setting: nothing in the DCB
        } else if (key == "xon") {
            ok = ParseOnOff(value, &on);
            dcb->fInX = on;
            dcb->fOutX = on;
        } else if (key == "odsr") {
            ok = ParseOnOff(value, &on);
            dcb->fOutxDsrFlow = on;
        } else if (key == "octs") {
            ok = ParseOnOff(value, &on);
            dcb->fOutxCtsFlow = on;
        } else if (key == "idsr") {
            ok = ParseOnOff(value, &on);
            dcb->fDsrSensitivity = on;
        } else if (key == "dtr") {
            if (value == "hs") {
                dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
            } else {
                ok = ParseOnOff(value, &on);
                dcb->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            }
        } else if (key == "rts") {
            if (value == "hs") {
                dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
            } else if (value == "tg") {
                dcb->fRtsControl = RTS_CONTROL_TOGGLE;
            } else {
                ok = ParseOnOff(value, &on);
                dcb->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            }
        } else {
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    FinishLine(dcb, seen);
    return true;
}

// An optional "COMn" or "COMn:" first, then either form; the two cannot mix.
bool ParseDefinition(const std::string& definition, DCB* dcb) {
    std::string text = Lowered(Trimmed(definition));
    if (text.compare(0, 3, "com") == 0) {
        size_t pos = 3;
        while (pos < text.size() && IsDigit(text[pos])) {
            ++pos;
        }
        if (pos == 3) {
            return false;
        }
        if (pos < text.size() && text[pos] == ':') {
            ++pos;
        } else if (pos < text.size() && !IsSpace(text[pos])) {
            return false;
        }
        text = Trimmed(text.substr(pos));
    }
    if (text.empty()) {
        return false;
    }
    return text.find('=') != std::string::npos ? ParseNewForm(text, dcb) : ParseOldForm(text, dcb);
}

BOOL BuildDcb(const std::string& definition, LPDCB lpDCB) {
    if (lpDCB == nullptr) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    DCB dcb = *lpDCB;  // members the string does not touch stay as they are
    if (!ParseDefinition(definition, &dcb)) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    *lpDCB = dcb;
    return TRUE;
}

// ---- status records ----------------------------------------------------------------------

DWORD CommErrorsOf(ULONG errors) {
    DWORD result = 0;
    if (errors & SERIAL_ERROR_BREAK) {
        result |= CE_BREAK;
    }
    if (errors & SERIAL_ERROR_FRAMING) {
        result |= CE_FRAME;
    }
    if (errors & SERIAL_ERROR_OVERRUN) {
        result |= CE_OVERRUN;
    }
    if (errors & SERIAL_ERROR_QUEUEOVERRUN) {
        result |= CE_RXOVER;
    }
    if (errors & SERIAL_ERROR_PARITY) {
        result |= CE_RXPARITY;
    }
    return result;
}

COMSTAT ComStatOf(const SERIAL_STATUS& status) {
    COMSTAT stat{};
    ULONG hold = status.HoldReasons;
    stat.fCtsHold = (hold & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (hold & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (hold & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (hold & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (hold & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    return stat;
}

// A DWORD the driver answers in; zero when it answers with no data.
BOOL GetDword(HANDLE file, ULONG code, LPDWORD out) {
    if (out == nullptr) {
        return FailWithError(ERROR_NOACCESS);
    }
    ULONG value = 0;
    if (!Get(file, code, &value)) {
        return FALSE;
    }
    *out = value;
    return TRUE;
}

}  // namespace

// ---- state ---------------------------------------------------------------------------------

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr) {
        return FailWithError(ERROR_NOACCESS);
    }
    Settings settings;
    if (!ReadSettings(hFile, &settings)) {
        return FALSE;
    }
    *lpDCB = DcbFromSettings(settings);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr) {
        return FailWithError(ERROR_NOACCESS);
    }
    if (!IsValidDcb(*lpDCB)) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    Settings previous;
    if (!ReadSettings(hFile, &previous)) {
        return FALSE;
    }
    if (WriteSettings(hFile, SettingsFromDcb(*lpDCB, previous.chars.BreakChar), true)) {
        return TRUE;
    }
    DWORD error = GetLastError();
    WriteSettings(hFile, previous, false);
    return FailWithError(error);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    if (lpDef == nullptr) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    return BuildDcb(lpDef, lpDCB);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    if (lpDef == nullptr) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    return BuildDcb(kmodel::ToUtf8(lpDef), lpDCB);
}

// ---- time-outs and events ------------------------------------------------------------------

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) {
        return FailWithError(ERROR_NOACCESS);
    }
    SERIAL_TIMEOUTS timeouts;
    if (!Get(hFile, IOCTL_SERIAL_GET_TIMEOUTS, &timeouts)) {
        return FALSE;
    }
    std::memcpy(lpCommTimeouts, &timeouts, sizeof(timeouts));
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) {
        return FailWithError(ERROR_NOACCESS);
    }
    SERIAL_TIMEOUTS timeouts;
    std::memcpy(&timeouts, lpCommTimeouts, sizeof(timeouts));
    return Set(hFile, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return GetDword(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    ULONG mask = dwEvtMask;
    return Set(hFile, IOCTL_SERIAL_SET_WAIT_MASK, mask);
}

// The caller's DWORD is the request's output buffer, so an overlapped wait
// delivers the mask there when it completes.
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    if (lpEvtMask == nullptr) {
        return FailWithError(ERROR_NOACCESS);
    }
    DWORD returned = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &returned,
                           lpOverlapped);
}

// ---- lines, queues and status ----------------------------------------------------------------

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    ULONG code = 0;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: return FailWithError(ERROR_INVALID_PARAMETER);
    }
    return Send(hFile, code);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
    return Send(hFile, IOCTL_SERIAL_SET_BREAK_ON);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
    return Send(hFile, IOCTL_SERIAL_SET_BREAK_OFF);
}

// The driver judges the flags.
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    ULONG mask = dwFlags;
    return Set(hFile, IOCTL_SERIAL_PURGE, mask);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status;
    if (!Get(hFile, IOCTL_SERIAL_GET_COMMSTATUS, &status)) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        *lpErrors = CommErrorsOf(status.Errors);
    }
    if (lpStat != nullptr) {
        *lpStat = ComStatOf(status);
    }
    return TRUE;
}

// The line-state bits are the MS_*_ON values; they pass as the driver gives them.
BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    return GetDword(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat);
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    if (lpCommProp == nullptr) {
        return FailWithError(ERROR_NOACCESS);
    }
    ULONG size = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > size) {
        size = lpCommProp->wPacketLength;
    }
    std::memset(lpCommProp, 0, size);
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, size);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return Set(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
    UCHAR c = static_cast<UCHAR>(cChar);
    return Set(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, c);
}
