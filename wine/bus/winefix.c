/* Under Wine only: make the modem driver's hardware-key reads work.
 *
 * The modem driver opens its device's hardware key with
 * STANDARD_RIGHTS_READ and then queries PortName. Windows does not check a
 * kernel-mode handle's access on ZwQueryValueKey; Wine does, and refuses
 * the query. So, before the modem driver is loaded, the bus points
 * ntoskrnl's export of IoOpenDeviceRegistryKey at a wrapper that adds
 * KEY_READ to the access asked for. On x64 an export is a 32-bit offset
 * from ntoskrnl's base, so the export leads to a small jump placed in
 * memory just above ntoskrnl's image, and the jump leads to the wrapper
 * (WineRedirectExport, also used for the timers and work items of winedefer.c). Nothing
 * is done where the Wine-only export wine_ntoskrnl_main_loop is missing,
 * that is on Windows. */
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
