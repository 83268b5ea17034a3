// Entry, AddDevice, dispatch by device role and the small shared services.
#include "busdcls.h"

namespace {

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FDO_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PFDO_EXTENSION fdx = FdoExtensionOf(fdo);
    RtlZeroMemory(fdx, sizeof(FDO_EXTENSION));
    fdx->Signature = FDO_SIGNATURE;
    fdx->DeviceObject = fdo;
    fdx->Pdo = Pdo;
    fdx->State = BusStopped;
    fdx->DevicePower = PowerDeviceD0;
    fdx->SystemPower = PowerSystemWorking;
    KeInitializeSpinLock(&fdx->SpinLock);
    InitializeBusRemoveLock(&fdx->RemoveLock);
    fdx->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (fdx->LowerDeviceObject == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP Irp) {
    return IsFdo(device) ? DispatchFdoPnp(device, Irp) : DispatchChildPnp(device, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP Irp) {
    return IsFdo(device) ? DispatchFdoPower(device, Irp) : DispatchChildPower(device, Irp);
}

// The FDO has no requests of its own but PnP and power: whatever else
// reaches it goes to the USB device below. The child answers only the
// internal requests of a USB client.
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP Irp) {
    if (IsFdo(device)) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(FdoExtensionOf(device)->LowerDeviceObject, Irp);
    }
    return DispatchChildInternalControl(device, Irp);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP Irp) {
    if (IsFdo(device)) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(FdoExtensionOf(device)->LowerDeviceObject, Irp);
    }
    return CompleteBusRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
}

// The requests the driver answers itself; everything else is DispatchOther.
struct DISPATCH_ENTRY {
    UCHAR MajorFunction;
    PDRIVER_DISPATCH Routine;
};
const DISPATCH_ENTRY dispatchTable[] = {
    {IRP_MJ_PNP, DispatchPnp},
    {IRP_MJ_POWER, DispatchPower},
    {IRP_MJ_INTERNAL_DEVICE_CONTROL, DispatchInternalControl},
};

NTSTATUS NTAPI OnForwardComplete(PDEVICE_OBJECT device, PIRP Irp, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

extern "C" NTSTATUS NTAPI QVUSBBUS_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = DispatchOther;
    }
    for (const DISPATCH_ENTRY& entry : dispatchTable) {
        DriverObject->MajorFunction[entry.MajorFunction] = entry.Routine;
    }
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS CompleteBusRequest(PIRP Irp, NTSTATUS status, ULONG_PTR info) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = info;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Sends the request down and waits for the lower drivers to finish it; the
// caller completes it.
NTSTATUS ForwardToLowerAndWait(PDEVICE_OBJECT lower, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnForwardComplete, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return Irp->IoStatus.Status;
}

// ---------------------------------------------------------------------------
// The remove lock: one count for the device's life plus one per request in
// flight below it.
// ---------------------------------------------------------------------------

VOID InitializeBusRemoveLock(PBUS_REMOVE_LOCK lock) {
    lock->Count = 1;
    lock->Removing = FALSE;
    KeInitializeEvent(&lock->Drained, NotificationEvent, FALSE);
}

BOOLEAN AcquireBusRemoveLock(PBUS_REMOVE_LOCK lock) {
    InterlockedIncrement(&lock->Count);
    if (InterlockedCompareExchange(&lock->Removing, FALSE, FALSE)) {
        ReleaseBusRemoveLock(lock);
        return FALSE;
    }
    return TRUE;
}

VOID ReleaseBusRemoveLock(PBUS_REMOVE_LOCK lock) {
    if (InterlockedDecrement(&lock->Count) == 0) {
        KeSetEvent(&lock->Drained, IO_NO_INCREMENT, FALSE);
    }
}

VOID ReleaseBusRemoveLockAndWait(PBUS_REMOVE_LOCK lock) {
    InterlockedExchange(&lock->Removing, TRUE);
    ReleaseBusRemoveLock(lock);
    KeWaitForSingleObject(&lock->Drained, Executive, KernelMode, FALSE, nullptr);
}
