/* qvsimbus.sys: a root-enumerated test bus for the USB modem driver.
 *
 * Its function device object enumerates two children. Each child's PDO is
 * what the modem driver expects of its parent bus: the three pipe handles
 * as 32-bit values at byte offsets 12, 16 and 20 of the PDO's extension,
 * valid once the start request completes; capabilities with a DeviceState
 * map; IOCTL_INTERNAL_USB_SUBMIT_URB. Every URB is checked the way a strict
 * USB stack checks it, then handed to the device host (a user-mode program
 * running the modem) over the link described in hostlink.h; the host's
 * answer completes it. */
#include "winefix.h"

#include <usb.h>
#include <usbioctl.h>

#include "hostlink.h"

#define QVBUS_TAG 0x42737651 /* 'QvsB' */
#define PDO_SIGNATURE 0x50425355 /* 'USBP' */
#define FDO_SIGNATURE 0x46425355 /* 'USBF' */

/* The child's hardware ID: the one the INF's models name. */
#define CHILD_DEVICE_ID L"QVSIMBUS\\VID_F1D0&PID_0A7C&MI_00"
#define CHILD_HARDWARE_IDS CHILD_DEVICE_ID L"\0QVSIMBUS\\VID_F1D0&PID_0A7C\0"
#define CHILD_COMPATIBLE_IDS L"QVSIMBUS\\Class_02&SubClass_02&Prot_01\0QVSIMBUS\\Class_02\0"

/* Endpoint addresses of the modem's interface; a pipe handle is the child
 * number above the address, so a handle names its child and endpoint. */
#define EP_BULK_IN 0x81
#define EP_BULK_OUT 0x02
#define EP_INTERRUPT 0x83

/* The PDO's extension. The first six fields are the layout the function
 * driver relies on. */
typedef struct PDO_EXTENSION {
    ULONG Signature;
    ULONG Port;
    ULONG Started;
    ULONG BulkInPipe;    /* offset 12 */
    ULONG BulkOutPipe;   /* offset 16 */
    ULONG InterruptPipe; /* offset 20 */
    ULONG Child;         /* 0-based */
    struct FDO_EXTENSION* Bus;
} PDO_EXTENSION;

C_ASSERT(FIELD_OFFSET(PDO_EXTENSION, BulkInPipe) == 12);
C_ASSERT(FIELD_OFFSET(PDO_EXTENSION, BulkOutPipe) == 16);
C_ASSERT(FIELD_OFFSET(PDO_EXTENSION, InterruptPipe) == 20);

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

/* Fills the message for one URB; FALSE for a URB the host need not see. */
static VOID DescribeUrb(PIRP Irp, QVLINK_URB* message) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    PDO_EXTENSION* pdx = (PDO_EXTENSION*)stack->DeviceObject->DeviceExtension;
    RtlZeroMemory(message, QVLINK_URB_HEADER);
    message->tag = (uint32_t)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0];
    message->child = (uint16_t)pdx->Child;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CLASS_INTERFACE: {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r = &urb->UrbControlVendorClassRequest;
        BOOLEAN in = (r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        message->op = in ? QVLINK_OP_CONTROL_IN : QVLINK_OP_CONTROL_OUT;
        message->pipe = QVLINK_PIPE_CONTROL;
        message->requestType = r->RequestTypeReservedBits;
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
        ULONG handle = (ULONG)(ULONG_PTR)t->PipeHandle;
        message->op = QVLINK_OP_TRANSFER;
        message->pipe = handle == pdx->BulkInPipe    ? QVLINK_PIPE_BULK_IN
                        : handle == pdx->BulkOutPipe ? QVLINK_PIPE_BULK_OUT
                                                     : QVLINK_PIPE_INTERRUPT;
        message->length = t->TransferBufferLength;
        if (message->pipe == QVLINK_PIPE_BULK_OUT) {
            RtlCopyMemory(message->data, t->TransferBuffer, t->TransferBufferLength);
        }
        break;
    }
    default: { /* abort, reset: checked on arrival */
        ULONG handle = (ULONG)(ULONG_PTR)urb->UrbPipeRequest.PipeHandle;
        message->op = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE ? QVLINK_OP_ABORT : QVLINK_OP_RESET;
        message->pipe = handle == pdx->BulkInPipe    ? QVLINK_PIPE_BULK_IN
                        : handle == pdx->BulkOutPipe ? QVLINK_PIPE_BULK_OUT
                                                     : QVLINK_PIPE_INTERRUPT;
        break;
    }
    }
}

static ULONG MessageSize(const QVLINK_URB* message) {
    BOOLEAN carriesData = message->op == QVLINK_OP_CONTROL_OUT ||
                          (message->op == QVLINK_OP_TRANSFER && message->pipe == QVLINK_PIPE_BULK_OUT);
    return (ULONG)QVLINK_URB_HEADER + (carriesData ? message->length : 0);
}

static PIRP TakeOutgoing(FDO_EXTENSION* fdx) {
    PIRP Irp = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&fdx->Lock, &irql);
    if (!IsListEmpty(&fdx->Outgoing)) {
        PLIST_ENTRY entry = RemoveHeadList(&fdx->Outgoing);
        Irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        DescribeUrb(Irp, &fdx->SendBuffer);
        InsertTailList(&fdx->WithHost, entry);
    }
    KeReleaseSpinLock(&fdx->Lock, irql);
    return Irp;
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
    urb->UrbHeader.Status = answer->usbdStatus;
    if (urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE ||
        urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        /* Both carry TransferFlags, TransferBufferLength and TransferBuffer
         * at the same place. */
        struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &urb->UrbBulkOrInterruptTransfer;
        ULONG length = answer->length;
        if (length > t->TransferBufferLength) {
            length = t->TransferBufferLength;
        }
        if ((t->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
            if (length > dataBytes) {
                length = dataBytes;
            }
            RtlCopyMemory(t->TransferBuffer, answer->data, length);
        }
        t->TransferBufferLength = length;
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
        PIRP Irp = TakeOutgoing(fdx);
        if (Irp == NULL) {
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

static BOOLEAN OwnsPipe(const PDO_EXTENSION* pdx, USBD_PIPE_HANDLE pipe) {
    ULONG handle = (ULONG)(ULONG_PTR)pipe;
    return (ULONG_PTR)pipe == handle &&
           (handle == pdx->BulkInPipe || handle == pdx->BulkOutPipe || handle == pdx->InterruptPipe);
}

static USBD_STATUS CheckTransfer(const PDO_EXTENSION* pdx, struct _URB_BULK_OR_INTERRUPT_TRANSFER* t) {
    if (t->Hdr.Length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (!OwnsPipe(pdx, t->PipeHandle)) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    ULONG handle = (ULONG)(ULONG_PTR)t->PipeHandle;
    BOOLEAN in = (t->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != (handle != pdx->BulkOutPipe)) {
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

static USBD_STATUS CheckUrb(const PDO_EXTENSION* pdx, PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return CheckTransfer(pdx, &urb->UrbBulkOrInterruptTransfer);
    case URB_FUNCTION_CLASS_INTERFACE:
        return CheckClassRequest(&urb->UrbControlVendorClassRequest);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        if (urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        return OwnsPipe(pdx, urb->UrbPipeRequest.PipeHandle) ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PIPE_HANDLE;
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}


/* ------------------------------------------------------------------------
 * The child PDOs
 * ------------------------------------------------------------------------ */

static NTSTATUS PdoInternalControl(PDEVICE_OBJECT pdo, PIRP Irp) {
    PDO_EXTENSION* pdx = (PDO_EXTENSION*)pdo->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        if (!pdx->Started) {
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            return CompleteIrp(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
        USBD_STATUS check = CheckUrb(pdx, urb);
        if (check != USBD_STATUS_SUCCESS) {
            urb->UrbHeader.Status = check;
            return CompleteIrp(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        IoMarkIrpPending(Irp);
        SendToHost(pdx->Bus, Irp);
        return STATUS_PENDING;
    }
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
    caps->UniqueID = TRUE;
    caps->Removable = FALSE;
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
    case IRP_MN_START_DEVICE: {
        ULONG base = (pdx->Child + 1) << 8;
        pdx->BulkInPipe = base | EP_BULK_IN;
        pdx->BulkOutPipe = base | EP_BULK_OUT;
        pdx->InterruptPipe = base | EP_INTERRUPT;
        pdx->Started = TRUE;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }
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
        return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        pdx->Started = FALSE;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
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
        pdx->Port = i + 1;
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
