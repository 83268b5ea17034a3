// The application side of the model: the Win32 file, overlapped I/O and
// event calls with their standard names, types and semantics, built on the
// kernel model's I/O system services (kmodel::io). The serial comm API
// (win32/comm.h) and the registry calls (win32/winreg.h) come with it, as
// they do with Windows' windows.h; SetupAPI is win32/setupapi.h.
//
// Every call works from any thread. Threads of a test that call it should be
// started as kmodel::ModelThread, so that the model's quiescence counts them
// while they wait; waits and time-outs run on the model's clock.
//
// Known differences from Windows:
// - an OVERLAPPED's Internal and InternalHigh are filled in when the
//   application next looks at the request (GetOverlappedResult,
//   HasOverlappedIoCompleted, or a wait on its hEvent that returns), not at
//   the moment the request completes; hEvent itself is set at completion;
// - only events can be waited on, and WaitForMultipleObjects is absent;
// - events cannot be named.
#pragma once

#include <wdm.h>

// ---- types -----------------------------------------------------------------------

#define WINAPI

typedef int BOOL;
typedef BOOL* LPBOOL;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const CHAR* LPCSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* LPSTR;
typedef WCHAR* LPWSTR;
typedef BYTE* LPBYTE;
typedef struct HWND__* HWND;
typedef HANDLE* LPHANDLE;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Internal and InternalHigh are the request's I/O status block: the final
// NTSTATUS and the byte count.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// ---- constants ---------------------------------------------------------------------

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#endif

#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#endif

#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#endif

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_FLAG_OVERLAPPED 0x40000000u

#define INFINITE 0xFFFFFFFFu
#ifndef MAXDWORD
#define MAXDWORD 0xFFFFFFFFu
#endif
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_SUCCESS 0u
#define NO_ERROR 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_CRC 23u
#define ERROR_BAD_LENGTH 24u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_DEV_NOT_EXIST 55u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_BAD_PATHNAME 161u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOACCESS 998u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_DEVICE_REMOVED 1617u
#define ERROR_INVALID_USER_BUFFER 1784u

// ---- errors ------------------------------------------------------------------------

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD dwErrCode);

// ---- files and devices ---------------------------------------------------------------

// Opens a device by its DOS name: "\\.\COM5" (any name under \??), or a
// reserved device name such as "COM5" or "COM5:". Anything else would be a
// file system path, and the model has no file system.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait);
// A macro reading Internal on Windows; a function here, so that a completed
// request's status block is filled in first.
BOOL HasOverlappedIoCompleted(LPOVERLAPPED lpOverlapped);

// Cancels the requests on hFile that the calling thread issued.
BOOL WINAPI CancelIo(HANDLE hFile);
// Cancels every request on hFile (lpOverlapped NULL) or those issued with
// lpOverlapped, from any thread.
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
// Sends IRP_MJ_FLUSH_BUFFERS and waits for it, on any handle.
BOOL WINAPI FlushFileBuffers(HANDLE hFile);

// Files: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE once no request holds the file.
BOOL WINAPI CloseHandle(HANDLE hObject);

// ---- events, waits and time --------------------------------------------------------------------

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

// The time-out is in milliseconds of model time.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// A timed wait of the model: the thread stays a model thread while it sleeps.
void WINAPI Sleep(DWORD dwMilliseconds);
// Milliseconds of model time since boot; wraps after 49.7 days, as Windows' does.
DWORD WINAPI GetTickCount();

// ---- the serial communications API and the registry ------------------------------------

#include <win32/comm.h>
#include <win32/winreg.h>
