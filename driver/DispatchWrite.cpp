// The transmit path.
#include "stddcls.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT fdo, PIRP Irp) {
    UNREFERENCED_PARAMETER(fdo);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
}
