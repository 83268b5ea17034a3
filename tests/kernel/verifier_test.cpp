// The verifier stops a driver at every broken rule, naming the rule, and lets
// the same driver written correctly run quietly. Also the low-resources
// simulation: which allocations it fails, and which it never counts.
//
// Each scenario takes `broken`: with true it must die with the rule's report,
// with false it runs to the end and leaves no pool behind. Death tests run in
// a re-executed child ("threadsafe" style) because the model starts threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <usb.h>
#include <usbioctl.h>

#include <kmodel/io.h>
#include <kmodel/pnp.h>
#include <kmodel/system.h>
#include <kmodel/verifier.h>

#include "toy_drivers.h"

namespace {

using kmodel::io::Request;
namespace rule = kmodel::rule;

constexpr ULONG kIoctlRun = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTag = 0x66726556;       // 'Verf'
constexpr ULONG kOtherTag = 0x72687445;  // 'Ethr'

// The line of the report that names the rule.
std::string Fires(const char* name) {
    return std::string("rule: +") + name + "\n";
}

class Verifier : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
class VerifierIrp : public Verifier {};
class VerifierIrql : public Verifier {};
class VerifierReturn : public Verifier {};
class VerifierSpinLock : public Verifier {};
class VerifierPool : public Verifier {};
class VerifierPnp : public Verifier {};
class VerifierPower : public Verifier {};
class LowResources : public Verifier {};

// ---- state the driver routines below share with the test ----------------------

struct Shared {
    bool broken = false;
    PIRP held = nullptr;  // an IRP a driver keeps pending
    KSPIN_LOCK lock = 0;
    KSPIN_LOCK otherLock = 0;
    KEVENT event{};
    KDPC dpc{};
    WORK_QUEUE_ITEM work{};
    PVOID pool = nullptr;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    bool ran = false;
};
Shared g;

void ResetShared(bool broken) {
    g = Shared{};
    g.broken = broken;
    KeInitializeSpinLock(&g.lock);
    KeInitializeSpinLock(&g.otherLock);
    KeInitializeEvent(&g.event, NotificationEvent, FALSE);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes the held IRP from a system thread at DISPATCH_LEVEL, as hardware
// finishing on another processor would, after the dispatch routine returned.
void CompleteHeldLater(NTSTATUS status = STATUS_SUCCESS) {
    kmodel::QueueSystemWork([status] { Complete(std::exchange(g.held, nullptr), status); }, DISPATCH_LEVEL);
}

toy::FunctionExtension* Ext(PDEVICE_OBJECT fdo) {
    return static_cast<toy::FunctionExtension*>(fdo->DeviceExtension);
}

PDEVICE_OBJECT Lower(PDEVICE_OBJECT fdo) {
    return Ext(fdo)->lower;
}

// Dispatch routines whose behaviour each test supplies.
using Routine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
Routine gUpper;  // device control (and read) of the function driver or a runner
Routine gLower;  // device control and internal device control of the toy bus

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return gUpper(device, irp);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return gLower(device, irp);
}

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS);
}

// Completion routine of a driver that takes its IRP back.
NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion routine that lets the IRP go on up, signalling on the way.
NTSTATUS NTAPI LetGo(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

// ---- rigs ----------------------------------------------------------------------

// The toy world (function driver over the toy bus, started, TOY1 open) with the
// function driver's device control and the bus's controls run by the test.
struct Rig {
    toy::World world;
    PFILE_OBJECT file = nullptr;

    explicit Rig(bool broken = false) {
        ResetShared(broken);
        gUpper = CompleteSuccess;
        gLower = CompleteSuccess;
        world.functionDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UpperDispatch;
        world.busDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
        world.busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
        EXPECT_EQ(kmodel::io::Open(u"\\??\\TOY1", &file), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT Fdo() const { return world.pdo->AttachedDevice; }

    // One device control from the application, dispatched to `routine`.
    NTSTATUS Control(Routine routine, Request* request, void* output = nullptr, ULONG outputLength = 0) {
        gUpper = std::move(routine);
        return kmodel::io::DeviceControl(file, kIoctlRun, nullptr, 0, output, outputLength, request);
    }

    // Runs `body` as code of the function driver, at PASSIVE_LEVEL.
    void Run(std::function<void(PDEVICE_OBJECT fdo)> body) {
        Request request;
        NTSTATUS status = Control(
            [&](PDEVICE_OBJECT fdo, PIRP irp) {
                body(fdo);
                return Complete(irp, STATUS_SUCCESS);
            },
            &request);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }

    // Closes, removes and unloads; nothing may be left.
    void Finish() {
        kmodel::io::CloseHandle(file);
        kmodel::WaitForQuiescence();
        world.Teardown();
        EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
    }
};

std::function<void(PDRIVER_OBJECT)> gUnload;

VOID NTAPI RunnerUnload(PDRIVER_OBJECT driver) {
    if (gUnload) {
        gUnload(driver);
    }
}

NTSTATUS NTAPI RunnerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = CompleteSuccess;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CompleteSuccess;
    driver->MajorFunction[IRP_MJ_CLOSE] = CompleteSuccess;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UpperDispatch;
    driver->DriverUnload = RunnerUnload;
    return STATUS_SUCCESS;
}

// A small legacy driver with one named device, open, whose device control
// runs test code in the driver's context.
struct Runner {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT file = nullptr;

    explicit Runner(const std::u16string& name) {
        gUnload = nullptr;
        EXPECT_EQ(kmodel::LoadDriver(name, RunnerEntry, &driver), STATUS_SUCCESS);
        std::u16string path = u"\\Device\\" + name;
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, path.c_str());
        EXPECT_EQ(IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        EXPECT_EQ(kmodel::io::Open(path, &file), STATUS_SUCCESS);
    }

    void Run(std::function<void()> body) {
        gUpper = [body = std::move(body)](PDEVICE_OBJECT, PIRP irp) {
            body();
            return Complete(irp, STATUS_SUCCESS);
        };
        Request request;
        EXPECT_EQ(kmodel::io::DeviceControl(file, kIoctlRun, nullptr, 0, nullptr, 0, &request), STATUS_SUCCESS);
    }

    void Unload(bool deleteDevice = true) {
        kmodel::io::CloseHandle(file);
        kmodel::WaitForQuiescence();
        if (deleteDevice) {
            IoDeleteDevice(device);
        }
        kmodel::UnloadDriver(driver);
    }
};

// =================================================================================
// IRPs
// =================================================================================

void CompleteInDispatch(bool twice) {
    Rig rig(twice);
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT, PIRP irp) {
                      Complete(irp, STATUS_SUCCESS);
                      if (g.broken) {
                          Complete(irp, STATUS_SUCCESS);
                      }
                      return STATUS_SUCCESS;
                  },
                  &request),
              STATUS_SUCCESS);
    rig.Finish();
}

TEST_F(VerifierIrp, CompletedTwiceInDispatchRoutine) {
    EXPECT_DEATH(CompleteInDispatch(true), Fires(rule::kIrpCompletedTwice));
}

TEST_F(VerifierIrp, CompletedOnceIsQuiet) {
    CompleteInDispatch(false);
}

// The lower driver completes a driver-allocated IRP again after its owner's
// routine took it back with STATUS_MORE_PROCESSING_REQUIRED.
void LowerCompletesOwnIrpAgain() {
    Rig rig(true);
    gLower = [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
    };
    rig.Run([](PDEVICE_OBJECT fdo) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(Lower(fdo)->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, TakeBack, &done, TRUE, TRUE, TRUE);
        IoCallDriver(Lower(fdo), irp);
        IoFreeIrp(irp);
    });
}

TEST_F(VerifierIrp, CompletedAgainAfterOwnerTookItBack) {
    EXPECT_DEATH(LowerCompletesOwnIrpAgain(), Fires(rule::kIrpCompletedTwice));
}

// A completion routine that completes the IRP itself and then lets the
// completion walk go on, so the IRP is completed twice.
NTSTATUS NTAPI CompleteInRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void CompletionRoutineCompletesAgain() {
    Rig rig(true);
    Request request;
    rig.Control(
        [](PDEVICE_OBJECT fdo, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, CompleteInRoutine, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(Lower(fdo), irp);
        },
        &request);
}

TEST_F(VerifierIrp, CompletionRoutineCompletesAgain) {
    EXPECT_DEATH(CompletionRoutineCompletesAgain(), Fires(rule::kIrpCompletedTwice));
}

// The I/O manager's own consistency check: completing an IRP whose stack
// pointer is already above its top location.
void CompleteAboveTheTop() {
    Rig rig(true);
    rig.Run([](PDEVICE_OBJECT fdo) {
        PIRP irp = IoAllocateIrp(Lower(fdo)->StackSize, FALSE);
        IoSkipCurrentIrpStackLocation(irp);
        Complete(irp, STATUS_SUCCESS);
    });
}

TEST_F(VerifierIrp, CompletedAboveTheTopLocation) {
    EXPECT_DEATH(CompleteAboveTheTop(), Fires(rule::kIrpCompletedTwice));
}

void CompleteWithStatusPending() {
    Rig rig(true);
    Request request;
    rig.Control([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); }, &request);
}

TEST_F(VerifierIrp, CompletedWithStatusPending) {
    EXPECT_DEATH(CompleteWithStatusPending(), Fires(rule::kIrpCompletedPending));
}

VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    // The broken routine forgets to give the cancel spin lock back.
    if (!g.broken) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
    }
    g.held = nullptr;
    Complete(irp, STATUS_CANCELLED);
}

void CompleteCancelable(bool leaveRoutine) {
    Rig rig(leaveRoutine);
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT, PIRP irp) {
                      IoSetCancelRoutine(irp, CancelHeld);
                      // The driver finishes before any cancellation and must
                      // take its routine back first.
                      if (!g.broken) {
                          EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), CancelHeld);
                      }
                      return Complete(irp, STATUS_SUCCESS);
                  },
                  &request),
              STATUS_SUCCESS);
    rig.Finish();
}

TEST_F(VerifierIrp, CompletedWithCancelRoutineSet) {
    EXPECT_DEATH(CompleteCancelable(true), Fires(rule::kIrpCompletedWithCancelRoutine));
}

TEST_F(VerifierIrp, CancelRoutineTakenBackIsQuiet) {
    CompleteCancelable(false);
}

void PendWithoutCompleting(bool forgetMark) {
    Rig rig(forgetMark);
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT, PIRP irp) {
                      if (!g.broken) {
                          IoMarkIrpPending(irp);
                      }
                      g.held = irp;
                      return STATUS_PENDING;
                  },
                  &request),
              STATUS_PENDING);
    CompleteHeldLater();
    EXPECT_EQ(kmodel::io::Wait(&request), STATUS_SUCCESS);
    rig.Finish();
}

TEST_F(VerifierIrp, PendingReturnedWithoutMark) {
    EXPECT_DEATH(PendWithoutCompleting(true), Fires(rule::kPendingWithoutMark));
}

TEST_F(VerifierIrp, MarkedAndCompletedLaterIsQuiet) {
    PendWithoutCompleting(false);
}

void MarkCompleteAndReturn(bool returnSuccess) {
    Rig rig(returnSuccess);
    Request request;
    NTSTATUS status = rig.Control(
        [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            Complete(irp, STATUS_SUCCESS);
            return g.broken ? STATUS_SUCCESS : STATUS_PENDING;
        },
        &request);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_EQ(kmodel::io::Wait(&request), STATUS_SUCCESS);
    rig.Finish();
}

TEST_F(VerifierIrp, MarkedPendingButReturnedSuccess) {
    EXPECT_DEATH(MarkCompleteAndReturn(true), Fires(rule::kMarkedButNotPending));
}

TEST_F(VerifierIrp, MarkedCompletedAndReturnedPendingIsQuiet) {
    MarkCompleteAndReturn(false);
}

NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned && !g.broken) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

// The function driver forwards with a completion routine and returns what
// IoCallDriver returned; the bus pends the IRP and completes it later.
void ForwardToPendingLower(bool dropPending) {
    Rig rig(dropPending);
    gLower = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        g.held = irp;
        return STATUS_PENDING;
    };
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT fdo, PIRP irp) {
                      IoCopyCurrentIrpStackLocationToNext(irp);
                      IoSetCompletionRoutine(irp, PropagatePending, nullptr, TRUE, TRUE, TRUE);
                      return IoCallDriver(Lower(fdo), irp);
                  },
                  &request),
              STATUS_PENDING);
    CompleteHeldLater();
    EXPECT_EQ(kmodel::io::Wait(&request), STATUS_SUCCESS);
    rig.Finish();
}

TEST_F(VerifierIrp, CompletionRoutineDropsPending) {
    EXPECT_DEATH(ForwardToPendingLower(true), Fires(rule::kPendingWithoutMark));
}

TEST_F(VerifierIrp, CompletionRoutinePropagatesPendingIsQuiet) {
    ForwardToPendingLower(false);
}

// The function driver skips its location; the bus marks the IRP pending,
// completes it at once and returns STATUS_PENDING, which the function driver
// returns in turn. Legal on both levels.
TEST_F(VerifierIrp, SkipToLowerThatCompletesAtOnceIsQuiet) {
    Rig rig;
    gLower = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT fdo, PIRP irp) {
                      IoSkipCurrentIrpStackLocation(irp);
                      return IoCallDriver(Lower(fdo), irp);
                  },
                  &request),
              STATUS_PENDING);
    EXPECT_EQ(kmodel::io::Wait(&request), STATUS_SUCCESS);
    rig.Finish();
}

TEST_F(VerifierIrp, SkipToLowerThatPendsIsQuiet) {
    Rig rig;
    gLower = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        g.held = irp;
        return STATUS_PENDING;
    };
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT fdo, PIRP irp) {
                      IoSkipCurrentIrpStackLocation(irp);
                      return IoCallDriver(Lower(fdo), irp);
                  },
                  &request),
              STATUS_PENDING);
    CompleteHeldLater();
    EXPECT_EQ(kmodel::io::Wait(&request), STATUS_SUCCESS);
    rig.Finish();
}

// The function driver sends an IRP of its own to the bus, keeping a location
// for itself; the broken one does not allocate that extra location.
void SendOwnIrpWithOwnLocation(bool tooFewLocations) {
    Rig rig(tooFewLocations);
    rig.Run([](PDEVICE_OBJECT fdo) {
        PDEVICE_OBJECT lower = Lower(fdo);
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + (g.broken ? 0 : 1)), FALSE);
        ASSERT_NE(irp, nullptr);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = fdo;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, TakeBack, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        IoFreeIrp(irp);
    });
    rig.Finish();
}

TEST_F(VerifierIrp, StackOverrun) {
    EXPECT_DEATH(SendOwnIrpWithOwnLocation(true), Fires(rule::kStackOverrun));
}

TEST_F(VerifierIrp, OwnLocationAllocatedIsQuiet) {
    SendOwnIrpWithOwnLocation(false);
}

void CancelFreedIrp() {
    Rig rig(true);
    rig.Run([](PDEVICE_OBJECT fdo) {
        PIRP irp = IoAllocateIrp(Lower(fdo)->StackSize, FALSE);
        IoFreeIrp(irp);
        IoCancelIrp(irp);  // a stale pointer kept for cancellation
    });
}

TEST_F(VerifierIrp, CancelAfterFree) {
    EXPECT_DEATH(CancelFreedIrp(), Fires(rule::kIrpUseAfterFree));
}

void SendFreedIrp() {
    Rig rig(true);
    rig.Run([](PDEVICE_OBJECT fdo) {
        PIRP irp = IoAllocateIrp(Lower(fdo)->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoFreeIrp(irp);
        IoCallDriver(Lower(fdo), irp);
    });
}

TEST_F(VerifierIrp, SendAfterFree) {
    EXPECT_DEATH(SendFreedIrp(), Fires(rule::kIrpUseAfterFree));
}

// An IoAllocateIrp IRP with no location of its owner: its routine must take
// it back, the broken one lets it run up to the top.
void SendOwnIrp(bool letGo) {
    Rig rig(letGo);
    rig.Run([](PDEVICE_OBJECT fdo) {
        PDEVICE_OBJECT lower = Lower(fdo);
        PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, g.broken ? LetGo : TakeBack, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        IoFreeIrp(irp);
    });
    rig.Finish();
}

TEST_F(VerifierIrp, OwnIrpNotTakenBack) {
    EXPECT_DEATH(SendOwnIrp(true), Fires(rule::kIrpWithoutOwner));
}

TEST_F(VerifierIrp, OwnIrpTakenBackIsQuiet) {
    SendOwnIrp(false);
}

void FreeApplicationIrp() {
    Rig rig(true);
    Request request;
    rig.Control(
        [](PDEVICE_OBJECT, PIRP irp) {
            IoFreeIrp(irp);
            return STATUS_SUCCESS;
        },
        &request);
}

TEST_F(VerifierIrp, FreeOfThreadedIrp) {
    EXPECT_DEATH(FreeApplicationIrp(), Fires(rule::kFreeIrpInUse));
}

// A request built with IoBuildDeviceIoControlRequest belongs to the I/O
// manager: it is sent (and freed at completion), never freed by the driver.
void BuildRequest(bool freeInstead) {
    Rig rig(freeInstead);
    gLower = [](PDEVICE_OBJECT, PIRP irp) {
        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = 0x1234;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    };
    rig.Run([](PDEVICE_OBJECT fdo) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        ULONG answer = 0;
        PIRP irp = IoBuildDeviceIoControlRequest(kIoctlRun, Lower(fdo), nullptr, 0, &answer, sizeof(answer), TRUE,
                                                 &event, &iosb);
        ASSERT_NE(irp, nullptr);
        if (g.broken) {
            IoFreeIrp(irp);
            return;
        }
        if (IoCallDriver(Lower(fdo), irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, sizeof(ULONG));
        EXPECT_EQ(answer, 0x1234u);
    });
    rig.Finish();
}

TEST_F(VerifierIrp, FreeOfBuiltRequest) {
    EXPECT_DEATH(BuildRequest(true), Fires(rule::kFreeIrpInUse));
}

TEST_F(VerifierIrp, BuiltRequestSentIsQuiet) {
    BuildRequest(false);
}

void FreeCancelableOwnIrp() {
    Rig rig(true);
    rig.Run([](PDEVICE_OBJECT fdo) {
        PIRP irp = IoAllocateIrp(Lower(fdo)->StackSize, FALSE);
        IoSetCancelRoutine(irp, CancelHeld);
        IoFreeIrp(irp);
    });
}

TEST_F(VerifierIrp, FreeOfCancelableIrp) {
    EXPECT_DEATH(FreeCancelableOwnIrp(), Fires(rule::kFreeIrpInUse));
}

void ReportInformation(bool tooMuch) {
    Rig rig(tooMuch);
    UCHAR output[4] = {};
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT, PIRP irp) {
                      ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
                      std::memset(irp->AssociatedIrp.SystemBuffer, 0xAB, length);
                      return Complete(irp, STATUS_SUCCESS, g.broken ? length * 2 : length);
                  },
                  &request, output, sizeof(output)),
              STATUS_SUCCESS);
    EXPECT_EQ(request.IoStatus.Information, sizeof(output));
    EXPECT_EQ(output[3], 0xAB);
    rig.Finish();
}

TEST_F(VerifierIrp, InformationBeyondControlBuffer) {
    EXPECT_DEATH(ReportInformation(true), Fires(rule::kInformationOverrun));
}

TEST_F(VerifierIrp, InformationWithinBufferIsQuiet) {
    ReportInformation(false);
}

void ReadTooMuch() {
    Rig rig(true);
    rig.world.functionDriver->MajorFunction[IRP_MJ_READ] = UpperDispatch;
    gUpper = [](PDEVICE_OBJECT, PIRP irp) {
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        return Complete(irp, STATUS_SUCCESS, length + 1);
    };
    char buffer[2];
    Request request;
    kmodel::io::Read(rig.file, buffer, sizeof(buffer), &request);
}

TEST_F(VerifierIrp, InformationBeyondReadBuffer) {
    EXPECT_DEATH(ReadTooMuch(), Fires(rule::kInformationOverrun));
}

// =================================================================================
// IRQL
// =================================================================================

VOID NTAPI CreateDeviceDpc(PKDPC, PVOID context, PVOID, PVOID) {
    PDEVICE_OBJECT device;
    if (IoCreateDevice(static_cast<PDRIVER_OBJECT>(context), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device) ==
        STATUS_SUCCESS) {
        IoDeleteDevice(device);
    }
}

void CreateDeviceFromDpc() {
    Rig rig(true);
    rig.Run([](PDEVICE_OBJECT fdo) {
        KeInitializeDpc(&g.dpc, CreateDeviceDpc, fdo->DriverObject);
        KeInsertQueueDpc(&g.dpc, nullptr, nullptr);
    });
    kmodel::WaitForQuiescence();
}

TEST_F(VerifierIrql, IoCreateDeviceAtDispatchLevel) {
    EXPECT_DEATH(CreateDeviceFromDpc(), Fires(rule::kIrqlWrongForDdi));
}

void QueryPortName(bool underSpinLock) {
    Rig rig(underSpinLock);
    rig.Run([&rig](PDEVICE_OBJECT) {
        HANDLE key;
        ASSERT_EQ(IoOpenDeviceRegistryKey(rig.world.pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"PortName");
        ULONG needed = 0;
        KIRQL irql = PASSIVE_LEVEL;
        if (g.broken) {
            KeAcquireSpinLock(&g.lock, &irql);
        }
        NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed);
        if (g.broken) {
            KeReleaseSpinLock(&g.lock, irql);
        }
        ZwClose(key);
        EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_GT(needed, 0u);
    });
    rig.Finish();
}

TEST_F(VerifierIrql, ZwQueryValueKeyAtDispatchLevel) {
    EXPECT_DEATH(QueryPortName(true), Fires(rule::kIrqlWrongForDdi));
}

TEST_F(VerifierIrql, ZwQueryValueKeyAtPassiveLevelIsQuiet) {
    QueryPortName(false);
}

void AllocateUnderSpinLock(POOL_TYPE type) {
    Rig rig;
    rig.Run([type](PDEVICE_OBJECT) {
        KIRQL irql;
        KeAcquireSpinLock(&g.lock, &irql);
        PVOID p = ExAllocatePoolWithTag(type, 16, kTag);
        KeReleaseSpinLock(&g.lock, irql);
        ASSERT_NE(p, nullptr);
        ExFreePoolWithTag(p, kTag);
    });
    rig.Finish();
}

TEST_F(VerifierIrql, PagedPoolAtDispatchLevel) {
    EXPECT_DEATH(AllocateUnderSpinLock(PagedPool), Fires(rule::kIrqlWrongForDdi));
}

TEST_F(VerifierIrql, NonPagedPoolAtDispatchLevelIsQuiet) {
    AllocateUnderSpinLock(NonPagedPool);
}

enum class IrqlMisuse { None, RaiseToLower, LowerToHigher };

void ChangeIrql(IrqlMisuse misuse) {
    Rig rig;
    rig.Run([misuse](PDEVICE_OBJECT) {
        KIRQL old;
        KIRQL ignored;
        switch (misuse) {
        case IrqlMisuse::None:
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(DISPATCH_LEVEL, &ignored);  // raising to the same level is allowed
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            KeLowerIrql(old);
            break;
        case IrqlMisuse::RaiseToLower:
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(PASSIVE_LEVEL, &ignored);
            KeLowerIrql(old);
            break;
        case IrqlMisuse::LowerToHigher:
            KeLowerIrql(DISPATCH_LEVEL);
            KeRaiseIrql(DISPATCH_LEVEL, &ignored);
            break;
        }
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
    rig.Finish();
}

TEST_F(VerifierIrql, KeRaiseIrqlToLowerLevel) {
    EXPECT_DEATH(ChangeIrql(IrqlMisuse::RaiseToLower), Fires(rule::kIrqlNotGreaterOrEqual));
}

TEST_F(VerifierIrql, KeLowerIrqlToHigherLevel) {
    EXPECT_DEATH(ChangeIrql(IrqlMisuse::LowerToHigher), Fires(rule::kIrqlNotLessOrEqual));
}

TEST_F(VerifierIrql, BalancedRaiseAndLowerIsQuiet) {
    ChangeIrql(IrqlMisuse::None);
}

VOID NTAPI WaitingDpc(PKDPC, PVOID, PVOID, PVOID) {
    // Only a poll (zero time-out) is allowed at DISPATCH_LEVEL.
    LARGE_INTEGER timeout;
    timeout.QuadPart = g.broken ? -10 * 10000LL : 0;
    g.waitStatus = KeWaitForSingleObject(&g.event, Executive, KernelMode, FALSE, &timeout);
    g.ran = true;
}

void WaitInDpc(bool withTimeout) {
    Rig rig(withTimeout);
    rig.Run([](PDEVICE_OBJECT) {
        KeInitializeDpc(&g.dpc, WaitingDpc, nullptr);
        KeInsertQueueDpc(&g.dpc, nullptr, nullptr);
    });
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(g.ran);
    EXPECT_EQ(g.waitStatus, STATUS_TIMEOUT);
    rig.Finish();
}

TEST_F(VerifierIrql, TimedWaitAtDispatchLevel) {
    EXPECT_DEATH(WaitInDpc(true), Fires(rule::kWaitAtDispatch));
}

TEST_F(VerifierIrql, PollAtDispatchLevelIsQuiet) {
    WaitInDpc(false);
}

VOID NTAPI TimedWaitWorker(PVOID) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 10000LL;
    g.waitStatus = KeWaitForSingleObject(&g.event, Executive, KernelMode, FALSE, &timeout);
    g.ran = true;
}

TEST_F(VerifierIrql, TimedWaitAtPassiveLevelIsQuiet) {
    Rig rig;
    rig.Run([](PDEVICE_OBJECT) {
        ExInitializeWorkItem(&g.work, TimedWaitWorker, nullptr);
        ExQueueWorkItem(&g.work, DelayedWorkQueue);
    });
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(g.ran);
    kmodel::AdvanceClock(10);
    EXPECT_TRUE(g.ran);
    EXPECT_EQ(g.waitStatus, STATUS_TIMEOUT);
    rig.Finish();
}

// =================================================================================
// Routines must return at the IRQL they were called at, holding no spin lock
// =================================================================================

enum class Leak { None, Irql, SpinLock };

void DispatchThatLeaks(Leak leak) {
    Rig rig;
    Request request;
    EXPECT_EQ(rig.Control(
                  [leak](PDEVICE_OBJECT, PIRP irp) {
                      KIRQL old;
                      if (leak == Leak::Irql) {
                          KeRaiseIrql(DISPATCH_LEVEL, &old);
                      } else {
                          KeAcquireSpinLock(&g.lock, &old);
                          if (leak == Leak::None) {
                              KeReleaseSpinLock(&g.lock, old);
                          }
                      }
                      return Complete(irp, STATUS_SUCCESS);
                  },
                  &request),
              STATUS_SUCCESS);
    rig.Finish();
}

TEST_F(VerifierReturn, DispatchRoutineAtRaisedIrql) {
    EXPECT_DEATH(DispatchThatLeaks(Leak::Irql), Fires(rule::kReturnAtRaisedIrql));
}

TEST_F(VerifierReturn, DispatchRoutineHoldingSpinLock) {
    EXPECT_DEATH(DispatchThatLeaks(Leak::SpinLock), Fires(rule::kReturnAtRaisedIrql));
}

TEST_F(VerifierReturn, DispatchRoutineReleasingIsQuiet) {
    DispatchThatLeaks(Leak::None);
}

VOID NTAPI LockingDpc(PKDPC, PVOID, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(&g.lock);
    if (!g.broken) {
        KeReleaseSpinLockFromDpcLevel(&g.lock);
    }
    g.ran = true;
}

void DpcThatLocks(bool keepLock) {
    Rig rig(keepLock);
    rig.Run([](PDEVICE_OBJECT) {
        KeInitializeDpc(&g.dpc, LockingDpc, nullptr);
        KeInsertQueueDpc(&g.dpc, nullptr, nullptr);
    });
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(g.ran);
    rig.Finish();
}

TEST_F(VerifierReturn, DpcRoutineHoldingSpinLock) {
    EXPECT_DEATH(DpcThatLocks(true), Fires(rule::kReturnAtRaisedIrql));
}

TEST_F(VerifierReturn, DpcRoutineReleasingIsQuiet) {
    DpcThatLocks(false);
}

VOID NTAPI RaisingWorker(PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (!g.broken) {
        KeLowerIrql(old);
    }
    g.ran = true;
}

void WorkerThatRaises(bool stayRaised) {
    Rig rig(stayRaised);
    rig.Run([](PDEVICE_OBJECT) {
        ExInitializeWorkItem(&g.work, RaisingWorker, nullptr);
        ExQueueWorkItem(&g.work, DelayedWorkQueue);
    });
    kmodel::WaitForQuiescence();
    EXPECT_TRUE(g.ran);
    rig.Finish();
}

TEST_F(VerifierReturn, WorkerRoutineAtRaisedIrql) {
    EXPECT_DEATH(WorkerThatRaises(true), Fires(rule::kReturnAtRaisedIrql));
}

TEST_F(VerifierReturn, WorkerRoutineLoweringIsQuiet) {
    WorkerThatRaises(false);
}

NTSTATUS NTAPI LockingCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);  // never released
    return STATUS_SUCCESS;
}

void CompletionRoutineThatLocks() {
    Rig rig(true);
    Request request;
    rig.Control(
        [](PDEVICE_OBJECT fdo, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LockingCompletion, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(Lower(fdo), irp);
        },
        &request);
}

TEST_F(VerifierReturn, CompletionRoutineHoldingSpinLock) {
    EXPECT_DEATH(CompletionRoutineThatLocks(), Fires(rule::kReturnAtRaisedIrql));
}

// =================================================================================
// Spin locks
// =================================================================================

void ReleaseOnOtherThread(bool otherReleasesMine) {
    kmodel::System system;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (otherReleasesMine) {
        kmodel::ModelThread other([&lock] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLockFromDpcLevel(&lock);
            KeLowerIrql(old);
        });
        return;
    }
    // Correct hand-over: the owner releases, then the other thread takes it.
    KeReleaseSpinLock(&lock, irql);
    bool took = false;
    kmodel::ModelThread other([&lock, &took] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        took = true;
        KeReleaseSpinLock(&lock, old);
    });
    other.Join();
    EXPECT_TRUE(took);
    EXPECT_EQ(lock, 0u);
}

TEST_F(VerifierSpinLock, ReleasedByAnotherThread) {
    EXPECT_DEATH(ReleaseOnOtherThread(true), Fires(rule::kSpinLockNotOwned));
}

TEST_F(VerifierSpinLock, ReleasedByOwnerThenTakenByAnotherIsQuiet) {
    ReleaseOnOtherThread(false);
}

void WaitHoldingLock(bool withTimeout) {
    Rig rig(withTimeout);
    rig.Run([](PDEVICE_OBJECT) {
        KIRQL irql;
        KeAcquireSpinLock(&g.lock, &irql);
        LARGE_INTEGER timeout;
        timeout.QuadPart = g.broken ? -10000LL : 0;
        EXPECT_EQ(KeWaitForSingleObject(&g.event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
        KeReleaseSpinLock(&g.lock, irql);
    });
    rig.Finish();
}

TEST_F(VerifierSpinLock, HeldAcrossWait) {
    EXPECT_DEATH(WaitHoldingLock(true), Fires(rule::kSpinLockHeldAcrossWait));
}

TEST_F(VerifierSpinLock, PollWhileHoldingIsQuiet) {
    WaitHoldingLock(false);
}

void AcquireTwice(bool sameLock) {
    Rig rig(sameLock);
    rig.Run([](PDEVICE_OBJECT) {
        PKSPIN_LOCK second = g.broken ? &g.lock : &g.otherLock;
        KIRQL irql;
        KeAcquireSpinLock(&g.lock, &irql);
        KeAcquireSpinLockAtDpcLevel(second);
        KeReleaseSpinLockFromDpcLevel(second);
        KeReleaseSpinLock(&g.lock, irql);
    });
    rig.Finish();
}

TEST_F(VerifierSpinLock, AcquiredTwiceByOneThread) {
    EXPECT_DEATH(AcquireTwice(true), Fires(rule::kSpinLockAlreadyOwned));
}

TEST_F(VerifierSpinLock, TwoDifferentLocksNestedIsQuiet) {
    AcquireTwice(false);
}

void CancelHeldRequest(bool keepCancelLock) {
    Rig rig(keepCancelLock);
    Request request;
    EXPECT_EQ(rig.Control(
                  [](PDEVICE_OBJECT, PIRP irp) {
                      IoMarkIrpPending(irp);
                      g.held = irp;
                      IoSetCancelRoutine(irp, CancelHeld);
                      return STATUS_PENDING;
                  },
                  &request),
              STATUS_PENDING);
    kmodel::io::Cancel(rig.file, &request);
    EXPECT_EQ(kmodel::io::Wait(&request), STATUS_CANCELLED);
    EXPECT_EQ(g.held, nullptr);
    rig.Finish();
}

TEST_F(VerifierSpinLock, CancelRoutineKeepsCancelSpinLock) {
    EXPECT_DEATH(CancelHeldRequest(true), Fires(rule::kCancelSpinLockHeld));
}

TEST_F(VerifierSpinLock, CancelRoutineReleasingIsQuiet) {
    CancelHeldRequest(false);
}

// =================================================================================
// Pool
// =================================================================================

void FreeTwice() {
    Rig rig(true);
    rig.Run([](PDEVICE_OBJECT) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        ExFreePool(p);
        ExFreePool(p);
    });
}

TEST_F(VerifierPool, DoubleFree) {
    EXPECT_DEATH(FreeTwice(), Fires(rule::kPoolDoubleFree));
}

void FreeWithTag(bool wrongTag) {
    Rig rig(wrongTag);
    rig.Run([](PDEVICE_OBJECT) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(kmodel::PoolBlocksWithTag(kTag), 1u);
        ExFreePoolWithTag(p, g.broken ? kOtherTag : kTag);
        EXPECT_EQ(kmodel::PoolBlocksWithTag(kTag), 0u);
    });
    rig.Finish();
}

TEST_F(VerifierPool, FreeWithWrongTag) {
    EXPECT_DEATH(FreeWithTag(true), Fires(rule::kPoolDoubleFree));
}

TEST_F(VerifierPool, FreeWithOwnTagIsQuiet) {
    FreeWithTag(false);
}

// =================================================================================
// Timers, DPCs and URBs
// =================================================================================

VOID NTAPI NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}

// Pool freed, or a device deleted, with an armed timer or a queued DPC in
// it. The DPC is queued at DISPATCH_LEVEL, so it cannot run before the free.
enum class Active { Timer, Dpc, TimerInDevice };

void FreeWithActiveObject(Active what, bool broken) {
    Rig rig(broken);
    rig.Run([what](PDEVICE_OBJECT fdo) {
        struct Objects {
            KTIMER timer;
            KDPC dpc;
        };
        PDEVICE_OBJECT device = nullptr;
        Objects* objects;
        if (what == Active::TimerInDevice) {
            ASSERT_EQ(IoCreateDevice(fdo->DriverObject, sizeof(Objects), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                      STATUS_SUCCESS);
            objects = static_cast<Objects*>(device->DeviceExtension);
        } else {
            objects = static_cast<Objects*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Objects), kTag));
        }
        KeInitializeTimer(&objects->timer);
        KeInitializeDpc(&objects->dpc, NothingDpc, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -1000 * 10000;
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        if (what == Active::Dpc) {
            KeInsertQueueDpc(&objects->dpc, nullptr, nullptr);
        } else {
            KeSetTimer(&objects->timer, due, nullptr);
        }
        if (!g.broken) {
            KeCancelTimer(&objects->timer);
            KeRemoveQueueDpc(&objects->dpc);
        }
        if (device == nullptr) {
            ExFreePool(objects);
        }
        KeLowerIrql(irql);
        if (device != nullptr) {
            IoDeleteDevice(device);
        }
    });
    rig.Finish();
}

TEST_F(VerifierPool, ArmedTimerOrQueuedDpcInFreedMemory) {
    EXPECT_DEATH(FreeWithActiveObject(Active::Timer, true), Fires(rule::kTimerOrDpcInvalid));
    EXPECT_DEATH(FreeWithActiveObject(Active::Dpc, true), Fires(rule::kTimerOrDpcInvalid));
    EXPECT_DEATH(FreeWithActiveObject(Active::TimerInDevice, true), Fires(rule::kTimerOrDpcInvalid));
}

// A counter or an event in a deleted device's extension, used after the
// deletion: a completion giving back its count after the removal stopped
// waiting for it.
enum class LateUse { Counter, Event };

void UseDeletedExtension(LateUse use) {
    Rig rig;
    rig.Run([use](PDEVICE_OBJECT fdo) {
        struct Objects {
            LONG count;
            KEVENT event;
        };
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(fdo->DriverObject, sizeof(Objects), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* objects = static_cast<Objects*>(device->DeviceExtension);
        objects->count = 1;
        KeInitializeEvent(&objects->event, NotificationEvent, FALSE);
        IoDeleteDevice(device);
        if (use == LateUse::Counter) {
            InterlockedDecrement(&objects->count);
        } else {
            KeSetEvent(&objects->event, IO_NO_INCREMENT, FALSE);
        }
    });
    rig.Finish();
}

TEST_F(VerifierPool, ACounterOrEventInADeletedDevice) {
    EXPECT_DEATH(UseDeletedExtension(LateUse::Counter), Fires(rule::kFreedMemoryUsed));
    EXPECT_DEATH(UseDeletedExtension(LateUse::Event), Fires(rule::kFreedMemoryUsed));
}

TEST_F(VerifierPool, TimerAndDpcTakenBackBeforeTheFreeAreQuiet) {
    for (Active what : {Active::Timer, Active::Dpc, Active::TimerInDevice}) {
        FreeWithActiveObject(what, false);
    }
}

// An entry unlinked a second time after its list changed: its stale
// neighbours no longer point back at it. Unlinking an entry that points to
// itself, as a driver does to make a later unlink harmless, is quiet.
void UnlinkTwice(bool broken) {
    LIST_ENTRY head, first, second;
    InitializeListHead(&head);
    InsertTailList(&head, &first);
    RemoveEntryList(&first);
    if (!broken) {
        InitializeListHead(&first);
    }
    InsertTailList(&head, &second);
    RemoveEntryList(&first);
    EXPECT_EQ(RemoveHeadList(&head), &second);
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST_F(Verifier, ListEntryUnlinkedTwiceAfterItsListChanged) {
    EXPECT_DEATH(UnlinkTwice(true), Fires(rule::kCorruptListEntry));
}

TEST_F(Verifier, SelfLinkedEntryUnlinkedAgainIsQuiet) {
    UnlinkTwice(false);
}

// The function driver submits one URB twice: the second time while the bus
// still holds the first submission, or after it completed.
NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void SubmitUrbTwice(bool whileInFlight) {
    Rig rig(whileInFlight);
    static std::vector<PIRP> held;
    held.clear();
    gLower = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held.push_back(irp);
        return STATUS_PENDING;
    };
    auto completeHeld = [] {
        for (PIRP irp : std::exchange(held, {})) {
            Complete(irp, STATUS_SUCCESS);
        }
    };
    rig.Run([&](PDEVICE_OBJECT fdo) {
        static URB urb;
        for (int i = 0; i < 2; ++i) {
            PIRP irp = IoAllocateIrp(Lower(fdo)->StackSize, FALSE);
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = &urb;
            IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(Lower(fdo), irp);
            if (!g.broken) {
                completeHeld();
            }
        }
        completeHeld();
    });
    rig.Finish();
}

TEST_F(VerifierIrp, UrbSubmittedWhileInFlight) {
    EXPECT_DEATH(SubmitUrbTwice(true), Fires(rule::kUrbInFlight));
}

TEST_F(VerifierIrp, UrbSubmittedAgainAfterItsCompletionIsQuiet) {
    SubmitUrbTwice(false);
}

void UnloadHoldingPool(bool leak) {
    kmodel::System system;
    ResetShared(leak);
    Runner runner(u"VerifPool");
    runner.Run([] { g.pool = ExAllocatePoolWithTag(NonPagedPool, 24, kTag); });
    EXPECT_EQ(kmodel::PoolBlocksHeld(runner.driver), 1u);
    gUnload = [](PDRIVER_OBJECT) {
        if (!g.broken) {
            ExFreePoolWithTag(g.pool, kTag);
        }
    };
    runner.Unload();
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

TEST_F(VerifierPool, LeftAllocatedAtUnload) {
    EXPECT_DEATH(UnloadHoldingPool(true), Fires(rule::kPoolLeak));
}

TEST_F(VerifierPool, FreedByDriverUnloadIsQuiet) {
    UnloadHoldingPool(false);
}

// The toy function driver's PnP routine, with REMOVE_DEVICE handled here so a
// test can leave out one of its duties.
enum class RemoveBug { None, KeepPool, KeepDevice, DeleteAttached };
RemoveBug gRemoveBug = RemoveBug::None;
PDRIVER_DISPATCH gToyPnp = nullptr;

NTSTATUS NTAPI PnpWithRemove(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return gToyPnp(device, irp);
    }
    toy::FunctionExtension* ext = Ext(device);
    IoDeleteSymbolicLink(&ext->dosName);
    if (gRemoveBug != RemoveBug::KeepPool) {
        ExFreePoolWithTag(ext->perDevicePool, toy::kPoolTag);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = ext->lower;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (gRemoveBug != RemoveBug::DeleteAttached) {
        IoDetachDevice(lower);
    }
    if (gRemoveBug != RemoveBug::KeepDevice) {
        IoDeleteDevice(device);
    }
    return status;
}

void RemoveWith(RemoveBug bug) {
    Rig rig;
    gRemoveBug = bug;
    gToyPnp = rig.world.functionDriver->MajorFunction[IRP_MJ_PNP];
    rig.world.functionDriver->MajorFunction[IRP_MJ_PNP] = PnpWithRemove;
    kmodel::io::CloseHandle(rig.file);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(kmodel::RemoveDevice(rig.world.node), STATUS_SUCCESS);
    EXPECT_TRUE(kmodel::NodeRemoved(rig.world.node));
    IoDeleteDevice(rig.world.pdo);
    kmodel::UnloadDriver(rig.world.functionDriver);
    kmodel::UnloadDriver(rig.world.busDriver);
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

// A function driver that keeps a copy of its registry path from DriverEntry
// to DriverUnload: driver-wide pool, not any device's.
VOID NTAPI FreeSavedPath(PDRIVER_OBJECT) {
    ExFreePoolWithTag(std::exchange(g.pool, nullptr), kTag);
}

NTSTATUS NTAPI FunctionEntrySavingPath(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    g.pool = ExAllocatePoolWithTag(PagedPool, path->Length, kTag);
    if (g.pool == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(g.pool, path->Buffer, path->Length);
    driver->DriverUnload = FreeSavedPath;
    return toy::FunctionEntry(driver, path);
}

TEST_F(VerifierPool, DriverWidePoolKeptUntilUnloadIsQuiet) {
    kmodel::System system;
    ResetShared(false);
    PDRIVER_OBJECT bus;
    PDRIVER_OBJECT function;
    ASSERT_EQ(kmodel::LoadDriver(u"toybus", toy::BusEntry, &bus), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::LoadDriver(u"toyfn", FunctionEntrySavingPath, &function), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = toy::CreatePdo(bus);
    kmodel::DeviceNode* node = kmodel::ReportChildDevice(pdo, u"TOYBUS\\DEV_1\\0");
    kmodel::RegistrySetValue(kmodel::HardwareKeyPath(node), u"PortName", kmodel::RegSz(u"TOY1"));
    ASSERT_EQ(kmodel::AddFunctionDriver(node, function), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::StartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::RemoveDevice(node), STATUS_SUCCESS);
    IoDeleteDevice(pdo);
    kmodel::UnloadDriver(function);
    kmodel::UnloadDriver(bus);
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

TEST_F(VerifierPool, LeftAllocatedAtRemovalOfLastDevice) {
    EXPECT_DEATH(RemoveWith(RemoveBug::KeepPool), Fires(rule::kPoolLeak));
}

TEST_F(VerifierPool, FreedAtRemovalIsQuiet) {
    RemoveWith(RemoveBug::None);
}

// =================================================================================
// Plug and Play: devices at removal and unload
// =================================================================================

TEST_F(VerifierPnp, DeviceDeletedWhileAttached) {
    EXPECT_DEATH(RemoveWith(RemoveBug::DeleteAttached), Fires(rule::kDeleteAttachedDevice));
}

PDRIVER_DISPATCH gBusPnp = nullptr;

// The bus deletes its PDO while handling REMOVE_DEVICE, before the function
// driver above (which passed the request down first) has detached.
NTSTATUS NTAPI BusPnpDeletingPdo(PDEVICE_OBJECT device, PIRP irp) {
    bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    NTSTATUS status = gBusPnp(device, irp);
    if (remove) {
        IoDeleteDevice(device);
    }
    return status;
}

TEST_F(VerifierPnp, PdoDeletedWhileFunctionDeviceStillAttachedIsQuiet) {
    Rig rig;
    gBusPnp = rig.world.busDriver->MajorFunction[IRP_MJ_PNP];
    rig.world.busDriver->MajorFunction[IRP_MJ_PNP] = BusPnpDeletingPdo;
    kmodel::io::CloseHandle(rig.file);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(kmodel::RemoveDevice(rig.world.node), STATUS_SUCCESS);
    kmodel::UnloadDriver(rig.world.functionDriver);
    kmodel::UnloadDriver(rig.world.busDriver);
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

TEST_F(VerifierPnp, DeviceNotDeletedAtRemoval) {
    EXPECT_DEATH(RemoveWith(RemoveBug::KeepDevice), Fires(rule::kDeviceLeftAtRemoval));
}

TEST_F(VerifierPnp, DetachedAndDeletedAtRemovalIsQuiet) {
    RemoveWith(RemoveBug::None);
}

void UnloadWithDevice(bool keepDevice) {
    kmodel::System system;
    Runner runner(u"VerifDev");
    runner.Unload(!keepDevice);
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\VerifDev"), nullptr);
}

TEST_F(VerifierPnp, DeviceNotDeletedAtUnload) {
    EXPECT_DEATH(UnloadWithDevice(true), Fires(rule::kDeviceLeftAtRemoval));
}

TEST_F(VerifierPnp, DeviceDeletedBeforeUnloadIsQuiet) {
    UnloadWithDevice(false);
}

TEST_F(VerifierPnp, UnhandledRequestPassedDownUntouchedIsQuiet) {
    Rig rig;
    EXPECT_EQ(kmodel::SendPnpRequest(rig.world.node, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(kmodel::QueryCapabilities(rig.world.node, &caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    rig.Finish();
}

// =================================================================================
// Power
// =================================================================================

enum class PowerBug { None, FailQueryWithoutStartNext, SkipWithoutStartNext, StartNextTwice, IoCallDriver };
PowerBug gPowerBug = PowerBug::None;

NTSTATUS NTAPI FaultyPower(PDEVICE_OBJECT device, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_QUERY_POWER && gPowerBug == PowerBug::FailQueryWithoutStartNext) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    if (gPowerBug != PowerBug::SkipWithoutStartNext) {
        PoStartNextPowerIrp(irp);
    }
    if (gPowerBug == PowerBug::StartNextTwice) {
        PoStartNextPowerIrp(irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (gPowerBug == PowerBug::IoCallDriver) {
        return IoCallDriver(Lower(device), irp);
    }
    return PoCallDriver(Lower(device), irp);
}

void SleepAndWake(PowerBug bug) {
    Rig rig;
    gPowerBug = bug;
    rig.world.functionDriver->MajorFunction[IRP_MJ_POWER] = FaultyPower;
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(toy::bus.power, 3);  // query, set sleep, set working
    rig.Finish();
}

TEST_F(VerifierPower, PoStartNextPowerIrpNotCalledWhenFailing) {
    EXPECT_DEATH(SleepAndWake(PowerBug::FailQueryWithoutStartNext), Fires(rule::kPoStartNextMissing));
}

// A driver that skips its location still owes its own PoStartNextPowerIrp;
// the bus, sharing that location, does not pay for it.
TEST_F(VerifierPower, PoStartNextPowerIrpNotCalledWhenSkipping) {
    EXPECT_DEATH(SleepAndWake(PowerBug::SkipWithoutStartNext), Fires(rule::kPoStartNextMissing));
}

TEST_F(VerifierPower, PoStartNextPowerIrpCalledTwice) {
    EXPECT_DEATH(SleepAndWake(PowerBug::StartNextTwice), Fires(rule::kPoStartNextTwice));
}

TEST_F(VerifierPower, PowerIrpSentWithIoCallDriver) {
    EXPECT_DEATH(SleepAndWake(PowerBug::IoCallDriver), Fires(rule::kPowerIrpViaIoCallDriver));
}

TEST_F(VerifierPower, SleepAndWakeIsQuiet) {
    SleepAndWake(PowerBug::None);
}

NTSTATUS NTAPI PowerRefusingSleep(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Lower(device), irp);
}

TEST_F(VerifierPower, RefusingQueryWithPoStartNextPowerIrpIsQuiet) {
    Rig rig;
    rig.world.functionDriver->MajorFunction[IRP_MJ_POWER] = PowerRefusingSleep;
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kmodel::CurrentSystemPowerState(), PowerSystemWorking);
    rig.Finish();
}

VOID NTAPI PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    g.waitStatus = status->Status;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

TEST_F(VerifierPower, DevicePowerIrpRequestedByDriverIsQuiet) {
    Rig rig;
    g.waitStatus = STATUS_PENDING;
    rig.Run([&rig](PDEVICE_OBJECT) {
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        EXPECT_EQ(PoRequestPowerIrp(rig.world.pdo, IRP_MN_SET_POWER, state, PowerRequestDone, &g.event, nullptr),
                  STATUS_PENDING);
        KeWaitForSingleObject(&g.event, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_EQ(g.waitStatus, STATUS_SUCCESS);
    EXPECT_EQ(toy::bus.power, 1);
    rig.Finish();
}

// PoStartNextPowerIrp may also come from the completion routine, where the
// driver's own location is current again.
NTSTATUS NTAPI StartNextOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PowerStartingNextInRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, StartNextOnTheWayUp, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(Lower(device), irp);
}

TEST_F(VerifierPower, PoStartNextPowerIrpInCompletionRoutineIsQuiet) {
    Rig rig;
    rig.world.functionDriver->MajorFunction[IRP_MJ_POWER] = PowerStartingNextInRoutine;
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    rig.Finish();
}

// =================================================================================
// Low-resources simulation
// =================================================================================

// Pool and IRP allocations alternately; true where one failed.
std::vector<bool> AllocateMany(int count) {
    std::vector<bool> failed;
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            failed.push_back(p == nullptr);
            if (p != nullptr) {
                ExFreePoolWithTag(p, kTag);
            }
        } else {
            PIRP irp = IoAllocateIrp(1, FALSE);
            failed.push_back(irp == nullptr);
            if (irp != nullptr) {
                IoFreeIrp(irp);
            }
        }
    }
    return failed;
}

TEST_F(LowResources, FailNthFailsOnlyThatCallOfTheChosenDriver) {
    kmodel::System system;
    Runner a(u"VerifA");
    Runner b(u"VerifB");
    kmodel::SetFaultPlan({.driver = b.driver, .failNth = 3});
    std::vector<bool> inA;
    std::vector<bool> inB;
    a.Run([&] { inA = AllocateMany(6); });
    b.Run([&] { inB = AllocateMany(6); });
    EXPECT_EQ(inA, std::vector<bool>(6, false));
    EXPECT_EQ(inB, (std::vector<bool>{false, false, true, false, false, false}));
    EXPECT_EQ(kmodel::CountedAllocations(), 6u);
    EXPECT_EQ(kmodel::FailedAllocations(), 1u);
    kmodel::ClearFaultPlan();
    a.Unload();
    b.Unload();
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

TEST_F(LowResources, KindsLimitWhatIsCounted) {
    kmodel::System system;
    Runner a(u"VerifA");
    kmodel::SetFaultPlan({.kinds = kmodel::kIrpAllocation, .driver = a.driver, .failNth = 1});
    std::vector<bool> failed;
    a.Run([&] { failed = AllocateMany(4); });
    EXPECT_EQ(failed, (std::vector<bool>{false, true, false, false}));
    EXPECT_EQ(kmodel::CountedAllocations(), 2u);
    kmodel::ClearFaultPlan();
    a.Unload();
}

TEST_F(LowResources, DeviceCreationIsACountedPoolAllocation) {
    kmodel::System system;
    Runner a(u"VerifA");
    kmodel::SetFaultPlan({.driver = a.driver, .failNth = 1});
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = nullptr;
    a.Run([&] { status = IoCreateDevice(a.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device); });
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(kmodel::FailedAllocations(), 1u);
    kmodel::ClearFaultPlan();
    a.Unload();
}

TEST_F(LowResources, RandomShareIsReproducibleWithTheSameSeed) {
    kmodel::System system;
    Runner a(u"VerifA");
    auto pattern = [&](uint64_t seed) {
        kmodel::SetFaultPlan({.driver = a.driver, .randomShare = 0.5, .seed = seed});
        std::vector<bool> failed;
        a.Run([&] { failed = AllocateMany(64); });
        EXPECT_EQ(kmodel::CountedAllocations(), 64u);
        EXPECT_EQ(kmodel::FailedAllocations(), static_cast<uint64_t>(std::count(failed.begin(), failed.end(), true)));
        kmodel::ClearFaultPlan();
        return failed;
    };
    std::vector<bool> first = pattern(7);
    std::vector<bool> again = pattern(7);
    std::vector<bool> other = pattern(8);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    auto failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, 64);
    a.Unload();
}

TEST_F(LowResources, AllocationsOutsideDriverCodeAreNeverCounted) {
    kmodel::System system;
    Runner a(u"VerifA");
    kmodel::SetFaultPlan({.failNth = 1});  // any driver's first call
    // The test itself is no driver.
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTag);
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
    // Nor is the I/O manager, building an application's buffered request.
    UCHAR input[8] = {1, 2, 3};
    UCHAR output[8] = {};
    gUpper = CompleteSuccess;
    Request request;
    EXPECT_EQ(kmodel::io::DeviceControl(a.file, kIoctlRun, input, sizeof(input), output, sizeof(output), &request),
              STATUS_SUCCESS);
    EXPECT_EQ(kmodel::CountedAllocations(), 0u);
    // The driver's own first allocation is the one that fails.
    bool failed = false;
    a.Run([&] {
        PVOID q = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        failed = q == nullptr;
        if (q != nullptr) {
            ExFreePoolWithTag(q, kTag);
        }
    });
    EXPECT_TRUE(failed);
    EXPECT_EQ(kmodel::CountedAllocations(), 1u);
    EXPECT_EQ(kmodel::FailedAllocations(), 1u);
    kmodel::ClearFaultPlan();
    a.Unload();
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

}  // namespace
