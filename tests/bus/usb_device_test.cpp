// The hub's USB device PDO checks configuration requests as a strict stack
// does: the descriptor must be the device's, each interface must exist and
// be described in full, and no pipe is open before a configuration is.
#include <gtest/gtest.h>

#include <functional>

#include "driver_fixture.h"

namespace qvtest {
namespace {

class UsbDeviceTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        world = std::make_unique<usbsim::UsbWorld>();
        stacks.push_back(std::make_unique<usbsim::HostStack>(world.get(), "5551000"));
        device = hub->Plug(u"USB\\VID_F1D0&PID_0A7C\\0", stacks.back().get());
        configuration = usbsim::ModemConfigurationDescriptor();
    }
    void TearDown() override {
        hub->Unplug(device);
        DriverTest::TearDown();
    }

    NTSTATUS Send(PURB urb) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device->pdo, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS status = IoCallDriver(device->pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    // A select request for both interfaces, changed by `damage` before it goes.
    USBD_STATUS Select(const std::function<void(PURB, USBD_INTERFACE_LIST_ENTRY*)>& damage) {
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        USBD_INTERFACE_LIST_ENTRY list[3] = {};
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
        list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        damage(urb, list);
        Send(urb);
        USBD_STATUS status = urb->UrbHeader.Status;
        ExFreePool(urb);
        return status;
    }

    usbsim::UsbDevice* device = nullptr;
    std::vector<uint8_t> configuration;
};

TEST_F(UsbDeviceTest, SelectConfigurationIsCheckedStrictly) {
    struct Case {
        const char* name;
        std::function<void(PURB, USBD_INTERFACE_LIST_ENTRY*)> damage;
        USBD_STATUS status;
    };
    const Case cases[] = {
        {"as built", [](PURB, USBD_INTERFACE_LIST_ENTRY*) {}, USBD_STATUS_SUCCESS},
        {"a pipe count that is not the interface's",
         [](PURB, USBD_INTERFACE_LIST_ENTRY* l) { l[1].Interface->NumberOfPipes = 1; }, USBD_STATUS_INVALID_PARAMETER},
        {"an interface the configuration lacks",
         [](PURB, USBD_INTERFACE_LIST_ENTRY* l) { l[1].Interface->InterfaceNumber = 7; },
         USBD_STATUS_INTERFACE_NOT_FOUND},
        {"an interface length running past the request",
         [](PURB, USBD_INTERFACE_LIST_ENTRY* l) { l[1].Interface->Length = 0x400; }, USBD_STATUS_INVALID_PARAMETER},
        {"another configuration value",
         [this](PURB, USBD_INTERFACE_LIST_ENTRY*) { configuration[5] = 2; },
         USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configuration = usbsim::ModemConfigurationDescriptor();
        EXPECT_EQ(Select(c.damage), c.status);
        EXPECT_EQ(device->configured, c.status == USBD_STATUS_SUCCESS);
        device->configured = false;
    }
}

TEST_F(UsbDeviceTest, SelectFillsThePipesAndNoPipeIsOpenBefore) {
    URB transfer;
    RtlZeroMemory(&transfer, sizeof(transfer));
    UCHAR buffer[4] = {'A', 'T', '\r', 0};
    UsbBuildInterruptOrBulkTransferRequest(&transfer, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           Stack().PipeHandle(usbsim::kBulkOutEndpoint), buffer, nullptr, 3,
                                           USBD_TRANSFER_DIRECTION_OUT, nullptr);
    EXPECT_EQ(Send(&transfer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transfer.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_EQ(Send(select), STATUS_SUCCESS);
    EXPECT_NE(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    const USBD_PIPE_INFORMATION& notify = list[0].Interface->Pipes[0];
    EXPECT_EQ(list[0].Interface->Class, 0x02);
    EXPECT_EQ(notify.EndpointAddress, usbsim::kInterruptEndpoint);
    EXPECT_EQ(notify.PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(notify.MaximumPacketSize, 16);
    EXPECT_EQ(notify.PipeHandle, Stack().PipeHandle(usbsim::kInterruptEndpoint));
    EXPECT_EQ(list[1].Interface->Class, 0x0A);
    EXPECT_EQ(list[1].Interface->Pipes[1].EndpointAddress, usbsim::kBulkOutEndpoint);
    EXPECT_EQ(list[1].Interface->Pipes[1].PipeType, UsbdPipeTypeBulk);
    ExFreePool(select);

    EXPECT_EQ(Send(&transfer), STATUS_SUCCESS);
    EXPECT_EQ(transfer.UrbHeader.Status, USBD_STATUS_SUCCESS);
}

}  // namespace
}  // namespace qvtest
