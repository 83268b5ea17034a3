// Events, waits and time, on the kernel model's dispatcher objects so that waits
// take part in quiescence and time-outs run on the model's clock.
#include <memory>

#include <win32/windows.h>

#include "objects.h"
#include "requests.h"

using namespace win32sim::detail;

namespace {

constexpr LONGLONG kTicksPerMillisecond = 10000;  // 100 ns units

HANDLE CreateEventObject(BOOL manualReset, BOOL initialState, bool named) {
    if (named) {
        SetLastError(ERROR_NOT_SUPPORTED);  // no object namespace for events here
        return nullptr;
    }
    auto event = std::make_shared<EventObject>();
    KeInitializeEvent(&event->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::move(event));
}

}  // namespace

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    return CreateEventObject(bManualReset, bInitialState, lpName != nullptr);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    return CreateEventObject(bManualReset, bInitialState, lpName != nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = LookupEvent(hEvent);
    if (!event) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = LookupEvent(hEvent);
    if (!event) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    KeClearEvent(&event->event);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<EventObject> event = LookupEvent(hHandle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * kTicksPerMillisecond;
    PLARGE_INTEGER limit = dwMilliseconds == INFINITE ? nullptr : &timeout;
    NTSTATUS status = KeWaitForSingleObject(&event->event, UserRequest, UserMode, FALSE, limit);
    if (status != STATUS_SUCCESS) {
        return WAIT_TIMEOUT;
    }
    // The application may read the OVERLAPPED of a request that set this event.
    HarvestFinished(event.get());
    return WAIT_OBJECT_0;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * kTicksPerMillisecond;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

DWORD WINAPI GetTickCount() {
    return static_cast<DWORD>(KeQueryInterruptTime() / kTicksPerMillisecond);
}
