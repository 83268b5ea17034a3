// The objects behind Win32 handles and the process's handle table.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include <kmodel/system.h>

#include <win32/windows.h>

namespace win32sim::detail {

struct Object {
    virtual ~Object() = default;
};

// An open file object of the kernel model. Calls in progress hold a use of
// it while they hand it to the I/O manager; closing the handle releases the
// file object once no such use remains.
struct FileObject : Object {
    PFILE_OBJECT file = nullptr;
    bool overlapped = false;  // FILE_FLAG_OVERLAPPED
    uint64_t id = 0;          // never reused, unlike addresses
    KEVENT ioLock{};          // serialises I/O on a synchronous handle

    kmodel::Mutex mutex;
    int uses = 0;
    bool closing = false;
};

struct EventObject : Object {
    KEVENT event{};
};

HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> RemoveHandle(HANDLE handle);
std::shared_ptr<Object> LookupObject(HANDLE handle);
std::shared_ptr<FileObject> LookupFile(HANDLE handle);
std::shared_ptr<EventObject> LookupEvent(HANDLE handle);
size_t HandleCount();

std::shared_ptr<FileObject> NewFileObject(PFILE_OBJECT file, bool overlapped);
// A use of the file object for handing it a request; false once closing.
bool BeginUse(FileObject& file);
void EndUse(FileObject& file);
// The handle is gone: the file object is closed now or by the last use.
void CloseFileObject(FileObject& file);

// Synchronous handles: one request at a time, as the I/O manager does.
void AcquireIoLock(FileObject& file);
void ReleaseIoLock(FileObject& file);

// Sets GetLastError from a status and returns FALSE.
BOOL FailWith(NTSTATUS status);
BOOL FailWithError(DWORD error);

}  // namespace win32sim::detail
