// The device's descriptors: checks that they are whole and consistent, and
// finds the modem function in the configuration (USB 2.0 chapter 9, USB CDC
// 1.2). Nothing here touches the device; the routines only read a buffer.
#include "busdcls.h"

namespace {

// A CDC Union functional descriptor: the controlling (communication)
// interface, then one or more subordinate interfaces.
#pragma pack(push, 1)
typedef struct _CDC_UNION_DESCRIPTOR {
    UCHAR bFunctionLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bControlInterface;
    UCHAR bSubordinateInterface0;
} CDC_UNION_DESCRIPTOR, *PCDC_UNION_DESCRIPTOR;

typedef struct _INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} INTERFACE_ASSOCIATION_DESCRIPTOR, *PINTERFACE_ASSOCIATION_DESCRIPTOR;
#pragma pack(pop)

const UCHAR NO_INTERFACE = 0xFF;

// One descriptor set, walked from its start; every step is checked to stay
// inside it.
struct DESCRIPTOR_WALK {
    PUCHAR Start;
    ULONG Length;
};

PUSB_COMMON_DESCRIPTOR NextDescriptor(const DESCRIPTOR_WALK& walk, PUSB_COMMON_DESCRIPTOR current) {
    PUCHAR next = reinterpret_cast<PUCHAR>(current) + current->bLength;
    if (next >= walk.Start + walk.Length) {
        return nullptr;
    }
    return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(next);
}

PUSB_COMMON_DESCRIPTOR FirstDescriptor(const DESCRIPTOR_WALK& walk) {
    return NextDescriptor(walk, reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(walk.Start));
}

// Every descriptor has at least its two header bytes, ends inside the set,
// and the standard ones have their full length.
NTSTATUS CheckDescriptorChain(const DESCRIPTOR_WALK& walk) {
    ULONG offset = 0;
    while (offset < walk.Length) {
        if (walk.Length - offset < 2) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(walk.Start + offset);
        if (d->bLength < 2 || d->bLength > walk.Length - offset) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (d->bDescriptorType == USB_IAD_DESCRIPTOR_TYPE && d->bLength < sizeof(INTERFACE_ASSOCIATION_DESCRIPTOR)) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (offset != 0 && d->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        offset += d->bLength;
    }
    return STATUS_SUCCESS;
}

// Each interface descriptor is followed by exactly bNumEndpoints endpoint
// descriptors before the next interface.
NTSTATUS CheckEndpointCounts(const DESCRIPTOR_WALK& walk) {
    PUSB_INTERFACE_DESCRIPTOR current = nullptr;
    ULONG endpoints = 0;
    for (PUSB_COMMON_DESCRIPTOR d = FirstDescriptor(walk); d != nullptr; d = NextDescriptor(walk, d)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (current != nullptr && endpoints != current->bNumEndpoints) {
                return STATUS_DEVICE_DATA_ERROR;
            }
            current = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            endpoints = 0;
        } else if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (current == nullptr) {
                return STATUS_DEVICE_DATA_ERROR;  // an endpoint belongs to an interface
            }
            ++endpoints;
        }
    }
    if (current != nullptr && endpoints != current->bNumEndpoints) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    return STATUS_SUCCESS;
}

PUSB_INTERFACE_DESCRIPTOR FindInterface(const DESCRIPTOR_WALK& walk, PUSB_COMMON_DESCRIPTOR after, LONG number,
                                        LONG interfaceClass, LONG subclass) {
    PUSB_COMMON_DESCRIPTOR d = after == nullptr ? FirstDescriptor(walk) : NextDescriptor(walk, after);
    for (; d != nullptr; d = NextDescriptor(walk, d)) {
        if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) {
            continue;
        }
        auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if ((number < 0 || i->bInterfaceNumber == number) && (interfaceClass < 0 || i->bInterfaceClass == interfaceClass) &&
            (subclass < 0 || i->bInterfaceSubClass == subclass)) {
            return i;
        }
    }
    return nullptr;
}

// The endpoint of an interface with this transfer type and direction, or 0.
UCHAR FindEndpoint(const DESCRIPTOR_WALK& walk, PUSB_INTERFACE_DESCRIPTOR iface, UCHAR type, BOOLEAN in) {
    auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(iface);
    while ((d = NextDescriptor(walk, d)) != nullptr && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) {
        if (d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE) {
            continue;
        }
        auto* e = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d);
        BOOLEAN endpointIn = USB_ENDPOINT_DIRECTION_IN(e->bEndpointAddress) ? TRUE : FALSE;
        if ((e->bmAttributes & USB_ENDPOINT_TYPE_MASK) == type && endpointIn == in) {
            return e->bEndpointAddress;
        }
    }
    return 0;
}

// The data interface the communication interface names: its Union
// functional descriptor, else the interface association that holds it, else
// the next interface of the data class.
UCHAR FindDataInterfaceNumber(const DESCRIPTOR_WALK& walk, PUSB_INTERFACE_DESCRIPTOR comm) {
    auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(comm);
    while ((d = NextDescriptor(walk, d)) != nullptr && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) {
        auto* u = reinterpret_cast<PCDC_UNION_DESCRIPTOR>(d);
        if (d->bDescriptorType == CDC_CS_INTERFACE && d->bLength >= sizeof(CDC_UNION_DESCRIPTOR) &&
            u->bDescriptorSubtype == CDC_UNION_SUBTYPE && u->bControlInterface == comm->bInterfaceNumber) {
            return u->bSubordinateInterface0;
        }
    }
    for (d = FirstDescriptor(walk); d != nullptr; d = NextDescriptor(walk, d)) {
        auto* a = reinterpret_cast<PINTERFACE_ASSOCIATION_DESCRIPTOR>(d);
        if (d->bDescriptorType == USB_IAD_DESCRIPTOR_TYPE && a->bInterfaceCount >= 2 &&
            a->bFirstInterface == comm->bInterfaceNumber) {
            for (ULONG n = 1; n < a->bInterfaceCount; ++n) {
                auto number = static_cast<UCHAR>(a->bFirstInterface + n);
                if (FindInterface(walk, nullptr, number, CDC_DATA_CLASS, -1) != nullptr) {
                    return number;
                }
            }
        }
    }
    PUSB_INTERFACE_DESCRIPTOR next = FindInterface(walk, reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(comm), -1, -1, -1);
    while (next != nullptr && next->bInterfaceNumber == comm->bInterfaceNumber) {
        next = FindInterface(walk, reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(next), -1, -1, -1);
    }
    if (next != nullptr && next->bInterfaceClass == CDC_DATA_CLASS) {
        return next->bInterfaceNumber;
    }
    return NO_INTERFACE;
}

}  // namespace

NTSTATUS CheckDeviceDescriptor(const USB_DEVICE_DESCRIPTOR* device, ULONG length) {
    if (length < sizeof(USB_DEVICE_DESCRIPTOR) || device->bLength != sizeof(USB_DEVICE_DESCRIPTOR) ||
        device->bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE || device->bNumConfigurations == 0) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    return STATUS_SUCCESS;
}

// `length` is how many bytes the device returned. Malformed or incomplete
// descriptors give STATUS_DEVICE_DATA_ERROR; a configuration that does not
// describe a CDC-ACM function with the three endpoints gives
// STATUS_DEVICE_CONFIGURATION_ERROR.
NTSTATUS ParseModemConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                                 PMODEM_FUNCTION function) {
    RtlZeroMemory(function, sizeof(MODEM_FUNCTION));
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR) || configuration->bLength != sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || configuration->wTotalLength > length) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    DESCRIPTOR_WALK walk{reinterpret_cast<PUCHAR>(configuration), configuration->wTotalLength};
    NTSTATUS status = CheckDescriptorChain(walk);
    if (NT_SUCCESS(status)) {
        status = CheckEndpointCounts(walk);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PUSB_INTERFACE_DESCRIPTOR comm =
        FindInterface(walk, nullptr, -1, CDC_COMMUNICATION_CLASS, CDC_ABSTRACT_CONTROL_SUBCLASS);
    if (comm == nullptr) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    UCHAR interrupt = FindEndpoint(walk, comm, USB_ENDPOINT_TYPE_INTERRUPT, TRUE);
    UCHAR dataNumber = FindDataInterfaceNumber(walk, comm);
    if (interrupt == 0 || dataNumber == NO_INTERFACE || dataNumber == comm->bInterfaceNumber) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    // The data interface's first alternate setting with both bulk pipes
    // (some devices keep setting 0 without endpoints).
    PUSB_INTERFACE_DESCRIPTOR data = nullptr;
    for (PUSB_INTERFACE_DESCRIPTOR i = FindInterface(walk, nullptr, dataNumber, -1, -1); i != nullptr;
         i = FindInterface(walk, reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(i), dataNumber, -1, -1)) {
        if (i->bInterfaceClass == CDC_DATA_CLASS && FindEndpoint(walk, i, USB_ENDPOINT_TYPE_BULK, TRUE) != 0 &&
            FindEndpoint(walk, i, USB_ENDPOINT_TYPE_BULK, FALSE) != 0) {
            data = i;
            break;
        }
    }
    if (data == nullptr) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    function->CommInterface = comm;
    function->DataInterface = data;
    function->Endpoint[BulkInPipe] = FindEndpoint(walk, data, USB_ENDPOINT_TYPE_BULK, TRUE);
    function->Endpoint[BulkOutPipe] = FindEndpoint(walk, data, USB_ENDPOINT_TYPE_BULK, FALSE);
    function->Endpoint[InterruptInPipe] = interrupt;
    return STATUS_SUCCESS;
}
