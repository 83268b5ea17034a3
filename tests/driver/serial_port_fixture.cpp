#include "serial_port_fixture.h"

#include <cstdio>

namespace qvtest {

namespace {

std::string Hex4(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%04X", value & 0xFFFF);
    return text;
}

}  // namespace

void ClassRequestLog::OnUrb(const usbsim::UrbRecord& r) {
    if (r.completion || !r.hasSetup) {
        return;
    }
    const uint8_t type = r.setup[0];
    const uint8_t request = r.setup[1];
    const unsigned value = r.setup[2] | (r.setup[3] << 8);
    const unsigned index = r.setup[4] | (r.setup[5] << 8);
    const unsigned length = r.setup[6] | (r.setup[7] << 8);
    std::string line;
    std::string bad;
    switch (request) {
    case usbsim::kSetLineCoding: {
        line = "SET_LINE_CODING";
        if (r.data.size() == 7) {
            uint32_t rate = r.data[0] | (r.data[1] << 8) | (r.data[2] << 16) | (uint32_t(r.data[3]) << 24);
            line += " " + std::to_string(rate) + " " + std::to_string(r.data[4]) + " " + std::to_string(r.data[5]) +
                    " " + std::to_string(r.data[6]);
        } else {
            bad += " data";
        }
        if (type != 0x21 || length != 7 || value != 0) {
            bad += " setup";
        }
        break;
    }
    case usbsim::kGetLineCoding:
        line = "GET_LINE_CODING";
        if (type != 0xA1 || length != 7 || value != 0) {
            bad += " setup";
        }
        break;
    case usbsim::kSetControlLineState:
        line = "SET_CONTROL_LINE_STATE " + Hex4(value);
        if (type != 0x21 || length != 0) {
            bad += " setup";
        }
        break;
    case usbsim::kSendBreak:
        line = "SEND_BREAK " + Hex4(value);
        if (type != 0x21 || length != 0) {
            bad += " setup";
        }
        break;
    default:
        line = "REQUEST " + Hex4(request);
        break;
    }
    if (index != 0) {
        bad += " index";
    }
    if (!bad.empty()) {
        line += " (unexpected" + bad + ")";
    }
    std::lock_guard<kmodel::Mutex> guard(mutex_);
    lines_.push_back(line);
}

std::vector<std::string> ClassRequestLog::Lines() const {
    std::lock_guard<kmodel::Mutex> guard(mutex_);
    return lines_;
}

void ClassRequestLog::Clear() {
    std::lock_guard<kmodel::Mutex> guard(mutex_);
    lines_.clear();
}

void SerialPortTest::SetUp() {
    DriverTest::SetUp();
    handlesBefore_ = win32sim::OpenHandleCount();
    requestsBefore_ = win32sim::TrackedRequestCount();
    child = PlugModem(u"COM5", "5551000");
    ASSERT_NE(Fdo(child), nullptr);
    pdx = Extension(child);
    Stack().AddObserver(&log);
    kmodel::WaitForQuiescence();
    poolBeforeOpen_ = DriverPool();
    event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// Every test closes the port with nothing left in flight: the open's
// reference on the remove lock and every pool block of the open are given
// back.
void SerialPortTest::TearDown() {
    if (port != INVALID_HANDLE_VALUE) {
        kmodel::WaitForQuiescence();
        if (deviceLives) {
            EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue)) << "a wait was left queued";
            EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue)) << "a read was left queued";
        }
        // Whatever a failed test left queued would keep the close away.
        CancelIoEx(port, nullptr);
        ClosePort();
    }
    for (HANDLE* h : {&event, &ioEvent}) {
        if (*h != nullptr) {
            EXPECT_TRUE(CloseHandle(*h));
            *h = nullptr;
        }
    }
    kmodel::WaitForQuiescence();
    EXPECT_EQ(win32sim::OpenHandleCount(), handlesBefore_);
    EXPECT_EQ(win32sim::TrackedRequestCount(), requestsBefore_);
    if (deviceLives) {
        EXPECT_EQ(pdx->RemoveLock.Usage, 1);
        EXPECT_EQ(DriverPool(), poolBeforeOpen_);
        EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
        EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));
    }
    DriverTest::TearDown();
}

HANDLE SerialPortTest::OpenPort(DWORD flags) {
    port = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    kmodel::WaitForQuiescence();
    Forget();
    return port;
}

usbsim::Child* SerialPortTest::PlugAnotherModem(const std::u16string& portName, const std::string& number) {
    const size_t before = DriverPool();
    usbsim::Child* another = PlugModem(portName, number);
    kmodel::WaitForQuiescence();
    poolBeforeOpen_ += DriverPool() - before;
    return another;
}

// The references of requests completed off their thread are dropped from a
// system thread first, so that the handle's own is the last and the close
// runs here: a close run on that system thread would wait for USB
// completions queued behind it.
void SerialPortTest::ClosePort() {
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    kmodel::WaitForQuiescence();
}

BOOL SerialPortTest::Ioctl(ULONG code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* bytes) {
    DWORD returned = 0xBAD;
    BOOL ok = DeviceIoControl(port, code, const_cast<void*>(in), inLength, out, outLength, &returned, nullptr);
    if (bytes != nullptr) {
        *bytes = returned;
    }
    return ok;
}

void SerialPortTest::StartWait(PendingWait* wait) {
    wait->ov = OVERLAPPED{};
    wait->ov.hEvent = event;
    wait->mask = 0xDEADBEEF;
    ASSERT_FALSE(WaitCommEvent(port, &wait->mask, &wait->ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
}

bool SerialPortTest::Done(PendingWait* wait) {
    return HasOverlappedIoCompleted(&wait->ov) != FALSE;
}

// Whatever ends a wait in these tests has happened by now: a wait still
// queued once the model is quiet is a failure, not something to wait for.
BOOL SerialPortTest::Finish(PendingWait* wait, DWORD* bytes) {
    kmodel::WaitForQuiescence();
    if (!Done(wait)) {
        ADD_FAILURE() << "the wait is still queued";
        return FALSE;
    }
    DWORD transferred = 0xBAD;
    BOOL ok = GetOverlappedResult(port, &wait->ov, &transferred, TRUE);
    if (bytes != nullptr) {
        *bytes = transferred;
    }
    return ok;
}

DCB SerialPortTest::ApplyCommSettings(HANDLE handle, const char* text) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    EXPECT_TRUE(GetCommState(handle, &dcb));
    EXPECT_TRUE(BuildCommDCBA(text, &dcb));
    EXPECT_TRUE(SetCommState(handle, &dcb));
    return dcb;
}

void SerialPortTest::ReadsReturnAtOnce(HANDLE handle) {
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(handle, &timeouts));
}

DWORD SerialPortTest::WriteText(HANDLE handle, const std::string& text) {
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    DWORD written = 0;
    if (!WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, &ov)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_TRUE(GetOverlappedResult(handle, &ov, &written, TRUE));
    }
    return written;
}

std::string SerialPortTest::ReadText(HANDLE handle, DWORD most) {
    std::string text(most, '\0');
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    DWORD read = 0;
    if (!ReadFile(handle, text.data(), most, &read, &ov)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_TRUE(GetOverlappedResult(handle, &ov, &read, TRUE));
    }
    text.resize(read);
    return text;
}

SerialPortTest::IrpOutcome SerialPortTest::SendIrp(KIRQL irql, ULONG code, const std::vector<uint8_t>& in,
                                                   ULONG outLength) {
    IrpOutcome outcome;
    outcome.out.assign(outLength, 0xCC);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 0xBAD;
    PIRP irp = IoBuildDeviceIoControlRequest(code, Fdo(child), const_cast<uint8_t*>(in.data()),
                                             static_cast<ULONG>(in.size()), outcome.out.data(), outLength, FALSE,
                                             &done, &iosb);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) {
        return outcome;
    }
    KIRQL old;
    KeRaiseIrql(irql, &old);
    outcome.returned = IoCallDriver(Fdo(child), irp);
    KeLowerIrql(old);
    outcome.final = outcome.returned;
    if (outcome.returned == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        outcome.final = iosb.Status;
    }
    // A failure returned at once writes no status block: nothing to report.
    outcome.information = NT_ERROR(outcome.final) && outcome.returned != STATUS_PENDING ? 0 : iosb.Information;
    kmodel::WaitForQuiescence();
    return outcome;
}

void SerialPortTest::ModemNotifies(uint16_t uartState) {
    KIRQL irql;
    KeAcquireSpinLock(&world->lock, &irql);
    Stack().modem().notifications.push_back({0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                                             static_cast<uint8_t>(uartState), static_cast<uint8_t>(uartState >> 8)});
    KeReleaseSpinLock(&world->lock, irql);
    Stack().Poke();
    kmodel::WaitForQuiescence();
}

void SerialPortTest::ModemSends(const std::string& bytes) {
    KIRQL irql;
    KeAcquireSpinLock(&world->lock, &irql);
    Stack().modem().bulkIn.insert(Stack().modem().bulkIn.end(), bytes.begin(), bytes.end());
    KeReleaseSpinLock(&world->lock, irql);
    Stack().Poke();
    kmodel::WaitForQuiescence();
}

}  // namespace qvtest
