// The hub's PDO for a USB device.
#include <usbsim/usb_device.h>

#include <algorithm>
#include <cstring>

#include <kmodel/system.h>
#include <usbdlib.h>
#include <usbioctl.h>

namespace usbsim {

namespace {

constexpr ULONG kDeviceSignature = 0x44425355;  // 'USBD'
// High bits a 64-bit stack's handles have (kernel pointers).
constexpr ULONG_PTR kWideHandleBits = sizeof(ULONG_PTR) > 4 ? static_cast<ULONG_PTR>(0xFFFF9A0000000000ull) : 0;
// Endpoints the host stack does not carry still get handles of their own.
constexpr ULONG kOtherPipeBase = 0x7E000000;

struct DeviceExtension {
    ULONG Signature;
    UsbDevice* Device;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteUrb(PIRP irp, PURB urb, USBD_STATUS usbd) {
    urb->UrbHeader.Status = usbd;
    NTSTATUS status = STATUS_SUCCESS;
    if (usbd == USBD_STATUS_DEVICE_GONE) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (USBD_ERROR(usbd)) {
        status = USBD_HALTED(usbd) ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
    }
    return Complete(irp, status);
}

const USB_CONFIGURATION_DESCRIPTOR* ConfigurationOf(const UsbDevice* device) {
    return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(device->options.configuration.data());
}

// The interface descriptor (number, alternate setting) of the device's
// configuration, and its endpoint descriptors.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const UsbDevice* device, UCHAR number, UCHAR alternate,
                                              std::vector<const USB_ENDPOINT_DESCRIPTOR*>* endpoints) {
    const std::vector<uint8_t>& c = device->options.configuration;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    for (size_t at = 0; at + 2 <= c.size() && c[at] >= 2; at += c[at]) {
        if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + sizeof(USB_INTERFACE_DESCRIPTOR) <= c.size()) {
            if (found != nullptr) {
                break;
            }
            auto* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&c[at]);
            if (i->bInterfaceNumber == number && i->bAlternateSetting == alternate) {
                found = i;
            }
        } else if (found != nullptr && c[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   at + sizeof(USB_ENDPOINT_DESCRIPTOR) <= c.size()) {
            endpoints->push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&c[at]));
        }
    }
    return found;
}

USBD_PIPE_HANDLE HandleFor(UsbDevice* device, UCHAR endpoint) {
    ULONG_PTR bits = device->options.wideHandles ? kWideHandleBits : 0;
    if (device->stack != nullptr && device->stack->PipeHandle(endpoint) != nullptr) {
        return device->stack->PipeHandle(endpoint);
    }
    return reinterpret_cast<USBD_PIPE_HANDLE>(bits | kOtherPipeBase | endpoint);
}

USBD_STATUS GetDescriptor(UsbDevice* device, PURB urb) {
    auto& r = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    void* buffer = r.TransferBuffer != nullptr ? r.TransferBuffer
                                               : (r.TransferBufferMDL != nullptr ? r.TransferBufferMDL->MappedSystemVa
                                                                                 : nullptr);
    if (r.TransferBufferLength != 0 && buffer == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    ++device->counts.descriptorRequests;
    const std::vector<uint8_t>* source = nullptr;
    if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r.Index == 0) {
        source = &device->options.deviceDescriptor;
    } else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && r.Index == 0) {
        source = &device->options.configuration;
    } else {
        r.TransferBufferLength = 0;
        return USBD_STATUS_STALL_PID;  // the device has no such descriptor
    }
    ULONG n = std::min<ULONG>(r.TransferBufferLength, static_cast<ULONG>(source->size()));
    std::memcpy(buffer, source->data(), n);
    r.TransferBufferLength = n;
    return USBD_STATUS_SUCCESS;
}

// Fills one interface's information from the descriptors, as the stack
// does when it opens the interface's pipes.
USBD_STATUS OpenInterface(UsbDevice* device, PUSBD_INTERFACE_INFORMATION info, ULONG room) {
    if (room < sizeof(USBD_INTERFACE_INFORMATION) || info->Length < sizeof(USBD_INTERFACE_INFORMATION) ||
        info->Length > room) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
    const USB_INTERFACE_DESCRIPTOR* d = FindInterface(device, info->InterfaceNumber, info->AlternateSetting, &endpoints);
    if (d == nullptr) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    ULONG pipes = static_cast<ULONG>(endpoints.size());
    if (info->NumberOfPipes != pipes || info->Length < GET_USBD_INTERFACE_SIZE(pipes == 0 ? 1 : pipes)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    info->Class = d->bInterfaceClass;
    info->SubClass = d->bInterfaceSubClass;
    info->Protocol = d->bInterfaceProtocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<ULONG_PTR>(0x1F000000 | info->InterfaceNumber));
    for (ULONG i = 0; i < pipes; ++i) {
        USBD_PIPE_INFORMATION& p = info->Pipes[i];
        const USB_ENDPOINT_DESCRIPTOR* e = endpoints[i];
        p.EndpointAddress = e->bEndpointAddress;
        p.MaximumPacketSize = e->wMaxPacketSize;
        p.Interval = e->bInterval;
        p.PipeType = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        p.PipeHandle = HandleFor(device, e->bEndpointAddress);
        if (p.MaximumTransferSize == 0) {
            p.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        device->openPipes.emplace_back(e->bEndpointAddress, p.PipeHandle);
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(UsbDevice* device, PURB urb) {
    auto& s = urb->UrbSelectConfiguration;
    constexpr ULONG fixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    if (urb->UrbHeader.Length < fixed) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    device->openPipes.clear();
    if (s.ConfigurationDescriptor == nullptr) {
        ++device->counts.unconfigures;
        device->configured = false;
        return USBD_STATUS_SUCCESS;
    }
    const USB_CONFIGURATION_DESCRIPTOR* mine = ConfigurationOf(device);
    if (s.ConfigurationDescriptor->bConfigurationValue != mine->bConfigurationValue ||
        s.ConfigurationDescriptor->wTotalLength != mine->wTotalLength) {
        ++device->counts.refusedSelects;
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    }
    auto* base = reinterpret_cast<PUCHAR>(urb);
    ULONG at = fixed;
    ULONG interfaces = 0;
    while (at < urb->UrbHeader.Length) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + at);
        USBD_STATUS status = OpenInterface(device, info, urb->UrbHeader.Length - at);
        if (!USBD_SUCCESS(status)) {
            ++device->counts.refusedSelects;
            device->openPipes.clear();
            return status;
        }
        at += info->Length;
        ++interfaces;
    }
    if (interfaces == 0) {
        ++device->counts.refusedSelects;
        return USBD_STATUS_INVALID_PARAMETER;
    }
    s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<ULONG_PTR>(0x1C000000 | mine->bConfigurationValue));
    ++device->counts.selects;
    device->configured = true;
    return USBD_STATUS_SUCCESS;
}

// Transfers and pipe requests name a pipe of the current configuration.
bool NamesOpenPipe(const UsbDevice* device, PURB urb) {
    USBD_PIPE_HANDLE handle;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        handle = urb->UrbBulkOrInterruptTransfer.PipeHandle;
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        handle = urb->UrbPipeRequest.PipeHandle;
        break;
    default:
        return true;  // the default pipe
    }
    return std::any_of(device->openPipes.begin(), device->openPipes.end(),
                       [handle](const auto& p) { return p.second == handle; });
}

NTSTATUS SubmitUrb(UsbDevice* device, PIRP irp, PURB urb) {
    if (urb == nullptr) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    if (!device->present) {
        return CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return CompleteUrb(irp, urb, GetDescriptor(device, urb));
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return CompleteUrb(irp, urb, SelectConfiguration(device, urb));
    default:
        break;
    }
    if (!device->configured || !NamesOpenPipe(device, urb)) {
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    if (device->stack == nullptr) {
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
    return device->stack->SubmitUrb(irp, urb);
}

NTSTATUS NTAPI DeviceInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
    UsbDevice* device = UsbHub::DeviceOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(device, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
        ++device->counts.portResets;
        return Complete(irp, device->present ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        // A real hub re-enumerates the device; here it stays as it is.
        ++device->counts.portCycles;
        return Complete(irp, device->present ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        *static_cast<PULONG>(sp->Parameters.Others.Argument1) =
            device->present ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS NTAPI DevicePnp(PDEVICE_OBJECT pdo, PIRP irp) {
    UsbDevice* device = UsbHub::DeviceOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        std::copy(device->options.deviceState, device->options.deviceState + PowerSystemMaximum, caps->DeviceState);
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = FALSE;
        caps->UniqueID = FALSE;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE:
        device->configured = false;
        Complete(irp, STATUS_SUCCESS);
        // The hub deletes the PDO at removal only once the device is gone.
        if (!device->present) {
            IoDeleteDevice(pdo);
            device->pdo = nullptr;
        }
        return STATUS_SUCCESS;
    default:
        break;  // not the hub's to answer
    }
    return Complete(irp, status, irp->IoStatus.Information);
}

NTSTATUS NTAPI DevicePower(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
        if (sp->MinorFunction == IRP_MN_SET_POWER) {
            PoSetPowerState(pdo, sp->Parameters.Power.Type, sp->Parameters.Power.State);
        }
    }
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
}

NTSTATUS NTAPI HubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = DevicePnp;
    driver->MajorFunction[IRP_MJ_POWER] = DevicePower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DeviceInternalControl;
    return STATUS_SUCCESS;
}

}  // namespace

UsbHub::UsbHub() {
    kmodel::LoadDriver(u"usbsimhub", HubEntry, &driver_);
}

UsbHub::~UsbHub() = default;

UsbDevice* UsbHub::DeviceOf(PDEVICE_OBJECT pdo) {
    return static_cast<DeviceExtension*>(pdo->DeviceExtension)->Device;
}

UsbDevice* UsbHub::Plug(const std::u16string& instancePath, HostStack* stack, const UsbDeviceOptions& options) {
    auto device = std::make_unique<UsbDevice>();
    device->hub = this;
    device->stack = stack;
    device->options = options;
    if (stack != nullptr && options.wideHandles) {
        stack->set_handle_bits(kWideHandleBits);
    }
    PDEVICE_OBJECT pdo;
    IoCreateDevice(driver_, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                   FALSE, &pdo);
    auto* ext = static_cast<DeviceExtension*>(pdo->DeviceExtension);
    ext->Signature = kDeviceSignature;
    ext->Device = device.get();
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    device->pdo = pdo;
    device->node = kmodel::ReportChildDevice(pdo, instancePath);
    devices_.push_back(std::move(device));
    return devices_.back().get();
}

void UsbHub::Unplug(UsbDevice* device) {
    device->present = false;
    if (device->stack != nullptr) {
        device->stack->DeviceGone();
    }
    kmodel::WaitForQuiescence();
    kmodel::ReportDeviceMissing(device->node);
}

PluggedModem PlugThroughBus(UsbHub* hub, const std::u16string& instancePath, HostStack* stack,
                            PDRIVER_OBJECT busDriver, PDRIVER_OBJECT portDriver, const std::u16string& portName,
                            const UsbDeviceOptions& options) {
    PluggedModem plugged;
    plugged.device = hub->Plug(instancePath, stack, options);
    plugged.status = kmodel::AddFunctionDriver(plugged.device->node, busDriver);
    if (NT_SUCCESS(plugged.status)) {
        plugged.status = kmodel::StartDevice(plugged.device->node);
    }
    std::vector<kmodel::DeviceNode*> children =
        NT_SUCCESS(plugged.status) ? kmodel::ChildNodes(plugged.device->node) : std::vector<kmodel::DeviceNode*>{};
    if (children.empty()) {
        if (NT_SUCCESS(plugged.status)) {
            plugged.status = STATUS_NO_SUCH_DEVICE;
        }
        return plugged;
    }
    plugged.child = children.back();
    if (!portName.empty()) {
        kmodel::RegistrySetValue(kmodel::HardwareKeyPath(plugged.child), u"PortName", kmodel::RegSz(portName));
    }
    if (portDriver != nullptr) {
        plugged.status = kmodel::AddFunctionDriver(plugged.child, portDriver);
        if (NT_SUCCESS(plugged.status)) {
            plugged.status = kmodel::StartDevice(plugged.child);
        }
    }
    return plugged;
}

}  // namespace usbsim
