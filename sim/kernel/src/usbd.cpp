// USBD.SYS: the library routines a USB client driver imports to walk
// descriptors and to build the select-configuration request, as Microsoft
// documents them.
#include <usbdlib.h>

#include "model.h"

namespace {

bool Matches(LONG criterion, UCHAR value) {
    return criterion == -1 || criterion == value;
}

}  // namespace

// The first descriptor of the type at or after StartPosition, or NULL. A
// descriptor that claims no length ends the walk.
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
    auto* end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
    auto* p = static_cast<PUCHAR>(StartPosition);
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + d->bLength > end) {
            return nullptr;
        }
        if (d->bDescriptorType == DescriptorType) {
            return d;
        }
        p += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    PVOID position = StartPosition;
    for (;;) {
        auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(USBD_ParseDescriptors(
            ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, position, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (d == nullptr) {
            return nullptr;
        }
        if (Matches(InterfaceNumber, d->bInterfaceNumber) && Matches(AlternateSetting, d->bAlternateSetting) &&
            Matches(InterfaceClass, d->bInterfaceClass) && Matches(InterfaceSubClass, d->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, d->bInterfaceProtocol)) {
            return d;
        }
        position = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
}

// One request for every interface of the list, each with room for its
// endpoints; the list's Interface members point into it. The caller frees
// it with ExFreePool.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    ULONG interfaces = 0;
    ULONG pipes = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        ++interfaces;
        pipes += e->InterfaceDescriptor->bNumEndpoints;
    }
    if (interfaces == 0) {
        return nullptr;
    }
    // Room for at least one pipe per interface, as the size macro assumes.
    ULONG slots = pipes < interfaces ? interfaces : pipes;
    SIZE_T size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, slots) + interfaces * sizeof(USBD_PIPE_INFORMATION);
    auto* urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, size));
    if (urb == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(urb, size);
    auto* next = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(next);
        ULONG n = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(n == 0 ? 1 : n));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = n;
        for (ULONG j = 0; j < n; ++j) {
            info->Pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        next += info->Length;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(next - reinterpret_cast<PUCHAR>(urb));
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}
