// The remove lock, the pending-action counter, synchronous URBs and pipe
// control.
#include "stddcls.h"

// ---------------------------------------------------------------------------
// Remove lock
// ---------------------------------------------------------------------------

VOID UTILInitializeRemoveLock(PREMOVE_LOCK Lock, ULONG Tag, ULONG MaxLockedMinutes, ULONG HighWatermark) {
    UNREFERENCED_PARAMETER(Tag);
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    UNREFERENCED_PARAMETER(HighWatermark);
    KeInitializeEvent(&Lock->RemoveEvent, NotificationEvent, FALSE);
    Lock->Removing = FALSE;
    Lock->Usage = 1;
}

// The increment comes before the test of Removing: an acquirer racing the
// start of removal either sees Removing and undoes itself, or is waited for.
NTSTATUS UTILAcquireRemoveLock(PREMOVE_LOCK Lock, PVOID Tag) {
    UNREFERENCED_PARAMETER(Tag);
    InterlockedIncrement(&Lock->Usage);
    if (!Lock->Removing) {
        return STATUS_SUCCESS;
    }
    if (InterlockedDecrement(&Lock->Usage) == 0) {
        KeSetEvent(&Lock->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
}

VOID UTILReleaseRemoveLock(PREMOVE_LOCK Lock, PVOID Tag) {
    UNREFERENCED_PARAMETER(Tag);
    if (InterlockedDecrement(&Lock->Usage) == 0) {
        KeSetEvent(&Lock->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID UTILReleaseRemoveLockAndWait(PREMOVE_LOCK Lock, PVOID Tag) {
    Lock->Removing = TRUE;
    UTILReleaseRemoveLock(Lock, Tag);
    UTILReleaseRemoveLock(Lock, nullptr);
    KeWaitForSingleObject(&Lock->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

// ---------------------------------------------------------------------------
// Pending-action counter: driver-originated transfers in flight
// ---------------------------------------------------------------------------

VOID IncrementPendingActionCount(PDEVICE_EXTENSION pdx) {
    InterlockedIncrement(&pdx->PendingActionCount);
}

// The count rests at 0; only the removal's extra decrement can take it
// below, so the event is set once nothing is in flight after removal began.
VOID DecrementPendingActionCount(PDEVICE_EXTENSION pdx) {
    if (InterlockedDecrement(&pdx->PendingActionCount) < 0) {
        KeSetEvent(&pdx->PendingActionEvent, IO_NO_INCREMENT, FALSE);
    }
}

// ---------------------------------------------------------------------------
// Synchronous URBs and pipe control
// ---------------------------------------------------------------------------

NTSTATUS SendAwaitUrb(PDEVICE_OBJECT fdo, PURB Urb) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdx->LowerDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Urb;
    NTSTATUS status = IoCallDriver(pdx->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

namespace {

NTSTATUS SendPipeRequest(PDEVICE_OBJECT fdo, USHORT function, USBD_PIPE_HANDLE Pipe) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(struct _URB_PIPE_REQUEST));
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = Pipe;
    return SendAwaitUrb(fdo, &urb);
}

}  // namespace

NTSTATUS AbortPipe(PDEVICE_OBJECT fdo, USBD_PIPE_HANDLE Pipe) {
    return SendPipeRequest(fdo, URB_FUNCTION_ABORT_PIPE, Pipe);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT fdo, USBD_PIPE_HANDLE Pipe) {
    return SendPipeRequest(fdo, URB_FUNCTION_RESET_PIPE, Pipe);
}

namespace {

// An abort that could not be sent for want of an IRP would leave a reader's
// transfer in flight past the close, and the next open would then start a
// second reader on the same URB: try again a few times.
const int ABORT_ATTEMPTS = 8;

VOID AbortPipeSurely(PDEVICE_OBJECT fdo, USBD_PIPE_HANDLE Pipe) {
    for (int attempt = 0; attempt < ABORT_ATTEMPTS; ++attempt) {
        if (AbortPipe(fdo, Pipe) != STATUS_INSUFFICIENT_RESOURCES) {
            return;
        }
    }
}

}  // namespace

// A failed reset is followed by the device-level step; the caller goes on
// with its transfer either way.
VOID ResetPipeOrDevice(PDEVICE_OBJECT fdo, USBD_PIPE_HANDLE Pipe) {
    if (!NT_SUCCESS(ResetPipe(fdo, Pipe))) {
        ResetDevice(fdo);
    }
}

// Pipe recovery: the next sender on a pipe whose transfer failed takes the
// error flag and resets the pipe first.
VOID RecoverPipeIfFailed(PDEVICE_EXTENSION pdx, LONG volatile* ErrorFlag, USBD_PIPE_HANDLE Pipe) {
    if (InterlockedExchange(ErrorFlag, 0) != 0) {
        ResetPipeOrDevice(pdx->DeviceObject, Pipe);
    }
}

VOID CleanupAllPipes(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    AbortPipeSurely(fdo, pdx->BulkInPipe);
    AbortPipeSurely(fdo, pdx->BulkOutPipe);
    AbortPipeSurely(fdo, pdx->InterruptPipe);
}

VOID ResetDevice(PDEVICE_OBJECT fdo) {
    UNREFERENCED_PARAMETER(fdo);
}

VOID NTAPI ResetDevice(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
}

// ---------------------------------------------------------------------------
// Wait-on-mask queue: at most one IOCTL_SERIAL_WAIT_ON_MASK, owned by
// whoever takes its cancel routine back
// ---------------------------------------------------------------------------

NTSTATUS EnqueueWaitIrp(PDEVICE_EXTENSION pdx, PIRP Irp) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    NTSTATUS status = EnqueueWaitIrpLocked(pdx, Irp);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return status;
}

// The same, for a caller that already holds SpinLock.
NTSTATUS EnqueueWaitIrpLocked(PDEVICE_EXTENSION pdx, PIRP Irp) {
    if (!IsListEmpty(&pdx->WaitIrpQueue)) {
        return STATUS_INVALID_PARAMETER;
    }
    return EnqueueCancelableIrpLocked(&pdx->WaitIrpQueue, Irp, WaitMaskCancelRoutine);
}

// Appends a request to a cancel-safe queue, under SpinLock. STATUS_PENDING:
// queued (or its cancel routine is on the way and completes it), and marked
// pending. STATUS_CANCELLED: cancelled before it was queued, not marked,
// its status set, for the caller to complete.
NTSTATUS EnqueueCancelableIrpLocked(PLIST_ENTRY queue, PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    InsertTailList(queue, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    return STATUS_PENDING;
}

// Takes the first request of a cancel-safe queue that can still be taken:
// one whose cancel routine this exchange gets back. A request whose cancel
// routine is already running is left to it, with its list entry pointing to
// itself so that the routine's unlink touches nothing. With a file object,
// only that file's requests are looked at.
PIRP DequeueCancelableIrpOfFile(PDEVICE_EXTENSION pdx, PLIST_ENTRY queue, PFILE_OBJECT file) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    PIRP taken = DequeueCancelableIrpLocked(queue, file);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return taken;
}

// The same, for a caller that already holds SpinLock.
PIRP DequeueCancelableIrpLocked(PLIST_ENTRY queue, PFILE_OBJECT file) {
    PLIST_ENTRY entry = queue->Flink;
    while (entry != queue) {
        PLIST_ENTRY next = entry->Flink;
        PIRP Irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (file == nullptr || IoGetCurrentIrpStackLocation(Irp)->FileObject == file) {
            RemoveEntryList(entry);
            if (IoSetCancelRoutine(Irp, nullptr) != nullptr) {
                return Irp;
            }
            InitializeListHead(entry);
        }
        entry = next;
    }
    return nullptr;
}

PIRP DequeueCancelableIrp(PDEVICE_EXTENSION pdx, PLIST_ENTRY queue) {
    return DequeueCancelableIrpOfFile(pdx, queue, nullptr);
}

PIRP DequeueWaitIrp(PDEVICE_EXTENSION pdx) {
    return DequeueCancelableIrp(pdx, &pdx->WaitIrpQueue);
}

VOID CompletePendingWaitIrps(PDEVICE_EXTENSION pdx, ULONG Events) {
    PIRP Irp = DequeueWaitIrp(pdx);
    if (Irp == nullptr) {
        return;
    }
    *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = Events;
    CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

// ---------------------------------------------------------------------------
// Event history: what the wait mask asked for and no wait has taken yet
// ---------------------------------------------------------------------------

// Under SpinLock: the events the mask selects join the history, whether or
// not a wait is pending. A queued wait takes the whole history in the same
// hold, so no event recorded meanwhile on another processor can be lost or
// reported twice. Returns that wait, its result written, for the caller to
// complete with CompleteWaitIrp once the lock is released; or NULL.
PIRP RecordSerialEventsLocked(PDEVICE_EXTENSION pdx, ULONG Events) {
    pdx->EventHistory |= Events & pdx->WaitMask;
    if (pdx->EventHistory == 0) {
        return nullptr;
    }
    PIRP Irp = DequeueCancelableIrpLocked(&pdx->WaitIrpQueue, nullptr);
    if (Irp != nullptr) {
        *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = pdx->EventHistory;
        pdx->EventHistory = 0;
    }
    return Irp;
}

VOID CompleteWaitIrp(PIRP Irp) {
    if (Irp != nullptr) {
        CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
    }
}

// The same for a caller that does not hold SpinLock.
VOID RecordSerialEvents(PDEVICE_EXTENSION pdx, ULONG Events) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    PIRP Irp = RecordSerialEventsLocked(pdx, Events);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    CompleteWaitIrp(Irp);
}

// The first steps of every cancel routine of the driver's queues: the
// cancel spin lock is let go at once, then the request leaves its queue
// under SpinLock. The caller completes it.
PDEVICE_EXTENSION UnlinkCancelledIrp(PDEVICE_OBJECT fdo, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return pdx;
}

VOID NTAPI WaitMaskCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp) {
    UnlinkCancelledIrp(fdo, Irp);
    CompleteRequest(Irp, STATUS_CANCELLED);
}
