// Driver entry, device creation and naming, start and stop, and the request
// completion services the other modules share.
#include "stddcls.h"

ULONG currentInstance = 0;

extern "C" const GUID GUID_INTERFACE_USBMODEM = {0x6b1e5d2a, 0x8c3f, 0x4e71, {0x9a, 0x0d, 0x5f, 0x2c, 0x7b, 0x4e, 0x91, 0x30}};

namespace {

const WCHAR kDeviceNamePrefix[] = WIDE("\\Device\\QVSIMDM");
const WCHAR kDosDevicesPrefix[] = WIDE("\\DosDevices\\");
const WCHAR kSerialCommKey[] = WIDE("SERIALCOMM");
const WCHAR kPortNameValue[] = WIDE("PortName");

const USHORT kDeviceNameBytes = 256;
const USHORT kLinkNameBytes = 512;
const ULONG kPortNameBytes = 160;

// A pool buffer for a name, with room for a terminating NUL past MaximumLength.
NTSTATUS AllocateName(PUNICODE_STRING name, USHORT maximumLength, ULONG allocationBytes) {
    name->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, allocationBytes, QV_POOL_TAG));
    if (name->Buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(name->Buffer, allocationBytes);
    name->Length = 0;
    name->MaximumLength = maximumLength;
    return STATUS_SUCCESS;
}

VOID FreeName(PUNICODE_STRING name) {
    if (name->Buffer != nullptr) {
        ExFreePool(name->Buffer);
        name->Buffer = nullptr;
    }
    name->Length = name->MaximumLength = 0;
}

// The PortName value must hold a complete, non-empty name within the buffer;
// GetRegistryKeyValue leaves the buffer untouched when the value is too big.
BOOLEAN HoldsCompletePortName(const WCHAR* portName) {
    if (portName[0] == 0) {
        return FALSE;
    }
    for (ULONG i = 1; i < kPortNameBytes / sizeof(WCHAR); ++i) {
        if (portName[i] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

ULONG PortNameBytesWithNul(const WCHAR* portName) {
    ULONG n = 0;
    while (portName[n] != 0) {
        ++n;
    }
    return (n + 1) * sizeof(WCHAR);
}

// Builds "\Device\QVSIMDM<n>" into a fresh 258-byte buffer, using up the
// next instance number.
NTSTATUS BuildDeviceName(PUNICODE_STRING deviceName) {
    NTSTATUS status = AllocateName(deviceName, kDeviceNameBytes, kDeviceNameBytes + sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlAppendUnicodeToString(deviceName, kDeviceNamePrefix);
    WCHAR numberBuffer[20];
    UNICODE_STRING number;
    number.Buffer = numberBuffer;
    number.Length = 0;
    number.MaximumLength = sizeof(numberBuffer);
    ULONG instance = currentInstance++;
    RtlIntegerToUnicodeString(instance, 10, &number);
    RtlAppendUnicodeStringToString(deviceName, &number);
    return STATUS_SUCCESS;
}

NTSTATUS CopyName(PUNICODE_STRING destination, PCUNICODE_STRING source, USHORT maximumLength) {
    NTSTATUS status = AllocateName(destination, maximumLength, maximumLength);
    if (NT_SUCCESS(status)) {
        RtlCopyUnicodeString(destination, source);
    }
    return status;
}

// Clean-up of a failed AddDevice: everything made since the device object.
VOID UndoAddDevice(PDEVICE_EXTENSION pdx, BOOLEAN linkCreated, BOOLEAN serialCommWritten) {
    if (serialCommWritten) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, pdx->SerialCommValueName.Buffer);
    }
    if (linkCreated) {
        IoDeleteSymbolicLink(&pdx->SymbolicLinkName);
    }
    if (pdx->InterfaceName.Buffer != nullptr) {
        RtlFreeUnicodeString(&pdx->InterfaceName);
    }
    FreeName(&pdx->DeviceName);
    FreeName(&pdx->SerialCommValueName);
    FreeName(&pdx->SymbolicLinkName);
    if (pdx->LowerDeviceObject != nullptr) {
        IoDetachDevice(pdx->LowerDeviceObject);
    }
    IoDeleteDevice(pdx->DeviceObject);
}

// Steps of AddDevice after the device object exists; any failure is undone
// by the caller.
NTSTATUS PublishDevice(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo, HANDLE key, PUNICODE_STRING deviceName,
                       PUNICODE_STRING linkName, BOOLEAN* linkCreated, BOOLEAN* serialCommWritten) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    NTSTATUS status = CopyName(&pdx->DeviceName, deviceName, kDeviceNameBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CopyName(&pdx->SerialCommValueName, deviceName, kDeviceNameBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AllocateName(linkName, kLinkNameBytes, kLinkNameBytes + sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlAppendUnicodeToString(linkName, kDosDevicesPrefix);

    WCHAR portName[kPortNameBytes / sizeof(WCHAR)];
    RtlZeroMemory(portName, sizeof(portName));
    status = GetRegistryKeyValue(key, kPortNameValue, 9, portName, kPortNameBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!HoldsCompletePortName(portName)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    status = RtlAppendUnicodeToString(linkName, portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CopyName(&pdx->SymbolicLinkName, linkName, kLinkNameBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UTILInitializeRemoveLock(&pdx->RemoveLock, 0, 0, 0);
    KeInitializeSpinLock(&pdx->SpinLock);
    pdx->State = Stopped;
    fdo->Flags |= DO_BUFFERED_IO;

    pdx->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (pdx->LowerDeviceObject == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IoCreateUnprotectedSymbolicLink(&pdx->SymbolicLinkName, &pdx->SerialCommValueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *linkCreated = TRUE;
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, pdx->SerialCommValueName.Buffer, REG_SZ,
                                   portName, PortNameBytesWithNul(portName));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *serialCommWritten = TRUE;

    KeInitializeEvent(&pdx->PendingActionEvent, NotificationEvent, FALSE);
    pdx->PendingActionCount = 0;
    KeInitializeEvent(&pdx->ReadersStoppedEvent, NotificationEvent, TRUE);
    KeInitializeTimer(&pdx->ReceiveRecoveryTimer);
    KeInitializeDpc(&pdx->ReceiveRecoveryDpc, ReceiveRecoveryDPC, pdx);
    fdo->Flags |= DO_POWER_PAGABLE;

    status = IoRegisterDeviceInterface(pdo, &GUID_INTERFACE_USBMODEM, nullptr, &pdx->InterfaceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    pdx->SystemPower = PowerSystemWorking;
    pdx->DevicePower = PowerDeviceD0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(fdo, DevicePowerState, state);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry and device creation
// ---------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }
    DriverObject->DriverUnload = ResetDevice;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlushBuffers;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ModemIoControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = ModemCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING deviceName;
    status = BuildDeviceName(&deviceName);
    if (!NT_SUCCESS(status)) {
        ZwClose(key);
        return status;
    }
    PDEVICE_OBJECT fdo;
    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &fdo);
    if (!NT_SUCCESS(status)) {
        ZwClose(key);
        FreeName(&deviceName);
        return status;
    }
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    RtlZeroMemory(pdx, sizeof(DEVICE_EXTENSION));
    pdx->CarrierOn = TRUE;
    pdx->DeviceObject = fdo;
    pdx->Pdo = Pdo;
    // Empty until the first open; a device control may come before it.
    InitializeListHead(&pdx->WaitIrpQueue);
    InitializeListHead(&pdx->ReadIrpQueue);
    InitializeListHead(&pdx->WriteIrpQueue);

    UNICODE_STRING linkName = {0, 0, nullptr};
    BOOLEAN linkCreated = FALSE;
    BOOLEAN serialCommWritten = FALSE;
    status = PublishDevice(fdo, Pdo, key, &deviceName, &linkName, &linkCreated, &serialCommWritten);
    if (!NT_SUCCESS(status)) {
        UndoAddDevice(pdx, linkCreated, serialCommWritten);
    }
    ZwClose(key);
    FreeName(&deviceName);
    FreeName(&linkName);
    return status;
}

// ---------------------------------------------------------------------------
// Registry, names and interfaces
// ---------------------------------------------------------------------------

NTSTATUS GetRegistryKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameLength, PVOID Data, ULONG DataLength) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ValueName);
    ULONG size = NameLength + DataLength + sizeof(KEY_VALUE_FULL_INFORMATION);
    auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, QV_POOL_TAG));
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG resultLength;
    NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValueFullInformation, info, size, &resultLength);
    if (NT_SUCCESS(status) && info->DataLength <= DataLength) {
        RtlCopyMemory(Data, reinterpret_cast<PUCHAR>(info) + info->DataOffset, info->DataLength);
    }
    ExFreePool(info);
    return status;
}

NTSTATUS DestroySymbolicLink(PDEVICE_EXTENSION pdx) {
    NTSTATUS status = STATUS_SUCCESS;
    if (pdx->SerialCommValueName.Buffer != nullptr && pdx->SymbolicLinkName.Buffer != nullptr) {
        IoDeleteSymbolicLink(&pdx->SymbolicLinkName);
        status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, pdx->SerialCommValueName.Buffer);
    }
    FreeName(&pdx->SerialCommValueName);
    FreeName(&pdx->SymbolicLinkName);
    return status;
}

VOID EnableAllInterfaces(PDEVICE_EXTENSION pdx, BOOLEAN Enable) {
    if (pdx->InterfaceName.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&pdx->InterfaceName, Enable);
    }
}

VOID DeregisterAllInterfaces(PDEVICE_EXTENSION pdx) {
    if (pdx->InterfaceName.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&pdx->InterfaceName, FALSE);
        RtlFreeUnicodeString(&pdx->InterfaceName);
    }
}

VOID RemoveDevice(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    // Every read has ended, but the DPC of a read timer that fired as it
    // ended may still be queued or running on another processor, as may the
    // receive recovery's; they use the extension, which goes with the device.
    KeCancelTimer(&pdx->ReceiveRecoveryTimer);
    KeFlushQueuedDpcs();
    if (pdx->LowerDeviceObject != nullptr) {
        IoDetachDevice(pdx->LowerDeviceObject);
    }
    IoDeleteDevice(fdo);
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

NTSTATUS StartDevice(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    auto* parent = static_cast<PUCHAR>(pdx->Pdo->DeviceExtension);
    ULONG handle;
    RtlCopyMemory(&handle, parent + PDO_BULK_IN_PIPE_OFFSET, sizeof(ULONG));
    pdx->BulkInPipe = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle));
    RtlCopyMemory(&handle, parent + PDO_BULK_OUT_PIPE_OFFSET, sizeof(ULONG));
    pdx->BulkOutPipe = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle));
    RtlCopyMemory(&handle, parent + PDO_INTERRUPT_PIPE_OFFSET, sizeof(ULONG));
    pdx->InterruptPipe = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle));
    return STATUS_SUCCESS;
}

VOID StopDevice(PDEVICE_EXTENSION pdx, BOOLEAN TearDown) {
    if (TearDown) {
        DeregisterAllInterfaces(pdx);
        DestroySymbolicLink(pdx);
    }
}

// ---------------------------------------------------------------------------
// Completion services
// ---------------------------------------------------------------------------

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status, ULONG_PTR info) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = info;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status) {
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnRequestComplete, &event, TRUE, TRUE, TRUE);
    IoCallDriver(pdx->LowerDeviceObject, Irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(fdo);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(pdx->LowerDeviceObject, Irp);
    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
    return status;
}

// Writes and serial controls send synchronous URBs, so above PASSIVE_LEVEL
// they are re-run from a system worker thread. A request in the work queue
// holds the remove lock, so removal cannot delete the device under it.
NTSTATUS DeferToPassiveLevel(PDEVICE_OBJECT fdo, PIRP Irp, PWORKER_THREAD_ROUTINE Callback,
                             NTSTATUS (*Passive)(PDEVICE_OBJECT, PIRP)) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        // The acquisition only tested that removal has not begun.
        UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
        return Passive(fdo, Irp);
    }
    auto* junk = static_cast<PRANDOM_JUNK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(RANDOM_JUNK), QV_POOL_TAG));
    if (junk == nullptr) {
        UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    ExInitializeWorkItem(&junk->WorkItem, Callback, junk);
    junk->DeviceExtension = pdx;
    junk->Irp = Irp;
    junk->DeviceObject = fdo;
    IoMarkIrpPending(Irp);
    ExQueueWorkItem(&junk->WorkItem, DelayedWorkQueue);
    return STATUS_PENDING;
}

// The worker's side: run the request, free the record, and only then give
// back the hold the deferral took.
VOID RunDeferredRequest(PRANDOM_JUNK junk, NTSTATUS (*Passive)(PDEVICE_OBJECT, PIRP)) {
    PDEVICE_EXTENSION pdx = junk->DeviceExtension;
    PIRP Irp = junk->Irp;
    Passive(junk->DeviceObject, Irp);
    ExFreePool(junk);
    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
}

// Reads, writes and flushes are admitted under SpinLock against what
// removal and cleanup set under it, so none is queued after they have ended
// the ones held. Removal refuses with STATUS_DELETE_PENDING; a request of a
// file whose cleanup has run is cancelled.
NTSTATUS RefusalStatusLocked(PDEVICE_EXTENSION pdx, PIRP Irp) {
    if (IsRefusedState(pdx->State)) {
        return STATUS_DELETE_PENDING;
    }
    if (IsCleanedUpFile(pdx, IoGetCurrentIrpStackLocation(Irp)->FileObject)) {
        return STATUS_CANCELLED;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The read timers: each held read has its own total and interval timer,
// whose DPC context is the read's READ_CONTEXT
// ---------------------------------------------------------------------------

VOID NTAPI ReadTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    ReadTimerExpired(static_cast<PREAD_CONTEXT>(Context), FALSE);
}

VOID NTAPI ReadIntervalTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    ReadTimerExpired(static_cast<PREAD_CONTEXT>(Context), TRUE);
}
