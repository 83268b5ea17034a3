// What a Windows USB stack shows a function driver: the hub's PDO for one
// USB device. It answers the descriptor requests from the device's
// descriptor set, selects and drops the configuration (filling the
// interface and pipe information), hands the transfers, class requests,
// aborts and resets to the host stack behind it, answers the port requests
// (reset, cycle, status), and fails everything once the device is unplugged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <wdm.h>
#include <usb.h>

#include <kmodel/pnp.h>
#include <usbsim/host_stack.h>

namespace usbsim {

struct UsbDeviceOptions {
    std::vector<uint8_t> deviceDescriptor = ModemDeviceDescriptor();
    std::vector<uint8_t> configuration = ModemConfigurationDescriptor();
    // DeviceState map reported in IRP_MN_QUERY_CAPABILITIES, by system state.
    DEVICE_POWER_STATE deviceState[PowerSystemMaximum] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
        PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    // Pipe handles above 4 GB, as a 64-bit stack's pointers are.
    bool wideHandles = false;
};

// One request the device saw that was not a transfer, for tests.
struct UsbDeviceCounts {
    int descriptorRequests = 0;
    int selects = 0;        // SELECT_CONFIGURATION with a descriptor
    int unconfigures = 0;   // SELECT_CONFIGURATION with NULL
    int refusedSelects = 0;
    int portResets = 0;
    int portCycles = 0;
};

class UsbHub;

struct UsbDevice {
    UsbHub* hub = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    kmodel::DeviceNode* node = nullptr;
    HostStack* stack = nullptr;  // may be null: a device only described
    UsbDeviceOptions options;
    bool present = true;
    bool configured = false;
    UsbDeviceCounts counts;
    // The handles the last configuration gave, by endpoint address.
    std::vector<std::pair<uint8_t, USBD_PIPE_HANDLE>> openPipes;
};

// The hub driver: a driver object whose PDOs are USB devices.
class UsbHub {
public:
    UsbHub();
    ~UsbHub();
    UsbHub(const UsbHub&) = delete;
    UsbHub& operator=(const UsbHub&) = delete;

    PDRIVER_OBJECT driver() const { return driver_; }

    // A device appears on a port: its PDO is reported to the PnP manager.
    UsbDevice* Plug(const std::u16string& instancePath, HostStack* stack, const UsbDeviceOptions& options = {});
    // The device is pulled out: every URB pending or new fails with the
    // device-gone status, and the PnP manager is told.
    void Unplug(UsbDevice* device);

    static UsbDevice* DeviceOf(PDEVICE_OBJECT pdo);

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<UsbDevice>> devices_;
};

// A USB device with the bus driver on it and the port driver on the bus's
// child, as a test or a tool plugs a modem.
struct PluggedModem {
    UsbDevice* device = nullptr;
    kmodel::DeviceNode* child = nullptr;  // the bus's child, the port's PDO
    NTSTATUS status = STATUS_SUCCESS;     // the first step that failed
};

// Plugs the device, puts the bus driver on it and starts it, then gives the
// child its PortName (as the ports class installer does) and puts the port
// driver on it. An empty portName leaves the child without one.
PluggedModem PlugThroughBus(UsbHub* hub, const std::u16string& instancePath, HostStack* stack,
                            PDRIVER_OBJECT busDriver, PDRIVER_OBJECT portDriver, const std::u16string& portName,
                            const UsbDeviceOptions& options = {});

}  // namespace usbsim
