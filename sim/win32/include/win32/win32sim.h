// Helpers of the Win32 layer that Windows does not have under these names:
// the status mapping it applies and counters tests can check.
#pragma once

#include <cstddef>

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

}  // namespace win32sim
