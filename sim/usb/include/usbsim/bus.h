// A stand-in parent bus driver, for tests that need a hand-shaped parent:
// a driver object of its own that creates one PDO per child, answers Plug
// and Play and power requests for it as the test sets it up, and hands the
// URBs it receives to the target behind it. Modems are plugged through the
// real bus driver on a USB device PDO (usb_device.h) instead.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <wdm.h>
#include <usb.h>

#include <kmodel/pnp.h>

namespace usbsim {

// What lies below the PDO: the USB host stack and the device. It gets every
// IOCTL_INTERNAL_USB_SUBMIT_URB request and completes it (now or later).
class UrbTarget {
public:
    virtual ~UrbTarget() = default;
    virtual NTSTATUS SubmitUrb(PIRP irp, PURB urb) = 0;
    // The device was unplugged: every URB still pending fails.
    virtual void DeviceGone() {}
};

// The PDO's device extension. The function driver reads the three pipe
// handles as 32-bit values at byte offsets 12, 16 and 20 once its start
// request has been completed by the bus.
struct PdoExtension {
    ULONG Signature;
    ULONG Port;
    ULONG Started;
    ULONG BulkInPipe;     // offset 12
    ULONG BulkOutPipe;    // offset 16
    ULONG InterruptPipe;  // offset 20
    void* Child;          // the bus's own record of the child
};
static_assert(offsetof(PdoExtension, BulkInPipe) == 12, "pipe handle offsets are fixed");
static_assert(offsetof(PdoExtension, BulkOutPipe) == 16, "pipe handle offsets are fixed");
static_assert(offsetof(PdoExtension, InterruptPipe) == 20, "pipe handle offsets are fixed");

struct PipeHandles {
    ULONG bulkIn = 0;
    ULONG bulkOut = 0;
    ULONG interrupt = 0;
};

// Per-child settings and faults a test can set.
struct ChildOptions {
    // DeviceState map reported in IRP_MN_QUERY_CAPABILITIES, by system state.
    DEVICE_POWER_STATE deviceState[PowerSystemMaximum] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
        PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    ULONG capabilitiesVersion = 1;
    BOOLEAN uniqueId = TRUE;
    NTSTATUS failStart = STATUS_SUCCESS;          // complete START_DEVICE with this
    NTSTATUS failCapabilities = STATUS_SUCCESS;   // complete QUERY_CAPABILITIES with this
    NTSTATUS failDevicePower = STATUS_SUCCESS;    // complete device power IRPs with this
    NTSTATUS failSystemPower = STATUS_SUCCESS;    // complete system power IRPs with this
    // Park set-power and query-power IRPs, pending, until CompleteHeldPower
    // answers them (as a bus that powers its device from its own thread).
    bool holdPower = false;
};

// One request as the bus saw it, for tests that check order and content.
struct BusEvent {
    UCHAR major;
    UCHAR minor;
    POWER_STATE_TYPE powerType;
    POWER_STATE powerState;
    NTSTATUS status;
};

struct UsbDevice;

struct Child {
    PDEVICE_OBJECT pdo = nullptr;
    kmodel::DeviceNode* node = nullptr;
    UrbTarget* target = nullptr;
    PipeHandles pipes;
    ChildOptions options;
    bool present = true;  // false once unplugged: REMOVE_DEVICE then deletes the PDO
    std::vector<BusEvent> events;
    // Power IRPs parked by holdPower, with the status each will get.
    std::vector<std::pair<PIRP, NTSTATUS>> heldPower;
    // Set when the child is the real bus driver's PDO, on this USB device,
    // rather than one of this stand-in's.
    UsbDevice* device = nullptr;
};

// The bus driver object. One per model instance.
class ParentBus {
public:
    ParentBus();
    ~ParentBus();
    ParentBus(const ParentBus&) = delete;
    ParentBus& operator=(const ParentBus&) = delete;

    PDRIVER_OBJECT driver() const { return driver_; }

    // Creates a PDO for a new child and reports it to the PnP manager, with
    // `portName` (if not empty) as PortName in its hardware key.
    Child* AddChild(const std::u16string& instancePath, const std::u16string& portName, UrbTarget* target,
                    const PipeHandles& pipes);
    // The device is gone: pending and new URBs fail, the PnP manager sends
    // surprise removal and, after the last close, removal.
    void Unplug(Child* child);

    static Child* ChildOf(PDEVICE_OBJECT pdo);

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<Child*> children_;
};

// Answers the power IRPs parked so far from a model system thread at
// DISPATCH_LEVEL, each with the status it was recorded with; IRPs parked
// meanwhile wait for the next call.
void CompleteHeldPower(Child* child);

// Puts a loaded function driver on a child: AddDevice, then the start
// sequence. Returns the first failure.
NTSTATUS PlugFunctionDriver(Child* child, PDRIVER_OBJECT driver);

}  // namespace usbsim
