// Helpers of the Win32 layer that Windows does not have under these names:
// the status mapping it applies and counters tests can check.
#pragma once

#include <cstddef>
#include <functional>

#include <win32/windows.h>

namespace win32sim {

// The Win32 error an NTSTATUS becomes, as RtlNtStatusToDosError maps it;
// ERROR_MR_MID_NOT_FOUND for a status it does not know.
DWORD DosErrorFromNtStatus(NTSTATUS status);

// Handles open now (files and events).
size_t OpenHandleCount();

// Requests issued through this layer whose OVERLAPPED has not yet been
// filled in (still in flight, or finished but not yet looked at).
size_t TrackedRequestCount();

// A request this layer sent to a driver (CREATE, READ, WRITE or
// DEVICE_CONTROL), reported once its result is known: at once for one that
// failed or finished when issued, else when the application collects it
// (GetOverlappedResult, a wait on its event, a synchronous call's return).
// For tools that trace I/O. A CREATE is the open as issued: one the I/O
// manager refuses itself (a second open of an exclusive device) is
// reported with its status although no request reached the driver.
struct RequestRecord {
    PDEVICE_OBJECT device = nullptr;  // the device the handle was opened on; NULL for a failed open
    UCHAR major = 0;                  // IRP_MJ_*
    ULONG ioControlCode = 0;          // DEVICE_CONTROL only
    ULONG inputLength = 0;            // DEVICE_CONTROL only
    ULONG length = 0;                 // READ and WRITE: Length; DEVICE_CONTROL: OutputBufferLength
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

// One observer, called on the application's thread; an empty function
// removes it.
void SetRequestObserver(std::function<void(const RequestRecord&)> observer);

}  // namespace win32sim
