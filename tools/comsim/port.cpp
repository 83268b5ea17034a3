#include "port.h"

#include <cstdio>

namespace comsim {

namespace {

// A bound for requests that finish at once on a working port (writes,
// control requests); reaching it means the port is stuck.
const DWORD kPromptMs = 5000;
// How long one status poll waits before asking again.
const DWORD kStatusPollMs = 20;

// A held read ends as soon as something arrives; it gives up only after
// this long, so the read kept in flight is reissued now and then.
const DWORD kReadHoldMs = 60000;

bool TimeLeft(DWORD start, DWORD timeoutMs, DWORD* left) {
    DWORD spent = GetTickCount() - start;  // wraps correctly
    *left = spent < timeoutMs ? timeoutMs - spent : 0;
    return spent < timeoutMs;
}

}  // namespace

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 32 || c >= 127) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

Port::~Port() {
    Close();
}

bool Port::Fail(const std::string& what) {
    error_ = name_ + ": " + what + " failed, error " + std::to_string(GetLastError());
    return false;
}

void Port::Show(const char* direction, const std::string& text) {
    if (quiet_) {
        return;
    }
    std::printf("  %-5s %s %s\n", name_.c_str(), direction, Printable(text).c_str());
    std::fflush(stdout);
}

// Finishes an overlapped request: waits up to `timeoutMs` for it, cancels it
// if it is still running then, and returns its result.
bool Port::Await(BOOL issued, OVERLAPPED* overlapped, DWORD timeoutMs, DWORD* bytes) {
    *bytes = 0;
    if (!issued && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (WaitForSingleObject(overlapped->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        ++calls_;
        CancelIoEx(handle_, overlapped);
    }
    ++calls_;
    return GetOverlappedResult(handle_, overlapped, bytes, TRUE) != FALSE;
}

bool Port::Open() {
    error_.clear();
    std::string path = "\\\\.\\" + name_;
    ++calls_;
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        return Fail("CreateFile");
    }
    readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (readEvent_ == nullptr) {
        return Fail("CreateEvent");
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    calls_ += 2;
    if (!GetCommState(handle_, &dcb)) {
        return Fail("GetCommState");
    }
    if (!BuildCommDCBA("baud=115200 parity=N data=8 stop=1 dtr=on rts=on", &dcb)) {
        return Fail("BuildCommDCB");
    }
    ++calls_;
    if (!SetCommState(handle_, &dcb)) {
        return Fail("SetCommState");
    }
    // MAXDWORD, MAXDWORD and a constant: a read returns what is there, or
    // waits for the first byte to arrive, for at most the constant.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadHoldMs;
    timeouts.WriteTotalTimeoutConstant = kPromptMs;
    ++calls_;
    if (!SetCommTimeouts(handle_, &timeouts)) {
        return Fail("SetCommTimeouts");
    }
    return true;
}

void Port::Close() {
    if (reading_) {
        DWORD got = 0;
        ++calls_;
        CancelIoEx(handle_, &read_);
        ++calls_;
        GetOverlappedResult(handle_, &read_, &got, TRUE);
        reading_ = false;
    }
    if (handle_ != INVALID_HANDLE_VALUE) {
        ++calls_;
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    if (readEvent_ != nullptr) {
        CloseHandle(readEvent_);
        readEvent_ = nullptr;
    }
}

bool Port::Send(const std::string& text) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    ++calls_;
    BOOL issued = WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), nullptr, &overlapped);
    bool ok = Await(issued, &overlapped, kPromptMs, &written) && written == text.size();
    if (!ok) {
        Fail("WriteFile");
    }
    CloseHandle(overlapped.hEvent);
    bytesSent_ += written;
    if (ok) {
        Show("<-", text);
    }
    return ok;
}

std::string Port::Receive(DWORD waitMs) {
    if (!reading_) {
        read_ = OVERLAPPED{};
        read_.hEvent = readEvent_;
        ++calls_;
        if (!ReadFile(handle_, readBuffer_, sizeof(readBuffer_), nullptr, &read_) &&
            GetLastError() != ERROR_IO_PENDING) {
            Fail("ReadFile");
            return {};
        }
        reading_ = true;
    }
    if (WaitForSingleObject(readEvent_, waitMs) != WAIT_OBJECT_0) {
        return {};
    }
    reading_ = false;
    DWORD got = 0;
    ++calls_;
    // A read that ran out of time with nothing fails with ERROR_SEM_TIMEOUT
    // or succeeds empty, depending on the driver: nothing arrived either way.
    if (!GetOverlappedResult(handle_, &read_, &got, FALSE) || got == 0) {
        return {};
    }
    bytesReceived_ += got;
    std::string text(readBuffer_, got);
    Show("->", text);
    return text;
}

bool Port::Expect(const std::string& expected, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    DWORD left = timeoutMs;
    while (received_.find(expected) == std::string::npos) {
        if (!TimeLeft(start, timeoutMs, &left)) {
            error_ = name_ + ": expected \"" + Printable(expected) + "\" within " + std::to_string(timeoutMs) +
                     " ms, got \"" + Printable(received_) + "\"";
            return false;
        }
        received_ += Receive(left);
    }
    received_.erase(0, received_.find(expected) + expected.size());
    return true;
}

bool Port::WaitEvent(DWORD mask, DWORD timeoutMs, DWORD* events) {
    ++calls_;
    if (!SetCommMask(handle_, mask)) {
        return Fail("SetCommMask");
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    *events = 0;
    DWORD bytes = 0;
    ++calls_;
    BOOL issued = WaitCommEvent(handle_, events, &overlapped);
    bool ok = Await(issued, &overlapped, timeoutMs, &bytes) && (*events & mask) != 0;
    CloseHandle(overlapped.hEvent);
    if (!ok) {
        char text[80];
        std::snprintf(text, sizeof(text), ": no serial event of mask 0x%04lx within %lu ms",
                      static_cast<unsigned long>(mask), static_cast<unsigned long>(timeoutMs));
        error_ = name_ + text;
    }
    return ok;
}

bool Port::WaitModemStatus(DWORD bits, DWORD timeoutMs, DWORD* status) {
    DWORD start = GetTickCount();
    DWORD left = timeoutMs;
    do {
        ++calls_;
        if (!GetCommModemStatus(handle_, status)) {
            return Fail("GetCommModemStatus");
        }
        if ((*status & bits) == bits) {
            return true;
        }
        Sleep(kStatusPollMs);
    } while (TimeLeft(start, timeoutMs, &left));
    char text[80];
    std::snprintf(text, sizeof(text), ": modem status 0x%02lx lacks 0x%02lx after %lu ms",
                  static_cast<unsigned long>(*status), static_cast<unsigned long>(bits),
                  static_cast<unsigned long>(timeoutMs));
    error_ = name_ + text;
    return false;
}

}  // namespace comsim
