// The I/O manager's completion walk and threaded IRPs: which completion
// routines run, with which device object, what pending state they see, where
// STATUS_MORE_PROCESSING_REQUIRED stops the walk, and what a thread that
// built a device control request gets back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <kmodel/system.h>

#include "layer_driver.h"

namespace {

using layers::Complete;
using layers::Routine;
using layers::SetRoutine;
using layers::Stack;

struct Call {
    std::string routine;
    PDEVICE_OBJECT device;
    NTSTATUS status;  // as the routine found it
    BOOLEAN pendingReturned;
};

// A routine that records its call, optionally replaces the status, and
// returns what the rules say a routine returns when it does not keep the IRP.
Routine Recorder(std::vector<Call>* calls, std::string name, NTSTATUS replaceWith = STATUS_PENDING) {
    return [=](PDEVICE_OBJECT device, PIRP irp) {
        calls->push_back({name, device, irp->IoStatus.Status, irp->PendingReturned});
        if (replaceWith != STATUS_PENDING) {
            irp->IoStatus.Status = replaceWith;
        }
        if (irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return STATUS_SUCCESS;
    };
}

// The top routine of an IRP the test allocated: takes the IRP back.
Routine Owner(std::vector<Call>* calls) {
    return [=](PDEVICE_OBJECT device, PIRP irp) {
        calls->push_back({"owner", device, irp->IoStatus.Status, irp->PendingReturned});
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
}

// Devices are reported by their place in a stack (1 is the bottom) rather
// than by address, so results outlive the System that made them.
PDEVICE_OBJECT Place(int i) {
    return reinterpret_cast<PDEVICE_OBJECT>(static_cast<uintptr_t>(i + 1));
}

void ReportPlaces(std::vector<Call>* calls, const Stack& stack) {
    for (Call& c : *calls) {
        for (int i = 0; i < static_cast<int>(stack.devices.size()); ++i) {
            if (c.device == stack.Device(i)) {
                c.device = Place(i);
            }
        }
    }
}

// Three devices: the top one sets a success-only routine, the middle one an
// error-only routine that may turn the error into success, the bottom one
// completes with `bottomStatus`.
std::vector<Call> RunThroughThreeLayers(NTSTATUS bottomStatus, bool middleTurnsToSuccess) {
    kmodel::System system;
    Stack stack(layers::Depth(3));
    std::vector<Call> calls;
    Routine owner = Owner(&calls);
    Routine topRoutine = Recorder(&calls, "top-success-only");
    Routine middleRoutine =
        Recorder(&calls, "middle-error-only", middleTurnsToSuccess ? STATUS_SUCCESS : STATUS_PENDING);
    stack.On(2) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, &topRoutine, TRUE, FALSE, FALSE);
        return IoCallDriver(stack.Device(1), irp);
    };
    stack.On(1) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, &middleRoutine, FALSE, TRUE, FALSE);
        return IoCallDriver(stack.Device(0), irp);
    };
    stack.On(0) = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, bottomStatus); };

    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    SetRoutine(irp, &owner, TRUE, TRUE, TRUE);
    IoCallDriver(stack.Top(), irp);
    IoFreeIrp(irp);
    ReportPlaces(&calls, stack);
    return calls;
}

TEST(CompletionWalk, RoutinesRunByTheStatusAsItStandsAtTheirLevel) {
    // Error at the bottom, turned to success by the middle routine: the
    // success-only routine above now runs.
    std::vector<Call> calls = RunThroughThreeLayers(STATUS_UNSUCCESSFUL, true);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].routine, "middle-error-only");
    EXPECT_EQ(calls[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(calls[0].device, Place(1));  // the middle device set it
    EXPECT_EQ(calls[1].routine, "top-success-only");
    EXPECT_EQ(calls[1].status, STATUS_SUCCESS);
    EXPECT_EQ(calls[1].device, Place(2));
    EXPECT_EQ(calls[2].routine, "owner");
    EXPECT_EQ(calls[2].device, nullptr);  // no location of its own in the IRP

    // Error left as it is: the success-only routine is skipped.
    calls = RunThroughThreeLayers(STATUS_UNSUCCESSFUL, false);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].routine, "middle-error-only");
    EXPECT_EQ(calls[1].routine, "owner");
    EXPECT_EQ(calls[1].status, STATUS_UNSUCCESSFUL);

    // Success at the bottom: the error-only routine is skipped.
    calls = RunThroughThreeLayers(STATUS_SUCCESS, false);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].routine, "top-success-only");
    EXPECT_EQ(calls[1].routine, "owner");

    // A warning is not NT_SUCCESS: it takes the error routines.
    calls = RunThroughThreeLayers(STATUS_BUFFER_OVERFLOW, false);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].routine, "middle-error-only");
    EXPECT_EQ(calls[0].status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(calls[1].routine, "owner");
}

TEST(CompletionWalk, CancelOnlyRoutineRunsForACancelledIrpWhateverItsStatus) {
    for (bool cancelled : {false, true}) {
        kmodel::System system;
        Stack stack(layers::Depth(2));
        std::vector<Call> calls;
        Routine owner = Owner(&calls);
        Routine onCancel = Recorder(&calls, "cancel-only");
        stack.On(1) = [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetRoutine(irp, &onCancel, FALSE, FALSE, TRUE);
            IoCallDriver(stack.Device(0), irp);
            return STATUS_PENDING;
        };
        stack.On(0) = [&](PDEVICE_OBJECT device, PIRP irp) {
            IoMarkIrpPending(irp);
            layers::Ext(device)->slot = irp;
            return STATUS_PENDING;
        };
        PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        SetRoutine(irp, &owner, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
        if (cancelled) {
            EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine: only the flag is set
            EXPECT_TRUE(irp->Cancel);
        }
        Complete(static_cast<PIRP>(layers::Ext(stack.Bottom())->slot), STATUS_SUCCESS);
        IoFreeIrp(irp);
        ASSERT_EQ(calls.size(), cancelled ? 2u : 1u);
        if (cancelled) {
            EXPECT_EQ(calls[0].routine, "cancel-only");
            EXPECT_EQ(calls[0].status, STATUS_SUCCESS);
        }
        EXPECT_EQ(calls.back().routine, "owner");
    }
}

// Bottom marks pending and completes at once; the middle device passes the
// IRP on with no routine; the top one sets a routine that runs on errors,
// and on success only when `topRoutineRuns`.
std::vector<Call> PendingThroughThreeLayers(bool bottomPends, bool topRoutineRuns) {
    kmodel::System system;
    Stack stack(layers::Depth(3));
    std::vector<Call> calls;
    Routine owner = Owner(&calls);
    Routine top = Recorder(&calls, "top");
    NTSTATUS middleReturned = 0;
    NTSTATUS topReturned = 0;
    stack.On(2) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, &top, topRoutineRuns, TRUE, FALSE);
        return topReturned = IoCallDriver(stack.Device(1), irp);
    };
    stack.On(1) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);  // and no routine
        return middleReturned = IoCallDriver(stack.Device(0), irp);
    };
    stack.On(0) = [&](PDEVICE_OBJECT, PIRP irp) {
        if (!bottomPends) {
            return Complete(irp, STATUS_SUCCESS);
        }
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    SetRoutine(irp, &owner, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(stack.Top(), irp);
    EXPECT_EQ(status, bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(middleReturned, status);
    EXPECT_EQ(topReturned, status);
    IoFreeIrp(irp);
    ReportPlaces(&calls, stack);
    return calls;
}

TEST(CompletionWalk, PendingReturnedPropagatesThroughLocationsWithoutARoutine) {
    std::vector<Call> calls = PendingThroughThreeLayers(true, true);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].routine, "top");
    EXPECT_TRUE(calls[0].pendingReturned);  // carried up through the middle location
    EXPECT_EQ(calls[0].device, Place(2));
    EXPECT_EQ(calls[1].routine, "owner");
    EXPECT_TRUE(calls[1].pendingReturned);  // marked by the top routine
    EXPECT_EQ(calls[1].device, nullptr);

    // A routine that is not invoked is no routine: the I/O manager carries
    // the pending state up itself.
    calls = PendingThroughThreeLayers(true, false);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].routine, "owner");
    EXPECT_TRUE(calls[0].pendingReturned);

    calls = PendingThroughThreeLayers(false, true);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[0].pendingReturned);
    EXPECT_FALSE(calls[1].pendingReturned);
}

// The documented pass-down pattern: copy the location, set a routine that
// marks the IRP pending when PendingReturned, return what IoCallDriver
// returned. The lower driver completes later, after the dispatch routine has
// returned STATUS_PENDING without having marked its location itself.
TEST(CompletionWalk, PassDownWithRoutineAndLaterLowerCompletionIsLegal) {
    kmodel::System system;
    Stack stack(layers::Depth(2));
    std::vector<Call> calls;
    Routine owner = Owner(&calls);
    Routine top = Recorder(&calls, "top");
    stack.On(1) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, &top, TRUE, TRUE, TRUE);
        return IoCallDriver(stack.Device(0), irp);
    };
    stack.On(0) = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoMarkIrpPending(irp);
        layers::Ext(device)->slot = irp;
        return STATUS_PENDING;
    };
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    SetRoutine(irp, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
    Complete(static_cast<PIRP>(layers::Ext(stack.Bottom())->slot), STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].pendingReturned);
    EXPECT_TRUE(calls[1].pendingReturned);
    IoFreeIrp(irp);
}

TEST(CompletionWalk, RoutineOfADriverOwnLocationGetsItsDeviceObject) {
    kmodel::System system;
    Stack stack(layers::Depth(2));
    std::vector<Call> calls;
    Routine owner = Owner(&calls);
    // The upper device allocates one location more than the lower stack
    // needs and takes it as its own.
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(stack.Bottom()->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = stack.Top();
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    SetRoutine(irp, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.Bottom(), irp), STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].device, stack.Top());
    IoFreeIrp(irp);
}

struct Sink {
    KDPC dpc;
    std::string received;
    std::vector<ULONG> chunks;
    int sent = 0;
};

VOID NTAPI CompleteLater(PKDPC, PVOID context, PVOID irp, PVOID) {
    auto* sink = static_cast<Sink*>(context);
    PIRP p = static_cast<PIRP>(irp);
    ULONG n = IoGetCurrentIrpStackLocation(p)->Parameters.Write.Length;
    sink->received.append(static_cast<const char*>(p->AssociatedIrp.SystemBuffer), n);
    Complete(p, STATUS_SUCCESS, n);
}

// One IRP carries a long write down in chunks: each completion routine sends
// the next chunk with the same IRP and keeps it. The lower driver completes
// odd chunks at once and even ones later from a DPC.
TEST(CompletionWalk, IrpResentFromItsOwnCompletionRoutineCarriesEveryChunk) {
    kmodel::System system;
    Stack stack;
    Sink sink;
    KeInitializeDpc(&sink.dpc, CompleteLater, &sink);
    stack.On(0) = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(sp->MajorFunction, IRP_MJ_WRITE);
        sink.chunks.push_back(sp->Parameters.Write.Length);
        if (++sink.sent % 2 == 0) {
            IoMarkIrpPending(irp);
            KeInsertQueueDpc(&sink.dpc, irp, nullptr);
            return STATUS_PENDING;
        }
        sink.received.append(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer),
                             sp->Parameters.Write.Length);
        return Complete(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
    };

    const std::string data = "The quick brown fox jumps over the lazy dog";
    const ULONG chunk = 8;
    ULONG offset = 0;
    int routineCalls = 0;
    bool nonNullDevice = false;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    Routine next;
    auto send = [&] {
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_WRITE;
        sp->Parameters.Write.Length = std::min<ULONG>(chunk, static_cast<ULONG>(data.size()) - offset);
        irp->AssociatedIrp.SystemBuffer = const_cast<char*>(data.data()) + offset;
        SetRoutine(irp, &next, TRUE, TRUE, TRUE);
        IoCallDriver(stack.Top(), irp);
    };
    next = [&](PDEVICE_OBJECT device, PIRP p) {
        ++routineCalls;
        nonNullDevice |= device != nullptr;
        EXPECT_EQ(p->IoStatus.Status, STATUS_SUCCESS);
        offset += static_cast<ULONG>(p->IoStatus.Information);
        if (offset < data.size()) {
            send();
        } else {
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    send();
    kmodel::WaitForQuiescence();
    ASSERT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(sink.received, data);
    EXPECT_EQ(sink.chunks, (std::vector<ULONG>{8, 8, 8, 8, 8, 3}));
    EXPECT_EQ(routineCalls, 6);
    EXPECT_FALSE(nonNullDevice);
    IoFreeIrp(irp);
}

// ---- threaded IRPs built by IoBuildDeviceIoControlRequest ---------------------

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG_PTR kUntouched = 0xDEADBEEF;

struct Caller {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    char input[4] = {'i', 'n', 'p', '!'};
    char output[8];

    Caller() {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb.Status = static_cast<NTSTATUS>(kUntouched);
        iosb.Information = kUntouched;
        std::memset(output, '.', sizeof(output));
    }
    bool StatusBlockWritten() const { return iosb.Information != kUntouched; }
    std::string Output() const { return std::string(output, sizeof(output)); }
    PIRP Build(PDEVICE_OBJECT device, BOOLEAN internal = FALSE) {
        return IoBuildDeviceIoControlRequest(kBufferedCode, device, input, sizeof(input), output, sizeof(output),
                                             internal, &event, &iosb);
    }
};

// The driver fills its whole system buffer and reports `information` bytes.
layers::Handler FillAndComplete(NTSTATUS status, ULONG_PTR information) {
    return [=](PDEVICE_OBJECT, PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "ABCDEFGH", 8);
        return Complete(irp, status, information);
    };
}

TEST(BuiltDeviceControl, BufferedInputIsCopiedInAndInformationBytesCopiedBack) {
    for (BOOLEAN internal : {FALSE, TRUE}) {
        kmodel::System system;
        Stack stack(layers::Depth(2));
        stack.On(1) = [&](PDEVICE_OBJECT device, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(layers::Ext(device)->lower, irp);
        };
        stack.On(0) = [&](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(sp->MajorFunction, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
            EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
            EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 4u);
            EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
            EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, "inp!", 4), 0);
            return FillAndComplete(STATUS_SUCCESS, 5)(device, irp);
        };
        Caller caller;
        PIRP irp = caller.Build(stack.Top(), internal);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, 2);
        EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
        EXPECT_EQ(caller.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(caller.iosb.Information, 5u);
        EXPECT_EQ(KeReadStateEvent(&caller.event), 1);
        EXPECT_EQ(caller.Output(), "ABCDE...");
        EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);  // the system buffer went with the IRP
    }
}

TEST(BuiltDeviceControl, ErrorReturnedSynchronouslyWritesNeitherStatusBlockNorEvent) {
    kmodel::System system;
    Stack stack;
    stack.On(0) = FillAndComplete(STATUS_INVALID_PARAMETER, 0);
    Caller caller;
    EXPECT_EQ(IoCallDriver(stack.Top(), caller.Build(stack.Top())), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(caller.StatusBlockWritten());
    EXPECT_EQ(KeReadStateEvent(&caller.event), 0);
    EXPECT_EQ(caller.Output(), "........");
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);
}

TEST(BuiltDeviceControl, TimeoutIsSuccessAndCopiesBackIoTimeoutIsAnError) {
    {
        kmodel::System system;
        Stack stack;
        stack.On(0) = FillAndComplete(STATUS_TIMEOUT, 3);
        Caller caller;
        EXPECT_EQ(IoCallDriver(stack.Top(), caller.Build(stack.Top())), STATUS_TIMEOUT);
        EXPECT_EQ(caller.iosb.Status, STATUS_TIMEOUT);
        EXPECT_EQ(caller.iosb.Information, 3u);
        EXPECT_EQ(KeReadStateEvent(&caller.event), 1);
        EXPECT_EQ(caller.Output(), "ABC.....");
    }
    {
        kmodel::System system;
        Stack stack;
        stack.On(0) = FillAndComplete(STATUS_IO_TIMEOUT, 0);
        Caller caller;
        EXPECT_EQ(IoCallDriver(stack.Top(), caller.Build(stack.Top())), STATUS_IO_TIMEOUT);
        EXPECT_FALSE(caller.StatusBlockWritten());
        EXPECT_EQ(KeReadStateEvent(&caller.event), 0);
        EXPECT_EQ(caller.Output(), "........");
    }
}

TEST(BuiltDeviceControl, PendedCompletionWritesStatusBlockAndEventEvenForAnError) {
    for (NTSTATUS final : {STATUS_SUCCESS, STATUS_IO_TIMEOUT}) {
        kmodel::System system;
        Stack stack;
        stack.On(0) = [&](PDEVICE_OBJECT device, PIRP irp) {
            IoMarkIrpPending(irp);
            layers::Ext(device)->slot = irp;
            return STATUS_PENDING;
        };
        Caller caller;
        ASSERT_EQ(IoCallDriver(stack.Top(), caller.Build(stack.Top())), STATUS_PENDING);
        EXPECT_FALSE(caller.StatusBlockWritten());
        EXPECT_EQ(KeReadStateEvent(&caller.event), 0);

        // Completed later, from a system thread at DISPATCH_LEVEL.
        PIRP held = static_cast<PIRP>(layers::Ext(stack.Bottom())->slot);
        kmodel::QueueSystemWork(
            [&] { FillAndComplete(final, NT_ERROR(final) ? 0 : 6)(stack.Bottom(), held); }, DISPATCH_LEVEL);
        EXPECT_EQ(KeWaitForSingleObject(&caller.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        kmodel::WaitForQuiescence();
        EXPECT_EQ(caller.iosb.Status, final);
        EXPECT_EQ(caller.Output(), NT_ERROR(final) ? "........" : "ABCDEF..");
    }
}

// A routine that keeps the IRP stops the walk; its driver later completes the
// IRP again and the walk resumes from the location above, through to the
// caller's status block.
TEST(CompletionWalk, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain) {
    kmodel::System system;
    Stack stack(layers::Depth(3));
    Caller caller;
    std::vector<Call> calls;
    Routine top = Recorder(&calls, "top");
    Routine keep = [&](PDEVICE_OBJECT device, PIRP irp) {
        calls.push_back({"keep", device, irp->IoStatus.Status, irp->PendingReturned});
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    bool stoppedCleanly = false;
    stack.On(2) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, &top, TRUE, TRUE, TRUE);
        return IoCallDriver(stack.Device(1), irp);
    };
    stack.On(1) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, &keep, TRUE, TRUE, TRUE);
        IoCallDriver(stack.Device(0), irp);
        // The walk stopped here: nothing above ran, the caller heard nothing.
        stoppedCleanly = calls.size() == 1 && !caller.StatusBlockWritten() && KeReadStateEvent(&caller.event) == 0;
        return Complete(irp, STATUS_SUCCESS, 2);  // this driver keeps only part of what came up
    };
    stack.On(0) = FillAndComplete(STATUS_SUCCESS, 4);
    EXPECT_EQ(IoCallDriver(stack.Top(), caller.Build(stack.Top())), STATUS_SUCCESS);
    EXPECT_TRUE(stoppedCleanly);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].routine, "keep");
    EXPECT_EQ(calls[0].device, stack.Device(1));
    EXPECT_EQ(calls[1].routine, "top");
    EXPECT_EQ(calls[1].device, stack.Device(2));
    EXPECT_EQ(caller.iosb.Information, 2u);
    EXPECT_EQ(caller.Output(), "AB......");
}

}  // namespace
