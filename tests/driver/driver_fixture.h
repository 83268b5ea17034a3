// A model with the parent bus and the real driver loaded, and modems that
// can be plugged under it. White-box tests read the DEVICE_EXTENSION.
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
    // Adds and starts a child with a simulated modem behind a host stack.
    usbsim::Child* PlugModem(const std::u16string& portName, const std::string& number);
    usbsim::HostStack& Stack(size_t i = 0) { return *stacks[i]; }
    PDEVICE_EXTENSION Extension(usbsim::Child* child) const;
    PDEVICE_OBJECT Fdo(usbsim::Child* child) const;
    bool SerialCommHas(const std::u16string& valueName, std::u16string* data = nullptr) const;
    bool LinkExists(const std::u16string& link) const;
    size_t DriverPool() const { return kmodel::PoolBlocksHeld(driver); }
    size_t DriverDevices() const;

    std::unique_ptr<kmodel::System> system;
    std::unique_ptr<usbsim::ParentBus> bus;
    PDRIVER_OBJECT driver = nullptr;
    RecordingUrbTarget usb;
    std::unique_ptr<usbsim::UsbWorld> world;
    std::vector<std::unique_ptr<usbsim::HostStack>> stacks;
    int nextChild = 0;
};

}  // namespace qvtest
