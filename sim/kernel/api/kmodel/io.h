// The I/O manager's system services on behalf of an application: open a name,
// send reads, writes and device controls on a file object, cancel, close.
// The Win32 layer is built on these, as Win32 is built on the Nt services.
#pragma once

#include <functional>
#include <string>

#include <wdm.h>

namespace kmodel::io {

// One request in flight on behalf of an application. The caller keeps it
// alive until the request has finished.
struct Request {
    IO_STATUS_BLOCK IoStatus{};
    PKEVENT UserEvent = nullptr;          // the caller's own, also set at completion
    PIO_STATUS_BLOCK UserIosb = nullptr;  // the caller's own, written before UserEvent is set
    KEVENT Done{};                // set when the status block has been written
    PIRP Irp = nullptr;           // while in flight, for cancellation (model use)
    bool Finished = false;        // the status block has been written
};

// Opens a name of the object namespace (\??\COM5, \Device\X, an interface
// link), sending IRP_MJ_CREATE to the top of the device's stack.
NTSTATUS Open(const std::u16string& name, PFILE_OBJECT* file);

// Each returns STATUS_PENDING when the request is in flight (the status block
// and event follow at completion) or the final status; a final status that is
// not an error has also been written to the status block, an error has not.
NTSTATUS Read(PFILE_OBJECT file, void* buffer, ULONG length, Request* request);
NTSTATUS Write(PFILE_OBJECT file, const void* buffer, ULONG length, Request* request);
NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, Request* request);
// A request of any other major function with no buffer (FLUSH_BUFFERS, ...).
NTSTATUS Simple(PFILE_OBJECT file, UCHAR major, Request* request);

// Waits for a pending request and returns its final status.
NTSTATUS Wait(Request* request);

// Cancels one request of the file (or all of them, for nullptr).
void Cancel(PFILE_OBJECT file, Request* request);

// Closes the handle: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE when the file object's
// last reference (outstanding requests hold one each) goes.
NTSTATUS CloseHandle(PFILE_OBJECT file);

size_t OpenFileCount(PDEVICE_OBJECT device);

// ---- watching requests ---------------------------------------------------------

// A request the I/O manager sends to a driver (for an application, or for
// the PnP and power managers), seen by a tool's I/O trace twice: as it is
// sent to the top of the device's stack, and as its completion reaches the
// I/O manager.
struct RequestRecord {
    uint64_t id = 0;                  // the same at send and at completion
    int64_t time = 0;                 // model time (100 ns since boot) of the send or the completion
    PDEVICE_OBJECT device = nullptr;  // the device the request was sent to
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;  // DEVICE_CONTROL and INTERNAL_DEVICE_CONTROL
    ULONG inputLength = 0;    // DEVICE_CONTROL and INTERNAL_DEVICE_CONTROL
    ULONG length = 0;         // READ and WRITE: Length; device controls: OutputBufferLength
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;  // at completion
    ULONG_PTR information = 0;         // at completion
};

// One observer; an empty function removes it. It is called in the context
// that sends or completes the request (a completion may come from a DPC at
// DISPATCH_LEVEL) with no model lock held; it must neither wait nor block
// in the host.
void SetRequestObserver(std::function<void(const RequestRecord&)> observer);

}  // namespace kmodel::io
