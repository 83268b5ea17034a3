// A model with the drivers loaded: modems are plugged as USB devices with
// the real bus driver on them and the port driver on the bus's child; the
// stand-in parent bus gives hand-shaped parents. White-box tests read the
// DEVICE_EXTENSION.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "stddcls.h"

#include <kmodel/io.h>
#include <kmodel/pnp.h>
#include <kmodel/system.h>
#include <kmodel/verifier.h>
#include <usbsim/bus.h>
#include <usbsim/host_stack.h>
#include <usbsim/usb_device.h>

#include "qvusbbus.h"

namespace qvtest {

// Below the PDO until the host stack exists: records every URB and
// completes it at once with a status the test chooses.
class RecordingUrbTarget : public usbsim::UrbTarget {
public:
    struct Seen {
        USHORT function;
        USBD_PIPE_HANDLE pipe;
        UCHAR request;
        UCHAR requestType;
        USHORT value;
        ULONG length;
    };
    NTSTATUS SubmitUrb(PIRP irp, PURB urb) override;
    void DeviceGone() override;
    size_t Count(USHORT function) const;
    std::vector<Seen> seen;
    NTSTATUS status = STATUS_SUCCESS;
    // IN transfers wait, as they would for a silent device, until their
    // pipe is aborted or they are cancelled.
    std::vector<std::pair<PIRP, PURB>> waiting;

private:
    static void Finish(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd);
    static VOID NTAPI CancelWaiting(PDEVICE_OBJECT device, PIRP irp);
};

inline constexpr usbsim::PipeHandles kPipes{0x101, 0x102, 0x183};

class DriverTest : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    // Adds a child with this PortName (none if empty) and runs AddDevice.
    usbsim::Child* AddChild(const std::u16string& portName, NTSTATUS* addStatus = nullptr);
    // Adds and starts a child; the test fails if either step fails.
    usbsim::Child* Plug(const std::u16string& portName);
    // Plugs a simulated modem as a USB device: the bus driver configures it
    // and the port driver starts on the bus's child.
    usbsim::Child* PlugModem(const std::u16string& portName, const std::string& number,
                             const usbsim::UsbDeviceOptions& options = {});
    // Pulls a plugged device out (for a stand-in child, its parent reports
    // it gone); the PnP manager does its part before this returns.
    void Unplug(usbsim::Child* child);
    usbsim::HostStack& Stack(size_t i = 0) { return *stacks[i]; }
    PDEVICE_EXTENSION Extension(usbsim::Child* child) const;
    PDEVICE_OBJECT Fdo(usbsim::Child* child) const;
    bool SerialCommHas(const std::u16string& valueName, std::u16string* data = nullptr) const;
    bool LinkExists(const std::u16string& link) const;
    size_t DriverPool() const { return kmodel::PoolBlocksHeld(driver); }
    size_t DriverDevices() const;

    std::unique_ptr<kmodel::System> system;
    std::unique_ptr<usbsim::ParentBus> bus;
    std::unique_ptr<usbsim::UsbHub> hub;
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_OBJECT busDriver = nullptr;
    std::vector<std::unique_ptr<usbsim::Child>> busChildren;  // the bus driver's children, as plugged
    RecordingUrbTarget usb;
    std::unique_ptr<usbsim::UsbWorld> world;
    std::vector<std::unique_ptr<usbsim::HostStack>> stacks;
    int nextChild = 0;
};

}  // namespace qvtest
