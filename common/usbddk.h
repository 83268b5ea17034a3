// The DDK headers both drivers build on, as mingw-w64 gives them for the
// .sys and the kernel model gives them inside the user-mode programs; and
// WIDE(), a wide string literal of the right type in each.
#pragma once

#if defined(_WIN32)
// mingw-w64's DDK headers need these before wdm.h in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#define WIDE(s) L##s
#else
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#define WIDE(s) u##s
#endif
