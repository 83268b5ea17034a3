// The serial emulation: its start at every open, the modem-status reader,
// and asynchronous URBs.
#include "stddcls.h"

namespace {

// An IRP of our own carrying the URB down through the driver's own
// internal-control routine, or NULL for want of one.
PIRP BuildUrbIrp(PDEVICE_OBJECT TargetDevice, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context) {
    PIRP Irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (Irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    return Irp;
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT TargetDevice, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context) {
    PIRP Irp = BuildUrbIrp(TargetDevice, Urb, CompletionRoutine, Context);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(TargetDevice, Irp);
    // To a caller STATUS_INSUFFICIENT_RESOURCES means that nothing was sent.
    // A lower driver that refuses the transfer at once with that status has
    // already run the completion routine.
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

// ---------------------------------------------------------------------------
// Reader transfers: the bulk-in and interrupt-in transfers kept in flight
// while the port is open
// ---------------------------------------------------------------------------

// Sends a reader's next transfer unless the port is closing. The test of
// Closing and the publication of the IRP are one hold of SpinLock, so a
// close or removal, which sets Closing under it, either stops this transfer
// here or finds its IRP to cancel. FALSE: nothing was sent and the
// completion routine will not run.
BOOLEAN SubmitReaderUrb(PDEVICE_EXTENSION pdx, READER_TRANSFER* Transfer, PURB Urb,
                        PIO_COMPLETION_ROUTINE CompletionRoutine) {
    PIRP Irp = BuildUrbIrp(pdx->DeviceObject, Urb, CompletionRoutine, pdx);
    if (Irp == nullptr) {
        return FALSE;
    }
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (pdx->Closing) {
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        IoFreeIrp(Irp);
        return FALSE;
    }
    Transfer->Irp = Irp;
    if (pdx->ReaderTransfers++ == 0) {
        KeClearEvent(&pdx->ReadersStoppedEvent);
    }
    IncrementPendingActionCount(pdx);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    IoCallDriver(pdx->DeviceObject, Irp);
    return TRUE;
}

// The last step of a reader's completion routine: the IRP goes to a
// canceller still using it, or back to the pool, and the transfer is no
// longer counted.
VOID EndReaderTransfer(PDEVICE_EXTENSION pdx, READER_TRANSFER* Transfer, PIRP Irp) {
    BOOLEAN heldByCanceller = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (Transfer->Irp == Irp) {
        if (Transfer->CancelHolds != 0) {
            Transfer->Completed = TRUE;
            heldByCanceller = TRUE;
        } else {
            Transfer->Irp = nullptr;
        }
    }
    if (--pdx->ReaderTransfers == 0) {
        KeSetEvent(&pdx->ReadersStoppedEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (!heldByCanceller) {
        IoFreeIrp(Irp);
    }
    DecrementPendingActionCount(pdx);
}

namespace {

PIRP HoldForCancel(READER_TRANSFER* Transfer) {
    if (Transfer->Irp != nullptr) {
        ++Transfer->CancelHolds;
    }
    return Transfer->Irp;
}

// Under SpinLock: the canceller is done with the IRP; the last one frees it
// if it has completed meanwhile.
PIRP ReleaseCancelHold(READER_TRANSFER* Transfer) {
    if (--Transfer->CancelHolds != 0 || !Transfer->Completed) {
        return nullptr;
    }
    PIRP Irp = Transfer->Irp;
    Transfer->Irp = nullptr;
    Transfer->Completed = FALSE;
    return Irp;
}

}  // namespace

// Close and removal: no reader sends another transfer, the ones in flight
// are cancelled (which needs no pool and sends nothing to the device), and
// both readers are waited for, so that the next open cannot start a second
// transfer on a URB still in use and no completion runs on a deleted device.
VOID StopReaders(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->Closing = TRUE;
    PIRP read = HoldForCancel(&pdx->ReadTransfer);
    PIRP status = HoldForCancel(&pdx->StatusTransfer);
    KeReleaseSpinLock(&pdx->SpinLock, irql);

    if (read != nullptr) {
        IoCancelIrp(read);
    }
    if (status != nullptr) {
        IoCancelIrp(status);
    }

    PIRP completedRead = nullptr;
    PIRP completedStatus = nullptr;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (read != nullptr) {
        completedRead = ReleaseCancelHold(&pdx->ReadTransfer);
    }
    if (status != nullptr) {
        completedStatus = ReleaseCancelHold(&pdx->StatusTransfer);
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (completedRead != nullptr) {
        IoFreeIrp(completedRead);
    }
    if (completedStatus != nullptr) {
        IoFreeIrp(completedStatus);
    }
    KeWaitForSingleObject(&pdx->ReadersStoppedEvent, Executive, KernelMode, FALSE, nullptr);
}

namespace {

// The modem's lines as SERIAL_MSR_ bits, from a notification's UART state.
// CDC carries no CTS: the modem is always ready to take data.
USHORT ModemLinesOfUartState(USHORT uart) {
    USHORT lines = MODEM_LINE_CTS;
    if (uart & UART_STATE_DSR) {
        lines |= MODEM_LINE_DSR;
    }
    if (uart & UART_STATE_DCD) {
        lines |= MODEM_LINE_DCD;
    }
    if (uart & UART_STATE_RING) {
        lines |= MODEM_LINE_RI;
    }
    return lines;
}

// Under SpinLock. A device nothing was learnt from yet starts with its
// line coding as CDC devices power up (8 data bits, no parity, 1 stop bit).
// TRUE when the device's rate differs from the open's: it is told at once.
BOOLEAN StartLineCodingAtDefaultRate(PDEVICE_EXTENSION pdx) {
    if (pdx->LineCoding.DataBits == 0) {
        pdx->LineCoding.DataRate = DEFAULT_BAUD_RATE;
        pdx->LineCoding.CharFormat = STOP_BIT_1;
        pdx->LineCoding.ParityType = NO_PARITY;
        pdx->LineCoding.DataBits = 8;
    }
    pdx->BaudRate = DEFAULT_BAUD_RATE;
    if (pdx->LineCoding.DataRate == DEFAULT_BAUD_RATE) {
        return FALSE;
    }
    pdx->LineCoding.DataRate = DEFAULT_BAUD_RATE;
    return TRUE;
}

}  // namespace

VOID InitializeSerEmulVariables(PDEVICE_EXTENSION pdx) {
    InitializeListHead(&pdx->WaitIrpQueue);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN sendLineCoding = StartLineCodingAtDefaultRate(pdx);
    pdx->WaitMask = 0;
    pdx->EventHistory = 0;
    pdx->LineErrors = 0;
    // The lines the last notification reported, of whichever open: the
    // modem does not report them again until one changes. Before any
    // report, DSR and carrier are assumed. DTR and RTS are down until set.
    USHORT lines = pdx->StatusSeen ? ModemLinesOfUartState(pdx->LastUartState)
                                   : static_cast<USHORT>(MODEM_LINE_CTS | MODEM_LINE_DSR | MODEM_LINE_DCD);
    pdx->ModemLines = lines;
    pdx->ModemStatusSnapshot = lines;
    pdx->DtrAsserted = FALSE;
    pdx->DtrDroppedByHost = FALSE;
    pdx->ReceiveStalled = FALSE;
    // Each open has its full retries: a back-off armed after the last
    // cleanup ended at the close, but its failure was counted.
    pdx->ReceiveFailures = 0;
    pdx->ReceiveGivenUp = FALSE;
    pdx->ReceiveCount = 0;
    pdx->ReceiveReadOffset = 0;
    pdx->ReceiveWriteOffset = 0;
    pdx->Closing = FALSE;
    pdx->ReadPipeError = 0;
    pdx->WritePipeError = 0;
    pdx->StatusPipeError = 0;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (sendLineCoding) {
        SetLineCode(pdx->DeviceObject);
    }
    // Started with the lock released: a transfer may complete at once and
    // its completion routine takes the lock itself.
    StatusPipe(pdx, pdx->InterruptPipe);
    ReadBulkPipe(pdx, pdx->BulkInPipe);
}

// ---------------------------------------------------------------------------
// Modem status notifications on the interrupt pipe
// ---------------------------------------------------------------------------

NTSTATUS StatusPipe(PDEVICE_EXTENSION pdx, USBD_PIPE_HANDLE Pipe) {
    RecoverPipeIfFailed(pdx, &pdx->StatusPipeError, Pipe);
    RtlZeroMemory(&pdx->StatusUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(&pdx->StatusUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe,
                                           pdx->StatusBuffer, nullptr, STATUS_BUFFER_SIZE,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    if (!SubmitReaderUrb(pdx, &pdx->StatusTransfer, &pdx->StatusUrb, StatusPipeCompletion)) {
        // Nothing was sent: the reader stays stopped until the next open.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_PENDING;
}

NTSTATUS NTAPI StatusPipeCompletion(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(fdo);
    auto* pdx = static_cast<PDEVICE_EXTENSION>(Context);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        UpdateStatus(pdx);
        if (!pdx->Closing) {
            StatusPipe(pdx, pdx->InterruptPipe);
        }
    } else {
        // The lines are no longer known: a pending wait ends as on a carrier
        // change, and the history goes in the same hold.
        InterlockedIncrement(&pdx->StatusPipeError);
        KIRQL irql;
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        if (pdx->Closing != TRUE) {
            pdx->DeviceErrorCode = DEVICE_ERROR_STATUS_PIPE_FAILED;
        }
        PIRP wait = DequeueCancelableIrpLocked(&pdx->WaitIrpQueue, nullptr);
        pdx->EventHistory = 0;
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        if (wait != nullptr) {
            *static_cast<PULONG>(wait->AssociatedIrp.SystemBuffer) = SERIAL_EV_RLSD;
            CompleteWaitIrp(wait);
        }
    }
    EndReaderTransfer(pdx, &pdx->StatusTransfer, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

const UCHAR CDC_NOTIFICATION_REQUEST_TYPE = 0xA1;
const UCHAR CDC_SERIAL_STATE = 0x20;

// The events of a change of lines, as WaitCommEvent documents them: a change of
// CTS, DSR or carrier, and ring coming on.
ULONG LineChangeEvents(USHORT before, USHORT after) {
    USHORT changed = static_cast<USHORT>(before ^ after);
    ULONG events = 0;
    if (changed & MODEM_LINE_CTS) {
        events |= SERIAL_EV_CTS;
    }
    if (changed & MODEM_LINE_DSR) {
        events |= SERIAL_EV_DSR;
    }
    if (changed & MODEM_LINE_DCD) {
        events |= SERIAL_EV_RLSD;
    }
    if ((changed & MODEM_LINE_RI) && (after & MODEM_LINE_RI)) {
        events |= SERIAL_EV_RING;
    }
    return events;
}

// Under SpinLock: break and line errors, counted and kept for GET_COMMSTATUS.
ULONG LineErrorEvents(PDEVICE_EXTENSION pdx, USHORT uart) {
    ULONG events = 0;
    if (uart & UART_STATE_BREAK) {
        pdx->LineErrors |= SERIAL_ERROR_BREAK;
        events |= SERIAL_EV_BREAK;
    }
    if (uart & UART_STATE_FRAMING) {
        pdx->LineErrors |= SERIAL_ERROR_FRAMING;
        ++pdx->PerfStats.FrameErrorCount;
        events |= SERIAL_EV_ERR;
    }
    if (uart & UART_STATE_PARITY) {
        pdx->LineErrors |= SERIAL_ERROR_PARITY;
        ++pdx->PerfStats.ParityErrorCount;
        events |= SERIAL_EV_ERR;
    }
    if (uart & UART_STATE_OVERRUN) {
        pdx->LineErrors |= SERIAL_ERROR_OVERRUN;
        ++pdx->PerfStats.SerialOverrunErrorCount;
        events |= SERIAL_EV_ERR;
    }
    return events;
}

}  // namespace

// One notification: anything but a whole SERIAL_STATE is not about the
// lines and changes nothing.
VOID UpdateStatus(PDEVICE_EXTENSION pdx) {
    const UCHAR* note = pdx->StatusBuffer;
    if (pdx->StatusUrb.UrbBulkOrInterruptTransfer.TransferBufferLength < SERIAL_STATE_SIZE ||
        note[0] != CDC_NOTIFICATION_REQUEST_TYPE || note[1] != CDC_SERIAL_STATE) {
        return;
    }
    USHORT uart = static_cast<USHORT>(note[SERIAL_STATE_HEADER_SIZE] | (note[SERIAL_STATE_HEADER_SIZE + 1] << 8));
    USHORT lines = ModemLinesOfUartState(uart);

    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    ULONG events = LineChangeEvents(pdx->ModemStatusSnapshot, lines) | LineErrorEvents(pdx, uart);
    pdx->ModemStatusSnapshot = lines;
    USHORT image = static_cast<USHORT>((pdx->ModemLines & (MODEM_LINE_DTR | MODEM_LINE_RTS)) | lines);
    // The host dropped DTR: the call is over as far as the port is concerned.
    if (!pdx->DtrAsserted && pdx->DtrDroppedByHost) {
        image &= ~MODEM_LINE_DCD;
    }
    pdx->ModemLines = image;
    pdx->LastUartState = uart;
    pdx->StatusSeen = TRUE;
    pdx->CarrierOn = (uart & UART_STATE_DCD) ? TRUE : FALSE;
    PIRP wait = RecordSerialEventsLocked(pdx, events);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    CompleteWaitIrp(wait);
}
