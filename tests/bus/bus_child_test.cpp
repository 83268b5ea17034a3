// The bus driver's child as the PnP manager and the port driver see it: its
// identity and capabilities, the URBs it passes and refuses, a stop and a
// restart of the USB device, the device gone, and pipe handles that do not
// fit the 32-bit slots of the child's extension.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace qvtest {
namespace {

class BusChildTest : public DriverTest {
protected:
    // A modem with the bus driver on it and nothing on the bus's child.
    void PlugBare(const usbsim::UsbDeviceOptions& options = {}) {
        world = std::make_unique<usbsim::UsbWorld>();
        stacks.push_back(std::make_unique<usbsim::HostStack>(world.get(), "5551000"));
        plugged = usbsim::PlugThroughBus(hub.get(), u"USB\\VID_F1D0&PID_0A7C\\0", stacks.back().get(), busDriver,
                                         nullptr, u"", options);
        ASSERT_EQ(plugged.status, STATUS_SUCCESS);
        ASSERT_NE(plugged.child, nullptr);
        child = kmodel::PhysicalDevice(plugged.child);
    }

    NTSTATUS Send(PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(code, child, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS status = IoCallDriver(child, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    NTSTATUS SetControlLines(URB* urb) {
        RtlZeroMemory(urb, sizeof(*urb));
        UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              0, 0, 0x22, 0x0003, 0, nullptr, nullptr, 0, nullptr);
        return Send(urb);
    }

    ULONG Published(int slot) const {
        ULONG value;
        std::memcpy(&value, static_cast<const uint8_t*>(child->DeviceExtension) + 12 + 4 * slot, sizeof(value));
        return value;
    }

    usbsim::PluggedModem plugged;
    PDEVICE_OBJECT child = nullptr;
};

TEST_F(BusChildTest, ChildReportsItsIdsTextAndTheDevicesPowerMap) {
    usbsim::UsbDeviceOptions options;
    options.deviceState[PowerSystemSleeping1] = PowerDeviceD2;
    PlugBare(options);
    EXPECT_EQ(kmodel::HardwareIds(plugged.child),
              (std::vector<std::u16string>{u"QVUSBBUS\\VID_F1D0&PID_0A7C&REV_0100", u"QVUSBBUS\\VID_F1D0&PID_0A7C"}));
    EXPECT_EQ(kmodel::CompatibleIds(plugged.child),
              (std::vector<std::u16string>{u"QVUSBBUS\\CLASS_02&SUBCLASS_02", u"QVUSBBUS\\CDC_ACM"}));
    EXPECT_EQ(kmodel::DeviceDescription(plugged.child), u"USB CDC-ACM modem");
    EXPECT_EQ(kmodel::InstancePath(plugged.child).rfind(u"QVUSBBUS\\VID_F1D0&PID_0A7C&REV_0100\\", 0), 0u);
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(kmodel::QueryCapabilities(plugged.child, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    // Room for the child's own location and the parent's whole stack.
    EXPECT_GE(child->StackSize, plugged.device->pdo->AttachedDevice->StackSize);
}

TEST_F(BusChildTest, UrbsMustNameAChildPipeOrTheDefaultPipe) {
    PlugBare();
    URB urb;
    EXPECT_EQ(SetControlLines(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Stack().modem().dtr(), true);

    RtlZeroMemory(&urb, sizeof(urb));
    UCHAR buffer[8];
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), buffer, nullptr,
                                           sizeof(buffer), 0, nullptr);
    EXPECT_EQ(Send(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(Send(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(plugged.device->counts.unconfigures, 0);

    ULONG portStatus = 0;
    EXPECT_EQ(Send(reinterpret_cast<PURB>(&portStatus), IOCTL_INTERNAL_USB_GET_PORT_STATUS), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(BusChildTest, StopUnconfiguresAndRestartKeepsTheChildAndItsPipes) {
    PlugBare();
    ULONG bulkIn = Published(0);
    ASSERT_EQ(kmodel::StopDevice(plugged.device->node), STATUS_SUCCESS);
    EXPECT_EQ(plugged.device->counts.unconfigures, 1);
    URB urb;
    EXPECT_EQ(SetControlLines(&urb), STATUS_DEVICE_NOT_READY);

    ASSERT_EQ(kmodel::StartDevice(plugged.device->node), STATUS_SUCCESS);
    EXPECT_EQ(plugged.device->counts.selects, 2);
    EXPECT_EQ(kmodel::ChildNodes(plugged.device->node).size(), 1u);
    EXPECT_EQ(Published(0), bulkIn);
    EXPECT_EQ(SetControlLines(&urb), STATUS_SUCCESS);
}

TEST_F(BusChildTest, StopIsRefusedWhileThePortRunsOnTheChild) {
    usbsim::Child* modem = PlugModem(u"COM5", "5551000");
    EXPECT_EQ(kmodel::StopDevice(modem->device->node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(modem->device->counts.unconfigures, 0);
    EXPECT_EQ(Extension(modem)->State, Working);
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
}

TEST_F(BusChildTest, OnceTheDeviceIsGoneTheChildsRequestsFailDeletePending) {
    usbsim::Child* modem = PlugModem(u"COM5", "5551000");
    child = modem->pdo;
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    Unplug(modem);
    // Removal waits for the port's handle; the child is still there.
    EXPECT_FALSE(kmodel::NodeRemoved(modem->node));
    URB urb;
    EXPECT_EQ(SetControlLines(&urb), STATUS_DELETE_PENDING);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(kmodel::NodeRemoved(modem->node));
    EXPECT_TRUE(kmodel::NodeRemoved(modem->device->node));
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(busDriver->DeviceObject, nullptr);
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_EQ(kmodel::PoolBlocksHeld(busDriver), 0u);
}

// On 64-bit Windows the stack's handles are pointers; the child publishes
// tokens that fit, and the bus puts the real handles in the URBs it passes.
TEST_F(BusChildTest, HandlesThatDoNotFitAreCarriedAsTokens) {
    if (sizeof(ULONG_PTR) == 4) {
        GTEST_SKIP() << "every handle fits on a 32-bit build";
    }
    usbsim::UsbDeviceOptions options;
    options.wideHandles = true;
    usbsim::Child* modem = PlugModem(u"COM5", "5551000", options);
    ASSERT_NE(modem->node, nullptr);
    child = modem->pdo;
    const uint8_t endpoints[3] = {usbsim::kBulkInEndpoint, usbsim::kBulkOutEndpoint, usbsim::kInterruptEndpoint};
    for (int slot = 0; slot < 3; ++slot) {
        auto real = reinterpret_cast<ULONG_PTR>(Stack().PipeHandle(endpoints[slot]));
        EXPECT_GT(real, ULONG_PTR(MAXULONG));
        EXPECT_NE(Published(slot), static_cast<ULONG>(real));
    }
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    const char command[] = "ATI\r";
    kmodel::io::Request write;
    NTSTATUS status = kmodel::io::Write(file, command, 4, &write);
    if (status == STATUS_PENDING) {
        status = kmodel::io::Wait(&write);
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(write.IoStatus.Information, 4u);
    kmodel::WaitForQuiescence();
    // The modem's answer came back through the bulk-in pipe's token.
    SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
    kmodel::io::Request control;
    ASSERT_EQ(kmodel::io::DeviceControl(file, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0,
                                        &control),
              STATUS_SUCCESS);
    char answer[64] = {};
    kmodel::io::Request read;
    ASSERT_EQ(kmodel::io::Read(file, answer, sizeof(answer) - 1, &read), STATUS_SUCCESS);
    EXPECT_NE(std::string(answer).find("OK"), std::string::npos) << answer;
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    Unplug(modem);
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_EQ(kmodel::PoolBlocksHeld(busDriver), 0u);
}

}  // namespace
}  // namespace qvtest
