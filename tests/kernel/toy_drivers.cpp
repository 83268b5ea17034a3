#include "toy_drivers.h"

#include <cstring>

namespace toy {

BusCounters bus;

namespace {

// ---- toy bus: completes what reaches its PDO ---------------------------------

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    ++bus.pnp;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD3;
        caps->SurpriseRemovalOK = TRUE;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        break;  // keep what the PnP manager put there
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
    ++bus.power;
    PoStartNextPowerIrp(irp);
    NTSTATUS status = bus.failPower != STATUS_SUCCESS ? bus.failPower : STATUS_SUCCESS;
    bus.failPower = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    ++bus.internalControls;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// ---- toy function driver --------------------------------------------------------

FunctionExtension* Ext(PDEVICE_OBJECT device) {
    return static_cast<FunctionExtension*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(FunctionExtension* ext, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    IoCallDriver(ext->lower, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

VOID NTAPI ReadCancel(PDEVICE_OBJECT device, PIRP irp) {
    FunctionExtension* ext = Ext(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&ext->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

// Takes a held read off the queue if its cancel routine can still be taken back.
PIRP DequeueHeldRead(FunctionExtension* ext) {
    while (!IsListEmpty(&ext->heldReads)) {
        PLIST_ENTRY entry = RemoveHeadList(&ext->heldReads);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            return irp;
        }
        InitializeListHead(entry);  // being cancelled: its routine removes it
    }
    return nullptr;
}

ULONG TakeData(FunctionExtension* ext, PIRP irp) {
    ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG n = want < ext->dataLength ? want : ext->dataLength;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, ext->data, n);
    std::memmove(ext->data, ext->data + n, ext->dataLength - n);
    ext->dataLength -= n;
    return n;
}

NTSTATUS NTAPI FnCreate(PDEVICE_OBJECT device, PIRP irp) {
    Ext(device)->creates++;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI FnCleanup(PDEVICE_OBJECT device, PIRP irp) {
    Ext(device)->cleanups++;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI FnClose(PDEVICE_OBJECT device, PIRP irp) {
    Ext(device)->closes++;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI FnRead(PDEVICE_OBJECT device, PIRP irp) {
    FunctionExtension* ext = Ext(device);
    KIRQL irql;
    KeAcquireSpinLock(&ext->lock, &irql);
    if (ext->dataLength != 0) {
        ULONG n = TakeData(ext, irp);
        KeReleaseSpinLock(&ext->lock, irql);
        return Complete(irp, STATUS_SUCCESS, n);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&ext->heldReads, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, ReadCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&ext->lock, irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&ext->lock, irql);
    return STATUS_PENDING;
}

NTSTATUS NTAPI FnWrite(PDEVICE_OBJECT device, PIRP irp) {
    FunctionExtension* ext = Ext(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    KIRQL irql;
    KeAcquireSpinLock(&ext->lock, &irql);
    ULONG room = sizeof(ext->data) - ext->dataLength;
    ULONG n = length < room ? length : room;
    std::memcpy(ext->data + ext->dataLength, irp->AssociatedIrp.SystemBuffer, n);
    ext->dataLength += n;
    PIRP waiting = DequeueHeldRead(ext);
    ULONG delivered = waiting != nullptr ? TakeData(ext, waiting) : 0;
    KeReleaseSpinLock(&ext->lock, irql);
    if (waiting != nullptr) {
        Complete(waiting, STATUS_SUCCESS, delivered);
    }
    return Complete(irp, STATUS_SUCCESS, n);
}

NTSTATUS NTAPI FnControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlEcho: {
        ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
        return Complete(irp, STATUS_SUCCESS, in < out ? in : out);  // the system buffer already holds the input
    }
    case kIoctlHoldForCancel:
        return FnRead(device, irp);
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

NTSTATUS NTAPI FnPnp(PDEVICE_OBJECT device, PIRP irp) {
    FunctionExtension* ext = Ext(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(ext, irp);
        return Complete(irp, status, 0);
    }
    case IRP_MN_REMOVE_DEVICE: {
        IoDeleteSymbolicLink(&ext->dosName);
        ExFreePool(ext->perDevicePool);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        if (sp->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS NTAPI FnPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
}

// The DOS name comes from PortName in the device's hardware key.
NTSTATUS ReadPortName(PDEVICE_OBJECT pdo, FunctionExtension* ext) {
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, u"PortName");
    ULONG needed = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        ZwClose(key);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, needed, kPoolTag));
    if (info == nullptr) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, needed, &needed);
    ZwClose(key);
    if (NT_SUCCESS(status)) {
        ext->dosName.Buffer = ext->dosNameBuffer;
        ext->dosName.Length = 0;
        ext->dosName.MaximumLength = sizeof(ext->dosNameBuffer);
        RtlAppendUnicodeToString(&ext->dosName, u"\\DosDevices\\");
        UNICODE_STRING port;
        port.Buffer = reinterpret_cast<PWSTR>(reinterpret_cast<PUCHAR>(info) + info->DataOffset);
        port.Length = static_cast<USHORT>(info->DataLength - sizeof(WCHAR));
        port.MaximumLength = static_cast<USHORT>(info->DataLength);
        status = RtlAppendUnicodeStringToString(&ext->dosName, &port);
    }
    ExFreePool(info);
    return status;
}

NTSTATUS NTAPI FnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Toy0");
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FunctionExtension* ext = Ext(fdo);
    ext->self = fdo;
    KeInitializeSpinLock(&ext->lock);
    InitializeListHead(&ext->heldReads);
    status = ReadPortName(pdo, ext);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&ext->dosName, &name);
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    ext->perDevicePool = ExAllocatePoolWithTag(NonPagedPool, 32, kPoolTag);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalControl;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = FnCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = FnCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = FnClose;
    driver->MajorFunction[IRP_MJ_READ] = FnRead;
    driver->MajorFunction[IRP_MJ_WRITE] = FnWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FnControl;
    driver->MajorFunction[IRP_MJ_PNP] = FnPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FnPower;
    driver->DriverExtension->AddDevice = FnAddDevice;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT busDriver) {
    PDEVICE_OBJECT pdo;
    IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

World::World(const kmodel::BootOptions& options) : system(options) {
    bus = BusCounters{};
    kmodel::LoadDriver(u"toybus", BusEntry, &busDriver);
    kmodel::LoadDriver(u"toyfn", FunctionEntry, &functionDriver);
    pdo = CreatePdo(busDriver);
    node = kmodel::ReportChildDevice(pdo, u"TOYBUS\\DEV_1\\0");
    kmodel::RegistrySetValue(kmodel::HardwareKeyPath(node), u"PortName", kmodel::RegSz(u"TOY1"));
    kmodel::AddFunctionDriver(node, functionDriver);
    kmodel::StartDevice(node);
}

FunctionExtension* World::Extension() const {
    return Ext(pdo->AttachedDevice);
}

void World::Teardown() {
    kmodel::RemoveDevice(node);
    IoDeleteDevice(pdo);
    kmodel::UnloadDriver(functionDriver);
    kmodel::UnloadDriver(busDriver);
}

}  // namespace toy
