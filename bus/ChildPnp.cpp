// The child PDO: its creation and deletion, and the Plug and Play requests
// the PnP manager sends it as the bus driver of the port's stack.
#include "busdcls.h"

namespace {

// A small builder for the ID and text strings the PnP manager asks for:
// WCHAR, in paged pool the PnP manager frees.
struct ID_BUILDER {
    WCHAR Text[160];
    ULONG Length;  // in characters, terminators included
};

VOID Append(ID_BUILDER* b, const WCHAR* text) {
    while (*text != 0 && b->Length < RTL_NUMBER_OF(b->Text) - 2) {
        b->Text[b->Length++] = *text++;
    }
}

VOID AppendHex(ID_BUILDER* b, ULONG value, int digits) {
    static const WCHAR hex[] = WIDE("0123456789ABCDEF");
    for (int shift = (digits - 1) * 4; shift >= 0 && b->Length < RTL_NUMBER_OF(b->Text) - 2; shift -= 4) {
        b->Text[b->Length++] = hex[(value >> shift) & 0xF];
    }
}

// Ends one string of a list (REG_MULTI_SZ) or the single string.
VOID EndString(ID_BUILDER* b) {
    b->Text[b->Length++] = 0;
}

VOID AppendDeviceId(ID_BUILDER* b, const USB_DEVICE_DESCRIPTOR* d, BOOLEAN withRevision) {
    Append(b, WIDE("QVUSBBUS\\VID_"));
    AppendHex(b, d->idVendor, 4);
    Append(b, WIDE("&PID_"));
    AppendHex(b, d->idProduct, 4);
    if (withRevision) {
        Append(b, WIDE("&REV_"));
        AppendHex(b, d->bcdDevice, 4);
    }
}

NTSTATUS ReturnString(PIRP Irp, ID_BUILDER* b) {
    SIZE_T bytes = b->Length * sizeof(WCHAR);
    auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, BUS_POOL_TAG));
    if (copy == nullptr) {
        return CompleteBusRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlCopyMemory(copy, b->Text, bytes);
    return CompleteBusRequest(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

NTSTATUS HandleQueryId(PPDO_EXTENSION pdx, PIRP Irp) {
    PFDO_EXTENSION fdx = FdoExtensionOf(pdx->Fdo);
    const USB_DEVICE_DESCRIPTOR* d = &fdx->DeviceDescriptor;
    ID_BUILDER b;
    b.Length = 0;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        AppendDeviceId(&b, d, TRUE);
        EndString(&b);
        break;
    case BusQueryHardwareIDs:
        AppendDeviceId(&b, d, TRUE);
        EndString(&b);
        AppendDeviceId(&b, d, FALSE);
        EndString(&b);
        EndString(&b);
        break;
    case BusQueryCompatibleIDs:
        Append(&b, WIDE("QVUSBBUS\\CLASS_02&SUBCLASS_02"));
        EndString(&b);
        Append(&b, WIDE("QVUSBBUS\\CDC_ACM"));
        EndString(&b);
        EndString(&b);
        break;
    case BusQueryInstanceID:
        // Unique among this bus's children: the communication interface.
        AppendHex(&b, pdx->InterfaceNumber, 4);
        EndString(&b);
        break;
    default:
        return CompleteBusRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    return ReturnString(Irp, &b);
}

NTSTATUS HandleQueryDeviceText(PIRP Irp) {
    ID_BUILDER b;
    b.Length = 0;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
        Append(&b, WIDE("USB CDC-ACM modem"));
        break;
    case DeviceTextLocationInformation:
        Append(&b, WIDE("USB modem function"));
        break;
    default:
        return CompleteBusRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    EndString(&b);
    return ReturnString(Irp, &b);
}

NTSTATUS HandleQueryCapabilities(PPDO_EXTENSION pdx, PIRP Irp) {
    PFDO_EXTENSION fdx = FdoExtensionOf(pdx->Fdo);
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return CompleteBusRequest(Irp, STATUS_UNSUCCESSFUL);
    }
    for (int s = 0; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = fdx->DeviceState[s];
    }
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = FALSE;
    caps->Removable = FALSE;  // the USB device is; its function goes with it
    caps->SurpriseRemovalOK = FALSE;
    caps->UniqueID = FALSE;
    caps->Address = pdx->InterfaceNumber;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    return CompleteBusRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS HandleQueryRelations(PPDO_EXTENSION pdx, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return CompleteBusRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BUS_POOL_TAG));
    if (relations == nullptr) {
        return CompleteBusRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    ObReferenceObject(pdx->DeviceObject);
    relations->Count = 1;
    relations->Objects[0] = pdx->DeviceObject;
    return CompleteBusRequest(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

// The PDO stays while its device is there, even after a removal (the PnP
// manager may start it again); it goes at the removal that follows its
// device's disappearance, or with the parent.
NTSTATUS HandleRemove(PPDO_EXTENSION pdx, PIRP Irp) {
    PFDO_EXTENSION fdx = FdoExtensionOf(pdx->Fdo);
    pdx->Started = FALSE;
    CompleteBusRequest(Irp, STATUS_SUCCESS);
    if (!fdx->ChildPresent) {
        DeleteChild(fdx);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreateChild(PFDO_EXTENSION fdx) {
    PDEVICE_OBJECT pdo;
    NTSTATUS status = IoCreateDevice(fdx->DeviceObject->DriverObject, sizeof(PDO_EXTENSION), nullptr,
                                     FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PPDO_EXTENSION pdx = PdoExtensionOf(pdo);
    RtlZeroMemory(pdx, sizeof(PDO_EXTENSION));
    pdx->Signature = PDO_SIGNATURE;
    pdx->InterfaceNumber = fdx->Function.CommInterface->bInterfaceNumber;
    pdx->BulkInPipe = fdx->Published[BulkInPipe];
    pdx->BulkOutPipe = fdx->Published[BulkOutPipe];
    pdx->InterruptPipe = fdx->Published[InterruptInPipe];
    pdx->DeviceObject = pdo;
    pdx->Fdo = fdx->DeviceObject;
    pdx->DevicePower = PowerDeviceD0;
    // The child's requests go on down the parent's stack from its own location.
    pdo->StackSize = fdx->DeviceObject->StackSize;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    fdx->Child = pdo;
    fdx->ChildPresent = TRUE;
    return STATUS_SUCCESS;
}

VOID DeleteChild(PFDO_EXTENSION fdx) {
    PDEVICE_OBJECT pdo = fdx->Child;
    if (pdo == nullptr) {
        return;
    }
    fdx->Child = nullptr;
    fdx->ChildPresent = FALSE;
    IoDeleteDevice(pdo);
}

// The USB device is gone (or going): the child's requests fail from now on
// and the child is no longer reported.
VOID MarkChildGone(PFDO_EXTENSION fdx) {
    fdx->ChildPresent = FALSE;
    if (fdx->Child != nullptr) {
        InterlockedExchange(&PdoExtensionOf(fdx->Child)->Gone, TRUE);
    }
}

NTSTATUS DispatchChildPnp(PDEVICE_OBJECT pdo, PIRP Irp) {
    PPDO_EXTENSION pdx = PdoExtensionOf(pdo);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        pdx->Started = TRUE;
        return CompleteBusRequest(Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        pdx->Started = FALSE;
        return CompleteBusRequest(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CompleteBusRequest(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemove(pdx, Irp);
    case IRP_MN_QUERY_ID:
        return HandleQueryId(pdx, Irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return HandleQueryDeviceText(Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return HandleQueryCapabilities(pdx, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return HandleQueryRelations(pdx, Irp);
    default:
        // Not the bus's to answer: the status stays as it came.
        return CompleteBusRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}
