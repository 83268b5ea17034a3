// The child's internal requests: URBs and the other USB client requests go
// to the USB device below the parent. A URB must name one of the child's
// three pipes or the default pipe; the configuration belongs to the parent.
//
// The child publishes each pipe as a 32-bit value. Where the stack's handle
// fits (32-bit Windows), the value is the handle and nothing is rewritten.
// Where it does not (64-bit Windows, where handles are pointers), the value
// is a token for the pipe: a URB naming it goes down with the stack's
// handle, and gets the token back on completion. The values are fixed at the
// first configuration, so they stay good across a stop and a restart.
#include "busdcls.h"

namespace {

const ULONG PIPE_TOKEN_BASE = 0x51420001;  // 'QB' and the pipe's role

// Where the URB names a pipe. Sets *defaultPipe for requests that go to
// endpoint 0; returns FALSE for a request the child may not make.
BOOLEAN PipeHandleField(PURB urb, USBD_PIPE_HANDLE** field, BOOLEAN* defaultPipe) {
    *field = nullptr;
    *defaultPipe = FALSE;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        *field = &urb->UrbBulkOrInterruptTransfer.PipeHandle;
        return urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        *field = &urb->UrbPipeRequest.PipeHandle;
        return urb->UrbHeader.Length >= sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_CONTROL_TRANSFER:
        if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_TRANSFER)) {
            return FALSE;
        }
        if (urb->UrbControlTransfer.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) {
            *defaultPipe = TRUE;
            return TRUE;
        }
        *field = &urb->UrbControlTransfer.PipeHandle;
        return TRUE;
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_GET_CONFIGURATION:
    case URB_FUNCTION_GET_INTERFACE:
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        *defaultPipe = TRUE;
        return TRUE;
    default:
        return FALSE;  // selecting configurations and interfaces is the parent's business
    }
}

// The role of the pipe a published value names, or PipeRoleCount.
ULONG RoleOfPublished(PFDO_EXTENSION fdx, USBD_PIPE_HANDLE handle) {
    for (ULONG role = 0; role < PipeRoleCount; ++role) {
        if (fdx->Published[role] != 0 && handle == reinterpret_cast<USBD_PIPE_HANDLE>(
                                                        static_cast<ULONG_PTR>(fdx->Published[role]))) {
            return role;
        }
    }
    return PipeRoleCount;
}

USBD_PIPE_HANDLE PublishedHandle(PFDO_EXTENSION fdx, ULONG role) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(fdx->Published[role]));
}

// Checks the URB and, under the spin lock, puts the stack's handle in it.
// Returns what to tell the child when the URB is refused.
NTSTATUS PrepareUrb(PFDO_EXTENSION fdx, PURB urb) {
    USBD_PIPE_HANDLE* field;
    BOOLEAN defaultPipe;
    if (urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!PipeHandleField(urb, &field, &defaultPipe)) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    KeAcquireSpinLock(&fdx->SpinLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (fdx->State != BusStarted) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        status = fdx->State == BusStopped ? STATUS_DEVICE_NOT_READY : STATUS_DELETE_PENDING;
    } else if (!defaultPipe) {
        ULONG role = RoleOfPublished(fdx, *field);
        if (role == PipeRoleCount) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
            status = STATUS_INVALID_PARAMETER;
        } else {
            *field = fdx->Pipes[role];
        }
    }
    KeReleaseSpinLock(&fdx->SpinLock, irql);
    return status;
}

// Gives a URB back the published value of the pipe it named.
VOID RestoreUrb(PFDO_EXTENSION fdx, PURB urb) {
    USBD_PIPE_HANDLE* field;
    BOOLEAN defaultPipe;
    if (!PipeHandleField(urb, &field, &defaultPipe) || field == nullptr) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&fdx->SpinLock, &irql);
    for (ULONG role = 0; role < PipeRoleCount; ++role) {
        if (*field == fdx->Pipes[role]) {
            *field = PublishedHandle(fdx, role);
            break;
        }
    }
    KeReleaseSpinLock(&fdx->SpinLock, irql);
}

NTSTATUS NTAPI OnChildUrbComplete(PDEVICE_OBJECT pdo, PIRP Irp, PVOID Context) {
    PFDO_EXTENSION fdx = FdoExtensionOf(PdoExtensionOf(pdo)->Fdo);
    if (Context != nullptr) {
        RestoreUrb(fdx, static_cast<PURB>(Context));
    }
    ReleaseBusRemoveLock(&fdx->RemoveLock);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

}  // namespace

// Records the stack's handles of a new configuration (NULL handles when the
// device is unconfigured) and, the first time, the values the child
// publishes for them.
VOID PublishPipes(PFDO_EXTENSION fdx, const USBD_PIPE_HANDLE* pipes) {
    KIRQL irql;
    KeAcquireSpinLock(&fdx->SpinLock, &irql);
    for (ULONG role = 0; role < PipeRoleCount; ++role) {
        fdx->Pipes[role] = pipes[role];
    }
    if (!fdx->PublishedSet && pipes[0] != nullptr) {
        BOOLEAN fit = TRUE;
        for (ULONG role = 0; role < PipeRoleCount; ++role) {
            fit = fit && reinterpret_cast<ULONG_PTR>(pipes[role]) <= MAXULONG;
        }
        for (ULONG role = 0; role < PipeRoleCount; ++role) {
            fdx->Published[role] =
                fit ? static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(pipes[role])) : PIPE_TOKEN_BASE + role;
        }
        fdx->PublishedSet = TRUE;
    }
    KeReleaseSpinLock(&fdx->SpinLock, irql);
}

NTSTATUS DispatchChildInternalControl(PDEVICE_OBJECT pdo, PIRP Irp) {
    PPDO_EXTENSION pdx = PdoExtensionOf(pdo);
    PFDO_EXTENSION fdx = FdoExtensionOf(pdx->Fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN submit = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB;
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (InterlockedCompareExchange(&pdx->Gone, FALSE, FALSE) || !AcquireBusRemoveLock(&fdx->RemoveLock)) {
        if (submit && urb != nullptr) {
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        }
        return CompleteBusRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (submit) {
        NTSTATUS status = PrepareUrb(fdx, urb);
        if (!NT_SUCCESS(status)) {
            ReleaseBusRemoveLock(&fdx->RemoveLock);
            return CompleteBusRequest(Irp, status);
        }
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnChildUrbComplete, submit ? urb : nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(fdx->LowerDeviceObject, Irp);
}
