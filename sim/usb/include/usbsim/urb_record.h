// One URB as the host stack saw it, for observers such as the capture
// writer: what was submitted, and what came back.
#pragma once

#include <cstdint>
#include <vector>

namespace usbsim {

enum class TransferType : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

struct UrbRecord {
    uint64_t irpId = 0;         // the same for a URB's submit and completion
    uint16_t function = 0;      // URB_FUNCTION_*
    bool completion = false;    // false: as submitted; true: as completed
    uint8_t endpoint = 0;       // address with bit 7 set for IN; 0 for the default pipe
    TransferType transfer = TransferType::Control;
    int32_t usbdStatus = 0;     // USBD_STATUS_* (completion only)
    uint16_t device = 1;        // device address on the simulated bus
    uint32_t length = 0;        // transfer buffer length: asked for at submit, moved at completion
    bool hasSetup = false;      // control transfers: the setup packet follows
    uint8_t setup[8] = {};      // bmRequestType, bRequest, wValue, wIndex, wLength (little-endian)
    std::vector<uint8_t> data;  // OUT data at submit; IN data at completion
};

class UrbObserver {
public:
    virtual ~UrbObserver() = default;
    virtual void OnUrb(const UrbRecord& record) = 0;
};

// The descriptors of the simulated modem (device and full configuration),
// as GET_DESCRIPTOR returns them: a CDC-ACM device with a communication
// interface (interrupt-in endpoint 0x83) and a data interface (bulk-in 0x81,
// bulk-out 0x02).
const std::vector<uint8_t>& ModemDeviceDescriptor();
const std::vector<uint8_t>& ModemConfigurationDescriptor();

inline constexpr uint8_t kBulkInEndpoint = 0x81;
inline constexpr uint8_t kBulkOutEndpoint = 0x02;
inline constexpr uint8_t kInterruptEndpoint = 0x83;

}  // namespace usbsim
