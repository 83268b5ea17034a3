// Plug and Play for the bus's own device: the USB device's function driver.
#include "busdcls.h"

namespace {

NTSTATUS PassDown(PFDO_EXTENSION fdx, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(fdx->LowerDeviceObject, Irp);
}

VOID SetState(PFDO_EXTENSION fdx, LONG state) {
    KIRQL irql;
    KeAcquireSpinLock(&fdx->SpinLock, &irql);
    fdx->State = state;
    KeReleaseSpinLock(&fdx->SpinLock, irql);
}

VOID CopyDeviceStates(PFDO_EXTENSION fdx, const DEVICE_CAPABILITIES* caps) {
    for (int s = 0; s < PowerSystemMaximum; ++s) {
        fdx->DeviceState[s] = caps->DeviceState[s];
    }
}

NTSTATUS NTAPI OnCapabilitiesComplete(PDEVICE_OBJECT device, PIRP Irp, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The USB device's capabilities, asked for before the child exists so that
// the child reports the same DeviceState map.
NTSTATUS QueryLowerCapabilities(PFDO_EXTENSION fdx) {
    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = MAXULONG;
    caps.UINumber = MAXULONG;
    PIRP Irp = IoAllocateIrp(fdx->LowerDeviceObject->StackSize, FALSE);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &caps;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, OnCapabilitiesComplete, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(fdx->LowerDeviceObject, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    if (NT_SUCCESS(status)) {
        CopyDeviceStates(fdx, &caps);
    }
    return status;
}

NTSTATUS HandleStart(PFDO_EXTENSION fdx, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardToLowerAndWait(fdx->LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        status = QueryLowerCapabilities(fdx);
    }
    if (NT_SUCCESS(status)) {
        status = ConfigureDevice(fdx);
    }
    if (NT_SUCCESS(status) && fdx->Child == nullptr) {
        status = CreateChild(fdx);
        if (!NT_SUCCESS(status)) {
            UnconfigureDevice(fdx);
        }
    }
    if (NT_SUCCESS(status)) {
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        fdx->DevicePower = PowerDeviceD0;
        PoSetPowerState(fdx->DeviceObject, DevicePowerState, d0);
        SetState(fdx, BusStarted);
        IoInvalidateDeviceRelations(fdx->Pdo, BusRelations);
    }
    return CompleteBusRequest(Irp, status);
}

// Stopping unconfigures the device, which would close the pipes under a
// port that is running on the child: refused while the child is started.
NTSTATUS HandleQueryStop(PFDO_EXTENSION fdx, PIRP Irp) {
    if (fdx->Child != nullptr && PdoExtensionOf(fdx->Child)->Started) {
        return CompleteBusRequest(Irp, STATUS_UNSUCCESSFUL);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(fdx, Irp);
}

NTSTATUS HandleStop(PFDO_EXTENSION fdx, PIRP Irp) {
    SetState(fdx, BusStopped);
    UnconfigureDevice(fdx);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(fdx, Irp);
}

NTSTATUS HandleSurpriseRemoval(PFDO_EXTENSION fdx, PIRP Irp) {
    SetState(fdx, BusSurpriseRemoved);
    MarkChildGone(fdx);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(fdx, Irp);
}

NTSTATUS HandleRemove(PFDO_EXTENSION fdx, PIRP Irp) {
    SetState(fdx, BusRemoved);
    MarkChildGone(fdx);
    ReleaseBusRemoveLockAndWait(&fdx->RemoveLock);
    UnconfigureDevice(fdx);
    DeleteChild(fdx);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(fdx, Irp);
    IoDetachDevice(fdx->LowerDeviceObject);
    IoDeleteDevice(fdx->DeviceObject);
    return status;
}

// Adds the child, while it is there, to whatever relations a filter above
// reported already.
NTSTATUS HandleQueryRelations(PFDO_EXTENSION fdx, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != BusRelations) {
        return PassDown(fdx, Irp);
    }
    auto* previous = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    ULONG count = previous != nullptr ? previous->Count : 0;
    BOOLEAN addChild = fdx->Child != nullptr && fdx->ChildPresent;
    ULONG total = count + (addChild ? 1 : 0);
    SIZE_T size = sizeof(DEVICE_RELATIONS) + (total > 0 ? total - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, BUS_POOL_TAG));
    if (relations == nullptr) {
        return CompleteBusRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    relations->Count = 0;
    for (ULONG i = 0; i < count; ++i) {
        relations->Objects[relations->Count++] = previous->Objects[i];
    }
    if (addChild) {
        ObReferenceObject(fdx->Child);
        relations->Objects[relations->Count++] = fdx->Child;
    }
    if (previous != nullptr) {
        ExFreePool(previous);
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(fdx, Irp);
}

NTSTATUS HandleQueryCapabilities(PFDO_EXTENSION fdx, PIRP Irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status = ForwardToLowerAndWait(fdx->LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        CopyDeviceStates(fdx, caps);
    }
    return CompleteBusRequest(Irp, status, Irp->IoStatus.Information);
}

}  // namespace

NTSTATUS DispatchFdoPnp(PDEVICE_OBJECT fdo, PIRP Irp) {
    PFDO_EXTENSION fdx = FdoExtensionOf(fdo);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HandleStart(fdx, Irp);
    case IRP_MN_STOP_DEVICE:
        return HandleStop(fdx, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return HandleSurpriseRemoval(fdx, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemove(fdx, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return HandleQueryRelations(fdx, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return HandleQueryCapabilities(fdx, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return HandleQueryStop(fdx, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(fdx, Irp);
    default:
        return PassDown(fdx, Irp);
    }
}
