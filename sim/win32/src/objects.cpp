// The handle table and the life of file objects behind handles.
#include "objects.h"

#include <atomic>
#include <map>

#include <kmodel/io.h>

#include <win32/win32sim.h>

namespace win32sim::detail {

namespace {

struct HandleTable {
    kmodel::Mutex mutex;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 4;  // handle values are multiples of four, never reused
};

// Never destroyed: a handle left open when the process exits must not close
// a file object of a model that is gone.
HandleTable& Table() {
    static auto* table = new HandleTable;
    return *table;
}

uintptr_t KeyOf(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

std::shared_ptr<Object> Lookup(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    auto it = table.objects.find(KeyOf(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) {
    HandleTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    uintptr_t key = table.next;
    table.next += 4;
    table.objects.emplace(key, std::move(object));
    return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    auto it = table.objects.find(KeyOf(handle));
    if (it == table.objects.end()) {
        return nullptr;
    }
    std::shared_ptr<Object> object = std::move(it->second);
    table.objects.erase(it);
    return object;
}

std::shared_ptr<Object> LookupObject(HANDLE handle) {
    return Lookup(handle);
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
    return std::dynamic_pointer_cast<FileObject>(Lookup(handle));
}

std::shared_ptr<EventObject> LookupEvent(HANDLE handle) {
    return std::dynamic_pointer_cast<EventObject>(Lookup(handle));
}

size_t HandleCount() {
    HandleTable& table = Table();
    std::lock_guard<kmodel::Mutex> guard(table.mutex);
    return table.objects.size();
}

std::shared_ptr<FileObject> NewFileObject(PFILE_OBJECT file, bool overlapped) {
    static std::atomic<uint64_t> nextId{1};
    auto object = std::make_shared<FileObject>();
    object->file = file;
    object->overlapped = overlapped;
    object->id = nextId++;
    KeInitializeEvent(&object->ioLock, SynchronizationEvent, TRUE);
    return object;
}

bool BeginUse(FileObject& file) {
    std::lock_guard<kmodel::Mutex> guard(file.mutex);
    if (file.closing) {
        return false;
    }
    file.uses++;
    return true;
}

void EndUse(FileObject& file) {
    bool close;
    {
        std::lock_guard<kmodel::Mutex> guard(file.mutex);
        close = --file.uses == 0 && file.closing;
    }
    if (close) {
        kmodel::io::CloseHandle(file.file);
    }
}

void CloseFileObject(FileObject& file) {
    bool close;
    {
        std::lock_guard<kmodel::Mutex> guard(file.mutex);
        file.closing = true;
        close = file.uses == 0;
    }
    if (close) {
        kmodel::io::CloseHandle(file.file);
    }
}

void AcquireIoLock(FileObject& file) {
    KeWaitForSingleObject(&file.ioLock, Executive, UserMode, FALSE, nullptr);
}

void ReleaseIoLock(FileObject& file) {
    KeSetEvent(&file.ioLock, IO_NO_INCREMENT, FALSE);
}

BOOL FailWith(NTSTATUS status) {
    return FailWithError(DosErrorFromNtStatus(status));
}

BOOL FailWithError(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace win32sim::detail

namespace win32sim {

size_t OpenHandleCount() {
    return detail::HandleCount();
}

}  // namespace win32sim
