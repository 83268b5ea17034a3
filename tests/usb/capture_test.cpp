// The USBPcap writer: file bytes checked directly, and a short modem session
// decoded by tshark (skipped where tshark is not installed).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

#include <usbsim/capture.h>
#include <usbsim/urb_record.h>

namespace usbsim {
namespace {

constexpr uint16_t kFnControlTransfer = 0x0008;
constexpr uint16_t kFnBulkOrInterrupt = 0x0009;
constexpr uint16_t kFnClassInterface = 0x001B;

// A clock that advances 1 ms per reading, from a fixed start (2024-01-01).
struct StepClock {
    int64_t next = 1704067200LL * 10000000;
    int64_t operator()() {
        const int64_t t = next;
        next += 10000;
        return t;
    }
};

std::filesystem::path TempCapture(const std::string& tag) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::temp_directory_path() /
           ("usbsim_" + std::string(info->name()) + "_" + tag + "_" +
            std::to_string(::getpid()) + ".pcap");
}

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(Le16(b, at) | (uint32_t{Le16(b, at + 2)} << 16));
}
uint64_t Le64(const std::vector<uint8_t>& b, size_t at) {
    return Le32(b, at) | (uint64_t{Le32(b, at + 4)} << 32);
}

UrbRecord ControlSubmit(uint64_t irp, std::array<uint8_t, 8> setup, std::vector<uint8_t> out = {}) {
    UrbRecord r;
    r.irpId = irp;
    r.function = kFnClassInterface;
    r.transfer = TransferType::Control;
    r.hasSetup = true;
    std::copy(setup.begin(), setup.end(), r.setup);
    r.data = std::move(out);
    return r;
}

UrbRecord Completed(UrbRecord submitted, std::vector<uint8_t> in = {}) {
    submitted.completion = true;
    submitted.usbdStatus = 0;
    submitted.data = std::move(in);
    return submitted;
}

UrbRecord Transfer(uint64_t irp, uint8_t endpoint, TransferType type, std::vector<uint8_t> out = {}) {
    UrbRecord r;
    r.irpId = irp;
    r.function = kFnBulkOrInterrupt;
    r.endpoint = endpoint;
    r.transfer = type;
    r.data = std::move(out);
    return r;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// SET_LINE_CODING 115200 8N1, SET_CONTROL_LINE_STATE DTR|RTS, SEND_BREAK
// until cleared, "AT\r" out, "OK\r\n" in, a SERIAL_STATE notification.
void WriteSession(UsbPcapWriter& w) {
    const auto lineCoding =
        ControlSubmit(0x1000, {0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00},
                      {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08});
    w.OnUrb(lineCoding);
    w.OnUrb(Completed(lineCoding));

    const auto lineState = ControlSubmit(0x1001, {0x21, 0x22, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00});
    w.OnUrb(lineState);
    w.OnUrb(Completed(lineState));

    const auto sendBreak = ControlSubmit(0x1002, {0x21, 0x23, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00});
    w.OnUrb(sendBreak);
    w.OnUrb(Completed(sendBreak));

    // A read is pending on each IN pipe before the modem has anything.
    const auto bulkIn = Transfer(0x2000, kBulkInEndpoint, TransferType::Bulk);
    const auto notify = Transfer(0x2001, kInterruptEndpoint, TransferType::Interrupt);
    w.OnUrb(bulkIn);
    w.OnUrb(notify);

    const auto write = Transfer(0x2002, kBulkOutEndpoint, TransferType::Bulk, Bytes("AT\r"));
    w.OnUrb(write);
    w.OnUrb(Completed(write));
    w.OnUrb(Completed(bulkIn, Bytes("OK\r\n")));
    w.OnUrb(Completed(notify, {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00}));
}


struct PcapPacket {
    uint32_t tsSec = 0;
    uint32_t tsUsec = 0;
    uint32_t origLength = 0;
    std::vector<uint8_t> bytes;  // as captured (incl_len bytes)
};

// Splits a classic little-endian pcap file into its packets; fails the test
// on a malformed file.
std::vector<PcapPacket> ReadPackets(const std::vector<uint8_t>& file) {
    std::vector<PcapPacket> packets;
    EXPECT_GE(file.size(), 24u);
    size_t at = 24;
    while (at < file.size()) {
        if (file.size() - at < 16) {
            ADD_FAILURE() << "truncated record header at " << at;
            break;
        }
        PcapPacket p;
        p.tsSec = Le32(file, at);
        p.tsUsec = Le32(file, at + 4);
        const uint32_t incl = Le32(file, at + 8);
        p.origLength = Le32(file, at + 12);
        at += 16;
        if (file.size() - at < incl) {
            ADD_FAILURE() << "truncated packet at " << at;
            break;
        }
        p.bytes.assign(file.begin() + at, file.begin() + at + incl);
        at += incl;
        packets.push_back(std::move(p));
    }
    return packets;
}

// The USBPcap header fields of one packet.
struct UsbPcapHeader {
    uint16_t headerLen;
    uint64_t irpId;
    uint32_t status;
    uint16_t function;
    uint8_t info;
    uint16_t bus;
    uint16_t device;
    uint8_t endpoint;
    uint8_t transfer;
    uint32_t dataLength;
    int stage;  // -1 unless a control transfer
    std::vector<uint8_t> data;
};

UsbPcapHeader Parse(const PcapPacket& p) {
    const auto& b = p.bytes;
    UsbPcapHeader h{};
    h.headerLen = Le16(b, 0);
    h.irpId = Le64(b, 2);
    h.status = Le32(b, 10);
    h.function = Le16(b, 14);
    h.info = b.at(16);
    h.bus = Le16(b, 17);
    h.device = Le16(b, 19);
    h.endpoint = b.at(21);
    h.transfer = b.at(22);
    h.dataLength = Le32(b, 23);
    h.stage = h.headerLen >= 28 ? b.at(27) : -1;
    h.data.assign(b.begin() + h.headerLen, b.end());
    return h;
}

TEST(UsbDescriptors, DeviceDescriptorIsCdcWithOneConfiguration) {
    const auto& d = ModemDeviceDescriptor();
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);      // bLength
    EXPECT_EQ(d[1], 0x01);    // DEVICE
    EXPECT_EQ(Le16(d, 2), 0x0200);
    EXPECT_EQ(d[4], 0x02);    // CDC at device level
    EXPECT_EQ(d[5], 0x00);
    EXPECT_EQ(d[6], 0x00);
    EXPECT_EQ(d[7], 64);      // bMaxPacketSize0
    EXPECT_NE(Le16(d, 8), 0);  // idVendor
    EXPECT_EQ(d[17], 1);      // bNumConfigurations
}

TEST(UsbDescriptors, ConfigurationDescribesAcmAndDataInterfaces) {
    const auto& c = ModemConfigurationDescriptor();
    ASSERT_GE(c.size(), 9u);
    EXPECT_EQ(c[1], 0x02);
    EXPECT_EQ(Le16(c, 2), c.size());  // wTotalLength
    EXPECT_EQ(c[4], 2);               // bNumInterfaces
    EXPECT_EQ(c[5], 1);               // bConfigurationValue
    EXPECT_TRUE(c[7] & 0x80);

    // Walk the descriptors; each must fit exactly.
    std::vector<std::vector<uint8_t>> descs;
    for (size_t at = 0; at < c.size();) {
        ASSERT_GE(c[at], 2);
        ASSERT_LE(at + c[at], c.size());
        descs.emplace_back(c.begin() + at, c.begin() + at + c[at]);
        at += c[at];
    }
    using V = std::vector<uint8_t>;
    ASSERT_EQ(descs.size(), 10u);
    EXPECT_EQ(descs[1], (V{9, 0x04, 0, 0, 1, 0x02, 0x02, 0x01, 0}));  // comm interface
    EXPECT_EQ(descs[2], (V{5, 0x24, 0x00, 0x20, 0x01}));              // header, CDC 1.20
    EXPECT_EQ(descs[3][2], 0x01);                                      // call management
    EXPECT_EQ(descs[3][4], 1);                                         //   bDataInterface
    EXPECT_EQ(descs[4], (V{4, 0x24, 0x02, 0x06}));                     // ACM
    EXPECT_EQ(descs[5], (V{5, 0x24, 0x06, 0, 1}));                     // union
    EXPECT_EQ(descs[6], (V{7, 0x05, 0x83, 0x03, 16, 0, 10}));          // notification
    EXPECT_EQ(descs[7], (V{9, 0x04, 1, 0, 2, 0x0A, 0, 0, 0}));         // data interface
    EXPECT_EQ(descs[8], (V{7, 0x05, 0x81, 0x02, 64, 0, 0}));           // bulk in
    EXPECT_EQ(descs[9], (V{7, 0x05, 0x02, 0x02, 64, 0, 0}));           // bulk out
}

TEST(UsbPcapWriterFile, StartsWithPcapHeaderAndDescriptorReplay) {
    const auto path = TempCapture("header");
    {
        StepClock clock;
        UsbPcapWriter w(path.string(), std::ref(clock));
    }
    const auto file = ReadAll(path);
    std::filesystem::remove(path);

    ASSERT_GE(file.size(), 24u);
    EXPECT_EQ(Le32(file, 0), 0xA1B2C3D4u);  // written little-endian: d4 c3 b2 a1
    EXPECT_EQ(file[0], 0xD4);
    EXPECT_EQ(Le16(file, 4), 2);
    EXPECT_EQ(Le16(file, 6), 4);
    EXPECT_EQ(Le32(file, 8), 0u);   // thiszone
    EXPECT_EQ(Le32(file, 12), 0u);  // sigfigs
    EXPECT_GE(Le32(file, 16), 65535u);
    EXPECT_EQ(Le32(file, 20), 249u);

    const auto packets = ReadPackets(file);
    ASSERT_EQ(packets.size(), 4u);

    // GET_DESCRIPTOR(DEVICE) as submitted: a SETUP stage packet.
    const PcapPacket& first = packets[0];
    EXPECT_EQ(first.tsSec, 1704067200u);
    EXPECT_EQ(first.tsUsec, 0u);
    EXPECT_EQ(first.bytes.size(), 36u);
    EXPECT_EQ(first.origLength, 36u);
    const auto h = Parse(first);
    EXPECT_EQ(h.headerLen, 28);
    EXPECT_EQ(h.irpId, UsbPcapWriter::kDeviceDescriptorIrpId);
    EXPECT_EQ(h.status, 0u);
    EXPECT_EQ(h.function, 0x000B);  // URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
    EXPECT_EQ(h.info, 0);           // FDO to PDO
    EXPECT_EQ(h.bus, 1);
    EXPECT_EQ(h.device, 1);
    EXPECT_EQ(h.endpoint, 0x80);    // default pipe, IN data stage
    EXPECT_EQ(h.transfer, 2);       // control
    EXPECT_EQ(h.dataLength, 8u);
    EXPECT_EQ(h.stage, 0);          // SETUP
    EXPECT_EQ(h.data, (std::vector<uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0x00}));

    // Its completion: a COMPLETE stage packet with the descriptor.
    const auto done = Parse(packets[1]);
    EXPECT_EQ(packets[1].tsUsec, 1000u);
    EXPECT_EQ(done.irpId, UsbPcapWriter::kDeviceDescriptorIrpId);
    EXPECT_EQ(done.info, 1);        // PDO to FDO
    EXPECT_EQ(done.endpoint, 0x80);
    EXPECT_EQ(done.stage, 3);
    EXPECT_EQ(done.data, ModemDeviceDescriptor());

    const auto config = Parse(packets[2]);
    EXPECT_EQ(config.data[3], 0x02);  // wValue high byte: CONFIGURATION
    EXPECT_EQ(Le16(config.data, 6), ModemConfigurationDescriptor().size());
    EXPECT_EQ(Parse(packets[3]).data, ModemConfigurationDescriptor());
}

TEST(UsbPcapWriterFile, AnnouncedDeviceGetsItsOwnDescriptorReplay) {
    const auto path = TempCapture("announce");
    {
        StepClock clock;
        UsbPcapWriter w(path.string(), std::ref(clock));
        w.AnnounceDevice(2);
    }
    const auto packets = ReadPackets(ReadAll(path));
    std::filesystem::remove(path);

    ASSERT_EQ(packets.size(), 8u);
    const uint64_t base = UsbPcapWriter::kAnnouncedIrpIdBase + 16 * 2;
    const uint64_t irps[] = {base + 1, base + 1, base + 2, base + 2};
    for (size_t i = 0; i < 4; ++i) {
        const auto first = Parse(packets[i]);
        const auto second = Parse(packets[i + 4]);
        EXPECT_EQ(first.device, 1);
        EXPECT_EQ(second.device, 2);
        EXPECT_EQ(second.irpId, irps[i]);
        EXPECT_EQ(second.data, first.data);  // the same descriptors, asked for and returned
    }
}

TEST(UsbPcapWriterFile, SessionPacketsFollowUsbPcapLayout) {
    const auto path = TempCapture("session");
    {
        StepClock clock;
        UsbPcapWriter w(path.string(), std::ref(clock));
        WriteSession(w);
        EXPECT_EQ(w.PacketsWritten(), 4u + 12u);
    }
    const auto packets = ReadPackets(ReadAll(path));
    std::filesystem::remove(path);
    ASSERT_EQ(packets.size(), 16u);

    // SET_LINE_CODING submit: setup then the OUT data, inline.
    const auto lc = Parse(packets[4]);
    EXPECT_EQ(lc.function, kFnClassInterface);
    EXPECT_EQ(lc.endpoint, 0x00);
    EXPECT_EQ(lc.stage, 0);
    EXPECT_EQ(lc.dataLength, 15u);
    EXPECT_EQ(lc.data, (std::vector<uint8_t>{0x21, 0x20, 0, 0, 0, 0, 7, 0,
                                             0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}));
    const auto lcDone = Parse(packets[5]);
    EXPECT_EQ(lcDone.irpId, 0x1000u);
    EXPECT_EQ(lcDone.info, 1);
    EXPECT_EQ(lcDone.endpoint, 0x00);
    EXPECT_EQ(lcDone.stage, 3);
    EXPECT_EQ(lcDone.dataLength, 0u);

    // Bulk OUT "AT\r": base header only.
    const auto out = Parse(packets[12]);
    EXPECT_EQ(out.headerLen, 27);
    EXPECT_EQ(out.function, kFnBulkOrInterrupt);
    EXPECT_EQ(out.endpoint, 0x02);
    EXPECT_EQ(out.transfer, 3);
    EXPECT_EQ(out.info, 0);
    EXPECT_EQ(out.data, Bytes("AT\r"));

    const auto in = Parse(packets[14]);
    EXPECT_EQ(in.irpId, 0x2000u);
    EXPECT_EQ(in.endpoint, 0x81);
    EXPECT_EQ(in.info, 1);
    EXPECT_EQ(in.data, Bytes("OK\r\n"));

    const auto notify = Parse(packets[15]);
    EXPECT_EQ(notify.endpoint, 0x83);
    EXPECT_EQ(notify.transfer, 1);
    EXPECT_EQ(notify.dataLength, 10u);
}

TEST(UsbPcapWriterFile, ControlInCompletionKeepsDirectionAndStatus) {
    const auto path = TempCapture("ctlin");
    {
        StepClock clock;
        UsbPcapWriter w(path.string(), std::ref(clock));
        // GET_LINE_CODING; the completion record carries no setup packet.
        auto get = ControlSubmit(0x3000, {0xA1, 0x21, 0, 0, 0, 0, 7, 0});
        w.OnUrb(get);
        auto done = Completed(get, {0x80, 0x25, 0, 0, 0, 0, 8});
        done.hasSetup = false;
        w.OnUrb(done);
        // A bulk read that fails.
        auto read = Transfer(0x3001, kBulkInEndpoint, TransferType::Bulk);
        w.OnUrb(read);
        auto failed = Completed(read);
        failed.usbdStatus = static_cast<int32_t>(0xC0000004);  // USBD_STATUS_STALL_PID
        w.OnUrb(failed);
        // A default-pipe IRP that is no transfer (abort pipe).
        UrbRecord abort;
        abort.irpId = 0x3002;
        abort.function = 0x0002;
        abort.endpoint = kBulkInEndpoint;
        abort.transfer = TransferType::Control;
        w.OnUrb(abort);
    }
    const auto packets = ReadPackets(ReadAll(path));
    std::filesystem::remove(path);
    ASSERT_EQ(packets.size(), 9u);

    const auto submit = Parse(packets[4]);
    EXPECT_EQ(submit.endpoint, 0x80);
    EXPECT_EQ(submit.dataLength, 8u);
    const auto done = Parse(packets[5]);
    EXPECT_EQ(done.endpoint, 0x80);
    EXPECT_EQ(done.stage, 3);
    EXPECT_EQ(done.data, (std::vector<uint8_t>{0x80, 0x25, 0, 0, 0, 0, 8}));

    EXPECT_EQ(Parse(packets[6]).status, 0u);  // status is meaningful on completion only
    EXPECT_EQ(Parse(packets[7]).status, 0xC0000004u);

    const auto abort = Parse(packets[8]);
    EXPECT_EQ(abort.headerLen, 27);
    EXPECT_EQ(abort.transfer, 0xFE);  // USBPcap's "IRP info"
    EXPECT_EQ(abort.endpoint, 0x81);
}

TEST(UsbPcapWriterFile, TruncatesToSnapLength) {
    const auto path = TempCapture("snap");
    {
        UsbPcapWriter::Options options;
        options.snapLength = 100;
        UsbPcapWriter w(path.string(), StepClock{}, options);
        w.OnUrb(Transfer(1, kBulkOutEndpoint, TransferType::Bulk, std::vector<uint8_t>(200, 'x')));
    }
    const auto packets = ReadPackets(ReadAll(path));
    std::filesystem::remove(path);
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[4].bytes.size(), 100u);
    EXPECT_EQ(packets[4].origLength, 227u);
    EXPECT_EQ(Le32(packets[4].bytes, 23), 200u);  // dataLength tells the real size
}

TEST(UsbPcapWriterFile, ConcurrentObserversWriteWholePackets) {
    const auto path = TempCapture("threads");
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    {
        std::atomic<int64_t> ticks{0};
        UsbPcapWriter w(path.string(), [&] { return ticks.fetch_add(10); });
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&w, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    auto r = Transfer(uint64_t(t) << 32 | i, kBulkOutEndpoint, TransferType::Bulk,
                                      std::vector<uint8_t>(1 + i % 50, uint8_t(t)));
                    w.OnUrb(r);
                }
            });
        }
        for (auto& th : threads) th.join();
    }
    const auto packets = ReadPackets(ReadAll(path));
    std::filesystem::remove(path);
    ASSERT_EQ(packets.size(), 4u + kThreads * kPerThread);
    for (size_t i = 4; i < packets.size(); ++i) {
        const auto h = Parse(packets[i]);
        ASSERT_EQ(h.dataLength, h.data.size());
        const auto thread = uint8_t(h.irpId >> 32);
        for (uint8_t byte : h.data) ASSERT_EQ(byte, thread);
    }
}

TEST(UsbPcapWriterFile, ThrowsWhenTheFileCannotBeCreated) {
    EXPECT_THROW(UsbPcapWriter("/nonexistent-dir/x.pcap", StepClock{}), std::system_error);
}

// --- tshark ---------------------------------------------------------------

bool HaveTshark() { return std::system("tshark --version >/dev/null 2>&1") == 0; }

std::vector<std::string> Split(const std::string& line, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t end = line.find(sep, start);
        out.push_back(line.substr(start, end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

// Runs tshark on the file and returns one row of the requested fields per
// frame. stderr (the warning when run as root) is dropped.
std::vector<std::vector<std::string>> TsharkFields(const std::filesystem::path& file,
                                                   const std::vector<std::string>& fields) {
    std::string cmd = "tshark -r '" + file.string() + "' -T fields -E separator=/t -E occurrence=a";
    for (const auto& f : fields) cmd += " -e " + f;
    cmd += " 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << cmd;
        return rows;
    }
    std::string out;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    const int rc = ::pclose(pipe);
    EXPECT_EQ(rc, 0) << cmd;
    for (const auto& line : Split(out, '\n')) {
        if (!line.empty()) rows.push_back(Split(line, '\t'));
    }
    return rows;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

unsigned long Number(const std::string& s) { return s.empty() ? ~0ul : std::stoul(s, nullptr, 0); }

TEST(UsbPcapTshark, DecodesTheModemSession) {
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";

    const auto path = TempCapture("tshark");
    {
        StepClock clock;
        UsbPcapWriter w(path.string(), std::ref(clock));
        WriteSession(w);
    }
    enum { kFrame, kControlStage, kRequest, kValue, kPayload, kEndpoint, kDataLen, kCapData,
           kAtCmd, kNotifyType, kNotifyCode, kInterfaceClass };
    const auto rows = TsharkFields(path, {"frame.number", "usb.control_stage",
                                          "usbcom.control.request_code", "usbcom.control.value",
                                          "usbcom.control.payload", "usb.endpoint_address",
                                          "usb.data_len", "usb.capdata", "at.cmd",
                                          "usbcom.interrupt.request_type",
                                          "usbcom.interrupt.notification_code",
                                          "usb.bInterfaceClass"});
    std::filesystem::remove(path);
    ASSERT_EQ(rows.size(), 16u);
    for (const auto& r : rows) ASSERT_EQ(r.size(), 12u);

    // The configuration replay told Wireshark the interface classes.
    EXPECT_EQ(rows[3][kInterfaceClass], "0x02,0x0a");

    // SET_LINE_CODING: recognised as a CDC request on interface 0; its
    // payload is the line coding structure. Wireshark shows it as bytes, so
    // the fields are taken apart here.
    const auto& lc = rows[4];
    EXPECT_EQ(Number(lc[kControlStage]), 0u);
    ASSERT_EQ(Number(lc[kRequest]), 0x20u) << "SET_LINE_CODING not recognised";
    const auto coding = FromHex(lc[kPayload]);
    ASSERT_EQ(coding.size(), 7u) << lc[kPayload];
    EXPECT_EQ(Le32(coding, 0), 115200u);  // dwDTERate
    EXPECT_EQ(coding[4], 0);              // bCharFormat: 1 stop bit
    EXPECT_EQ(coding[5], 0);              // bParityType: none
    EXPECT_EQ(coding[6], 8);              // bDataBits

    EXPECT_EQ(Number(rows[5][kControlStage]), 3u);

    ASSERT_EQ(Number(rows[6][kRequest]), 0x22u) << "SET_CONTROL_LINE_STATE not recognised";
    EXPECT_EQ(Number(rows[6][kValue]), 3u);
    ASSERT_EQ(Number(rows[8][kRequest]), 0x23u) << "SEND_BREAK not recognised";
    EXPECT_EQ(Number(rows[8][kValue]), 0xFFFFu);

    // Bulk OUT "AT\r": Wireshark's AT dissector takes the bytes when it
    // recognises them, otherwise they stay capture data.
    const auto& out = rows[12];
    EXPECT_EQ(Number(out[kEndpoint]), 0x02u);
    EXPECT_EQ(Number(out[kDataLen]), 3u);
    EXPECT_TRUE(out[kAtCmd] == "AT" || FromHex(out[kCapData]) == Bytes("AT\r"))
        << "at.cmd='" << out[kAtCmd] << "' capdata='" << out[kCapData] << "'";

    // Bulk IN "OK\r\n".
    const auto& in = rows[14];
    EXPECT_EQ(Number(in[kEndpoint]), 0x81u);
    EXPECT_EQ(FromHex(in[kCapData]), Bytes("OK\r\n"));

    // SERIAL_STATE on the notification endpoint, decoded as CDC.
    const auto& notify = rows[15];
    EXPECT_EQ(Number(notify[kEndpoint]), 0x83u);
    EXPECT_EQ(Number(notify[kNotifyType]), 0xA1u);
    EXPECT_EQ(Number(notify[kNotifyCode]), 0x20u);
}

TEST(UsbPcapTshark, VerboseDecodeNamesTheRequests) {
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";

    const auto path = TempCapture("verbose");
    {
        StepClock clock;
        UsbPcapWriter w(path.string(), std::ref(clock));
        WriteSession(w);
    }
    std::string text;
    {
        const std::string cmd = "tshark -r '" + path.string() + "' -V 2>/dev/null";
        FILE* pipe = ::popen(cmd.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buf[4096];
        while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) text.append(buf, n);
        EXPECT_EQ(::pclose(pipe), 0);
    }
    std::filesystem::remove(path);

    for (const char* expected : {"SET LINE CODING", "SET CONTROL LINE STATE", "SEND BREAK",
                                 "SERIAL STATE", "Abstract Control Model", "CDC-Data"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
    EXPECT_EQ(text.find("Malformed"), std::string::npos);
}

}  // namespace
}  // namespace usbsim
