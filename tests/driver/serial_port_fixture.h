// The real driver on a simulated modem, driven as an application drives a COM
// port: through the Win32 comm API on "\\.\COM5". The class requests the
// modem receives are recorded as the host stack saw them, and white-box
// checks read the DEVICE_EXTENSION.
#pragma once

#include "driver_fixture.h"

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include <win32/setupapi.h>
#include <win32/win32sim.h>
#include <win32/windows.h>

namespace qvtest {

// The class requests on the default pipe, as submitted, each described in
// one line ("SET_CONTROL_LINE_STATE 0x0001", "SET_LINE_CODING 115200 0 0 8"),
// with anything outside the class's layout flagged in the text.
class ClassRequestLog : public usbsim::UrbObserver {
public:
    void OnUrb(const usbsim::UrbRecord& r) override;
    std::vector<std::string> Lines() const;
    void Clear();

private:
    mutable kmodel::Mutex mutex_;
    std::vector<std::string> lines_;
};

using Lines = std::vector<std::string>;

// A WaitCommEvent issued overlapped; the mask arrives when it completes.
struct PendingWait {
    OVERLAPPED ov{};
    DWORD mask = 0xDEADBEEF;
};

class SerialPortTest : public DriverTest {
public:
    void SetUp() override;
    void TearDown() override;

    // CreateFileW on "\\.\COM5", waits until the open's first transfers have
    // settled (the modem's power-up notification has been read) and forgets
    // the class requests seen so far.
    HANDLE OpenPort(DWORD flags = FILE_FLAG_OVERLAPPED);
    void ClosePort();
    // Another modem and port, counted in the pool the test must give back.
    usbsim::Child* PlugAnotherModem(const std::u16string& portName, const std::string& number);

    // A raw device control, waited for, as an application sends one.
    BOOL Ioctl(ULONG code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* bytes = nullptr);
    template <typename T>
    BOOL IoctlIn(ULONG code, const T& value) {
        return Ioctl(code, &value, sizeof(T), nullptr, 0);
    }

    // WaitCommEvent on the overlapped port: it must pend.
    void StartWait(PendingWait* wait);
    // Whether the wait has completed, without waiting.
    bool Done(PendingWait* wait);
    // Waits for it; returns the completion's Win32 result.
    BOOL Finish(PendingWait* wait, DWORD* bytes = nullptr);

    // The modem sends a SERIAL_STATE notification with this UART state
    // (usbsim::kUart* bits), or these bytes on its bulk-in pipe.
    void ModemNotifies(uint16_t uartState);
    void ModemSends(const std::string& bytes);

    Lines Sent() const { return log.Lines(); }
    void Forget() { log.Clear(); }

    // GetCommState, then BuildCommDCBA with this text, then SetCommState.
    DCB ApplyCommSettings(HANDLE handle, const char* text);

    // Reads that return at once with what is buffered (ReadIntervalTimeout
    // MAXDWORD, no totals), and whole writes and reads on any handle.
    void ReadsReturnAtOnce(HANDLE handle);
    DWORD WriteText(HANDLE handle, const std::string& text);
    std::string ReadText(HANDLE handle, DWORD most = 4096);

    // One device control sent straight to the driver's device object at the
    // IRQL given, as a kernel-mode sender would; waited for.
    struct IrpOutcome {
        NTSTATUS returned = 0;  // what IoCallDriver returned
        NTSTATUS final = 0;     // the request's final status
        ULONG_PTR information = 0;
        std::vector<uint8_t> out;  // the output buffer afterwards
    };
    IrpOutcome SendIrp(KIRQL irql, ULONG code, const std::vector<uint8_t>& in, ULONG outLength);

    usbsim::Child* child = nullptr;
    PDEVICE_EXTENSION pdx = nullptr;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;    // manual-reset, for the waits of a test
    HANDLE ioEvent = nullptr;  // manual-reset, for its reads and writes
    ClassRequestLog log;
    // Cleared by a test that removes the device: its extension is gone.
    bool deviceLives = true;

private:
    size_t poolBeforeOpen_ = 0;
    size_t handlesBefore_ = 0;
    size_t requestsBefore_ = 0;
};

// The serial records in bytes.
template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

}  // namespace qvtest
