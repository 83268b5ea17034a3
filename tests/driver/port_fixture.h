// COM5 on a simulated modem, opened through the I/O manager, with the
// requests an application sends on it and a log of every URB the host stack
// sees. White-box checks read the DEVICE_EXTENSION.
#pragma once

#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include "driver_fixture.h"

namespace qvtest {

// Every URB as submitted and as completed. The host stack reports them under
// its own lock, so they arrive one at a time; tests read them once quiet.
class UrbLog : public usbsim::UrbObserver {
public:
    void OnUrb(const usbsim::UrbRecord& r) override {
        records.push_back(r);
        if (hook) {
            hook(r);
        }
    }
    std::vector<usbsim::UrbRecord> Submitted(uint8_t endpoint,
                                             USHORT function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) const {
        std::vector<usbsim::UrbRecord> out;
        for (const auto& r : records) {
            if (!r.completion && r.endpoint == endpoint && r.function == function) {
                out.push_back(r);
            }
        }
        return out;
    }
    size_t Count(uint8_t endpoint, USHORT function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) const {
        return Submitted(endpoint, function).size();
    }
    std::vector<usbsim::UrbRecord> records;
    // Runs inside the host stack, under its lock: may change pipe faults.
    std::function<void(const usbsim::UrbRecord&)> hook;
};

// One application request in flight; it must stay where it is until done.
struct Pending {
    kmodel::io::Request request;
    std::vector<uint8_t> buffer;
    NTSTATUS returned = STATUS_PENDING;
    bool Done() const { return request.Finished; }
    NTSTATUS Status() const { return request.IoStatus.Status; }
    ULONG_PTR Information() const { return request.IoStatus.Information; }
    ULONG Events() const {
        ULONG events = 0;
        std::memcpy(&events, buffer.data(), sizeof(events));
        return events;
    }
};

class PortTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        child = PlugModem(u"COM5", "5551000");
        pdx = Extension(child);
        Stack().AddObserver(&log);
    }

    void TearDown() override {
        if (file != nullptr) {
            ClosePort();
        }
        DriverTest::TearDown();
    }

    void OpenPort() {
        ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
        kmodel::WaitForQuiescence();
    }

    void ClosePort() {
        kmodel::io::CloseHandle(file);
        file = nullptr;
        kmodel::WaitForQuiescence();
    }

    usbsim::ModemCore& Modem() { return Stack().modem(); }

    // The modem sends these bytes to the host, as far as the driver takes them.
    void Feed(const std::vector<uint8_t>& bytes) {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().bulkIn.insert(Modem().bulkIn.end(), bytes.begin(), bytes.end());
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
        kmodel::WaitForQuiescence();
    }

    // The next n bytes of a running counter pattern, so that order is checkable.
    std::vector<uint8_t> Pattern(size_t n) {
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(fed_++ % 251);
        }
        return bytes;
    }
    void FeedPattern(size_t n) { Feed(Pattern(n)); }
    // What a reader should get next from the pattern.
    std::vector<uint8_t> Expected(size_t n) {
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(read_++ % 251);
        }
        return bytes;
    }

    void ClearNotifications() {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().notifications.clear();
        KeReleaseSpinLock(&world->lock, irql);
    }

    // A CDC SERIAL_STATE notification carrying this UART state.
    void Notify(USHORT uartState) {
        KIRQL irql;
        KeAcquireSpinLock(&world->lock, &irql);
        Modem().notifications.push_back({0xA1, 0x20, 0, 0, 0, 0, 2, 0, static_cast<uint8_t>(uartState),
                                         static_cast<uint8_t>(uartState >> 8)});
        KeReleaseSpinLock(&world->lock, irql);
        Stack().Poke();
        kmodel::WaitForQuiescence();
    }

    NTSTATUS Control(ULONG code, const void* input = nullptr, ULONG inputLength = 0, void* output = nullptr,
                     ULONG outputLength = 0) {
        kmodel::io::Request request;
        NTSTATUS status = kmodel::io::DeviceControl(file, code, input, inputLength, output, outputLength, &request);
        if (status == STATUS_PENDING) {
            status = kmodel::io::Wait(&request);
        }
        kmodel::WaitForQuiescence();
        return status;
    }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{interval, multiplier, constant, 0, 0};
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t)), STATUS_SUCCESS);
    }

    void SetWaitMask(ULONG mask) {
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)), STATUS_SUCCESS);
    }

    NTSTATUS Purge(ULONG flags) { return Control(IOCTL_SERIAL_PURGE, &flags, sizeof(flags)); }

    NTSTATUS StartRead(Pending& p, ULONG length) {
        p.buffer.assign(length, 0xEE);
        p.returned = kmodel::io::Read(file, p.buffer.data(), length, &p.request);
        kmodel::WaitForQuiescence();
        return p.returned;
    }

    NTSTATUS StartWait(Pending& p) {
        p.buffer.assign(sizeof(ULONG), 0xEE);
        p.returned =
            kmodel::io::DeviceControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, p.buffer.data(), sizeof(ULONG),
                                      &p.request);
        kmodel::WaitForQuiescence();
        return p.returned;
    }

    NTSTATUS StartWrite(Pending& p, const std::vector<uint8_t>& data) {
        p.buffer = data;
        p.returned = kmodel::io::Write(file, p.buffer.data(), static_cast<ULONG>(p.buffer.size()), &p.request);
        return p.returned;
    }

    // A read that must complete at once with what is buffered (the time-outs
    // {MAXULONG, 0, 0} for it, then those set before); returns the bytes it got.
    std::vector<uint8_t> ReadNow(ULONG length) {
        SERIAL_TIMEOUTS before{};
        EXPECT_EQ(Control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &before, sizeof(before)), STATUS_SUCCESS);
        SetTimeouts(MAXULONG, 0, 0);
        Pending p;
        EXPECT_EQ(StartRead(p, length), STATUS_SUCCESS);
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &before, sizeof(before)), STATUS_SUCCESS);
        EXPECT_TRUE(p.Done());
        p.buffer.resize(p.Done() ? p.Information() : 0);
        return p.buffer;
    }

    void Cancel(Pending& p) {
        kmodel::io::Cancel(file, &p.request);
        kmodel::WaitForQuiescence();
    }

    usbsim::Child* child = nullptr;
    PDEVICE_EXTENSION pdx = nullptr;
    PFILE_OBJECT file = nullptr;
    UrbLog log;

private:
    size_t fed_ = 0;
    size_t read_ = 0;
};

}  // namespace qvtest
