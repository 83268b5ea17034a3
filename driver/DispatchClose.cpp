// Closing the port, and cleanup.
#include "stddcls.h"

namespace {

// Whether this request's file is the one whose create opened the port.
// When it is and giveUp is set, the open ends in the same hold.
BOOLEAN TakeOpenOfFile(PDEVICE_EXTENSION pdx, PFILE_OBJECT file, BOOLEAN giveUp) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN ours = file != nullptr && file == pdx->OpenFileObject;
    if (ours && giveUp) {
        pdx->OpenFileObject = nullptr;
        pdx->Closing = TRUE;  // from here on the readers send no further transfer
    }
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return ours;
}

}  // namespace

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    // The close of a file whose create was refused: it holds nothing.
    LONG state = pdx->State;
    if (!TakeOpenOfFile(pdx, file, TRUE)) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    if (IsRefusedState(state)) {
        // Nothing may be sent to a device that is going away, but the readers
        // stop all the same: a cancelled removal lets the port be opened
        // again, and that open must find both readers stopped.
        StopReaders(pdx);
        status = STATUS_DELETE_PENDING;
    } else {
        setDTR_RTS(fdo, 0);
        CleanupAllPipes(fdo);
        // Whatever the aborts did not end (an abort with no IRP to carry
        // it) is cancelled, and both readers are waited for.
        StopReaders(pdx);
        KeAcquireSpinLock(&pdx->SpinLock, &irql);
        pdx->ReceiveCount = 0;
        pdx->ReceiveWriteOffset = 0;
        pdx->ReceiveReadOffset = 0;
        KeReleaseSpinLock(&pdx->SpinLock, irql);
    }

    // The handle's bookkeeping goes last: until its remove-lock hold is given
    // back the device cannot be deleted under this routine, and until
    // OpenCount drops no open can start readers beside the ones stopped here.
    InterlockedDecrement(&pdx->OpenCount);
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    UTILReleaseRemoveLock(&pdx->RemoveLock, file);
    KeLowerIrql(irql);
    if (status == STATUS_DELETE_PENDING) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Cleanup ends every request of the file, as the I/O manager expects of an
// exclusive device: IRP_MJ_CLOSE comes only once all of them have ended, and
// until then the port stays open (DTR up) and cannot be opened again. Reads,
// the wait, queued writes and flushes end cancelled; the write on the wire
// has its chunk cancelled and ends with the bytes already sent. The file is
// marked first, under SpinLock, so that a request of it arriving later is
// refused rather than held.
NTSTATUS NTAPI ModemCleanup(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    // Not the open's file: complete with success and touch nothing.
    if (!TakeOpenOfFile(pdx, file, FALSE)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    file->FsContext2 = pdx;  // see IsCleanedUpFile
    KeReleaseSpinLock(&pdx->SpinLock, irql);

    CompletePendingReadIrps(pdx, STATUS_CANCELLED, file);
    PIRP held;
    while ((held = DequeueCancelableIrpOfFile(pdx, &pdx->WaitIrpQueue, file)) != nullptr) {
        CompleteRequest(held, STATUS_CANCELLED, 0);
    }
    AbortWrites(fdo, file);
    CancelReceiveRecovery(pdx);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}
