// Opening the port: the handle's remove-lock hold, pipe resets and the start
// of the serial emulation.
#include "stddcls.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    if (IsRefusedState(pdx->State)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    // The interrupt pipe failed (or an open before the first start found no
    // pipe): this open runs the recovery, since nothing else would while
    // the port is closed, and is refused only while the device keeps failing.
    if (pdx->DeviceErrorCode == DEVICE_ERROR_STATUS_PIPE_FAILED) {
        if (!NT_SUCCESS(ResetPipe(fdo, pdx->InterruptPipe))) {
            ResetDevice(fdo);
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        InterlockedExchange(&pdx->DeviceErrorCode, 0);
    }
    // The hold lasts for the life of the handle; DispatchClose gives it back.
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, file);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    // One open at a time, whichever name it came by: the exclusive flag
    // guards only the device's own name, not its interface (which leads to
    // the PDO), and a second open would restart the emulation under the
    // first handle.
    if (InterlockedIncrement(&pdx->OpenCount) != 1) {
        InterlockedDecrement(&pdx->OpenCount);
        UTILReleaseRemoveLock(&pdx->RemoveLock, file);
        return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
    }
    // Cleanup and close of any other file (a create refused here still gets
    // a close under some I/O managers) must leave this open alone.
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->OpenFileObject = file;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    InitializeListHead(&pdx->ReadIrpQueue);

    ResetPipeOrDevice(fdo, pdx->BulkInPipe);
    ResetPipeOrDevice(fdo, pdx->BulkOutPipe);
    ResetPipeOrDevice(fdo, pdx->InterruptPipe);

    InitializeSerEmulVariables(pdx);
    return CompleteRequest(Irp, status, 0);
}
