// The parent bus driver.
#include <usbsim/bus.h>

#include <mutex>

#include <kmodel/system.h>
#include <usbioctl.h>

namespace usbsim {

namespace {

constexpr ULONG kPdoSignature = 0x50425355;  // 'USBP'

PdoExtension* ExtensionOf(PDEVICE_OBJECT pdo) {
    return static_cast<PdoExtension*>(pdo->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Record(Child* child, PIO_STACK_LOCATION sp, NTSTATUS status) {
    BusEvent event{sp->MajorFunction, sp->MinorFunction, SystemPowerState, {}, status};
    if (sp->MajorFunction == IRP_MJ_POWER) {
        event.powerType = sp->Parameters.Power.Type;
        event.powerState = sp->Parameters.Power.State;
    }
    child->events.push_back(event);
}

void FillCapabilities(const ChildOptions& options, PDEVICE_CAPABILITIES caps) {
    caps->Version = static_cast<USHORT>(options.capabilitiesVersion);
    for (int s = 0; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = options.deviceState[s];
    }
    caps->UniqueID = options.uniqueId;
    caps->Removable = FALSE;
    caps->SurpriseRemovalOK = FALSE;
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = FALSE;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    Child* child = ParentBus::ChildOf(pdo);
    PdoExtension* ext = ExtensionOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = child->options.failStart;
        if (NT_SUCCESS(status)) {
            // Pipe handles become valid once the start completes.
            ext->BulkInPipe = child->pipes.bulkIn;
            ext->BulkOutPipe = child->pipes.bulkOut;
            ext->InterruptPipe = child->pipes.interrupt;
            ext->Started = TRUE;
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = child->options.failCapabilities;
        if (NT_SUCCESS(status)) {
            FillCapabilities(child->options, sp->Parameters.DeviceCapabilities.Capabilities);
        }
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        ext->Started = FALSE;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        ext->Started = FALSE;
        status = STATUS_SUCCESS;
        break;
    default:
        break;  // not ours to answer: the status stays as it came
    }
    UCHAR minor = sp->MinorFunction;
    Record(child, sp, status);
    Complete(irp, status);
    // A bus deletes a child's PDO at removal only once the device is gone;
    // the function driver above detaches from it right after.
    if (minor == IRP_MN_REMOVE_DEVICE && !child->present) {
        IoDeleteDevice(pdo);
    }
    return status;
}

kmodel::Mutex& HeldPowerMutex() {
    static kmodel::Mutex mutex;
    return mutex;
}

NTSTATUS AnswerPower(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS status) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(status) && sp->MinorFunction == IRP_MN_SET_POWER) {
        PoSetPowerState(pdo, sp->Parameters.Power.Type, sp->Parameters.Power.State);
    }
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT pdo, PIRP irp) {
    Child* child = ParentBus::ChildOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) {
        status = sp->Parameters.Power.Type == DevicePowerState ? child->options.failDevicePower
                                                               : child->options.failSystemPower;
        if (child->options.holdPower) {
            Record(child, sp, status);
            IoMarkIrpPending(irp);
            std::lock_guard<kmodel::Mutex> guard(HeldPowerMutex());
            child->heldPower.emplace_back(irp, status);
            return STATUS_PENDING;
        }
    }
    Record(child, sp, status);
    return AnswerPower(pdo, irp, status);
}

NTSTATUS NTAPI BusInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
    Child* child = ParentBus::ChildOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
    auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
    if (!child->present) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    if (child->target == nullptr) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return Complete(irp, STATUS_NOT_IMPLEMENTED);
    }
    return child->target->SubmitUrb(irp, urb);
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalControl;
    return STATUS_SUCCESS;
}

}  // namespace

ParentBus::ParentBus() {
    kmodel::LoadDriver(u"usbsimbus", BusEntry, &driver_);
}

ParentBus::~ParentBus() {
    for (Child* child : children_) {
        delete child;
    }
}

Child* ParentBus::ChildOf(PDEVICE_OBJECT pdo) {
    return static_cast<Child*>(ExtensionOf(pdo)->Child);
}

Child* ParentBus::AddChild(const std::u16string& instancePath, const std::u16string& portName, UrbTarget* target,
                           const PipeHandles& pipes) {
    auto* child = new Child();
    child->target = target;
    child->pipes = pipes;
    PDEVICE_OBJECT pdo;
    IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME,
                   FALSE, &pdo);
    PdoExtension* ext = ExtensionOf(pdo);
    RtlZeroMemory(ext, sizeof(PdoExtension));
    ext->Signature = kPdoSignature;
    ext->Port = static_cast<ULONG>(children_.size() + 1);
    ext->Child = child;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    child->pdo = pdo;
    child->node = kmodel::ReportChildDevice(pdo, instancePath);
    if (!portName.empty()) {
        kmodel::RegistrySetValue(kmodel::HardwareKeyPath(child->node), u"PortName", kmodel::RegSz(portName));
    }
    children_.push_back(child);
    return child;
}

void ParentBus::Unplug(Child* child) {
    child->present = false;
    if (child->target != nullptr) {
        child->target->DeviceGone();
    }
    kmodel::WaitForQuiescence();
    kmodel::ReportDeviceMissing(child->node);
}

void CompleteHeldPower(Child* child) {
    kmodel::QueueSystemWork(
        [child] {
            std::vector<std::pair<PIRP, NTSTATUS>> held;
            {
                std::lock_guard<kmodel::Mutex> guard(HeldPowerMutex());
                held.swap(child->heldPower);
            }
            kmodel::RunAsDriver(child->pdo->DriverObject, [&] {
                for (const auto& [irp, status] : held) {
                    AnswerPower(child->pdo, irp, status);
                }
            });
        },
        DISPATCH_LEVEL);
}

NTSTATUS PlugFunctionDriver(Child* child, PDRIVER_OBJECT driver) {
    NTSTATUS status = kmodel::AddFunctionDriver(child->node, driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return kmodel::StartDevice(child->node);
}

}  // namespace usbsim
