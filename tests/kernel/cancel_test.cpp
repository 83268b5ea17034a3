// Cancellation: IoCancelIrp with and without a cancel routine, the state a
// cancel routine is entered in, and the race between a cancel and a driver
// taking its cancel routine back, which exactly one side must win.
#include <gtest/gtest.h>

#include <kmodel/io.h>
#include <kmodel/system.h>

#include "layer_driver.h"

namespace {

using layers::Complete;
using layers::Ext;
using layers::Stack;

constexpr ULONG kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x910, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What a cancel routine saw on entry.
struct CancelEntry {
    int calls = 0;
    KIRQL irql = 0xFF;
    KIRQL cancelIrql = 0xFF;
    KIRQL irqlAfterRelease = 0xFF;
    BOOLEAN cancel = FALSE;
    PDRIVER_CANCEL routineInIrp = reinterpret_cast<PDRIVER_CANCEL>(1);
    PDEVICE_OBJECT device = nullptr;
};
CancelEntry* g_entry = nullptr;

VOID NTAPI RecordingCancel(PDEVICE_OBJECT device, PIRP irp) {
    g_entry->calls++;
    g_entry->irql = KeGetCurrentIrql();
    g_entry->cancelIrql = irp->CancelIrql;
    g_entry->cancel = irp->Cancel;
    g_entry->routineInIrp = irp->CancelRoutine;
    g_entry->device = device;
    // Releasing a cancel spin lock this thread does not hold is a bug check:
    // getting past this line shows the routine was entered holding it.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_entry->irqlAfterRelease = KeGetCurrentIrql();
    Ext(device)->slot = nullptr;
    Complete(irp, STATUS_CANCELLED);
}

// Pends every request in the device's slot, with or without a cancel routine.
layers::Handler Hold(PDRIVER_CANCEL routine) {
    return [=](PDEVICE_OBJECT device, PIRP irp) {
        IoMarkIrpPending(irp);
        Ext(device)->slot = irp;
        IoSetCancelRoutine(irp, routine);
        return STATUS_PENDING;
    };
}

struct Caller {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    Caller() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    PIRP Send(PDEVICE_OBJECT device) {
        PIRP irp = IoBuildDeviceIoControlRequest(kHold, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
        return irp;
    }
};

TEST(Cancel, WithoutACancelRoutineOnlyTheFlagIsSet) {
    kmodel::System system;
    Stack stack;
    stack.On(0) = Hold(nullptr);
    Caller caller;
    PIRP irp = caller.Send(stack.Top());
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeReadStateEvent(&caller.event), 0);  // still the driver's
    Complete(irp, STATUS_CANCELLED);
    EXPECT_EQ(KeReadStateEvent(&caller.event), 1);
    EXPECT_EQ(caller.iosb.Status, STATUS_CANCELLED);
}

TEST(Cancel, RoutineIsEnteredAtDispatchHoldingTheCancelLockWithTheCallersIrql) {
    for (KIRQL callerIrql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        kmodel::System system;
        CancelEntry entry;
        g_entry = &entry;
        Stack stack;
        stack.On(0) = Hold(RecordingCancel);
        Caller caller;
        PIRP irp = caller.Send(stack.Top());
        KIRQL old;
        KeRaiseIrql(callerIrql, &old);
        BOOLEAN result = IoCancelIrp(irp);
        KeLowerIrql(old);
        EXPECT_TRUE(result);
        EXPECT_EQ(entry.calls, 1);
        EXPECT_EQ(entry.irql, DISPATCH_LEVEL);
        EXPECT_EQ(entry.cancelIrql, callerIrql);
        EXPECT_EQ(entry.irqlAfterRelease, callerIrql);
        EXPECT_TRUE(entry.cancel);
        EXPECT_EQ(entry.routineInIrp, nullptr);  // exchanged out before the call
        EXPECT_EQ(entry.device, stack.Top());
        EXPECT_EQ(caller.iosb.Status, STATUS_CANCELLED);
        EXPECT_EQ(KeReadStateEvent(&caller.event), 1);
        g_entry = nullptr;
    }
}

TEST(Cancel, RoutineTakenBackByTheDriverIsNeverCalled) {
    kmodel::System system;
    CancelEntry entry;
    g_entry = &entry;
    Stack stack;
    stack.On(0) = Hold(RecordingCancel);
    Caller caller;
    PIRP irp = caller.Send(stack.Top());
    EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), RecordingCancel);  // the driver owns it now
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(entry.calls, 0);
    Complete(irp, STATUS_SUCCESS);
    EXPECT_EQ(caller.iosb.Status, STATUS_SUCCESS);
    g_entry = nullptr;
}

TEST(Cancel, ClientCancelOfAllRequestsReachesEachCancelRoutine) {
    kmodel::System system;
    CancelEntry entry;
    g_entry = &entry;
    layers::StackOptions options;
    options.name = u"\\Device\\Cancel0";
    Stack stack(options);
    stack.On(0) = [&](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
            return Complete(irp, STATUS_SUCCESS);
        }
        return Hold(RecordingCancel)(device, irp);
    };
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Cancel0", &file), STATUS_SUCCESS);
    char buffer[4];
    kmodel::io::Request first, second;
    ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &first), STATUS_PENDING);
    ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &second), STATUS_PENDING);
    kmodel::io::Cancel(file, nullptr);
    EXPECT_EQ(kmodel::io::Wait(&first), STATUS_CANCELLED);
    EXPECT_EQ(kmodel::io::Wait(&second), STATUS_CANCELLED);
    EXPECT_EQ(entry.calls, 2);
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();  // the close follows the cancelled reads' completion
    g_entry = nullptr;
}

// ---- the race ------------------------------------------------------------------

struct Race {
    KSPIN_LOCK lock;
    PIRP held = nullptr;
    LONG byCancelRoutine = 0;
    LONG byDriver = 0;
};
Race* g_race = nullptr;

VOID NTAPI RaceCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&g_race->lock, &irql);
    if (g_race->held == irp) {
        g_race->held = nullptr;
    }
    KeReleaseSpinLock(&g_race->lock, irql);
    InterlockedIncrement(&g_race->byCancelRoutine);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS RaceDispatch(PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&g_race->lock, &irql);
    IoMarkIrpPending(irp);
    g_race->held = irp;
    IoSetCancelRoutine(irp, RaceCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        g_race->held = nullptr;
        KeReleaseSpinLock(&g_race->lock, irql);
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&g_race->lock, irql);
    return STATUS_PENDING;
}

// The driver's own completion path (its "hardware" finished): it may
// complete the IRP only if it gets the cancel routine back.
void RaceFinish() {
    KIRQL irql;
    KeAcquireSpinLock(&g_race->lock, &irql);
    PIRP irp = g_race->held;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        g_race->held = nullptr;
        KeReleaseSpinLock(&g_race->lock, irql);
        InterlockedIncrement(&g_race->byDriver);
        Complete(irp, STATUS_SUCCESS);
        return;
    }
    KeReleaseSpinLock(&g_race->lock, irql);  // the cancel routine has it
}

TEST(Cancel, DriverTakingItsRoutineBackRacesACancelAndExactlyOneCompletes) {
    kmodel::System system;
    Race race;
    KeInitializeSpinLock(&race.lock);
    g_race = &race;
    layers::StackOptions options;
    options.name = u"\\Device\\Race0";
    Stack stack(options);
    stack.On(0) = [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            return RaceDispatch(irp);
        }
        return Complete(irp, STATUS_SUCCESS);
    };
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Race0", &file), STATUS_SUCCESS);
    constexpr int kIterations = 300;
    LONG cancelledSeen = 0;
    for (int i = 0; i < kIterations; ++i) {
        kmodel::io::Request request;
        ASSERT_EQ(kmodel::io::DeviceControl(file, kHold, nullptr, 0, nullptr, 0, &request), STATUS_PENDING);
        KEVENT go;
        KeInitializeEvent(&go, NotificationEvent, FALSE);
        {
            kmodel::ModelThread canceller([&] {
                KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
                kmodel::io::Cancel(file, &request);
            });
            kmodel::ModelThread finisher([&] {
                KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
                RaceFinish();
            });
            KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
        }
        NTSTATUS status = kmodel::io::Wait(&request);
        ASSERT_EQ(race.byCancelRoutine + race.byDriver, i + 1) << "iteration " << i;
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
        cancelledSeen += status == STATUS_CANCELLED ? 1 : 0;
        ASSERT_EQ(race.held, nullptr);
    }
    // Each completion was counted by the side that completed; the statuses
    // the application saw agree with those counts.
    EXPECT_EQ(race.byCancelRoutine, cancelledSeen);
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    g_race = nullptr;
}

}  // namespace
