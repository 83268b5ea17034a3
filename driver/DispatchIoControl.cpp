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

NTSTATUS PassiveModemIoControl(PDEVICE_OBJECT fdo, PIRP Irp);

VOID NTAPI WorkItemCallbackModemIoControl(PVOID Context) {
    RunDeferredRequest(static_cast<PRANDOM_JUNK>(Context), PassiveModemIoControl);
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

// ---------------------------------------------------------------------------
// Serial device I/O controls
// ---------------------------------------------------------------------------

namespace {

const ULONG acceptedBaudRates[] = {1200, 2400, 4800, 7200, 9600, 14400, 19200, 38400, 57600, 115200, 128000, 0};
const UCHAR acceptedWordLengths[] = {8, 7, 6, 5, 17};
const UCHAR acceptedStopBits[] = {STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2, 17};
const UCHAR acceptedParities[] = {NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY, 17};

// The tables end in a marker that never matches.
BOOLEAN IsAcceptedRate(ULONG rate) {
    for (ULONG i = 0; acceptedBaudRates[i] != 0; ++i) {
        if (acceptedBaudRates[i] == rate) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsInByteTable(const UCHAR* table, UCHAR value) {
    for (ULONG i = 0; table[i] != 17; ++i) {
        if (table[i] == value) {
            return TRUE;
        }
    }
    return FALSE;
}

// A device that is going away refuses device controls, and a queued wait
// ends with the carrier-change event.
NTSTATUS RefuseGoingAway(PDEVICE_EXTENSION pdx, PIRP Irp) {
    CompletePendingWaitIrps(pdx, SERIAL_EV_RLSD);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->EventHistory = 0;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return CompleteRequest(Irp, STATUS_DELETE_PENDING);
}

struct IoControlRequest {
    PDEVICE_OBJECT fdo;
    PDEVICE_EXTENSION pdx;
    PIRP Irp;
    PVOID buffer;
    ULONG inputLength;
    ULONG outputLength;
};

NTSTATUS SetBaudRate(IoControlRequest& r) {
    if (r.inputLength < sizeof(SERIAL_BAUD_RATE)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG rate = static_cast<PSERIAL_BAUD_RATE>(r.buffer)->BaudRate;
    if (!IsAcceptedRate(rate)) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    r.pdx->BaudRate = rate;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS GetBaudRate(IoControlRequest& r) {
    if (r.outputLength < sizeof(SERIAL_BAUD_RATE)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    static_cast<PSERIAL_BAUD_RATE>(r.buffer)->BaudRate = r.pdx->BaudRate;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    r.Irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
    return STATUS_SUCCESS;
}

NTSTATUS SetLineControl(IoControlRequest& r) {
    if (r.inputLength < sizeof(SERIAL_LINE_CONTROL)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* lc = static_cast<PSERIAL_LINE_CONTROL>(r.buffer);
    if (!IsInByteTable(acceptedWordLengths, lc->WordLength) || !IsInByteTable(acceptedStopBits, lc->StopBits) ||
        !IsInByteTable(acceptedParities, lc->Parity)) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    r.pdx->LineCoding.CharFormat = lc->StopBits;
    r.pdx->LineCoding.ParityType = lc->Parity;
    r.pdx->LineCoding.DataBits = lc->WordLength;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    return SetLineCode(r.fdo);
}

NTSTATUS GetLineControl(IoControlRequest& r) {
    if (r.outputLength < sizeof(SERIAL_LINE_CONTROL)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    NTSTATUS status = GetLineCode(r.fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* lc = static_cast<PSERIAL_LINE_CONTROL>(r.buffer);
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    lc->StopBits = r.pdx->LineCoding.CharFormat;
    lc->Parity = r.pdx->LineCoding.ParityType;
    lc->WordLength = r.pdx->LineCoding.DataBits;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    r.Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
    return STATUS_SUCCESS;
}

BOOLEAN DtrHandshakeSelected(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN selected = (pdx->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return selected;
}

// SET_CONTROL_LINE_STATE carries both lines (bit 0 DTR, bit 1 RTS), so a
// request for one line sends the other as the host last set it: raising RTS
// must not drop DTR, which a modem set to AT&D2 takes as a hang-up.
USHORT ControlLineState(PDEVICE_EXTENSION pdx, USHORT raise, USHORT lower) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    USHORT lines = static_cast<USHORT>((pdx->DtrAsserted ? MODEM_LINE_DTR : 0) | (pdx->ModemLines & MODEM_LINE_RTS));
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return static_cast<USHORT>((lines | raise) & ~lower);
}

NTSTATUS SetDtr(IoControlRequest& r) {
    if (DtrHandshakeSelected(r.pdx)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = setDTR_RTS(r.fdo, ControlLineState(r.pdx, MODEM_LINE_DTR, 0));
    if (NT_SUCCESS(status)) {
        KIRQL irql;
        KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
        r.pdx->ModemLines |= MODEM_LINE_DTR;
        r.pdx->DtrAsserted = TRUE;
        KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    }
    return status;
}

NTSTATUS ClearDtr(IoControlRequest& r) {
    if (DtrHandshakeSelected(r.pdx)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (r.pdx->DtrAsserted != TRUE) {
        return STATUS_SUCCESS;  // never raised: nothing to lower
    }
    NTSTATUS status = setDTR_RTS(r.fdo, ControlLineState(r.pdx, 0, MODEM_LINE_DTR));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CompletePendingWaitIrps(r.pdx, SERIAL_EV_RLSD);
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    r.pdx->DtrAsserted = FALSE;
    r.pdx->ModemLines &= ~(MODEM_LINE_DTR | MODEM_LINE_DCD);
    r.pdx->DtrDroppedByHost = TRUE;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS SetOrClearRts(IoControlRequest& r, BOOLEAN set) {
    NTSTATUS status = setDTR_RTS(r.fdo, set ? ControlLineState(r.pdx, MODEM_LINE_RTS, 0)
                                            : ControlLineState(r.pdx, 0, MODEM_LINE_RTS));
    if (NT_SUCCESS(status)) {
        KIRQL irql;
        KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
        if (set) {
            r.pdx->ModemLines |= MODEM_LINE_RTS;
        } else {
            r.pdx->ModemLines &= ~MODEM_LINE_RTS;
        }
        KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    }
    return status;
}

NTSTATUS SetWaitMask(IoControlRequest& r) {
    if (r.inputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG mask = *static_cast<PULONG>(r.buffer);
    if (mask & 0xFFFFE000) {
        return STATUS_INVALID_PARAMETER;
    }
    CompletePendingWaitIrps(r.pdx, 0);
    // The mask is echoed to a caller whose output buffer holds it; reporting
    // four bytes to a smaller one would have them copied past its end.
    r.Irp->IoStatus.Information = r.outputLength >= sizeof(ULONG) ? sizeof(ULONG) : 0;
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    r.pdx->WaitMask = mask;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    return STATUS_SUCCESS;
}

// The test of EventHistory and the queuing are one SpinLock hold, so an
// event reported in between cannot slip past this wait.
NTSTATUS WaitOnMask(IoControlRequest& r) {
    if (r.outputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    if (r.pdx->EventHistory == 0 && r.pdx->WaitMask != 0) {
        r.Irp->IoStatus.Status = STATUS_PENDING;
        NTSTATUS status = EnqueueWaitIrpLocked(r.pdx, r.Irp);
        KeReleaseSpinLock(&r.pdx->SpinLock, irql);
        return status;
    }
    *static_cast<PULONG>(r.buffer) = r.pdx->EventHistory;
    r.pdx->EventHistory = 0;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    r.Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS Purge(IoControlRequest& r) {
    if (r.inputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG mask = *static_cast<PULONG>(r.buffer);
    if (mask & SERIAL_PURGE_TXABORT) {
        AbortWrites(r.fdo, nullptr);
    }
    if (mask & SERIAL_PURGE_RXABORT) {
        CompletePendingReadIrps(r.pdx, STATUS_CANCELLED, nullptr);
    }
    // SERIAL_PURGE_TXCLEAR has nothing to clear: no transmit buffer is kept.
    if (mask & SERIAL_PURGE_RXCLEAR) {
        PurgeReceiveBuffer(r.pdx);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetCommStatus(IoControlRequest& r) {
    if (r.outputLength < sizeof(SERIAL_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* status = static_cast<PSERIAL_STATUS>(r.buffer);
    RtlZeroMemory(status, sizeof(SERIAL_STATUS));
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    if (!(r.pdx->ModemLines & MODEM_LINE_DSR)) {
        status->HoldReasons |= SERIAL_TX_WAITING_FOR_DSR;
    }
    if (!(r.pdx->ModemLines & MODEM_LINE_DCD)) {
        status->HoldReasons |= SERIAL_TX_WAITING_FOR_DCD;
    }
    status->AmountInInQueue = r.pdx->ReceiveCount;
    status->AmountInOutQueue = r.pdx->OutQueueBytes;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    r.Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

// Copies a stored record out (get) or in (set) under SpinLock.
NTSTATUS CopyOut(IoControlRequest& r, const void* source, ULONG length) {
    if (r.outputLength < length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    RtlCopyMemory(r.buffer, source, length);
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    r.Irp->IoStatus.Information = length;
    return STATUS_SUCCESS;
}

NTSTATUS CopyIn(IoControlRequest& r, void* destination, ULONG length, ULONG minimum) {
    if (r.inputLength < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    RtlCopyMemory(destination, r.buffer, length);
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS GetModemStatus(IoControlRequest& r) {
    if (r.outputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    *static_cast<PULONG>(r.buffer) = static_cast<ULONG>(static_cast<LONG>(static_cast<SHORT>(r.pdx->ModemStatusSnapshot)));
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    r.Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// XonLimit and XoffLimit are not kept: they are reported as zero.
NTSTATUS GetHandFlow(IoControlRequest& r) {
    if (r.outputLength < sizeof(SERIAL_HANDFLOW)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* handflow = static_cast<PSERIAL_HANDFLOW>(r.buffer);
    RtlZeroMemory(handflow, sizeof(SERIAL_HANDFLOW));
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    handflow->ControlHandShake = r.pdx->HandFlow.ControlHandShake;
    handflow->FlowReplace = r.pdx->HandFlow.FlowReplace;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    r.Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
    return STATUS_SUCCESS;
}

NTSTATUS ClearStats(IoControlRequest& r) {
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    RtlZeroMemory(&r.pdx->PerfStats, sizeof(SERIALPERF_STATS));
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS HandleIoControl(IoControlRequest& r, ULONG code) {
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetBaudRate(r);
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return GetBaudRate(r);
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetLineControl(r);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return GetLineControl(r);
    case IOCTL_SERIAL_SET_BREAK_ON:
        return SendBreak(r.fdo, static_cast<SHORT>(0xFFFF));
    case IOCTL_SERIAL_SET_BREAK_OFF:
        return SendBreak(r.fdo, 0);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return CopyIn(r, &r.pdx->Timeouts, sizeof(SERIAL_TIMEOUTS), sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return CopyOut(r, &r.pdx->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_SET_DTR:
        return SetDtr(r);
    case IOCTL_SERIAL_CLR_DTR:
        return ClearDtr(r);
    case IOCTL_SERIAL_SET_RTS:
        return SetOrClearRts(r, TRUE);
    case IOCTL_SERIAL_CLR_RTS:
        return SetOrClearRts(r, FALSE);
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return SetWaitMask(r);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return WaitOnMask(r);
    case IOCTL_SERIAL_PURGE:
        return Purge(r);
    case IOCTL_SERIAL_GET_CHARS:
        return CopyOut(r, &r.pdx->SpecialChars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_SET_CHARS:
        return CopyIn(r, &r.pdx->SpecialChars, sizeof(SERIAL_CHARS), sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_GET_HANDFLOW:
        return GetHandFlow(r);
    case IOCTL_SERIAL_SET_HANDFLOW:
        return CopyIn(r, &r.pdx->HandFlow, sizeof(HANDFLOW_SETTINGS), sizeof(SERIAL_HANDFLOW));
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return GetModemStatus(r);
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return GetCommStatus(r);
    case IOCTL_SERIAL_GET_STATS:
        return CopyOut(r, &r.pdx->PerfStats, sizeof(SERIALPERF_STATS));
    case IOCTL_SERIAL_CLEAR_STATS:
        return ClearStats(r);
    default:
        return STATUS_SUCCESS;  // every other code succeeds with no data
    }
}

NTSTATUS PassiveModemIoControl(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    if (IsRefusedState(pdx->State)) {
        return RefuseGoingAway(pdx, Irp);
    }
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IoControlRequest request = {fdo,
                                pdx,
                                Irp,
                                Irp->AssociatedIrp.SystemBuffer,
                                stack->Parameters.DeviceIoControl.InputBufferLength,
                                stack->Parameters.DeviceIoControl.OutputBufferLength};
    status = HandleIoControl(request, stack->Parameters.DeviceIoControl.IoControlCode);
    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
    if (status != STATUS_PENDING) {
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Information = 0;
        }
        CompleteRequest(Irp, status);
    }
    return status;
}

}  // namespace

NTSTATUS NTAPI ModemIoControl(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    if (IsRefusedState(pdx->State)) {
        return RefuseGoingAway(pdx, Irp);
    }
    return DeferToPassiveLevel(fdo, Irp, WorkItemCallbackModemIoControl, PassiveModemIoControl);
}
