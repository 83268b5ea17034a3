// qvusbbus: common declarations of the bus driver's modules.
//
// The bus driver is the function driver of a USB CDC-ACM modem (or of the
// modem function a composite parent gives it). It configures the device and
// creates one child PDO, on which the port driver runs; the child's
// extension publishes the three pipe handles as 32-bit values at byte
// offsets 12, 16 and 20, and the child's URBs are forwarded to the USB
// device below.
//
// This header includes only DDK headers, so the same sources build as a
// kernel-mode .sys and inside the user-mode kernel model.
#pragma once

#include "usbddk.h"
#if defined(_WIN32) && !defined(STATUS_DEVICE_CONFIGURATION_ERROR)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#endif

// The sim build links this driver into one program with the port driver,
// so its entry point has its own name there; the .sys exports DriverEntry.
#ifndef QVUSBBUS_ENTRY
#define QVUSBBUS_ENTRY DriverEntry
#endif

#define BUS_POOL_TAG 0x42557651  // 'QvUB'

#define FDO_SIGNATURE 0x4F444642  // 'BFDO'
#define PDO_SIGNATURE 0x4F445042  // 'BPDO'

// CDC class, subclass and descriptor codes (USB CDC 1.2).
#define CDC_COMMUNICATION_CLASS 0x02
#define CDC_ABSTRACT_CONTROL_SUBCLASS 0x02
#define CDC_DATA_CLASS 0x0A
#define CDC_CS_INTERFACE 0x24
#define CDC_UNION_SUBTYPE 0x06
#define USB_IAD_DESCRIPTOR_TYPE 0x0B

// The three pipes, in the order the child publishes them.
enum PIPE_ROLE { BulkInPipe = 0, BulkOutPipe = 1, InterruptInPipe = 2, PipeRoleCount = 3 };

// What the configuration descriptor says about the modem function. The
// interface pointers point into the configuration buffer.
typedef struct _MODEM_FUNCTION {
    PUSB_INTERFACE_DESCRIPTOR CommInterface;
    PUSB_INTERFACE_DESCRIPTOR DataInterface;
    UCHAR Endpoint[PipeRoleCount];  // endpoint addresses, by PIPE_ROLE
} MODEM_FUNCTION, *PMODEM_FUNCTION;

enum BUS_STATE { BusStopped = 0, BusStarted, BusSurpriseRemoved, BusRemoved };

// A count of requests in flight below the device and an event that is set
// when it drops to zero after removal began (like IO_REMOVE_LOCK).
typedef struct _BUS_REMOVE_LOCK {
    LONG Count;
    LONG Removing;
    KEVENT Drained;
} BUS_REMOVE_LOCK, *PBUS_REMOVE_LOCK;

typedef struct _FDO_EXTENSION {
    ULONG Signature;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT Pdo;
    LONG State;  // BUS_STATE
    BUS_REMOVE_LOCK RemoveLock;
    KSPIN_LOCK SpinLock;  // guards Pipes, State and the child's pointer on the URB path
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR Configuration;  // pool, while configured
    MODEM_FUNCTION Function;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_PIPE_HANDLE Pipes[PipeRoleCount];  // the stack's handles of the current configuration
    ULONG Published[PipeRoleCount];         // the values the child publishes, fixed at the first start
    BOOLEAN PublishedSet;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];  // from the USB device's capabilities
    DEVICE_POWER_STATE DevicePower;
    SYSTEM_POWER_STATE SystemPower;
    PDEVICE_OBJECT Child;   // the child PDO, or NULL
    BOOLEAN ChildPresent;   // reported in BusRelations
} FDO_EXTENSION, *PFDO_EXTENSION;

// The child PDO's extension. Its layout up to InterruptPipe is a contract
// with the port driver above.
typedef struct _PDO_EXTENSION {
    ULONG Signature;      // 0
    ULONG InterfaceNumber;  // 4: the communication interface
    ULONG Started;        // 8
    ULONG BulkInPipe;     // 12
    ULONG BulkOutPipe;    // 16
    ULONG InterruptPipe;  // 20
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT Fdo;  // the parent
    LONG Gone;           // the USB device is gone: requests fail with STATUS_DELETE_PENDING
    DEVICE_POWER_STATE DevicePower;
} PDO_EXTENSION, *PPDO_EXTENSION;

static_assert(FIELD_OFFSET(PDO_EXTENSION, BulkInPipe) == 12, "pipe handle offsets are a contract");
static_assert(FIELD_OFFSET(PDO_EXTENSION, BulkOutPipe) == 16, "pipe handle offsets are a contract");
static_assert(FIELD_OFFSET(PDO_EXTENSION, InterruptPipe) == 20, "pipe handle offsets are a contract");

inline PFDO_EXTENSION FdoExtensionOf(PDEVICE_OBJECT fdo) {
    return static_cast<PFDO_EXTENSION>(fdo->DeviceExtension);
}
inline PPDO_EXTENSION PdoExtensionOf(PDEVICE_OBJECT pdo) {
    return static_cast<PPDO_EXTENSION>(pdo->DeviceExtension);
}
inline BOOLEAN IsFdo(PDEVICE_OBJECT device) {
    return *static_cast<PULONG>(device->DeviceExtension) == FDO_SIGNATURE;
}

// ---------------------------------------------------------------------------
// BusEntry module: entry, AddDevice, dispatch by device role, helpers
// ---------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI QVUSBBUS_ENTRY(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS CompleteBusRequest(PIRP Irp, NTSTATUS status, ULONG_PTR info = 0);
NTSTATUS ForwardToLowerAndWait(PDEVICE_OBJECT lower, PIRP Irp);
VOID InitializeBusRemoveLock(PBUS_REMOVE_LOCK lock);
BOOLEAN AcquireBusRemoveLock(PBUS_REMOVE_LOCK lock);
VOID ReleaseBusRemoveLock(PBUS_REMOVE_LOCK lock);
VOID ReleaseBusRemoveLockAndWait(PBUS_REMOVE_LOCK lock);

// ---------------------------------------------------------------------------
// Descriptors module: checks and walks the device's descriptors
// ---------------------------------------------------------------------------

NTSTATUS CheckDeviceDescriptor(const USB_DEVICE_DESCRIPTOR* device, ULONG length);
NTSTATUS ParseModemConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                                 PMODEM_FUNCTION function);

// ---------------------------------------------------------------------------
// Configuration module: reads descriptors, selects and drops the configuration
// ---------------------------------------------------------------------------

NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT lower, PURB urb);
NTSTATUS ConfigureDevice(PFDO_EXTENSION fdx);
VOID UnconfigureDevice(PFDO_EXTENSION fdx);

// ---------------------------------------------------------------------------
// FdoPnp and ChildPnp modules
// ---------------------------------------------------------------------------

NTSTATUS DispatchFdoPnp(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS DispatchChildPnp(PDEVICE_OBJECT pdo, PIRP Irp);
NTSTATUS CreateChild(PFDO_EXTENSION fdx);
VOID DeleteChild(PFDO_EXTENSION fdx);
VOID MarkChildGone(PFDO_EXTENSION fdx);

// ---------------------------------------------------------------------------
// Power module
// ---------------------------------------------------------------------------

NTSTATUS DispatchFdoPower(PDEVICE_OBJECT fdo, PIRP Irp);
NTSTATUS DispatchChildPower(PDEVICE_OBJECT pdo, PIRP Irp);

// ---------------------------------------------------------------------------
// UrbForward module: the child's internal requests
// ---------------------------------------------------------------------------

NTSTATUS DispatchChildInternalControl(PDEVICE_OBJECT pdo, PIRP Irp);
VOID PublishPipes(PFDO_EXTENSION fdx, const USBD_PIPE_HANDLE* pipes);
