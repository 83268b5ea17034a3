#include "driver_fixture.h"

namespace qvtest {

NTSTATUS RecordingUrbTarget::SubmitUrb(PIRP irp, PURB urb) {
    Seen s{urb->UrbHeader.Function, nullptr, 0, 0, 0, 0};
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        s.pipe = urb->UrbPipeRequest.PipeHandle;
        break;
    case URB_FUNCTION_CLASS_INTERFACE:
        s.request = urb->UrbControlVendorClassRequest.Request;
        s.requestType = urb->UrbControlVendorClassRequest.RequestTypeReservedBits;
        s.value = urb->UrbControlVendorClassRequest.Value;
        s.length = urb->UrbControlVendorClassRequest.TransferBufferLength;
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        s.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
        s.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        break;
    default:
        break;
    }
    seen.push_back(s);
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
        IoMarkIrpPending(irp);
        irp->Tail.Overlay.DriverContext[0] = this;
        waiting.emplace_back(irp, urb);
        IoSetCancelRoutine(irp, CancelWaiting);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            waiting.pop_back();
            Finish(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        }
        return STATUS_PENDING;
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (it->second->UrbBulkOrInterruptTransfer.PipeHandle == urb->UrbPipeRequest.PipeHandle) {
                auto [cancelled, cancelledUrb] = *it;
                it = waiting.erase(it);
                if (IoSetCancelRoutine(cancelled, nullptr) != nullptr) {
                    Finish(cancelled, cancelledUrb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
                }
            } else {
                ++it;
            }
        }
    }
    urb->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_REQUEST_FAILED;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void RecordingUrbTarget::DeviceGone() {
    std::vector<std::pair<PIRP, PURB>> gone;
    gone.swap(waiting);
    for (auto& [irp, urb] : gone) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Finish(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        }
    }
}

void RecordingUrbTarget::Finish(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
    urb->UrbHeader.Status = usbd;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A waiting transfer can be cancelled, as on a real stack.
VOID NTAPI RecordingUrbTarget::CancelWaiting(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* target = static_cast<RecordingUrbTarget*>(irp->Tail.Overlay.DriverContext[0]);
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    for (auto it = target->waiting.begin(); it != target->waiting.end(); ++it) {
        if (it->first == irp) {
            target->waiting.erase(it);
            break;
        }
    }
    Finish(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

size_t RecordingUrbTarget::Count(USHORT function) const {
    size_t n = 0;
    for (const Seen& s : seen) {
        n += s.function == function ? 1 : 0;
    }
    return n;
}

void DriverTest::SetUp() {
    system = std::make_unique<kmodel::System>();
    bus = std::make_unique<usbsim::ParentBus>();
    hub = std::make_unique<usbsim::UsbHub>();
    ASSERT_EQ(kmodel::LoadDriver(u"qvsimdm", DriverEntry, &driver), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::LoadDriver(u"qvusbbus", BusDriverEntry, &busDriver), STATUS_SUCCESS);
}

void DriverTest::TearDown() {
    kmodel::WaitForQuiescence();
    stacks.clear();
    world.reset();
    busChildren.clear();
    hub.reset();
    bus.reset();
    system.reset();
}

usbsim::Child* DriverTest::AddChild(const std::u16string& portName, NTSTATUS* addStatus) {
    std::u16string instance = u"USB\\VID_1234&PID_5678\\" + kmodel::ToU16(std::to_string(nextChild++));
    usbsim::Child* child = bus->AddChild(instance, portName, &usb, kPipes);
    NTSTATUS status = kmodel::AddFunctionDriver(child->node, driver);
    if (addStatus != nullptr) {
        *addStatus = status;
    }
    return child;
}

usbsim::Child* DriverTest::Plug(const std::u16string& portName) {
    NTSTATUS status;
    usbsim::Child* child = AddChild(portName, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(kmodel::StartDevice(child->node), STATUS_SUCCESS);
    return child;
}

usbsim::Child* DriverTest::PlugModem(const std::u16string& portName, const std::string& number,
                                     const usbsim::UsbDeviceOptions& options) {
    if (!world) {
        world = std::make_unique<usbsim::UsbWorld>();
    }
    stacks.push_back(std::make_unique<usbsim::HostStack>(world.get(), number));
    usbsim::HostStack* stack = stacks.back().get();
    std::u16string instance = u"USB\\VID_F1D0&PID_0A7C\\" + kmodel::ToU16(std::to_string(nextChild++));
    usbsim::PluggedModem plugged =
        usbsim::PlugThroughBus(hub.get(), instance, stack, busDriver, driver, portName, options);
    EXPECT_EQ(plugged.status, STATUS_SUCCESS);
    auto child = std::make_unique<usbsim::Child>();
    child->node = plugged.child;
    child->pdo = plugged.child != nullptr ? kmodel::PhysicalDevice(plugged.child) : nullptr;
    child->target = stack;
    child->device = plugged.device;
    busChildren.push_back(std::move(child));
    return busChildren.back().get();
}

void DriverTest::Unplug(usbsim::Child* child) {
    if (child->device != nullptr) {
        child->present = false;
        hub->Unplug(child->device);
    } else {
        bus->Unplug(child);
    }
}

PDEVICE_OBJECT DriverTest::Fdo(usbsim::Child* child) const {
    return child->pdo->AttachedDevice;
}

PDEVICE_EXTENSION DriverTest::Extension(usbsim::Child* child) const {
    return DeviceExtensionOf(Fdo(child));
}

bool DriverTest::SerialCommHas(const std::u16string& valueName, std::u16string* data) const {
    kmodel::RegistryValue value;
    if (!kmodel::RegistryGetValue(std::u16string(kmodel::kDeviceMapPath) + u"\\SERIALCOMM", valueName, &value)) {
        return false;
    }
    if (data != nullptr) {
        EXPECT_EQ(value.type, static_cast<ULONG>(REG_SZ));
        data->assign(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
    }
    return true;
}

bool DriverTest::LinkExists(const std::u16string& link) const {
    std::u16string target;
    return kmodel::SymbolicLinkTarget(link, &target);
}

size_t DriverTest::DriverDevices() const {
    size_t n = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        ++n;
    }
    return n;
}

}  // namespace qvtest
