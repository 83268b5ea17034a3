// The receive engine and read requests.
//
// One bulk-in transfer of 1024 bytes stays in flight while the port is open;
// each completion appends to the linear 4096-byte receive buffer, raises the
// receive events, serves a held read and starts the next transfer, or stalls
// the engine at the high-water mark until a reader drains the buffer.
#include "stddcls.h"

namespace {

// Receive events for the data now in the buffer; called under SpinLock.
// They are recorded with RecordSerialEvents.
ULONG RaiseReceiveEvents(PDEVICE_EXTENSION pdx, BOOLEAN requireData) {
    ULONG events = 0;
    BOOLEAN data = pdx->ReceiveCount != 0 || !requireData;
    if ((pdx->WaitMask & SERIAL_EV_RXFLAG) && data) {
        events |= SERIAL_EV_RXFLAG;
    }
    if ((pdx->WaitMask & SERIAL_EV_RXCHAR) && data) {
        events |= SERIAL_EV_RXCHAR;
    }
    if ((pdx->WaitMask & SERIAL_EV_RX80FULL) && pdx->ReceiveCount >= RECEIVE_80_PERCENT) {
        events |= SERIAL_EV_RX80FULL;
    }
    return events;
}

VOID CountReceived(PDEVICE_EXTENSION pdx, ULONG bytes) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->PerfStats.ReceivedCount += bytes;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
}

VOID FreeTransferBuffer(PDEVICE_EXTENSION pdx) {
    if (pdx->ReadTransferBuffer != nullptr) {
        ExFreePool(pdx->ReadTransferBuffer);
        pdx->ReadTransferBuffer = nullptr;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Receive engine
// ---------------------------------------------------------------------------

NTSTATUS ReadBulkPipe(PDEVICE_EXTENSION pdx, USBD_PIPE_HANDLE Pipe) {
    RecoverPipeIfFailed(pdx, &pdx->ReadPipeError, Pipe);
    pdx->ReadTransferBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, RECEIVE_TRANSFER_SIZE, QV_POOL_TAG));
    if (pdx->ReadTransferBuffer == nullptr) {
        // No transfer without a buffer; the engine stays stopped until the
        // next open, and nothing was counted.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(&pdx->ReadUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(&pdx->ReadUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe,
                                           pdx->ReadTransferBuffer, nullptr, RECEIVE_TRANSFER_SIZE,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    if (!SubmitReaderUrb(pdx, &pdx->ReadTransfer, &pdx->ReadUrb, ReadPipeCompletion)) {
        // Nothing was sent and ReadPipeCompletion will not run: give back
        // the buffer it would have.
        FreeTransferBuffer(pdx);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_PENDING;
}

NTSTATUS NTAPI ReadPipeCompletion(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(fdo);
    auto* pdx = static_cast<PDEVICE_EXTENSION>(Context);
    KIRQL irql;
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        // The engine stops until the next open. A held read stays held, and
        // its timeout keeps running: nothing else may come to end it.
        InterlockedIncrement(&pdx->ReadPipeError);
        FreeTransferBuffer(pdx);
    } else {
        ULONG received = pdx->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        RtlCopyMemory(pdx->ReceiveBuffer + pdx->ReceiveWriteOffset, pdx->ReadTransferBuffer, received);
        pdx->ReceiveWriteOffset += received;
        pdx->ReceiveCount += received;
        pdx->DeviceErrorCode = 0;
        ULONG events = RaiseReceiveEvents(pdx, TRUE);
        KeReleaseSpinLock(&pdx->SpinLock, irql);

        if (events != 0) {
            RecordSerialEvents(pdx, events);
        }
        KeCancelTimer(&pdx->ReadTimer);
        CompletePendingReadIrps(pdx, FALSE);
        FreeTransferBuffer(pdx);

        // ReadBulkPipe sends nothing once the port is closing.
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        if (pdx->Closing) {
            KeReleaseSpinLock(&pdx->SpinLock, irql);
        } else if (pdx->ReceiveCount >= RECEIVE_HIGH_WATER ||
                   pdx->ReceiveWriteOffset + RECEIVE_TRANSFER_SIZE > RECEIVE_BUFFER_SIZE) {
            pdx->ReceiveStalled = TRUE;
            KeReleaseSpinLock(&pdx->SpinLock, irql);
        } else {
            KeReleaseSpinLock(&pdx->SpinLock, irql);
            ReadBulkPipe(pdx, pdx->BulkInPipe);
        }
    }
    // Last: the next transfer (if any) is counted before this one is given back.
    EndReaderTransfer(pdx, &pdx->ReadTransfer, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

// What ReadFromQueue leaves to do once SpinLock is released.
struct AFTER_TAKE {
    BOOLEAN RestartEngine;
    ULONG Events;
};

// ReadFromQueue's work under SpinLock, for callers that must decide more
// in the same hold.
NTSTATUS TakeFromBufferLocked(PDEVICE_EXTENSION pdx, PVOID Destination, PULONG Length, AFTER_TAKE* after) {
    after->RestartEngine = FALSE;
    after->Events = 0;
    if (pdx->ReceiveWriteOffset == 0 || pdx->ReceiveReadOffset >= pdx->ReceiveWriteOffset) {
        pdx->ReceiveReadOffset = 0;
        pdx->ReceiveWriteOffset = 0;
        pdx->ReceiveCount = 0;
        return STATUS_UNSUCCESSFUL;
    }
    ULONG available = pdx->ReceiveWriteOffset - pdx->ReceiveReadOffset;
    if (*Length <= available) {
        RtlCopyMemory(Destination, pdx->ReceiveBuffer + pdx->ReceiveReadOffset, *Length);
        pdx->ReceiveReadOffset += *Length;
        pdx->ReceiveCount = pdx->ReceiveWriteOffset - pdx->ReceiveReadOffset;
        if (pdx->ReceiveCount == 0) {
            pdx->ReceiveReadOffset = 0;
            pdx->ReceiveWriteOffset = 0;
        }
    } else {
        *Length = available;
        RtlCopyMemory(Destination, pdx->ReceiveBuffer + pdx->ReceiveReadOffset, available);
        pdx->ReceiveReadOffset = 0;
        pdx->ReceiveWriteOffset = 0;
        pdx->ReceiveCount = 0;
    }
    // A stalled engine is not restarted once the port is closing: the close
    // is waiting for the readers to stop, and the next open starts it afresh.
    if (!pdx->ReceiveStalled || pdx->Closing) {
        return STATUS_SUCCESS;
    }
    if (pdx->ReceiveCount < RECEIVE_HIGH_WATER) {
        // Below the mark again: compact and restart the engine.
        pdx->ReceiveStalled = FALSE;
        RtlMoveMemory(pdx->ReceiveBuffer, pdx->ReceiveBuffer + pdx->ReceiveReadOffset, pdx->ReceiveCount);
        pdx->ReceiveReadOffset = 0;
        pdx->ReceiveWriteOffset = pdx->ReceiveCount;
        after->RestartEngine = TRUE;
        return STATUS_SUCCESS;
    }
    // Still stalled: no transfer completion will raise the events, so this does.
    after->Events = RaiseReceiveEvents(pdx, FALSE);
    return STATUS_SUCCESS;
}

// With SpinLock released: the restart or the events a take left to do.
VOID FinishTake(PDEVICE_EXTENSION pdx, const AFTER_TAKE& after) {
    if (after.RestartEngine) {
        ReadBulkPipe(pdx, pdx->BulkInPipe);
    }
    if (after.Events != 0) {
        RecordSerialEvents(pdx, after.Events);
    }
}

}  // namespace

NTSTATUS ReadFromQueue(PDEVICE_EXTENSION pdx, PVOID Destination, PULONG Length) {
    AFTER_TAKE after;
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    NTSTATUS status = TakeFromBufferLocked(pdx, Destination, Length, &after);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    FinishTake(pdx, after);
    return status;
}

// The received bytes nobody has read are dropped; a stalled engine, which
// no read would now restart, runs again.
VOID PurgeReceiveBuffer(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->ReceiveCount = 0;
    pdx->ReceiveReadOffset = 0;
    pdx->ReceiveWriteOffset = 0;
    BOOLEAN restart = pdx->ReceiveStalled && !pdx->Closing;
    if (restart) {
        pdx->ReceiveStalled = FALSE;
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (restart) {
        ReadBulkPipe(pdx, pdx->BulkInPipe);
    }
}

// ---------------------------------------------------------------------------
// Read requests: at most one held, owned by whoever takes its cancel
// routine back
// ---------------------------------------------------------------------------

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    const SERIAL_TIMEOUTS& timeouts = pdx->Timeouts;
    BOOLEAN returnAtOnce = timeouts.ReadIntervalTimeout == MAXULONG && timeouts.ReadTotalTimeoutMultiplier == 0 &&
                           timeouts.ReadTotalTimeoutConstant == 0;
    // The state test, the try of the buffer and the holding of the read are
    // one hold of SpinLock. Surprise removal and removal set the state under
    // it before they end the held requests, so a read is either refused here
    // or held where they find it; and a bulk-in completion in between would
    // append its data, find no read to serve, and leave this one held with
    // data already buffered.
    AFTER_TAKE after;
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (IsRefusedState(pdx->State)) {
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (length == 0) {
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    NTSTATUS status = TakeFromBufferLocked(pdx, Irp->AssociatedIrp.SystemBuffer, &length, &after);
    if (!NT_SUCCESS(status) && !returnAtOnce) {
        status = EnqueueReadIrp(pdx, Irp);
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    FinishTake(pdx, after);

    if (NT_SUCCESS(status) && status != STATUS_PENDING) {
        CompleteRequest(Irp, STATUS_SUCCESS, length);
        CountReceived(pdx, length);
        return STATUS_SUCCESS;
    }
    if (returnAtOnce) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    if (status != STATUS_PENDING) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);  // refused or cancelled, its status set
    }
    ULONG constant = timeouts.ReadTotalTimeoutConstant;
    if (constant != 0) {
        // Summed in 64 bits: a constant near MAXULONG must not wrap to a
        // short time-out.
        LARGE_INTEGER due;
        due.QuadPart = (static_cast<LONGLONG>(constant) + 100) * -10000;
        KeSetTimer(&pdx->ReadTimer, due, &pdx->ReadTimeoutDpc);
    }
    return status;
}

// Called with SpinLock held, so that DispatchRead tries the buffer and
// holds the read in one hold. A refused or cancelled read comes back with
// its status set, for the caller to complete once the lock is released.
NTSTATUS EnqueueReadIrp(PDEVICE_EXTENSION pdx, PIRP Irp) {
    if (!IsListEmpty(&pdx->ReadIrpQueue)) {
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    InsertTailList(&pdx->ReadIrpQueue, &Irp->Tail.Overlay.ListEntry);
    Irp->IoStatus.Status = STATUS_PENDING;

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    IoSetCancelRoutine(Irp, ReadCancelRoutine);
    IoReleaseCancelSpinLock(cancelIrql);

    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        return STATUS_CANCELLED;
    }
    // Marked before the lock is released, so before ReadCancelRoutine (which
    // waits for the lock) can complete it.
    IoMarkIrpPending(Irp);
    return STATUS_PENDING;
}

PIRP DequeueReadIrp(PDEVICE_EXTENSION pdx) {
    return DequeueCancelableIrp(pdx, &pdx->ReadIrpQueue);
}

VOID CompletePendingReadIrps(PDEVICE_EXTENSION pdx, BOOLEAN TimedOut) {
    PIRP Irp;
    while ((Irp = DequeueReadIrp(pdx)) != nullptr) {
        ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
        if (NT_SUCCESS(ReadFromQueue(pdx, Irp->AssociatedIrp.SystemBuffer, &length))) {
            CompleteRequest(Irp, STATUS_SUCCESS, length);
            CountReceived(pdx, length);
        } else {
            CompleteRequest(Irp, TimedOut ? STATUS_IO_TIMEOUT : STATUS_SUCCESS, 0);
        }
    }
}

// A held read that is cancelled ends as a time-out, as the port's users expect.
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp) {
    UnlinkCancelledIrp(fdo, Irp);
    CompleteRequest(Irp, STATUS_IO_TIMEOUT, 0);
}
