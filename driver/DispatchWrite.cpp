// The transmit path: a write goes down the bulk-out pipe in chunks of at
// most 4096 bytes, all carried by the caller's own IRP, one after another
// from the completion routine. Writes go out one at a time, in the order
// they were admitted; the others wait in a cancel-safe queue.
#include "stddcls.h"

namespace {

// The next stack location of the write IRP, for every chunk.
VOID SetUpChunk(PDEVICE_EXTENSION pdx, PIRP Irp, PRWCONTEXT context) {
    UNREFERENCED_PARAMETER(pdx);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = &context->Urb;
    IoSetCompletionRoutine(Irp, OnWriteComplete, context, TRUE, TRUE, TRUE);
}

// Gives back what an admitted write (or flush, which has no context) holds.
// What the write did not send leaves the output-queue count.
VOID EndWrite(PDEVICE_EXTENSION pdx, PIRP Irp, PRWCONTEXT context) {
    if (context != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        pdx->OutQueueBytes -= context->Length - context->BytesTransferred;
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        ExFreePool(context);
    }
    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
    DecrementPendingActionCount(pdx);
}

// A queued write keeps its context in the IRP until its turn comes; a
// queued flush has none.
inline PRWCONTEXT ContextOf(PIRP Irp) {
    return static_cast<PRWCONTEXT>(Irp->Tail.Overlay.DriverContext[0]);
}

inline BOOLEAN IsFlush(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
}

NTSTATUS SendFirstChunk(PDEVICE_EXTENSION pdx, PIRP Irp, PRWCONTEXT context) {
    SetUpChunk(pdx, Irp, context);
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    // A failure, even at once, ends the request in OnWriteComplete, which
    // raises WritePipeError: the next write resets the pipe before it sends.
    IoCallDriver(pdx->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}

// The bytes a chunk sent leave the output-queue count. TRUE: the write on
// the wire was aborted (by a purge or a cleanup) and sends no further chunk.
BOOLEAN CountSentAndTestAborted(PDEVICE_EXTENSION pdx, ULONG sent) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->OutQueueBytes -= sent;
    BOOLEAN aborted = pdx->WriteAborted;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return aborted;
}

VOID StartNextWrite(PDEVICE_EXTENSION pdx, PLIST_ENTRY flushes);

// Flushes end after the writes before them have completed.
VOID CompleteFlushes(PDEVICE_EXTENSION pdx, PLIST_ENTRY flushes) {
    while (!IsListEmpty(flushes)) {
        PIRP flush = CONTAINING_RECORD(RemoveHeadList(flushes), IRP, Tail.Overlay.ListEntry);
        CompleteRequest(flush, STATUS_SUCCESS, 0);
        EndWrite(pdx, flush, nullptr);
    }
}

// The write on the wire has ended, its status set: it leaves the wire, and
// what it did not send leaves the output-queue count. TRUE: a canceller
// still holds the IRP, and the last canceller frees its context and
// finishes it (FinishWrite).
BOOLEAN EndWriteOnWire(PDEVICE_EXTENSION pdx, PRWCONTEXT context) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->WriteOnWire = nullptr;
    pdx->WriteOnWireContext = nullptr;
    pdx->OutQueueBytes -= context->Length - context->BytesTransferred;
    BOOLEAN held = context->CancelHolds != 0;
    context->EndedWhileHeld = held;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (!held) {
        ExFreePool(context);
    }
    return held;
}

// Completes the ended write and only then hands the wire on: until the
// hand-over the wire is not idle, so a flush sent meanwhile waits, and the
// flushes queued behind the write end after it. The write holds the device
// until the hand-over is done.
VOID FinishWrite(PDEVICE_EXTENSION pdx, PIRP Irp) {
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    LIST_ENTRY flushes;
    InitializeListHead(&flushes);
    StartNextWrite(pdx, &flushes);
    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
    DecrementPendingActionCount(pdx);
    CompleteFlushes(pdx, &flushes);
}

// Puts a write on the wire, under SpinLock.
inline VOID PutOnTheWireLocked(PDEVICE_EXTENSION pdx, PIRP Irp, PRWCONTEXT context) {
    pdx->WriteOnWire = Irp;
    pdx->WriteOnWireContext = context;
}

// A purge or cleanup ended the write on the wire before one of its chunks
// was sent: it ends as a cancelled chunk would, with the bytes already sent.
VOID OnWriteAborted(PDEVICE_EXTENSION pdx, PIRP Irp, PRWCONTEXT context) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = context->BytesTransferred;
    if (!EndWriteOnWire(pdx, context)) {
        FinishWrite(pdx, Irp);
    }
}

// The next write's turn: it may have to reset the pipe first, which waits,
// so it is started from a worker thread. Only one write is started at a
// time, so the device's one work item serves them all; the write holds the
// device until it ends.
VOID NTAPI WorkItemCallbackStartWrite(PVOID Context) {
    auto* pdx = static_cast<PDEVICE_EXTENSION>(Context);
    PIRP Irp = pdx->WriteToStart;
    PRWCONTEXT context = ContextOf(Irp);
    if (CountSentAndTestAborted(pdx, 0)) {
        OnWriteAborted(pdx, Irp, context);
        return;
    }
    RecoverPipeIfFailed(pdx, &pdx->WritePipeError, pdx->BulkOutPipe);
    SendFirstChunk(pdx, Irp, context);
}

// The write on the wire has ended: flushes queued behind it end, and the
// next write admitted takes its turn, or the wire is idle. Called before
// the ended write gives back its holds.
VOID StartNextWrite(PDEVICE_EXTENSION pdx, PLIST_ENTRY flushes) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->WriteAborted = FALSE;  // a purge ends only the writes it found
    PIRP next;
    while ((next = DequeueCancelableIrpLocked(&pdx->WriteIrpQueue, nullptr)) != nullptr && IsFlush(next)) {
        InsertTailList(flushes, &next->Tail.Overlay.ListEntry);
    }
    PIRP wait = nullptr;
    if (next == nullptr) {
        // The wire is idle.
        pdx->WriteActive = FALSE;
        wait = RecordSerialEventsLocked(pdx, SERIAL_EV_TXEMPTY);  // the last byte queued is sent
    } else {
        pdx->WriteToStart = next;
        PutOnTheWireLocked(pdx, next, ContextOf(next));
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    CompleteWaitIrp(wait);
    if (next != nullptr) {
        ExInitializeWorkItem(&pdx->WriteStartItem, WorkItemCallbackStartWrite, pdx);
        ExQueueWorkItem(&pdx->WriteStartItem, DelayedWorkQueue);
    }
}

// Writes and flushes hold the remove lock and a pending-action count from
// admission to their end.
NTSTATUS AdmitToTransmitPath(PDEVICE_EXTENSION pdx, PIRP Irp) {
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, Irp);
    if (NT_SUCCESS(status)) {
        IncrementPendingActionCount(pdx);
    }
    return status;
}

// Ends a request refused at admission, under SpinLock: the lock is released.
NTSTATUS RefuseLocked(PDEVICE_EXTENSION pdx, KIRQL irql, PIRP Irp, PRWCONTEXT context, NTSTATUS refusal) {
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (refusal == STATUS_DELETE_PENDING) {
        CompleteRequest(Irp, STATUS_DELETE_PENDING);
    } else {
        CompleteRequest(Irp, refusal, 0);
    }
    EndWrite(pdx, Irp, context);
    return refusal;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT fdo, PIRP Irp) {
    return DeferToPassiveLevel(fdo, Irp, WorkItemCallbackDispatchWrite, PassiveDispatchWrite);
}

VOID NTAPI WorkItemCallbackDispatchWrite(PVOID Context) {
    RunDeferredRequest(static_cast<PRANDOM_JUNK>(Context), PassiveDispatchWrite);
}

NTSTATUS PassiveDispatchWrite(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    // A first look, before anything is sent or allocated; the decision is
    // made again under SpinLock below.
    if (IsRefusedState(pdx->State)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    NTSTATUS status = AdmitToTransmitPath(pdx, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    RecoverPipeIfFailed(pdx, &pdx->WritePipeError, pdx->BulkOutPipe);
    auto* context = static_cast<PRWCONTEXT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(RWCONTEXT), QV_POOL_TAG));
    if (context == nullptr) {
        EndWrite(pdx, Irp, nullptr);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(context, sizeof(RWCONTEXT));
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    if (length == 0) {
        EndWrite(pdx, Irp, context);
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    ULONG chunk = length < WRITE_CHUNK_SIZE ? length : WRITE_CHUNK_SIZE;
    auto* data = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    UsbBuildInterruptOrBulkTransferRequest(&context->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pdx->BulkOutPipe, data, nullptr, chunk, 0, nullptr);
    context->Length = length;
    context->NextBuffer = data + chunk;
    context->BytesRemaining = length - chunk;
    context->BytesTransferred = 0;

    // Writes reach the wire one at a time, in the order they were admitted:
    // the chunks of two writes must not interleave.
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    NTSTATUS refusal = RefusalStatusLocked(pdx, Irp);
    if (refusal != STATUS_SUCCESS) {
        context->Length = 0;  // never counted in the output queue
        return RefuseLocked(pdx, irql, Irp, context, refusal);
    }
    pdx->OutQueueBytes += length;
    if (pdx->WriteActive) {
        Irp->Tail.Overlay.DriverContext[0] = context;
        status = EnqueueCancelableIrpLocked(&pdx->WriteIrpQueue, Irp, WriteCancelRoutine);
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        if (status == STATUS_CANCELLED) {
            CompleteRequest(Irp, STATUS_CANCELLED, 0);
            EndWrite(pdx, Irp, context);
        }
        return status;
    }
    pdx->WriteActive = TRUE;
    PutOnTheWireLocked(pdx, Irp, context);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return SendFirstChunk(pdx, Irp, context);
}

// IRP_MJ_FLUSH_BUFFERS: there is no transmit buffer, so a flush ends once
// every write admitted before it has ended. It waits in the write queue
// behind them, cancel-safe like them.
NTSTATUS NTAPI DispatchFlushBuffers(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    NTSTATUS status = AdmitToTransmitPath(pdx, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    NTSTATUS refusal = RefusalStatusLocked(pdx, Irp);
    if (refusal != STATUS_SUCCESS) {
        return RefuseLocked(pdx, irql, Irp, nullptr, refusal);
    }
    if (!pdx->WriteActive) {
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        CompleteRequest(Irp, STATUS_SUCCESS, 0);
        EndWrite(pdx, Irp, nullptr);
        return STATUS_SUCCESS;
    }
    Irp->Tail.Overlay.DriverContext[0] = nullptr;
    status = EnqueueCancelableIrpLocked(&pdx->WriteIrpQueue, Irp, WriteCancelRoutine);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (status == STATUS_CANCELLED) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
        EndWrite(pdx, Irp, nullptr);
    }
    return status;
}

// A write (or flush) cancelled while it waits for its turn has sent nothing.
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = UnlinkCancelledIrp(fdo, Irp);
    PRWCONTEXT context = ContextOf(Irp);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    EndWrite(pdx, Irp, context);
}

// PURGE_TXABORT (all writes) and cleanup (the writes of one file): the
// writes and flushes waiting for their turn end with nothing sent; the
// write on the wire sends no further chunk, and its chunk in flight is
// cancelled, so it ends with the bytes it had sent. The device is
// exclusive, so the write on the wire is the cleaned-up file's. The write
// is held while it is cancelled, so that it cannot complete and go under
// IoCancelIrp; if it ends meanwhile, the last holder completes it.
VOID AbortWrites(PDEVICE_OBJECT fdo, PFILE_OBJECT File) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    CompleteQueuedWrites(pdx, STATUS_CANCELLED, File);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->WriteAborted = pdx->WriteActive;
    PIRP onWire = pdx->WriteOnWire;
    PRWCONTEXT context = pdx->WriteOnWireContext;
    if (onWire != nullptr) {
        ++context->CancelHolds;
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (onWire == nullptr) {
        return;
    }
    IoCancelIrp(onWire);
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN complete = --context->CancelHolds == 0 && context->EndedWhileHeld;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (complete) {
        ExFreePool(context);
        FinishWrite(pdx, onWire);
    }
}

// Ends every write and flush still waiting for its turn (of one file, or
// all of them), with nothing sent.
VOID CompleteQueuedWrites(PDEVICE_EXTENSION pdx, NTSTATUS Status, PFILE_OBJECT File) {
    PIRP Irp;
    while ((Irp = DequeueCancelableIrpOfFile(pdx, &pdx->WriteIrpQueue, File)) != nullptr) {
        PRWCONTEXT context = ContextOf(Irp);
        CompleteRequest(Irp, Status, 0);
        EndWrite(pdx, Irp, context);
    }
}

NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    auto* context = static_cast<PRWCONTEXT>(Context);
    ULONG sent = context->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    context->BytesTransferred += sent;
    BOOLEAN aborted = CountSentAndTestAborted(pdx, sent);

    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        if (Irp->IoStatus.Status == STATUS_CANCELLED) {
            Irp->IoStatus.Information = context->BytesTransferred;
        } else {
            Irp->IoStatus.Information = 0;
            InterlockedIncrement(&pdx->WritePipeError);  // the next write resets the pipe first
        }
    } else if (context->BytesRemaining != 0 && aborted) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = context->BytesTransferred;
    } else if (context->BytesRemaining != 0) {
        ULONG chunk = context->BytesRemaining < WRITE_CHUNK_SIZE ? context->BytesRemaining : WRITE_CHUNK_SIZE;
        context->Urb.UrbBulkOrInterruptTransfer.TransferBuffer = context->NextBuffer;
        context->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength = chunk;
        context->NextBuffer += chunk;
        context->BytesRemaining -= chunk;
        SetUpChunk(pdx, Irp, context);
        IoCallDriver(pdx->LowerDeviceObject, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    } else {
        Irp->IoStatus.Information = context->BytesTransferred;
        KIRQL irql;
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        pdx->PerfStats.TransmittedCount += context->BytesTransferred;
        KeReleaseSpinLock(&pdx->SpinLock, irql);
    }
    // The write completes here, from its own completion routine, so that the
    // flushes behind it end after it.
    if (!EndWriteOnWire(pdx, context)) {
        FinishWrite(pdx, Irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}
