// Plug and Play: the minor-function table and the device state machine.
#include "stddcls.h"

namespace {

typedef NTSTATUS (*PNP_HANDLER)(PDEVICE_OBJECT fdo, PIRP Irp);

NTSTATUS HandleStartDevice(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleQueryRemove(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleCancelRemove(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleStopDevice(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleQueryStop(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleCancelStop(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT fdo, PIRP Irp);

// Indexed by minor function code, IRP_MN_START_DEVICE (0x00) to
// IRP_MN_SURPRISE_REMOVAL (0x17).
const PNP_HANDLER pnpHandlers[] = {
    HandleStartDevice,        // 0x00 IRP_MN_START_DEVICE
    HandleQueryRemove,        // 0x01 IRP_MN_QUERY_REMOVE_DEVICE
    HandleRemoveDevice,       // 0x02 IRP_MN_REMOVE_DEVICE
    HandleCancelRemove,       // 0x03 IRP_MN_CANCEL_REMOVE_DEVICE
    HandleStopDevice,         // 0x04 IRP_MN_STOP_DEVICE
    HandleQueryStop,          // 0x05 IRP_MN_QUERY_STOP_DEVICE
    HandleCancelStop,         // 0x06 IRP_MN_CANCEL_STOP_DEVICE
    DefaultPnpHandler,        // 0x07 IRP_MN_QUERY_DEVICE_RELATIONS
    DefaultPnpHandler,        // 0x08 IRP_MN_QUERY_INTERFACE
    HandleQueryCapabilities,  // 0x09 IRP_MN_QUERY_CAPABILITIES
    DefaultPnpHandler,        // 0x0A IRP_MN_QUERY_RESOURCES
    DefaultPnpHandler,        // 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    DefaultPnpHandler,        // 0x0C IRP_MN_QUERY_DEVICE_TEXT
    DefaultPnpHandler,        // 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    DefaultPnpHandler,        // 0x0E (unused code)
    DefaultPnpHandler,        // 0x0F IRP_MN_READ_CONFIG
    DefaultPnpHandler,        // 0x10 IRP_MN_WRITE_CONFIG
    DefaultPnpHandler,        // 0x11 IRP_MN_EJECT
    DefaultPnpHandler,        // 0x12 IRP_MN_SET_LOCK
    DefaultPnpHandler,        // 0x13 IRP_MN_QUERY_ID
    DefaultPnpHandler,        // 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE
    DefaultPnpHandler,        // 0x15 IRP_MN_QUERY_BUS_INFORMATION
    DefaultPnpHandler,        // 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION
    HandleSurpriseRemoval,    // 0x17 IRP_MN_SURPRISE_REMOVAL
};
static_assert(sizeof(pnpHandlers) / sizeof(pnpHandlers[0]) == 24, "one handler per minor code up to 0x17");

NTSTATUS HandleStartDevice(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(fdo, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    status = StartDevice(fdo);
    if (NT_SUCCESS(status)) {
        EnableAllInterfaces(pdx, TRUE);
        pdx->State = Working;
    }
    return CompleteRequest(Irp, status);
}

NTSTATUS HandleQueryStop(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (pdx->State == Working) {
        pdx->State = PendingStop;
    }
    return DefaultPnpHandler(fdo, Irp);
}

// A cancel that finds the query's state forwards and waits, and on the lower
// drivers' success goes back to `restored`; in any other state it only
// passes down.
NTSTATUS CancelQuery(PDEVICE_OBJECT fdo, PIRP Irp, LONG queried, LONG restored) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (pdx->State != queried) {
        return DefaultPnpHandler(fdo, Irp);
    }
    NTSTATUS status = ForwardAndWait(fdo, Irp);
    if (NT_SUCCESS(status)) {
        pdx->State = restored;
    }
    return CompleteRequest(Irp, status);
}

NTSTATUS HandleCancelStop(PDEVICE_OBJECT fdo, PIRP Irp) {
    return CancelQuery(fdo, Irp, PendingStop, Working);
}

NTSTATUS HandleStopDevice(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    StopDevice(pdx, pdx->State == Working);
    pdx->State = Stopped;
    return DefaultPnpHandler(fdo, Irp);
}

NTSTATUS HandleQueryRemove(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    pdx->PrevState = pdx->State;
    pdx->State = PendingRemove;
    return DefaultPnpHandler(fdo, Irp);
}

NTSTATUS HandleCancelRemove(PDEVICE_OBJECT fdo, PIRP Irp) {
    return CancelQuery(fdo, Irp, PendingRemove, DeviceExtensionOf(fdo)->PrevState);
}

NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version < 1) {
        return DefaultPnpHandler(fdo, Irp);
    }
    NTSTATUS status = ForwardAndWait(fdo, Irp);
    if (NT_SUCCESS(status)) {
        caps->UniqueID = FALSE;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        pdx->DeviceCaps = *caps;
    }
    return CompleteRequest(Irp, status);
}

// The device is gone: held reads, and writes and flushes still waiting for
// their turn, end as every such request refused from now on does, and a
// queued wait with the carrier-change event, as any request on a device
// going away ends it. The caller has set the refused state under SpinLock,
// so nothing is queued after this.
VOID EndHeldRequests(PDEVICE_EXTENSION pdx) {
    CompletePendingReadIrps(pdx, STATUS_DELETE_PENDING, nullptr);
    CompleteQueuedWrites(pdx, STATUS_DELETE_PENDING, nullptr);
    CompletePendingWaitIrps(pdx, SERIAL_EV_RLSD);
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->EventHistory = 0;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
}

NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    EnableAllInterfaces(pdx, FALSE);
    // Set under SpinLock, which DispatchRead decides under: no read is held
    // after the held ones are ended below.
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    BOOLEAN wasWorking = pdx->State == Working;
    pdx->State = SurpriseRemoved;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    EndHeldRequests(pdx);
    StopDevice(pdx, wasWorking);
    return DefaultPnpHandler(fdo, Irp);
}

// Removal drains the driver's own transfers first, then, after passing the
// request down, every holder of the remove lock (open handles included).
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;

    // Removed before the held requests end, under the lock DispatchRead
    // decides under, so that no read is held after them.
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->Closing = TRUE;
    pdx->State = Removed;
    KeReleaseSpinLock(&pdx->SpinLock, irql);

    // Nothing held may start or wait once the transfers below are ended.
    EndHeldRequests(pdx);
    CancelReceiveRecovery(pdx);

    // Transfers still in flight (the readers of an open port, or ones a
    // close could not abort) may wait on the device for data that never
    // comes; end them as a close would, or the waits below would not return.
    if (pdx->PendingActionCount > 0) {
        CleanupAllPipes(fdo);
    }
    // No reader starts another transfer, and the readers' last ones end.
    StopReaders(pdx);

    DecrementPendingActionCount(pdx);
    KeWaitForSingleObject(&pdx->PendingActionEvent, Executive, KernelMode, FALSE, nullptr);

    // Tear down whatever is still published. After a surprise removal of a
    // Working device this finds nothing left; after one in any other state
    // it takes down the names that would otherwise outlive the device.
    StopDevice(pdx, TRUE);

    NTSTATUS status = DefaultPnpHandler(fdo, Irp);
    UTILReleaseRemoveLockAndWait(&pdx->RemoveLock, Irp);

    if (pdx->DeviceName.Buffer != nullptr) {
        ExFreePool(pdx->DeviceName.Buffer);
        pdx->DeviceName.Buffer = nullptr;
    }
    RemoveDevice(fdo);
    return status;
}

}  // namespace

NTSTATUS DefaultPnpHandler(PDEVICE_OBJECT fdo, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(DeviceExtensionOf(fdo)->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor >= sizeof(pnpHandlers) / sizeof(pnpHandlers[0])) {
        status = DefaultPnpHandler(fdo, Irp);
        UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
        return status;
    }
    status = pnpHandlers[minor](fdo, Irp);
    if (minor != IRP_MN_REMOVE_DEVICE) {
        UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
    }
    return status;
}
