#include "port.h"

#include <chrono>
#include <cstdio>

namespace comsim {

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
    std::printf("  %-4s %s %s\n", name_.c_str(), direction, Printable(text).c_str());
    std::fflush(stdout);
}

bool Port::Open() {
    std::string path = "\\\\.\\" + name_;
    ++requests_;
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        return Fail("CreateFile");
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    requests_ += 2;
    if (!GetCommState(handle_, &dcb)) {
        return Fail("GetCommState");
    }
    if (!BuildCommDCBA("baud=115200 parity=N data=8 stop=1 dtr=on rts=on", &dcb)) {
        return Fail("BuildCommDCB");
    }
    ++requests_;
    if (!SetCommState(handle_, &dcb)) {
        return Fail("SetCommState");
    }
    // A read returns what has arrived, or gives up after a short while.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 100;
    ++requests_;
    if (!SetCommTimeouts(handle_, &timeouts)) {
        return Fail("SetCommTimeouts");
    }
    return true;
}

void Port::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        ++requests_;
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

bool Port::Send(const std::string& text) {
    DWORD written = 0;
    ++requests_;
    if (!WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        return Fail("WriteFile");
    }
    bytesSent_ += written;
    Show("<-", text);
    return true;
}

std::string Port::ReadAvailable() {
    char buffer[256];
    DWORD got = 0;
    ++requests_;
    // A read that times out with nothing fails with ERROR_SEM_TIMEOUT.
    if (!ReadFile(handle_, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
        return {};
    }
    bytesReceived_ += got;
    std::string text(buffer, got);
    Show("->", text);
    return text;
}

bool Port::Expect(const std::string& expected, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received_.find(expected) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            error_ = name_ + ": expected \"" + Printable(expected) + "\", got \"" + Printable(received_) + "\"";
            return false;
        }
        received_ += ReadAvailable();
    }
    received_.erase(0, received_.find(expected) + expected.size());
    return true;
}

std::string Port::TakeText() {
    std::string text;
    text.swap(received_);
    return text;
}

bool Port::WaitEvent(DWORD mask, DWORD* events) {
    requests_ += 2;
    if (!SetCommMask(handle_, mask)) {
        return Fail("SetCommMask");
    }
    if (!WaitCommEvent(handle_, events, nullptr)) {
        return Fail("WaitCommEvent");
    }
    return true;
}

bool Port::ModemStatus(DWORD* status) {
    ++requests_;
    if (!GetCommModemStatus(handle_, status)) {
        return Fail("GetCommModemStatus");
    }
    return true;
}

}  // namespace comsim
