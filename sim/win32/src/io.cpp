// ReadFile, WriteFile and DeviceIoControl, synchronous and overlapped, and
// what applications use to follow and cancel overlapped requests.
#include <functional>
#include <memory>

#include <kmodel/io.h>

#include <win32/windows.h>

#include "objects.h"
#include "requests.h"

using namespace win32sim::detail;

namespace {

using Issue = std::function<NTSTATUS(PFILE_OBJECT, kmodel::io::Request*)>;

void SetBytes(LPDWORD bytes, ULONG_PTR count) {
    if (bytes != nullptr) {
        *bytes = static_cast<DWORD>(count);
    }
}

NTSTATUS StatusOf(const OVERLAPPED* overlapped) {
    return static_cast<NTSTATUS>(overlapped->Internal);
}

// A finished request still tracked under this OVERLAPPED gets its result
// written before the OVERLAPPED is used again.
void SettlePrevious(LPOVERLAPPED overlapped) {
    std::shared_ptr<Request> previous = FindRequest(overlapped);
    if (previous && HasFinished(*previous)) {
        Harvest(previous);
    }
}

// The I/O manager clears the caller's event when a request starts.
void Prepare(LPOVERLAPPED overlapped, EventObject* event) {
    if (overlapped != nullptr) {
        SettlePrevious(overlapped);
        overlapped->Internal = static_cast<ULONG>(STATUS_PENDING);
        overlapped->InternalHigh = 0;
    }
    if (event != nullptr) {
        KeClearEvent(&event->event);
    }
}

// STATUS_INVALID_HANDLE when the handle was closed meanwhile.
NTSTATUS IssueOn(FileObject& file, Request& request, const Issue& issue) {
    if (!BeginUse(file)) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS status = issue(file.file, &request.io);
    EndUse(file);
    return status;
}

// A request that did not pend: one that finished has a status block to copy,
// one that failed at once has none.
void Settle(const std::shared_ptr<Request>& request) {
    if (HasFinished(*request)) {
        Harvest(request);
    } else {
        Untrack(request);
    }
}

// Warnings (STATUS_BUFFER_OVERFLOW) fail the call but still report the bytes
// transferred; a synchronous read at end of file succeeds with none.
BOOL ReportSynchronous(NTSTATUS status, ULONG_PTR information, LPDWORD bytes, bool isRead) {
    if (isRead && status == STATUS_END_OF_FILE) {
        return TRUE;
    }
    if (NT_SUCCESS(status)) {
        SetBytes(bytes, information);
        return TRUE;
    }
    if (NT_WARNING(status)) {
        SetBytes(bytes, information);
    }
    return FailWith(status);
}

BOOL FinishOverlapped(const std::shared_ptr<Request>& request, NTSTATUS status, LPDWORD bytes) {
    if (status == STATUS_PENDING) {
        return FailWithError(ERROR_IO_PENDING);
    }
    Settle(request);
    if (!NT_SUCCESS(status)) {
        return FailWith(status);
    }
    SetBytes(bytes, request->io.IoStatus.Information);
    return TRUE;
}

BOOL FinishSynchronous(const std::shared_ptr<Request>& request, NTSTATUS status, LPDWORD bytes, bool isRead) {
    if (status == STATUS_PENDING) {
        status = kmodel::io::Wait(&request->io);
        Harvest(request);
    } else {
        Settle(request);
    }
    return ReportSynchronous(status, request->io.IoStatus.Information, bytes, isRead);
}

BOOL TransferOverlapped(FileObject& file, LPOVERLAPPED overlapped, std::shared_ptr<EventObject> event,
                        LPDWORD bytes, const Issue& issue) {
    Prepare(overlapped, event.get());
    std::shared_ptr<Request> request = TrackRequest(file, overlapped, std::move(event));
    NTSTATUS status = IssueOn(file, *request, issue);
    return FinishOverlapped(request, status, bytes);
}

// A handle opened without FILE_FLAG_OVERLAPPED takes one request at a time.
BOOL TransferSynchronous(FileObject& file, LPOVERLAPPED overlapped, std::shared_ptr<EventObject> event,
                         LPDWORD bytes, bool isRead, const Issue& issue) {
    if (!file.overlapped) {
        AcquireIoLock(file);
    }
    Prepare(overlapped, event.get());
    std::shared_ptr<Request> request = TrackRequest(file, overlapped, std::move(event));
    NTSTATUS status = IssueOn(file, *request, issue);
    BOOL result = FinishSynchronous(request, status, bytes, isRead);
    if (!file.overlapped) {
        ReleaseIoLock(file);
    }
    return result;
}

BOOL Transfer(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes, bool isRead, const Issue& issue) {
    SetBytes(bytes, 0);
    std::shared_ptr<FileObject> file = LookupFile(handle);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    std::shared_ptr<EventObject> event;
    if (overlapped != nullptr && overlapped->hEvent != nullptr) {
        event = LookupEvent(overlapped->hEvent);
        if (!event) {
            return FailWithError(ERROR_INVALID_HANDLE);
        }
    }
    if (file->overlapped && overlapped != nullptr) {
        return TransferOverlapped(*file, overlapped, std::move(event), bytes, issue);
    }
    return TransferSynchronous(*file, overlapped, std::move(event), bytes, isRead, issue);
}

void CancelRequests(FileObject& file, const std::vector<std::shared_ptr<Request>>& requests) {
    if (!BeginUse(file)) {
        return;
    }
    for (const std::shared_ptr<Request>& request : requests) {
        kmodel::io::Cancel(file.file, &request->io);
    }
    EndUse(file);
}

// Waits as Windows does, on the request's event if it is still in flight,
// then for the request itself in case the event was set for another request
// sharing it.
void WaitForRequest(const std::shared_ptr<Request>& request) {
    if (request->event && !HasFinished(*request)) {
        KeWaitForSingleObject(&request->event->event, UserRequest, UserMode, FALSE, nullptr);
    }
    Harvest(request);
}

}  // namespace

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, lpOverlapped, lpNumberOfBytesRead, true,
                    [&](PFILE_OBJECT file, kmodel::io::Request* io) {
                        return kmodel::io::Read(file, lpBuffer, nNumberOfBytesToRead, io);
                    });
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, lpOverlapped, lpNumberOfBytesWritten, false,
                    [&](PFILE_OBJECT file, kmodel::io::Request* io) {
                        return kmodel::io::Write(file, lpBuffer, nNumberOfBytesToWrite, io);
                    });
}

// Synchronous on every handle, as on Windows, where the caller waits for the
// flush even on a handle opened for overlapped I/O.
BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    std::shared_ptr<FileObject> file = LookupFile(hFile);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    std::shared_ptr<Request> request = TrackRequest(*file, nullptr, nullptr);
    NTSTATUS status = IssueOn(*file, *request, [](PFILE_OBJECT f, kmodel::io::Request* io) {
        return kmodel::io::Simple(f, IRP_MJ_FLUSH_BUFFERS, io);
    });
    return FinishSynchronous(request, status, nullptr, false);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    return Transfer(hDevice, lpOverlapped, lpBytesReturned, false,
                    [&](PFILE_OBJECT file, kmodel::io::Request* io) {
                        return kmodel::io::DeviceControl(file, dwIoControlCode, lpInBuffer, nInBufferSize,
                                                         lpOutBuffer, nOutBufferSize, io);
                    });
}

BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    std::shared_ptr<Request> request = FindRequest(lpOverlapped);
    if (request && !HasFinished(*request) && !bWait) {
        return FailWithError(ERROR_IO_INCOMPLETE);
    }
    if (request) {
        WaitForRequest(request);
    }
    if (StatusOf(lpOverlapped) == STATUS_PENDING) {
        return FailWithError(ERROR_IO_INCOMPLETE);  // no request was issued with it
    }
    SetBytes(lpNumberOfBytesTransferred, lpOverlapped->InternalHigh);
    NTSTATUS status = StatusOf(lpOverlapped);
    return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

BOOL HasOverlappedIoCompleted(LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<Request> request = FindRequest(lpOverlapped);
    if (request && HasFinished(*request)) {
        Harvest(request);
    }
    return StatusOf(lpOverlapped) != STATUS_PENDING;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    std::shared_ptr<FileObject> file = LookupFile(hFile);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    uint64_t self = kmodel::CurrentThreadId();
    CancelRequests(*file, PendingRequests(file->id, nullptr, &self));
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<FileObject> file = LookupFile(hFile);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    std::vector<std::shared_ptr<Request>> requests = PendingRequests(file->id, lpOverlapped, nullptr);
    if (requests.empty()) {
        return FailWithError(ERROR_NOT_FOUND);
    }
    CancelRequests(*file, requests);
    return TRUE;
}
