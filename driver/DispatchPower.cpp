// Power requests. Set-power and query-power requests run through a small
// table-driven state machine that pairs every system request with a device
// request for the matching device state; every other power request is passed
// down untouched. Power changes touch neither the transfers in flight nor the
// serial state, and nothing is sent to the modem.
#include "stddcls.h"

namespace {

// Action numbers; 0 in the table means the event is not expected.
enum POWACTION {
    NoAction = 0,
    AcceptIrpAction = 1,
    SortDeviceIrpAction = 2,
    PassDownAction = 3,
    AfterSystemUpAction = 4,
    AfterSystemDownAction = 5,
    ChooseDeviceStateAction = 6,
    RequestDeviceIrpAction = 7,
    FinishIrpAction = 8,
    FreeContextAction = 9,
    DeviceIrpDoneAfterUpAction = 10,
    DeviceIrpDoneBeforeDownAction = 11,
    AfterDeviceUpAction = 12,
    BeginDeviceDownAction = 13,
    RecordDeviceDownAction = 14,
    DeviceUpRecordedAction = 15,
    AfterDeviceQueryUpAction = 16,
    PassDeviceQueryDownAction = 17,
    AfterDeviceQueryDownAction = 18,
};

const ULONG kMachineStates = Finished + 1;
const ULONG kPowerEvents = DeviceIrpCompleted + 1;

// First action per state (rows) and event (columns: IrpArrived,
// LowerCompleted, DeviceIrpCompleted).
const UCHAR actionTable[kMachineStates][kPowerEvents] = {
    {AcceptIrpAction, NoAction, NoAction},                       // 0 NotStarted
    {NoAction, AfterSystemUpAction, NoAction},                   // 1 SystemUpAtLower
    {NoAction, NoAction, DeviceIrpDoneAfterUpAction},            // 2 DeviceIrpAfterSystemUp
    {NoAction, NoAction, DeviceIrpDoneBeforeDownAction},         // 3 DeviceIrpBeforeSystemDown
    {NoAction, AfterSystemDownAction, NoAction},                 // 4 SystemDownAtLower
    {NoAction, AfterDeviceUpAction, NoAction},                   // 5 DeviceUpAtLower
    {NoAction, FinishIrpAction, NoAction},                       // 6 DeviceDownAtLower
    {NoAction, NoAction, NoAction},                              // 7 (unused)
    {NoAction, NoAction, NoAction},                              // 8 (unused)
    {NoAction, AfterDeviceQueryUpAction, NoAction},              // 9 DeviceQueryUpAtLower
    {NoAction, AfterDeviceQueryDownAction, NoAction},            // 10 DeviceQueryDownAtLower
    {NoAction, NoAction, NoAction},                              // 11 SortingDeviceIrp
    {NoAction, NoAction, NoAction},                              // 12 Finished
};

// What one run of the machine works on. The request's parameters are read
// once, before any action can let the request go.
struct POWRUN {
    PPOWCONTEXT Context;
    POWEVENT Event;
    NTSTATUS Result;
    PIRP Irp;
    UCHAR Minor;
    POWER_STATE_TYPE Type;
    POWER_STATE State;
};

// Each action names the next one, or NoAction to end the run.
typedef POWACTION (*POWACTION_ROUTINE)(POWRUN* run);

// Power numbers compare as signed values: the smaller, the more power.
inline LONG PowerNumber(SYSTEM_POWER_STATE state) {
    return static_cast<LONG>(state);
}

inline LONG PowerNumber(DEVICE_POWER_STATE state) {
    return static_cast<LONG>(state);
}

POWACTION AcceptIrp(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    PDEVICE_EXTENSION pdx = ctx->DeviceExtension;
    run->Result = STATUS_PENDING;
    IoMarkIrpPending(run->Irp);
    // The dispatch routine's own hold ends when it returns; this one keeps
    // the device until the request is finished. Removal may have begun
    // since the dispatch routine got its hold: then the request is refused
    // as the dispatch routine would have refused it, with no hold to give
    // back, since nothing would keep the device alive while it travels.
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, run->Irp);
    if (!NT_SUCCESS(status)) {
        ctx->LastStatus = status;
        run->Irp->IoStatus.Information = 0;
        return FinishIrpAction;
    }
    ctx->HoldsRemoveLock = TRUE;
    if (run->Type == DevicePowerState) {
        ctx->MachineState = SortingDeviceIrp;
        return SortDeviceIrpAction;
    }
    if (PowerNumber(run->State.SystemState) < PowerNumber(pdx->SystemPower)) {
        ctx->MachineState = SystemUpAtLower;
        return PassDownAction;
    }
    ctx->MachineState = DeviceIrpBeforeSystemDown;
    return ChooseDeviceStateAction;
}

POWACTION SortDeviceIrp(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    BOOLEAN rising = PowerNumber(run->State.DeviceState) < PowerNumber(ctx->DeviceExtension->DevicePower);
    if (run->Minor == IRP_MN_SET_POWER) {
        if (rising) {
            ctx->MachineState = DeviceUpAtLower;
            return PassDownAction;
        }
        return BeginDeviceDownAction;
    }
    if (rising) {
        ctx->MachineState = DeviceQueryUpAtLower;
        return PassDownAction;
    }
    return PassDeviceQueryDownAction;
}

// The call may complete the request and finish the machine before it
// returns: nothing here touches the context after it.
POWACTION PassDown(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    PDEVICE_OBJECT lower = ctx->DeviceExtension->LowerDeviceObject;
    IoCopyCurrentIrpStackLocationToNext(run->Irp);
    IoSetCompletionRoutine(run->Irp, MainCompletionRoutine, ctx, TRUE, TRUE, TRUE);
    SafePoCallDriver(lower, run->Irp);
    return NoAction;
}

POWACTION AfterSystemUp(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    if (!NT_SUCCESS(ctx->LastStatus)) {
        return FinishIrpAction;
    }
    if (run->Minor == IRP_MN_SET_POWER) {
        ctx->DeviceExtension->SystemPower = run->State.SystemState;
    }
    ctx->MachineState = DeviceIrpAfterSystemUp;
    // The system request stays with the driver until the device request
    // has completed.
    run->Result = STATUS_MORE_PROCESSING_REQUIRED;
    return ChooseDeviceStateAction;
}

POWACTION AfterSystemDown(POWRUN* run) {
    if (run->Minor == IRP_MN_SET_POWER) {
        run->Context->DeviceExtension->SystemPower = run->State.SystemState;
    }
    return FinishIrpAction;
}

// Working means D0; any other system state means D3 whatever the bus maps it
// to, since the driver keeps nothing powered in a sleeping system. A state
// outside the capability map, or an entry beyond D3, also yields D3.
POWACTION ChooseDeviceState(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    SYSTEM_POWER_STATE system = run->State.SystemState;
    DEVICE_POWER_STATE device;
    if (system == PowerSystemWorking) {
        device = PowerDeviceD0;
    } else if (PowerNumber(system) < 0 || PowerNumber(system) >= PowerSystemMaximum) {
        device = PowerDeviceD3;
    } else {
        device = ctx->DeviceExtension->DeviceCaps.DeviceState[system];
        if (PowerNumber(device) < PowerNumber(PowerDeviceD3)) {
            device = PowerDeviceD3;
        }
        if (PowerNumber(device) > PowerNumber(PowerDeviceD3)) {
            device = PowerDeviceD3;  // not a device state at all
        }
    }
    ctx->TargetDevicePower = device;
    ctx->RequestMinor = run->Minor;
    return RequestDeviceIrpAction;
}

// A request that was started may finish the machine before the call
// returns; a refused one started nothing, so its status can still be kept.
POWACTION RequestDeviceIrp(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    POWER_STATE state;
    state.DeviceState = ctx->TargetDevicePower;
    NTSTATUS status =
        PoRequestPowerIrp(ctx->DeviceExtension->Pdo, ctx->RequestMinor, state, PoCompletionRoutine, ctx, nullptr);
    if (NT_SUCCESS(status)) {
        return NoAction;
    }
    ctx->LastStatus = status;
    // Before a system request that lowers power, the failure is handled as
    // a failed device request would be.
    return ctx->MachineState == DeviceIrpBeforeSystemDown ? DeviceIrpDoneBeforeDownAction : FinishIrpAction;
}

// Coming back from the lower driver, the request's completion simply goes
// on (with the status the lower driver set); otherwise it is completed here
// with the last status the machine saw. The machine's remove-lock hold is
// given back by FreeContext.
POWACTION FinishIrp(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    PoStartNextPowerIrp(run->Irp);
    if (run->Event == LowerCompleted) {
        run->Result = ctx->LastStatus;
    } else {
        run->Irp->IoStatus.Status = ctx->LastStatus;
        IoCompleteRequest(run->Irp, IO_NO_INCREMENT);
    }
    return FreeContextAction;
}

// The hold is given back only once the context is freed: the moment it is
// given back, the removal may go on, and it must find none of the request's
// pool still allocated.
POWACTION FreeContext(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    PDEVICE_EXTENSION pdx = ctx->DeviceExtension;
    BOOLEAN holdsRemoveLock = ctx->HoldsRemoveLock;
    ctx->MachineState = Finished;
    ExFreePool(ctx);
    if (holdsRemoveLock) {
        UTILReleaseRemoveLock(&pdx->RemoveLock, run->Irp);
    }
    return NoAction;
}

// A system set-power request is never failed: it completes with the status
// the bus gave it, whatever the device request returned. A failed device
// query still refuses the system query.
POWACTION DeviceIrpDoneAfterUp(POWRUN* run) {
    if (run->Minor == IRP_MN_SET_POWER) {
        run->Context->LastStatus = run->Irp->IoStatus.Status;
    }
    return FinishIrpAction;
}

// A system set-power request always reaches the bus, whatever the device
// request returned; a failed device query refuses the system query here.
POWACTION DeviceIrpDoneBeforeDown(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    if (!NT_SUCCESS(ctx->LastStatus) && run->Minor != IRP_MN_SET_POWER) {
        return FinishIrpAction;
    }
    ctx->MachineState = SystemDownAtLower;
    return PassDownAction;
}

POWACTION AfterDeviceUp(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    if (!NT_SUCCESS(ctx->LastStatus)) {
        return FinishIrpAction;
    }
    ctx->DeviceExtension->DevicePower = run->State.DeviceState;
    return DeviceUpRecordedAction;
}

POWACTION BeginDeviceDown(POWRUN*) {
    return RecordDeviceDownAction;
}

// The lower state is recorded before the request goes down.
POWACTION RecordDeviceDown(POWRUN* run) {
    PPOWCONTEXT ctx = run->Context;
    PDEVICE_EXTENSION pdx = ctx->DeviceExtension;
    ctx->MachineState = DeviceDownAtLower;
    if (PowerNumber(run->State.DeviceState) > PowerNumber(pdx->DevicePower)) {
        pdx->DevicePower = run->State.DeviceState;
    }
    return PassDownAction;
}

POWACTION DeviceUpRecorded(POWRUN*) {
    return FinishIrpAction;
}

POWACTION AfterDeviceQueryUp(POWRUN*) {
    return FinishIrpAction;
}

POWACTION PassDeviceQueryDown(POWRUN* run) {
    run->Context->MachineState = DeviceQueryDownAtLower;
    return PassDownAction;
}

POWACTION AfterDeviceQueryDown(POWRUN*) {
    return FinishIrpAction;
}

// Indexed by action number.
const POWACTION_ROUTINE actionRoutines[] = {
    nullptr,
    AcceptIrp,
    SortDeviceIrp,
    PassDown,
    AfterSystemUp,
    AfterSystemDown,
    ChooseDeviceState,
    RequestDeviceIrp,
    FinishIrp,
    FreeContext,
    DeviceIrpDoneAfterUp,
    DeviceIrpDoneBeforeDown,
    AfterDeviceUp,
    BeginDeviceDown,
    RecordDeviceDown,
    DeviceUpRecorded,
    AfterDeviceQueryUp,
    PassDeviceQueryDown,
    AfterDeviceQueryDown,
};
static_assert(sizeof(actionRoutines) / sizeof(actionRoutines[0]) == AfterDeviceQueryDownAction + 1,
              "one routine per action number");

}  // namespace

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

// The platform wants PoStartNextPowerIrp for every power request a driver
// completes, so the two early completions call it too.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP Irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    NTSTATUS status = UTILAcquireRemoveLock(&pdx->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, status, 0);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        auto* ctx = static_cast<PPOWCONTEXT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(POWCONTEXT), QV_POOL_TAG));
        if (ctx == nullptr) {
            PoStartNextPowerIrp(Irp);
            status = CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
        } else {
            RtlZeroMemory(ctx, sizeof(POWCONTEXT));
            ctx->DeviceExtension = pdx;
            ctx->Irp = Irp;
            status = HandlePowerEvent(ctx, IrpArrived);
        }
    } else {
        status = DefaultPowerHandler(pdx, Irp);
    }
    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);
    return status;
}

NTSTATUS DefaultPowerHandler(PDEVICE_EXTENSION pdx, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(pdx->LowerDeviceObject, Irp);
}

NTSTATUS SafePoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PoCallDriver(DeviceObject, Irp);
}

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------

// Events of one context come one after another: each is caused by the step
// that ended the run before it, and no run touches the context after that
// step. So the context needs no lock.
NTSTATUS HandlePowerEvent(PPOWCONTEXT Context, POWEVENT Event) {
    ULONG state = static_cast<ULONG>(Context->MachineState);
    ULONG event = static_cast<ULONG>(Event);
    ULONG action = NoAction;
    if (state < kMachineStates && event < kPowerEvents) {
        action = actionTable[state][event];
    }
    if (action < AcceptIrpAction || action > AfterDeviceQueryDownAction) {
        return STATUS_UNSUCCESSFUL;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Context->Irp);
    POWRUN run;
    run.Context = Context;
    run.Event = Event;
    run.Result = STATUS_SUCCESS;
    run.Irp = Context->Irp;
    run.Minor = stack->MinorFunction;
    run.Type = stack->Parameters.Power.Type;
    run.State = stack->Parameters.Power.State;
    POWACTION next = static_cast<POWACTION>(action);
    while (next != NoAction) {
        next = actionRoutines[next](&run);
    }
    return run.Result;
}

NTSTATUS NTAPI MainCompletionRoutine(PDEVICE_OBJECT fdo, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(fdo);
    auto* ctx = static_cast<PPOWCONTEXT>(Context);
    ctx->LastStatus = Irp->IoStatus.Status;
    return HandlePowerEvent(ctx, LowerCompleted);
}

VOID NTAPI PoCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                               PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    auto* ctx = static_cast<PPOWCONTEXT>(Context);
    ctx->LastStatus = IoStatus->Status;
    HandlePowerEvent(ctx, DeviceIrpCompleted);
}
