// A configurable driver for model tests: every request one of its devices
// receives goes to a handler the test supplies, so each test states exactly
// what the driver does with the IRP, and completion routines are lambdas.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

#include <kmodel/system.h>

namespace layers {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Routine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct Extension {
    PDEVICE_OBJECT lower;
    Handler* handler;
    ULONG magic;
    PVOID slot;  // an IRP or anything else a test wants to keep with the device
};

inline Extension* Ext(PDEVICE_OBJECT device) {
    return static_cast<Extension*>(device->DeviceExtension);
}

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return (*Ext(device)->handler)(device, irp);
}

// Every major function goes to the device's handler.
inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& f : driver->MajorFunction) {
        f = Dispatch;
    }
    return STATUS_SUCCESS;
}

// Only create, cleanup and close: the rest is left to the I/O manager.
inline NTSTATUS NTAPI FileOnlyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI RunRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return (*static_cast<Routine*>(context))(device, irp);
}

inline void SetRoutine(PIRP irp, Routine* routine, BOOLEAN onSuccess, BOOLEAN onError, BOOLEAN onCancel) {
    IoSetCompletionRoutine(irp, RunRoutine, routine, onSuccess, onError, onCancel);
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

struct StackOptions {
    int depth = 1;
    std::u16string name;  // given to the bottom device
    BOOLEAN exclusive = FALSE;
    ULONG flags = 0;  // DO_BUFFERED_IO, ...
    PDRIVER_INITIALIZE entry = Entry;
};

inline StackOptions Depth(int depth) {
    StackOptions options;
    options.depth = depth;
    return options;
}

// `depth` devices of one freshly loaded driver, each attached over the one
// before it; device 0 is the bottom. Each handler completes with success
// until the test replaces it.
class Stack {
public:
    explicit Stack(const StackOptions& options = {}) {
        kmodel::LoadDriver(u"layer", options.entry, &driver);
        for (int i = 0; i < options.depth; ++i) {
            handlers.emplace_back([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, options.name.c_str());
            bool named = i == 0 && !options.name.empty();
            PDEVICE_OBJECT device = nullptr;
            IoCreateDevice(driver, sizeof(Extension), named ? &name : nullptr, FILE_DEVICE_UNKNOWN, 0,
                           i == 0 ? options.exclusive : FALSE, &device);
            Extension* ext = Ext(device);
            ext->handler = &handlers.back();
            ext->magic = 0x4C415952;  // 'LAYR'
            ext->lower = i == 0 ? nullptr : IoAttachDeviceToDeviceStack(device, devices.back());
            device->Flags |= options.flags;
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            devices.push_back(device);
        }
    }

    PDEVICE_OBJECT Device(int i) const { return devices[i]; }
    PDEVICE_OBJECT Top() const { return devices.back(); }
    PDEVICE_OBJECT Bottom() const { return devices.front(); }
    Handler& On(int i) { return handlers[i]; }

    PDRIVER_OBJECT driver = nullptr;
    std::deque<Handler> handlers;
    std::vector<PDEVICE_OBJECT> devices;
};

}  // namespace layers
