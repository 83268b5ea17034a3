// The power manager: power IRPs requested by drivers, recorded power states,
// and system transitions sent to every device stack.
#include <kmodel/pnp.h>

#include "model.h"

namespace kmodel::detail {

namespace {

struct PowerRequest {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
    PDRIVER_OBJECT requester;
};

// The power manager's own routine in the top location of a requested IRP:
// report the final status to the requester, then free the IRP.
NTSTATUS NTAPI RequestedIrpComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequest*>(context);
    IO_STATUS_BLOCK status = irp->IoStatus;
    if (request->callback != nullptr) {
        DriverCall call(request->requester);
        request->callback(request->device, request->minor, request->state, request->context, &status);
    }
    FreeIrpBlock(reinterpret_cast<IrpBlock*>(reinterpret_cast<char*>(irp) - offsetof(IrpBlock, irp)));
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

Mutex& PowerMutex() {
    static Mutex mutex;
    return mutex;
}

SYSTEM_POWER_STATE& SystemState() {
    static SYSTEM_POWER_STATE state = PowerSystemWorking;
    return state;
}

std::vector<DeviceNode*>& PowerNodes() {
    static std::vector<DeviceNode*> nodes;
    return nodes;
}

NTSTATUS SendSystemPowerIrp(DeviceNode* node, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    PDEVICE_OBJECT top = TopOfStack(node);
    PIRP irp = AllocateIrp(top->StackSize, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType = action;
    return SendAndWait(top, irp, nullptr, true);
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdown;
    default:
        return PowerActionNone;
    }
}

}  // namespace

void RegisterPowerNode(DeviceNode* node) {
    std::lock_guard<Mutex> guard(PowerMutex());
    PowerNodes().push_back(node);
}

void ResetPower() {
    std::lock_guard<Mutex> guard(PowerMutex());
    PowerNodes().clear();
    SystemState() = PowerSystemWorking;
}

}  // namespace kmodel::detail

namespace kmodel {

using namespace detail;

// Sleep, hibernate and a normal shutdown are queried first, as Microsoft
// documents, devices farthest from the root first; a refusal aborts the
// transition and the stacks already queried are told the system stays where
// it is. Waking is never queried and sends the set requests in creation
// order.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state) {
    std::vector<DeviceNode*> nodes;
    {
        std::lock_guard<Mutex> guard(PowerMutex());
        for (DeviceNode* node : PowerNodes()) {
            if (!NodeRemoved(node)) {
                nodes.push_back(node);
            }
        }
    }
    bool sleeping = state > PowerSystemWorking;
    if (sleeping) {
        std::reverse(nodes.begin(), nodes.end());
    }
    POWER_ACTION action = ActionFor(state);
    if (sleeping) {
        for (size_t i = 0; i < nodes.size(); ++i) {
            NTSTATUS status = SendSystemPowerIrp(nodes[i], IRP_MN_QUERY_POWER, state, action);
            if (!NT_SUCCESS(status)) {
                for (size_t j = 0; j <= i; ++j) {
                    SendSystemPowerIrp(nodes[j], IRP_MN_SET_POWER, SystemState(), PowerActionNone);
                }
                return status;
            }
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (DeviceNode* node : nodes) {
        NTSTATUS status = SendSystemPowerIrp(node, IRP_MN_SET_POWER, state, action);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
        }
    }
    SystemState() = state;
    return result;
}

SYSTEM_POWER_STATE CurrentSystemPowerState() {
    return SystemState();
}

DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device) {
    return MetaOf(device).devicePower;
}

SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device) {
    return MetaOf(device).systemPower;
}

}  // namespace kmodel

using namespace kmodel;
using namespace kmodel::detail;

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    RequireIrqlAtMost("PoRequestPowerIrp", DISPATCH_LEVEL);
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (ShouldFailAllocation(kIrpAllocation)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    PIRP irp = AllocateIrp(static_cast<CCHAR>(top->StackSize + 1), nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    auto* request = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, Self().driver};
    // The top location is the power manager's own, for its completion routine.
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, RequestedIrpComplete, request, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    if (Irp != nullptr) {
        *Irp = irp;
    }
    // A stack whose top is DO_POWER_PAGABLE is called at PASSIVE_LEVEL only:
    // asked for at a raised IRQL, the power manager sends the IRP from a
    // system thread instead.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && (top->Flags & DO_POWER_PAGABLE) != 0) {
        QueueSystemWork([top, irp] { CallDriverInternal(top, irp, true); }, PASSIVE_LEVEL);
    } else {
        CallDriverInternal(top, irp, true);
    }
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    RequireIrqlAtMost("PoSetPowerState", DISPATCH_LEVEL);
    DeviceMeta& meta = MetaOf(DeviceObject);
    POWER_STATE old;
    if (Type == DevicePowerState) {
        old.DeviceState = meta.devicePower;
        meta.devicePower = State.DeviceState;
    } else {
        old.SystemState = meta.systemPower;
        meta.systemPower = State.SystemState;
    }
    return old;
}
