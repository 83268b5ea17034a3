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

VOID InitializeSerEmulVariables(PDEVICE_EXTENSION pdx) {
    InitializeListHead(&pdx->WaitIrpQueue);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->BaudRate = 0x20000;
    pdx->WaitMask = 0;
    pdx->EventHistory = 0;
    if (pdx->StatusSeen == TRUE && pdx->CarrierOn != TRUE) {
        pdx->ModemLines = MODEM_LINE_DTR | MODEM_LINE_CTS | MODEM_LINE_DSR;
    } else {
        pdx->ModemLines = MODEM_LINE_DTR | MODEM_LINE_CTS | MODEM_LINE_DSR | MODEM_LINE_DCD;
    }
    pdx->ModemStatusSnapshot = 0;
    pdx->DtrAsserted = FALSE;
    pdx->DtrDroppedByHost = FALSE;
    pdx->ReceiveStalled = FALSE;
    pdx->ReceiveCount = 0;
    pdx->ReceiveReadOffset = 0;
    pdx->ReceiveWriteOffset = 0;
    pdx->Closing = FALSE;
    pdx->ReadPipeError = 0;
    pdx->WritePipeError = 0;
    pdx->StatusPipeError = 0;
    pdx->LastDsrBit = 1;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
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
        if (pdx->Closing != TRUE) {
            KIRQL irql;
            KeAcquireSpinLock(&pdx->SpinLock, &irql);
            pdx->EventHistory |= SERIAL_EV_RLSD;
            KeReleaseSpinLock(&pdx->SpinLock, irql);
            pdx->DeviceErrorCode = DEVICE_ERROR_STATUS_PIPE_FAILED;
        }
        InterlockedIncrement(&pdx->StatusPipeError);
        CompletePendingWaitIrps(pdx, SERIAL_EV_RLSD);
        KIRQL irql;
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        pdx->EventHistory = 0;
        KeReleaseSpinLock(&pdx->SpinLock, irql);
    }
    EndReaderTransfer(pdx, &pdx->StatusTransfer, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID UpdateStatus(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    UCHAR lineByte = pdx->StatusBuffer[STATUS_LINE_BYTE];
    UCHAR carrierByte = pdx->StatusBuffer[STATUS_CARRIER_BYTE];

    USHORT lines = static_cast<USHORT>(pdx->ModemLines | MODEM_LINE_CTS);
    if (lineByte & 0x02) {
        lines |= MODEM_LINE_DSR;
    }
    if (lineByte & 0x08) {
        lines |= MODEM_LINE_RI;
    }
    if (!pdx->DtrAsserted && pdx->DtrDroppedByHost) {
        lines &= ~MODEM_LINE_DCD;
    }
    pdx->ModemLines = lines;

    ULONG mask = pdx->WaitMask;
    if (mask != 0) {
        if ((mask & SERIAL_EV_CTS) && (lines & MODEM_LINE_CTS)) {
            pdx->EventHistory |= SERIAL_EV_CTS;
        }
        if ((mask & SERIAL_EV_DSR) && (lines & MODEM_LINE_DSR)) {
            UCHAR dsrBit = (carrierByte & 0x02) ? 1 : 0;
            if (dsrBit != pdx->LastDsrBit) {
                pdx->EventHistory |= SERIAL_EV_DSR;
                pdx->LastDsrBit = dsrBit;
            }
        }
        if ((mask & SERIAL_EV_RING) && (lines & MODEM_LINE_RI)) {
            pdx->EventHistory |= SERIAL_EV_RING;
        }
        if (mask == WAIT_MASK_RLSD_ON_DSR && carrierByte == STATUS_CARRIER_ABSENT_DSR) {
            pdx->EventHistory |= SERIAL_EV_RLSD;
        }
    }

    pdx->StatusSeen = TRUE;
    if (carrierByte == STATUS_CARRIER_PRESENT) {
        pdx->CarrierOn = TRUE;
        pdx->ModemStatusSnapshot = static_cast<USHORT>(lines | MODEM_LINE_DCD);
    } else {
        pdx->CarrierOn = FALSE;
        pdx->ModemStatusSnapshot = static_cast<USHORT>(lines & ~MODEM_LINE_DCD);
    }
    ULONG events = pdx->EventHistory;
    KeReleaseSpinLock(&pdx->SpinLock, irql);

    if (events != 0) {
        CompletePendingWaitIrps(pdx, events);
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        pdx->EventHistory = 0;
        KeReleaseSpinLock(&pdx->SpinLock, irql);
    }
}
