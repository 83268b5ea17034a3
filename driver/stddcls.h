// qvsimdm: common declarations of the driver's modules.
//
// This header includes only DDK headers, so the same sources build as a
// kernel-mode .sys and inside the user-mode kernel model.
#pragma once

#include "usbddk.h"
#include <ntddser.h>

#if defined(_WIN32)
// Serial and USB names mingw-w64's headers lack; the kernel model has them.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef SERIAL_LSR_DR
#define SERIAL_LSR_DR 0x01
#define SERIAL_LSR_OE 0x02
#define SERIAL_LSR_PE 0x04
#define SERIAL_LSR_FE 0x08
#define SERIAL_LSR_BI 0x10
#define SERIAL_LSR_THRE 0x20
#define SERIAL_LSR_TEMT 0x40
#define SERIAL_LSR_FIFOERR 0x80
#endif
#ifndef USBD_HALTED
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#endif
#ifndef USBD_STATUS_ERROR
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000L)
#endif
#ifndef USBD_STATUS_HALTED
#define USBD_STATUS_HALTED ((USBD_STATUS)0xC0000000L)
#endif
#ifndef USBD_STATUS_REQUEST_FAILED
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#endif
#ifndef USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00L)
#endif
#endif

#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif

// All of the driver's pool carries this tag.
#define QV_POOL_TAG 0x206D6457  // 'Wdm '

// The device interface class applications look the modem up by.
extern "C" const GUID GUID_INTERFACE_USBMODEM;

// ---------------------------------------------------------------------------
// Remove lock and pending-action counter
// ---------------------------------------------------------------------------

typedef struct _REMOVE_LOCK {
    LONG Usage;         // holds, plus one for the device itself
    BOOLEAN Removing;   // removal has begun; never cleared
    KEVENT RemoveEvent; // set when Usage reaches 0
} REMOVE_LOCK, *PREMOVE_LOCK;

// ---------------------------------------------------------------------------
// Device extension
// ---------------------------------------------------------------------------

// Plug and Play states kept in DEVICE_EXTENSION.State.
enum DEVSTATE {
    Stopped = 0,
    Working = 1,
    PendingStop = 2,
    PendingRemove = 3,
    SurpriseRemoved = 4,
    Removed = 5,
};

// Bits of DEVICE_EXTENSION.ModemLines: the two low bits are SERIAL_DTR_STATE
// and SERIAL_RTS_STATE, the upper four of the low byte the SERIAL_MSR_ lines.
#define MODEM_LINE_DTR 0x0001
#define MODEM_LINE_RTS 0x0002
#define MODEM_LINE_CTS 0x0010
#define MODEM_LINE_DSR 0x0020
#define MODEM_LINE_RI 0x0040
#define MODEM_LINE_DCD 0x0080

#define DEVICE_ERROR_STATUS_PIPE_FAILED 9999

#define RECEIVE_BUFFER_SIZE 4096
#define STATUS_BUFFER_SIZE 17

#pragma pack(push, 1)
// The line coding as the CDC class carries it: rate, stop bits, parity, data bits.
typedef struct _LINE_CODING {
    ULONG DataRate;
    UCHAR CharFormat;
    UCHAR ParityType;
    UCHAR DataBits;
} LINE_CODING;
#pragma pack(pop)

// A reader's transfer as close and removal see it. Irp is the transfer
// with the lower driver; while a canceller holds it, its completion leaves
// the IRP for the last canceller to free.
typedef struct _READER_TRANSFER {
    PIRP Irp;
    LONG CancelHolds;
    BOOLEAN Completed;
} READER_TRANSFER;

typedef struct _HANDFLOW_SETTINGS {
    ULONG ControlHandShake;
    ULONG FlowReplace;
} HANDFLOW_SETTINGS;

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT Pdo;
    REMOVE_LOCK RemoveLock;
    UNICODE_STRING InterfaceName;
    UNICODE_STRING DeviceName;
    LONG State;
    LONG PrevState;
    DEVICE_POWER_STATE DevicePower;
    SYSTEM_POWER_STATE SystemPower;
    DEVICE_CAPABILITIES DeviceCaps;
    LONG OpenCount;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptPipe;
    LONG ReadPipeError;
    LONG WritePipeError;
    LONG StatusPipeError;
    LONG DeviceErrorCode;
    LONG PendingActionCount;
    KEVENT PendingActionEvent;
    BOOLEAN Closing;
    READER_TRANSFER ReadTransfer;
    READER_TRANSFER StatusTransfer;
    LONG ReaderTransfers;          // reader transfers in flight, under SpinLock
    KEVENT ReadersStoppedEvent;    // set while ReaderTransfers is 0
    ULONG EventHistory;
    KSPIN_LOCK SpinLock;
    SERIAL_TIMEOUTS Timeouts;
    LINE_CODING LineCoding;
    BOOLEAN DtrAsserted;
    BOOLEAN DtrDroppedByHost;
    HANDFLOW_SETTINGS HandFlow;
    SERIAL_CHARS SpecialChars;
    ULONG WaitMask;
    ULONG BaudRate;
    SERIALPERF_STATS PerfStats;
    USHORT ModemLines;
    URB StatusUrb;
    URB ReadUrb;
    LIST_ENTRY WaitIrpQueue;
    LIST_ENTRY ReadIrpQueue;
    LIST_ENTRY WriteIrpQueue;        // admitted writes waiting for their turn
    BOOLEAN WriteActive;             // a write is on the wire (under SpinLock)
    WORK_QUEUE_ITEM WriteStartItem;  // starts the next write at PASSIVE_LEVEL
    PIRP WriteToStart;               // the write that item starts
    BOOLEAN WriteAborted;            // a purge ended the write on the wire
    PUCHAR ReadTransferBuffer;
    UCHAR StatusBuffer[STATUS_BUFFER_SIZE];
    UCHAR ReceiveBuffer[RECEIVE_BUFFER_SIZE];
    ULONG ReceiveReadOffset;
    ULONG ReceiveWriteOffset;
    BOOLEAN ReceiveStalled;
    ULONG ReceiveCount;
    UNICODE_STRING SerialCommValueName;
    UNICODE_STRING SymbolicLinkName;
    USHORT ModemStatusSnapshot;
    BOOLEAN StatusSeen;
    BOOLEAN CarrierOn;
    // ---- the open, the modem's lines and line errors ----
    PFILE_OBJECT OpenFileObject;  // the file whose create opened the port, under SpinLock
    USHORT LastUartState;         // the UART state of the last notification; outlives the open
    ULONG LineErrors;             // SERIAL_ERROR_ bits not yet read by GET_COMMSTATUS

    // ---- reads, writes, flushes, cleanup and receive recovery ----------
    // The read queue (ReadIrpQueue) holds every read not yet ended, in
    // arrival order; the first one takes the bytes as they come. Flushes
    // wait in WriteIrpQueue behind the writes queued before them.
    ULONG OutQueueBytes;            // accepted by writes, not yet sent (SpinLock)
    LONG ReceiveFailures;           // failed bulk-in transfers in a row (SpinLock)
    BOOLEAN ReceiveRecoveryArmed;   // the back-off timer holds a reader count (SpinLock)
    BOOLEAN ReceiveGivenUp;         // too many failures: halted until purge or open (SpinLock)
    KTIMER ReceiveRecoveryTimer;    // the back-off before the next attempt
    KDPC ReceiveRecoveryDpc;        // queues ReceiveRecoveryItem
    WORK_QUEUE_ITEM ReceiveRecoveryItem;  // resets the bulk-in pipe and restarts the reader
    PIRP WriteOnWire;               // the write whose chunks are being sent (SpinLock)
    struct _RWCONTEXT* WriteOnWireContext;  // and its context
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// The work-item context that re-runs a request at PASSIVE_LEVEL.
typedef struct _RANDOM_JUNK {
    WORK_QUEUE_ITEM WorkItem;
    PDEVICE_EXTENSION DeviceExtension;
    PIRP Irp;
    PDEVICE_OBJECT DeviceObject;
} RANDOM_JUNK, *PRANDOM_JUNK;

// The parent bus driver publishes the pipe handles at these byte offsets
// of its PDO's device extension, as 32-bit values.
#define PDO_BULK_IN_PIPE_OFFSET 12
#define PDO_BULK_OUT_PIPE_OFFSET 16
#define PDO_INTERRUPT_PIPE_OFFSET 20

// ---------------------------------------------------------------------------
// DriverEntry module: entry, AddDevice, naming, start/stop, completion
// ---------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
NTSTATUS GetRegistryKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameLength, PVOID Data, ULONG DataLength);
NTSTATUS DestroySymbolicLink(PDEVICE_EXTENSION pdx);
VOID EnableAllInterfaces(PDEVICE_EXTENSION pdx, BOOLEAN Enable);
VOID DeregisterAllInterfaces(PDEVICE_EXTENSION pdx);
VOID RemoveDevice(PDEVICE_OBJECT fdo);
NTSTATUS StartDevice(PDEVICE_OBJECT fdo);
VOID StopDevice(PDEVICE_EXTENSION pdx, BOOLEAN TearDown);

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status, ULONG_PTR info);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context);
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS DeferToPassiveLevel(PDEVICE_OBJECT fdo, PIRP Irp, PWORKER_THREAD_ROUTINE Callback,
                             NTSTATUS (*Passive)(PDEVICE_OBJECT, PIRP));
VOID RunDeferredRequest(PRANDOM_JUNK junk, NTSTATUS (*Passive)(PDEVICE_OBJECT, PIRP));

extern ULONG currentInstance;

// ---------------------------------------------------------------------------
// DispatchCreate / DispatchClose modules
// ---------------------------------------------------------------------------

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS NTAPI ModemCleanup(PDEVICE_OBJECT fdo, PIRP Irp);

// ---------------------------------------------------------------------------
// DispatchPlugPlay module
// ---------------------------------------------------------------------------

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS DefaultPnpHandler(PDEVICE_OBJECT fdo, PIRP Irp);

// ---------------------------------------------------------------------------
// DispatchPower module
// ---------------------------------------------------------------------------

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP Irp);

// ---- the power state machine ----------------------------------------------
// Declared here so that white-box tests can drive the machine directly.

// Events fed to the machine.
enum POWEVENT {
    IrpArrived = 0,          // a new set-power or query-power request
    LowerCompleted = 1,      // the request came back from the lower driver
    DeviceIrpCompleted = 2,  // the device request asked for has completed
};

// States of a POWCONTEXT (its MachineState); 7 and 8 are not used.
enum POWSTATE {
    NotStarted = 0,
    SystemUpAtLower = 1,            // system request raising power, passed down
    DeviceIrpAfterSystemUp = 2,     // its device request asked for
    DeviceIrpBeforeSystemDown = 3,  // device request asked for before a system request lowering power
    SystemDownAtLower = 4,          // that system request, passed down
    DeviceUpAtLower = 5,            // device set-power raising power, passed down
    DeviceDownAtLower = 6,          // device set-power lowering or keeping power, passed down
    DeviceQueryUpAtLower = 9,       // device query for a higher state, passed down
    DeviceQueryDownAtLower = 10,    // device query for a lower or equal state, passed down
    SortingDeviceIrp = 11,          // within the arrival of a device request
    Finished = 12,                  // being freed
};

// One per set-power or query-power request, from its arrival until the
// machine finishes it.
typedef struct _POWCONTEXT {
    PDEVICE_EXTENSION DeviceExtension;
    PIRP Irp;                             // the request being handled
    LONG MachineState;                    // a POWSTATE
    NTSTATUS LastStatus;                  // the status last reported to the machine
    DEVICE_POWER_STATE TargetDevicePower; // device state asked for on behalf of a system request
    UCHAR RequestMinor;                   // minor function of that device request
    BOOLEAN HoldsRemoveLock;              // the machine's own remove-lock hold was granted
} POWCONTEXT, *PPOWCONTEXT;

NTSTATUS DefaultPowerHandler(PDEVICE_EXTENSION pdx, PIRP Irp);
NTSTATUS HandlePowerEvent(PPOWCONTEXT Context, POWEVENT Event);
NTSTATUS NTAPI MainCompletionRoutine(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context);
VOID NTAPI PoCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                               PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS SafePoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---------------------------------------------------------------------------
// DispatchIoControl module: serial controls and class requests
// ---------------------------------------------------------------------------

NTSTATUS NTAPI ModemIoControl(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS GetLineCode(PDEVICE_OBJECT fdo);
NTSTATUS SetLineCode(PDEVICE_OBJECT fdo);
NTSTATUS SendBreak(PDEVICE_OBJECT fdo, SHORT Value);
NTSTATUS setDTR_RTS(PDEVICE_OBJECT fdo, USHORT Value);

// ---------------------------------------------------------------------------
// DispatchRead / DispatchWrite modules
// ---------------------------------------------------------------------------

// The receive buffer's marks.
#define RECEIVE_TRANSFER_SIZE 1024
#define RECEIVE_HIGH_WATER 3072
#define RECEIVE_80_PERCENT 3276

// One read held in ReadIrpQueue: its own timers and what it has so far.
// It lives until the read is ended and no timer or DPC of it is left.
typedef struct _READ_CONTEXT {
    KTIMER TotalTimer;
    KDPC TotalDpc;
    KTIMER IntervalTimer;
    KDPC IntervalDpc;
    PDEVICE_EXTENSION DeviceExtension;
    PIRP Irp;
    ULONG Length;              // bytes asked for
    ULONG Copied;              // bytes already in the IRP's buffer
    LONGLONG IntervalTicks;    // 100 ns units; 0: no interval time-out
    ULONGLONG LastByteTime;    // interrupt time when the last bytes came
    LONG References;           // one for the queue, one per armed timer
    BOOLEAN ReturnOnFirstBytes;
    BOOLEAN TotalArmed;
    BOOLEAN IntervalArmed;
    BOOLEAN Ended;             // taken out of the queue; Status is final
    NTSTATUS Status;
} READ_CONTEXT, *PREAD_CONTEXT;

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS ReadBulkPipe(PDEVICE_EXTENSION pdx, USBD_PIPE_HANDLE Pipe);
NTSTATUS NTAPI ReadPipeCompletion(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context);
NTSTATUS ReadFromQueue(PDEVICE_EXTENSION pdx, PVOID Destination, PULONG Length);
NTSTATUS EnqueueReadIrp(PDEVICE_EXTENSION pdx, PIRP Irp, PREAD_CONTEXT Context);  // with SpinLock held
VOID CompletePendingReadIrps(PDEVICE_EXTENSION pdx, NTSTATUS Status, PFILE_OBJECT File);
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp);
VOID NTAPI ReadTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadIntervalTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);
VOID ReadTimerExpired(PREAD_CONTEXT Context, BOOLEAN Interval);
VOID NTAPI ReceiveRecoveryDPC(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);
VOID CancelReceiveRecovery(PDEVICE_EXTENSION pdx);

// A file whose cleanup has run is marked so, and its later requests refused.
inline BOOLEAN IsCleanedUpFile(PDEVICE_EXTENSION pdx, PFILE_OBJECT file) {
    return file != nullptr && file->FsContext2 == pdx;
}
// Under SpinLock: the device is going away, or the request's file is closing.
NTSTATUS RefusalStatusLocked(PDEVICE_EXTENSION pdx, PIRP Irp);

#define WRITE_CHUNK_SIZE 4096

// One admitted write: the URB of its current chunk and how far it has got.
typedef struct _RWCONTEXT {
    URB Urb;  // first member: the record's address is the URB's
    ULONG Length;  // the request's length, for the output-queue count
    LONG CancelHolds;         // cancellers using the IRP while it is on the wire (SpinLock)
    BOOLEAN EndedWhileHeld;   // it ended meanwhile: the last canceller completes it
    PUCHAR NextBuffer;
    ULONG BytesRemaining;
    ULONG BytesTransferred;
} RWCONTEXT, *PRWCONTEXT;

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS PassiveDispatchWrite(PDEVICE_OBJECT fdo, PIRP Irp);
VOID NTAPI WorkItemCallbackDispatchWrite(PVOID Context);
NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context);
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp);
VOID CompleteQueuedWrites(PDEVICE_EXTENSION pdx, NTSTATUS Status, PFILE_OBJECT File);
VOID AbortWrites(PDEVICE_OBJECT fdo, PFILE_OBJECT File);
NTSTATUS NTAPI DispatchFlushBuffers(PDEVICE_OBJECT fdo, PIRP Irp);
VOID PurgeReceiveBuffer(PDEVICE_EXTENSION pdx);

// ---------------------------------------------------------------------------
// SerialEmulation module
// ---------------------------------------------------------------------------

NTSTATUS SubmitUrb(PDEVICE_OBJECT TargetDevice, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context);
BOOLEAN SubmitReaderUrb(PDEVICE_EXTENSION pdx, READER_TRANSFER* Transfer, PURB Urb,
                        PIO_COMPLETION_ROUTINE CompletionRoutine);
VOID EndReaderTransfer(PDEVICE_EXTENSION pdx, READER_TRANSFER* Transfer, PIRP Irp);
VOID StopReaders(PDEVICE_EXTENSION pdx);
VOID InitializeSerEmulVariables(PDEVICE_EXTENSION pdx);
NTSTATUS StatusPipe(PDEVICE_EXTENSION pdx, USBD_PIPE_HANDLE Pipe);
NTSTATUS NTAPI StatusPipeCompletion(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context);
VOID UpdateStatus(PDEVICE_EXTENSION pdx);

// A CDC SERIAL_STATE notification: an 8-byte setup-style header, then the
// 16-bit UART state, little-endian.
#define SERIAL_STATE_HEADER_SIZE 8
#define SERIAL_STATE_SIZE 10
#define UART_STATE_DCD 0x0001      // bRxCarrier
#define UART_STATE_DSR 0x0002      // bTxCarrier
#define UART_STATE_BREAK 0x0004    // break detected
#define UART_STATE_RING 0x0008     // ring signal
#define UART_STATE_FRAMING 0x0010  // framing error
#define UART_STATE_PARITY 0x0020   // parity error
#define UART_STATE_OVERRUN 0x0040  // receive overrun
#define MODEM_LINES_OF_MODEM (MODEM_LINE_CTS | MODEM_LINE_DSR | MODEM_LINE_RI | MODEM_LINE_DCD)

// The rate an open starts at, and the rates a port accepts.
#define DEFAULT_BAUD_RATE 115200
#define MIN_BAUD_RATE 50
#define MAX_BAUD_RATE 921600

// ---------------------------------------------------------------------------
// utility module: remove lock, pending actions, synchronous URBs, pipes
// ---------------------------------------------------------------------------

VOID UTILInitializeRemoveLock(PREMOVE_LOCK Lock, ULONG Tag, ULONG MaxLockedMinutes, ULONG HighWatermark);
NTSTATUS UTILAcquireRemoveLock(PREMOVE_LOCK Lock, PVOID Tag);
VOID UTILReleaseRemoveLock(PREMOVE_LOCK Lock, PVOID Tag);
VOID UTILReleaseRemoveLockAndWait(PREMOVE_LOCK Lock, PVOID Tag);
VOID IncrementPendingActionCount(PDEVICE_EXTENSION pdx);
VOID DecrementPendingActionCount(PDEVICE_EXTENSION pdx);

PIRP DequeueCancelableIrp(PDEVICE_EXTENSION pdx, PLIST_ENTRY queue);
PIRP DequeueCancelableIrpOfFile(PDEVICE_EXTENSION pdx, PLIST_ENTRY queue, PFILE_OBJECT file);
PIRP DequeueCancelableIrpLocked(PLIST_ENTRY queue, PFILE_OBJECT file);
NTSTATUS EnqueueCancelableIrpLocked(PLIST_ENTRY queue, PIRP Irp, PDRIVER_CANCEL CancelRoutine);
PDEVICE_EXTENSION UnlinkCancelledIrp(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS EnqueueWaitIrp(PDEVICE_EXTENSION pdx, PIRP Irp);
NTSTATUS EnqueueWaitIrpLocked(PDEVICE_EXTENSION pdx, PIRP Irp);
PIRP DequeueWaitIrp(PDEVICE_EXTENSION pdx);
VOID CompletePendingWaitIrps(PDEVICE_EXTENSION pdx, ULONG Events);
PIRP RecordSerialEventsLocked(PDEVICE_EXTENSION pdx, ULONG Events);
VOID RecordSerialEvents(PDEVICE_EXTENSION pdx, ULONG Events);
VOID CompleteWaitIrp(PIRP Irp);
VOID NTAPI WaitMaskCancelRoutine(PDEVICE_OBJECT fdo, PIRP Irp);

NTSTATUS SendAwaitUrb(PDEVICE_OBJECT fdo, PURB Urb);
NTSTATUS AbortPipe(PDEVICE_OBJECT fdo, USBD_PIPE_HANDLE Pipe);
NTSTATUS ResetPipe(PDEVICE_OBJECT fdo, USBD_PIPE_HANDLE Pipe);
VOID CleanupAllPipes(PDEVICE_OBJECT fdo);
VOID ResetPipeOrDevice(PDEVICE_OBJECT fdo, USBD_PIPE_HANDLE Pipe);
VOID RecoverPipeIfFailed(PDEVICE_EXTENSION pdx, LONG volatile* ErrorFlag, USBD_PIPE_HANDLE Pipe);
// The empty device-level recovery step after a failed pipe reset; the same
// empty routine is the driver's unload routine.
VOID ResetDevice(PDEVICE_OBJECT fdo);
VOID NTAPI ResetDevice(PDRIVER_OBJECT DriverObject);

inline PDEVICE_EXTENSION DeviceExtensionOf(PDEVICE_OBJECT fdo) {
    return static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

// A request that arrives while the device is going away is refused.
inline BOOLEAN IsRefusedState(LONG state) {
    return state == PendingRemove || state == SurpriseRemoved || state == Removed;
}
