// The receive engine and read requests.
//
// One bulk-in transfer of 1024 bytes stays in flight while the port is open;
// each completion appends to the linear 4096-byte receive buffer, raises the
// receive events, hands the bytes to the reads waiting for them and starts
// the next transfer, or stalls the engine at the high-water mark until a
// reader drains the buffer. A failed transfer is retried from a worker
// thread after a pipe reset, a bounded number of times.
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

VOID FreeTransferBuffer(PDEVICE_EXTENSION pdx) {
    if (pdx->ReadTransferBuffer != nullptr) {
        ExFreePool(pdx->ReadTransferBuffer);
        pdx->ReadTransferBuffer = nullptr;
    }
}

VOID ServePendingReads(PDEVICE_EXTENSION pdx);

// ---- receive recovery ------------------------------------------------------

// A failed bulk-in transfer is retried after these many milliseconds,
// doubled for each further failure in a row; after the last the engine
// gives up until a purge of the receive buffer or the next open.
const LONG RECEIVE_RETRY_LIMIT = 5;
const LONGLONG RECEIVE_RETRY_FIRST_DELAY_MS = 10;

// An abort (close, purge, removal) or a device that is gone is no failure
// to recover from.
BOOLEAN IsTransientFailure(NTSTATUS status) {
    return status != STATUS_CANCELLED && status != STATUS_DEVICE_NOT_CONNECTED &&
           status != STATUS_NO_SUCH_DEVICE && status != STATUS_DEVICE_REMOVED;
}

// A restart of the engine (after a failure, or by the read or purge that
// drained a stalled buffer) is counted as a reader transfer from the
// decision until the transfer is sent or refused, so that close and removal
// wait for it as they wait for the readers; and as a pending action, so
// that removal does.
VOID HoldReaderForRestartLocked(PDEVICE_EXTENSION pdx) {
    if (pdx->ReaderTransfers++ == 0) {
        KeClearEvent(&pdx->ReadersStoppedEvent);
    }
    IncrementPendingActionCount(pdx);
}

VOID ReleaseReaderForRestart(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (--pdx->ReaderTransfers == 0) {
        KeSetEvent(&pdx->ReadersStoppedEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    DecrementPendingActionCount(pdx);
}

// A stalled engine's restart, held by HoldReaderForRestartLocked in the
// hold that decided it; the hold goes once the transfer is sent or refused.
VOID RestartReceiveEngine(PDEVICE_EXTENSION pdx) {
    ReadBulkPipe(pdx, pdx->BulkInPipe);
    ReleaseReaderForRestart(pdx);
}

// From the failed transfer's completion: arm the back-off, or give up and
// tell a wait that asked for line errors.
VOID ScheduleReceiveRecovery(PDEVICE_EXTENSION pdx) {
    PIRP wait = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (!pdx->Closing) {
        LONG failures = ++pdx->ReceiveFailures;
        if (failures > RECEIVE_RETRY_LIMIT) {
            pdx->ReceiveGivenUp = TRUE;
            wait = RecordSerialEventsLocked(pdx, SERIAL_EV_ERR);
        } else {
            LARGE_INTEGER due;
            due.QuadPart = -(RECEIVE_RETRY_FIRST_DELAY_MS << (failures - 1)) * 10000;
            HoldReaderForRestartLocked(pdx);
            pdx->ReceiveRecoveryArmed = TRUE;
            KeSetTimer(&pdx->ReceiveRecoveryTimer, due, &pdx->ReceiveRecoveryDpc);
        }
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    CompleteWaitIrp(wait);
}

// At PASSIVE_LEVEL, with the device object referenced: ReadBulkPipe resets
// the pipe (its error flag is raised) and sends the next transfer, unless
// the port is closing meanwhile.
VOID NTAPI WorkItemCallbackRecoverReceive(PVOID Context) {
    auto* pdx = static_cast<PDEVICE_EXTENSION>(Context);
    PDEVICE_OBJECT fdo = pdx->DeviceObject;
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN closing = pdx->Closing;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (!closing) {
        ReadBulkPipe(pdx, pdx->BulkInPipe);
    }
    ReleaseReaderForRestart(pdx);
    ObDereferenceObject(fdo);
}

}  // namespace

VOID NTAPI ReceiveRecoveryDPC(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* pdx = static_cast<PDEVICE_EXTENSION>(Context);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN armed = pdx->ReceiveRecoveryArmed;
    pdx->ReceiveRecoveryArmed = FALSE;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (!armed) {
        return;  // CancelReceiveRecovery took it back
    }
    // The reset waits for the device, so it is made from a worker thread;
    // the work item keeps the device object referenced until it is done.
    ObReferenceObject(pdx->DeviceObject);
    ExInitializeWorkItem(&pdx->ReceiveRecoveryItem, WorkItemCallbackRecoverReceive, pdx);
    ExQueueWorkItem(&pdx->ReceiveRecoveryItem, DelayedWorkQueue);
}

// Cleanup and removal: a back-off still waiting is dropped, and with it the
// count that close and removal would wait for.
VOID CancelReceiveRecovery(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN taken = pdx->ReceiveRecoveryArmed && KeCancelTimer(&pdx->ReceiveRecoveryTimer);
    if (taken) {
        pdx->ReceiveRecoveryArmed = FALSE;
    }
    pdx->ReceiveFailures = 0;
    pdx->ReceiveGivenUp = FALSE;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (taken) {
        ReleaseReaderForRestart(pdx);
    }
}

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
        // The next transfer resets the pipe first; whether there is one is
        // the recovery's decision. Held reads stay held with their timers.
        InterlockedIncrement(&pdx->ReadPipeError);
        FreeTransferBuffer(pdx);
        if (IsTransientFailure(Irp->IoStatus.Status)) {
            ScheduleReceiveRecovery(pdx);
        }
    } else {
        ULONG received = pdx->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        RtlCopyMemory(pdx->ReceiveBuffer + pdx->ReceiveWriteOffset, pdx->ReadTransferBuffer, received);
        pdx->ReceiveWriteOffset += received;
        pdx->ReceiveCount += received;
        pdx->DeviceErrorCode = 0;
        pdx->ReceiveFailures = 0;
        ULONG events = RaiseReceiveEvents(pdx, TRUE);
        KeReleaseSpinLock(&pdx->SpinLock, irql);

        if (events != 0) {
            RecordSerialEvents(pdx, events);
        }
        ServePendingReads(pdx);
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

// What taking from the buffer leaves to do once SpinLock is released.
struct AFTER_TAKE {
    BOOLEAN RestartEngine;
    ULONG Events;
};

// ReadFromQueue's work under SpinLock, for callers that must decide more
// in the same hold. What it leaves to do is added to `after`.
NTSTATUS TakeFromBufferLocked(PDEVICE_EXTENSION pdx, PVOID Destination, PULONG Length, AFTER_TAKE* after) {
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
        HoldReaderForRestartLocked(pdx);
        after->RestartEngine = TRUE;
        return STATUS_SUCCESS;
    }
    // Still stalled: no transfer completion will raise the events, so this does.
    after->Events |= RaiseReceiveEvents(pdx, FALSE);
    return STATUS_SUCCESS;
}

// With SpinLock released: the restart or the events a take left to do.
VOID FinishTake(PDEVICE_EXTENSION pdx, const AFTER_TAKE& after) {
    if (after.RestartEngine) {
        RestartReceiveEngine(pdx);
    }
    if (after.Events != 0) {
        RecordSerialEvents(pdx, after.Events);
    }
}

}  // namespace

NTSTATUS ReadFromQueue(PDEVICE_EXTENSION pdx, PVOID Destination, PULONG Length) {
    AFTER_TAKE after = {FALSE, 0};
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    NTSTATUS status = TakeFromBufferLocked(pdx, Destination, Length, &after);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    FinishTake(pdx, after);
    return status;
}

// The received bytes nobody has read are dropped; an engine that is stalled,
// which no read would now restart, or that gave up after failed transfers,
// runs again.
VOID PurgeReceiveBuffer(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->ReceiveCount = 0;
    pdx->ReceiveReadOffset = 0;
    pdx->ReceiveWriteOffset = 0;
    BOOLEAN restart = (pdx->ReceiveStalled || pdx->ReceiveGivenUp) && !pdx->Closing;
    if (restart) {
        pdx->ReceiveStalled = FALSE;
        pdx->ReceiveGivenUp = FALSE;
        pdx->ReceiveFailures = 0;
        HoldReaderForRestartLocked(pdx);
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    if (restart) {
        RestartReceiveEngine(pdx);
    }
}

// ---------------------------------------------------------------------------
// Read requests
// ---------------------------------------------------------------------------
//
// Reads are served in the order they arrive: every read not yet ended waits
// in ReadIrpQueue, and the first one takes the bytes as they come, straight
// into its buffer, so a read partly filled keeps what it has. Each held read
// has a READ_CONTEXT with its own two timers.
//
// How a read is timed, from the SERIAL_TIMEOUTS in force when it arrives
// (I = ReadIntervalTimeout, M = ReadTotalTimeoutMultiplier,
// C = ReadTotalTimeoutConstant, all in ms; n = the bytes asked for):
//
//   I         M         C                the read
//   MAXULONG  0         0                returns at once with what is
//                                        buffered, possibly nothing
//   MAXULONG  MAXULONG  0 < C < MAXULONG returns at once if bytes are
//                                        buffered; otherwise with the first
//                                        bytes that arrive, or after C with none
//   0         0         0                waits until n bytes have arrived
//   any other combination                total time-out M * n + C, in 64 bits,
//                                        unless both M and C are 0; interval
//                                        time-out I between bytes, from the
//                                        first byte on, unless I is 0
//
// A read ends with STATUS_SUCCESS when it has its n bytes (or as the first
// two rows say), with STATUS_TIMEOUT and the bytes so far when a time-out
// expires, and with STATUS_CANCELLED and the bytes so far when it is
// cancelled, purged or ended by the cleanup of its file.
//
// Ownership: a queued read belongs to whoever takes its cancel routine back
// (or to its cancel routine). Its context counts one reference for the
// queue and one for each armed timer; the read completes, and its context
// goes, when the last is given up, so no timer or DPC outlives its read.

namespace {

const LONGLONG TICKS_PER_MS = 10000;
// A total time-out this long is as good as none; it keeps M * n + C, in
// 100 ns units, inside a LONGLONG.
const ULONGLONG LONGEST_TIMEOUT_MS = 0x7FFFFFFFFFFFFFFFULL / TICKS_PER_MS;

// The SERIAL_TIMEOUTS as one read applies them (the table above).
struct READ_TIMING {
    BOOLEAN ReturnAtOnce;
    BOOLEAN ReturnOnFirstBytes;
    ULONGLONG TotalMs;  // 0: no total time-out
    ULONG IntervalMs;   // 0: no interval time-out
};

READ_TIMING TimingOf(const SERIAL_TIMEOUTS& t, ULONG length) {
    READ_TIMING timing = {FALSE, FALSE, 0, 0};
    if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        timing.ReturnAtOnce = TRUE;
    } else if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXULONG) {
        timing.ReturnOnFirstBytes = TRUE;
        timing.TotalMs = t.ReadTotalTimeoutConstant;
    } else {
        timing.TotalMs = static_cast<ULONGLONG>(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
        timing.IntervalMs = t.ReadIntervalTimeout;
    }
    if (timing.TotalMs > LONGEST_TIMEOUT_MS) {
        timing.TotalMs = LONGEST_TIMEOUT_MS;
    }
    return timing;
}

inline PREAD_CONTEXT ReadContextOf(PIRP Irp) {
    return static_cast<PREAD_CONTEXT>(Irp->Tail.Overlay.DriverContext[0]);
}

inline PIRP FirstQueuedRead(PDEVICE_EXTENSION pdx) {
    if (IsListEmpty(&pdx->ReadIrpQueue)) {
        return nullptr;
    }
    return CONTAINING_RECORD(pdx->ReadIrpQueue.Flink, IRP, Tail.Overlay.ListEntry);
}

PREAD_CONTEXT AllocateReadContext(PDEVICE_EXTENSION pdx, PIRP Irp, ULONG length, const READ_TIMING& timing) {
    auto* context = static_cast<PREAD_CONTEXT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(READ_CONTEXT), QV_POOL_TAG));
    if (context == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(context, sizeof(READ_CONTEXT));
    KeInitializeTimer(&context->TotalTimer);
    KeInitializeDpc(&context->TotalDpc, ReadTimeoutDPC, context);
    KeInitializeTimer(&context->IntervalTimer);
    KeInitializeDpc(&context->IntervalDpc, ReadIntervalTimeoutDPC, context);
    context->DeviceExtension = pdx;
    context->Irp = Irp;
    context->Length = length;
    context->IntervalTicks = static_cast<LONGLONG>(timing.IntervalMs) * TICKS_PER_MS;
    context->ReturnOnFirstBytes = timing.ReturnOnFirstBytes;
    context->References = 1;  // the queue's
    return context;
}

VOID ArmTimerLocked(PREAD_CONTEXT context, PKTIMER timer, PKDPC dpc, BOOLEAN* armed, LONGLONG ticks) {
    LARGE_INTEGER due;
    due.QuadPart = -ticks;
    *armed = TRUE;
    ++context->References;
    KeSetTimer(timer, due, dpc);
}

// A timer still in the timer queue is taken back with its reference; one
// that has fired has its DPC on the way, which gives the reference up.
VOID StopReadTimersLocked(PREAD_CONTEXT context) {
    if (context->TotalArmed && KeCancelTimer(&context->TotalTimer)) {
        context->TotalArmed = FALSE;
        --context->References;
    }
    if (context->IntervalArmed && KeCancelTimer(&context->IntervalTimer)) {
        context->IntervalArmed = FALSE;
        --context->References;
    }
}

// Bytes came for this read: the interval time-out runs from now.
VOID NoteBytesLocked(PREAD_CONTEXT context) {
    if (context->IntervalTicks == 0) {
        return;
    }
    context->LastByteTime = KeQueryInterruptTime();
    if (!context->IntervalArmed) {
        ArmTimerLocked(context, &context->IntervalTimer, &context->IntervalDpc, &context->IntervalArmed,
                       context->IntervalTicks);
    }
}

// One reference given up; the last one puts the read on `ended`, to be
// completed once SpinLock is released.
VOID ReleaseReadLocked(PREAD_CONTEXT context, PLIST_ENTRY ended) {
    if (--context->References == 0) {
        InsertTailList(ended, &context->Irp->Tail.Overlay.ListEntry);
    }
}

// The read is out of the queue and owned by the caller: its status is final.
VOID FinishReadLocked(PREAD_CONTEXT context, NTSTATUS status, PLIST_ENTRY ended) {
    context->Ended = TRUE;
    context->Status = status;
    if (NT_SUCCESS(status)) {
        context->DeviceExtension->PerfStats.ReceivedCount += context->Copied;
    }
    StopReadTimersLocked(context);
    ReleaseReadLocked(context, ended);
}

// Ends a queued read unless its cancel routine already owns it; that one
// is taken out of the queue all the same (its list entry pointing to
// itself, so that the routine's unlink changes nothing) and ends there.
VOID EndReadLocked(PREAD_CONTEXT context, NTSTATUS status, PLIST_ENTRY ended) {
    PIRP Irp = context->Irp;
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(Irp, nullptr) == nullptr) {
        InitializeListHead(&Irp->Tail.Overlay.ListEntry);
        return;
    }
    FinishReadLocked(context, status, ended);
}

// The bytes in the buffer go to the reads in order. A read whose cancel is
// under way takes nothing: its cancel routine serves the ones after it.
VOID ServeReadsLocked(PDEVICE_EXTENSION pdx, PLIST_ENTRY ended, AFTER_TAKE* after) {
    PIRP Irp;
    while (pdx->ReceiveCount != 0 && (Irp = FirstQueuedRead(pdx)) != nullptr && !Irp->Cancel) {
        PREAD_CONTEXT context = ReadContextOf(Irp);
        ULONG taken = context->Length - context->Copied;
        TakeFromBufferLocked(pdx, static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer) + context->Copied, &taken,
                             after);
        context->Copied += taken;
        if (context->Copied < context->Length && !context->ReturnOnFirstBytes) {
            NoteBytesLocked(context);
            return;
        }
        EndReadLocked(context, STATUS_SUCCESS, ended);
    }
}

// With SpinLock released: the reads whose last reference went.
VOID CompleteEndedReads(PLIST_ENTRY ended) {
    while (!IsListEmpty(ended)) {
        PIRP Irp = CONTAINING_RECORD(RemoveHeadList(ended), IRP, Tail.Overlay.ListEntry);
        PREAD_CONTEXT context = ReadContextOf(Irp);
        NTSTATUS status = context->Status;
        ULONG copied = context->Copied;
        ExFreePool(context);
        CompleteRequest(Irp, status, copied);
    }
}

// A read that will end at once, whatever is in the buffer: it needs no context.
BOOLEAN EndsAtOnceLocked(PDEVICE_EXTENSION pdx, ULONG length, const READ_TIMING& timing) {
    if (timing.ReturnAtOnce) {
        return TRUE;
    }
    if (!IsListEmpty(&pdx->ReadIrpQueue)) {
        return FALSE;
    }
    return pdx->ReceiveCount >= length || (timing.ReturnOnFirstBytes && pdx->ReceiveCount != 0);
}

VOID ServePendingReadsAndFinish(PDEVICE_EXTENSION pdx, KIRQL irql, PLIST_ENTRY ended, AFTER_TAKE* after) {
    ServeReadsLocked(pdx, ended, after);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    CompleteEndedReads(ended);
    FinishTake(pdx, *after);
}

// From the receive engine, after it appended data.
VOID ServePendingReads(PDEVICE_EXTENSION pdx) {
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    AFTER_TAKE after = {FALSE, 0};
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    ServePendingReadsAndFinish(pdx, irql, &ended, &after);
}

}  // namespace

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    PREAD_CONTEXT context = nullptr;
    AFTER_TAKE after = {FALSE, 0};
    KIRQL irql;
    // Admission, the buffer and the queue are decided in one hold of
    // SpinLock, against the state that removal and cleanup set under it.
    // A read that must wait needs a context, allocated with the lock
    // released; then everything is decided again.
    for (;;) {
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        NTSTATUS refusal = RefusalStatusLocked(pdx, Irp);
        if (refusal != STATUS_SUCCESS || length == 0) {
            KeReleaseSpinLock(&pdx->SpinLock, irql);
            if (context != nullptr) {
                ExFreePool(context);
            }
            if (refusal == STATUS_DELETE_PENDING) {
                return CompleteRequest(Irp, STATUS_DELETE_PENDING);
            }
            return CompleteRequest(Irp, refusal, 0);
        }
        READ_TIMING timing = TimingOf(pdx->Timeouts, length);
        if (EndsAtOnceLocked(pdx, length, timing)) {
            ULONG taken = length;
            if (!IsListEmpty(&pdx->ReadIrpQueue) ||
                !NT_SUCCESS(TakeFromBufferLocked(pdx, Irp->AssociatedIrp.SystemBuffer, &taken, &after))) {
                taken = 0;  // the reads queued before it come first
            }
            pdx->PerfStats.ReceivedCount += taken;
            KeReleaseSpinLock(&pdx->SpinLock, irql);
            if (context != nullptr) {
                ExFreePool(context);
            }
            FinishTake(pdx, after);
            return CompleteRequest(Irp, STATUS_SUCCESS, taken);
        }
        if (context != nullptr) {
            NTSTATUS status = EnqueueReadIrp(pdx, Irp, context);
            if (status == STATUS_PENDING && timing.TotalMs != 0) {
                ArmTimerLocked(context, &context->TotalTimer, &context->TotalDpc, &context->TotalArmed,
                               static_cast<LONGLONG>(timing.TotalMs) * TICKS_PER_MS);
            }
            if (status == STATUS_PENDING) {
                LIST_ENTRY ended;
                InitializeListHead(&ended);
                ServePendingReadsAndFinish(pdx, irql, &ended, &after);
                return STATUS_PENDING;
            }
            KeReleaseSpinLock(&pdx->SpinLock, irql);
            ExFreePool(context);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);  // cancelled before it was queued, its status set
            return status;
        }
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        context = AllocateReadContext(pdx, Irp, length, timing);
        if (context == nullptr) {
            return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
    }
}

// Called with SpinLock held. STATUS_PENDING: queued behind the reads
// before it and marked pending. STATUS_CANCELLED: cancelled before it was
// queued, its status set, for the caller to complete once the lock is
// released.
NTSTATUS EnqueueReadIrp(PDEVICE_EXTENSION pdx, PIRP Irp, PREAD_CONTEXT Context) {
    Irp->Tail.Overlay.DriverContext[0] = Context;
    Irp->IoStatus.Status = STATUS_PENDING;
    Irp->IoStatus.Information = 0;
    return EnqueueCancelableIrpLocked(&pdx->ReadIrpQueue, Irp, ReadCancelRoutine);
}

// Purge, cleanup (the reads of one file) and removal (all of them).
VOID CompletePendingReadIrps(PDEVICE_EXTENSION pdx, NTSTATUS Status, PFILE_OBJECT File) {
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    AFTER_TAKE after = {FALSE, 0};
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    PLIST_ENTRY entry = pdx->ReadIrpQueue.Flink;
    while (entry != &pdx->ReadIrpQueue) {
        PLIST_ENTRY next = entry->Flink;
        PIRP Irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (File == nullptr || IoGetCurrentIrpStackLocation(Irp)->FileObject == File) {
            EndReadLocked(ReadContextOf(Irp), Status, &ended);
        }
        entry = next;
    }
    ServePendingReadsAndFinish(pdx, irql, &ended, &after);
}

VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    AFTER_TAKE after = {FALSE, 0};
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    FinishReadLocked(ReadContextOf(Irp), STATUS_CANCELLED, &ended);
    ServePendingReadsAndFinish(pdx, irql, &ended, &after);
}

// From the DPC of one of the read's timers. The interval timer fires at the
// interval after the bytes that armed it; bytes that came since push the
// time-out further, and the timer is armed again for the rest.
VOID ReadTimerExpired(PREAD_CONTEXT Context, BOOLEAN Interval) {
    PDEVICE_EXTENSION pdx = Context->DeviceExtension;
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    AFTER_TAKE after = {FALSE, 0};
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (Interval) {
        Context->IntervalArmed = FALSE;
    } else {
        Context->TotalArmed = FALSE;
    }
    if (!Context->Ended && Interval) {
        LONGLONG quiet = static_cast<LONGLONG>(KeQueryInterruptTime() - Context->LastByteTime);
        if (quiet < Context->IntervalTicks) {
            // The timer's reference stays with the timer.
            LARGE_INTEGER due;
            due.QuadPart = -(Context->IntervalTicks - quiet);
            Context->IntervalArmed = TRUE;
            KeSetTimer(&Context->IntervalTimer, due, &Context->IntervalDpc);
            KeReleaseSpinLock(&pdx->SpinLock, irql);
            return;
        }
    }
    if (!Context->Ended) {
        EndReadLocked(Context, STATUS_TIMEOUT, &ended);
    }
    ReleaseReadLocked(Context, &ended);  // the timer's reference
    ServePendingReadsAndFinish(pdx, irql, &ended, &after);
}
