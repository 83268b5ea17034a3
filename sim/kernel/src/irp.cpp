// IRPs: allocation, IoCallDriver, the completion walk of IoCompleteRequest,
// threaded-IRP completion, cancellation and the power-IRP discipline.
#include <cstdlib>
#include <deque>
#include <new>

#include <usbioctl.h>

#include "model.h"

namespace kmodel::detail {

namespace {

constexpr uint64_t kIrpMagic = 0x5052494C45444F4DULL;
constexpr size_t kQuarantine = 256;

size_t BlockBytes(int stackSize) {
    return sizeof(IrpBlock) + (stackSize + 2) * sizeof(IO_STACK_LOCATION);
}

IO_STACK_LOCATION* Locations(IrpBlock* block) {
    return reinterpret_cast<IO_STACK_LOCATION*>(block + 1);
}

IrpBlock* RawBlockOf(PIRP irp) {
    return reinterpret_cast<IrpBlock*>(reinterpret_cast<char*>(irp) - offsetof(IrpBlock, irp));
}

// Freed IRPs are kept poisoned for a while, so that a stale pointer handed
// to a DDI is recognised instead of landing in reused memory.
std::deque<IrpBlock*>& Quarantine() {
    static std::deque<IrpBlock*> blocks;
    return blocks;
}

// Every IRP not yet freed, so that shutdown can release what requests still
// in flight hold.
std::set<IrpBlock*>& LiveIrps() {
    static std::set<IrpBlock*> blocks;
    return blocks;
}

void ReleaseMemory(IrpBlock* block) {
    LiveIrps().erase(block);
    int stackSize = block->irp.StackCount;
    block->meta.~IrpMeta();
    block->magic = BlockBytes(stackSize);  // freed: the magic field keeps the size, for unpoisoning
    std::memset(&block->irp, kFreedFill, BlockBytes(stackSize) - offsetof(IrpBlock, irp));
    Quarantine().push_back(block);
    QV_POISON(&block->irp, BlockBytes(stackSize) - offsetof(IrpBlock, irp));
    if (Quarantine().size() > kQuarantine) {
        IrpBlock* oldest = Quarantine().front();
        Quarantine().pop_front();
        QV_UNPOISON(&oldest->irp, oldest->magic - offsetof(IrpBlock, irp));
        std::free(oldest);
    }
}

void ClearLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    std::memset(&sp->Parameters, 0, sizeof(sp->Parameters));
    sp->FileObject = nullptr;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
}

void InitializeIrp(IrpBlock* block, CCHAR stackSize) {
    PIRP irp = &block->irp;
    std::memset(irp, 0, sizeof(IRP));
    std::memset(Locations(block), 0, (stackSize + 2) * sizeof(IO_STACK_LOCATION));
    irp->Type = IO_TYPE_IRP;
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = Locations(block) + stackSize + 1;
    InitializeListHead(&irp->ThreadListEntry);
    block->meta.generation.assign(stackSize + 2, nullptr);
    block->meta.powerDispatched.assign(stackSize + 2, {});
    block->meta.powerStarted.assign(stackSize + 2, {});
}

// Rule POSTARTNEXTPOWERIRP_NOT_CALLED: every driver that received a power
// IRP calls PoStartNextPowerIrp for it, while its own location is current,
// before the IRP is completed past that location. Drivers that share a
// location (one skipped its own) each owe the call.
void CheckPowerDiscipline(IrpBlock* block, int location) {
    IrpMeta& meta = block->meta;
    for (PDRIVER_OBJECT driver : meta.powerDispatched[location]) {
        auto& started = meta.powerStarted[location];
        if (std::find(started.begin(), started.end(), driver) == started.end()) {
            BugCheck(rule::kPoStartNextMissing, "power IRP " + Hex(&block->irp) + " completed past location " +
                                                    std::to_string(location) + " without PoStartNextPowerIrp from driver " +
                                                    Hex(driver));
        }
    }
    meta.powerDispatched[location].clear();
    meta.powerStarted[location].clear();
}

// Rules PENDING_RETURNED_WITHOUT_IOMARKIRPPENDING and its reverse: a
// dispatch routine returns STATUS_PENDING exactly when its location is
// marked pending by the time the completion walk passes it (the mark may be
// made later, by the driver's completion routine).
void CheckPendingReturn(PIRP irp, bool returnedPending, bool marked, PDEVICE_OBJECT device) {
    if (returnedPending && !marked) {
        BugCheck(rule::kPendingWithoutMark, "device " + Hex(device) + " (driver " + Hex(device->DriverObject) +
                                                ") returned STATUS_PENDING for IRP " + Hex(irp) +
                                                " without IoMarkIrpPending");
    }
    if (!returnedPending && marked) {
        BugCheck(rule::kMarkedButNotPending, "device " + Hex(device) + " (driver " + Hex(device->DriverObject) +
                                                 ") marked IRP " + Hex(irp) + " pending but did not return STATUS_PENDING");
    }
}

// The I/O manager's part after the walk reaches the top of a threaded IRP:
// copy back, status block and event, the file reference, freeing.
void CompleteThreadedIrp(IrpBlock* block) {
    PIRP irp = &block->irp;
    IrpMeta& meta = block->meta;
    ObserveCompletion(irp);
    NTSTATUS status = irp->IoStatus.Status;
    bool input = (irp->Flags & IRP_INPUT_OPERATION) != 0;
    // Rule INFORMATION_EXCEEDS_BUFFER: a driver never reports more bytes
    // than the caller's buffer holds.
    if (meta.checkInformation && !NT_ERROR(status) && irp->IoStatus.Information > meta.outputLength) {
        BugCheck(rule::kInformationOverrun, "IRP " + Hex(irp) + " completed with Information " +
                                                std::to_string(irp->IoStatus.Information) + " for a buffer of " +
                                                std::to_string(meta.outputLength) + " bytes");
    }
    if ((irp->Flags & IRP_BUFFERED_IO) && input && !NT_ERROR(status) && irp->IoStatus.Information != 0) {
        std::memcpy(meta.userBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (irp->MdlAddress != nullptr) {
        ExFreePool(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    PFILE_OBJECT file = meta.file;
    {
        std::lock_guard<Mutex> guard(IrpMutex());
        if (file != nullptr) {
            MetaOf(file).outstanding.erase(irp);
        }
        if (meta.request != nullptr) {
            meta.request->Irp = nullptr;
        }
    }
    // An error returned synchronously is seen by the caller as the return
    // value of IoCallDriver; only success or a pended request writes back.
    if (!NT_ERROR(status) || irp->PendingReturned) {
        if (meta.userIosb != nullptr) {
            *meta.userIosb = irp->IoStatus;
        }
        if (meta.file != nullptr) {
            KeSetEvent(&meta.file->Event, IO_NO_INCREMENT, FALSE);
        }
        if (meta.request != nullptr) {
            // The Done event is the last touch: its owner may free the request then.
            meta.request->IoStatus = irp->IoStatus;
            if (meta.request->UserIosb != nullptr) {
                *meta.request->UserIosb = irp->IoStatus;
            }
            meta.request->Finished = true;
            if (meta.request->UserEvent != nullptr) {
                KeSetEvent(meta.request->UserEvent, IO_NO_INCREMENT, FALSE);
            }
            KeSetEvent(&meta.request->Done, IO_NO_INCREMENT, FALSE);
        } else if (meta.userEvent != nullptr) {
            KeSetEvent(meta.userEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    PVOID thread = irp->Tail.Overlay.Thread;
    FreeIrpBlock(block);
    if (file != nullptr) {
        DereferenceFileAfterCompletion(thread, file);
    }
}

}  // namespace

Mutex& IrpMutex() {
    static Mutex mutex;
    return mutex;
}

std::map<void*, std::pair<IrpBlock*, int>>& UrbsInFlight();

void ReleaseQuarantine() {
    std::lock_guard<Mutex> guard(IrpMutex());
    UrbsInFlight().clear();
    for (IrpBlock* block : LiveIrps()) {
        block->meta.~IrpMeta();
        std::free(block);
    }
    LiveIrps().clear();
    for (IrpBlock* block : Quarantine()) {
        QV_UNPOISON(&block->irp, block->magic - offsetof(IrpBlock, irp));
        std::free(block);
    }
    Quarantine().clear();
}

// Rule IRP_USED_AFTER_FREE: a DDI was handed an IRP that has been freed (or
// memory that never was an IRP).
IrpBlock* BlockOf(PIRP irp, const char* ddi) {
    if (irp == nullptr) {
        BugCheck(rule::kIrpUseAfterFree, std::string(ddi) + " given a NULL IRP");
    }
    IrpBlock* block = RawBlockOf(irp);
    std::lock_guard<Mutex> guard(IrpMutex());
    // Rule MULTIPLE_IRP_COMPLETE_REQUESTS, for an IRP the first completion freed.
    const char* rule = std::strcmp(ddi, "IoCompleteRequest") == 0 ? rule::kIrpCompletedTwice : rule::kIrpUseAfterFree;
    for (IrpBlock* freed : Quarantine()) {
        if (freed == block) {
            BugCheck(rule, std::string(ddi) + " given IRP " + Hex(irp) + ", which was freed");
        }
    }
    if (block->magic != kIrpMagic || block->meta.state != IrpState::Allocated) {
        BugCheck(rule, std::string(ddi) + " given IRP " + Hex(irp) + ", which is not a live IRP");
    }
    return block;
}

PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT allocator) {
    void* memory = std::malloc(BlockBytes(stackSize));
    auto* block = static_cast<IrpBlock*>(memory);
    block->magic = kIrpMagic;
    new (&block->meta) IrpMeta();
    block->meta.allocator = allocator;
    InitializeIrp(block, stackSize);
    {
        std::lock_guard<Mutex> guard(IrpMutex());
        LiveIrps().insert(block);
    }
    return &block->irp;
}

PIO_STACK_LOCATION StackLocation(PIRP irp, int location) {
    return Locations(RawBlockOf(irp)) + location;
}

// Each URB in flight, with the IRP and stack location that took it down.
std::map<void*, std::pair<IrpBlock*, int>>& UrbsInFlight() {
    static std::map<void*, std::pair<IrpBlock*, int>> urbs;
    return urbs;
}

namespace {

constexpr ULONG kSubmitUrbIoctl = IOCTL_INTERNAL_USB_SUBMIT_URB;

void ForgetUrbs(IrpBlock* block) {
    for (auto& [urb, location] : block->meta.urbs) {
        UrbsInFlight().erase(urb);
    }
    block->meta.urbs.clear();
}

}  // namespace

// Rule URB_SUBMITTED_WHILE_IN_FLIGHT: a URB belongs to the USB stack from its
// submission until the IRP that carried it completes back past the location
// it was sent to. Handing it down again meanwhile in another IRP makes two
// transfers of one request block: on Windows the host controller's lists are
// corrupted. The same IRP passed on down the stack (or with its location
// skipped) is the legitimate case.
void NoteUrbSubmitted(IrpBlock* block, void* urb, int location) {
    std::lock_guard<Mutex> guard(IrpMutex());
    auto& urbs = UrbsInFlight();
    auto it = urbs.find(urb);
    if (it != urbs.end()) {
        auto [holder, heldAt] = it->second;
        if (holder != block || location > heldAt) {
            BugCheck(rule::kUrbInFlight, "URB " + Hex(urb) + " submitted in IRP " + Hex(&block->irp) +
                                             " while its submission in IRP " + Hex(&holder->irp) +
                                             " is still in flight");
        }
        return;  // forwarded down the stack
    }
    urbs[urb] = {block, location};
    block->meta.urbs.emplace_back(urb, location);
}

void NoteLocationCompleted(IrpBlock* block, int location) {
    auto& mine = block->meta.urbs;
    for (auto it = mine.begin(); it != mine.end();) {
        if (it->second == location) {
            UrbsInFlight().erase(it->first);
            it = mine.erase(it);
        } else {
            ++it;
        }
    }
}

void FreeIrpBlock(IrpBlock* block) {
    std::lock_guard<Mutex> guard(IrpMutex());
    ForgetUrbs(block);
    block->meta.state = IrpState::Freed;
    if (block->meta.callRefs > 0) {
        block->meta.freePending = true;  // a dispatch or cancel is still on the stack
        return;
    }
    ReleaseMemory(block);
}

namespace {

void DropCallRef(IrpBlock* block) {
    std::lock_guard<Mutex> guard(IrpMutex());
    if (--block->meta.callRefs == 0 && block->meta.freePending) {
        ReleaseMemory(block);
    }
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

PDRIVER_DISPATCH DefaultDispatch() {
    return InvalidDeviceRequest;
}

NTSTATUS CallDriverInternal(PDEVICE_OBJECT device, PIRP irp, bool viaPo) {
    IrpBlock* block = BlockOf(irp, viaPo ? "PoCallDriver" : "IoCallDriver");
    IrpMeta& meta = block->meta;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    // Rule NO_MORE_IRP_STACK_LOCATIONS: a driver passed the IRP further down
    // than it has stack locations for.
    if (irp->CurrentLocation <= 1) {
        BugCheck(rule::kStackOverrun, "IRP " + Hex(irp) + " sent to device " + Hex(device) +
                                          " with no stack location left (StackCount " +
                                          std::to_string(irp->StackCount) + ")");
    }
    // Rule POWER_IRP_SENT_WITH_IOCALLDRIVER: on this generation of Windows
    // power IRPs travel only through PoCallDriver.
    if (!viaPo && next->MajorFunction == IRP_MJ_POWER) {
        BugCheck(rule::kPowerIrpViaIoCallDriver, "IRP " + Hex(irp) + " to device " + Hex(device));
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = device;
    int location = irp->CurrentLocation;
    if (sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        sp->Parameters.DeviceIoControl.IoControlCode == kSubmitUrbIoctl && sp->Parameters.Others.Argument1 != nullptr) {
        NoteUrbSubmitted(block, sp->Parameters.Others.Argument1, location);
    }
    std::shared_ptr<LocationGeneration> generation;
    {
        std::lock_guard<Mutex> guard(IrpMutex());
        meta.callRefs++;
        meta.completed = false;
        if (meta.generation[location] == nullptr || meta.generation[location]->walked) {
            meta.generation[location] = std::make_shared<LocationGeneration>();
        }
        generation = meta.generation[location];
        if (sp->MajorFunction == IRP_MJ_POWER) {
            meta.power = true;
            meta.powerDispatched[location].push_back(device->DriverObject);
        }
    }
    PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[sp->MajorFunction];
    KIRQL irql = KeGetCurrentIrql();
    size_t locks = Self().heldLocks.size();
    NTSTATUS status;
    {
        DriverCall call(device->DriverObject);
        ObserveRoutine(RoutineCall::Kind::Dispatch, true, reinterpret_cast<const void*>(routine), irp);
        status = routine(device, irp);
        ObserveRoutine(RoutineCall::Kind::Dispatch, false, reinterpret_cast<const void*>(routine), irp);
        CheckReturnState("dispatch routine", irql, locks);
    }
    {
        std::lock_guard<Mutex> guard(IrpMutex());
        if (generation->walked) {
            CheckPendingReturn(irp, status == STATUS_PENDING, generation->marked, device);
        } else {
            generation->returned.emplace_back(status == STATUS_PENDING, device);
        }
    }
    DropCallRef(block);
    return status;
}

BOOLEAN CancelIrpInternal(PIRP irp) {
    IrpBlock* block = RawBlockOf(irp);
    if (block->meta.state != IrpState::Allocated) {
        return FALSE;  // finished while the canceller was on its way
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    auto routine = reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine), nullptr));
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        ObserveRoutine(RoutineCall::Kind::Cancel, true, nullptr, irp);  // nobody to call: seen all the same
        ObserveRoutine(RoutineCall::Kind::Cancel, false, nullptr, irp);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    size_t locksBefore = Self().heldLocks.size() - 1;
    {
        DriverCall call(device != nullptr ? device->DriverObject : nullptr);
        ObserveRoutine(RoutineCall::Kind::Cancel, true, reinterpret_cast<const void*>(routine), irp);
        routine(device, irp);
        ObserveRoutine(RoutineCall::Kind::Cancel, false, reinterpret_cast<const void*>(routine), irp);
    }
    // Rule CANCEL_ROUTINE_RETURNED_HOLDING_CANCEL_SPIN_LOCK.
    if (Self().heldLocks.size() != locksBefore) {
        BugCheck(rule::kCancelSpinLockHeld, "cancel routine " + Hex(reinterpret_cast<void*>(routine)) + " for IRP " +
                                                Hex(irp) + " returned without IoReleaseCancelSpinLock");
    }
    CheckReturnState("cancel routine", irql, locksBefore);
    return TRUE;
}

bool HoldIrpIfOutstanding(PFILE_OBJECT file, PIRP irp) {
    std::lock_guard<Mutex> guard(IrpMutex());
    if (MetaOf(file).outstanding.count(irp) == 0) {
        return false;
    }
    RawBlockOf(irp)->meta.callRefs++;
    return true;
}

void ReleaseIrpHold(PIRP irp) {
    DropCallRef(RawBlockOf(irp));
}

IrpMeta& IrpMetaOf(PIRP irp) {
    return RawBlockOf(irp)->meta;
}

void SetupDeviceControlBuffers(PIRP irp, ULONG code, const void* input, ULONG inputLength, void* output,
                               ULONG outputLength) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = std::max(inputLength, outputLength);
        if (size != 0) {
            irp->AssociatedIrp.SystemBuffer = ModelAllocate(size, 0x20206F49);  // 'Io  '
            if (inputLength != 0) {
                std::memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
            }
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (outputLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
        }
        break;
    }
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        break;
    default: {
        // Direct I/O: input through the system buffer, output described by an MDL.
        if (inputLength != 0) {
            irp->AssociatedIrp.SystemBuffer = ModelAllocate(inputLength, 0x20206F49);
            std::memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputLength != 0) {
            auto* mdl = static_cast<PMDL>(ModelAllocate(sizeof(MDL), 0x206C644D));  // 'Mdl '
            std::memset(mdl, 0, sizeof(MDL));
            mdl->MappedSystemVa = mdl->StartVa = output;
            mdl->ByteCount = outputLength;
            irp->MdlAddress = mdl;
        }
        break;
    }
    }
    irp->UserBuffer = output;
    IrpMetaOf(irp).userBuffer = output;
    IrpMetaOf(irp).outputLength = outputLength;
    // Only a buffered copy-back can overrun the caller's buffer; with no
    // output buffer Information is only reported, never copied.
    IrpMetaOf(irp).checkInformation = METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && outputLength != 0;
}

}  // namespace kmodel::detail

using namespace kmodel;
using namespace kmodel::detail;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    SchedulingPoint("IoAllocateIrp");
    RequireIrqlAtMost("IoAllocateIrp", DISPATCH_LEVEL);
    if (ShouldFailAllocation(kIrpAllocation)) {
        return nullptr;
    }
    return AllocateIrp(StackSize, Self().driver);
}

VOID IoFreeIrp(PIRP Irp) {
    SchedulingPoint("IoFreeIrp");
    RequireIrqlAtMost("IoFreeIrp", DISPATCH_LEVEL);
    IrpBlock* block = BlockOf(Irp, "IoFreeIrp");
    // Rule FREE_OF_IRP_IN_USE: an IRP the I/O manager owns (issued for a
    // thread) is never freed by a driver, nor one still cancelable.
    if (block->meta.threaded || Irp->CancelRoutine != nullptr) {
        BugCheck(rule::kFreeIrpInUse, "IoFreeIrp of IRP " + Hex(Irp) +
                                          (block->meta.threaded ? ", which the I/O manager owns" : " with a cancel routine set"));
    }
    FreeIrpBlock(block);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    IrpBlock* block = BlockOf(Irp, "IoReuseIrp");
    CCHAR stackSize = Irp->StackCount;
    PDRIVER_OBJECT allocator = block->meta.allocator;
    ForgetUrbs(block);
    block->meta = IrpMeta();
    block->meta.allocator = allocator;
    InitializeIrp(block, stackSize);
    Irp->IoStatus.Status = Status;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SchedulingPoint("IoCallDriver");
    RequireIrqlAtMost("IoCallDriver", DISPATCH_LEVEL);
    return CallDriverInternal(DeviceObject, Irp, false);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SchedulingPoint("PoCallDriver");
    RequireIrqlAtMost("PoCallDriver", DISPATCH_LEVEL);
    return CallDriverInternal(DeviceObject, Irp, true);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    RequireIrqlAtMost("PoStartNextPowerIrp", DISPATCH_LEVEL);
    IrpBlock* block = BlockOf(Irp, "PoStartNextPowerIrp");
    int location = Irp->CurrentLocation;
    std::lock_guard<Mutex> guard(IrpMutex());
    if (location < 1 || location > Irp->StackCount) {
        BugCheck(rule::kPoStartNextMissing, "PoStartNextPowerIrp on IRP " + Hex(Irp) + " outside any location");
    }
    auto& started = block->meta.powerStarted[location];
    PDRIVER_OBJECT driver = Self().driver;
    if (std::find(started.begin(), started.end(), driver) != started.end()) {
        BugCheck(rule::kPoStartNextTwice, "PoStartNextPowerIrp called twice at location " + std::to_string(location) +
                                              " of IRP " + Hex(Irp) + " by driver " + Hex(driver));
    }
    started.push_back(driver);
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    SchedulingPoint("IoCompleteRequest");
    RequireIrqlAtMost("IoCompleteRequest", DISPATCH_LEVEL);
    IrpBlock* block = BlockOf(Irp, "IoCompleteRequest");
    IrpMeta& meta = block->meta;
    // Rule MULTIPLE_IRP_COMPLETE_REQUESTS: completing an IRP whose walk has
    // already reached the top (no driver holds a location of it).
    if (Irp->CurrentLocation > Irp->StackCount || meta.completed) {
        BugCheck(rule::kIrpCompletedTwice, "IRP " + Hex(Irp) + " completed again");
    }
    meta.completions++;
    // Rule IRP_COMPLETED_WITH_STATUS_PENDING.
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        BugCheck(rule::kIrpCompletedPending, "IRP " + Hex(Irp) + " completed with STATUS_PENDING");
    }
    // Rule CANCEL_STATE_IN_COMPLETED_IRP: the completing driver must first
    // take its cancel routine back.
    if (Irp->CancelRoutine != nullptr) {
        BugCheck(rule::kIrpCompletedWithCancelRoutine, "IRP " + Hex(Irp) + " completed with cancel routine " +
                                                           Hex(reinterpret_cast<void*>(Irp->CancelRoutine)) + " still set");
    }
    const int top = Irp->StackCount;
    while (Irp->CurrentLocation <= top) {
        int location = Irp->CurrentLocation;
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        CheckPowerDiscipline(block, location);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        {
            std::lock_guard<Mutex> guard(IrpMutex());
            if (LocationGeneration* generation = meta.generation[location].get()) {
                generation->walked = true;
                generation->marked = Irp->PendingReturned;
                for (const auto& [returnedPending, device] : generation->returned) {
                    CheckPendingReturn(Irp, returnedPending, generation->marked, device);
                }
                generation->returned.clear();
            }
            ClearLocation(sp);
        }
        NoteLocationCompleted(block, location);
        if (routine != nullptr && invoke) {
            // The routine belongs to the driver of the location above; the
            // top location of a driver-allocated IRP has no device object.
            PDEVICE_OBJECT device =
                Irp->CurrentLocation == top + 1 ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            KIRQL irql = KeGetCurrentIrql();
            size_t locks = Self().heldLocks.size();
            uint64_t completions = meta.completions;
            NTSTATUS result;
            {
                std::lock_guard<Mutex> guard(IrpMutex());
                meta.callRefs++;  // the routine may free the IRP; keep its memory to look
            }
            {
                DriverCall call(device != nullptr ? device->DriverObject : meta.allocator);
                ObserveRoutine(RoutineCall::Kind::Completion, true, reinterpret_cast<const void*>(routine), Irp);
                result = routine(device, Irp, context);
                ObserveRoutine(RoutineCall::Kind::Completion, false, reinterpret_cast<const void*>(routine), Irp);
                CheckReturnState("completion routine", irql, locks);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                DropCallRef(block);
                return;  // the IRP belongs to the routine's driver again
            }
            // A routine that completed or freed the IRP itself must stop the
            // walk; otherwise the IRP would be completed twice.
            if (meta.completions != completions || meta.state != IrpState::Allocated) {
                BugCheck(rule::kIrpCompletedTwice, "completion routine " + Hex(reinterpret_cast<void*>(routine)) +
                                                       " completed or freed IRP " + Hex(Irp) +
                                                       " and did not return STATUS_MORE_PROCESSING_REQUIRED");
            }
            DropCallRef(block);
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= top) {
            IoMarkIrpPending(Irp);
        }
    }
    meta.completed = true;
    // Rule IRP_COMPLETED_WITHOUT_OWNER: an IRP a driver allocated itself must
    // be taken back by its completion routine (STATUS_MORE_PROCESSING_REQUIRED).
    if (!meta.threaded) {
        BugCheck(rule::kIrpWithoutOwner, "driver-allocated IRP " + Hex(Irp) +
                                             " completed to the top with no routine taking it back");
    }
    CompleteThreadedIrp(block);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    SchedulingPoint("IoCancelIrp");
    RequireIrqlAtMost("IoCancelIrp", DISPATCH_LEVEL);
    BlockOf(Irp, "IoCancelIrp");
    return CancelIrpInternal(Irp);
}

namespace {
KSPIN_LOCK cancelSpinLock = 0;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&cancelSpinLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&cancelSpinLock, Irql);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrqlAtMost("IoBuildDeviceIoControlRequest", APC_LEVEL);
    if (ShouldFailAllocation(kIrpAllocation)) {
        return nullptr;
    }
    PIRP irp = AllocateIrp(DeviceObject->StackSize, Self().driver);
    IrpMeta& meta = IrpMetaOf(irp);
    meta.threaded = true;
    meta.userEvent = Event;
    meta.userIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = reinterpret_cast<PVOID>(Self().token);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    SetupDeviceControlBuffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength);
    return irp;
}
