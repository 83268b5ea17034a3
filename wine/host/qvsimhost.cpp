// qvsimhost.exe: the device host behind the test bus. It runs the project's
// modem core (sim/usb's ModemCore, unchanged) for each child of the bus and
// answers the URBs the bus forwards (see wine/bus/hostlink.h): the device
// and configuration descriptors from the simulated modem's descriptor set
// (sim/usb's descriptors.cpp, the bytes the kernel model's USB device
// gives), the class requests, the transfers and the pipe requests.
// Transfers on the IN pipes stay pending here until the modem has bytes or
// a notification for them.
//
//   qvsimhost [--ready EVENT]   signals the named event once the pipes exist
// With QVSIMHOST_TRACE set in its environment it prints every URB and
// answer on stderr; with QVSIMHOST_NOTIFICATIONS_FIRST it hands a waiting
// notification to the driver before waiting data.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <usbsim/modem.h>
#include <usbsim/urb_record.h>

extern "C" {
#include "../bus/hostlink.h"
}

namespace {

// NTSTATUS and USBD status values the answers carry.
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusCancelled = static_cast<int32_t>(0xC0000120);
constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001);
constexpr uint32_t kUsbdSuccess = 0;
constexpr uint32_t kUsbdCanceled = 0xC0010000;
constexpr uint32_t kUsbdStallPid = 0xC0000004;

static_assert(QVLINK_EP_BULK_IN == usbsim::kBulkInEndpoint && QVLINK_EP_BULK_OUT == usbsim::kBulkOutEndpoint &&
                  QVLINK_EP_INTERRUPT == usbsim::kInterruptEndpoint,
              "the bus opens the modem's endpoints");

// Standard requests on the default pipe (USB 2.0, 9.3 and 9.4).
constexpr uint8_t kRequestTypeMask = 0x60;  // bmRequestType bits 6..5: 0 = standard
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kDeviceDescriptor = 0x01;
constexpr uint8_t kConfigurationDescriptor = 0x02;

// The modems' numbers, as comsim's session and the conformance program dial.
const char* const kNumbers[QVLINK_CHILDREN] = {"5551000", "5552000"};

struct PendingIn {
    uint32_t tag;
    uint32_t length;
};

struct Child {
    std::unique_ptr<usbsim::ModemCore> modem;
    std::deque<PendingIn> bulkIn;
    std::deque<PendingIn> interrupt;
};

class Host {
public:
    bool trace = false;
    bool notificationsFirst = false;
    explicit Host(HANDLE answers) : answers_(answers), start_(GetTickCount64()) {
        for (int i = 0; i < QVLINK_CHILDREN; ++i) {
            children_[i].modem = std::make_unique<usbsim::ModemCore>(&exchange_, kNumbers[i]);
        }
    }

    int64_t Now() const { return static_cast<int64_t>(GetTickCount64() - start_); }

    bool Handle(const QVLINK_URB& urb, DWORD bytes) {
        if (bytes < QVLINK_URB_HEADER || urb.child >= QVLINK_CHILDREN) {
            return true;  // not a message of ours: nothing to answer
        }
        Child& child = children_[urb.child];
        if (trace) {
            std::fprintf(stderr,
                         "qvsimhost: %lld child %u tag %u op %u pipe %u type 0x%02X request 0x%02X value 0x%04X"
                         " length %u\n",
                         static_cast<long long>(Now()), urb.child, urb.tag, urb.op, urb.pipe, urb.requestType,
                         urb.request, urb.value, urb.length);
        }
        size_t carried = bytes - QVLINK_URB_HEADER;
        switch (urb.op) {
        case QVLINK_OP_CONTROL_OUT: {
            std::vector<uint8_t> data(urb.data, urb.data + std::min<size_t>(carried, urb.length));
            bool ok = child.modem->ControlOut(urb.request, urb.value, data, Now());
            return ok ? Answer(urb.tag, kStatusSuccess, kUsbdSuccess, nullptr, static_cast<uint32_t>(data.size()))
                      : Answer(urb.tag, kStatusUnsuccessful, kUsbdStallPid, nullptr, 0);
        }
        case QVLINK_OP_CONTROL_IN: {
            std::vector<uint8_t> data;
            if ((urb.requestType & kRequestTypeMask) == 0) {
                const std::vector<uint8_t>* descriptor = Descriptor(urb);
                if (descriptor == nullptr) {
                    return Answer(urb.tag, kStatusUnsuccessful, kUsbdStallPid, nullptr, 0);
                }
                uint32_t length = std::min<uint32_t>(urb.length, static_cast<uint32_t>(descriptor->size()));
                return Answer(urb.tag, kStatusSuccess, kUsbdSuccess, descriptor->data(), length);
            }
            if (!child.modem->ControlIn(urb.request, urb.value, static_cast<uint16_t>(urb.length), &data)) {
                return Answer(urb.tag, kStatusUnsuccessful, kUsbdStallPid, nullptr, 0);
            }
            return Answer(urb.tag, kStatusSuccess, kUsbdSuccess, data.data(), static_cast<uint32_t>(data.size()));
        }
        case QVLINK_OP_TRANSFER:
            if (urb.pipe == QVLINK_PIPE_BULK_OUT) {
                child.modem->BulkOut(urb.data, carried, Now());
                return Answer(urb.tag, kStatusSuccess, kUsbdSuccess, nullptr, static_cast<uint32_t>(carried));
            }
            (urb.pipe == QVLINK_PIPE_BULK_IN ? child.bulkIn : child.interrupt).push_back({urb.tag, urb.length});
            return true;
        case QVLINK_OP_ABORT:
            if (urb.pipe != QVLINK_PIPE_BULK_OUT) {
                std::deque<PendingIn>& queue = urb.pipe == QVLINK_PIPE_BULK_IN ? child.bulkIn : child.interrupt;
                for (const PendingIn& pending : queue) {
                    if (!Answer(pending.tag, kStatusCancelled, kUsbdCanceled, nullptr, 0)) {
                        return false;
                    }
                }
                queue.clear();
            }
            return Answer(urb.tag, kStatusSuccess, kUsbdSuccess, nullptr, 0);
        case QVLINK_OP_RESET:
            return Answer(urb.tag, kStatusSuccess, kUsbdSuccess, nullptr, 0);
        case QVLINK_OP_CLOSE:  // the bus has ended them already
            child.bulkIn.clear();
            child.interrupt.clear();
            return true;
        default:
            return Answer(urb.tag, kStatusUnsuccessful, kUsbdStallPid, nullptr, 0);
        }
    }

    // The descriptor a standard GET_DESCRIPTOR asks for (wValue: type in the
    // high byte, index in the low), or null where the modem stalls: it has
    // one configuration and no string descriptors.
    static const std::vector<uint8_t>* Descriptor(const QVLINK_URB& urb) {
        if (urb.request != kGetDescriptor) {
            return nullptr;
        }
        switch (urb.value) {
        case kDeviceDescriptor << 8:
            return &usbsim::ModemDeviceDescriptor();
        case kConfigurationDescriptor << 8:
            return &usbsim::ModemConfigurationDescriptor();
        default:
            return nullptr;
        }
    }

    // Lets time pass for the modems, then hands what they produced to the
    // transfers waiting for it.
    bool Pump() {
        int64_t now = Now();
        for (Child& child : children_) {
            child.modem->Tick(now);
        }
        for (Child& child : children_) {
            // Data before notifications, as the kernel model's host stack
            // delivers them; QVSIMHOST_NOTIFICATIONS_FIRST turns it round.
            if (notificationsFirst && !PumpNotifications(child)) {
                return false;
            }
            if (!PumpData(child) || (!notificationsFirst && !PumpNotifications(child))) {
                return false;
            }
        }
        return true;
    }

    bool PumpNotifications(Child& child) {
        usbsim::ModemCore& modem = *child.modem;
        while (!child.interrupt.empty() && !modem.notifications.empty()) {
            PendingIn pending = child.interrupt.front();
            child.interrupt.pop_front();
            const auto& note = modem.notifications.front();
            uint32_t length = std::min<uint32_t>(pending.length, static_cast<uint32_t>(note.size()));
            bool sent = Answer(pending.tag, kStatusSuccess, kUsbdSuccess, note.data(), length);
            modem.notifications.pop_front();
            if (!sent) {
                return false;
            }
        }
        return true;
    }

    bool PumpData(Child& child) {
        usbsim::ModemCore& modem = *child.modem;
        while (!child.bulkIn.empty() && !modem.bulkIn.empty()) {
            PendingIn pending = child.bulkIn.front();
            child.bulkIn.pop_front();
            uint32_t length = std::min<uint32_t>(pending.length, static_cast<uint32_t>(modem.bulkIn.size()));
            std::vector<uint8_t> data(modem.bulkIn.begin(), modem.bulkIn.begin() + length);
            modem.bulkIn.erase(modem.bulkIn.begin(), modem.bulkIn.begin() + length);
            if (!Answer(pending.tag, kStatusSuccess, kUsbdSuccess, data.data(), length)) {
                return false;
            }
        }
        return true;
    }

    // Milliseconds until a modem has something to do on its own.
    DWORD WaitTime() const {
        int64_t next = -1;
        for (const Child& child : children_) {
            int64_t deadline = child.modem->NextDeadline();
            if (deadline >= 0 && (next < 0 || deadline < next)) {
                next = deadline;
            }
        }
        if (next < 0) {
            return INFINITE;
        }
        int64_t wait = next - Now();
        return wait <= 0 ? 0 : static_cast<DWORD>(wait);
    }

private:
    bool Answer(uint32_t tag, int32_t status, uint32_t usbdStatus, const uint8_t* data, uint32_t length) {
        if (trace) {
            std::string shown;
            for (uint32_t i = 0; data != nullptr && i < length; ++i) {
                char c = static_cast<char>(data[i]);
                char hex[8];
                std::snprintf(hex, sizeof(hex), "\\x%02X", data[i]);
                shown += c >= 0x20 && c < 0x7F ? std::string(1, c) : std::string(hex);
            }
            std::fprintf(stderr, "qvsimhost: %lld answer tag %u status 0x%08X length %u %s\n",
                         static_cast<long long>(Now()), tag, static_cast<unsigned>(status), length, shown.c_str());
        }
        answer_.tag = tag;
        answer_.status = status;
        answer_.usbdStatus = usbdStatus;
        answer_.length = length;
        answer_.dataLength = data != nullptr ? length : 0;
        if (data != nullptr) {
            std::memcpy(answer_.data, data, length);
        }
        DWORD size = static_cast<DWORD>(QVLINK_ANSWER_HEADER + answer_.dataLength);
        DWORD written = 0;
        return WriteFile(answers_, &answer_, size, &written, nullptr) && written == size;
    }

    HANDLE answers_;
    ULONGLONG start_;
    usbsim::Exchange exchange_;
    Child children_[QVLINK_CHILDREN];
    QVLINK_ANSWER answer_{};
};

HANDLE MakePipe(const char* name, DWORD direction) {
    return CreateNamedPipeA(name, direction | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, sizeof(QVLINK_ANSWER) * 4,
                            sizeof(QVLINK_URB) * 4, 0, nullptr);
}

// Waits for the bus to connect to a pipe.
bool Connect(HANDLE pipe) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
    if (!connected) {
        DWORD error = GetLastError();
        DWORD ignored;
        connected = error == ERROR_PIPE_CONNECTED ||
                    (error == ERROR_IO_PENDING && GetOverlappedResult(pipe, &overlapped, &ignored, TRUE));
    }
    CloseHandle(overlapped.hEvent);
    return connected;
}

}  // namespace

int main(int argc, char** argv) {
    const char* readyEvent = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ready") == 0 && i + 1 < argc) {
            readyEvent = argv[++i];
        } else {
            std::fprintf(stderr, "usage: qvsimhost [--ready EVENT]\n");
            return 2;
        }
    }
    HANDLE urbs = MakePipe(QVLINK_URB_PIPE_WIN32, PIPE_ACCESS_INBOUND);
    HANDLE answers = MakePipe(QVLINK_ANSWER_PIPE_WIN32, PIPE_ACCESS_OUTBOUND);
    if (urbs == INVALID_HANDLE_VALUE || answers == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "qvsimhost: cannot create the pipes (error %lu)\n", GetLastError());
        return 1;
    }
    if (readyEvent != nullptr) {
        HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEvent);
        if (ready != nullptr) {
            SetEvent(ready);
            CloseHandle(ready);
        }
    }
    if (!Connect(urbs) || !Connect(answers)) {
        std::fprintf(stderr, "qvsimhost: the bus did not connect (error %lu)\n", GetLastError());
        return 1;
    }

    Host host(answers);
    host.trace = GetEnvironmentVariableA("QVSIMHOST_TRACE", nullptr, 0) != 0;
    host.notificationsFirst = GetEnvironmentVariableA("QVSIMHOST_NOTIFICATIONS_FIRST", nullptr, 0) != 0;
    auto message = std::make_unique<QVLINK_URB>();
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        ResetEvent(overlapped.hEvent);
        DWORD bytes = 0;
        bool done = ReadFile(urbs, message.get(), sizeof(QVLINK_URB), &bytes, &overlapped) != FALSE;
        if (!done && GetLastError() != ERROR_IO_PENDING) {
            break;  // the bus closed the link
        }
        while (!done) {
            DWORD wait = WaitForSingleObject(overlapped.hEvent, host.WaitTime());
            if (wait == WAIT_OBJECT_0) {
                if (!GetOverlappedResult(urbs, &overlapped, &bytes, FALSE)) {
                    return 0;  // the bus closed the link
                }
                done = true;
            } else if (!host.Pump()) {
                return 0;
            }
        }
        if (!host.Handle(*message, bytes) || !host.Pump()) {
            break;
        }
    }
    return 0;
}
