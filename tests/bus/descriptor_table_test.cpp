// The bus driver fed the descriptor sets of real CDC-ACM devices, and
// malformed ones: each real modem yields its three pipes on the child, each
// set that is not one (or is broken) is refused at start with a clean
// status, no child, nothing left allocated and no verifier report.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace qvtest {
namespace {

using Bytes = std::vector<uint8_t>;

struct RealDevice {
    const char* name;
    const char* source;  // where the descriptor bytes come from
    Bytes device;
    Bytes configuration;
    uint8_t bulkIn, bulkOut, interrupt;  // the endpoints the child must get
    NTSTATUS status;                     // STATUS_SUCCESS, or the refusal
};

// Fills in wTotalLength from the bytes given.
Bytes Configuration(Bytes c) {
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return c;
}

const std::vector<RealDevice>& RealDevices() {
    static const std::vector<RealDevice> devices = {
        {"Arduino ATmega8U2 USB-serial (2341:0010)",
         "lsusb -v, https://ksksue.hatenadiary.org/entry/20120218/1329538072; the dump ends inside the "
         "interrupt endpoint: its bInterval and the data interface (9 + 7 + 7 of the 62 bytes of "
         "wTotalLength) are inferred",
         {18, 1, 0x10, 0x01, 2, 0, 0, 8, 0x41, 0x23, 0x10, 0x00, 0x01, 0x00, 1, 2, 220, 1},
         Configuration({9, 2, 0, 0, 2, 1, 0, 0xC0, 50,
                        9, 4, 0, 0, 1, 2, 2, 1, 0,
                        5, 0x24, 0x00, 0x01, 0x10,  // header, bcdCDC as the dump shows it
                        4, 0x24, 0x02, 0x06,        // ACM
                        5, 0x24, 0x06, 0, 1,        // union 0 -> 1
                        7, 5, 0x82, 3, 8, 0, 0xFF,
                        9, 4, 1, 0, 2, 0x0A, 0, 0, 0,
                        7, 5, 0x04, 2, 64, 0, 1,
                        7, 5, 0x83, 2, 64, 0, 1}),
         0x83, 0x04, 0x82, STATUS_SUCCESS},
        {"ST-Ericsson NXP Nexperia phone (04cc:2259), modem function of a composite device",
         "lsusb -v, https://forum.ubuntu.com.cn/viewtopic.php?p=2924273; its first three of seven "
         "interfaces (mass storage, ACM, data), wTotalLength and bNumInterfaces cut to match; the data "
         "interface's endpoints are past the excerpt and inferred",
         {18, 1, 0x00, 0x02, 2, 0, 0, 64, 0xCC, 0x04, 0x59, 0x22, 0x00, 0x01, 1, 2, 3, 1},
         Configuration({9, 2, 0, 0, 3, 2, 0, 0xC0, 250,
                        9, 4, 0, 0, 2, 8, 6, 0x50, 4,
                        7, 5, 0x02, 2, 64, 0, 0,
                        7, 5, 0x82, 2, 64, 0, 0,
                        9, 4, 1, 0, 1, 2, 2, 1, 5,
                        5, 0x24, 0x00, 0x10, 0x01,  // header 1.10
                        5, 0x24, 0x06, 1, 2,        // union 1 -> 2
                        5, 0x24, 0x01, 0x03, 2,     // call management over interface 2
                        4, 0x24, 0x02, 0x07,        // ACM
                        7, 5, 0x81, 3, 16, 0, 16,
                        9, 4, 2, 0, 2, 0x0A, 0, 0, 0,
                        7, 5, 0x83, 2, 64, 0, 0,
                        7, 5, 0x03, 2, 64, 0, 0}),
         0x83, 0x03, 0x81, STATUS_SUCCESS},
        {"Huawei LTE modem (12d1:15b6): CDC descriptors on a vendor-specific interface",
         "lsusb -v, http://forum.jdtech.pl/showthread.php?tid=5493; interface 0 of four, wTotalLength "
         "and bNumInterfaces cut to match",
         {18, 1, 0x10, 0x02, 0, 0, 0, 64, 0xD1, 0x12, 0xB6, 0x15, 0x02, 0x01, 1, 2, 3, 1},
         Configuration({9, 2, 0, 0, 1, 1, 0, 0xC0, 1,
                        9, 4, 0, 0, 2, 0xFF, 3, 18, 0,
                        5, 0x24, 0x00, 0x10, 0x01,
                        4, 0x24, 0x02, 0x02,
                        5, 0x24, 0x01, 0x00, 0x00,
                        5, 0x24, 0x06, 0x00, 0x00,
                        7, 5, 0x81, 2, 0x00, 0x02, 0,
                        7, 5, 0x01, 2, 0x00, 0x02, 0}),
         0, 0, 0, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"the simulated modem", "sim/usb/src/descriptors.cpp", usbsim::ModemDeviceDescriptor(),
         usbsim::ModemConfigurationDescriptor(), usbsim::kBulkInEndpoint, usbsim::kBulkOutEndpoint,
         usbsim::kInterruptEndpoint, STATUS_SUCCESS},
    };
    return devices;
}

// Offsets into the simulated modem's configuration set.
constexpr size_t kCommInterface = 9, kUnionSlave = 36, kInterruptEndpoint = 37, kDataInterface = 44,
                 kBulkInEndpoint = 53;

struct Malformed {
    const char* name;
    std::function<void(Bytes& device, Bytes& configuration)> damage;
    NTSTATUS status;
};

Bytes Without(Bytes b, size_t at, size_t n) {
    b.erase(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
    return b;
}

const std::vector<Malformed>& MalformedSets() {
    static const std::vector<Malformed> sets = {
        {"short device descriptor", [](Bytes& d, Bytes&) { d.resize(12); }, STATUS_DEVICE_DATA_ERROR},
        {"device descriptor bLength 17", [](Bytes& d, Bytes&) { d[0] = 17; }, STATUS_DEVICE_DATA_ERROR},
        {"configuration bLength 8", [](Bytes&, Bytes& c) { c[0] = 8; }, STATUS_DEVICE_DATA_ERROR},
        {"truncated: the device sends less than wTotalLength", [](Bytes&, Bytes& c) { c.resize(c.size() - 5); },
         STATUS_DEVICE_DATA_ERROR},
        {"wTotalLength beyond the data", [](Bytes&, Bytes& c) { c[2] = static_cast<uint8_t>(c[2] + 10); },
         STATUS_DEVICE_DATA_ERROR},
        {"wTotalLength below the header", [](Bytes&, Bytes& c) { c[2] = 4; }, STATUS_DEVICE_DATA_ERROR},
        {"interface bLength 7", [](Bytes&, Bytes& c) { c[kCommInterface] = 7; }, STATUS_DEVICE_DATA_ERROR},
        {"descriptor bLength 0", [](Bytes&, Bytes& c) { c[kDataInterface] = 0; }, STATUS_DEVICE_DATA_ERROR},
        {"descriptor running past the end", [](Bytes&, Bytes& c) { c[c.size() - 7] = 9; }, STATUS_DEVICE_DATA_ERROR},
        {"bNumEndpoints says two more than there are",
         [](Bytes&, Bytes& c) { c[kDataInterface + 4] = 4; }, STATUS_DEVICE_DATA_ERROR},
        {"union naming a missing interface", [](Bytes&, Bytes& c) { c[kUnionSlave] = 5; },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"no interrupt endpoint",
         [](Bytes&, Bytes& c) {
             c = Configuration(Without(c, kInterruptEndpoint, 7));
             c[kCommInterface + 4] = 0;
         },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"interrupt endpoint OUT", [](Bytes&, Bytes& c) { c[kInterruptEndpoint + 2] = 0x03; },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"bulk-in endpoint of interrupt type", [](Bytes&, Bytes& c) { c[kBulkInEndpoint + 3] = 3; },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"data interface of the wrong class", [](Bytes&, Bytes& c) { c[kDataInterface + 5] = 0xFF; },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"no communication interface", [](Bytes&, Bytes& c) { c[kCommInterface + 6] = 0x06; },
         STATUS_DEVICE_CONFIGURATION_ERROR},
    };
    return sets;
}

class DescriptorTableTest : public DriverTest {
protected:
    // Plugs a device with these descriptors and the bus driver on it alone.
    usbsim::PluggedModem PlugDescribed(const Bytes& device, const Bytes& configuration) {
        usbsim::UsbDeviceOptions options;
        options.deviceDescriptor = device;
        options.configuration = configuration;
        return usbsim::PlugThroughBus(hub.get(), u"USB\\VID_0000&PID_0000\\" + kmodel::ToU16(std::to_string(n_++)),
                                      nullptr, busDriver, nullptr, u"", options);
    }
    USBD_PIPE_HANDLE OpenPipe(const usbsim::UsbDevice* device, uint8_t endpoint) {
        for (const auto& [address, handle] : device->openPipes) {
            if (address == endpoint) {
                return handle;
            }
        }
        return nullptr;
    }
    void ExpectBusGone() {
        kmodel::WaitForQuiescence();
        EXPECT_EQ(busDriver->DeviceObject, nullptr);
        EXPECT_EQ(kmodel::PoolBlocksHeld(busDriver), 0u);
    }
    int n_ = 0;
};

TEST_F(DescriptorTableTest, RealDevicesYieldTheirThreePipesOrAreRefused) {
    for (const RealDevice& d : RealDevices()) {
        SCOPED_TRACE(std::string(d.name) + " from " + d.source);
        usbsim::PluggedModem plugged = PlugDescribed(d.device, d.configuration);
        if (d.status != STATUS_SUCCESS) {
            EXPECT_EQ(plugged.status, d.status);
            EXPECT_EQ(plugged.child, nullptr);
            EXPECT_EQ(plugged.device->counts.selects, 0);
            ExpectBusGone();
            continue;
        }
        ASSERT_EQ(plugged.status, STATUS_SUCCESS);
        ASSERT_NE(plugged.child, nullptr);
        const auto* ext = static_cast<const uint8_t*>(kmodel::PhysicalDevice(plugged.child)->DeviceExtension);
        ULONG published[3];
        std::memcpy(published, ext + 12, sizeof(published));
        const uint8_t expected[3] = {d.bulkIn, d.bulkOut, d.interrupt};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(published[i])),
                      OpenPipe(plugged.device, expected[i]))
                << "pipe " << i;
        }
        EXPECT_EQ(plugged.device->counts.selects, 1);
        ASSERT_EQ(kmodel::RemoveDevice(plugged.device->node), STATUS_SUCCESS);
        EXPECT_EQ(plugged.device->counts.unconfigures, 1);
        EXPECT_TRUE(kmodel::NodeRemoved(plugged.child));
        ExpectBusGone();
    }
}

TEST_F(DescriptorTableTest, MalformedSetsAreRefusedAtStartWithNothingLeft) {
    for (const Malformed& m : MalformedSets()) {
        SCOPED_TRACE(m.name);
        Bytes device = usbsim::ModemDeviceDescriptor();
        Bytes configuration = usbsim::ModemConfigurationDescriptor();
        m.damage(device, configuration);
        usbsim::PluggedModem plugged = PlugDescribed(device, configuration);
        EXPECT_EQ(plugged.status, m.status);
        EXPECT_EQ(plugged.child, nullptr);
        EXPECT_EQ(plugged.device->counts.selects, 0);
        EXPECT_TRUE(kmodel::NodeRemoved(plugged.device->node));
        ExpectBusGone();
    }
}

}  // namespace
}  // namespace qvtest
