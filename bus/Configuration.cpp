// The USB device's configuration: the descriptors read from it, the
// configuration selected with the modem's two interfaces, and the return to
// the unconfigured state on stop and removal.
#include "busdcls.h"

namespace {

// Reads a descriptor of the device into `buffer`; `*length` is how much to
// ask for on entry and how much came on return.
NTSTATUS ReadDescriptor(PDEVICE_OBJECT lower, UCHAR type, PVOID buffer, PULONG length) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, nullptr,
                                 *length, nullptr);
    NTSTATUS status = SubmitUrbAndWait(lower, &urb);
    *length = NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0;
    return status;
}

// The whole configuration descriptor set, in pool the caller frees: first
// its 9-byte header for wTotalLength, then all of it.
NTSTATUS ReadConfiguration(PDEVICE_OBJECT lower, PUSB_CONFIGURATION_DESCRIPTOR* configuration, PULONG length) {
    *configuration = nullptr;
    USB_CONFIGURATION_DESCRIPTOR header;
    ULONG got = sizeof(header);
    NTSTATUS status = ReadDescriptor(lower, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, &got);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (got < sizeof(header) || header.bLength != sizeof(header) ||
        header.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || header.wTotalLength < sizeof(header)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    ULONG total = header.wTotalLength;
    auto* full = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, total, BUS_POOL_TAG));
    if (full == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    got = total;
    status = ReadDescriptor(lower, USB_CONFIGURATION_DESCRIPTOR_TYPE, full, &got);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(full, BUS_POOL_TAG);
        return status;
    }
    *configuration = full;
    *length = got;
    return STATUS_SUCCESS;
}

// The stack's handle for an endpoint of a selected interface, or NULL.
USBD_PIPE_HANDLE PipeFor(PUSBD_INTERFACE_INFORMATION iface, UCHAR endpoint) {
    for (ULONG i = 0; i < iface->NumberOfPipes; ++i) {
        if (iface->Pipes[i].EndpointAddress == endpoint) {
            return iface->Pipes[i].PipeHandle;
        }
    }
    return nullptr;
}

// SELECT_CONFIGURATION with the communication and the data interface.
NTSTATUS SelectModemConfiguration(PFDO_EXTENSION fdx, USBD_PIPE_HANDLE* pipes) {
    USBD_INTERFACE_LIST_ENTRY list[3];
    RtlZeroMemory(list, sizeof(list));
    list[0].InterfaceDescriptor = fdx->Function.CommInterface;
    list[1].InterfaceDescriptor = fdx->Function.DataInterface;
    PURB urb = USBD_CreateConfigurationRequestEx(fdx->Configuration, list);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrbAndWait(fdx->LowerDeviceObject, urb);
    if (NT_SUCCESS(status)) {
        pipes[InterruptInPipe] = PipeFor(list[0].Interface, fdx->Function.Endpoint[InterruptInPipe]);
        pipes[BulkInPipe] = PipeFor(list[1].Interface, fdx->Function.Endpoint[BulkInPipe]);
        pipes[BulkOutPipe] = PipeFor(list[1].Interface, fdx->Function.Endpoint[BulkOutPipe]);
        fdx->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        for (ULONG role = 0; role < PipeRoleCount; ++role) {
            if (pipes[role] == nullptr) {
                status = STATUS_DEVICE_CONFIGURATION_ERROR;  // the stack did not open what we asked for
            }
        }
    }
    ExFreePool(urb);
    return status;
}

// The configuration request with a NULL descriptor: back to unconfigured.
VOID SendUnconfigure(PDEVICE_OBJECT lower) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    SubmitUrbAndWait(lower, &urb);  // a device that is gone has nothing left to unconfigure
}

}  // namespace

// Sends one URB down and waits for it. A request the stack completes with
// success but a failed USBD status is a failure.
NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT lower, PURB urb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

// Reads and checks the descriptors, then selects the configuration. On
// success the configuration buffer and the pipe handles are the device's
// until UnconfigureDevice; on failure nothing is left allocated.
NTSTATUS ConfigureDevice(PFDO_EXTENSION fdx) {
    PDEVICE_OBJECT lower = fdx->LowerDeviceObject;
    ULONG got = sizeof(USB_DEVICE_DESCRIPTOR);
    NTSTATUS status = ReadDescriptor(lower, USB_DEVICE_DESCRIPTOR_TYPE, &fdx->DeviceDescriptor, &got);
    if (NT_SUCCESS(status)) {
        status = CheckDeviceDescriptor(&fdx->DeviceDescriptor, got);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PUSB_CONFIGURATION_DESCRIPTOR configuration;
    status = ReadConfiguration(lower, &configuration, &got);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ParseModemConfiguration(configuration, got, &fdx->Function);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(configuration, BUS_POOL_TAG);
        return status;
    }
    fdx->Configuration = configuration;
    USBD_PIPE_HANDLE pipes[PipeRoleCount] = {};
    status = SelectModemConfiguration(fdx, pipes);
    if (!NT_SUCCESS(status)) {
        SendUnconfigure(lower);
        fdx->Configuration = nullptr;
        RtlZeroMemory(&fdx->Function, sizeof(fdx->Function));
        ExFreePoolWithTag(configuration, BUS_POOL_TAG);
        return status;
    }
    PublishPipes(fdx, pipes);
    return STATUS_SUCCESS;
}

VOID UnconfigureDevice(PFDO_EXTENSION fdx) {
    if (fdx->Configuration == nullptr) {
        return;
    }
    USBD_PIPE_HANDLE none[PipeRoleCount] = {};
    PublishPipes(fdx, none);
    SendUnconfigure(fdx->LowerDeviceObject);
    ExFreePoolWithTag(fdx->Configuration, BUS_POOL_TAG);
    fdx->Configuration = nullptr;
    RtlZeroMemory(&fdx->Function, sizeof(fdx->Function));
    fdx->ConfigurationHandle = nullptr;
}
