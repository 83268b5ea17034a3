// The I/O manager's system services for applications: file objects, their
// references, and the requests sent on them.
#include <new>

#include "model.h"

namespace kmodel::detail {

namespace {

constexpr uint64_t kFileMagic = 0x454C49464C444F4DULL;

struct FileBlock {
    uint64_t magic;
    FileMeta meta;
    FILE_OBJECT file;
    std::u16string name;
};

FileBlock* BlockOf(PFILE_OBJECT file) {
    return reinterpret_cast<FileBlock*>(reinterpret_cast<char*>(file) - offsetof(FileBlock, file));
}

// A request issued by the I/O manager for a thread, for the top of the
// file's device stack.
PIRP NewThreadIrp(PFILE_OBJECT file, UCHAR major, io::Request* request, bool holdsFileReference) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = AllocateIrp(top->StackSize, nullptr);
    IrpMeta& meta = IrpMetaOf(irp);
    meta.threaded = true;
    meta.request = request;
    meta.checkInformation = holdsFileReference;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PVOID>(Self().token);
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    if (request != nullptr) {
        request->Finished = false;
        KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
        std::lock_guard<Mutex> guard(IrpMutex());  // Cancel reads it from other threads
        request->Irp = irp;
    }
    if (holdsFileReference) {
        // Every outstanding request keeps the file object (and so the close)
        // alive until it completes.
        ReferenceFile(file);
        meta.file = file;
        std::lock_guard<Mutex> guard(IrpMutex());
        MetaOf(file).outstanding.insert(irp);
    }
    return irp;
}

NTSTATUS Send(PFILE_OBJECT file, PIRP irp) {
    std::vector<PFILE_OBJECT> deferred;
    std::vector<PFILE_OBJECT>* outer = ThreadDeferredDereferences();
    ThreadDeferredDereferences() = &deferred;
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    ObserveSend(top, irp);
    NTSTATUS status = CallDriverInternal(top, irp, false);
    ThreadDeferredDereferences() = outer;
    for (PFILE_OBJECT f : deferred) {
        DereferenceFile(f);
    }
    return status;
}

// CREATE, CLEANUP and CLOSE are synchronous for the caller.
NTSTATUS SendFileRequestAndWait(PFILE_OBJECT file, UCHAR major) {
    io::Request request;
    PIRP irp = NewThreadIrp(file, major, &request, false);
    NTSTATUS status = Send(file, irp);
    if (status == STATUS_PENDING) {
        status = io::Wait(&request);
    }
    return status;
}

void SendClose(PFILE_OBJECT file) {
    PDEVICE_OBJECT device = file->DeviceObject;
    SendFileRequestAndWait(file, IRP_MJ_CLOSE);
    {
        std::lock_guard<Mutex> guard(ObjectMutex());
        MetaOf(device).openFiles--;
    }
    FileBlock* block = BlockOf(file);
    block->magic = 0;
    block->meta.~FileMeta();
    block->name.~basic_string();
    std::free(block);
    NotifyFileClosed(device);
    DereferenceDevice(device);
}

}  // namespace

std::vector<PFILE_OBJECT>*& ThreadDeferredDereferences() {
    return Self().deferredDereferences;
}

// A close never runs inside the completing driver's own call: the reference
// goes when the requesting thread's I/O call returns or, for a completion
// that happens elsewhere, promptly from a system thread (on Windows a kernel
// APC to the requesting thread).
void DereferenceFileAfterCompletion(PVOID thread, PFILE_OBJECT file) {
    std::vector<PFILE_OBJECT>* deferred = ThreadDeferredDereferences();
    if (deferred != nullptr && reinterpret_cast<ULONG_PTR>(thread) == Self().token) {
        deferred->push_back(file);
        return;
    }
    QueueSystemWork([file] { DereferenceFile(file); }, PASSIVE_LEVEL);
}

FileMeta& MetaOf(PFILE_OBJECT file) {
    return BlockOf(file)->meta;
}

void ReferenceFile(PFILE_OBJECT file) {
    std::lock_guard<Mutex> guard(ObjectMutex());
    BlockOf(file)->meta.references++;
}

// The last reference sends IRP_MJ_CLOSE, at PASSIVE_LEVEL: when it goes in a
// completion at DISPATCH_LEVEL the close is sent from a system thread.
void DereferenceFile(PFILE_OBJECT file) {
    {
        std::lock_guard<Mutex> guard(ObjectMutex());
        if (--BlockOf(file)->meta.references != 0) {
            return;
        }
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        SendClose(file);
    } else {
        QueueSystemWork([file] { SendClose(file); }, PASSIVE_LEVEL);
    }
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* result, bool viaPo) {
    io::Request request;
    KeInitializeEvent(&request.Done, NotificationEvent, FALSE);
    IrpMeta& meta = IrpMetaOf(irp);
    meta.threaded = true;
    meta.request = &request;
    request.Irp = irp;
    ObserveSend(device, irp);
    NTSTATUS status = CallDriverInternal(device, irp, viaPo);
    if (status == STATUS_PENDING) {
        status = io::Wait(&request);
    } else if (!NT_ERROR(status)) {
        status = request.IoStatus.Status;
    }
    if (result != nullptr) {
        *result = request.IoStatus;
        result->Status = status;
    }
    return status;
}

namespace {

Mutex& ObserverMutex() {
    static Mutex mutex;
    return mutex;
}

std::function<void(const io::RequestRecord&)>& Observer() {
    static auto* observer = new std::function<void(const io::RequestRecord&)>;
    return *observer;
}

void Report(const io::RequestRecord& record) {
    std::function<void(const io::RequestRecord&)> observer;
    {
        std::lock_guard<Mutex> guard(ObserverMutex());
        observer = Observer();
    }
    if (observer) {
        observer(record);
    }
}

}  // namespace

void ObserveSend(PDEVICE_OBJECT device, PIRP irp) {
    {
        std::lock_guard<Mutex> guard(ObserverMutex());
        if (!Observer()) {
            return;
        }
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    io::RequestRecord& r = IrpMetaOf(irp).record;
    r.id = reinterpret_cast<uint64_t>(irp);
    r.time = Now();
    r.device = device;
    r.major = next->MajorFunction;
    r.minor = next->MinorFunction;
    if (r.major == IRP_MJ_READ) {
        r.length = next->Parameters.Read.Length;
    } else if (r.major == IRP_MJ_WRITE) {
        r.length = next->Parameters.Write.Length;
    } else if (r.major == IRP_MJ_DEVICE_CONTROL || r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        r.ioControlCode = next->Parameters.DeviceIoControl.IoControlCode;
        r.inputLength = next->Parameters.DeviceIoControl.InputBufferLength;
        r.length = next->Parameters.DeviceIoControl.OutputBufferLength;
    }
    IrpMetaOf(irp).observed = true;
    Report(r);
}

void ObserveCompletion(PIRP irp) {
    IrpMeta& meta = IrpMetaOf(irp);
    if (!meta.observed) {
        return;
    }
    io::RequestRecord r = meta.record;
    r.completed = true;
    r.time = Now();
    r.status = irp->IoStatus.Status;
    r.information = irp->IoStatus.Information;
    Report(r);
}

}  // namespace kmodel::detail

namespace kmodel::io {

using namespace detail;

void SetRequestObserver(std::function<void(const RequestRecord&)> observer) {
    std::lock_guard<Mutex> guard(ObserverMutex());
    Observer() = std::move(observer);
}

NTSTATUS Open(const std::u16string& name, PFILE_OBJECT* file) {
    RequireIrqlExactly("NtCreateFile", PASSIVE_LEVEL);
    *file = nullptr;
    PDEVICE_OBJECT device;
    std::u16string remainder;  // what the driver sees as the file name
    NTSTATUS status = ResolveName(name, &device, &remainder);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<Mutex> guard(ObjectMutex());
        DeviceMeta& meta = MetaOf(device);
        if (meta.deleted) {
            return STATUS_DELETE_PENDING;
        }
        if (device->Flags & DO_DEVICE_INITIALIZING) {
            return STATUS_NO_SUCH_DEVICE;  // its driver never finished initialising it
        }
        // Exclusive access is the named device's: a second open fails here,
        // without a request reaching the driver.
        if (meta.exclusive && meta.openFiles > 0) {
            return STATUS_ACCESS_DENIED;
        }
        meta.openFiles++;
        device->ReferenceCount++;
    }
    void* memory = std::calloc(1, sizeof(FileBlock));
    auto* block = static_cast<FileBlock*>(memory);
    block->magic = kFileMagic;
    new (&block->meta) FileMeta();
    new (&block->name) std::u16string(remainder);
    FILE_OBJECT& f = block->file;
    f.Type = IO_TYPE_FILE;
    f.Size = sizeof(FILE_OBJECT);
    f.DeviceObject = device;
    f.FileName.Buffer = block->name.data();
    f.FileName.Length = f.FileName.MaximumLength = static_cast<USHORT>(block->name.size() * sizeof(WCHAR));
    KeInitializeEvent(&f.Event, NotificationEvent, FALSE);
    KeInitializeEvent(&f.Lock, SynchronizationEvent, FALSE);
    status = SendFileRequestAndWait(&f, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        // A failed create is never cleaned up or closed.
        block->meta.~FileMeta();
        block->name.~basic_string();
        std::free(block);
        {
            std::lock_guard<Mutex> guard(ObjectMutex());
            MetaOf(device).openFiles--;
        }
        DereferenceDevice(device);
        return status;
    }
    *file = &f;
    return status;
}

NTSTATUS Read(PFILE_OBJECT file, void* buffer, ULONG length, Request* request) {
    PIRP irp = NewThreadIrp(file, IRP_MJ_READ, request, true);
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    IrpMeta& meta = IrpMetaOf(irp);
    meta.userBuffer = buffer;
    meta.outputLength = length;
    irp->UserBuffer = buffer;
    irp->Flags = IRP_READ_OPERATION | IRP_INPUT_OPERATION;
    if ((top->Flags & DO_BUFFERED_IO) && length != 0) {
        irp->AssociatedIrp.SystemBuffer = ModelAllocate(length, 0x20206F49);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    } else if ((top->Flags & DO_DIRECT_IO) && length != 0) {
        auto* mdl = static_cast<PMDL>(ModelAllocate(sizeof(MDL), 0x206C644D));
        std::memset(mdl, 0, sizeof(MDL));
        mdl->MappedSystemVa = mdl->StartVa = buffer;
        mdl->ByteCount = length;
        irp->MdlAddress = mdl;
    }
    return Send(file, irp);
}

NTSTATUS Write(PFILE_OBJECT file, const void* buffer, ULONG length, Request* request) {
    PIRP irp = NewThreadIrp(file, IRP_MJ_WRITE, request, true);
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = length;
    IrpMeta& meta = IrpMetaOf(irp);
    meta.outputLength = length;  // bytes written can never exceed it
    irp->UserBuffer = const_cast<void*>(buffer);
    irp->Flags = IRP_WRITE_OPERATION;
    if ((top->Flags & DO_BUFFERED_IO) && length != 0) {
        irp->AssociatedIrp.SystemBuffer = ModelAllocate(length, 0x20206F49);
        std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    } else if ((top->Flags & DO_DIRECT_IO) && length != 0) {
        auto* mdl = static_cast<PMDL>(ModelAllocate(sizeof(MDL), 0x206C644D));
        std::memset(mdl, 0, sizeof(MDL));
        mdl->MappedSystemVa = mdl->StartVa = const_cast<void*>(buffer);
        mdl->ByteCount = length;
        irp->MdlAddress = mdl;
    }
    return Send(file, irp);
}

NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, Request* request) {
    PIRP irp = NewThreadIrp(file, IRP_MJ_DEVICE_CONTROL, request, true);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    SetupDeviceControlBuffers(irp, code, input, inputLength, output, outputLength);
    return Send(file, irp);
}

NTSTATUS Simple(PFILE_OBJECT file, UCHAR major, Request* request) {
    return Send(file, NewThreadIrp(file, major, request, true));
}

NTSTATUS Wait(Request* request) {
    KeWaitForSingleObject(&request->Done, UserRequest, UserMode, FALSE, nullptr);
    return request->IoStatus.Status;
}

void Cancel(PFILE_OBJECT file, Request* request) {
    std::vector<PIRP> targets;
    {
        std::lock_guard<Mutex> guard(IrpMutex());
        if (request != nullptr) {
            if (request->Irp != nullptr) {
                targets.push_back(request->Irp);
            }
        } else {
            targets.assign(MetaOf(file).outstanding.begin(), MetaOf(file).outstanding.end());
        }
    }
    for (PIRP irp : targets) {
        if (HoldIrpIfOutstanding(file, irp)) {
            CancelIrpInternal(irp);
            ReleaseIrpHold(irp);
        }
    }
}

NTSTATUS CloseHandle(PFILE_OBJECT file) {
    RequireIrqlExactly("NtClose", PASSIVE_LEVEL);
    MetaOf(file).cleanedUp = true;
    SendFileRequestAndWait(file, IRP_MJ_CLEANUP);
    DereferenceFile(file);
    return STATUS_SUCCESS;
}

size_t OpenFileCount(PDEVICE_OBJECT device) {
    std::lock_guard<Mutex> guard(ObjectMutex());
    return static_cast<size_t>(MetaOf(device).openFiles);
}

}  // namespace kmodel::io
