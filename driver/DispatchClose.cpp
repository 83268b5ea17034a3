// Closing the port, and cleanup.
#include "stddcls.h"

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    InterlockedDecrement(&pdx->OpenCount);

    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    UTILReleaseRemoveLock(&pdx->RemoveLock, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    KeLowerIrql(irql);

    // From here on the reader completions stop re-submitting.
    LONG state = pdx->State;
    pdx->Closing = TRUE;
    if (IsRefusedState(state)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }

    setDTR_RTS(fdo, 0);
    CleanupAllPipes(fdo);

    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->ReceiveCount = 0;
    pdx->ReceiveWriteOffset = 0;
    pdx->ReceiveReadOffset = 0;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Cleanup cancels nothing: held reads and waits are left as they are.
NTSTATUS NTAPI ModemCleanup(PDEVICE_OBJECT fdo, PIRP Irp) {
    UNREFERENCED_PARAMETER(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}
