// The USB driver interface as a client driver includes it: the URB
// definitions and the internal requests that carry them.
#pragma once

#include "usb.h"
#include "usbioctl.h"
