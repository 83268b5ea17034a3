// The bus driver's entry as programs built on the kernel model load it:
// there it is called BusDriverEntry, beside the port driver's DriverEntry.
#pragma once

#include <wdm.h>

extern "C" NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
