// Serial device I/O controls, and the CDC class requests that carry line
// coding, break and the control lines to the modem.
#include "stddcls.h"

namespace {

// CDC PSTN class requests and their bmRequestType values.
const UCHAR CDC_SET_LINE_CODING = 0x20;
const UCHAR CDC_GET_LINE_CODING = 0x21;
const UCHAR CDC_SET_CONTROL_LINE_STATE = 0x22;
const UCHAR CDC_SEND_BREAK = 0x23;
const UCHAR REQUEST_TYPE_CLASS_INTERFACE_IN = 0xA1;
const UCHAR REQUEST_TYPE_CLASS_INTERFACE_OUT = 0x21;

// The line coding travels as 8 bytes: its 7 and a zero filler.
const ULONG LINE_CODING_TRANSFER_BYTES = 8;

NTSTATUS SendClassRequest(PDEVICE_OBJECT fdo, UCHAR requestType, UCHAR request, USHORT value, ULONG transferFlags,
                          PVOID buffer, ULONG length) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb.UrbControlVendorClassRequest.TransferBufferLength = length;
    urb.UrbControlVendorClassRequest.TransferBuffer = buffer;
    urb.UrbControlVendorClassRequest.TransferBufferMDL = nullptr;
    urb.UrbControlVendorClassRequest.UrbLink = nullptr;
    urb.UrbControlVendorClassRequest.RequestTypeReservedBits = requestType;
    urb.UrbControlVendorClassRequest.Request = request;
    urb.UrbControlVendorClassRequest.Value = value;
    urb.UrbControlVendorClassRequest.Index = 0;
    return SendAwaitUrb(fdo, &urb);
}

PUCHAR AllocateLineCodingBuffer() {
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, LINE_CODING_TRANSFER_BYTES, QV_POOL_TAG));
    if (buffer != nullptr) {
        RtlZeroMemory(buffer, LINE_CODING_TRANSFER_BYTES);
    }
    return buffer;
}

VOID CopyLineCoding(LINE_CODING* lineCoding, const UCHAR* bytes) {
    RtlCopyMemory(&lineCoding->DataRate, bytes, sizeof(ULONG));
    lineCoding->CharFormat = bytes[4];
    lineCoding->ParityType = bytes[5];
    lineCoding->DataBits = bytes[6];
}

NTSTATUS PassiveModemIoControl(PDEVICE_OBJECT fdo, PIRP Irp) {
    UNREFERENCED_PARAMETER(fdo);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

VOID NTAPI WorkItemCallbackModemIoControl(PVOID Context) {
    auto* junk = static_cast<PRANDOM_JUNK>(Context);
    PassiveModemIoControl(junk->DeviceObject, junk->Irp);
    ExFreePool(junk);
}

}  // namespace

NTSTATUS GetLineCode(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    PUCHAR buffer = AllocateLineCodingBuffer();
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SendClassRequest(fdo, REQUEST_TYPE_CLASS_INTERFACE_IN, CDC_GET_LINE_CODING, 0,
                                       USBD_TRANSFER_DIRECTION_IN, buffer, LINE_CODING_TRANSFER_BYTES);
    if (NT_SUCCESS(status)) {
        KIRQL irql;
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        CopyLineCoding(&pdx->LineCoding, buffer);
        KeReleaseSpinLock(&pdx->SpinLock, irql);
    }
    ExFreePool(buffer);
    return status;
}

NTSTATUS SetLineCode(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    PUCHAR buffer = AllocateLineCodingBuffer();
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    RtlCopyMemory(buffer, &pdx->LineCoding.DataRate, sizeof(ULONG));
    buffer[4] = pdx->LineCoding.CharFormat;
    buffer[5] = pdx->LineCoding.ParityType;
    buffer[6] = pdx->LineCoding.DataBits;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    NTSTATUS status = SendClassRequest(fdo, REQUEST_TYPE_CLASS_INTERFACE_OUT, CDC_SET_LINE_CODING, 0, 0, buffer,
                                       LINE_CODING_TRANSFER_BYTES);
    if (NT_SUCCESS(status)) {
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        CopyLineCoding(&pdx->LineCoding, buffer);
        KeReleaseSpinLock(&pdx->SpinLock, irql);
    }
    ExFreePool(buffer);
    return status;
}

NTSTATUS SendBreak(PDEVICE_OBJECT fdo, SHORT Value) {
    return SendClassRequest(fdo, REQUEST_TYPE_CLASS_INTERFACE_OUT, CDC_SEND_BREAK, static_cast<USHORT>(Value), 0,
                            nullptr, 0);
}

NTSTATUS setDTR_RTS(PDEVICE_OBJECT fdo, USHORT Value) {
    return SendClassRequest(fdo, REQUEST_TYPE_CLASS_INTERFACE_OUT, CDC_SET_CONTROL_LINE_STATE, Value, 0, nullptr, 0);
}

NTSTATUS NTAPI ModemIoControl(PDEVICE_OBJECT fdo, PIRP Irp) {
    return DeferToPassiveLevel(fdo, Irp, WorkItemCallbackModemIoControl, PassiveModemIoControl);
}
