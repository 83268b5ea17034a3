/* Under Wine only: steps that make Wine's kernel behave as Windows' where
 * the drivers above the test bus rely on it. Nothing is done where the
 * Wine-only export wine_ntoskrnl_main_loop is missing, that is on Windows.
 *
 * 1. The modem driver's hardware-key reads. The modem driver opens its
 * device's hardware key with STANDARD_RIGHTS_READ and then queries PortName.
 * Windows does not check a kernel-mode handle's access on ZwQueryValueKey;
 * Wine does, and refuses the query. So, before the modem driver is loaded,
 * the bus points ntoskrnl's export of IoOpenDeviceRegistryKey at a wrapper
 * that adds KEY_READ to the access asked for. On x64 an export is a 32-bit
 * offset from ntoskrnl's base, so the export leads to a small jump placed in
 * memory just above ntoskrnl's image, and the jump leads to the wrapper
 * (WineRedirectExport, also used for the timers and work items of
 * winedefer.c).
 *
 * 2. Instance IDs unique system-wide. The bus driver on each USB device
 * reports one child whose instance ID is unique only among its siblings,
 * and says so (UniqueID FALSE in the child's capabilities); Windows' Plug
 * and Play manager then makes the device instance unique by combining the
 * ID with its parent's. Wine's takes the ID as it comes, so the port
 * devices of two modems would be one device instance. The test bus wraps
 * the Plug and Play dispatch routine of the driver of such a child, and the
 * wrapper prefixes the instance ID the child reports with the test bus's
 * instance ID of the USB device below it ("1&0000"), as Windows prefixes
 * it with its parent's. */
#include "winefix.h"

#include <ntimage.h>

typedef NTSTATUS(NTAPI* OPEN_KEY_ROUTINE)(PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE);
typedef NTSTATUS(NTAPI* ALLOCATE_ROUTINE)(HANDLE, PVOID*, ULONG_PTR, PSIZE_T, ULONG, ULONG);
typedef NTSTATUS(NTAPI* PROTECT_ROUTINE)(HANDLE, PVOID*, PSIZE_T, ULONG, PULONG);

static OPEN_KEY_ROUTINE realOpenDeviceRegistryKey;

static NTSTATUS NTAPI OpenDeviceRegistryKeyForQuery(PDEVICE_OBJECT device, ULONG type, ACCESS_MASK access,
                                                    PHANDLE key) {
    return realOpenDeviceRegistryKey(device, type, access | KEY_READ, key);
}

static PVOID SystemRoutine(PCWSTR name) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    return MmGetSystemRoutineAddress(&text);
}

/* The PE image holding an address: images start on a 64 KiB boundary and
 * are mapped whole, so walking down from the address stays inside it. */
static PUCHAR ImageOf(PVOID address, PIMAGE_NT_HEADERS* headers) {
    for (ULONG_PTR base = (ULONG_PTR)address & ~(ULONG_PTR)0xFFFF; base != 0; base -= 0x10000) {
        PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)base;
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 0x1000) {
            continue;
        }
        PIMAGE_NT_HEADERS nt = (PIMAGE_NT_HEADERS)(base + dos->e_lfanew);
        if (nt->Signature == IMAGE_NT_SIGNATURE &&
            (ULONG_PTR)address < base + nt->OptionalHeader.SizeOfImage) {
            *headers = nt;
            return (PUCHAR)base;
        }
    }
    return NULL;
}

static PULONG ExportSlot(PUCHAR base, PIMAGE_NT_HEADERS nt, const char* name) {
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    PIMAGE_EXPORT_DIRECTORY exports = (PIMAGE_EXPORT_DIRECTORY)(base + dir.VirtualAddress);
    PULONG names = (PULONG)(base + exports->AddressOfNames);
    PUSHORT ordinals = (PUSHORT)(base + exports->AddressOfNameOrdinals);
    PULONG functions = (PULONG)(base + exports->AddressOfFunctions);
    for (ULONG i = 0; i < exports->NumberOfNames; ++i) {
        const char* candidate = (const char*)(base + names[i]);
        ULONG k = 0;
        while (name[k] != 0 && candidate[k] == name[k]) {
            ++k;
        }
        if (name[k] == 0 && candidate[k] == 0) {
            return &functions[ordinals[i]];
        }
    }
    return NULL;
}

/* Executable memory within 4 GiB above base + size, for the jump. */
static PUCHAR AllocateAbove(ALLOCATE_ROUTINE allocate, PUCHAR base, ULONG size) {
    ULONG_PTR start = ((ULONG_PTR)base + size + 0xFFFF) & ~(ULONG_PTR)0xFFFF;
    for (ULONG_PTR at = start; at < (ULONG_PTR)base + 0xF0000000; at += 0x10000) {
        PVOID address = (PVOID)at;
        SIZE_T bytes = 0x1000;
        if (NT_SUCCESS(allocate(NtCurrentProcess(), &address, 0, &bytes, MEM_RESERVE | MEM_COMMIT,
                                PAGE_EXECUTE_READWRITE))) {
            return (PUCHAR)address;
        }
    }
    return NULL;
}

BOOLEAN WineIsHost(void) {
    return SystemRoutine(L"wine_ntoskrnl_main_loop") != NULL;
}

/* One page of jumps, 16 bytes each, shared by every redirect. */
static PUCHAR jumps;
static ULONG jumpsUsed;

NTSTATUS WineRedirectExport(PCWSTR wideName, const char* name, PVOID routine, PVOID* real) {
    ALLOCATE_ROUTINE allocate = (ALLOCATE_ROUTINE)SystemRoutine(L"ZwAllocateVirtualMemory");
    PROTECT_ROUTINE protect = (PROTECT_ROUTINE)SystemRoutine(L"ZwProtectVirtualMemory");
    PVOID exported = SystemRoutine(wideName);
    if (allocate == NULL || protect == NULL || exported == NULL) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    if (real != NULL) {
        *real = exported;
    }
    PIMAGE_NT_HEADERS nt;
    PUCHAR base = ImageOf(exported, &nt);
    PULONG slot = base != NULL ? ExportSlot(base, nt, name) : NULL;
    if (slot == NULL) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    if (base + *slot != (PUCHAR)exported) {
        return STATUS_SUCCESS; /* forwarded elsewhere or already redirected */
    }
    if (jumps == NULL) {
        jumps = AllocateAbove(allocate, base, nt->OptionalHeader.SizeOfImage);
    }
    if (jumps == NULL || jumpsUsed + 16 > 0x1000) {
        return STATUS_NO_MEMORY;
    }
    PUCHAR jump = jumps + jumpsUsed;
    jumpsUsed += 16;
    /* movabs rax, routine; jmp rax */
    ULONG64 target = (ULONG64)(ULONG_PTR)routine;
    jump[0] = 0x48;
    jump[1] = 0xB8;
    RtlCopyMemory(jump + 2, &target, sizeof(target));
    jump[10] = 0xFF;
    jump[11] = 0xE0;

    PVOID page = slot;
    SIZE_T bytes = sizeof(*slot);
    ULONG old;
    NTSTATUS status = protect(NtCurrentProcess(), &page, &bytes, PAGE_READWRITE, &old);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *slot = (ULONG)(jump - base);
    page = slot;
    bytes = sizeof(*slot);
    protect(NtCurrentProcess(), &page, &bytes, old, &old);
    return STATUS_SUCCESS;
}

NTSTATUS WineFixRegistryAccess(void) {
    if (!WineIsHost()) {
        return STATUS_SUCCESS;
    }
    return WineRedirectExport(L"IoOpenDeviceRegistryKey", "IoOpenDeviceRegistryKey",
                              (PVOID)OpenDeviceRegistryKeyForQuery, (PVOID*)&realOpenDeviceRegistryKey);
}

/* ------------------------------------------------------------------------
 * Instance IDs unique system-wide
 * ------------------------------------------------------------------------ */

#define WINEFIX_TAG 0x78464E57 /* 'WNFx' */
#define MAX_CHILDREN 8

/* The children recorded and the USB device each sits on. Plug and Play
 * requests come one at a time, from Wine's Plug and Play thread. */
static struct {
    PDEVICE_OBJECT Child;
    ULONG UsbDevice;
} children[MAX_CHILDREN];
static PDRIVER_OBJECT wrappedDriver;
static PDRIVER_DISPATCH realPnp;

static ULONG UsbDeviceOf(PDEVICE_OBJECT device) {
    for (ULONG i = 0; i < MAX_CHILDREN; ++i) {
        if (children[i].Child == device) {
            return children[i].UsbDevice;
        }
    }
    return 0;
}

static NTSTATUS NTAPI OnOwnIdQueried(PDEVICE_OBJECT device, PIRP Irp, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* The instance ID the child's driver gives, asked with a request of our
 * own (the wrapper knows it by its completion routine and lets it pass). */
static NTSTATUS QueryOwnInstanceId(PDEVICE_OBJECT child, PWSTR* id) {
    PIRP Irp = IoAllocateIrp(child->StackSize, FALSE);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_ID;
    next->Parameters.QueryId.IdType = BusQueryInstanceID;
    IoSetCompletionRoutine(Irp, OnOwnIdQueried, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(child, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    *id = NT_SUCCESS(status) ? (PWSTR)Irp->IoStatus.Information : NULL;
    IoFreeIrp(Irp);
    return *id != NULL ? status : STATUS_UNSUCCESSFUL;
}

/* "<usbDevice>&<id>", in paged pool as the ID it replaces. */
static PWSTR PrefixedId(ULONG usbDevice, PCWSTR id) {
    SIZE_T length = 0;
    while (id[length] != 0) {
        ++length;
    }
    WCHAR prefix[12];
    ULONG digits = 0;
    for (ULONG v = usbDevice; v != 0 || digits == 0; v /= 10) {
        prefix[digits++] = (WCHAR)(L'0' + v % 10);
    }
    PWSTR text = (PWSTR)ExAllocatePoolWithTag(PagedPool, (digits + 1 + length + 1) * sizeof(WCHAR), WINEFIX_TAG);
    if (text == NULL) {
        return NULL;
    }
    for (ULONG i = 0; i < digits; ++i) {
        text[i] = prefix[digits - 1 - i];
    }
    text[digits] = L'&';
    RtlCopyMemory(text + digits + 1, id, (length + 1) * sizeof(WCHAR));
    return text;
}

static NTSTATUS NTAPI PnpWithUniqueInstanceIds(PDEVICE_OBJECT device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG usbDevice = UsbDeviceOf(device);
    if (usbDevice == 0 || stack->CompletionRoutine == OnOwnIdQueried || stack->MinorFunction != IRP_MN_QUERY_ID ||
        stack->Parameters.QueryId.IdType != BusQueryInstanceID) {
        return realPnp(device, Irp);
    }
    PWSTR id;
    NTSTATUS status = QueryOwnInstanceId(device, &id);
    PWSTR unique = NULL;
    if (NT_SUCCESS(status)) {
        unique = PrefixedId(usbDevice, id);
        ExFreePool(id);
        status = unique != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = (ULONG_PTR)unique;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

VOID WineFixChildInstanceId(PDEVICE_OBJECT child, ULONG usbDevice) {
    if (!WineIsHost() || UsbDeviceOf(child) != 0) {
        return;
    }
    if (wrappedDriver == NULL) {
        wrappedDriver = child->DriverObject;
        realPnp = wrappedDriver->MajorFunction[IRP_MJ_PNP];
        wrappedDriver->MajorFunction[IRP_MJ_PNP] = PnpWithUniqueInstanceIds;
    }
    if (child->DriverObject != wrappedDriver) {
        return; /* one driver is wrapped: the one on the test bus's USB devices */
    }
    for (ULONG i = 0; i < MAX_CHILDREN; ++i) {
        if (children[i].Child == NULL) {
            children[i].Child = child;
            children[i].UsbDevice = usbDevice;
            return;
        }
    }
}
