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

// Gives back what an admitted write holds.
VOID EndWrite(PDEVICE_EXTENSION pdx, PIRP Irp, PRWCONTEXT context) {
    if (context != nullptr) {
        ExFreePool(context);
    }
    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
    DecrementPendingActionCount(pdx);
}

// A queued write keeps its context in the IRP until its turn comes.
inline PRWCONTEXT ContextOf(PIRP Irp) {
    return static_cast<PRWCONTEXT>(Irp->Tail.Overlay.DriverContext[0]);
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

BOOLEAN WriteWasAborted(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN aborted = pdx->WriteAborted;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return aborted;
}

VOID StartNextWrite(PDEVICE_EXTENSION pdx);

// A purge ended the write on the wire between two of its chunks: it ends
// as a cancelled chunk would, with the bytes already sent.
VOID OnWriteAborted(PDEVICE_EXTENSION pdx, PIRP Irp, PRWCONTEXT context) {
    StartNextWrite(pdx);
    CompleteRequest(Irp, STATUS_CANCELLED, context->BytesTransferred);
    EndWrite(pdx, Irp, context);
}

// The next write's turn: it may have to reset the pipe first, which waits,
// so it is started from a worker thread. Only one write is started at a
// time, so the device's one work item serves them all; the write holds the
// device until it ends.
VOID NTAPI WorkItemCallbackStartWrite(PVOID Context) {
    auto* pdx = static_cast<PDEVICE_EXTENSION>(Context);
    PIRP Irp = pdx->WriteToStart;
    PRWCONTEXT context = ContextOf(Irp);
    if (WriteWasAborted(pdx)) {
        OnWriteAborted(pdx, Irp, context);
        return;
    }
    RecoverPipeIfFailed(pdx, &pdx->WritePipeError, pdx->BulkOutPipe);
    SendFirstChunk(pdx, Irp, context);
}

// The write on the wire has ended: the next one admitted takes its turn,
// or the wire is free. Called before the ended write gives back its holds.
VOID StartNextWrite(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->WriteAborted = FALSE;  // a purge ends only the writes it found
    PIRP next = DequeueCancelableIrpLocked(&pdx->WriteIrpQueue, nullptr);
    PIRP wait = nullptr;
    if (next == nullptr) {
        pdx->WriteActive = FALSE;
        wait = RecordSerialEventsLocked(pdx, SERIAL_EV_TXEMPTY);  // the last byte queued is sent
    } else {
        pdx->WriteToStart = next;
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    CompleteWaitIrp(wait);
    if (next != nullptr) {
        ExInitializeWorkItem(&pdx->WriteStartItem, WorkItemCallbackStartWrite, pdx);
        ExQueueWorkItem(&pdx->WriteStartItem, DelayedWorkQueue);
    }
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
    if (IsRefusedState(pdx->State)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    IncrementPendingActionCount(pdx);
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
    context->NextBuffer = data + chunk;
    context->BytesRemaining = length - chunk;
    context->BytesTransferred = 0;

    // Writes reach the wire one at a time, in the order they were admitted:
    // the chunks of two writes must not interleave.
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
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
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return SendFirstChunk(pdx, Irp, context);
}

// A write cancelled while it waits for its turn has sent nothing.
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = UnlinkCancelledIrp(fdo, Irp);
    PRWCONTEXT context = ContextOf(Irp);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    EndWrite(pdx, Irp, context);
}

// PURGE_TXABORT: the writes waiting for their turn end with nothing sent;
// the one on the wire sends no further chunk, and the chunk in flight is
// aborted, so it ends with the bytes it had sent.
VOID AbortWrites(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    CompleteQueuedWrites(pdx, STATUS_CANCELLED);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN active = pdx->WriteActive;
    pdx->WriteAborted = active;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (active) {
        AbortPipe(fdo, pdx->BulkOutPipe);
    }
}

// Ends every write still waiting for its turn, with nothing sent.
VOID CompleteQueuedWrites(PDEVICE_EXTENSION pdx, NTSTATUS Status) {
    PIRP Irp;
    while ((Irp = DequeueCancelableIrp(pdx, &pdx->WriteIrpQueue)) != nullptr) {
        PRWCONTEXT context = ContextOf(Irp);
        CompleteRequest(Irp, Status, 0);
        EndWrite(pdx, Irp, context);
    }
}

NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    auto* context = static_cast<PRWCONTEXT>(Context);
    context->BytesTransferred += context->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    NTSTATUS result = Irp->IoStatus.Status;

    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        if (Irp->IoStatus.Status == STATUS_CANCELLED) {
            Irp->IoStatus.Information = context->BytesTransferred;
        } else {
            Irp->IoStatus.Information = 0;
            InterlockedIncrement(&pdx->WritePipeError);  // the next write resets the pipe first
        }
        result = STATUS_SUCCESS;
    } else if (context->BytesRemaining != 0 && WriteWasAborted(pdx)) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = context->BytesTransferred;
        result = STATUS_SUCCESS;
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
    StartNextWrite(pdx);
    EndWrite(pdx, Irp, context);
    return result;
}
