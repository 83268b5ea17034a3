#include "trace.h"

#include <algorithm>

#include <kmodel/system.h>
#include <ntddser.h>
#include <usb.h>

namespace comsim {

namespace {

template <typename T>
struct Named {
    T value;
    const char* name;
};
#define NAMED(x) {x, #x}

template <typename T, size_t N>
std::string NameIn(const Named<T> (&table)[N], T value, int hexDigits) {
    for (const Named<T>& n : table) {
        if (n.value == value) {
            return n.name;
        }
    }
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", hexDigits, static_cast<unsigned long long>(value));
    return text;
}

const Named<UCHAR> kMajors[] = {
    NAMED(IRP_MJ_CREATE),         NAMED(IRP_MJ_CLOSE),         NAMED(IRP_MJ_READ),
    NAMED(IRP_MJ_WRITE),          NAMED(IRP_MJ_QUERY_INFORMATION), NAMED(IRP_MJ_SET_INFORMATION),
    NAMED(IRP_MJ_FLUSH_BUFFERS),  NAMED(IRP_MJ_DEVICE_CONTROL), NAMED(IRP_MJ_INTERNAL_DEVICE_CONTROL),
    NAMED(IRP_MJ_SHUTDOWN),       NAMED(IRP_MJ_CLEANUP),       NAMED(IRP_MJ_POWER),
    NAMED(IRP_MJ_SYSTEM_CONTROL), NAMED(IRP_MJ_PNP),
};

const Named<UCHAR> kPnpMinors[] = {
    NAMED(IRP_MN_START_DEVICE),          NAMED(IRP_MN_QUERY_REMOVE_DEVICE),  NAMED(IRP_MN_REMOVE_DEVICE),
    NAMED(IRP_MN_CANCEL_REMOVE_DEVICE),  NAMED(IRP_MN_STOP_DEVICE),          NAMED(IRP_MN_QUERY_STOP_DEVICE),
    NAMED(IRP_MN_CANCEL_STOP_DEVICE),    NAMED(IRP_MN_QUERY_DEVICE_RELATIONS), NAMED(IRP_MN_QUERY_INTERFACE),
    NAMED(IRP_MN_QUERY_CAPABILITIES),    NAMED(IRP_MN_QUERY_RESOURCES),      NAMED(IRP_MN_QUERY_RESOURCE_REQUIREMENTS),
    NAMED(IRP_MN_QUERY_DEVICE_TEXT),     NAMED(IRP_MN_FILTER_RESOURCE_REQUIREMENTS), NAMED(IRP_MN_READ_CONFIG),
    NAMED(IRP_MN_WRITE_CONFIG),          NAMED(IRP_MN_EJECT),                NAMED(IRP_MN_SET_LOCK),
    NAMED(IRP_MN_QUERY_ID),              NAMED(IRP_MN_QUERY_PNP_DEVICE_STATE), NAMED(IRP_MN_QUERY_BUS_INFORMATION),
    NAMED(IRP_MN_DEVICE_USAGE_NOTIFICATION), NAMED(IRP_MN_SURPRISE_REMOVAL), NAMED(IRP_MN_QUERY_LEGACY_BUS_INFORMATION),
};

const Named<UCHAR> kPowerMinors[] = {
    NAMED(IRP_MN_WAIT_WAKE), NAMED(IRP_MN_POWER_SEQUENCE), NAMED(IRP_MN_SET_POWER), NAMED(IRP_MN_QUERY_POWER),
};

const Named<ULONG> kIoControls[] = {
    NAMED(IOCTL_SERIAL_SET_BAUD_RATE),     NAMED(IOCTL_SERIAL_GET_BAUD_RATE),
    NAMED(IOCTL_SERIAL_SET_LINE_CONTROL),  NAMED(IOCTL_SERIAL_GET_LINE_CONTROL),
    NAMED(IOCTL_SERIAL_SET_QUEUE_SIZE),    NAMED(IOCTL_SERIAL_SET_BREAK_ON),
    NAMED(IOCTL_SERIAL_SET_BREAK_OFF),     NAMED(IOCTL_SERIAL_IMMEDIATE_CHAR),
    NAMED(IOCTL_SERIAL_SET_TIMEOUTS),      NAMED(IOCTL_SERIAL_GET_TIMEOUTS),
    NAMED(IOCTL_SERIAL_SET_DTR),           NAMED(IOCTL_SERIAL_CLR_DTR),
    NAMED(IOCTL_SERIAL_SET_RTS),           NAMED(IOCTL_SERIAL_CLR_RTS),
    NAMED(IOCTL_SERIAL_RESET_DEVICE),      NAMED(IOCTL_SERIAL_SET_XOFF),
    NAMED(IOCTL_SERIAL_SET_XON),           NAMED(IOCTL_SERIAL_GET_WAIT_MASK),
    NAMED(IOCTL_SERIAL_SET_WAIT_MASK),     NAMED(IOCTL_SERIAL_WAIT_ON_MASK),
    NAMED(IOCTL_SERIAL_PURGE),             NAMED(IOCTL_SERIAL_GET_CHARS),
    NAMED(IOCTL_SERIAL_SET_CHARS),         NAMED(IOCTL_SERIAL_GET_HANDFLOW),
    NAMED(IOCTL_SERIAL_SET_HANDFLOW),      NAMED(IOCTL_SERIAL_GET_MODEMSTATUS),
    NAMED(IOCTL_SERIAL_GET_COMMSTATUS),    NAMED(IOCTL_SERIAL_XOFF_COUNTER),
    NAMED(IOCTL_SERIAL_GET_PROPERTIES),    NAMED(IOCTL_SERIAL_GET_DTRRTS),
    NAMED(IOCTL_SERIAL_LSRMST_INSERT),     NAMED(IOCTL_SERIAL_CONFIG_SIZE),
    NAMED(IOCTL_SERIAL_GET_COMMCONFIG),    NAMED(IOCTL_SERIAL_SET_COMMCONFIG),
    NAMED(IOCTL_SERIAL_GET_STATS),         NAMED(IOCTL_SERIAL_CLEAR_STATS),
    NAMED(IOCTL_SERIAL_GET_MODEM_CONTROL), NAMED(IOCTL_SERIAL_SET_MODEM_CONTROL),
    NAMED(IOCTL_SERIAL_SET_FIFO_CONTROL),
};

const Named<NTSTATUS> kStatuses[] = {
    NAMED(STATUS_SUCCESS),                NAMED(STATUS_TIMEOUT),
    NAMED(STATUS_PENDING),                NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_UNSUCCESSFUL),           NAMED(STATUS_NOT_IMPLEMENTED),
    NAMED(STATUS_INVALID_HANDLE),         NAMED(STATUS_INVALID_PARAMETER),
    NAMED(STATUS_NO_SUCH_DEVICE),         NAMED(STATUS_INVALID_DEVICE_REQUEST),
    NAMED(STATUS_END_OF_FILE),            NAMED(STATUS_NO_MEMORY),
    NAMED(STATUS_ACCESS_DENIED),          NAMED(STATUS_BUFFER_TOO_SMALL),
    NAMED(STATUS_OBJECT_NAME_NOT_FOUND),  NAMED(STATUS_SHARING_VIOLATION),
    NAMED(STATUS_DELETE_PENDING),         NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_DEVICE_DATA_ERROR),      NAMED(STATUS_DEVICE_NOT_CONNECTED),
    NAMED(STATUS_IO_TIMEOUT),             NAMED(STATUS_NOT_SUPPORTED),
    NAMED(STATUS_CANCELLED),              NAMED(STATUS_DEVICE_DOES_NOT_EXIST),
    NAMED(STATUS_DEVICE_BUSY),            NAMED(STATUS_DEVICE_NOT_READY),
    NAMED(STATUS_INVALID_DEVICE_STATE),   NAMED(STATUS_DEVICE_POWER_FAILURE),
    NAMED(STATUS_DEVICE_REMOVED),         NAMED(STATUS_NOT_FOUND),
    NAMED(STATUS_INVALID_BUFFER_SIZE),    NAMED(STATUS_SERIAL_MORE_WRITES),
    NAMED(STATUS_SERIAL_COUNTER_TIMEOUT),
};

const Named<int32_t> kUsbdStatuses[] = {
    NAMED(USBD_STATUS_SUCCESS),         NAMED(USBD_STATUS_PENDING),
    NAMED(USBD_STATUS_CANCELED),        NAMED(USBD_STATUS_DEVICE_GONE),
    NAMED(USBD_STATUS_STALL_PID),       NAMED(USBD_STATUS_XACT_ERROR),
    NAMED(USBD_STATUS_CRC),             NAMED(USBD_STATUS_DEV_NOT_RESPONDING),
    NAMED(USBD_STATUS_DATA_OVERRUN),    NAMED(USBD_STATUS_DATA_UNDERRUN),
    NAMED(USBD_STATUS_BUFFER_OVERRUN),  NAMED(USBD_STATUS_ENDPOINT_HALTED),
    NAMED(USBD_STATUS_INVALID_URB_FUNCTION), NAMED(USBD_STATUS_INVALID_PARAMETER),
    NAMED(USBD_STATUS_ERROR_BUSY),      NAMED(USBD_STATUS_REQUEST_FAILED),
    NAMED(USBD_STATUS_INVALID_PIPE_HANDLE), NAMED(USBD_STATUS_ERROR_SHORT_TRANSFER),
    NAMED(USBD_STATUS_NOT_SUPPORTED),   NAMED(USBD_STATUS_INSUFFICIENT_RESOURCES),
    NAMED(USBD_STATUS_BUFFER_TOO_SMALL), NAMED(USBD_STATUS_TIMEOUT),
};

const Named<uint16_t> kUrbFunctions[] = {
    NAMED(URB_FUNCTION_SELECT_CONFIGURATION),   NAMED(URB_FUNCTION_SELECT_INTERFACE),
    NAMED(URB_FUNCTION_ABORT_PIPE),             NAMED(URB_FUNCTION_CONTROL_TRANSFER),
    NAMED(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE),
    NAMED(URB_FUNCTION_CLASS_DEVICE),           NAMED(URB_FUNCTION_CLASS_INTERFACE),
    NAMED(URB_FUNCTION_CLASS_ENDPOINT),         NAMED(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL),
    NAMED(URB_FUNCTION_SYNC_RESET_PIPE),        NAMED(URB_FUNCTION_SYNC_CLEAR_STALL),
    NAMED(URB_FUNCTION_VENDOR_DEVICE),          NAMED(URB_FUNCTION_VENDOR_INTERFACE),
};

// CDC requests of the communication interface (USB CDC PSTN subclass).
const Named<uint8_t> kCdcRequests[] = {
    {0x00, "SEND_ENCAPSULATED_COMMAND"}, {0x01, "GET_ENCAPSULATED_RESPONSE"},
    {0x20, "SET_LINE_CODING"},           {0x21, "GET_LINE_CODING"},
    {0x22, "SET_CONTROL_LINE_STATE"},    {0x23, "SEND_BREAK"},
};

// Columns: what was asked of whom, how much, and how it ended.
const size_t kWhatWidth = 62;

std::string Padded(std::string text, size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

}  // namespace

std::string MajorFunctionName(UCHAR major) { return NameIn(kMajors, major, 2); }
std::string IoControlName(ULONG code) { return NameIn(kIoControls, code, 8); }
std::string MinorFunctionName(UCHAR major, UCHAR minor) {
    return major == IRP_MJ_POWER ? NameIn(kPowerMinors, minor, 2) : NameIn(kPnpMinors, minor, 2);
}
std::string NtStatusName(NTSTATUS status) { return NameIn(kStatuses, status, 8); }
std::string UsbdStatusName(int32_t status) { return NameIn(kUsbdStatuses, status, 8); }
std::string UrbFunctionName(uint16_t function) { return NameIn(kUrbFunctions, function, 4); }
std::string CdcRequestName(uint8_t request) { return NameIn(kCdcRequests, request, 2); }

std::string PipeName(uint8_t endpoint) {
    char text[32];
    if (endpoint == 0 || endpoint == 0x80) {
        return "default pipe";
    }
    const char* kind = endpoint == usbsim::kBulkInEndpoint    ? "bulk-in"
                       : endpoint == usbsim::kBulkOutEndpoint ? "bulk-out"
                       : endpoint == usbsim::kInterruptEndpoint ? "interrupt-in"
                                                                : "endpoint";
    std::snprintf(text, sizeof(text), "%s 0x%02X", kind, endpoint);
    return text;
}

class Tracer::PortUrbs : public usbsim::UrbObserver {
public:
    PortUrbs(Tracer* tracer, std::string port) : tracer_(tracer), port_(std::move(port)) {}
    void OnUrb(const usbsim::UrbRecord& record) override { tracer_->OnUrb(port_, record); }

private:
    Tracer* tracer_;
    std::string port_;
};

Tracer::Tracer(std::FILE* out, std::function<std::string(PDEVICE_OBJECT)> portOf)
    : out_(out), portOf_(std::move(portOf)) {}
Tracer::~Tracer() = default;

usbsim::UrbObserver* Tracer::UrbObserverFor(const std::string& port) {
    std::lock_guard<std::mutex> guard(mutex_);
    observers_.push_back(std::make_unique<PortUrbs>(this, port));
    return observers_.back().get();
}

void Tracer::Line(const std::string& port, std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    int64_t now = kmodel::Now();  // 100 ns units since boot
    std::fprintf(out_, "%4lld.%06lld %-6s %s\n", static_cast<long long>(now / 10000000),
                 static_cast<long long>(now % 10000000 / 10), port.c_str(), text.c_str());
    std::fflush(out_);
}

// A request takes the port of the stack it is sent to (a removal's requests
// go out while the stack still stands) and is traced at its completion.
void Tracer::OnRequest(const kmodel::io::RequestRecord& r) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!r.completed) {
        if (std::string port = portOf_(r.device); !port.empty()) {
            sent_[r.id] = port;
        }
        return;
    }
    auto sent = sent_.find(r.id);
    if (sent == sent_.end()) {
        return;  // another driver's device
    }
    std::string port = sent->second;
    sent_.erase(sent);
    std::string what = MajorFunctionName(r.major);
    std::string asked;
    if (r.major == IRP_MJ_PNP || r.major == IRP_MJ_POWER) {
        what += " " + MinorFunctionName(r.major, r.minor);
    } else if (r.major == IRP_MJ_DEVICE_CONTROL) {
        what += " " + IoControlName(r.ioControlCode);
        asked = "in " + std::to_string(r.inputLength) + " out " + std::to_string(r.length);
    } else if (r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE) {
        asked = "length " + std::to_string(r.length);
    }
    Line(port, Padded(what, kWhatWidth) + " " + Padded(asked, 16) + " " + Padded(NtStatusName(r.status), 24) + " Information " +
             std::to_string(r.information));
}

void Tracer::OnUrb(const std::string& port, const usbsim::UrbRecord& r) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!r.completion) {
        asked_[r.irpId] = r.length;
        return;
    }
    uint32_t asked = r.length;
    if (auto it = asked_.find(r.irpId); it != asked_.end()) {
        asked = it->second;
        asked_.erase(it);
    }
    std::string what = UrbFunctionName(r.function);
    if (r.function == URB_FUNCTION_CLASS_INTERFACE) {
        what += " " + CdcRequestName(r.setup[1]);
    }
    what += " (" + PipeName(r.endpoint) + ")";
    bool moves = r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || r.hasSetup;
    std::string length = moves ? "length " + std::to_string(asked) : "";
    std::string result = Padded(UsbdStatusName(r.usbdStatus), 24);
    if (moves) {
        result += " transferred " + std::to_string(r.length);
    }
    Line(port, Padded(what, kWhatWidth) + " " + Padded(length, 16) + " " + result);
}

}  // namespace comsim
