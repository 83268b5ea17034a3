// USBPcap capture writer. Packet layout (all little-endian, packed):
//   headerLen u16, irpId u64, status u32 (USBD_STATUS), function u16 (URB
//   function), info u8 (bit 0: completion, PDO to FDO), bus u16, device u16,
//   endpoint u8 (bit 7: IN), transfer u8, dataLength u32,
//   [control transfers only: stage u8], then dataLength bytes of data.
// Control transfers are written the way USBPcap 1.5 and later write them and
// Wireshark decodes them: the submit as a SETUP stage packet carrying the
// 8-byte setup packet followed by any OUT data, the completion as a COMPLETE
// stage packet carrying any IN data.
#include <usbsim/capture.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

namespace usbsim {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint16_t kPcapVersionMajor = 2;
constexpr uint16_t kPcapVersionMinor = 4;

constexpr uint16_t kUrbFunctionGetDescriptorFromDevice = 0x000B;
constexpr uint8_t kInfoPdoToFdo = 0x01;
constexpr uint8_t kEndpointIn = 0x80;
// USBPcap's transfer value for IRPs that carry no bus transfer of their own
// (abort pipe, reset pipe, ...).
constexpr uint8_t kTransferIrpInfo = 0xFE;

void Put8(std::vector<uint8_t>& b, uint8_t v) { b.push_back(v); }
void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

UsbPcapWriter::UsbPcapWriter(const std::string& path, Clock clock)
    : UsbPcapWriter(path, std::move(clock), Options{}) {}

UsbPcapWriter::UsbPcapWriter(const std::string& path, Clock clock, Options options)
    : clock_(std::move(clock)), options_(options) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw std::system_error(errno, std::generic_category(), "cannot create " + path);

    std::vector<uint8_t> header;
    Put32(header, kPcapMagic);
    Put16(header, kPcapVersionMajor);
    Put16(header, kPcapVersionMinor);
    Put32(header, 0);  // thiszone: timestamps are UTC
    Put32(header, 0);  // sigfigs
    Put32(header, options_.snapLength);
    Put32(header, kLinkTypeUsbPcap);
    std::fwrite(header.data(), 1, header.size(), file_);

    std::lock_guard lock(mutex_);
    WriteDescriptorPreamble(options_.device, kDeviceDescriptorIrpId, kConfigDescriptorIrpId);
}

UsbPcapWriter::~UsbPcapWriter() {
    std::lock_guard lock(mutex_);
    if (file_) std::fclose(file_);
}

void UsbPcapWriter::OnUrb(const UrbRecord& record) {
    std::lock_guard lock(mutex_);
    WriteLocked(record);
}

void UsbPcapWriter::AnnounceDevice(uint16_t device) {
    std::lock_guard lock(mutex_);
    uint64_t base = kAnnouncedIrpIdBase + 16ull * device;
    WriteDescriptorPreamble(device, base + 1, base + 2);
}

void UsbPcapWriter::Flush() {
    std::lock_guard lock(mutex_);
    std::fflush(file_);
}

uint64_t UsbPcapWriter::PacketsWritten() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

int64_t UsbPcapWriter::Now() const {
    if (clock_) return clock_();
    using namespace std::chrono;
    return duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(
               system_clock::now().time_since_epoch())
        .count();
}

// Wireshark learns which interface and endpoint belong to which class only
// from descriptors it has seen in the capture; the real enumeration happened
// before the capture started, so it is replayed here.
void UsbPcapWriter::WriteDescriptorPreamble(uint16_t device, uint64_t deviceIrpId, uint64_t configIrpId) {
    struct Replay {
        uint64_t irpId;
        uint8_t descriptorType;
        const std::vector<uint8_t>* descriptor;
    };
    const Replay replays[] = {
        {deviceIrpId, 0x01, &ModemDeviceDescriptor()},
        {configIrpId, 0x02, &ModemConfigurationDescriptor()},
    };
    for (const Replay& r : replays) {
        const auto length = static_cast<uint16_t>(r.descriptor->size());
        UrbRecord submit;
        submit.irpId = r.irpId;
        submit.function = kUrbFunctionGetDescriptorFromDevice;
        submit.endpoint = 0;
        submit.transfer = TransferType::Control;
        submit.device = device;
        submit.hasSetup = true;
        const uint8_t setup[8] = {0x80,  // device to host, standard, device
                                  0x06,  // GET_DESCRIPTOR
                                  0x00, r.descriptorType, 0x00, 0x00,
                                  static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
        std::copy(std::begin(setup), std::end(setup), submit.setup);
        WriteLocked(submit);

        UrbRecord done = submit;
        done.completion = true;
        done.data = *r.descriptor;
        WriteLocked(done);
    }
}

void UsbPcapWriter::WriteLocked(const UrbRecord& record) {
    if (record.transfer != TransferType::Control) {
        WritePacket(record, record.endpoint, false, 0, nullptr, 0);
        return;
    }

    if (!record.completion) {
        if (!record.hasSetup) {
            WritePacket(record, record.endpoint, false, 0, nullptr, 0);
            return;
        }
        const uint8_t endpoint = (record.endpoint & 0x7F) | (record.setup[0] & kEndpointIn);
        pendingControl_[record.irpId] = endpoint;
        WritePacket(record, endpoint, true, kStageSetup, record.setup, sizeof record.setup);
        return;
    }

    uint8_t endpoint;
    if (auto it = pendingControl_.find(record.irpId); it != pendingControl_.end()) {
        endpoint = it->second;
        pendingControl_.erase(it);
    } else if (record.hasSetup) {
        endpoint = (record.endpoint & 0x7F) | (record.setup[0] & kEndpointIn);
    } else {
        WritePacket(record, record.endpoint, false, 0, nullptr, 0);
        return;
    }
    WritePacket(record, endpoint, true, kStageComplete, nullptr, 0);
}

// `control` false with transfer Control means a default-pipe IRP that was no
// control transfer (no setup packet): it is written as an IRP-info packet so
// that Wireshark does not misread it as a setup stage.
void UsbPcapWriter::WritePacket(const UrbRecord& record, uint8_t endpoint, bool control,
                                uint8_t stage, const uint8_t* prefix, size_t prefixLength) {
    const bool irpInfo = !control && record.transfer == TransferType::Control;
    const uint16_t headerLength = control ? kControlHeaderLength : kBaseHeaderLength;
    const auto dataLength = static_cast<uint32_t>(prefixLength + record.data.size());

    std::vector<uint8_t> p;
    p.reserve(headerLength + dataLength);
    Put16(p, headerLength);
    Put64(p, record.irpId);
    Put32(p, record.completion ? static_cast<uint32_t>(record.usbdStatus) : 0u);
    Put16(p, record.function);
    Put8(p, record.completion ? kInfoPdoToFdo : 0);
    Put16(p, options_.bus);
    Put16(p, record.device);
    Put8(p, endpoint);
    Put8(p, irpInfo ? kTransferIrpInfo : static_cast<uint8_t>(record.transfer));
    Put32(p, dataLength);
    if (control) Put8(p, stage);
    if (prefixLength) p.insert(p.end(), prefix, prefix + prefixLength);
    p.insert(p.end(), record.data.begin(), record.data.end());

    int64_t t = Now();
    if (t < 0) t = 0;
    const auto origLength = static_cast<uint32_t>(p.size());
    const uint32_t inclLength = std::min(origLength, options_.snapLength);
    std::vector<uint8_t> rec;
    Put32(rec, static_cast<uint32_t>(t / 10000000));
    Put32(rec, static_cast<uint32_t>((t % 10000000) / 10));
    Put32(rec, inclLength);
    Put32(rec, origLength);
    std::fwrite(rec.data(), 1, rec.size(), file_);
    std::fwrite(p.data(), 1, inclLength, file_);
    ++packets_;
}

}  // namespace usbsim
