// The receive engine and read requests.
#include "stddcls.h"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT fdo, PIRP Irp) {
    UNREFERENCED_PARAMETER(fdo);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

VOID NTAPI ReadTimeoutDPC(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
}
