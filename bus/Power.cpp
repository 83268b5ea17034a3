// Power. The bus's own device is the USB device's power policy owner: a
// system request is passed down and then followed by the device request the
// DeviceState map gives. The child answers its power requests itself and,
// before it returns to D0, has its parent brought to D0.
#include "busdcls.h"

namespace {

NTSTATUS PassPowerDown(PFDO_EXTENSION fdx, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(fdx->LowerDeviceObject, Irp);
}

DEVICE_POWER_STATE DeviceStateFor(PFDO_EXTENSION fdx, SYSTEM_POWER_STATE system) {
    DEVICE_POWER_STATE mapped = fdx->DeviceState[system];
    if (mapped == PowerDeviceUnspecified) {
        mapped = system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    }
    return mapped;
}

VOID NTAPI OnDevicePowerForSystemDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus) {
    auto systemIrp = static_cast<PIRP>(Context);
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI OnSystemPowerComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    PFDO_EXTENSION fdx = FdoExtensionOf(fdo);
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    fdx->SystemPower = system;
    POWER_STATE device;
    device.DeviceState = DeviceStateFor(fdx, system);
    NTSTATUS status = PoRequestPowerIrp(fdx->Pdo, IRP_MN_SET_POWER, device, OnDevicePowerForSystemDone, Irp, nullptr);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;  // completed when the device request is done
}

NTSTATUS NTAPI OnDevicePowerUpComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    PFDO_EXTENSION fdx = FdoExtensionOf(fdo);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        fdx->DevicePower = PowerDeviceD0;
        PoSetPowerState(fdo, DevicePowerState, d0);
    }
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS HandleFdoSetPower(PFDO_EXTENSION fdx, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Power.Type == SystemPowerState) {
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, OnSystemPowerComplete, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(fdx->LowerDeviceObject, Irp);
        return STATUS_PENDING;
    }
    DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    if (state == PowerDeviceD0) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, OnDevicePowerUpComplete, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(fdx->LowerDeviceObject, Irp);
    }
    fdx->DevicePower = state;
    PoSetPowerState(fdx->DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    return PassPowerDown(fdx, Irp);
}

NTSTATUS CompleteChildPower(PDEVICE_OBJECT pdo, PIRP Irp, NTSTATUS status) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_SET_POWER) {
        if (stack->Parameters.Power.Type == DevicePowerState) {
            PdoExtensionOf(pdo)->DevicePower = stack->Parameters.Power.State.DeviceState;
        }
        PoSetPowerState(pdo, stack->Parameters.Power.Type, stack->Parameters.Power.State);
    }
    PoStartNextPowerIrp(Irp);
    return CompleteBusRequest(Irp, status);
}

VOID NTAPI OnParentPowered(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID Context,
                           PIO_STATUS_BLOCK IoStatus) {
    auto childIrp = static_cast<PIRP>(Context);
    PDEVICE_OBJECT pdo = IoGetCurrentIrpStackLocation(childIrp)->DeviceObject;
    CompleteChildPower(pdo, childIrp, IoStatus->Status);
}

}  // namespace

NTSTATUS DispatchFdoPower(PDEVICE_OBJECT fdo, PIRP Irp) {
    PFDO_EXTENSION fdx = FdoExtensionOf(fdo);
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER) {
        return HandleFdoSetPower(fdx, Irp);
    }
    return PassPowerDown(fdx, Irp);
}

NTSTATUS DispatchChildPower(PDEVICE_OBJECT pdo, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PPDO_EXTENSION pdx = PdoExtensionOf(pdo);
    PFDO_EXTENSION fdx = FdoExtensionOf(pdx->Fdo);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState &&
            stack->Parameters.Power.State.DeviceState == PowerDeviceD0 && fdx->DevicePower != PowerDeviceD0 &&
            !InterlockedCompareExchange(&pdx->Gone, FALSE, FALSE)) {
            POWER_STATE d0;
            d0.DeviceState = PowerDeviceD0;
            IoMarkIrpPending(Irp);
            NTSTATUS status = PoRequestPowerIrp(fdx->Pdo, IRP_MN_SET_POWER, d0, OnParentPowered, Irp, nullptr);
            if (!NT_SUCCESS(status)) {
                CompleteChildPower(pdo, Irp, status);
            }
            return STATUS_PENDING;
        }
        return CompleteChildPower(pdo, Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return CompleteChildPower(pdo, Irp, STATUS_SUCCESS);
    default:
        return CompleteChildPower(pdo, Irp, Irp->IoStatus.Status);
    }
}
