/* The one Wine-only step of the test bus (see winefix.c). */
#pragma once

#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000 /* mingw-w64's wdm.h tests it and never defines it */
#endif
#include <ntddk.h>

NTSTATUS WineFixRegistryAccess(void);
