// A toy bus driver and a toy function driver, written in the tests to run
// the kernel model end to end. They follow WDM rules, so the verifier stays
// quiet, and they keep counters tests can read.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

#include <kmodel/pnp.h>
#include <kmodel/system.h>

namespace toy {

inline constexpr ULONG kPoolTag = 0x20796F54;  // 'Toy '
inline constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kIoctlHoldForCancel = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct BusCounters {
    int power = 0;
    int pnp = 0;
    int internalControls = 0;
    NTSTATUS failPower = STATUS_SUCCESS;  // fail the next power IRP with this
};

struct FunctionExtension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    KSPIN_LOCK lock;
    LIST_ENTRY heldReads;  // reads waiting for data, cancelable
    UCHAR data[64];
    ULONG dataLength;
    PVOID perDevicePool;
    UNICODE_STRING dosName;
    WCHAR dosNameBuffer[32];
    int creates;
    int cleanups;
    int closes;
};

extern BusCounters bus;

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);
NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);

// A PDO of the toy bus (its extension is empty).
PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT busDriver);

// Loads both drivers, plugs one device whose DOS name is `dosName`, starts it.
struct World {
    kmodel::System system;
    PDRIVER_OBJECT busDriver = nullptr;
    PDRIVER_OBJECT functionDriver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    kmodel::DeviceNode* node = nullptr;

    explicit World(const kmodel::BootOptions& options = {});
    FunctionExtension* Extension() const;
    // Removes the device and unloads both drivers.
    void Teardown();
};

}  // namespace toy
