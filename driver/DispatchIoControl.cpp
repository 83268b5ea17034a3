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

// The line coding's data stage: rate (4 bytes), stop bits, parity, data bits.
const ULONG LINE_CODING_TRANSFER_BYTES = 7;

// Sends one class request and waits for it; *transferred (when given)
// receives the length of the data stage the device took or gave.
NTSTATUS SendClassRequest(PDEVICE_OBJECT fdo, UCHAR requestType, UCHAR request, USHORT value, ULONG transferFlags,
                          PVOID buffer, ULONG length, PULONG transferred = nullptr) {
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
    NTSTATUS status = SendAwaitUrb(fdo, &urb);
    if (transferred != nullptr) {
        *transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
    }
    return status;
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
    // A short answer is taken by the host controller and refused here: a
    // line coding with bytes missing says nothing about the device.
    ULONG received = 0;
    NTSTATUS status = SendClassRequest(fdo, REQUEST_TYPE_CLASS_INTERFACE_IN, CDC_GET_LINE_CODING, 0,
                                       USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                                       LINE_CODING_TRANSFER_BYTES, &received);
    if (NT_SUCCESS(status) && received < LINE_CODING_TRANSFER_BYTES) {
        status = STATUS_UNSUCCESSFUL;
    }
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

const UCHAR acceptedWordLengths[] = {8, 7, 6, 5, 17};
const UCHAR acceptedStopBits[] = {STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2, 17};
const UCHAR acceptedParities[] = {NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY, 17};

// The CDC line coding carries any rate as a 32-bit number; these are the
// rates a modem's serial side runs at.
BOOLEAN IsAcceptedRate(ULONG rate) {
    return rate >= MIN_BAUD_RATE && rate <= MAX_BAUD_RATE;
}

// The tables end in a marker that never matches.
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
    // The device learns a new rate at once; until it has taken it, the
    // port keeps the rate it had.
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    ULONG previousBaudRate = r.pdx->BaudRate;
    ULONG previousDataRate = r.pdx->LineCoding.DataRate;
    r.pdx->BaudRate = rate;
    r.pdx->LineCoding.DataRate = rate;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    if (previousDataRate == rate) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = SetLineCode(r.fdo);
    if (!NT_SUCCESS(status)) {
        KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
        r.pdx->BaudRate = previousBaudRate;
        r.pdx->LineCoding.DataRate = previousDataRate;
        KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    }
    return status;
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
    r.pdx->LineCoding.DataRate = r.pdx->BaudRate;  // the device runs at the port's rate
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

// The two host lines as the host last set them.
struct CONTROL_LINES {
    BOOLEAN Dtr;
    BOOLEAN Rts;
};

CONTROL_LINES CurrentControlLines(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    CONTROL_LINES lines = {pdx->DtrAsserted, static_cast<BOOLEAN>((pdx->ModemLines & MODEM_LINE_RTS) != 0)};
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return lines;
}

// SET_CONTROL_LINE_STATE carries both lines (bit 0 DTR, bit 1 RTS), so
// every change sends the other line as the host last set it: raising RTS
// must not drop DTR, which a modem set to AT&D2 takes as a hang-up. Once
// the device has taken the state, the line image follows it.
NTSTATUS SendControlLines(IoControlRequest& r, CONTROL_LINES lines) {
    USHORT value = static_cast<USHORT>((lines.Dtr ? MODEM_LINE_DTR : 0) | (lines.Rts ? MODEM_LINE_RTS : 0));
    NTSTATUS status = setDTR_RTS(r.fdo, value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    if (lines.Dtr) {
        r.pdx->ModemLines |= MODEM_LINE_DTR;
        r.pdx->DtrAsserted = TRUE;
    } else if (r.pdx->DtrAsserted) {
        r.pdx->DtrAsserted = FALSE;
        r.pdx->ModemLines &= ~(MODEM_LINE_DTR | MODEM_LINE_DCD);
        r.pdx->DtrDroppedByHost = TRUE;
    }
    if (lines.Rts) {
        r.pdx->ModemLines |= MODEM_LINE_RTS;
    } else {
        r.pdx->ModemLines &= ~MODEM_LINE_RTS;
    }
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS SetDtr(IoControlRequest& r) {
    if (DtrHandshakeSelected(r.pdx)) {
        return STATUS_INVALID_PARAMETER;
    }
    CONTROL_LINES lines = CurrentControlLines(r.pdx);
    lines.Dtr = TRUE;
    return SendControlLines(r, lines);
}

NTSTATUS ClearDtr(IoControlRequest& r) {
    if (DtrHandshakeSelected(r.pdx)) {
        return STATUS_INVALID_PARAMETER;
    }
    CONTROL_LINES lines = CurrentControlLines(r.pdx);
    if (!lines.Dtr) {
        return STATUS_SUCCESS;  // never raised: nothing to lower
    }
    lines.Dtr = FALSE;
    return SendControlLines(r, lines);
}

NTSTATUS SetOrClearRts(IoControlRequest& r, BOOLEAN set) {
    CONTROL_LINES lines = CurrentControlLines(r.pdx);
    lines.Rts = set;
    return SendControlLines(r, lines);
}

// The lines a handflow asks for. DTR is up for DTR control and for the DTR
// handshake (this port is always ready to receive); RTS is up for RTS
// control and the RTS handshake, and down for transmit toggling, which
// raises it only while sending. The handshakes themselves are stored and
// reported, not performed.
CONTROL_LINES ControlLinesOfHandFlow(const SERIAL_HANDFLOW* handflow) {
    ULONG rts = handflow->FlowReplace & SERIAL_RTS_MASK;
    CONTROL_LINES lines = {static_cast<BOOLEAN>((handflow->ControlHandShake & SERIAL_DTR_MASK) != 0),
                           static_cast<BOOLEAN>(rts == SERIAL_RTS_CONTROL || rts == SERIAL_RTS_HANDSHAKE)};
    return lines;
}

NTSTATUS SetHandFlow(IoControlRequest& r) {
    if (r.inputLength < sizeof(SERIAL_HANDFLOW)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* handflow = static_cast<PSERIAL_HANDFLOW>(r.buffer);
    CONTROL_LINES wanted = ControlLinesOfHandFlow(handflow);
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    r.pdx->HandFlow.ControlHandShake = handflow->ControlHandShake;
    r.pdx->HandFlow.FlowReplace = handflow->FlowReplace;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    CONTROL_LINES current = CurrentControlLines(r.pdx);
    if (current.Dtr == wanted.Dtr && current.Rts == wanted.Rts) {
        return STATUS_SUCCESS;
    }
    return SendControlLines(r, wanted);
}

NTSTATUS SetWaitMask(IoControlRequest& r) {
    if (r.inputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG mask = *static_cast<PULONG>(r.buffer);
    if (mask & 0xFFFFE000) {
        return STATUS_INVALID_PARAMETER;
    }
    // The mask is echoed to a caller whose output buffer holds it; reporting
    // four bytes to a smaller one would have them copied past its end.
    r.Irp->IoStatus.Information = r.outputLength >= sizeof(ULONG) ? sizeof(ULONG) : 0;
    // A pending wait ends with no events, and the history of the old mask
    // goes, in the hold that stores the new mask: nothing recorded under
    // the old one can reach a wait under the new one.
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    PIRP wait = DequeueCancelableIrpLocked(&r.pdx->WaitIrpQueue, nullptr);
    r.pdx->WaitMask = mask;
    r.pdx->EventHistory = 0;
    KeReleaseSpinLock(&r.pdx->SpinLock, irql);
    if (wait != nullptr) {
        *static_cast<PULONG>(wait->AssociatedIrp.SystemBuffer) = 0;
        CompleteWaitIrp(wait);
    }
    return STATUS_SUCCESS;
}

// The test of EventHistory and the queuing are one SpinLock hold, so an
// event reported in between cannot slip past this wait; and a wait of a
// file whose cleanup has run is refused in that hold, as reads and writes
// are, since a wait held after the cleanup would keep the file open.
NTSTATUS WaitOnMask(IoControlRequest& r) {
    if (r.outputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r.pdx->SpinLock, &irql);
    NTSTATUS refusal = RefusalStatusLocked(r.pdx, r.Irp);
    if (refusal != STATUS_SUCCESS) {
        KeReleaseSpinLock(&r.pdx->SpinLock, irql);
        return refusal;
    }
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
    status->Errors = r.pdx->LineErrors;  // reported once
    r.pdx->LineErrors = 0;
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
    *static_cast<PULONG>(r.buffer) = r.pdx->ModemStatusSnapshot;
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

// What this port is: a modem behind a receive buffer, with no transmit
// queue (a write goes to the device as it is), any rate of the line coding,
// the CDC data formats, DTR/DSR and carrier, and total read time-outs.
NTSTATUS GetProperties(IoControlRequest& r) {
    if (r.outputLength < sizeof(SERIAL_COMMPROP)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* prop = static_cast<PSERIAL_COMMPROP>(r.buffer);
    RtlZeroMemory(prop, sizeof(SERIAL_COMMPROP));
    prop->PacketLength = sizeof(SERIAL_COMMPROP);
    prop->PacketVersion = 2;
    prop->ServiceMask = SERIAL_SP_SERIALCOMM;
    prop->MaxTxQueue = 0;  // no limit of the driver's
    prop->MaxRxQueue = RECEIVE_BUFFER_SIZE;
    prop->MaxBaud = SERIAL_BAUD_USER;
    prop->ProvSubType = SERIAL_SP_MODEM;
    prop->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_CD | SERIAL_PCF_TOTALTIMEOUTS;
    prop->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS;
    prop->SettableBaud = SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 | SERIAL_BAUD_150 | SERIAL_BAUD_300 |
                         SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 |
                         SERIAL_BAUD_7200 | SERIAL_BAUD_9600 | SERIAL_BAUD_14400 | SERIAL_BAUD_19200 |
                         SERIAL_BAUD_38400 | SERIAL_BAUD_56K | SERIAL_BAUD_57600 | SERIAL_BAUD_115200 |
                         SERIAL_BAUD_128K | SERIAL_BAUD_USER;
    prop->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    prop->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                               SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    prop->CurrentTxQueue = 0;
    prop->CurrentRxQueue = RECEIVE_BUFFER_SIZE;
    r.Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
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
        return SetHandFlow(r);
    case IOCTL_SERIAL_GET_PROPERTIES:
        return GetProperties(r);
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
