// One COM port as an application sees it, through the Win32 comm API.
#pragma once

#include <cstdint>
#include <string>

#include <win32/windows.h>

namespace comsim {

class Port {
public:
    explicit Port(std::string name) : name_(std::move(name)) {}
    ~Port();

    // CreateFile, then 115200 8N1 and short read time-outs.
    bool Open();
    void Close();
    bool Send(const std::string& text);
    // Reads until `expected` has been seen or `timeoutMs` of real time pass.
    bool Expect(const std::string& expected, int timeoutMs);
    // Waits for a serial event of `mask` (WaitCommEvent) and reports it.
    bool WaitEvent(DWORD mask, DWORD* events);
    bool ModemStatus(DWORD* status);
    std::string TakeText();  // what was received and not yet consumed
    std::string ReadAvailable();  // one read, empty if nothing came

    // Quiet ports print no transcript (the terminal prints raw text itself).
    void set_quiet(bool quiet) { quiet_ = quiet; }
    const std::string& name() const { return name_; }
    uint64_t bytesSent() const { return bytesSent_; }
    uint64_t bytesReceived() const { return bytesReceived_; }
    uint64_t requests() const { return requests_; }
    const std::string& lastError() const { return error_; }

private:
    bool Fail(const std::string& what);
    void Show(const char* direction, const std::string& text);

    std::string name_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string received_;
    std::string error_;
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
    uint64_t requests_ = 0;
    bool quiet_ = false;
};

// Printable form of modem text: CR and LF shown, other controls in hex.
std::string Printable(const std::string& text);

}  // namespace comsim
