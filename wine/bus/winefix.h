/* The Wine-only steps of the test bus (see winefix.c and winedefer.c). */
#pragma once

#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000 /* mingw-w64's wdm.h tests it and never defines it */
#endif
#include <ntddk.h>

BOOLEAN WineIsHost(void);
/* Points ntoskrnl's export `name` at `routine`; `real`, if given, gets the
 * routine the export named before. */
NTSTATUS WineRedirectExport(PCWSTR wideName, const char* name, PVOID routine, PVOID* real);

NTSTATUS WineFixRegistryAccess(void);
NTSTATUS WineFixDeferredWork(void);

/* Records that `child` is the child the function driver of the bus's USB
 * device number `usbDevice` (from 1) reports, so that its instance ID is
 * made unique as Windows makes it. */
VOID WineFixChildInstanceId(PDEVICE_OBJECT child, ULONG usbDevice);
