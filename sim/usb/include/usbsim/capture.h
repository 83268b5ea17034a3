// Writes every URB the host stack reports as a USBPcap capture (classic pcap,
// link type 249) that Wireshark and tshark open and decode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include <usbsim/urb_record.h>

namespace usbsim {

class UsbPcapWriter : public UrbObserver {
public:
    // Timestamps in 100 ns units since 1970-01-01 UTC (pcap's epoch). An
    // empty function means the system clock.
    using Clock = std::function<int64_t()>;
    // Subtract from an NT system time (100 ns since 1601) to get a Clock value.
    static constexpr int64_t kNtTimeAtUnixEpoch = 116444736000000000;

    struct Options {
        uint16_t bus = 1;           // root hub number written into every packet
        uint16_t device = 1;        // address the descriptor preamble is written for
        uint32_t snapLength = 0x40000;  // longer packets are truncated in the file
    };

    // Creates (truncates) the file and writes the pcap header followed by
    // GET_DESCRIPTOR transfers for the device and configuration descriptors,
    // so that Wireshark knows the interfaces' classes before any traffic.
    // Throws std::system_error if the file cannot be created.
    UsbPcapWriter(const std::string& path, Clock clock);
    UsbPcapWriter(const std::string& path, Clock clock, Options options);
    ~UsbPcapWriter() override;

    UsbPcapWriter(const UsbPcapWriter&) = delete;
    UsbPcapWriter& operator=(const UsbPcapWriter&) = delete;

    void OnUrb(const UrbRecord& record) override;
    // Replays the descriptors for one more device on the bus (the constructor
    // does it for Options::device), so that its traffic decodes too.
    void AnnounceDevice(uint16_t device);

    void Flush();
    uint64_t PacketsWritten() const;

    // Packet layout constants, for readers of the file.
    static constexpr uint32_t kLinkTypeUsbPcap = 249;
    static constexpr uint16_t kBaseHeaderLength = 27;
    static constexpr uint16_t kControlHeaderLength = 28;
    static constexpr uint8_t kStageSetup = 0;
    static constexpr uint8_t kStageData = 1;
    static constexpr uint8_t kStageStatus = 2;
    static constexpr uint8_t kStageComplete = 3;
    // IRP ids of the descriptor preamble; real IRPs never have them.
    static constexpr uint64_t kDeviceDescriptorIrpId = 0xFFFFFFFFFFFF0001ull;
    static constexpr uint64_t kConfigDescriptorIrpId = 0xFFFFFFFFFFFF0002ull;
    // Those of announced devices: this base plus 16 times the address, plus 1 or 2.
    static constexpr uint64_t kAnnouncedIrpIdBase = 0xFFFFFFFFFFFE0000ull;

private:
    void WriteDescriptorPreamble(uint16_t device, uint64_t deviceIrpId, uint64_t configIrpId);
    void WriteLocked(const UrbRecord& record);
    void WritePacket(const UrbRecord& record, uint8_t endpoint, bool control, uint8_t stage,
                     const uint8_t* prefix, size_t prefixLength);
    int64_t Now() const;

    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    Clock clock_;
    Options options_;
    uint64_t packets_ = 0;
    // Endpoint byte (0x00 or 0x80) of control transfers between submit and
    // completion: a completion's record need not repeat the setup packet.
    std::unordered_map<uint64_t, uint8_t> pendingControl_;
};

}  // namespace usbsim
