// Power requests.
#include "stddcls.h"

// Until the power state machine is in place every power request is passed
// to the bus unchanged.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(DeviceExtensionOf(fdo)->LowerDeviceObject, Irp);
}
