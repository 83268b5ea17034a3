/* qvsimbus.sys: a root-enumerated test bus standing in for the USB stack
 * under the modem's bus driver.
 *
 * Its function device object enumerates two children, one USB device each.
 * A child is what a USB hub's PDO is to the device's function driver: USB
 * hardware and compatible IDs, capabilities with a DeviceState map, and
 * IOCTL_INTERNAL_USB_SUBMIT_URB for the descriptor requests, the
 * configuration request (and its unconfigure form), the modem's class
 * requests, its transfers and its pipe requests. Every URB is checked the
 * way a strict USB stack checks it. The configuration is selected here,
 * from the configuration descriptor the client passes, as the USB stack
 * does; everything that reaches the device (descriptor and class requests,
 * transfers, aborts and resets) goes to the device host (a user-mode program
 * running the modem) over the link described in hostlink.h, and the host's
 * answer completes it. */
#include "winefix.h"

#include <usb.h>
#include <usbioctl.h>

#include "hostlink.h"

/* The header spells it as Windows' own usb.h does. */
#ifndef USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR
#endif

#define QVBUS_TAG 0x42737651 /* 'QvsB' */
#define PDO_SIGNATURE 0x50425355 /* 'USBP' */
#define FDO_SIGNATURE 0x46425355 /* 'USBF' */

/* The USB device's IDs, as a hub builds them from the modem's device
 * descriptor (idVendor F1D0, idProduct 0A7C, bcdDevice 0100) and from its
 * communication interface (class 02, subclass 02, protocol 01). */
#define CHILD_DEVICE_ID L"USB\\VID_F1D0&PID_0A7C"
#define CHILD_HARDWARE_IDS CHILD_DEVICE_ID L"&REV_0100\0" CHILD_DEVICE_ID L"\0"
#define CHILD_COMPATIBLE_IDS \
    L"USB\\Class_02&SubClass_02&Prot_01\0USB\\Class_02&SubClass_02\0USB\\Class_02\0"

/* Standard request codes of the default pipe (USB 2.0, 9.4). */
#define USB_GET_DESCRIPTOR_REQUEST 0x06
#define SETUP_DEVICE_TO_HOST 0x80
#define SETUP_CLASS_INTERFACE 0x21

typedef struct PDO_EXTENSION {
    ULONG Signature;
    ULONG Child; /* 0-based */
    BOOLEAN Started;
    BOOLEAN Configured;
    /* The handles of the open pipes, by link pipe (QVLINK_PIPE_BULK_IN ...),
     * 0 for a pipe the configuration did not open. A handle is the child
     * number above the endpoint address, so it names its child and
     * endpoint and fits the 32 bits in which the bus driver above
     * publishes it to the port driver. */
    ULONG Pipes[QVLINK_PIPES];
    struct FDO_EXTENSION* Bus;
} PDO_EXTENSION;

typedef struct FDO_EXTENSION {
    ULONG Signature;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Children[QVLINK_CHILDREN];

    /* URBs waiting to be sent to the host, and URBs the host holds. Both
     * lists chain IRPs through Tail.Overlay.ListEntry; the tag lives in
     * DriverContext[0]. */
    KSPIN_LOCK Lock;
    LIST_ENTRY Outgoing;
    LIST_ENTRY WithHost;
    ULONG NextTag;
    ULONG ClosedChildren; /* a bit per child whose host side is to forget its transfers */
    KEVENT OutgoingReady;

    HANDLE UrbPipe;
    HANDLE AnswerPipe;
    BOOLEAN LinkStarted;
    QVLINK_URB SendBuffer;
    UCHAR ReceiveBuffer[2 * sizeof(QVLINK_ANSWER)]; /* the answer stream, whole answers at the front */
} FDO_EXTENSION;

static NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS status, ULONG_PTR information) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static BOOLEAN IsPdo(PDEVICE_OBJECT device) {
    return *(PULONG)device->DeviceExtension == PDO_SIGNATURE;
}

/* ------------------------------------------------------------------------
 * The link to the device host
 * ------------------------------------------------------------------------ */

static NTSTATUS OpenPipe(PCWSTR name, ACCESS_MASK access, PHANDLE handle) {
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK iosb;
    RtlInitUnicodeString(&path, name);
    InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    return ZwCreateFile(handle, access | SYNCHRONIZE, &attributes, &iosb, NULL, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static VOID SleepMs(LONG ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -10000LL * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

/* Where a URB that moves data keeps its buffer: the descriptor request,
 * the class request and the transfer each lay it out their own way. */
typedef struct DATA_STAGE {
    PULONG Length;
    PVOID Buffer;
    BOOLEAN In;
} DATA_STAGE;

static BOOLEAN DataStageOf(PURB urb, DATA_STAGE* data) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        data->Length = &urb->UrbControlDescriptorRequest.TransferBufferLength;
        data->Buffer = urb->UrbControlDescriptorRequest.TransferBuffer;
        data->In = TRUE;
        return TRUE;
    case URB_FUNCTION_CLASS_INTERFACE:
        data->Length = &urb->UrbControlVendorClassRequest.TransferBufferLength;
        data->Buffer = urb->UrbControlVendorClassRequest.TransferBuffer;
        data->In = (urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        return TRUE;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        data->Length = &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        data->Buffer = urb->UrbBulkOrInterruptTransfer.TransferBuffer;
        data->In = (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        return TRUE;
    default:
        return FALSE;
    }
}

/* Fills the message for one checked URB. The link pipe it names was found
 * when it was checked (DriverContext[1]). */
static VOID DescribeUrb(PIRP Irp, QVLINK_URB* message) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    PDO_EXTENSION* pdx = (PDO_EXTENSION*)stack->DeviceObject->DeviceExtension;
    RtlZeroMemory(message, QVLINK_URB_HEADER);
    message->tag = (uint32_t)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0];
    message->child = (uint16_t)pdx->Child;
    message->pipe = (uint32_t)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[1];
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST* r = &urb->UrbControlDescriptorRequest;
        message->op = QVLINK_OP_CONTROL_IN;
        message->requestType = SETUP_DEVICE_TO_HOST;
        message->request = USB_GET_DESCRIPTOR_REQUEST;
        message->value = (uint16_t)((r->DescriptorType << 8) | r->Index);
        message->index = r->LanguageId;
        message->length = r->TransferBufferLength;
        break;
    }
    case URB_FUNCTION_CLASS_INTERFACE: {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r = &urb->UrbControlVendorClassRequest;
        BOOLEAN in = (r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        /* The stack builds bmRequestType from the function and the
         * direction; the URB's RequestTypeReservedBits are not it. */
        message->op = in ? QVLINK_OP_CONTROL_IN : QVLINK_OP_CONTROL_OUT;
        message->requestType = (uint8_t)(SETUP_CLASS_INTERFACE | (in ? SETUP_DEVICE_TO_HOST : 0));
        message->request = r->Request;
        message->value = r->Value;
        message->index = r->Index;
        message->length = r->TransferBufferLength;
        if (!in && r->TransferBufferLength > 0) {
            RtlCopyMemory(message->data, r->TransferBuffer, r->TransferBufferLength);
        }
        break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &urb->UrbBulkOrInterruptTransfer;
        message->op = QVLINK_OP_TRANSFER;
        message->length = t->TransferBufferLength;
        if (message->pipe == QVLINK_PIPE_BULK_OUT) {
            RtlCopyMemory(message->data, t->TransferBuffer, t->TransferBufferLength);
        }
        break;
    }
    case URB_FUNCTION_ABORT_PIPE:
        message->op = QVLINK_OP_ABORT;
        break;
    default: /* the reset forms */
        message->op = QVLINK_OP_RESET;
        break;
    }
}

static ULONG MessageSize(const QVLINK_URB* message) {
    BOOLEAN carriesData = message->op == QVLINK_OP_CONTROL_OUT ||
                          (message->op == QVLINK_OP_TRANSFER && message->pipe == QVLINK_PIPE_BULK_OUT);
    return (ULONG)QVLINK_URB_HEADER + (carriesData ? message->length : 0);
}

/* Fills the send buffer with the next message for the host: first the
 * closes of configurations that went, then the URBs in their order. */
static BOOLEAN TakeMessage(FDO_EXTENSION* fdx) {
    BOOLEAN taken = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&fdx->Lock, &irql);
    if (fdx->ClosedChildren != 0) {
        ULONG child = 0;
        while ((fdx->ClosedChildren & (1u << child)) == 0) {
            ++child;
        }
        fdx->ClosedChildren &= ~(1u << child);
        RtlZeroMemory(&fdx->SendBuffer, QVLINK_URB_HEADER);
        fdx->SendBuffer.op = QVLINK_OP_CLOSE;
        fdx->SendBuffer.child = (uint16_t)child;
        taken = TRUE;
    } else if (!IsListEmpty(&fdx->Outgoing)) {
        PLIST_ENTRY entry = RemoveHeadList(&fdx->Outgoing);
        DescribeUrb(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), &fdx->SendBuffer);
        InsertTailList(&fdx->WithHost, entry);
        taken = TRUE;
    }
    KeReleaseSpinLock(&fdx->Lock, irql);
    return taken;
}

static PIRP TakeAnswered(FDO_EXTENSION* fdx, ULONG tag) {
    PIRP found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&fdx->Lock, &irql);
    for (PLIST_ENTRY entry = fdx->WithHost.Flink; entry != &fdx->WithHost; entry = entry->Flink) {
        PIRP Irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if ((ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0] == tag) {
            RemoveEntryList(entry);
            found = Irp;
            break;
        }
    }
    KeReleaseSpinLock(&fdx->Lock, irql);
    return found;
}

static VOID CompleteFromAnswer(PIRP Irp, const QVLINK_ANSWER* answer, ULONG dataBytes) {
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    DATA_STAGE data;
    urb->UrbHeader.Status = answer->usbdStatus;
    if (DataStageOf(urb, &data)) {
        ULONG length = answer->length;
        if (length > *data.Length) {
            length = *data.Length;
        }
        if (data.In) {
            if (length > dataBytes) {
                length = dataBytes;
            }
            RtlCopyMemory(data.Buffer, answer->data, length);
        }
        *data.Length = length;
    }
    CompleteIrp(Irp, answer->status, 0);
}

/* Reads the answer stream and completes one URB per whole answer in it. */
static VOID NTAPI AnswerThread(PVOID context) {
    FDO_EXTENSION* fdx = (FDO_EXTENSION*)context;
    PUCHAR stream = fdx->ReceiveBuffer;
    ULONG held = 0;
    for (;;) {
        IO_STATUS_BLOCK iosb;
        NTSTATUS status = ZwReadFile(fdx->AnswerPipe, NULL, NULL, NULL, &iosb, stream + held,
                                     sizeof(fdx->ReceiveBuffer) - held, NULL, NULL);
        if (!NT_SUCCESS(status)) {
            break; /* the host is gone */
        }
        held += (ULONG)iosb.Information;
        ULONG used = 0;
        while (held - used >= QVLINK_ANSWER_HEADER) {
            QVLINK_ANSWER* answer = (QVLINK_ANSWER*)(stream + used);
            ULONG size = (ULONG)QVLINK_ANSWER_HEADER + answer->dataLength;
            if (answer->dataLength > QVLINK_MAX_DATA) {
                PsTerminateSystemThread(STATUS_INVALID_PARAMETER); /* not the host's stream */
            }
            if (held - used < size) {
                break; /* the rest of it comes with the next read */
            }
            PIRP Irp = TakeAnswered(fdx, answer->tag);
            if (Irp != NULL) {
                CompleteFromAnswer(Irp, answer, answer->dataLength);
            }
            used += size;
        }
        RtlMoveMemory(stream, stream + used, held - used);
        held -= used;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Connects to the host's pipes (waiting for the host if it is not up yet),
 * starts the answer reader, then sends URB messages as they arrive. */
static VOID NTAPI UrbThread(PVOID context) {
    FDO_EXTENSION* fdx = (FDO_EXTENSION*)context;
    while (!NT_SUCCESS(OpenPipe(QVLINK_URB_PIPE_W, GENERIC_WRITE, &fdx->UrbPipe))) {
        SleepMs(50);
    }
    while (!NT_SUCCESS(OpenPipe(QVLINK_ANSWER_PIPE_W, GENERIC_READ, &fdx->AnswerPipe))) {
        SleepMs(50);
    }
    HANDLE reader;
    if (NT_SUCCESS(PsCreateSystemThread(&reader, THREAD_ALL_ACCESS, NULL, NULL, NULL, AnswerThread, fdx))) {
        ZwClose(reader);
    }
    for (;;) {
        if (!TakeMessage(fdx)) {
            KeWaitForSingleObject(&fdx->OutgoingReady, Executive, KernelMode, FALSE, NULL);
            continue;
        }
        IO_STATUS_BLOCK iosb;
        NTSTATUS status = ZwWriteFile(fdx->UrbPipe, NULL, NULL, NULL, &iosb, &fdx->SendBuffer,
                                      MessageSize(&fdx->SendBuffer), NULL, NULL);
        if (!NT_SUCCESS(status)) {
            break; /* the host is gone: what it holds stays pending */
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static VOID SendToHost(FDO_EXTENSION* fdx, PIRP Irp) {
    KIRQL irql;
    KeAcquireSpinLock(&fdx->Lock, &irql);
    Irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)++fdx->NextTag;
    InsertTailList(&fdx->Outgoing, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&fdx->Lock, irql);
    KeSetEvent(&fdx->OutgoingReady, IO_NO_INCREMENT, FALSE);
}

/* ------------------------------------------------------------------------
 * URB checks, as a strict USB stack makes them
 * ------------------------------------------------------------------------ */

/* The link pipe a handle names on this child, or QVLINK_PIPES when it names
 * none of the open pipes (none is open while the device is unconfigured). */
static ULONG PipeOf(const PDO_EXTENSION* pdx, USBD_PIPE_HANDLE pipe) {
    ULONG_PTR handle = (ULONG_PTR)pipe;
    for (ULONG p = QVLINK_PIPE_BULK_IN; p < QVLINK_PIPES; ++p) {
        if (handle != 0 && handle == pdx->Pipes[p]) {
            return p;
        }
    }
    return QVLINK_PIPES;
}

static USBD_STATUS CheckTransfer(const PDO_EXTENSION* pdx, struct _URB_BULK_OR_INTERRUPT_TRANSFER* t, PULONG pipe) {
    if (t->Hdr.Length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    *pipe = PipeOf(pdx, t->PipeHandle);
    if (*pipe == QVLINK_PIPES) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    BOOLEAN in = (t->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != (*pipe != QVLINK_PIPE_BULK_OUT)) {
        return USBD_STATUS_INVALID_PARAMETER; /* direction does not match the endpoint */
    }
    if (t->TransferBufferLength == 0 || t->TransferBufferLength > QVLINK_MAX_DATA || t->TransferBuffer == NULL ||
        t->TransferBufferMDL != NULL) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    return USBD_STATUS_SUCCESS;
}

static USBD_STATUS CheckClassRequest(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r) {
    if (r->Hdr.Length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    BOOLEAN in = (r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != ((r->RequestTypeReservedBits & 0x80) != 0)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (r->TransferBufferLength > QVLINK_MAX_DATA || (r->TransferBufferLength > 0 && r->TransferBuffer == NULL) ||
        r->TransferBufferMDL != NULL) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    return USBD_STATUS_SUCCESS;
}

static USBD_STATUS CheckDescriptorRequest(struct _URB_CONTROL_DESCRIPTOR_REQUEST* r) {
    if (r->Hdr.Length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (r->TransferBufferLength == 0 || r->TransferBufferLength > QVLINK_MAX_DATA || r->TransferBuffer == NULL ||
        r->TransferBufferMDL != NULL) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    return USBD_STATUS_SUCCESS;
}

/* Checks a URB that goes to the device and finds the link pipe it names. */
static USBD_STATUS CheckUrb(const PDO_EXTENSION* pdx, PURB urb, PULONG pipe) {
    *pipe = QVLINK_PIPE_CONTROL;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return CheckTransfer(pdx, &urb->UrbBulkOrInterruptTransfer, pipe);
    case URB_FUNCTION_CLASS_INTERFACE:
        return CheckClassRequest(&urb->UrbControlVendorClassRequest);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return CheckDescriptorRequest(&urb->UrbControlDescriptorRequest);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        if (urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        *pipe = PipeOf(pdx, urb->UrbPipeRequest.PipeHandle);
        return *pipe != QVLINK_PIPES ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PIPE_HANDLE;
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

/* ------------------------------------------------------------------------
 * The configuration, selected as the USB stack selects it: from the
 * configuration descriptor the client read from the device and passes in
 * the request, opening the pipes of each interface the request lists
 * ------------------------------------------------------------------------ */

/* The descriptor after `at` inside the configuration's wTotalLength, or
 * NULL at the end or at a descriptor that does not fit. */
static PUSB_COMMON_DESCRIPTOR NextDescriptor(PUSB_CONFIGURATION_DESCRIPTOR c, PUSB_COMMON_DESCRIPTOR at) {
    PUCHAR end = (PUCHAR)c + c->wTotalLength;
    PUCHAR next = (PUCHAR)at + at->bLength;
    if (next + sizeof(USB_COMMON_DESCRIPTOR) > end) {
        return NULL;
    }
    PUSB_COMMON_DESCRIPTOR d = (PUSB_COMMON_DESCRIPTOR)next;
    return d->bLength >= sizeof(USB_COMMON_DESCRIPTOR) && next + d->bLength <= end ? d : NULL;
}

static PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR c, UCHAR number, UCHAR alternate) {
    for (PUSB_COMMON_DESCRIPTOR d = NextDescriptor(c, (PUSB_COMMON_DESCRIPTOR)c); d != NULL; d = NextDescriptor(c, d)) {
        PUSB_INTERFACE_DESCRIPTOR i = (PUSB_INTERFACE_DESCRIPTOR)d;
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength >= sizeof(*i) &&
            i->bInterfaceNumber == number && i->bAlternateSetting == alternate) {
            return i;
        }
    }
    return NULL;
}

/* The link pipe of one of the modem's endpoints, by its address and type;
 * QVLINK_PIPES for an endpoint the modem does not have. */
static ULONG LinkPipeOfEndpoint(PUSB_ENDPOINT_DESCRIPTOR e) {
    UCHAR type = e->bmAttributes & USB_ENDPOINT_TYPE_MASK;
    if (e->bEndpointAddress == QVLINK_EP_BULK_IN && type == USB_ENDPOINT_TYPE_BULK) {
        return QVLINK_PIPE_BULK_IN;
    }
    if (e->bEndpointAddress == QVLINK_EP_BULK_OUT && type == USB_ENDPOINT_TYPE_BULK) {
        return QVLINK_PIPE_BULK_OUT;
    }
    if (e->bEndpointAddress == QVLINK_EP_INTERRUPT && type == USB_ENDPOINT_TYPE_INTERRUPT) {
        return QVLINK_PIPE_INTERRUPT;
    }
    return QVLINK_PIPES;
}

/* Opens the pipes of one interface the request lists and fills in its
 * information; `room` is what is left of the request from `info` on. */
static USBD_STATUS OpenInterface(const PDO_EXTENSION* pdx, PUSB_CONFIGURATION_DESCRIPTOR c,
                                 PUSBD_INTERFACE_INFORMATION info, ULONG room, ULONG* pipes) {
    const ULONG fixed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    if (room < fixed || info->Length > room || info->NumberOfPipes > (room - fixed) / sizeof(USBD_PIPE_INFORMATION) ||
        info->Length < fixed + info->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    PUSB_INTERFACE_DESCRIPTOR i = FindInterface(c, info->InterfaceNumber, info->AlternateSetting);
    if (i == NULL) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    if (info->NumberOfPipes != i->bNumEndpoints) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    ULONG opened = 0;
    for (PUSB_COMMON_DESCRIPTOR d = NextDescriptor(c, (PUSB_COMMON_DESCRIPTOR)i);
         d != NULL && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE && opened < info->NumberOfPipes;
         d = NextDescriptor(c, d)) {
        PUSB_ENDPOINT_DESCRIPTOR e = (PUSB_ENDPOINT_DESCRIPTOR)d;
        if (d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE || d->bLength < sizeof(*e)) {
            continue; /* class-specific descriptors of the interface */
        }
        ULONG pipe = LinkPipeOfEndpoint(e);
        if (pipe == QVLINK_PIPES) {
            return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
        }
        USBD_PIPE_INFORMATION* p = &info->Pipes[opened++];
        p->MaximumPacketSize = e->wMaxPacketSize;
        p->EndpointAddress = e->bEndpointAddress;
        p->Interval = e->bInterval;
        p->PipeType = (USBD_PIPE_TYPE)(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pipes[pipe] = ((pdx->Child + 1) << 8) | e->bEndpointAddress;
        p->PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)pipes[pipe];
        if (p->MaximumTransferSize == 0 || p->MaximumTransferSize > QVLINK_MAX_DATA) {
            p->MaximumTransferSize = QVLINK_MAX_DATA; /* the most one link message carries */
        }
    }
    if (opened != info->NumberOfPipes) {
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    }
    info->Class = i->bInterfaceClass;
    info->SubClass = i->bInterfaceSubClass;
    info->Protocol = i->bInterfaceProtocol;
    info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x1F000000 | (pdx->Child << 8) | i->bInterfaceNumber);
    return USBD_STATUS_SUCCESS;
}

/* Ends, cancelled, this child's transfers that the bus or the host still
 * holds: their pipes are closed. The host is told to forget the ones it
 * holds; an answer it gave before it heard finds no request and is
 * dropped. */
static VOID CancelTransfers(FDO_EXTENSION* fdx, PDEVICE_OBJECT pdo) {
    LIST_ENTRY cancelled;
    PLIST_ENTRY lists[2] = {&fdx->Outgoing, &fdx->WithHost};
    InitializeListHead(&cancelled);
    KIRQL irql;
    KeAcquireSpinLock(&fdx->Lock, &irql);
    for (int l = 0; l < 2; ++l) {
        for (PLIST_ENTRY entry = lists[l]->Flink; entry != lists[l];) {
            PIRP Irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
            PURB urb = (PURB)stack->Parameters.Others.Argument1;
            entry = entry->Flink;
            if (stack->DeviceObject == pdo && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
                InsertTailList(&cancelled, &Irp->Tail.Overlay.ListEntry);
            }
        }
    }
    BOOLEAN tellHost = !IsListEmpty(&cancelled);
    if (tellHost) {
        fdx->ClosedChildren |= 1u << ((PDO_EXTENSION*)pdo->DeviceExtension)->Child;
    }
    KeReleaseSpinLock(&fdx->Lock, irql);
    if (tellHost) {
        KeSetEvent(&fdx->OutgoingReady, IO_NO_INCREMENT, FALSE);
    }
    while (!IsListEmpty(&cancelled)) {
        PIRP Irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        CompleteIrp(Irp, STATUS_CANCELLED, 0);
    }
}

/* The pipes of the configuration before this one close; those given open. */
static VOID SetConfiguration(PDEVICE_OBJECT pdo, const ULONG* pipes, BOOLEAN configured) {
    PDO_EXTENSION* pdx = (PDO_EXTENSION*)pdo->DeviceExtension;
    CancelTransfers(pdx->Bus, pdo);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->Bus->Lock, &irql);
    RtlCopyMemory(pdx->Pipes, pipes, sizeof(pdx->Pipes));
    pdx->Configured = configured;
    KeReleaseSpinLock(&pdx->Bus->Lock, irql);
}

static USBD_STATUS SelectConfiguration(PDEVICE_OBJECT pdo, PURB urb) {
    PDO_EXTENSION* pdx = (PDO_EXTENSION*)pdo->DeviceExtension;
    struct _URB_SELECT_CONFIGURATION* s = &urb->UrbSelectConfiguration;
    ULONG fixed = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    if (urb->UrbHeader.Length < fixed) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    ULONG pipes[QVLINK_PIPES] = {0};
    PUSB_CONFIGURATION_DESCRIPTOR c = s->ConfigurationDescriptor;
    if (c != NULL) {
        if (c->bLength != sizeof(*c) || c->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
            c->wTotalLength < sizeof(*c)) {
            return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
        }
        PUCHAR base = (PUCHAR)urb;
        ULONG at = fixed;
        ULONG interfaces = 0;
        while (at < urb->UrbHeader.Length) {
            PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)(base + at);
            USBD_STATUS status = OpenInterface(pdx, c, info, urb->UrbHeader.Length - at, pipes);
            if (!USBD_SUCCESS(status)) {
                return status;
            }
            at += info->Length;
            ++interfaces;
        }
        if (interfaces == 0) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        s->ConfigurationHandle =
            (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)(0x1C000000 | (pdx->Child << 8) | c->bConfigurationValue);
    }
    SetConfiguration(pdo, pipes, c != NULL);
    return USBD_STATUS_SUCCESS;
}

/* ------------------------------------------------------------------------
 * The child PDOs
 * ------------------------------------------------------------------------ */

static NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PIRP Irp, PURB urb) {
    PDO_EXTENSION* pdx = (PDO_EXTENSION*)pdo->DeviceExtension;
    if (urb == NULL) {
        return CompleteIrp(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (!pdx->Started) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return CompleteIrp(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
        USBD_STATUS selected = SelectConfiguration(pdo, urb);
        urb->UrbHeader.Status = selected;
        return CompleteIrp(Irp, USBD_SUCCESS(selected) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, 0);
    }
    ULONG pipe;
    KIRQL irql;
    KeAcquireSpinLock(&pdx->Bus->Lock, &irql);
    USBD_STATUS check = CheckUrb(pdx, urb, &pipe);
    KeReleaseSpinLock(&pdx->Bus->Lock, irql);
    if (check != USBD_STATUS_SUCCESS) {
        urb->UrbHeader.Status = check;
        return CompleteIrp(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    Irp->Tail.Overlay.DriverContext[1] = (PVOID)(ULONG_PTR)pipe;
    IoMarkIrpPending(Irp);
    SendToHost(pdx->Bus, Irp);
    return STATUS_PENDING;
}

static NTSTATUS PdoInternalControl(PDEVICE_OBJECT pdo, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(pdo, Irp, (PURB)stack->Parameters.Others.Argument1);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        PULONG portStatus = (PULONG)stack->Parameters.Others.Argument1;
        *portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    default:
        return CompleteIrp(Irp, STATUS_NOT_SUPPORTED, 0);
    }
}

static NTSTATUS AllocateIdString(PCWSTR text, SIZE_T bytes, PIRP Irp) {
    PWSTR copy = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, QVBUS_TAG);
    if (copy == NULL) {
        return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(copy, text, bytes);
    return CompleteIrp(Irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

static NTSTATUS PdoQueryId(PDO_EXTENSION* pdx, PIRP Irp) {
    static const WCHAR deviceId[] = CHILD_DEVICE_ID;
    static const WCHAR hardwareIds[] = CHILD_HARDWARE_IDS;
    static const WCHAR compatibleIds[] = CHILD_COMPATIBLE_IDS;
    WCHAR instance[4] = {(WCHAR)(L'1' + pdx->Child), 0, 0, 0};
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        return AllocateIdString(deviceId, sizeof(deviceId), Irp);
    case BusQueryHardwareIDs:
        return AllocateIdString(hardwareIds, sizeof(hardwareIds), Irp);
    case BusQueryCompatibleIDs:
        return AllocateIdString(compatibleIds, sizeof(compatibleIds), Irp);
    case BusQueryInstanceID:
        return AllocateIdString(instance, sizeof(instance), Irp);
    default:
        return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

static VOID FillCapabilities(PDEVICE_CAPABILITIES caps) {
    caps->Version = 1;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = PowerDeviceD3;
    }
    caps->UniqueID = FALSE; /* as a hub reports a device without a serial number */
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = FALSE;
    caps->RawDeviceOK = FALSE;
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = FALSE;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->Address = 0;
    caps->UINumber = 0;
}

static NTSTATUS PdoPnp(PDEVICE_OBJECT pdo, PIRP Irp) {
    PDO_EXTENSION* pdx = (PDO_EXTENSION*)pdo->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: /* unconfigured until its driver selects the configuration */
        pdx->Started = TRUE;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_ID:
        return PdoQueryId(pdx, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        FillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), QVBUS_TAG);
            if (relations == NULL) {
                return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            }
            relations->Count = 1;
            relations->Objects[0] = pdo;
            ObReferenceObject(pdo);
            return CompleteIrp(Irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        }
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && NT_SUCCESS(Irp->IoStatus.Status) &&
            Irp->IoStatus.Information != 0) {
            /* The children the USB device's function driver reports pass here
             * on their way up. */
            PDEVICE_RELATIONS reported = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
            for (ULONG i = 0; i < reported->Count; ++i) {
                WineFixChildInstanceId(reported->Objects[i], pdx->Child + 1);
            }
        }
        return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: {
        static const ULONG closed[QVLINK_PIPES] = {0};
        pdx->Started = FALSE;
        SetConfiguration(pdo, closed, FALSE);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    default: /* not ours to answer: the status stays as it came */
        return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

static NTSTATUS PdoPower(PDEVICE_OBJECT pdo, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
        if (stack->MinorFunction == IRP_MN_SET_POWER) {
            PoSetPowerState(pdo, stack->Parameters.Power.Type, stack->Parameters.Power.State);
        }
    }
    PoStartNextPowerIrp(Irp);
    return CompleteIrp(Irp, status, Irp->IoStatus.Information);
}

/* ------------------------------------------------------------------------
 * The bus's own device object
 * ------------------------------------------------------------------------ */

static NTSTATUS CreateChildren(PDRIVER_OBJECT driver, FDO_EXTENSION* fdx) {
    for (ULONG i = 0; i < QVLINK_CHILDREN; ++i) {
        if (fdx->Children[i] != NULL) {
            continue;
        }
        PDEVICE_OBJECT pdo;
        NTSTATUS status = IoCreateDevice(driver, sizeof(PDO_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        PDO_EXTENSION* pdx = (PDO_EXTENSION*)pdo->DeviceExtension;
        RtlZeroMemory(pdx, sizeof(*pdx));
        pdx->Signature = PDO_SIGNATURE;
        pdx->Child = i;
        pdx->Bus = fdx;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        fdx->Children[i] = pdo;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS StartLink(FDO_EXTENSION* fdx) {
    if (fdx->LinkStarted) {
        return STATUS_SUCCESS;
    }
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, UrbThread, fdx);
    if (NT_SUCCESS(status)) {
        ZwClose(thread);
        fdx->LinkStarted = TRUE;
    }
    return status;
}

static NTSTATUS AnswerBusRelations(FDO_EXTENSION* fdx, PIRP Irp) {
    SIZE_T size = sizeof(DEVICE_RELATIONS) + (QVLINK_CHILDREN - 1) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, size, QVBUS_TAG);
    if (relations == NULL) {
        return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    relations->Count = 0;
    for (ULONG i = 0; i < QVLINK_CHILDREN; ++i) {
        if (fdx->Children[i] != NULL) {
            ObReferenceObject(fdx->Children[i]);
            relations->Objects[relations->Count++] = fdx->Children[i];
        }
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(fdx->Lower, Irp);
}

static NTSTATUS NTAPI OnStartComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS FdoStart(PDEVICE_OBJECT fdo, FDO_EXTENSION* fdx, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnStartComplete, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(fdx->Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        status = CreateChildren(fdo->DriverObject, fdx);
    }
    if (NT_SUCCESS(status)) {
        status = StartLink(fdx);
    }
    CompleteIrp(Irp, status, 0);
    if (NT_SUCCESS(status)) {
        /* Windows asks for the children after a start anyway; Wine asks
         * only when told. */
        IoInvalidateDeviceRelations(fdx->Pdo, BusRelations);
    }
    return status;
}

static NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP Irp) {
    FDO_EXTENSION* fdx = (FDO_EXTENSION*)fdo->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return FdoStart(fdo, fdx, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return AnswerBusRelations(fdx, Irp);
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(fdx->Lower, Irp);
        IoDetachDevice(fdx->Lower);
        IoDeleteDevice(fdo);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(fdx->Lower, Irp);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP Irp) {
    return IsPdo(device) ? PdoPnp(device, Irp) : FdoPnp(device, Irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP Irp) {
    if (IsPdo(device)) {
        return PdoPower(device, Irp);
    }
    FDO_EXTENSION* fdx = (FDO_EXTENSION*)device->DeviceExtension;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(fdx->Lower, Irp);
}

static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP Irp) {
    if (!IsPdo(device)) {
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return PdoInternalControl(device, Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FDO_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FDO_EXTENSION* fdx = (FDO_EXTENSION*)fdo->DeviceExtension;
    RtlZeroMemory(fdx, sizeof(*fdx));
    fdx->Signature = FDO_SIGNATURE;
    fdx->Self = fdo;
    fdx->Pdo = pdo;
    KeInitializeSpinLock(&fdx->Lock);
    InitializeListHead(&fdx->Outgoing);
    InitializeListHead(&fdx->WithHost);
    KeInitializeEvent(&fdx->OutgoingReady, SynchronizationEvent, FALSE);
    fdx->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (fdx->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status = WineFixRegistryAccess();
    if (NT_SUCCESS(status)) {
        status = WineFixDeferredWork();
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    return STATUS_SUCCESS;
}
