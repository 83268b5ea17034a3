// Device and driver objects: creation, deletion with references, stacks.
#include <algorithm>
#include <cstring>
#include <deque>
#include <new>

#include "model.h"

namespace kmodel::detail {

namespace {

constexpr uint64_t kDeviceMagic = 0x4543495645444F4DULL;

struct DeviceBlock {
    uint64_t magic;
    DeviceMeta meta;
    DEVICE_OBJECT device;
    alignas(16) unsigned char extension[1];
};

struct DriverBlock {
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
    std::u16string name;
    std::u16string registryPath;
};

std::set<DeviceBlock*>& Devices() {
    static std::set<DeviceBlock*> devices;
    return devices;
}

std::set<DriverBlock*>& Drivers() {
    static std::set<DriverBlock*> drivers;
    return drivers;
}

DeviceBlock* BlockOf(PDEVICE_OBJECT device) {
    return reinterpret_cast<DeviceBlock*>(reinterpret_cast<char*>(device) - offsetof(DeviceBlock, device));
}

size_t BlockBytes(PDEVICE_OBJECT device) {
    return offsetof(DeviceBlock, extension) + (device->Size - sizeof(DEVICE_OBJECT));
}

// Deleted devices are kept filled and poisoned for a while, as Driver
// Verifier's special pool keeps freed pages unmapped: a DPC or thread still
// using the extension is caught at the use (rule
// DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, below) instead of reading reused
// memory.
constexpr size_t kDeviceQuarantine = 64;

std::deque<std::pair<DeviceBlock*, size_t>>& DeviceQuarantine() {
    static std::deque<std::pair<DeviceBlock*, size_t>> blocks;
    return blocks;
}

void ReleaseDeviceMemory(std::pair<DeviceBlock*, size_t> freed) {
    QV_UNPOISON(&freed.first->device, freed.second - offsetof(DeviceBlock, device));
    std::free(freed.first);
}

void FreeDevice(DeviceBlock* block) {
    Devices().erase(block);
    size_t bytes = BlockBytes(&block->device);
    block->magic = 0;
    block->meta.~DeviceMeta();
    std::memset(&block->device, kFreedFill, bytes - offsetof(DeviceBlock, device));
    QV_POISON(&block->device, bytes - offsetof(DeviceBlock, device));
    DeviceQuarantine().emplace_back(block, bytes);
    if (DeviceQuarantine().size() > kDeviceQuarantine) {
        ReleaseDeviceMemory(DeviceQuarantine().front());
        DeviceQuarantine().pop_front();
    }
}

// The device object and its extension go with IoDeleteDevice (or with the
// last reference soon after): nothing in them may still be armed or queued.
// Rule TIMER_OR_DPC_INVALID: an armed timer or a queued DPC in the device.
// Rule DEVICE_DELETED_WHILE_ITS_DPC_RUNS: a DPC routine of the device (its
// KDPC or its context in the device) still running on another processor.
void CheckNothingActiveIn(PDEVICE_OBJECT device) {
    DeviceBlock* block = BlockOf(device);
    size_t bytes = BlockBytes(device);
    std::string active = ActiveKernelObjectIn(block, bytes);
    if (!active.empty()) {
        BugCheck(rule::kTimerOrDpcInvalid, "IoDeleteDevice of " + Hex(device) + ", whose extension holds " + active);
    }
    active = RunningDpcIn(block, bytes);
    if (!active.empty()) {
        BugCheck(rule::kDeleteWhileDpcRuns, "IoDeleteDevice of " + Hex(device) + " while the " + active);
    }
}

}  // namespace

Mutex& ObjectMutex() {
    static Mutex mutex;
    return mutex;
}

DeviceMeta& MetaOf(PDEVICE_OBJECT device) {
    return *static_cast<DeviceMeta*>(device->DeviceObjectExtension);
}

void ReferenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard<Mutex> guard(ObjectMutex());
    device->ReferenceCount++;
}

// A deleted device object stays valid memory until its last reference goes.
void DereferenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard<Mutex> guard(ObjectMutex());
    if (--device->ReferenceCount == 0 && MetaOf(device).deleted) {
        FreeDevice(BlockOf(device));
    }
}

bool InFreedDevice(const volatile void* object) {
    std::lock_guard<Mutex> guard(ObjectMutex());
    auto* at = static_cast<const volatile char*>(object);
    for (const auto& [block, bytes] : DeviceQuarantine()) {
        if (at >= reinterpret_cast<const volatile char*>(&block->device) &&
            at < reinterpret_cast<const volatile char*>(block) + bytes) {
            return true;
        }
    }
    return false;
}

// Rule DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, for the DDIs that take an
// object in the driver's memory (spin locks, interlocked operations, events,
// timers and DPCs): one in a deleted device's extension, as when a DPC or a
// completion outlives the removal that should have waited for it. Checked by
// address, before the object is touched.
void RequireNotInFreedDevice(const volatile void* object, const char* ddi) {
    if (InFreedDevice(object)) {
        BugCheck(rule::kFreedMemoryUsed, std::string(ddi) + " on " + Hex(const_cast<const void*>(object)) +
                                             ", in the memory of a deleted device");
    }
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    auto* block = reinterpret_cast<DriverBlock*>(driver);
    Drivers().erase(block);
    delete block;
}

void ResetDevices() {
    std::lock_guard<Mutex> guard(ObjectMutex());
    for (DeviceBlock* block : std::set<DeviceBlock*>(Devices())) {
        FreeDevice(block);
    }
    for (auto freed : DeviceQuarantine()) {
        ReleaseDeviceMemory(freed);
    }
    DeviceQuarantine().clear();
    for (DriverBlock* block : Drivers()) {
        delete block;
    }
    Drivers().clear();
}

}  // namespace kmodel::detail

namespace kmodel {

using namespace detail;

NTSTATUS LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver) {
    auto* block = new DriverBlock();
    block->name = u"\\Driver\\" + name;
    block->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
    DRIVER_OBJECT& d = block->driver;
    d.Type = IO_TYPE_DRIVER;
    d.Size = sizeof(DRIVER_OBJECT);
    d.DriverExtension = &block->extension;
    block->extension.DriverObject = &d;
    d.DriverName.Buffer = block->name.data();
    d.DriverName.Length = d.DriverName.MaximumLength = static_cast<USHORT>(block->name.size() * 2);
    d.DriverInit = entry;
    std::fill(std::begin(d.MajorFunction), std::end(d.MajorFunction), DefaultDispatch());
    Drivers().insert(block);
    UNICODE_STRING path;
    path.Buffer = block->registryPath.data();
    path.Length = path.MaximumLength = static_cast<USHORT>(block->registryPath.size() * 2);
    NTSTATUS status;
    {
        DriverCall call(&d);
        status = entry(&d, &path);
    }
    CheckReturnState("DriverEntry", PASSIVE_LEVEL, 0);
    if (!NT_SUCCESS(status)) {
        CheckPoolAtUnload(&d);
        DeleteDriverObject(&d);
        *driver = nullptr;
        return status;
    }
    MarkDriverInitialized(&d);
    *driver = &d;
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    // Rule DEVICE_NOT_DELETED_AT_REMOVAL: a PnP driver deletes each of its
    // devices at removal, so none is left when it unloads.
    if (driver->DeviceObject != nullptr) {
        BugCheck(rule::kDeviceLeftAtRemoval, "driver " + Hex(driver) + " unloads with device " +
                                                 Hex(driver->DeviceObject) + " not deleted");
    }
    if (driver->DriverUnload != nullptr) {
        DriverCall call(driver);
        driver->DriverUnload(driver);
    }
    CheckReturnState("DriverUnload", PASSIVE_LEVEL, 0);
    CheckPoolAtUnload(driver);
    DeleteDriverObject(driver);
}

PDRIVER_OBJECT CurrentDriver() {
    return Self().driver;
}

void RunAsDriver(PDRIVER_OBJECT driver, const std::function<void()>& body) {
    DriverCall call(driver);
    body();
}

}  // namespace kmodel

using namespace kmodel;
using namespace kmodel::detail;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    RequireIrqlExactly("IoCreateDevice", PASSIVE_LEVEL);
    *DeviceObject = nullptr;
    if (ShouldFailAllocation(kPoolAllocation)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    size_t bytes = offsetof(DeviceBlock, extension) + std::max<size_t>(DeviceExtensionSize, 1);
    auto* block = static_cast<DeviceBlock*>(std::calloc(1, bytes));
    block->magic = kDeviceMagic;
    new (&block->meta) DeviceMeta();
    PDEVICE_OBJECT device = &block->device;
    if (DeviceName != nullptr) {
        block->meta.name = FromUnicodeString(*DeviceName);
        NTSTATUS status = InsertNamedDevice(block->meta.name, device);
        if (!NT_SUCCESS(status)) {
            block->meta.~DeviceMeta();
            std::free(block);
            return status;
        }
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) {
        device->Flags |= DO_EXCLUSIVE;
    }
    if (DeviceName != nullptr) {
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize != 0 ? block->extension : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = &block->meta;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    block->meta.exclusive = Exclusive;
    std::lock_guard<Mutex> guard(ObjectMutex());
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    Devices().insert(block);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    SchedulingPoint("IoDeleteDevice");
    RequireIrqlExactly("IoDeleteDevice", PASSIVE_LEVEL);
    DeviceMeta& meta = MetaOf(DeviceObject);
    CheckNothingActiveIn(DeviceObject);
    // Rule DELETE_OF_ATTACHED_DEVICE: a device is detached from the stack
    // below it (IoDetachDevice) before it is deleted. (A bus driver may
    // delete a PDO that still has a device above it: that device detaches
    // right after, and its attachment keeps the PDO's memory until then.)
    if (meta.attachedTo != nullptr) {
        BugCheck(rule::kDeleteAttachedDevice,
                 "IoDeleteDevice of " + Hex(DeviceObject) + ", still attached to " + Hex(meta.attachedTo));
    }
    if (!meta.name.empty()) {
        RemoveNamedDevice(meta.name);
    }
    std::lock_guard<Mutex> guard(ObjectMutex());
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) {
        link = &(*link)->NextDevice;
    }
    if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
    }
    meta.deleted = true;
    if (DeviceObject->ReferenceCount == 0) {
        FreeDevice(BlockOf(DeviceObject));
    }
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    while (DeviceObject->AttachedDevice != nullptr) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    RequireIrqlAtMost("IoGetAttachedDeviceReference", DISPATCH_LEVEL);
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ReferenceDevice(top);
    return top;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    RequireIrqlAtMost("IoAttachDeviceToDeviceStack", DISPATCH_LEVEL);
    std::lock_guard<Mutex> guard(ObjectMutex());
    if (MetaOf(TargetDevice).deleted) {
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    top->AttachedDevice = SourceDevice;
    top->ReferenceCount++;  // the attachment keeps the lower device's memory
    MetaOf(SourceDevice).attachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrqlExactly("IoDetachDevice", PASSIVE_LEVEL);
    std::unique_lock<Mutex> lock(ObjectMutex());
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        return;
    }
    MetaOf(above).attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    lock.unlock();
    DereferenceDevice(TargetDevice);
}

LONG_PTR ObfReferenceObject(PVOID Object) {
    auto* header = static_cast<CSHORT*>(Object);
    if (*header == IO_TYPE_FILE) {
        ReferenceFile(static_cast<PFILE_OBJECT>(Object));
        return 1;
    }
    ReferenceDevice(static_cast<PDEVICE_OBJECT>(Object));
    return static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    auto* header = static_cast<CSHORT*>(Object);
    if (*header == IO_TYPE_FILE) {
        DereferenceFile(static_cast<PFILE_OBJECT>(Object));
        return 0;
    }
    DereferenceDevice(static_cast<PDEVICE_OBJECT>(Object));
    return 0;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    // The model is Windows XP: WDM 1.20.
    return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= 0x20);
}
