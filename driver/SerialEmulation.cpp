// The serial emulation: its start at every open, and asynchronous URBs.
#include "stddcls.h"

NTSTATUS SubmitUrb(PDEVICE_OBJECT TargetDevice, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context) {
    PIRP Irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    return IoCallDriver(TargetDevice, Irp);
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
    // The status reader and the receive engine start here once they exist.
}
