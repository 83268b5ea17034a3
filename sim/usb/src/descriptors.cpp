// The simulated modem's device and configuration descriptors, laid out as
// USB 2.0 (chapter 9) and the USB CDC 1.2 / PSTN 1.2 documents define them.
// Multi-byte fields are little-endian.
#include <usbsim/urb_record.h>

namespace usbsim {

namespace {

constexpr uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
constexpr uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

// Not an assigned vendor: the device only ever exists in this simulation.
constexpr uint16_t kVendorId = 0xF1D0;
constexpr uint16_t kProductId = 0x0A7C;

constexpr uint8_t kDescDevice = 0x01;
constexpr uint8_t kDescConfiguration = 0x02;
constexpr uint8_t kDescInterface = 0x04;
constexpr uint8_t kDescEndpoint = 0x05;
constexpr uint8_t kDescCsInterface = 0x24;

constexpr uint8_t kClassCommunications = 0x02;
constexpr uint8_t kSubclassAcm = 0x02;
constexpr uint8_t kProtocolV250 = 0x01;
constexpr uint8_t kClassCdcData = 0x0A;

constexpr uint8_t kAttrBulk = 0x02;
constexpr uint8_t kAttrInterrupt = 0x03;

constexpr uint16_t kNotifyMaxPacket = 16;
constexpr uint8_t kNotifyInterval = 10;  // frames (ms) at full speed
constexpr uint16_t kBulkMaxPacket = 64;

std::vector<uint8_t> BuildConfiguration() {
    std::vector<uint8_t> d = {
        // Configuration; wTotalLength is patched in below.
        9, kDescConfiguration, 0, 0,
        2,     // bNumInterfaces
        1,     // bConfigurationValue
        0,     // iConfiguration
        0x80,  // bmAttributes: bus powered (bit 7 is reserved, always set)
        50,    // bMaxPower: 100 mA in 2 mA units

        // Interface 0: communication class interface, ACM, AT commands.
        9, kDescInterface, 0, 0,
        1,  // bNumEndpoints: the notification endpoint
        kClassCommunications, kSubclassAcm, kProtocolV250,
        0,  // iInterface

        // Header functional descriptor: bcdCDC 1.20.
        5, kDescCsInterface, 0x00, Lo(0x0120), Hi(0x0120),

        // Call Management functional descriptor: the device handles call
        // management itself (D0), over the data interface (D1), since its
        // command interpreter reads ATD/ATA/ATH from the bulk pipe.
        5, kDescCsInterface, 0x01, 0x03,
        1,  // bDataInterface

        // Abstract Control Management functional descriptor:
        // D1 = SET_LINE_CODING, GET_LINE_CODING, SET_CONTROL_LINE_STATE and
        // the SERIAL_STATE notification; D2 = SEND_BREAK.
        4, kDescCsInterface, 0x02, 0x06,

        // Union functional descriptor: master 0, slave 1.
        5, kDescCsInterface, 0x06, 0, 1,

        // Notification endpoint 0x83, interrupt IN.
        7, kDescEndpoint, kInterruptEndpoint, kAttrInterrupt,
        Lo(kNotifyMaxPacket), Hi(kNotifyMaxPacket), kNotifyInterval,

        // Interface 1: data class interface.
        9, kDescInterface, 1, 0,
        2,  // bNumEndpoints
        kClassCdcData, 0, 0,
        0,  // iInterface

        // Bulk IN 0x81 and bulk OUT 0x02; bInterval is ignored for bulk at
        // full speed and means "never NAKs" at high speed.
        7, kDescEndpoint, kBulkInEndpoint, kAttrBulk,
        Lo(kBulkMaxPacket), Hi(kBulkMaxPacket), 0,
        7, kDescEndpoint, kBulkOutEndpoint, kAttrBulk,
        Lo(kBulkMaxPacket), Hi(kBulkMaxPacket), 0,
    };
    const auto total = static_cast<uint16_t>(d.size());
    d[2] = Lo(total);
    d[3] = Hi(total);
    return d;
}

}  // namespace

const std::vector<uint8_t>& ModemDeviceDescriptor() {
    static const std::vector<uint8_t> d = {
        18, kDescDevice,
        Lo(0x0200), Hi(0x0200),  // bcdUSB 2.00
        kClassCommunications,    // bDeviceClass: CDC at device level
        0, 0,                    // bDeviceSubClass, bDeviceProtocol: unused for CDC
        64,                      // bMaxPacketSize0
        Lo(kVendorId), Hi(kVendorId),
        Lo(kProductId), Hi(kProductId),
        Lo(0x0100), Hi(0x0100),  // bcdDevice 1.00
        0, 0, 0,                 // no string descriptors
        1,                       // bNumConfigurations
    };
    return d;
}

const std::vector<uint8_t>& ModemConfigurationDescriptor() {
    static const std::vector<uint8_t> d = BuildConfiguration();
    return d;
}

}  // namespace usbsim
