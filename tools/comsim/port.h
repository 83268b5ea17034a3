// One COM port as an application sees it, through the Win32 comm API with
// overlapped I/O, so that every wait has a bound.
#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

namespace comsim {

class Port {
public:
    explicit Port(std::string name) : name_(std::move(name)) {}
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // CreateFile, then 115200 8N1 with DTR and RTS on, and reads that end as
    // soon as something has arrived.
    bool Open();
    void Close();
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool Send(const std::string& text);
    // What arrives within `waitMs`, empty if nothing did. One read stays in
    // flight between calls, so nothing is lost between them.
    std::string Receive(DWORD waitMs);
    // Receives until `expected` has been seen (what came before it is
    // consumed with it) or `timeoutMs` pass.
    bool Expect(const std::string& expected, DWORD timeoutMs);
    // Waits for one of the serial events of `mask` (WaitCommEvent).
    bool WaitEvent(DWORD mask, DWORD timeoutMs, DWORD* events);
    // Waits until the modem status shows all of `bits` (GetCommModemStatus).
    bool WaitModemStatus(DWORD bits, DWORD timeoutMs, DWORD* status);

    // Quiet ports print no transcript (the terminal prints raw text itself).
    void set_quiet(bool quiet) { quiet_ = quiet; }
    const std::string& name() const { return name_; }
    uint64_t bytesSent() const { return bytesSent_; }
    uint64_t bytesReceived() const { return bytesReceived_; }
    uint64_t calls() const { return calls_; }
    // Why the last call failed.
    const std::string& lastError() const { return error_; }

private:
    bool Fail(const std::string& what);
    bool Await(BOOL issued, OVERLAPPED* overlapped, DWORD timeoutMs, DWORD* bytes);
    void Show(const char* direction, const std::string& text);

    std::string name_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE readEvent_ = nullptr;
    OVERLAPPED read_{};
    bool reading_ = false;
    char readBuffer_[256] = {};
    std::string received_;  // arrived and not yet consumed by Expect
    std::string error_;
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
    uint64_t calls_ = 0;
    bool quiet_ = false;
};

// Printable form of modem text: CR and LF shown, other controls in hex.
std::string Printable(const std::string& text);

}  // namespace comsim
